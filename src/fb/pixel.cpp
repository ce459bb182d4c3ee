// The pixel rule and the rectangle fill.
#include "fb/pixel.h"

enum { PATTERN_BYTES = 192 }; // whole pixels at 2, 3 and 4 bytes each

// The pen repeated over PATTERN_BYTES. Byte j of any run of pixels that
// starts at a pixel boundary is pattern[j % PATTERN_BYTES].
static void make_pattern(uint8_t *pattern, const FbPen &pen)
{
    if (pen.bytes == 4 || pen.bytes == 2) {
        uint32_t v;
        if (pen.bytes == 4) {
            memcpy(&v, pen.b, 4);
        } else {
            uint16_t h;
            memcpy(&h, pen.b, 2);
            v = (uint32_t)h * 0x10001u;
        }
        for (int i = 0; i < PATTERN_BYTES; i += 4)
            memcpy(pattern + i, &v, 4);
        return;
    }
    // Three bytes: 24 bytes (8 pixels) built once, then copied along.
    uint8_t eight[24];
    for (int i = 0; i < 24; i += 3)
        memcpy(eight + i, pen.b, 3);
    for (int i = 0; i < PATTERN_BYTES; i += 24)
        memcpy(pattern + i, eight, 24);
}

// Writes the first n bytes of the pattern at p, for n below PATTERN_BYTES, in
// fixed-size copies: the last copy may overlap the one before it, which
// rewrites the same bytes, so no byte outside [p, p + n) is touched.
static inline void copy_head(uint8_t *p, const uint8_t *pattern, size_t n)
{
    if (n >= 16) {
        size_t i = 0;
        for (; i + 16 <= n; i += 16)
            memcpy(p + i, pattern + i, 16);
        if (i < n)
            memcpy(p + n - 16, pattern + n - 16, 16);
    } else if (n >= 8) {
        memcpy(p, pattern, 8);
        memcpy(p + n - 8, pattern + n - 8, 8);
    } else if (n >= 4) {
        memcpy(p, pattern, 4);
        memcpy(p + n - 4, pattern + n - 4, 4);
    } else if (n >= 2) {
        memcpy(p, pattern, 2);
        memcpy(p + n - 2, pattern + n - 2, 2);
    } else if (n == 1) {
        p[0] = pattern[0];
    }
}

// Writes `bytes` bytes of the pattern from p on: whole blocks of one
// constant-size memcpy each, then the head of the pattern.
static inline void fill_span(uint8_t *p, size_t bytes, const uint8_t *pattern)
{
    while (bytes >= PATTERN_BYTES) {
        memcpy(p, pattern, PATTERN_BYTES);
        p += PATTERN_BYTES;
        bytes -= PATTERN_BYTES;
    }
    copy_head(p, pattern, bytes);
}

// One pixel per device line: a column of a rotated fill, or a 1-pixel-wide
// rectangle. The depth is fixed by the caller, so every store is one move.
template <int B> static void fill_column(uint8_t *p, ptrdiff_t stride, int lines, const FbPen &pen)
{
    uint8_t v[B];
    memcpy(v, pen.b, B);
    for (int y = 0; y < lines; y++, p += stride)
        memcpy(p, v, B);
}

void fb_fill_device_rect(Framebuffer *fb, const FbRect &r, const FbPen &pen)
{
    if (pen.bytes == 0 || r.x0 >= r.x1 || r.y0 >= r.y1)
        return;
    fb_damage_add(fb, r);

    const ptrdiff_t stride = fb->stride;
    const int lines = r.y1 - r.y0;
    const size_t n = (size_t)(r.x1 - r.x0);
    uint8_t *row = fb->draw_page + stride * r.y0 + (ptrdiff_t)pen.bytes * r.x0;
    if (n == 1) {
        if (pen.bytes == 4)
            fill_column<4>(row, stride, lines, pen);
        else if (pen.bytes == 3)
            fill_column<3>(row, stride, lines, pen);
        else
            fill_column<2>(row, stride, lines, pen);
        return;
    }
    alignas(16) uint8_t pattern[PATTERN_BYTES];
    make_pattern(pattern, pen);
    const size_t bytes = n * (size_t)pen.bytes;
    for (int y = 0; y < lines; y++, row += stride)
        fill_span(row, bytes, pattern);
}

void fb_fill_pen(Framebuffer *fb, int64_t x, int64_t y, int64_t w, int64_t h, const FbPen &pen)
{
    FbRect r;
    if (pen.bytes == 0 || !fb_clip(fb, x, y, w, h, &r))
        return;
    fb_fill_device_rect(fb, fb_device_rect(fb, r), pen);
}

void glimmer_fb_put_pixel(Framebuffer *fb, int x, int y, uint8_t red, uint8_t green, uint8_t blue)
{
    if (x < 0 || x >= fb->width || y < 0 || y >= fb->height)
        return;
    const FbPen pen = fb_pen(fb, red, green, blue);
    if (pen.bytes == 0)
        return;
    const FbAxes a = fb_axes(fb);
    fb_store(fb->draw_page + a.origin + a.step_x * x + a.step_y * y, pen);
    fb_damage_add(fb, fb_device_rect(fb, FbRect{x, y, x + 1, y + 1}));
}

// A fill's pixels all get the same colour, so the rectangle is written in the
// device's own order, a line at a time, whatever the rotation.
void glimmer_fb_fill_rect(Framebuffer *fb, int x, int y, int width, int height, uint8_t red,
                          uint8_t green, uint8_t blue)
{
    fb_fill_pen(fb, x, y, width, height, fb_pen(fb, red, green, blue));
}
