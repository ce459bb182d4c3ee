/* Runs inside the test VM only: reports what the guest kernel says about its
 * virtual terminals and framebuffer, one line of plain words per call, so
 * that the host can compare them with what glimmer should have left behind. */
#include <fcntl.h>
#include <linux/fb.h>
#include <linux/kd.h>
#include <linux/vt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int open_tty(const char *arg, int flags)
{
    char path[32];
    snprintf(path, sizeof path, "/dev/tty%s", arg);
    int fd = open(path, flags | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        perror(path);
    return fd;
}

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "openqry") == 0) {
        int fd = open_tty("0", O_WRONLY), vt = -1;
        if (fd < 0 || ioctl(fd, VT_OPENQRY, &vt) != 0) {
            perror("VT_OPENQRY");
            return 1;
        }
        printf("openqry %d\n", vt);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "kdmode") == 0) {
        int fd = open_tty(argv[2], O_RDONLY);
        int mode = -1;
        if (fd < 0 || ioctl(fd, KDGETMODE, &mode) != 0) {
            perror("KDGETMODE");
            return 1;
        }
        struct vt_mode vm;
        if (ioctl(fd, VT_GETMODE, &vm) != 0) {
            perror("VT_GETMODE");
            return 1;
        }
        printf("kdmode %s vtmode %s\n", mode == KD_TEXT ? "text" : "graphics",
               vm.mode == VT_AUTO ? "auto" : "process");
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "fb") == 0) {
        int fd = open("/dev/fb0", O_RDONLY);
        struct fb_var_screeninfo v;
        struct fb_fix_screeninfo f;
        if (fd < 0 || ioctl(fd, FBIOGET_VSCREENINFO, &v) != 0 ||
            ioctl(fd, FBIOGET_FSCREENINFO, &f) != 0) {
            perror("/dev/fb0");
            return 1;
        }
        printf("fb %u %u %u %u %u %u/%u %u/%u %u/%u %u %u %u %.16s\n", v.xres, v.yres,
               v.xres_virtual, v.yres_virtual, v.bits_per_pixel, v.red.offset, v.red.length,
               v.green.offset, v.green.length, v.blue.offset, v.blue.length, v.yoffset,
               f.line_length, f.smem_len, f.id);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "depth") == 0) {
        /* Puts the device into 16 bits 5:6:5 or 32 bits 8:8:8 before a test. */
        int fd = open("/dev/fb0", O_RDWR);
        struct fb_var_screeninfo v;
        if (fd < 0 || ioctl(fd, FBIOGET_VSCREENINFO, &v) != 0) {
            perror("/dev/fb0");
            return 1;
        }
        const int bpp = atoi(argv[2]);
        v.bits_per_pixel = (unsigned)bpp;
        v.yres_virtual = v.yres;
        v.yoffset = 0;
        v.transp.offset = v.transp.length = 0;
        v.red.offset = bpp == 16 ? 11 : 16;
        v.red.length = bpp == 16 ? 5 : 8;
        v.green.offset = bpp == 16 ? 5 : 8;
        v.green.length = bpp == 16 ? 6 : 8;
        v.blue.offset = 0;
        v.blue.length = bpp == 16 ? 5 : 8;
        if (ioctl(fd, FBIOPUT_VSCREENINFO, &v) != 0) {
            perror("FBIOPUT_VSCREENINFO");
            return 1;
        }
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "pan") == 0) {
        /* Shows the page at line Y, as a run that ended there would leave it. */
        int fd = open("/dev/fb0", O_RDWR);
        struct fb_var_screeninfo v;
        if (fd < 0 || ioctl(fd, FBIOGET_VSCREENINFO, &v) != 0) {
            perror("/dev/fb0");
            return 1;
        }
        v.yoffset = (unsigned)atoi(argv[2]);
        if (ioctl(fd, FBIOPAN_DISPLAY, &v) != 0) {
            perror("FBIOPAN_DISPLAY");
            return 1;
        }
        return 0;
    }
    fprintf(stderr, "usage: vtprobe openqry | kdmode N | fb | depth BPP | pan Y\n");
    return 2;
}
