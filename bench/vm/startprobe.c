/* Runs inside the test VM only: times what a person sees of a program's
 * start, one command and its exit.
 *
 * The program waits for commands when it sleeps (state S, /proc/PID/stat and
 * /proc/PID/wchan) in select or poll with no time limit (/proc/PID/syscall):
 * a poll with a time limit is a wait for the display (a page-flip event),
 * not for commands.
 *
 * The probe looks every TICK_NS (0.5 ms). It blanks the page on display of
 * /dev/fb0 (the one at the pan position) before each run, and while the
 * program starts samples it at SAMPLES fixed points spread over the whole
 * page, logging each change of the samples with its time. Once the program
 * waits, its screen is final: "drawn" is the time of the page's first
 * change, "frame" the first time after the start that it showed the final
 * samples, "settled" the time of its last change; none when the page never
 * changed. Without /dev/fb0 (a DRM card
 * without fbdev emulation) there is no frame sampling.
 *
 *   startprobe run [--no-command] [--changes] RUNS FIFO PROGRAM ARGS...
 *       starts PROGRAM RUNS times. Each time, once it waits: writes
 *       "PROGRESS 50\n" into FIFO and times until it has read the line and
 *       waits again (unless --no-command), then writes "QUIT\n" and times
 *       the exit. One line per run:
 *       "probe run N drawn_ms D frame_ms F settled_ms S start_ms W command_ms C exit_ms E
 *        status X probe_cpu_ms P ticks T wchan NAME" ("-" for no figure);
 *       with --changes also the log of the screen's changes on stderr, one
 *       "probe change N T_MS HASH" line each.
 *   startprobe floor FIFO   the floor: maps /dev/fb0, fills the visible page
 *       with one memset, then waits on FIFO (created here) until a line comes.
 *   startprobe drmfloor FIFO   the same on /dev/dri/card0: one dumb buffer
 *       in the first connected connector's preferred mode, filled with one
 *       memset and shown with SETCRTC, then the wait on FIFO.
 *   startprobe cost   the probe's own cost: "probe cost look_us P sample_us S
 *       samples N tick_us T", the time of one look at /proc, of one sample
 *       of the screen ("-" without /dev/fb0) and of one tick's sleep.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#if __has_include(<drm/drm_mode.h>)
#include <drm/drm.h>
#include <drm/drm_mode.h>
#define HAVE_DRM 1
#elif __has_include(<drm_mode.h>) /* libdrm's copy, -I/usr/include/libdrm */
#include <drm.h>
#include <drm_mode.h>
#define HAVE_DRM 1
#endif

enum {
    /* One sample in each cell of a GRID x GRID grid: the 256 cost 4-60 us
     * in the guests ("startprobe cost"), a look at /proc 30-230 us. */
    GRID = 16,
    SAMPLES = GRID * GRID,
    LOG_MAX = 16384,     /* changes of the samples kept per run */
    DEADLINE_MS = 60000, /* a program that never waits is ended */
    /* The guest has one processor, and each look costs the program a switch
     * to the probe and back: every 100 us doubled glimmer's 12 ms start on
     * cirrus, every 500 us or 1 ms made no difference between the two. */
    TICK_NS = 500000,
    /* A command takes a millisecond or so: looked at more often, for a short
     * time, and mostly with a cheap look (the pipe is not read yet). */
    COMMAND_TICK_NS = 100000,
};

static double now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

/* The processor time this process has used: the probe's own cost. */
static double cpu_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

/* The files of /proc/PID the probe reads, kept open: each read starts at
 * offset 0 and gets the file made anew, one system call a read. */
typedef struct {
    int stat, wchan, syscall;
} Proc;

static void proc_open(Proc *p, pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    p->stat = open(path, O_RDONLY | O_CLOEXEC);
    snprintf(path, sizeof path, "/proc/%d/wchan", (int)pid);
    p->wchan = open(path, O_RDONLY | O_CLOEXEC);
    snprintf(path, sizeof path, "/proc/%d/syscall", (int)pid);
    p->syscall = open(path, O_RDONLY | O_CLOEXEC);
}

static void proc_close(Proc *p)
{
    close(p->stat);
    close(p->wchan);
    close(p->syscall);
}

static int read_small(int fd, char *buf, size_t size)
{
    ssize_t n = fd < 0 ? -1 : pread(fd, buf, size - 1, 0);
    if (n < 0)
        return -1;
    buf[n] = 0;
    return 0;
}

/* 1 when the system call the program sleeps in is a select or poll without
 * a time limit, 0 when it has one or the program runs again, -1 when
 * /proc/PID/syscall does not tell. */
static int untimed_wait(const Proc *p)
{
    char line[256];
    if (read_small(p->syscall, line, sizeof line) != 0)
        return -1;
    /* "NR ARG1 ... ARG6 SP PC", or "running" */
    unsigned long long a[7];
    if (sscanf(line, "%llu %llx %llx %llx %llx %llx %llx", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5],
               &a[6]) != 7)
        return 0;
    const long nr = (long)a[0];
#ifdef SYS_select
    if (nr == SYS_select)
        return a[5] == 0;
#endif
#ifdef SYS__newselect
    if (nr == SYS__newselect)
        return a[5] == 0;
#endif
#ifdef SYS_pselect6
    if (nr == SYS_pselect6)
        return a[5] == 0;
#endif
#ifdef SYS_pselect6_time64
    if (nr == SYS_pselect6_time64)
        return a[5] == 0;
#endif
#ifdef SYS_poll
    if (nr == SYS_poll)
        return (int)a[3] < 0;
#endif
#ifdef SYS_ppoll
    if (nr == SYS_ppoll)
        return a[3] == 0;
#endif
#ifdef SYS_ppoll_time64
    if (nr == SYS_ppoll_time64)
        return a[3] == 0;
#endif
    return -1;
}

/* 1 while the program waits for commands, 0 otherwise, -1 once it is gone. */
static int waiting(const Proc *p, char *wchan, size_t size)
{
    char stat[512];
    if (read_small(p->stat, stat, sizeof stat) != 0)
        return -1;
    const char *end = strrchr(stat, ')'); /* the name may hold spaces */
    if (!end || end[1] != ' ')
        return 0;
    const char state = end[2];
    if (state == 'Z' || state == 'X')
        return -1;
    if (state != 'S')
        return 0;
    if (read_small(p->wchan, wchan, size) != 0)
        return 0;
    if (!strstr(wchan, "select") && !strstr(wchan, "poll"))
        return 0;
    return untimed_wait(p) != 0; /* a kernel without the file: wchan alone */
}

/* The page on display of /dev/fb0 and the fixed places sampled in it. */
typedef struct {
    int fd;
    unsigned char *map;
    size_t map_len;
    struct fb_var_screeninfo var;
    unsigned line_length;
    unsigned bytes;       /* per pixel */
    size_t at[SAMPLES];   /* byte offsets in map for the current geometry */
    uint16_t fx[SAMPLES]; /* places as fractions of the width and height, /65536 */
    uint16_t fy[SAMPLES];
} Screen;

static void screen_open(Screen *s)
{
    memset(s, 0, sizeof *s);
    s->fd = open("/dev/fb0", O_RDWR | O_CLOEXEC);
    struct fb_fix_screeninfo f;
    if (s->fd < 0 || ioctl(s->fd, FBIOGET_FSCREENINFO, &f) != 0) {
        s->fd = -1;
        return;
    }
    void *m = mmap(NULL, f.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, s->fd, 0);
    if (m == MAP_FAILED) {
        perror("startprobe: mmap /dev/fb0");
        close(s->fd);
        s->fd = -1;
        return;
    }
    s->map = m;
    s->map_len = f.smem_len;
    /* Fixed pseudo-random places, one in each grid cell: every run and every
     * program is sampled at the same places, and no region is left out. */
    uint32_t r = 12345;
    for (int i = 0; i < SAMPLES; i++) {
        r = r * 1103515245u + 12345u;
        const unsigned jx = (r >> 16) % (65536 / GRID);
        r = r * 1103515245u + 12345u;
        const unsigned jy = (r >> 16) % (65536 / GRID);
        s->fx[i] = (uint16_t)((i % GRID) * (65536 / GRID) + jx);
        s->fy[i] = (uint16_t)((i / GRID) * (65536 / GRID) + jy);
    }
}

/* Blanks the page on display before a run: a run after another would find
 * the same picture there, and its own would never be seen arriving. */
static void screen_blank(Screen *s)
{
    struct fb_var_screeninfo v;
    struct fb_fix_screeninfo f;
    if (ioctl(s->fd, FBIOGET_VSCREENINFO, &v) != 0 || ioctl(s->fd, FBIOGET_FSCREENINFO, &f) != 0)
        return;
    const size_t at = (size_t)f.line_length * v.yoffset;
    const size_t page = (size_t)f.line_length * v.yres;
    if (at + page <= s->map_len)
        memset(s->map + at, 0, page);
}

/* The geometry of the page on display, as far as it decides what is seen. */
static int same_geometry(const struct fb_var_screeninfo *a, const struct fb_var_screeninfo *b)
{
    return a->xres == b->xres && a->yres == b->yres && a->xoffset == b->xoffset &&
           a->yoffset == b->yoffset && a->bits_per_pixel == b->bits_per_pixel &&
           a->red.offset == b->red.offset && a->green.offset == b->green.offset &&
           a->blue.offset == b->blue.offset;
}

static uint64_t fnv(uint64_t h, const void *p, size_t n)
{
    const unsigned char *c = p;
    for (size_t i = 0; i < n; i++)
        h = (h ^ c[i]) * 1099511628211ull;
    return h;
}

/* Reads the geometry of the page on display again (a mode set may change
 * depth and stride, a pan the page): 1 when it changed. FBIOGET_VSCREENINFO
 * waits while the program holds the device in a mode set. */
static int screen_geometry(Screen *s)
{
    struct fb_var_screeninfo v;
    if (ioctl(s->fd, FBIOGET_VSCREENINFO, &v) != 0)
        return 0;
    if (!same_geometry(&v, &s->var)) {
        struct fb_fix_screeninfo f;
        if (ioctl(s->fd, FBIOGET_FSCREENINFO, &f) != 0)
            return 0;
        s->var = v;
        s->line_length = f.line_length;
        s->bytes = (v.bits_per_pixel + 7) / 8;
        for (int i = 0; i < SAMPLES; i++) {
            const size_t x = v.xoffset + ((size_t)s->fx[i] * v.xres >> 16);
            const size_t y = v.yoffset + ((size_t)s->fy[i] * v.yres >> 16);
            const size_t at = y * f.line_length + x * s->bytes;
            s->at[i] = at + s->bytes <= s->map_len ? at : SIZE_MAX;
        }
        return 1;
    }
    return 0;
}

/* A hash of the samples of the page on display and of its geometry, as last
 * read. */
static uint64_t screen_hash(const Screen *s)
{
    const struct fb_var_screeninfo *v = &s->var;
    uint64_t h = 14695981039346656037ull;
    /* The pan position is not part of it: the same picture on the other
     * page looks the same. */
    const unsigned geometry[] = {v->xres, v->yres, v->bits_per_pixel, s->line_length};
    h = fnv(h, geometry, sizeof geometry);
    /* One multiply a sample: the probe shares the processor with the program. */
    for (int i = 0; i < SAMPLES; i++) {
        if (s->at[i] == SIZE_MAX)
            continue;
        const volatile unsigned char *p = s->map + s->at[i];
        uint32_t px;
        switch (s->bytes) {
        case 1:
            px = p[0];
            break;
        case 2:
            px = *(const volatile uint16_t *)p;
            break;
        case 3:
            px = p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16;
            break;
        default:
            px = *(const volatile uint32_t *)p;
            break;
        }
        h = (h ^ px) * 1099511628211ull;
    }
    return h;
}

typedef struct {
    double t;
    uint64_t h;
} Change;

static Change changes[LOG_MAX];

static const char *figure(char *buf, size_t size, double ms)
{
    if (ms < 0)
        return "-";
    snprintf(buf, size, "%.2f", ms);
    return buf;
}

static int exit_status(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

/* Adds the screen's state at time t to the log if it changed. */
static void log_change(int *n, double t, uint64_t h)
{
    if (*n == 0 || changes[*n - 1].h != h)
        changes[(*n)++] = (Change){t, h};
}

/* Waits until the program waits for commands (1) or is gone (-1), or the
 * deadline passes (0); takes a sample of the screen every tick when asked to. */
static int poll_until_waiting(const Proc *p, double t0, Screen *s, int *n, int *ticks, char *wchan,
                              size_t size)
{
    const struct timespec tick = {0, TICK_NS};
    int w;
    while ((w = waiting(p, wchan, size)) == 0) {
        const double t = now_ms();
        if (t - t0 > DEADLINE_MS)
            return 0;
        /* The page first, as it was last found: the geometry may take long
         * to come during a mode set, and what the page showed before counts. */
        if (s && *n < LOG_MAX - 2) /* the last place is the final screen's */
            log_change(n, t - t0, screen_hash(s));
        if (s && *n < LOG_MAX - 2 && screen_geometry(s))
            log_change(n, now_ms() - t0, screen_hash(s));
        ++*ticks;
        nanosleep(&tick, NULL);
    }
    return w;
}

static int run(int runs, int command, int show, const char *fifo, char **argv)
{
    static Screen screen;
    screen_open(&screen);
    Screen *s = screen.fd >= 0 ? &screen : NULL;
    int failed = 0;
    for (int i = 0; i < runs; i++) {
        if (s) {
            screen_blank(s);
            screen_geometry(s);
        }
        const double t0 = now_ms();
        pid_t pid = fork();
        if (pid < 0) {
            perror("fork");
            return 1;
        }
        if (pid == 0) {
            dup2(2, 1); /* the program's own output stays out of the report */
            execv(argv[0], argv);
            perror(argv[0]);
            _exit(127);
        }
        const double cpu0 = cpu_ms(); /* the fork is the start's, not the probe's */
        Proc proc;
        proc_open(&proc, pid);
        char wchan[128] = "";
        int n = 0, ticks = 0;
        int w = poll_until_waiting(&proc, t0, s, &n, &ticks, wchan, sizeof wchan);
        const double t1 = now_ms();
        const double probe_cpu = cpu_ms() - cpu0;
        int status = 0;
        if (w <= 0) {
            /* Ended, or never waited: reported, not timed. */
            if (w == 0)
                kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            proc_close(&proc);
            printf("probe run %d never-waited status %d\n", i + 1, exit_status(status));
            fflush(stdout);
            failed = 1;
            continue;
        }
        double drawn = -1, frame = -1, settled = -1;
        const int full = n >= LOG_MAX - 2;
        if (s && !full) {
            /* The program sleeps: what the page shows now is its frame. */
            screen_geometry(s);
            const uint64_t h = screen_hash(s);
            log_change(&n, t1 - t0, h);
            /* What the page showed at the start does not count; a page that
             * never changed gives no figures. */
            for (int k = 1; k < n && frame < 0; k++)
                if (changes[k].h == h)
                    frame = changes[k].t;
            if (n > 1) {
                drawn = changes[1].t;
                settled = changes[n - 1].t;
            }
        }
        int fd = open(fifo, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            perror(fifo);
            kill(pid, SIGTERM);
            failed = 1;
        }
        double cmd = -1;
        if (fd >= 0 && command) {
            /* Read by the program once the pipe is empty; done once it waits
             * for commands again. */
            const double c0 = now_ms();
            int left = -1;
            if (write(fd, "PROGRESS 50\n", 12) != 12)
                perror(fifo);
            const struct timespec tick = {0, COMMAND_TICK_NS};
            for (;;) {
                if (ioctl(fd, FIONREAD, &left) != 0) {
                    perror("FIONREAD");
                    break;
                }
                const int again = left == 0 ? waiting(&proc, wchan, sizeof wchan) : 0;
                if (again != 0 || now_ms() - c0 > DEADLINE_MS) {
                    if (again == 1)
                        cmd = now_ms() - c0;
                    break;
                }
                nanosleep(&tick, NULL);
            }
            if (cmd < 0) {
                printf("probe run %d never-waited-after-command\n", i + 1);
                failed = 1;
            }
        }
        if (fd >= 0 && write(fd, "QUIT\n", 5) != 5) {
            perror(fifo);
            kill(pid, SIGTERM);
            failed = 1;
        }
        if (fd >= 0)
            close(fd);
        const double t2 = now_ms();
        waitpid(pid, &status, 0);
        const double t3 = now_ms();
        proc_close(&proc);
        char a[32], b[32], c[32], d[32];
        printf("probe run %d drawn_ms %s frame_ms %s settled_ms %s start_ms %.2f "
               "command_ms %s exit_ms %.2f status %d probe_cpu_ms %.2f ticks %d wchan %s\n",
               i + 1, figure(d, sizeof d, drawn), figure(a, sizeof a, frame),
               figure(b, sizeof b, settled), t1 - t0, figure(c, sizeof c, cmd), t3 - t2,
               exit_status(status), probe_cpu, ticks, wchan);
        if (full)
            printf("probe run %d: more than %d changes of the screen, frame not timed\n", i + 1,
                   LOG_MAX);
        for (int k = 0; show && k < n; k++)
            fprintf(stderr, "probe change %d %.2f %016llx\n", i + 1, changes[k].t,
                    (unsigned long long)changes[k].h);
        fflush(stdout);
    }
    return failed;
}

/* The probe's own cost, each part timed over many calls while the program
 * it would poll sleeps in select (so the probe runs alone): one look at
 * /proc, one sample of the screen, and one tick's sleep as it lasts. */
static int cost(void)
{
    int fds[2];
    if (pipe(fds) != 0)
        return 1;
    pid_t pid = fork();
    if (pid < 0)
        return 1;
    if (pid == 0) {
        fd_set r;
        FD_ZERO(&r);
        FD_SET(fds[0], &r);
        select(fds[0] + 1, &r, NULL, NULL, NULL);
        _exit(0);
    }
    Proc proc;
    proc_open(&proc, pid);
    char wchan[128];
    int w;
    while ((w = waiting(&proc, wchan, sizeof wchan)) == 0)
        sched_yield();
    enum { N = 2000 };
    double t = now_ms();
    for (int i = 0; i < N && w == 1; i++)
        w = waiting(&proc, wchan, sizeof wchan);
    const double poll_us = (now_ms() - t) * 1e3 / N;
    static Screen screen;
    screen_open(&screen);
    double sample_us = -1;
    if (screen.fd >= 0) {
        uint64_t all = 0;
        t = now_ms();
        for (int i = 0; i < N; i++)
            all += screen_geometry(&screen) + screen_hash(&screen);
        sample_us = (now_ms() - t) * 1e3 / N;
        if (all == 1) /* keeps the samples from being optimised away */
            printf("probe cost: unlikely hash sum\n");
    }
    const struct timespec tick = {0, TICK_NS};
    t = now_ms();
    for (int i = 0; i < N / 4; i++)
        nanosleep(&tick, NULL);
    const double tick_us = (now_ms() - t) * 1e3 / (N / 4);
    if (write(fds[1], "", 1) != 1)
        kill(pid, SIGKILL);
    waitpid(pid, NULL, 0);
    proc_close(&proc);
    char b[32];
    printf("probe cost look_us %.1f sample_us %s samples %d tick_us %.1f\n", poll_us,
           figure(b, sizeof b, sample_us), SAMPLES, tick_us);
    return w == 1 ? 0 : 1;
}

/* The floors' wait: on FIFO (created here) until a line comes. */
static int wait_line(const char *fifo)
{
    if (mkfifo(fifo, 0600) != 0 && errno != EEXIST) {
        perror(fifo);
        return 1;
    }
    int fd = open(fifo, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        perror(fifo);
        return 1;
    }
    for (;;) {
        fd_set r;
        FD_ZERO(&r);
        FD_SET(fd, &r);
        if (select(fd + 1, &r, NULL, NULL, NULL) < 0 && errno != EINTR)
            return 1;
        char buf[64];
        if (read(fd, buf, sizeof buf) > 0)
            break;
    }
    unlink(fifo);
    return 0;
}

static int floor_program(const char *fifo)
{
    int fb = open("/dev/fb0", O_RDWR | O_CLOEXEC);
    struct fb_var_screeninfo v;
    struct fb_fix_screeninfo f;
    if (fb < 0 || ioctl(fb, FBIOGET_VSCREENINFO, &v) != 0 ||
        ioctl(fb, FBIOGET_FSCREENINFO, &f) != 0) {
        perror("/dev/fb0");
        return 1;
    }
    const size_t page = (size_t)f.line_length * v.yres;
    unsigned char *m = mmap(NULL, f.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fb, 0);
    if (m == MAP_FAILED || page > f.smem_len) {
        perror("mmap");
        return 1;
    }
    memset(m + (size_t)f.line_length * v.yoffset, 0xff, page);
    return wait_line(fifo);
}

#ifdef HAVE_DRM
static int drm_fail(const char *what)
{
    fprintf(stderr, "drmfloor: %s: %s\n", what, strerror(errno));
    return 1;
}

/* The DRM floor, in raw ioctls: no library between it and the kernel. */
static int drm_floor(const char *fifo)
{
    int fd = open("/dev/dri/card0", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return drm_fail("/dev/dri/card0");
    if (ioctl(fd, DRM_IOCTL_SET_MASTER, 0) != 0)
        return drm_fail("SET_MASTER");
    struct drm_mode_card_res res;
    memset(&res, 0, sizeof res);
    if (ioctl(fd, DRM_IOCTL_MODE_GETRESOURCES, &res) != 0)
        return drm_fail("GETRESOURCES");
    uint32_t conns[16], crtcs[16];
    if (res.count_connectors > 16 || res.count_crtcs > 16)
        return drm_fail("too many connectors or CRTCs");
    res.connector_id_ptr = (uintptr_t)conns;
    res.crtc_id_ptr = (uintptr_t)crtcs;
    res.count_fbs = res.count_encoders = 0;
    if (ioctl(fd, DRM_IOCTL_MODE_GETRESOURCES, &res) != 0)
        return drm_fail("GETRESOURCES");
    struct drm_mode_get_connector c;
    struct drm_mode_modeinfo modes[64];
    uint32_t encoders[16];
    int found = 0;
    for (uint32_t i = 0; i < res.count_connectors && !found; i++) {
        memset(&c, 0, sizeof c);
        c.connector_id = conns[i];
        if (ioctl(fd, DRM_IOCTL_MODE_GETCONNECTOR, &c) != 0)
            return drm_fail("GETCONNECTOR");
        if (c.connection != 1 /* connected */ || c.count_modes == 0 || c.count_encoders == 0)
            continue;
        if (c.count_modes > 64)
            c.count_modes = 64;
        if (c.count_encoders > 16)
            c.count_encoders = 16;
        c.modes_ptr = (uintptr_t)modes;
        c.encoders_ptr = (uintptr_t)encoders;
        c.count_props = 0;
        if (ioctl(fd, DRM_IOCTL_MODE_GETCONNECTOR, &c) != 0)
            return drm_fail("GETCONNECTOR");
        found = c.connection == 1 && c.count_modes > 0;
    }
    if (!found) {
        errno = ENODEV;
        return drm_fail("no connected connector");
    }
    struct drm_mode_modeinfo mode = modes[0];
    for (uint32_t m = 0; m < c.count_modes && m < 64; m++)
        if (modes[m].type & DRM_MODE_TYPE_PREFERRED) {
            mode = modes[m];
            break;
        }
    struct drm_mode_get_encoder enc;
    memset(&enc, 0, sizeof enc);
    enc.encoder_id = c.encoder_id ? c.encoder_id : encoders[0];
    if (ioctl(fd, DRM_IOCTL_MODE_GETENCODER, &enc) != 0)
        return drm_fail("GETENCODER");
    uint32_t crtc = 0;
    for (uint32_t i = 0; i < res.count_crtcs && !crtc; i++)
        if (enc.possible_crtcs & (1u << i))
            crtc = crtcs[i];
    if (!crtc) {
        errno = ENODEV;
        return drm_fail("no CRTC for the encoder");
    }
    /* The depth the driver prefers, as glimmer takes it. */
    struct drm_get_cap cap = {DRM_CAP_DUMB_PREFERRED_DEPTH, 0};
    const int depth16 = ioctl(fd, DRM_IOCTL_GET_CAP, &cap) == 0 && cap.value == 16;
    struct drm_mode_create_dumb cd;
    memset(&cd, 0, sizeof cd);
    cd.width = mode.hdisplay;
    cd.height = mode.vdisplay;
    cd.bpp = depth16 ? 16 : 32;
    if (ioctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &cd) != 0)
        return drm_fail("CREATE_DUMB");
    struct drm_mode_map_dumb md;
    memset(&md, 0, sizeof md);
    md.handle = cd.handle;
    if (ioctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &md) != 0)
        return drm_fail("MAP_DUMB");
    unsigned char *p = mmap(NULL, cd.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, md.offset);
    if (p == MAP_FAILED)
        return drm_fail("mmap");
    memset(p, 0xff, cd.size);
    struct drm_mode_fb_cmd fb;
    memset(&fb, 0, sizeof fb);
    fb.width = mode.hdisplay;
    fb.height = mode.vdisplay;
    fb.pitch = cd.pitch;
    fb.bpp = cd.bpp;
    fb.depth = depth16 ? 16 : 24;
    fb.handle = cd.handle;
    if (ioctl(fd, DRM_IOCTL_MODE_ADDFB, &fb) != 0)
        return drm_fail("ADDFB");
    struct drm_mode_crtc set;
    memset(&set, 0, sizeof set);
    set.crtc_id = crtc;
    set.fb_id = fb.fb_id;
    set.set_connectors_ptr = (uintptr_t)&c.connector_id;
    set.count_connectors = 1;
    set.mode = mode;
    set.mode_valid = 1;
    if (ioctl(fd, DRM_IOCTL_MODE_SETCRTC, &set) != 0)
        return drm_fail("SETCRTC");
    return wait_line(fifo);
}
#endif

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "run") == 0) {
        int command = 1, show = 0;
        char **a = argv + 2;
        for (; *a && strncmp(*a, "--", 2) == 0; a++) {
            command &= strcmp(*a, "--no-command") != 0;
            show |= strcmp(*a, "--changes") == 0;
        }
        if (argc - (a - argv) >= 3)
            return run(atoi(a[0]), command, show, a[1], a + 2);
    }
    if (argc == 2 && strcmp(argv[1], "cost") == 0)
        return cost();
    if (argc == 3 && strcmp(argv[1], "floor") == 0)
        return floor_program(argv[2]);
#ifdef HAVE_DRM
    if (argc == 3 && strcmp(argv[1], "drmfloor") == 0)
        return drm_floor(argv[2]);
#endif
    fprintf(stderr, "usage: startprobe run [--no-command] [--changes] RUNS FIFO PROGRAM ARGS... | "
                    "startprobe floor FIFO | startprobe drmfloor FIFO | startprobe cost\n");
    return 2;
}
