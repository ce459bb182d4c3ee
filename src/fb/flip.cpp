// Showing the drawing page: vertical-sync wait, pan, page exchange.
#include "fb/framebuffer.h"

#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>

// Copies the device rectangle r from one page to the other.
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

void glimmer_fb_flip(Framebuffer *fb, bool sync)
{
    const FbRect drawn = fb->damage;
    fb->damage = FbRect{0, 0, 0, 0};
    if (!fb->double_buffered)
        return;

    uint32_t display = 0;
    const int vsync = ioctl(fb->fd, FBIO_WAITFORVSYNC, &display);
    if (vsync != 0)
        fprintf(stderr, "Error, FB vsync ioctl [%d]\n", vsync);

    fb->var_info.yoffset = fb->var_info.yoffset != 0 ? 0 : (uint32_t)fb->real_height;
    if (ioctl(fb->fd, FBIOPAN_DISPLAY, &fb->var_info) == -1)
        fputs("glimmer_fb_flip: FBIOPAN_DISPLAY failed\n", stderr);

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
