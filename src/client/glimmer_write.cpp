// glimmer-write: sends one command line to a running glimmer through its FIFO.
//
// A plain `echo PROGRESS 50 > /run/glimmer_fifo` creates a regular file when
// the FIFO is missing, and that file then stands in glimmer's way at its next
// start. This client never creates anything: it opens only an existing FIFO,
// only while glimmer reads it, and writes the whole line in one atomic write.
#include "app/command.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

enum WriteStatus {
    WRITE_DONE = 0,        // the line is in the FIFO
    WRITE_USAGE = 1,       // bad command line, nothing was opened
    WRITE_UNDELIVERED = 2, // no FIFO, not a FIFO, no reader, or the write failed
};

static const char PROGRAM[] = "glimmer-write";

// glimmer closes and reopens its end after every writer; an open that lands
// in that gap finds no reader for a moment, so ENXIO is retried this long.
static const int64_t NO_READER_GRACE_MS = 200;
static const int64_t RETRY_STEP_MS = 5;
// How long a full FIFO may keep us from writing at least.
static const int64_t FULL_FIFO_WAIT_MS = 2000;
// How long we keep our end open for glimmer to take the line (see drain()).
static const int64_t DRAIN_LIMIT_MS = 500;
static const double WAIT_LIMIT_SECONDS = 1e6;

// The longest line sent, newline included: one atomic write, and no longer
// than glimmer's receive area, which would cut it into separate commands.
static constexpr size_t LINE_LIMIT =
    PIPE_BUF < COMMAND_BUFFER_SIZE ? (size_t)PIPE_BUF : (size_t)COMMAND_BUFFER_SIZE;

static void print_help()
{
    printf("Usage: %s [--wait SECONDS] COMMAND [ARGUMENT...]\n"
           "Send one command to a running glimmer through its FIFO.\n"
           "\n"
           "Commands:\n"
           "  PROGRESS N   move the progress bar to N (one integer)\n"
           "  MSG TEXT...  show TEXT as the message line (the words joined by single spaces)\n"
           "  QUIT         end glimmer\n"
           "Any other command word, a missing or extra argument, a PROGRESS value that is\n"
           "not an integer, a newline inside the text, or a command longer than %zu bytes\n"
           "is a usage error.\n"
           "\n"
           "Options (before the command):\n"
           "  --wait SECONDS  wait up to SECONDS for the FIFO and a reader to appear\n"
           "                  (default: give up at once when the FIFO is missing, and\n"
           "                  after about %lld ms when nobody reads it)\n"
           "  -h, --help      show this text\n"
           "\n"
           "The FIFO is \"%s\" in $GLIMMER_FIFO_DIR (default /run). It is never\n"
           "created; a file, directory or symbolic link of that name is refused.\n"
           "\n"
           "Exit status:\n"
           "  0  the command was written\n"
           "  1  usage error; nothing was written\n"
           "  2  no FIFO, not a FIFO, no glimmer reading it, or the write failed\n",
           PROGRAM, LINE_LIMIT - 1, (long long)NO_READER_GRACE_MS, GLIMMER_FIFO_NAME);
}

static int usage_error(const char *what, const char *detail)
{
    if (detail)
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, what, detail);
    else
        fprintf(stderr, "%s: %s\n", PROGRAM, what);
    fprintf(stderr, "Try '%s --help'.\n", PROGRAM);
    return WRITE_USAGE;
}

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

// A whole integer in the 32-bit range, optionally signed, nothing around it.
static bool is_integer(const char *text)
{
    const char *p = text;
    if (*p == '+' || *p == '-')
        p++;
    if (*p < '0' || *p > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    const long v = strtol(text, &end, 10);
    return *end == '\0' && errno == 0 && v >= INT32_MIN && v <= INT32_MAX;
}

// A non-negative number of seconds, fractions allowed.
static bool parse_seconds(const char *text, int64_t *ms)
{
    if (*text < '0' || *text > '9')
        return false;
    char *end = nullptr;
    const double v = strtod(text, &end);
    if (*end != '\0' || !std::isfinite(v) || v < 0 || v > WAIT_LIMIT_SECONDS)
        return false;
    *ms = (int64_t)(v * 1000.0 + 0.5);
    return true;
}

struct Line {
    char text[LINE_LIMIT + 1];
    size_t length;
};

static bool append(Line *line, const char *text)
{
    const size_t n = strlen(text);
    if (n > LINE_LIMIT - line->length)
        return false;
    memcpy(line->text + line->length, text, n);
    line->length += n;
    return true;
}

// Builds "WORD ARG...\n" from the words of the command line, or explains
// on standard error why it cannot be sent.
static int build_line(int count, char **words, Line *line)
{
    line->length = 0;
    if (count == 0)
        return usage_error("no command given", nullptr);
    const char *word = words[0];
    const int arguments = count - 1;
    if (strcmp(word, "PROGRESS") == 0) {
        if (arguments != 1)
            return usage_error("PROGRESS takes exactly one integer", nullptr);
        if (!is_integer(words[1]))
            return usage_error("PROGRESS needs an integer", words[1]);
    } else if (strcmp(word, "MSG") == 0) {
        if (arguments < 1)
            return usage_error("MSG needs a text", nullptr);
    } else if (strcmp(word, "QUIT") == 0) {
        if (arguments != 0)
            return usage_error("QUIT takes no argument", nullptr);
    } else {
        return usage_error("unknown command", word);
    }

    // glimmer ends a line at a newline or a NUL; the words of a command line
    // cannot hold a NUL, but a newline would smuggle in a second command.
    for (int i = 0; i < count; i++)
        if (strchr(words[i], '\n'))
            return usage_error("a command cannot contain a newline", nullptr);

    bool fits = append(line, word);
    for (int i = 1; i < count && fits; i++)
        fits = append(line, " ") && append(line, words[i]);
    fits = fits && append(line, "\n");
    if (!fits) {
        fprintf(stderr, "%s: command too long (at most %zu bytes are sent in one piece)\n", PROGRAM,
                LINE_LIMIT - 1);
        return WRITE_USAGE;
    }
    return WRITE_DONE;
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

static int refuse(const char *path, mode_t mode)
{
    fprintf(stderr, "%s: %s is %s, not glimmer's FIFO; not writing to it\n", PROGRAM, path,
            describe(mode));
    return WRITE_UNDELIVERED;
}

// Writes the line, waiting while the FIFO is full. Returns 0 or an errno;
// EPIPE before anything went out means the line was not written at all.
static int write_line(int fd, const Line *line)
{
    const char *p = line->text;
    size_t left = line->length;
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

// Opens the FIFO and writes the line, retrying within the deadline while the
// FIFO is missing (only when waiting was asked for) or nobody reads it.
static int deliver(const char *path, const Line *line, int64_t wait_ms)
{
    const int64_t start = now_ms();
    const int64_t deadline = start + (wait_ms > NO_READER_GRACE_MS ? wait_ms : NO_READER_GRACE_MS);
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
                fprintf(stderr, "%s: %s does not exist; is glimmer running?\n", PROGRAM, path);
            else
                fprintf(stderr, "%s: %s: %s\n", PROGRAM, path, strerror(errno));
            return WRITE_UNDELIVERED;
        }
        if (!S_ISFIFO(st.st_mode))
            return refuse(path, st.st_mode);

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
                fprintf(stderr, "%s: no glimmer is reading %s\n", PROGRAM, path);
            else if (error == ELOOP)
                return refuse(path, S_IFLNK);
            else
                fprintf(stderr, "%s: %s: %s\n", PROGRAM, path, strerror(error));
            return WRITE_UNDELIVERED;
        }
        if (fstat(fd, &st) != 0) {
            fprintf(stderr, "%s: %s: %s\n", PROGRAM, path, strerror(errno));
            (void)close(fd);
            return WRITE_UNDELIVERED;
        }
        if (!S_ISFIFO(st.st_mode)) {
            (void)close(fd);
            return refuse(path, st.st_mode);
        }

        const int error = write_line(fd, line);
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
            fprintf(stderr, "%s: glimmer closed %s before the command was written\n", PROGRAM,
                    path);
        else if (error == EAGAIN)
            fprintf(stderr, "%s: %s stays full; glimmer is not reading it\n", PROGRAM, path);
        else
            fprintf(stderr, "%s: write to %s: %s\n", PROGRAM, path, strerror(error));
        return WRITE_UNDELIVERED;
    }
}

int main(int argc, char **argv)
{
    // A reader that goes away must give EPIPE, which is reported, not a
    // silent death.
    (void)signal(SIGPIPE, SIG_IGN);

    int64_t wait_ms = 0;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            print_help();
            return WRITE_DONE;
        }
        if (strcmp(arg, "--") == 0) {
            i++;
            break;
        }
        const char *value = nullptr;
        if (strcmp(arg, "--wait") == 0) {
            if (i + 1 >= argc)
                return usage_error("--wait needs a number of seconds", nullptr);
            value = argv[++i];
        } else if (strncmp(arg, "--wait=", 7) == 0) {
            value = arg + 7;
        } else {
            return usage_error("unknown option", arg);
        }
        if (!parse_seconds(value, &wait_ms))
            return usage_error("--wait needs a number of seconds", value);
    }

    static Line line;
    const int built = build_line(argc - i, argv + i, &line);
    if (built != WRITE_DONE)
        return built;

    const char *dir = getenv("GLIMMER_FIFO_DIR");
    if (!dir)
        dir = "/run";
    // An empty directory means the current one, as it does for glimmer.
    char path[PATH_MAX];
    const int n = *dir ? snprintf(path, sizeof path, "%s/%s", dir, GLIMMER_FIFO_NAME)
                       : snprintf(path, sizeof path, "%s", GLIMMER_FIFO_NAME);
    if (n < 0 || (size_t)n >= sizeof path) {
        fprintf(stderr, "%s: GLIMMER_FIFO_DIR is too long\n", PROGRAM);
        return WRITE_UNDELIVERED;
    }
    return deliver(path, &line, wait_ms);
}
