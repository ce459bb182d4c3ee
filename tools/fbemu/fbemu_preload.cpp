// Emulated framebuffer devices for unmodified programs, loaded with
// LD_PRELOAD. Opens of /dev/fb0 to /dev/fb9 are answered from the directory
// named by GLIMMER_EMU_DIR: the descriptor handed out is a real descriptor of
// the file fbN.mem that holds the device memory, so mmap, read and close work
// unchanged; ioctl on such a descriptor is answered by the device model.
// Every other call goes on to the next definition, which lets other
// interposers of the same kind sit beside this one.
//
// Without GLIMMER_EMU_DIR, or without fbN.conf in it, the device does not
// exist: the open fails with ENOENT and no real device is ever touched.
#define INTERPOSE_NAME "fbemu"
#include "../common/interpose.h"
#include "fbemu_device.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Which descriptors are emulated devices: device number + 1, or 0.
enum { TRACKED_FDS = 4096 };
static signed char device_of_fd[TRACKED_FDS];

static int device_of(int fd)
{
    return fd >= 0 && fd < TRACKED_FDS ? device_of_fd[fd] - 1 : -1;
}

// The device number of "/dev/fbN", or -1 for any other path.
static int device_number(const char *path)
{
    if (!path || strncmp(path, "/dev/fb", 7) != 0)
        return -1;
    if (path[7] < '0' || path[7] > '9' || path[8] != '\0')
        return -1;
    return path[7] - '0';
}

static int raw_open(const char *path, int flags, mode_t mode)
{
    NEXT(OpenatFn, openat);
    return next_openat(AT_FDCWD, path, flags, mode);
}

static int raw_close(int fd)
{
    NEXT(CloseFn, close);
    return next_close(fd);
}

// Holds the device's lock file, so that a request's read-modify-write of the
// state is not mixed with another process's.
static int lock_device(const char *dir, int n)
{
    char path[4096];
    if (!fbemu_path(path, sizeof path, dir, n, "lock"))
        return -1;
    const int fd = raw_open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    return fd;
}

static void unlock_device(int fd)
{
    if (fd >= 0)
        raw_close(fd); // closing releases the lock
}

// Appends one line to the device's request log.
static void log_line(const char *dir, int n, const char *line)
{
    char path[4096];
    if (!fbemu_path(path, sizeof path, dir, n, "log"))
        return;
    const int fd = raw_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    (void)!write(fd, line, strlen(line));
    raw_close(fd);
}

static const char *emu_dir()
{
    const char *dir = getenv("GLIMMER_EMU_DIR");
    return dir && *dir ? dir : nullptr;
}

// Creates the device memory on first use, zero-filled.
static bool prepare_memory(const char *path, uint32_t size)
{
    const int fd = raw_open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && (uint64_t)st.st_size < size)
        ok = ftruncate(fd, (off_t)size) == 0;
    raw_close(fd);
    return ok;
}

static int open_device(int n, int flags)
{
    const char *dir = emu_dir();
    FbemuDevice d;
    if (!dir || !fbemu_device_load(dir, n, &d)) {
        errno = ENOENT;
        return -1;
    }
    const int lock = lock_device(dir, n);
    // Load again under the lock: another process may have changed the state.
    if (!fbemu_device_load(dir, n, &d)) {
        unlock_device(lock);
        errno = ENOENT;
        return -1;
    }
    char path[4096], line[256];
    int fd = -1, err = 0;
    if (!fbemu_path(path, sizeof path, dir, n, "mem") || !prepare_memory(path, d.smem_len)) {
        err = EIO;
    } else if (!d.mappable) {
        // A socket answers the requests like the device but cannot be mapped.
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | (flags & O_CLOEXEC ? SOCK_CLOEXEC : 0), 0, ends) ==
            0) {
            raw_close(ends[1]);
            fd = ends[0];
        }
        err = errno;
    } else {
        fd = raw_open(path, (flags & (O_ACCMODE | O_CLOEXEC | O_NONBLOCK)), 0);
        err = errno;
        if (fd >= TRACKED_FDS) {
            raw_close(fd);
            fd = -1;
            err = EMFILE;
        }
    }
    if (fd >= 0) {
        device_of_fd[fd] = (signed char)(n + 1);
        d.opens++;
        (void)fbemu_device_save(dir, n, &d);
        snprintf(line, sizeof line, "open path=/dev/fb%d flags=%#x -> %d\n", n, (unsigned)flags,
                 fd);
    } else {
        char name[16];
        snprintf(line, sizeof line, "open path=/dev/fb%d flags=%#x -> -1 %s\n", n, (unsigned)flags,
                 fbemu_errno_name(err, name, sizeof name));
    }
    log_line(dir, n, line);
    unlock_device(lock);
    errno = err;
    return fd;
}

// " shown=HASH": the lines on display as a mode set begins, so that a log
// tells what the screen showed while the driver took its time.
static void describe_shown(const char *dir, int n, const FbemuDevice *d, char *buf, size_t len)
{
    buf[0] = '\0';
    char path[4096];
    const size_t size = (size_t)d->line_length * d->yres;
    const off_t at = (off_t)fbemu_page_offset(d) + (off_t)d->line_length * d->yoffset;
    if (!fbemu_path(path, sizeof path, dir, n, "mem") || size == 0 || size > (64u << 20))
        return;
    const int fd = raw_open(path, O_RDONLY | O_CLOEXEC, 0);
    uint8_t *bytes = fd >= 0 ? (uint8_t *)malloc(size) : nullptr;
    if (bytes && pread(fd, bytes, size, at) == (ssize_t)size)
        snprintf(buf, len, " shown=%08x", glimmer_fbemu_crc32(bytes, size));
    free(bytes);
    if (fd >= 0)
        raw_close(fd);
}

static int device_ioctl(int fd, int n, unsigned long code, void *arg)
{
    const char *dir = emu_dir();
    if (!dir) {
        errno = ENODEV;
        return -1;
    }
    const int request = fbemu_request_from_code(code);
    char line[1024], desc[768], name[16], shown[40] = "";
    const int lock = lock_device(dir, n);
    FbemuDevice d;
    FbemuAnswer answer;
    if (!fbemu_device_load(dir, n, &d)) {
        answer = {-1, ENODEV};
    } else {
        if (request == FBEMU_PUT_VAR)
            describe_shown(dir, n, &d, shown, sizeof shown);
        answer = fbemu_device_request(&d, request, arg, desc, sizeof desc);
        (void)fbemu_device_save(dir, n, &d);
    }
    if (request < 0) {
        snprintf(line, sizeof line, "ioctl request=%#lx", code);
        desc[0] = '\0';
    } else {
        snprintf(line, sizeof line, "%s%s", fbemu_request_name(request), shown);
    }
    const size_t used = strlen(line);
    if (answer.result == -1)
        snprintf(line + used, sizeof line - used, "%s -> -1 %s fd=%d\n", desc,
                 fbemu_errno_name(answer.err, name, sizeof name), fd);
    else
        snprintf(line + used, sizeof line - used, "%s -> %d fd=%d\n", desc, answer.result, fd);
    log_line(dir, n, line);
    unlock_device(lock);
    if (answer.result == -1)
        errno = answer.err;
    return answer.result;
}

static void forget_device(int fd, int n, int result)
{
    device_of_fd[fd] = 0;
    const char *dir = emu_dir();
    if (!dir)
        return;
    const int lock = lock_device(dir, n);
    FbemuDevice d;
    if (fbemu_device_load(dir, n, &d)) {
        d.closes++;
        (void)fbemu_device_save(dir, n, &d);
    }
    char line[128];
    snprintf(line, sizeof line, "close fd=%d -> %d\n", fd, result);
    log_line(dir, n, line);
    unlock_device(lock);
}

INTERPOSE_OPENS(device_number, open_device)

EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    const int n = device_of(fd);
    if (n >= 0)
        return device_ioctl(fd, n, request, arg);
    NEXT(IoctlFn, ioctl);
    return next_ioctl(fd, request, arg);
}

#if defined(__GLIBC__) && __WORDSIZE == 32
// 32-bit programs built with a 64-bit time_t call this name instead.
EXPORT int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    const int n = device_of(fd);
    if (n >= 0)
        return device_ioctl(fd, n, request, arg);
    NEXT(IoctlFn, __ioctl_time64);
    return next___ioctl_time64(fd, request, arg);
}
#endif

EXPORT int close(int fd)
{
    const int n = device_of(fd);
    const int result = raw_close(fd);
    if (n >= 0)
        forget_device(fd, n, result);
    return result;
}
