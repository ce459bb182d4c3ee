// Opening the framebuffer device: depth, double buffering, mapping, layout.
#include "fbdev/fbdev.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void set_bitfield(struct fb_bitfield *f, uint32_t offset, uint32_t length)
{
    f->offset = offset;
    f->length = length;
    f->msb_right = 0;
}

// Sets the depth, with the doubled virtual height for a second page in the
// same request when `pages` (a depth change is a mode set, and so is a change
// of the virtual height: one request costs one instead of two). Refused, the
// depth is asked for alone, one page high.
static bool put_depth(int fd, struct fb_var_screeninfo *var, bool pages)
{
    if (pages) {
        struct fb_var_screeninfo both = *var;
        both.yres_virtual = 2 * var->yres;
        if (ioctl(fd, FBIOPUT_VSCREENINFO, &both) == 0) {
            *var = both;
            return true;
        }
    }
    return ioctl(fd, FBIOPUT_VSCREENINFO, var) == 0;
}

// Asks for 32, then 16 bits per pixel. Returns false when both are refused.
static bool change_depth(int fd, struct fb_var_screeninfo *var, bool pages)
{
    fprintf(stderr,
            "Error, no support currently for %i bpp frame buffers\n"
            "Trying to change pixel format...\n",
            (int)var->bits_per_pixel);
    var->yres_virtual = var->yres;
    var->bits_per_pixel = 32;
    set_bitfield(&var->red, 0, 8);
    set_bitfield(&var->green, 8, 8);
    set_bitfield(&var->blue, 16, 8);
    set_bitfield(&var->transp, 0, 0);
    if (put_depth(fd, var, pages)) {
        fputs("Switched to a 32 bpp 8,8,8 frame buffer\n", stdout);
        return true;
    }
    fputs("Error, failed to switch to a 32 bpp 8,8,8 frame buffer\n", stderr);
    var->bits_per_pixel = 16;
    set_bitfield(&var->red, 11, 5);
    set_bitfield(&var->green, 5, 6);
    set_bitfield(&var->blue, 0, 5);
    set_bitfield(&var->transp, 0, 0);
    if (put_depth(fd, var, pages)) {
        fputs("Switched to a 16 bpp 5,6,5 frame buffer\n", stdout);
        return true;
    }
    fputs("Error, failed to switch to a 16 bpp 5,6,5 frame buffer\n", stderr);
    return false;
}

// Whether one page, and whether two, fit into the device memory: drawing
// never writes outside the mapping, whatever the driver reports. Says why
// not on stderr when `report`.
static bool check_memory(const struct fb_var_screeninfo *var, const struct fb_fix_screeninfo *fix,
                         bool *two_pages, bool report)
{
    const uint64_t page_offset = fix->smem_start % (uint64_t)getpagesize();
    const uint64_t row = (uint64_t)(var->bits_per_pixel / 8) * var->xres;
    const uint64_t page = (uint64_t)fix->line_length * var->yres;
    *two_pages = page_offset + 2 * page <= fix->smem_len;
    if (var->xres > 32767 || var->yres > 32767 || fix->line_length > INT32_MAX / 2) {
        if (report)
            fprintf(stderr, "Error framebuffer geometry %ux%u, line length %u is not supported\n",
                    var->xres, var->yres, fix->line_length);
        return false;
    }
    if (var->xres == 0 || var->yres == 0)
        return true;
    if (fix->line_length < row) {
        if (report)
            fprintf(stderr, "Error line length of %u bytes is shorter than a row of %u pixels\n",
                    fix->line_length, var->xres);
        return false;
    }
    if (page_offset + page - fix->line_length + row > fix->smem_len) {
        if (report)
            fprintf(stderr, "Error framebuffer memory of %u bytes is too small for %ux%u pixels\n",
                    fix->smem_len, var->xres, var->yres);
        return false;
    }
    return true;
}

enum PutResult {
    PUT_UNUSABLE = -1, // the fixed information cannot be read after the mode set
    PUT_REFUSED,       // nothing changed
    PUT_KEPT,          // a mode set that kept one page (a driver without a mode check)
    PUT_GRANTED,       // two pages
};

// Asks for a virtual height of two pages. var then holds the mode the driver
// set, and fix is read again after any mode set.
static PutResult put_two_pages(int fd, struct fb_var_screeninfo *var, struct fb_fix_screeninfo *fix)
{
    var->yres_virtual = 2 * var->yres;
    const bool done = ioctl(fd, FBIOPUT_VSCREENINFO, var) != -1;
    // A driver without a mode check answers with its mode as it was: less
    // than two pages high, the second page cannot be panned to.
    if (!done || var->yres_virtual < 2 * var->yres)
        fputs("FBIOPUT_VSCREENINFO failed, double buffering disabled\n", stderr);
    if (!done)
        return PUT_REFUSED;
    if (ioctl(fd, FBIOGET_FSCREENINFO, fix) == -1) {
        perror(" Error getting the fixed framebuffer info");
        return PUT_UNUSABLE;
    }
    return var->yres_virtual < 2 * var->yres ? PUT_KEPT : PUT_GRANTED;
}

// Fills the head from the mode, maps the memory (again, where the driver
// moved or resized it) and places the pages. False when the memory cannot
// hold a page or cannot be mapped.
static bool lay_out(FbdevOutput *dev, struct fb_var_screeninfo *var,
                    const struct fb_fix_screeninfo *fix, bool double_buffered)
{
    Framebuffer *fb = &dev->head;
    bool two_pages;
    if (!check_memory(var, fix, &two_pages, true))
        return false;
    if (double_buffered && !two_pages) {
        fputs("Framebuffer memory too small for two pages, double buffering disabled\n", stderr);
        double_buffered = false;
    }
    if (!double_buffered && var->yoffset != 0) {
        // Another page may be on display: show the one that is drawn.
        var->yoffset = 0;
        (void)ioctl(dev->fd, FBIOPAN_DISPLAY, var);
    }

    // A mapping that fails leaves the record as it was, drawable.
    if (!dev->mapping || dev->mapping_size != fix->smem_len ||
        dev->mapped_start != fix->smem_start) {
        void *mapping =
            mmap(nullptr, fix->smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, dev->fd, 0);
        if (mapping == MAP_FAILED) {
            perror("Error cannot mmap framebuffer ");
            return false;
        }
        if (dev->mapping)
            (void)munmap(dev->mapping, dev->mapping_size);
        dev->mapping = (uint8_t *)mapping;
        dev->mapping_size = fix->smem_len;
        dev->mapped_start = fix->smem_start;
    }

    fb->width = fb->real_width = (int)var->xres;
    fb->height = fb->real_height = (int)var->yres;
    if (fb->rotation == FB_ROTATE_90 || fb->rotation == FB_ROTATE_270) {
        fb->width = fb->real_height;
        fb->height = fb->real_width;
    }
    fb->bpp = (int)var->bits_per_pixel;
    fb->stride = (int)fix->line_length;
    fb->red_offset = var->red.offset;
    fb->red_length = var->red.length;
    fb->green_offset = var->green.offset;
    fb->green_length = var->green.length;
    fb->blue_offset = var->blue.offset;
    fb->blue_length = var->blue.length;
    fb->format = glimmer_fb_classify(var->red.offset, var->red.length, var->green.offset,
                                     var->green.length, var->blue.offset, var->blue.length);
    fb->double_buffered = double_buffered;

    dev->base = dev->mapping + fix->smem_start % (unsigned long)getpagesize();

    const ptrdiff_t page = (ptrdiff_t)fb->stride * fb->real_height;
    if (!double_buffered) {
        fb->draw_page = fb->shown_page = dev->base;
    } else {
        dev->var_info = *var;
        if (var->yoffset != 0) {
            puts("to front");
            fb->draw_page = dev->base;
            fb->shown_page = dev->base + page;
        } else {
            puts("to back");
            fb->draw_page = dev->base + page;
            fb->shown_page = dev->base;
        }
    }
    return true;
}

// The second page, asked for once the first picture is on the screen: the
// request is a mode set, which some drivers take hundreds of milliseconds
// over. Whatever it grants, the scene is drawn again: a mode set may have
// changed the layout, and the text console of a terminal left in text mode
// redraws itself over the page on display.
static OutputFinish fbdev_finish(Output *output)
{
    FbdevOutput *dev = (FbdevOutput *)output;
    if (!dev->second_page_pending)
        return OUTPUT_FINISHED;
    dev->second_page_pending = false;
    struct fb_var_screeninfo var = dev->var_info;
    struct fb_fix_screeninfo fix;
    memset(&fix, 0, sizeof fix);
    memset(&dev->var_info, 0, sizeof dev->var_info);
    const PutResult put = put_two_pages(dev->fd, &var, &fix);
    if (put == PUT_REFUSED)
        return OUTPUT_FINISHED;
    if (put == PUT_UNUSABLE || !lay_out(dev, &var, &fix, put == PUT_GRANTED))
        return OUTPUT_FAILED;
    return OUTPUT_REDRAW;
}

const OutputOps glimmer_fbdev_ops = {glimmer_fbdev_flip, glimmer_fbdev_close, fbdev_finish};

static FbdevOutput *fail(FbdevOutput *dev)
{
    glimmer_fbdev_close(&dev->output);
    return nullptr;
}

FbdevOutput *glimmer_fbdev_open(int fd, FbRotation rotation)
{
    FbdevOutput *dev = (FbdevOutput *)calloc(1, sizeof *dev);
    if (!dev) {
        perror("Error no memory");
        close(fd);
        return nullptr;
    }
    dev->output.ops = &glimmer_fbdev_ops;
    dev->output.head_count = 1;
    dev->output.heads[0] = &dev->head;
    dev->head.rotation = rotation;
    dev->fd = fd;

    struct fb_var_screeninfo var;
    struct fb_fix_screeninfo fix;
    memset(&var, 0, sizeof var);
    memset(&fix, 0, sizeof fix);
    if (ioctl(dev->fd, FBIOGET_VSCREENINFO, &var) == -1) {
        perror("Error getting variable framebuffer info");
        return fail(dev);
    }
    // A depth change must come before drawing. As it is a mode set anyway,
    // the second page is asked for with it, if the display pans at all (the
    // pan request below decides).
    if (var.bits_per_pixel < 16 &&
        !change_depth(dev->fd, &var, ioctl(dev->fd, FBIOPAN_DISPLAY, &var) == 0))
        return fail(dev);
    if (ioctl(dev->fd, FBIOGET_VSCREENINFO, &var) == -1) {
        perror("Error getting variable framebuffer info (2)");
        return fail(dev);
    }
    if (ioctl(dev->fd, FBIOGET_FSCREENINFO, &fix) == -1) {
        perror("Error getting fixed framebuffer info");
        return fail(dev);
    }

    bool double_buffered = false, two_pages = false;
    if (ioctl(dev->fd, FBIOPAN_DISPLAY, &var) == -1) {
        fputs("FBIOPAN_DISPLAY not supported, double buffering disabled\n", stderr);
    } else if (var.yres_virtual == 2 * var.yres) {
        double_buffered = true;
    } else if (var.yoffset == 0 && check_memory(&var, &fix, &two_pages, false)) {
        // The first page is the one on display: the first picture goes
        // there at once, and the second page waits for fbdev_finish.
        dev->second_page_pending = true;
    } else {
        const PutResult put = put_two_pages(dev->fd, &var, &fix);
        if (put == PUT_UNUSABLE)
            return fail(dev);
        double_buffered = put == PUT_GRANTED;
    }

    if (!lay_out(dev, &var, &fix, double_buffered))
        return fail(dev);
    if (dev->second_page_pending)
        dev->var_info = var;
    return dev;
}

void glimmer_fbdev_close(Output *output)
{
    FbdevOutput *dev = (FbdevOutput *)output;
    if (!dev)
        return;
    // The text console draws into the first page: left on the second, as
    // after a run without a terminal of its own, the console would seem gone.
    if (dev->fd >= 0 && dev->head.double_buffered && dev->var_info.yoffset != 0) {
        dev->var_info.yoffset = 0;
        (void)ioctl(dev->fd, FBIOPAN_DISPLAY, &dev->var_info);
    }
    if (dev->fd >= 0)
        close(dev->fd);
    free(dev);
}
