// The framebuffer record and the drawing operations on it.
//
// The record describes a head's pages in memory, never the device behind
// them: drawing writes into draw_page, and the output (src/output) shows it.
#pragma once

#include <cstddef>
#include <cstdint>

enum FbPixelFormat {
    FB_FORMAT_RGB565,
    FB_FORMAT_BGR565,
    FB_FORMAT_RGB888,
    FB_FORMAT_BGR888,
    FB_FORMAT_GENERIC,
};

// How the picture is turned on the device, clockwise.
enum FbRotation {
    FB_ROTATE_0,
    FB_ROTATE_90,
    FB_ROTATE_180,
    FB_ROTATE_270,
};

// A rectangle of pixels, [x0, x1) x [y0, y1); empty when x0 >= x1 or y0 >= y1.
// Damage and clipping both use it.
struct FbRect {
    int x0, y0, x1, y1;
};

struct Framebuffer {
    int width; // logical size, swapped for 90 and 270 degrees
    int height;
    int real_width; // page size in pixels
    int real_height;
    int bpp;
    int stride; // bytes from one page line to the next
    FbPixelFormat format;
    uint32_t red_offset, red_length; // channel layout, for FB_FORMAT_GENERIC
    uint32_t green_offset, green_length;
    uint32_t blue_offset, blue_length;
    FbRotation rotation;
    bool double_buffered; // draw_page and shown_page are two pages
    uint8_t *draw_page;   // every drawing operation writes here
    uint8_t *shown_page;
    // Page pixels drawn into draw_page since the last flip; the flip copies
    // them into the other page so that both pages carry every change.
    FbRect damage;
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

// The pixel format for a channel layout (page.cpp).
FbPixelFormat glimmer_fb_classify(uint32_t red_offset, uint32_t red_length, uint32_t green_offset,
                                  uint32_t green_length, uint32_t blue_offset,
                                  uint32_t blue_length);

// The rotation for an angle in degrees: only 90, 180 and 270 turn the
// picture, any other angle draws it unrotated.
FbRotation glimmer_fb_rotation_from_degrees(int degrees);

// Drawing (pixel.cpp, rle.cpp). Coordinates are logical and clipped pixel by pixel.
void glimmer_fb_put_pixel(Framebuffer *fb, int x, int y, uint8_t red, uint8_t green, uint8_t blue);
void glimmer_fb_fill_rect(Framebuffer *fb, int x, int y, int width, int height, uint8_t red,
                          uint8_t green, uint8_t blue);
void glimmer_fb_draw_rle(Framebuffer *fb, int x, int y, const RleImage *image);
// The picture enlarged: every pixel a scale x scale square (scale >= 1).
void glimmer_fb_draw_rle_scaled(Framebuffer *fb, int x, int y, const RleImage *image, int scale);

// The page exchange of a flip (page.cpp): draw_page becomes the shown page
// and the other page the drawing page, brought up to date with the whole
// shown page when sync is set, otherwise with what was drawn since the last
// flip. A single page stays where it is. Either way the damage starts anew.
void glimmer_fb_swap_pages(Framebuffer *fb, bool sync);
