// The benchmark's stand-in for the two requests a page flip makes, so that the
// flip runs its own code, success path included, without a device.
//
// This definition of ioctl takes the place of the C library's for the whole
// benchmark program (glimmer_core is linked in statically). On the descriptor
// named by bench_flip_fd:
//   - the vertical-sync wait succeeds at once: the wait is the display's time,
//     not the program's, and is left out of every figure;
//   - the pan goes to the kernel as a real system call on that descriptor (an
//     open /dev/null, which refuses it) and is answered with success, so the
//     cost of entering the kernel once per flip stays in the figures.
// Every other call goes on to the next definition: the C library's, or a
// preloaded device emulation's (the DRM cases run on an emulated card).
#include <dlfcn.h>
#include <linux/fb.h>
#include <linux/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>

int bench_flip_fd = -1;

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd >= 0 && fd == bench_flip_fd) {
        if (request == FBIO_WAITFORVSYNC)
            return 0;
        if (request == FBIOPAN_DISPLAY) {
            (void)syscall(SYS_ioctl, fd, request, arg);
            return 0;
        }
    }
    typedef int (*IoctlFn)(int, unsigned long, ...);
    static const IoctlFn next = (IoctlFn)dlsym(RTLD_NEXT, "ioctl");
    return next(fd, request, arg);
}
