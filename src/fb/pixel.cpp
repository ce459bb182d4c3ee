// The pixel rule and the rectangle fill.
#include "fb/pixel.h"

enum { PATTERN_BYTES = 192 }; // whole pixels at 2, 3 and 4 bytes each

// Writes n pixels of the pen from p on, in PATTERN_BYTES blocks: one memcpy
// of a constant size per block, whatever the depth and the alignment.
static void fill_span(uint8_t *p, size_t n, const uint8_t *pattern, int bytes)
{
    size_t total = n * (size_t)bytes;
    while (total >= PATTERN_BYTES) {
        memcpy(p, pattern, PATTERN_BYTES);
        p += PATTERN_BYTES;
        total -= PATTERN_BYTES;
    }
    memcpy(p, pattern, total);
}

void fb_fill_device_rect(Framebuffer *fb, const FbDamage &r, const FbPen &pen)
{
    if (pen.bytes == 0 || r.x0 >= r.x1 || r.y0 >= r.y1)
        return;
    fb_damage_add(fb, r);

    const size_t n = (size_t)(r.x1 - r.x0);
    uint8_t *row = fb->draw_page + (ptrdiff_t)fb->stride * r.y0 + (ptrdiff_t)pen.bytes * r.x0;
    if (n == 1) {
        for (int y = r.y0; y < r.y1; y++, row += fb->stride)
            fb_store(row, pen);
        return;
    }
    alignas(16) uint8_t pattern[PATTERN_BYTES];
    for (int i = 0; i < PATTERN_BYTES; i += pen.bytes)
        memcpy(pattern + i, pen.b, (size_t)pen.bytes);
    for (int y = r.y0; y < r.y1; y++, row += fb->stride)
        fill_span(row, n, pattern, pen.bytes);
}

void fb_fill_pen(Framebuffer *fb, int64_t x, int64_t y, int64_t w, int64_t h, const FbPen &pen)
{
    int x0, y0, x1, y1;
    if (pen.bytes == 0 || !fb_clip(fb, x, y, w, h, &x0, &y0, &x1, &y1))
        return;
    fb_fill_device_rect(fb, fb_device_rect(fb, x0, y0, x1, y1), pen);
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
    fb_damage_add(fb, fb_device_rect(fb, x, y, x + 1, y + 1));
}

// A fill's pixels all get the same colour, so the rectangle is written in the
// device's own order, a line at a time, whatever the rotation.
void glimmer_fb_fill_rect(Framebuffer *fb, int x, int y, int width, int height, uint8_t red,
                          uint8_t green, uint8_t blue)
{
    fb_fill_pen(fb, x, y, width, height, fb_pen(fb, red, green, blue));
}
