// libglimmer_vtemu.so: the Linux virtual terminals, emulated at the libc
// boundary. Preloaded, it answers the opens of /dev/tty0 and /dev/ttyN and the
// console requests on those descriptors from the model in $GLIMMER_EMU_DIR
// (see vtemu.h); everything else goes on to the next definition, so it can
// sit beside other interposers in LD_PRELOAD.
//
// It never lets an open of a real console device through: without a
// configured console those opens fail with ENOENT.
//
// The interposed names must keep their plain meaning here even where the
// build asks for 64-bit file offsets or time (32-bit ARM), which would
// otherwise rename open to open64 and ioctl to __ioctl_time64.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#undef _FORTIFY_SOURCE

#include "../common/open_mode.h"
#include "model.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/vt.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#define EXPORT extern "C" __attribute__((visibility("default")))

enum { TTY_MAJOR_NUMBER = 4, MAX_TRACKED_FD = 4096 };

// Descriptor -> emulated terminal: 0 for none, else (vt + 1) | (as tty0 ? 0x80 : 0).
static std::atomic<uint8_t> tracked[MAX_TRACKED_FD];

using OpenFn = int (*)(const char *, int, ...);
using OpenatFn = int (*)(int, const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using Openat2Fn = int (*)(int, const char *, int);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);

static void *next_symbol(const char *name, const char *fallback)
{
    void *p = dlsym(RTLD_NEXT, name);
    if (!p && fallback)
        p = dlsym(RTLD_NEXT, fallback);
    return p;
}

template <typename F>
static F resolve(std::atomic<F> *cache, const char *name, const char *fallback)
{
    F f = cache->load(std::memory_order_relaxed);
    if (!f) {
        f = reinterpret_cast<F>(next_symbol(name, fallback));
        cache->store(f, std::memory_order_relaxed);
    }
    return f;
}

static OpenFn next_open()
{
    static std::atomic<OpenFn> f;
    return resolve(&f, "open", nullptr);
}

static CloseFn next_close()
{
    static std::atomic<CloseFn> f;
    return resolve(&f, "close", nullptr);
}

// ---- which paths are the console ------------------------------------------

// Lexically resolves `path` (relative to dirfd) into an absolute path.
static bool absolute_path(int dirfd, const char *path, char *out, size_t size)
{
    char joined[PATH_MAX * 2];
    if (path[0] == '/') {
        if (strlen(path) >= sizeof joined)
            return false;
        strcpy(joined, path);
    } else {
        char base[PATH_MAX];
        if (dirfd == AT_FDCWD) {
            if (!getcwd(base, sizeof base))
                return false;
        } else {
            char link[64];
            char digits[16];
            int i = (int)sizeof digits - 1;
            digits[i] = '\0';
            unsigned v = (unsigned)dirfd;
            do {
                digits[--i] = (char)('0' + v % 10);
                v /= 10;
            } while (v && i > 0);
            strcpy(link, "/proc/self/fd/");
            strcat(link, digits + i);
            const ssize_t n = readlink(link, base, sizeof base - 1);
            if (n <= 0)
                return false;
            base[n] = '\0';
        }
        if (strlen(base) + 1 + strlen(path) >= sizeof joined)
            return false;
        strcpy(joined, base);
        strcat(joined, "/");
        strcat(joined, path);
    }
    // Collapse "//", "." and "..".
    size_t length = 0;
    for (const char *p = joined; *p;) {
        while (*p == '/')
            p++;
        const char *end = p;
        while (*end && *end != '/')
            end++;
        const size_t n = (size_t)(end - p);
        if (n == 0 || (n == 1 && p[0] == '.')) {
        } else if (n == 2 && p[0] == '.' && p[1] == '.') {
            while (length > 0 && out[length - 1] != '/')
                length--;
            if (length > 0)
                length--;
        } else {
            if (length + 1 + n + 1 > size)
                return false;
            out[length++] = '/';
            memcpy(out + length, p, n);
            length += n;
        }
        p = end;
    }
    if (length == 0)
        out[length++] = '/';
    out[length] = '\0';
    return true;
}

// Whether the path names a console terminal, and which: "/dev/tty<number>",
// or any node of the console's device numbers (a link to one, for example).
// *vt may be out of range (/dev/tty-1, /dev/tty64): such a terminal does not exist.
static bool console_path(int dirfd, const char *path, int *vt)
{
    if (!path)
        return false;
    const int saved_errno = errno;
    bool found = false;
    struct stat64 st;
    if (fstatat64(dirfd, path, &st, 0) == 0 && S_ISCHR(st.st_mode) &&
        major(st.st_rdev) == TTY_MAJOR_NUMBER && minor(st.st_rdev) <= VTEMU_MAX_VT) {
        *vt = (int)minor(st.st_rdev);
        found = true;
    }
    const char *slash = strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    char absolute[PATH_MAX];
    if (!found && strncmp(name, "tty", 3) == 0 &&
        absolute_path(dirfd, path, absolute, sizeof absolute) &&
        strncmp(absolute, "/dev/tty", 8) == 0) {
        const char *digits = absolute + 8;
        const char *p = digits[0] == '-' ? digits + 1 : digits;
        bool all_digits = *p != '\0' && strlen(p) < 9;
        for (const char *q = p; *q && all_digits; q++)
            all_digits = *q >= '0' && *q <= '9';
        if (all_digits) {
            *vt = atoi(digits);
            found = true;
        }
    }
    errno = saved_errno;
    return found;
}

static const char *emu_dir()
{
    const char *dir = getenv("GLIMMER_EMU_DIR");
    return dir && *dir ? dir : nullptr;
}

static int fail(int error)
{
    errno = error;
    return -1;
}

static int console_open(int vt, int flags)
{
    const char *dir = emu_dir();
    if (!dir)
        return fail(ENOENT);
    // The descriptor is a real one, of /dev/null, so that everything a
    // program may do with it besides the console requests just works.
    const int keep = O_ACCMODE | O_NONBLOCK | O_CLOEXEC;
    const int fd = next_open()("/dev/null", flags & keep);
    if (fd < 0)
        return -1;
    if (fd >= MAX_TRACKED_FD) {
        next_close()(fd);
        return fail(EMFILE);
    }
    VtemuSession s;
    if (!vtemu_session_begin(&s, dir)) {
        next_close()(fd);
        return fail(ENOENT);
    }
    int resolved = 0, error = 0;
    const int result = vtemu_open(&s, vt, flags, &resolved, &error);
    vtemu_session_end(&s);
    if (result != 0) {
        next_close()(fd);
        return fail(error);
    }
    tracked[fd].store((uint8_t)((resolved + 1) | (vt == 0 ? 0x80 : 0)));
    return fd;
}

static bool lookup(int fd, int *device, int *vt)
{
    if (fd < 0 || fd >= MAX_TRACKED_FD)
        return false;
    const uint8_t v = tracked[fd].load();
    if (!v)
        return false;
    *vt = (v & 0x7f) - 1;
    *device = (v & 0x80) ? 0 : *vt;
    return true;
}

static int open_common(int dirfd, const char *path, int flags, mode_t mode, bool at,
                       const char *name)
{
    int vt;
    if (console_path(dirfd, path, &vt)) {
        const int saved_errno = errno;
        const int fd = console_open(vt, flags);
        if (fd >= 0)
            errno = saved_errno;
        return fd;
    }
    if (at) {
        static std::atomic<OpenatFn> f;
        static std::atomic<OpenatFn> f64;
        const bool is64 = strcmp(name, "openat64") == 0;
        OpenatFn next = is64 ? resolve(&f64, "openat64", "openat") : resolve(&f, "openat", nullptr);
        return next(dirfd, path, flags, mode);
    }
    static std::atomic<OpenFn> f64;
    OpenFn next = strcmp(name, "open64") == 0 ? resolve(&f64, "open64", "open") : next_open();
    return next(path, flags, mode);
}

EXPORT int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = open_mode_argument(flags, ap);
    va_end(ap);
    return open_common(AT_FDCWD, path, flags, mode, false, "open");
}

EXPORT int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = open_mode_argument(flags, ap);
    va_end(ap);
    return open_common(AT_FDCWD, path, flags, mode, false, "open64");
}

EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = open_mode_argument(flags, ap);
    va_end(ap);
    return open_common(dirfd, path, flags, mode, true, "openat");
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = open_mode_argument(flags, ap);
    va_end(ap);
    return open_common(dirfd, path, flags, mode, true, "openat64");
}

// The checked variants that fortified callers use; they never create files.
static int open2_common(int dirfd, const char *path, int flags, const char *name, bool at)
{
    int vt;
    if (console_path(dirfd, path, &vt)) {
        const int saved_errno = errno;
        const int fd = console_open(vt, flags);
        if (fd >= 0)
            errno = saved_errno;
        return fd;
    }
    if (at) {
        Openat2Fn next = reinterpret_cast<Openat2Fn>(next_symbol(name, "__openat_2"));
        return next(dirfd, path, flags);
    }
    Open2Fn next = reinterpret_cast<Open2Fn>(next_symbol(name, "__open_2"));
    return next(path, flags);
}

EXPORT int __open_2(const char *path, int flags)
{
    return open2_common(AT_FDCWD, path, flags, "__open_2", false);
}

EXPORT int __open64_2(const char *path, int flags)
{
    return open2_common(AT_FDCWD, path, flags, "__open64_2", false);
}

EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
    return open2_common(dirfd, path, flags, "__openat_2", true);
}

EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
    return open2_common(dirfd, path, flags, "__openat64_2", true);
}

static int console_ioctl(int device, int vt, unsigned long request, void *arg)
{
    const int saved_errno = errno;
    const char *dir = emu_dir();
    if (!dir)
        return fail(EIO);
    int error = 0, result;
    if (request == VT_WAITACTIVE) {
        result = vtemu_wait_active(dir, device, (int)(uintptr_t)arg, &error);
    } else {
        VtemuSession s;
        if (!vtemu_session_begin(&s, dir))
            return fail(EIO);
        result = vtemu_ioctl(&s, device, vt, request, arg, &error);
        vtemu_session_end(&s);
    }
    if (result < 0)
        return fail(error);
    errno = saved_errno;
    return result;
}

EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int device, vt;
    if (lookup(fd, &device, &vt))
        return console_ioctl(device, vt, request, arg);
    static std::atomic<IoctlFn> f;
    return resolve(&f, "ioctl", nullptr)(fd, request, arg);
}

#if defined(__GLIBC__) && __WORDSIZE == 32
// Callers built with 64-bit time reach ioctl under this name.
EXPORT int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int device, vt;
    if (lookup(fd, &device, &vt))
        return console_ioctl(device, vt, request, arg);
    static std::atomic<IoctlFn> f;
    return resolve(&f, "__ioctl_time64", "ioctl")(fd, request, arg);
}
#endif

EXPORT int close(int fd)
{
    int device, vt;
    if (!lookup(fd, &device, &vt))
        return next_close()(fd);
    tracked[fd].store(0);
    const int saved_errno = errno;
    const int result = next_close()(fd);
    const char *dir = emu_dir();
    VtemuSession s;
    if (dir && vtemu_session_begin(&s, dir)) {
        vtemu_close(&s, device, vt);
        vtemu_session_end(&s);
    }
    errno = saved_errno;
    return result;
}

// Lets a test make sure the emulation is loaded before it touches a terminal.
EXPORT int glimmer_vtemu_preloaded(void)
{
    return 1;
}
