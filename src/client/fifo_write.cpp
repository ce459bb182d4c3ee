// Writing one command line into glimmer's FIFO.
#include "client/fifo_write.h"

#include "app/command.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

static const int64_t RETRY_STEP_MS = 5;
// How long a full FIFO may keep us from writing at least.
static const int64_t FULL_FIFO_WAIT_MS = 2000;
// How long we keep our end open for glimmer to take the line (see drain()).
static const int64_t DRAIN_LIMIT_MS = 500;

static int64_t now_ms()
{
    struct timespec ts;
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static void sleep_ms(int64_t ms)
{
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000};
    // An interrupted sleep is only shorter; the callers check the clock.
    (void)nanosleep(&ts, nullptr);
}

bool glimmer_client_fifo_path(char *path, size_t size)
{
    const char *dir = getenv("GLIMMER_FIFO_DIR");
    if (!dir)
        dir = "/run";
    // An empty directory means the current one, as it does for glimmer.
    const int n = *dir ? snprintf(path, size, "%s/%s", dir, GLIMMER_FIFO_NAME)
                       : snprintf(path, size, "%s", GLIMMER_FIFO_NAME);
    return n >= 0 && (size_t)n < size;
}

static const char *describe(mode_t mode)
{
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISREG(mode))
        return "a regular file";
    return "not a FIFO";
}

static int refuse(const char *program, const char *path, mode_t mode)
{
    fprintf(stderr, "%s: %s is %s, not glimmer's FIFO; not writing to it\n", program, path,
            describe(mode));
    return WRITE_UNDELIVERED;
}

// Writes the line, waiting while the FIFO is full. Returns 0 or an errno;
// EPIPE before anything went out means the line was not written at all.
static int write_line(int fd, const char *line, size_t length)
{
    const char *p = line;
    size_t left = length;
    const int64_t give_up = now_ms() + FULL_FIFO_WAIT_MS;
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n > 0) {
            // Cannot fall short for a line within PIPE_BUF; should it ever,
            // the rest must still follow so the line is not left open.
            p += n;
            left -= (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;
        // Full: a whole line goes in once there is room for it.
        const int64_t remaining = give_up - now_ms();
        if (remaining <= 0)
            return EAGAIN;
        struct pollfd pfd = {fd, POLLOUT, 0};
        (void)poll(&pfd, 1, (int)remaining);
    }
    return 0;
}

// glimmer reopens the FIFO after every writer. Should it close its end
// after our open but before reading, the line sits in the FIFO until it
// reopens, and it is lost if the FIFO has no open end in that moment. So
// keep ours open until the line has been taken, for a bounded time.
static void drain(int fd)
{
    const int64_t give_up = now_ms() + DRAIN_LIMIT_MS;
    for (;;) {
        int pending = 0;
        if (ioctl(fd, FIONREAD, &pending) != 0 || pending <= 0 || now_ms() >= give_up)
            return;
        sleep_ms(1);
    }
}

int glimmer_client_deliver(const char *program, const char *path, const char *line, size_t length,
                           int64_t wait_ms)
{
    const int64_t start = now_ms();
    const int64_t deadline =
        start +
        (wait_ms > GLIMMER_CLIENT_NO_READER_GRACE_MS ? wait_ms : GLIMMER_CLIENT_NO_READER_GRACE_MS);
    for (;;) {
        const bool may_retry = now_ms() < deadline;

        // Look before opening, so that no other kind of file is ever opened;
        // the fstat below settles it for the file actually opened.
        struct stat st;
        if (lstat(path, &st) != 0) {
            if (errno == ENOENT && wait_ms > 0 && may_retry) {
                sleep_ms(RETRY_STEP_MS);
                continue;
            }
            if (errno == ENOENT)
                fprintf(stderr, "%s: %s does not exist; is glimmer running?\n", program, path);
            else
                fprintf(stderr, "%s: %s: %s\n", program, path, strerror(errno));
            return WRITE_UNDELIVERED;
        }
        if (!S_ISFIFO(st.st_mode))
            return refuse(program, path, st.st_mode);

        const int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            if ((error == ENXIO || error == ENOENT) && may_retry) {
                sleep_ms(RETRY_STEP_MS);
                continue;
            }
            if (error == ENXIO)
                fprintf(stderr, "%s: no glimmer is reading %s\n", program, path);
            else if (error == ELOOP)
                return refuse(program, path, S_IFLNK);
            else
                fprintf(stderr, "%s: %s: %s\n", program, path, strerror(error));
            return WRITE_UNDELIVERED;
        }
        if (fstat(fd, &st) != 0) {
            fprintf(stderr, "%s: %s: %s\n", program, path, strerror(errno));
            (void)close(fd);
            return WRITE_UNDELIVERED;
        }
        if (!S_ISFIFO(st.st_mode)) {
            (void)close(fd);
            return refuse(program, path, st.st_mode);
        }

        const int error = write_line(fd, line, length);
        if (error == 0)
            drain(fd);
        (void)close(fd);
        if (error == 0)
            return WRITE_DONE;
        // The reader left between our open and the write; nothing went in.
        if (error == EPIPE && now_ms() < deadline) {
            sleep_ms(RETRY_STEP_MS);
            continue;
        }
        if (error == EPIPE)
            fprintf(stderr, "%s: glimmer closed %s before the command was written\n", program,
                    path);
        else if (error == EAGAIN)
            fprintf(stderr, "%s: %s stays full; glimmer is not reading it\n", program, path);
        else
            fprintf(stderr, "%s: write to %s: %s\n", program, path, strerror(error));
        return WRITE_UNDELIVERED;
    }
}
