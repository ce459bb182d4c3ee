// glimmer-progress: moves glimmer's progress bar along with systemd's
// start-up. The manager's Progress property (0 to 1) is not announced when it
// changes, so it is read a few times a second; each step forward is sent as
// "PROGRESS N". It ends when the start-up is complete, when glimmer is gone,
// or on SIGTERM.
//
// Early in the boot the system bus is not up yet, but systemd answers on its
// private socket, a direct connection to the manager (no bus, so no Hello),
// as systemctl does. The system bus is the fall-back where that socket
// cannot be reached (not root).
#include "client/fifo_write.h"
#include "progress/progress.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

static const char PROGRAM[] = "glimmer-progress";
static const int STOP_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};
static const char PRIVATE_ADDRESS[] = "unix:path=/run/systemd/private";
static const long POLL_INTERVAL_MS = 200;
// How long glimmer may take to create its FIFO after this program started.
static const long FIFO_WAIT_MS = 10000;
// How long the manager may stay unreachable (a daemon-reexec) before giving up.
static const long UNREACHABLE_LIMIT_MS = 5000;

static volatile sig_atomic_t stop_requested;

static void on_stop_signal(int signo)
{
    (void)signo;
    stop_requested = 1;
}

static void sleep_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000};
    // A stop signal cuts the sleep short; the loop then checks the flag.
    (void)nanosleep(&ts, nullptr);
}

static bool fifo_exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0 && S_ISFIFO(st.st_mode);
}

// The manager on the other end of the private socket must be root's.
static bool peer_is_root(sd_bus *bus)
{
    struct ucred cred;
    socklen_t size = sizeof cred;
    const int fd = sd_bus_get_fd(bus);
    return fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0 && cred.uid == 0;
}

// Returns 0 or a negative errno value, that of the system bus when neither answers.
static int connect_manager(sd_bus **out)
{
    sd_bus *bus = nullptr;
    if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, PRIVATE_ADDRESS) >= 0 &&
        sd_bus_start(bus) >= 0 && peer_is_root(bus)) {
        *out = bus;
        return 0;
    }
    bus = sd_bus_close_unref(bus);
    const int r = sd_bus_open_system(&bus);
    *out = r >= 0 ? bus : sd_bus_close_unref(bus);
    return r < 0 ? r : 0;
}

static int read_progress(sd_bus *bus, double *progress)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_get_property_trivial(
        bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
        "org.freedesktop.systemd1.Manager", "Progress", &error, 'd', progress);
    sd_bus_error_free(&error);
    return r;
}

int main(int argc, char **argv)
{
    if (argc > 1) {
        const bool help = strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0;
        fprintf(help ? stdout : stderr,
                "Usage: %s\n"
                "Send systemd's start-up progress to glimmer as PROGRESS commands, through\n"
                "the FIFO in $GLIMMER_FIFO_DIR (default /run), until the start-up is\n"
                "complete or glimmer is gone.\n",
                argv[0]);
        return help ? 0 : 1;
    }
    (void)signal(SIGPIPE, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (const int s : STOP_SIGNALS)
        (void)sigaction(s, &sa, nullptr);

    char path[PATH_MAX];
    if (!glimmer_client_fifo_path(path, sizeof path)) {
        fprintf(stderr, "%s: GLIMMER_FIFO_DIR is too long\n", PROGRAM);
        return 1;
    }
    // glimmer is started just before this program and may not have its FIFO yet.
    for (long waited = 0; !fifo_exists(path); waited += POLL_INTERVAL_MS / 4) {
        if (stop_requested)
            return 0;
        if (waited >= FIFO_WAIT_MS) {
            fprintf(stderr, "%s: %s does not exist; is glimmer running?\n", PROGRAM, path);
            return 0;
        }
        sleep_ms(POLL_INTERVAL_MS / 4);
    }

    sd_bus *bus = nullptr;
    ProgressTracker tracker = {-1};
    long unreachable_ms = 0;
    int status = 0;
    while (!stop_requested) {
        double progress = 0;
        int r = bus ? 0 : connect_manager(&bus);
        if (r >= 0)
            r = read_progress(bus, &progress);
        if (r < 0) {
            // systemd closes its connections when it re-executes; try anew.
            bus = sd_bus_close_unref(bus);
            unreachable_ms += POLL_INTERVAL_MS;
            if (unreachable_ms >= UNREACHABLE_LIMIT_MS) {
                fprintf(stderr, "%s: cannot read systemd's progress: %s\n", PROGRAM, strerror(-r));
                status = 1;
                break;
            }
        } else {
            unreachable_ms = 0;
            const int percent = glimmer_progress_next(&tracker, progress);
            if (percent >= 0) {
                char line[32];
                const int n = snprintf(line, sizeof line, "PROGRESS %d\n", percent);
                if (glimmer_client_deliver(PROGRAM, path, line, (size_t)n, 0) != WRITE_DONE)
                    break; // glimmer is gone
            }
            if (progress >= 1)
                break;
        }
        if (!fifo_exists(path))
            break; // glimmer ended
        sleep_ms(POLL_INTERVAL_MS);
    }
    sd_bus_close_unref(bus);
    return status;
}
