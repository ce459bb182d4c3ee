// The framebuffer record and the drawing operations on it.
//
// Drawing code works on the record's pages only, which may be plain memory:
// set-up (glimmer_fb_open) and the page flip are the only code here that talk
// to the device.
#pragma once

#include <linux/fb.h>

#include <cstddef>
#include <cstdint>

enum FbPixelFormat {
    FB_FORMAT_RGB565,
    FB_FORMAT_BGR565,
    FB_FORMAT_RGB888,
    FB_FORMAT_BGR888,
    FB_FORMAT_GENERIC,
};

// A rectangle of device pixels, [x0, x1) x [y0, y1); empty when x0 >= x1.
struct FbDamage {
    int x0, y0, x1, y1;
};

struct Framebuffer {
    int fd;                            // device descriptor, -1 while none is open
    struct fb_var_screeninfo var_info; // pan request; all zero without double buffering
    int width;                         // logical size, swapped for 90 and 270 degrees
    int height;
    int bpp;
    int stride;       // bytes from one device line to the next
    uint8_t *base;    // first byte of the first page
    uint8_t *mapping; // start of the device mapping
    int double_buffered;
    uint8_t *draw_page; // every drawing operation writes here
    uint8_t *shown_page;
    int angle;       // degrees, as given; only 90, 180 and 270 rotate
    int real_width;  // device xres
    int real_height; // device yres
    FbPixelFormat format;
    uint32_t red_offset, red_length;
    uint32_t green_offset, green_length;
    uint32_t blue_offset, blue_length;

    size_t mapping_size; // bytes mapped (smem_len)
    // Device pixels drawn into draw_page since the last flip; the flip copies
    // them into the other page so that both pages carry every change.
    FbDamage damage;
};

// One compiled-in run-length encoded picture.
struct RleImage {
    int32_t width;
    int32_t height;
    int32_t bytes_per_pixel;
    int32_t rowstride;
    const uint8_t *data;
    size_t size; // bytes of data; decoding never reads past them
};

// Set-up and teardown (fb_open.cpp).
Framebuffer *glimmer_fb_open(int angle, int fbdev_number);
void glimmer_fb_close(Framebuffer *fb);
FbPixelFormat glimmer_fb_classify(uint32_t red_offset, uint32_t red_length, uint32_t green_offset,
                                  uint32_t green_length, uint32_t blue_offset,
                                  uint32_t blue_length);

// Drawing (pixel.cpp, rle.cpp). Coordinates are logical and clipped pixel by pixel.
void glimmer_fb_put_pixel(Framebuffer *fb, int x, int y, uint8_t red, uint8_t green, uint8_t blue);
void glimmer_fb_fill_rect(Framebuffer *fb, int x, int y, int width, int height, uint8_t red,
                          uint8_t green, uint8_t blue);
void glimmer_fb_draw_rle(Framebuffer *fb, int x, int y, const RleImage *image);
// The picture enlarged: every pixel a scale x scale square (scale >= 1).
void glimmer_fb_draw_rle_scaled(Framebuffer *fb, int x, int y, const RleImage *image, int scale);

// Page flip (flip.cpp): shows draw_page; with sync the whole shown page is
// copied into the new drawing page, otherwise only what was drawn since the
// last flip.
void glimmer_fb_flip(Framebuffer *fb, int sync);
