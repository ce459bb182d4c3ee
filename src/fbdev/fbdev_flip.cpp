// Showing the drawing page: vertical-sync wait, pan, page exchange.
#include "fbdev/fbdev.h"

#include <sys/ioctl.h>

#include <cstdio>

bool glimmer_fbdev_flip(Output *output, bool sync)
{
    FbdevOutput *dev = (FbdevOutput *)output;
    Framebuffer *fb = output->heads[0];
    if (fb->double_buffered) {
        uint32_t display = 0;
        const int vsync = ioctl(dev->fd, FBIO_WAITFORVSYNC, &display);
        if (vsync != 0)
            fprintf(stderr, "Error, FB vsync ioctl [%d]\n", vsync);

        dev->var_info.yoffset = dev->var_info.yoffset != 0 ? 0 : (uint32_t)fb->real_height;
        if (ioctl(dev->fd, FBIOPAN_DISPLAY, &dev->var_info) == -1)
            fputs("glimmer_fb_flip: FBIOPAN_DISPLAY failed\n", stderr);
    }
    glimmer_fb_swap_pages(fb, sync);
    return true;
}
