// The pixel rule's pieces, shared by the drawing loops: packing a colour for
// the device, addressing a logical pixel in the drawing page, and recording
// what was drawn. Internal to the framebuffer code.
#pragma once

#include "fb/framebuffer.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// A colour packed for the device: the bytes of one pixel in memory order.
// bytes is 0 at depths that get nothing written.
struct FbPen {
    int bytes;
    uint8_t b[4];
};

// Where logical (x, y) lands: draw_page + origin + x * step_x + y * step_y.
struct FbAxes {
    ptrdiff_t origin;
    ptrdiff_t step_x;
    ptrdiff_t step_y;
};

static inline uint32_t fb_generic_channel(uint8_t value, uint32_t offset, uint32_t length)
{
    if (length == 0 || length > 8 || offset >= 32)
        return 0;
    return (uint32_t)(value >> (8 - length)) << offset;
}

static inline FbPen fb_pen(const Framebuffer *fb, uint8_t r, uint8_t g, uint8_t b)
{
    FbPen pen = {0, {0, 0, 0, 0}};
    uint32_t v;
    switch (fb->format) {
    case FB_FORMAT_RGB565:
    case FB_FORMAT_RGB888:
        if (fb->bpp == 16)
            v = (uint32_t)(r >> 3) << 11 | (uint32_t)(g >> 2) << 5 | (uint32_t)(b >> 3);
        else
            v = (uint32_t)r << 16 | (uint32_t)g << 8 | b;
        break;
    case FB_FORMAT_BGR565:
    case FB_FORMAT_BGR888:
        if (fb->bpp == 16)
            v = (uint32_t)(b >> 3) << 11 | (uint32_t)(g >> 2) << 5 | (uint32_t)(r >> 3);
        else
            v = (uint32_t)b << 16 | (uint32_t)g << 8 | r;
        break;
    default:
        v = fb_generic_channel(r, fb->red_offset, fb->red_length) |
            fb_generic_channel(g, fb->green_offset, fb->green_length) |
            fb_generic_channel(b, fb->blue_offset, fb->blue_length);
        break;
    }
    if (fb->bpp == 16) {
        uint16_t v16 = (uint16_t)v;
        memcpy(pen.b, &v16, 2); // the machine's own byte order
        pen.bytes = 2;
    } else if (fb->bpp == 32) {
        memcpy(pen.b, &v, 4);
        pen.bytes = 4;
    } else if (fb->bpp == 24) {
        // Lowest byte first: b, g, r for RGB order; r, g, b for BGR order.
        pen.b[0] = (uint8_t)v;
        pen.b[1] = (uint8_t)(v >> 8);
        pen.b[2] = (uint8_t)(v >> 16);
        pen.bytes = 3;
    }
    return pen;
}

static inline void fb_store(uint8_t *p, const FbPen &pen)
{
    switch (pen.bytes) {
    case 4:
        memcpy(p, pen.b, 4);
        break;
    case 3:
        memcpy(p, pen.b, 3);
        break;
    case 2:
        memcpy(p, pen.b, 2);
        break;
    default:
        break;
    }
}

static inline FbAxes fb_axes(const Framebuffer *fb)
{
    const ptrdiff_t B = fb->bpp / 8, S = fb->stride;
    const ptrdiff_t W = fb->width, H = fb->height;
    switch (fb->rotation) {
    case FB_ROTATE_90:
        return {S * (W - 1), -S, B};
    case FB_ROTATE_180:
        return {S * (H - 1) + B * (W - 1), -B, -S};
    case FB_ROTATE_270:
        return {B * (H - 1), S, -B};
    default:
        return {0, B, S};
    }
}

// The device rectangle covered by the logical rectangle r, which must lie on
// the screen.
static inline FbRect fb_device_rect(const Framebuffer *fb, const FbRect &r)
{
    const int W = fb->width, H = fb->height;
    const int x0 = r.x0, y0 = r.y0, x1 = r.x1, y1 = r.y1;
    switch (fb->rotation) {
    case FB_ROTATE_90:
        return {y0, W - x1, y1, W - x0};
    case FB_ROTATE_180:
        return {W - x1, H - y1, W - x0, H - y0};
    case FB_ROTATE_270:
        return {H - y1, x0, H - y0, x1};
    default:
        return r;
    }
}

static inline void fb_damage_add(Framebuffer *fb, const FbRect &r)
{
    FbRect &d = fb->damage;
    if (r.x0 >= r.x1 || r.y0 >= r.y1)
        return;
    if (d.x0 >= d.x1) {
        d = r;
        return;
    }
    if (r.x0 < d.x0)
        d.x0 = r.x0;
    if (r.y0 < d.y0)
        d.y0 = r.y0;
    if (r.x1 > d.x1)
        d.x1 = r.x1;
    if (r.y1 > d.y1)
        d.y1 = r.y1;
}

// Clips the logical rectangle at (x, y) of w x h to the screen into *out.
// Returns false when nothing is left; 64-bit so that no position or size can
// overflow.
static inline bool fb_clip(const Framebuffer *fb, int64_t x, int64_t y, int64_t w, int64_t h,
                           FbRect *out)
{
    if (w <= 0 || h <= 0)
        return false;
    int64_t l = x < 0 ? 0 : x, t = y < 0 ? 0 : y;
    int64_t r = x + w > fb->width ? fb->width : x + w;
    int64_t b = y + h > fb->height ? fb->height : y + h;
    if (l >= r || t >= b)
        return false;
    *out = FbRect{(int)l, (int)t, (int)r, (int)b};
    return true;
}

// Fills the device rectangle r of the drawing page with the pen.
void fb_fill_device_rect(Framebuffer *fb, const FbRect &r, const FbPen &pen);

// Fills the logical rectangle, clipped, with a packed colour.
void fb_fill_pen(Framebuffer *fb, int64_t x, int64_t y, int64_t w, int64_t h, const FbPen &pen);
