// The virtual terminal: glimmer shows its picture on a terminal of its own in
// graphics mode, so that the kernel's text console does not draw over it, and
// takes over terminal switching through SIGUSR1 while it holds it.
#include "console/console.h"

#include <fcntl.h>
#include <linux/kd.h>
#include <linux/vt.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

ConsoleState glimmer_console_state = {-1, 1, -1, -1};

// Whether glimmer has the held terminal in process-controlled switching.
static bool switching_ours;

static void set_sigusr1(void (*handler)(int))
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a switch interrupts the command loop's wait
    (void)sigaction(SIGUSR1, &sa, nullptr);
}

static void on_wait_timeout(int signo)
{
    (void)signo;
}

// VT_WAITACTIVE waits without limit, and a switch that another terminal's
// owner never allows would wedge start-up or shutdown: give up after a while.
static int wait_active(int fd, int vt)
{
    struct sigaction sa, old_sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_wait_timeout;
    sigemptyset(&sa.sa_mask);
    (void)sigaction(SIGALRM, &sa, &old_sa);
    sigset_t alarm_only, old_mask;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    (void)sigprocmask(SIG_UNBLOCK, &alarm_only, &old_mask);

    struct itimerval limit, old_limit;
    memset(&limit, 0, sizeof limit);
    limit.it_value.tv_sec = 3;
    // Should the first alarm come before the wait has begun (a process held
    // off the processor that long), the next one still ends it.
    limit.it_interval.tv_usec = 500 * 1000;
    (void)setitimer(ITIMER_REAL, &limit, &old_limit);
    const int result = ioctl(fd, VT_WAITACTIVE, vt);
    const int saved_errno = errno;
    memset(&limit, 0, sizeof limit);
    (void)setitimer(ITIMER_REAL, &limit, nullptr);
    (void)sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    (void)sigaction(SIGALRM, &old_sa, nullptr);
    errno = saved_errno;
    return result;
}

void glimmer_console_set_auto_mode()
{
    ConsoleState &cs = glimmer_console_state;
    struct vt_mode mode;
    if (ioctl(cs.tty_fd, VT_GETMODE, &mode) != 0) {
        perror("Error VT_SETMODE failed");
        return;
    }
    set_sigusr1(SIG_IGN);
    mode.mode = VT_AUTO;
    mode.relsig = 0;
    mode.acqsig = 0;
    if (ioctl(cs.tty_fd, VT_SETMODE, &mode) != 0)
        perror("Error VT_SETMODE failed");
    else
        switching_ours = false;
}

void glimmer_console_on_switch_signal(int signo)
{
    (void)signo;
    ConsoleState &cs = glimmer_console_state;
    if (cs.tty_fd < 0)
        return; // the terminal was given back meanwhile: nothing to answer
    const int saved_errno = errno;
    if (cs.active) {
        if (ioctl(cs.tty_fd, VT_RELDISP, 1) < 0)
            perror("Error cannot switch away from console");
        cs.active = 0;
    } else {
        if (ioctl(cs.tty_fd, VT_RELDISP, VT_ACKACQ) != 0)
            perror("Error can't acknowledge VT switch");
        cs.active = 1;
    }
    errno = saved_errno;
}

static const char RECORD_TEMP_NAME[] = GLIMMER_CONSOLE_RECORD_NAME ".new";

// Writes the record whole or not at all: a reader finds the old one, the new
// one or none, never a part. A record that cannot be written costs only the
// restore after a glimmer that was killed, so a failure is not reported.
static void record_terminal(const ConsoleState &cs)
{
    char text[32];
    const int length = snprintf(text, sizeof text, "%d %d\n", cs.vt_number, cs.previous_vt);
    const int fd =
        open(RECORD_TEMP_NAME, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const bool written = write(fd, text, (size_t)length) == length;
    const bool closed = close(fd) == 0;
    if (!written || !closed || rename(RECORD_TEMP_NAME, GLIMMER_CONSOLE_RECORD_NAME) != 0)
        (void)unlink(RECORD_TEMP_NAME);
}

void glimmer_console_take_over()
{
    ConsoleState &cs = glimmer_console_state;
    int tty0 = open("/dev/tty0", O_WRONLY | O_CLOEXEC);
    if (tty0 < 0) {
        perror("Error Cannot open /dev/tty0");
        return;
    }
    if (ioctl(tty0, VT_OPENQRY, &cs.vt_number) < 0) {
        perror("Error unable to find a free virtual terminal");
        close(tty0);
        return;
    }
    close(tty0);

    char path[32];
    snprintf(path, sizeof path, "/dev/tty%d", cs.vt_number);
    cs.tty_fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (cs.tty_fd < 0) {
        fprintf(stderr, "Error cannot open %s: %s\n", path, strerror(errno));
        return;
    }

    struct vt_stat state;
    if (ioctl(cs.tty_fd, VT_GETSTATE, &state) == 0)
        cs.previous_vt = state.v_active;

    glimmer_console_set_auto_mode();
    // Recorded before the terminal can be left in graphics mode, so that
    // glimmer-restore finds it after a kill at any later point.
    record_terminal(cs);
    // Set while the terminal is still in the background, graphics mode only
    // marks it: the switch then finds nothing to draw, where a terminal in
    // text mode would first be drawn empty, with its cursor, and only
    // blanked after.
    if (ioctl(cs.tty_fd, KDSETMODE, KD_GRAPHICS) != 0)
        perror("Error KDSETMODE KD_GRAPHICS failed\n");
    // Waiting for a switch that was refused would never end.
    if (ioctl(cs.tty_fd, VT_ACTIVATE, cs.vt_number) != 0)
        perror("Error VT_ACTIVATE failed");
    else if (wait_active(cs.tty_fd, cs.vt_number) != 0)
        perror("Error VT_WAITACTIVE failed\n");

    struct vt_mode mode;
    if (ioctl(cs.tty_fd, VT_GETMODE, &mode) != 0) {
        perror("Error VT_SETMODE failed");
    } else {
        set_sigusr1(glimmer_console_on_switch_signal);
        mode.mode = VT_PROCESS;
        mode.relsig = SIGUSR1;
        mode.acqsig = SIGUSR1;
        if (ioctl(cs.tty_fd, VT_SETMODE, &mode) != 0)
            perror("Error VT_SETMODE failed");
        else
            switching_ours = true;
    }
}

// The kernel refuses to free a terminal for a short while after its last
// descriptor is closed (EBUSY); try again for a bounded few tens of ms.
static void disallocate(int tty0, int vt)
{
    for (int attempt = 0; attempt < 10; attempt++) {
        if (ioctl(tty0, VT_DISALLOCATE, vt) == 0 || errno != EBUSY)
            return;
        const struct timespec pause = {0, 5 * 1000 * 1000};
        (void)nanosleep(&pause, nullptr);
    }
}

// Whether the held terminal is the one on display.
static bool shown(const ConsoleState &cs)
{
    struct vt_stat state;
    return ioctl(cs.tty_fd, VT_GETSTATE, &state) == 0 && state.v_active == cs.vt_number;
}

// Switches to the previous terminal while the held one is still in graphics
// mode, answering the console's release request here rather than in the
// switch handler (the restore may run in a signal handler that holds SIGUSR1
// back). Leaving graphics mode this way, the console sets the display mode
// and draws once, for the previous terminal; text mode set first would have
// it draw glimmer's empty terminal as well, then switch and draw again.
static bool switch_back_in_graphics(const ConsoleState &cs)
{
    sigset_t release, old_mask;
    sigemptyset(&release);
    sigaddset(&release, SIGUSR1);
    (void)sigprocmask(SIG_BLOCK, &release, &old_mask);
    bool switched = false;
    if (ioctl(cs.tty_fd, VT_ACTIVATE, cs.previous_vt) == 0) {
        // The console asks for the release from a worker, after the request
        // has returned.
        const struct timespec limit = {3, 0};
        int signo;
        do
            signo = sigtimedwait(&release, nullptr, &limit);
        while (signo < 0 && errno == EINTR);
        switched = signo == SIGUSR1 && ioctl(cs.tty_fd, VT_RELDISP, 1) == 0;
    }
    (void)sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    return switched;
}

// `release_here`: glimmer itself holds the terminal's switching, so the
// console's release requests come to this process.
static void give_back(bool release_here)
{
    ConsoleState &cs = glimmer_console_state;
    if (cs.tty_fd < 0)
        return;
    const int saved_errno = errno;
    bool back = false;
    if (release_here && switching_ours && cs.previous_vt >= 0 && shown(cs)) {
        back = switch_back_in_graphics(cs);
        if (back) {
            cs.active = 0;
            cs.previous_vt = -1;
        }
    }
    (void)ioctl(cs.tty_fd, KDSETMODE, KD_TEXT);
    glimmer_console_set_auto_mode();

    // Otherwise switch back only while our terminal is still the one on
    // display, and only once switching is automatic again: in process mode
    // the switch would wait for a release that nobody may give (the process
    // that asked for it is gone, for glimmer-restore).
    if (!back && !switching_ours && cs.previous_vt >= 0 && shown(cs)) {
        if (ioctl(cs.tty_fd, VT_ACTIVATE, cs.previous_vt) == 0)
            (void)wait_active(cs.tty_fd, cs.previous_vt);
        cs.previous_vt = -1;
    }
    close(cs.tty_fd);
    cs.tty_fd = -1;

    const int tty0 = open("/dev/tty0", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (tty0 >= 0) {
        disallocate(tty0, cs.vt_number);
        close(tty0);
    }
    (void)unlink(GLIMMER_CONSOLE_RECORD_NAME);
    errno = saved_errno;
}

void glimmer_console_restore()
{
    give_back(true);
}

// Reads "N PREVIOUS\n": N a terminal number, PREVIOUS one or -1 (unknown).
static bool read_record(const char *text, int *vt, int *previous)
{
    char *end = nullptr;
    errno = 0;
    const long held = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != ' ' || held < 1 || held > MAX_NR_CONSOLES)
        return false;
    const char *rest = end + 1;
    const long shown = strtol(rest, &end, 10);
    if (errno != 0 || end == rest || strcmp(end, "\n") != 0 || shown < -1 || shown == 0 ||
        shown > MAX_NR_CONSOLES)
        return false;
    *vt = (int)held;
    *previous = (int)shown;
    return true;
}

int glimmer_console_restore_recorded()
{
    const int record = open(GLIMMER_CONSOLE_RECORD_NAME, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (record < 0) {
        if (errno == ENOENT)
            return 0; // nothing held, or given back in order
        fprintf(stderr, "glimmer-restore: %s: %s\n", GLIMMER_CONSOLE_RECORD_NAME, strerror(errno));
        return 1;
    }
    char text[64];
    ssize_t length;
    do
        length = read(record, text, sizeof text - 1);
    while (length < 0 && errno == EINTR);
    close(record);
    text[length > 0 ? length : 0] = '\0';

    int vt = -1, previous = -1;
    if (!read_record(text, &vt, &previous)) {
        fprintf(stderr, "glimmer-restore: %s holds no terminal record; removed\n",
                GLIMMER_CONSOLE_RECORD_NAME);
        (void)unlink(GLIMMER_CONSOLE_RECORD_NAME);
        return 1;
    }

    char path[32];
    snprintf(path, sizeof path, "/dev/tty%d", vt);
    const int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "glimmer-restore: cannot open %s: %s\n", path, strerror(errno));
        (void)unlink(GLIMMER_CONSOLE_RECORD_NAME);
        return 1;
    }
    // A terminal in text mode was given back already, or has been taken by
    // another program since: not ours to change.
    int kd_mode = KD_TEXT;
    if (ioctl(fd, KDGETMODE, &kd_mode) != 0 || kd_mode != KD_GRAPHICS) {
        close(fd);
        (void)unlink(GLIMMER_CONSOLE_RECORD_NAME);
        return 0;
    }
    // The terminal may still be in process-controlled switching for a
    // process that is gone: no switch back until automatic switching is set.
    glimmer_console_state = {fd, 1, vt, previous};
    switching_ours = true;
    give_back(false);
    return 0;
}
