/* Runs inside the test VM only: times how long a program takes from its
 * execve to the moment it first waits for commands, and how long it takes to
 * exit once told to. The wait is read from /proc/PID: the process sleeps
 * (state S) in select or poll, which glimmer reaches only after its first
 * frame is on the screen.
 *
 *   startprobe run RUNS FIFO PROGRAM ARGS...  starts PROGRAM RUNS times, each
 *       time writing "QUIT\n" into FIFO once it waits, and prints one line
 *       per run: "probe run N start_ms S exit_ms E status X"
 *   startprobe floor FIFO   the floor: maps /dev/fb0, fills the visible page
 *       with one memset, then waits on FIFO (created here) until a line comes.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

static int read_small(const char *path, char *buf, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, buf, size - 1);
    close(fd);
    if (n < 0)
        return -1;
    buf[n] = 0;
    return 0;
}

/* 1 while pid sleeps in select or poll, 0 otherwise, -1 once it is gone. */
static int waiting(pid_t pid, char *wchan, size_t size)
{
    char path[64], stat[512];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    if (read_small(path, stat, sizeof stat) != 0)
        return -1;
    const char *end = strrchr(stat, ')'); /* the name may hold spaces */
    if (!end || end[1] != ' ')
        return 0;
    const char state = end[2];
    if (state == 'Z' || state == 'X')
        return -1;
    snprintf(path, sizeof path, "/proc/%d/wchan", (int)pid);
    if (read_small(path, wchan, size) != 0)
        return 0;
    return state == 'S' && (strstr(wchan, "select") || strstr(wchan, "poll"));
}

static int run(int runs, const char *fifo, char **argv)
{
    /* Polling every 100 us: the guest has one processor, and the probe must
     * not take it from the program it times. */
    const struct timespec tick = {0, 100000};
    int failed = 0;
    for (int i = 0; i < runs; i++) {
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
        char wchan[128] = "";
        int w;
        while ((w = waiting(pid, wchan, sizeof wchan)) == 0)
            nanosleep(&tick, NULL);
        const double t1 = now_ms();
        double t2 = t1;
        int status = 0;
        if (w < 0) {
            /* Ended without ever waiting: reported, not timed. */
            waitpid(pid, &status, 0);
            printf("probe run %d never-waited status %d\n", i + 1,
                   WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            failed = 1;
            continue;
        }
        int fd = open(fifo, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 || write(fd, "QUIT\n", 5) != 5) {
            perror(fifo);
            kill(pid, SIGTERM);
            failed = 1;
        }
        if (fd >= 0)
            close(fd);
        t2 = now_ms();
        waitpid(pid, &status, 0);
        const double t3 = now_ms();
        printf("probe run %d start_ms %.2f exit_ms %.2f status %d wchan %s\n", i + 1, t1 - t0,
               t3 - t2, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), wchan);
        fflush(stdout);
    }
    return failed;
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

int main(int argc, char **argv)
{
    if (argc >= 5 && strcmp(argv[1], "run") == 0)
        return run(atoi(argv[2]), argv[3], argv + 4);
    if (argc == 3 && strcmp(argv[1], "floor") == 0)
        return floor_program(argv[2]);
    fprintf(stderr, "usage: startprobe run RUNS FIFO PROGRAM ARGS... | startprobe floor FIFO\n");
    return 2;
}
