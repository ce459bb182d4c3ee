// Emulated DRM cards for unmodified programs, loaded with LD_PRELOAD. Opens
// of /dev/dri/card0 to /dev/dri/card9 are answered from the directory named
// by GLIMMER_EMU_DIR when it holds cardN.conf; otherwise the open goes on to
// the file system. The descriptor handed out is one end of a socket pair:
// the card's events (flip completions) are written into the other end, so
// poll and read work unchanged. ioctl on it is answered by the card model,
// and mmap at a dumb buffer's offset maps the buffer's file. Every other call
// goes on to the next definition, which lets the framebuffer and console
// interposers sit beside this one.
#define INTERPOSE_NAME "drmemu"
#include "../common/interpose.h"
#include "drmemu_device.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

typedef void *(*MmapFn)(void *, size_t, int, int, int, off_t);
typedef void *(*Mmap64Fn)(void *, size_t, int, int, int, off64_t);

// mmap is called while the process starts, before a lookup is safe; until
// the constructor has found the next definition, the system call stands in.
static MmapFn next_mmap;
static Mmap64Fn next_mmap64;

__attribute__((constructor)) static void find_mmap()
{
    next_mmap = (MmapFn)next_symbol("mmap");
    next_mmap64 = (Mmap64Fn)next_symbol("mmap64");
}

static void *raw_mmap(void *addr, size_t len, int prot, int flags, int fd, off64_t offset)
{
    if (next_mmap64)
        return next_mmap64(addr, len, prot, flags, fd, offset);
#ifdef SYS_mmap2
    return (void *)syscall(SYS_mmap2, addr, len, prot, flags, fd, (long)(offset >> 12));
#else
    return (void *)syscall(SYS_mmap, addr, len, prot, flags, fd, offset);
#endif
}

// The descriptors that are emulated cards, with the other end of each.
struct Slot {
    int fd, peer, card;
    DrmemuClient client;
};
static Slot slots[DRMEMU_MAX_OPENS];
static int slot_count;

static Slot *slot_of(int fd)
{
    for (int i = 0; i < slot_count; i++)
        if (slots[i].fd == fd && fd >= 0)
            return &slots[i];
    return nullptr;
}

static const char *emu_dir()
{
    const char *dir = getenv("GLIMMER_EMU_DIR");
    return dir && *dir ? dir : nullptr;
}

// The number of "/dev/dri/cardN" when the emulation directory configures it, else -1.
static int emulated_card(const char *path)
{
    if (!path || strncmp(path, "/dev/dri/card", 13) != 0)
        return -1;
    if (path[13] < '0' || path[13] > '9' || path[14] != '\0')
        return -1;
    const int n = path[13] - '0';
    const char *dir = emu_dir();
    char conf[4096];
    if (!dir || !drmemu_path(conf, sizeof conf, dir, n, "conf") || access(conf, F_OK) != 0)
        return -1;
    return n;
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

static int raw_ioctl(int fd, unsigned long request, void *arg)
{
    NEXT(IoctlFn, ioctl);
    return next_ioctl(fd, request, arg);
}

// A card used by one request: its lock held, its model loaded.
struct Session {
    const char *dir;
    int n, lock;
    DrmemuDevice device;
    bool loaded;
};

// Opens of processes that ended without closing count as closed, as the
// kernel releases them at exit.
static void reap(Session *s)
{
    for (const DrmemuOpen &o : s->device.opens)
        if (o.id && o.pid != (uint32_t)getpid() && kill((pid_t)o.pid, 0) != 0 && errno == ESRCH)
            drmemu_device_close(&s->device, s->dir, s->n, o.id);
}

// Locks and loads card n for a request on `open` (0: none yet). The process
// that uses an open last holds it, so a program that forks and leaves the
// card to its child keeps it.
static bool begin(Session *s, int n, uint32_t open = 0)
{
    s->dir = emu_dir();
    s->n = n;
    s->lock = -1;
    s->loaded = false;
    char path[4096];
    if (!s->dir || !drmemu_path(path, sizeof path, s->dir, n, "lock"))
        return false;
    s->lock = raw_open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (s->lock >= 0)
        while (flock(s->lock, LOCK_EX) != 0 && errno == EINTR) {
        }
    s->loaded = drmemu_device_load(s->dir, n, &s->device);
    if (!s->loaded)
        return false;
    for (DrmemuOpen &o : s->device.opens)
        if (open && o.id == open)
            o.pid = (uint32_t)getpid();
    reap(s);
    return s->loaded;
}

static void log_line(const Session *s, const char *line)
{
    char path[4096];
    if (!s->dir || !drmemu_path(path, sizeof path, s->dir, s->n, "log"))
        return;
    const int fd = raw_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    (void)!write(fd, line, strlen(line));
    raw_close(fd);
}

// Saves the model, logs the line with its result and releases the lock.
static void end(Session *s, const char *line, int result, int err, int fd)
{
    if (s->loaded)
        (void)drmemu_device_save(s->dir, s->n, &s->device);
    char full[2048], name[16];
    if (result == -1)
        snprintf(full, sizeof full, "%s -> -1 %s fd=%d\n", line,
                 drmemu_errno_name(err, name, sizeof name), fd);
    else
        snprintf(full, sizeof full, "%s -> %d fd=%d\n", line, result, fd);
    log_line(s, full);
    if (s->lock >= 0)
        raw_close(s->lock); // closing releases the lock
}

static int open_card(int n, int flags)
{
    Session s;
    char line[128];
    snprintf(line, sizeof line, "open path=/dev/dri/card%d flags=%#x", n, (unsigned)flags);
    int fd = -1, err = 0;
    uint32_t open = 0;
    int ends[2] = {-1, -1};
    if (!begin(&s, n))
        err = ENOENT;
    else if ((err = drmemu_device_refusal(&s.device, DRMEMU_OPEN)) != 0)
        ;
    else if (slot_count == DRMEMU_MAX_OPENS)
        err = EMFILE;
    else if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        err = errno;
    else if (!drmemu_device_open(&s.device, (uint32_t)getpid(), &open))
        err = EMFILE;
    if (err) {
        if (ends[0] >= 0) {
            raw_close(ends[0]);
            raw_close(ends[1]);
        }
        end(&s, line, -1, err, -1);
        errno = err;
        return -1;
    }
    fd = ends[0];
    if (!(flags & O_CLOEXEC))
        (void)fcntl(fd, F_SETFD, 0);
    if (flags & O_NONBLOCK)
        (void)fcntl(fd, F_SETFL, O_NONBLOCK);
    (void)fcntl(ends[1], F_SETFL, O_NONBLOCK);
    Slot *slot = nullptr;
    for (int i = 0; i < slot_count && !slot; i++)
        if (slots[i].fd < 0)
            slot = &slots[i];
    if (!slot)
        slot = &slots[slot_count++];
    *slot = {fd, ends[1], n, {open, 0, 0, 0}};
    end(&s, line, fd, 0, fd);
    return fd;
}

// Queues a flip-complete event where the program reads the descriptor.
static void queue_event(Slot *slot, const DrmemuAnswer &a)
{
    struct drm_event_vblank ev;
    memset(&ev, 0, sizeof ev);
    ev.base.type = DRM_EVENT_FLIP_COMPLETE;
    ev.base.length = sizeof ev;
    ev.user_data = a.user_data;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    ev.tv_sec = (uint32_t)now.tv_sec;
    ev.tv_usec = (uint32_t)(now.tv_nsec / 1000);
    ev.sequence = 0; // no vblank counter: the event comes at once
    ev.crtc_id = a.crtc_id;
    if (write(slot->peer, &ev, sizeof ev) == (ssize_t)sizeof ev)
        slot->client.events_sent++;
}

static int card_ioctl(Slot *slot, unsigned long code, void *arg)
{
    Session s;
    const int request = drmemu_request_from_code(code);
    char line[1024], desc[896];
    desc[0] = '\0';
    DrmemuAnswer a = {-1, ENODEV, false, 0, 0};
    if (begin(&s, slot->card, slot->client.open)) {
        int unread = 0;
        if (raw_ioctl(slot->fd, FIONREAD, &unread) == 0) {
            const uint32_t events_unread =
                ((uint32_t)unread + sizeof(struct drm_event_vblank) - 1) /
                sizeof(struct drm_event_vblank);
            slot->client.events_read = slot->client.events_sent - events_unread;
        }
        if (request >= 0)
            a = drmemu_device_request(&s.device, s.dir, s.n, &slot->client, request, arg, desc,
                                      sizeof desc);
        else // the kernel's answers to requests it does not know
            a = {-1, _IOC_TYPE(code) == DRM_IOCTL_BASE ? EINVAL : ENOTTY, false, 0, 0};
    }
    if (request >= 0)
        snprintf(line, sizeof line, "%s%s", drmemu_request_name(request), desc);
    else
        snprintf(line, sizeof line, "ioctl request=%#lx", code);
    if (a.event)
        queue_event(slot, a);
    end(&s, line, a.result, a.err, slot->fd);
    if (a.result == -1)
        errno = a.err;
    return a.result;
}

static void *card_mmap(Slot *slot, void *addr, size_t len, int prot, int flags, off64_t offset)
{
    Session s;
    char line[256];
    snprintf(line, sizeof line, "mmap offset=%#" PRIx64 " length=%zu", (uint64_t)offset, len);
    int err = ENODEV;
    void *mapping = MAP_FAILED;
    if (begin(&s, slot->card, slot->client.open) &&
        !(err = drmemu_device_refusal(&s.device, DRMEMU_MMAP))) {
        const DrmemuBuffer *b =
            offset < 0 ? nullptr
                       : drmemu_device_mapped(&s.device, slot->client.open, (uint64_t)offset);
        char path[4096], suffix[32];
        err = EINVAL;
        if (b && len <= b->size) {
            snprintf(suffix, sizeof suffix, "-buf%" PRIu32, b->handle);
            const int fd = drmemu_path(path, sizeof path, s.dir, s.n, suffix)
                               ? raw_open(path, O_RDWR | O_CLOEXEC, 0)
                               : -1;
            if (fd >= 0) {
                mapping = raw_mmap(addr, len, prot, flags, fd, 0);
                err = mapping == MAP_FAILED ? errno : 0;
                raw_close(fd);
            }
        }
    }
    end(&s, line, mapping == MAP_FAILED ? -1 : 0, err, slot->fd);
    if (mapping == MAP_FAILED)
        errno = err;
    return mapping;
}

static int close_card(Slot *slot)
{
    // The slot is freed first: the number may be reused by the files opened below.
    const Slot was = *slot;
    slot->fd = slot->peer = -1;
    const int fd = was.fd, result = raw_close(fd), err = errno;
    raw_close(was.peer);
    Session s;
    // A process that shares the open with another (after fork) only lets go of its descriptor.
    if (begin(&s, was.card)) {
        bool owner = false;
        for (const DrmemuOpen &o : s.device.opens)
            owner = owner || (o.id == was.client.open && o.pid == (uint32_t)getpid());
        if (owner)
            drmemu_device_close(&s.device, s.dir, s.n, was.client.open);
    }
    end(&s, "close", result, err, fd);
    errno = err;
    return result;
}

INTERPOSE_OPENS(emulated_card, open_card)

EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (Slot *slot = slot_of(fd))
        return card_ioctl(slot, request, arg);
    return raw_ioctl(fd, request, arg);
}

#if defined(__GLIBC__) && __WORDSIZE == 32
// 32-bit programs built with a 64-bit time_t call this name instead.
EXPORT int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (Slot *slot = slot_of(fd))
        return card_ioctl(slot, request, arg);
    NEXT(IoctlFn, __ioctl_time64);
    return next___ioctl_time64(fd, request, arg);
}
#endif

EXPORT void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t offset)
{
    if (Slot *slot = slot_of(fd))
        return card_mmap(slot, addr, len, prot, flags, offset);
    if (next_mmap)
        return next_mmap(addr, len, prot, flags, fd, offset);
    return raw_mmap(addr, len, prot, flags, fd, offset);
}

EXPORT void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t offset)
{
    if (Slot *slot = slot_of(fd))
        return card_mmap(slot, addr, len, prot, flags, offset);
    return raw_mmap(addr, len, prot, flags, fd, offset);
}

EXPORT int close(int fd)
{
    if (Slot *slot = slot_of(fd))
        return close_card(slot);
    return raw_close(fd);
}
