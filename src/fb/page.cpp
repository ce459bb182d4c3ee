// The page record's own rules: pixel format, rotation, and the exchange of
// the two pages at a flip. Plain memory only.
#include "fb/framebuffer.h"

#include <cstring>

FbPixelFormat glimmer_fb_classify(uint32_t red_offset, uint32_t red_length, uint32_t green_offset,
                                  uint32_t green_length, uint32_t blue_offset, uint32_t blue_length)
{
    const bool green_565 = green_offset == 5 && green_length == 6;
    const bool green_888 = green_offset == 8 && green_length == 8;
    switch (red_offset) {
    case 11:
        if (red_length == 5 && green_565 && blue_offset == 0 && blue_length == 5)
            return FB_FORMAT_RGB565;
        break;
    case 0:
        if (red_length == 5 && green_565 && blue_offset == 11 && blue_length == 5)
            return FB_FORMAT_BGR565;
        if (red_length == 8 && green_888 && blue_offset == 16 && blue_length == 8)
            return FB_FORMAT_BGR888;
        break;
    case 16:
        if (red_length == 8 && green_888 && blue_offset == 0 && blue_length == 8)
            return FB_FORMAT_RGB888;
        break;
    default:
        break;
    }
    return FB_FORMAT_GENERIC;
}

FbRotation glimmer_fb_rotation_from_degrees(int degrees)
{
    switch (degrees) {
    case 90:
        return FB_ROTATE_90;
    case 180:
        return FB_ROTATE_180;
    case 270:
        return FB_ROTATE_270;
    default:
        return FB_ROTATE_0;
    }
}

// Copies the page rectangle r from one page to the other.
static void copy_rect(const Framebuffer *fb, uint8_t *to, const uint8_t *from, const FbRect &r)
{
    const ptrdiff_t bytes = fb->bpp / 8;
    const ptrdiff_t start = (ptrdiff_t)fb->stride * r.y0 + bytes * r.x0;
    const size_t n = (size_t)(bytes * (r.x1 - r.x0));
    for (int y = r.y0; y < r.y1; y++) {
        const ptrdiff_t at = start + (ptrdiff_t)fb->stride * (y - r.y0);
        memcpy(to + at, from + at, n);
    }
}

void glimmer_fb_swap_pages(Framebuffer *fb, bool sync)
{
    const FbRect drawn = fb->damage;
    fb->damage = FbRect{0, 0, 0, 0};
    if (!fb->double_buffered)
        return;

    uint8_t *const shown = fb->draw_page;
    fb->draw_page = fb->shown_page;
    fb->shown_page = shown;

    // Bring the new drawing page up to date with the page now shown: all of
    // it when asked, otherwise just what was drawn since the last flip.
    if (sync)
        memcpy(fb->draw_page, fb->shown_page, (size_t)fb->stride * (size_t)fb->real_height);
    else if (drawn.x0 < drawn.x1)
        copy_rect(fb, fb->draw_page, fb->shown_page, drawn);
}
