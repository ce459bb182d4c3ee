// The virtual-terminal hand-over, restore and switch handler, run in child
// processes against the emulated console (libglimmer_vtemu.so preloaded).
#include "console_child.h"
#include "console_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/kd.h>
#include <linux/vt.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace {

const std::string SIG = std::to_string(SIGUSR1);
const std::string AUTO_MODE = "mode=VT_AUTO waitv=0 relsig=0 acqsig=0 frsig=0";
const std::string PROCESS_MODE =
    "mode=VT_PROCESS waitv=0 relsig=" + SIG + " acqsig=" + SIG + " frsig=0";

// The requests of a take-over of terminal 7 on a healthy console showing 1.
const std::vector<std::string> HEALTHY_TAKE_OVER = {
    "tty0 open O_WRONLY = 0",
    "tty0 VT_OPENQRY = 0 -> 7",
    "tty0 close = 0",
    "tty7 open O_RDWR|O_NONBLOCK = 0",
    "tty7 VT_GETSTATE = 0 -> v_active=1 v_state=0xff",
    "tty7 VT_GETMODE = 0 -> " + AUTO_MODE,
    "tty7 VT_SETMODE " + AUTO_MODE + " = 0",
    "tty7 KDSETMODE KD_GRAPHICS = 0",
    "tty7 VT_ACTIVATE 7 = 0",
    "tty7 VT_WAITACTIVE 7 = 0",
    "tty7 VT_GETMODE = 0 -> " + AUTO_MODE,
    "tty7 VT_SETMODE " + PROCESS_MODE + " = 0",
};

// The restore of terminal 7 while it is shown, the console having shown 1 before.
const std::vector<std::string> RESTORE_WHILE_SHOWN = {
    "tty7 VT_GETSTATE = 0 -> v_active=7 v_state=0xff",
    "tty7 VT_ACTIVATE 1 = 0",
    "tty7 VT_RELDISP 1 = 0",
    "tty7 KDSETMODE KD_TEXT = 0",
    "tty7 VT_GETMODE = 0 -> " + PROCESS_MODE,
    "tty7 VT_SETMODE " + AUTO_MODE + " = 0",
    "tty7 close = 0",
    "tty0 open O_RDWR|O_NONBLOCK = 0",
    "tty0 VT_DISALLOCATE 7 = 0",
    "tty0 close = 0",
};

std::string lines_of(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &l : lines)
        text += l + "\n";
    return text;
}

class ConsoleTest : public EmulatedConsoleTest {
  protected:
    ChildRun run(const std::function<void(ChildReport *)> &body)
    {
        ChildRun r = run_console_child(dir.path, body);
        EXPECT_TRUE(r.exited) << "child timed out or crashed";
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.report.finished, 1);
        return r;
    }
};

void take_over_and_restore(ChildReport *report)
{
    glimmer_console_take_over();
    child_snapshot(report);
    glimmer_console_restore();
    child_snapshot(report);
}

TEST_F(ConsoleTest, TakeOverOnHealthyConsole)
{
    write_console();
    const pid_t parent = getpid();
    ChildRun r = run([](ChildReport *report) {
        glimmer_console_take_over();
        child_snapshot(report);
    });
    ASSERT_EQ(r.report.snapshot_count, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(lines_of(console_requests(console_log(dir.path))), lines_of(HEALTHY_TAKE_OVER));

    const ConsoleSnapshot &s = r.report.snapshots[0];
    EXPECT_GE(s.state.tty_fd, 0);
    EXPECT_EQ(s.state.vt_number, 7);
    EXPECT_EQ(s.state.previous_vt, 1);
    EXPECT_EQ(s.state.active, 1);
    EXPECT_EQ(s.sigusr1, SIGNAL_SWITCH_HANDLER);
    EXPECT_EQ(s.sigusr1_flags & SA_RESTART, 0) << "a switch must interrupt the command wait";
    EXPECT_TRUE(s.sigusr1_mask_empty);

    const VtemuTerminal &t = s.model.vt[7];
    EXPECT_EQ(s.model.active, 7);
    EXPECT_EQ(t.kd_mode, KD_GRAPHICS);
    EXPECT_EQ(t.mode, VT_PROCESS);
    EXPECT_EQ(t.relsig, SIGUSR1);
    EXPECT_EQ(t.acqsig, SIGUSR1);
    EXPECT_NE(t.owner_pid, 0);
    EXPECT_NE(t.owner_pid, parent);
    EXPECT_EQ(glimmer_vtemu_open_count(&s.model, 7), 1);
    EXPECT_EQ(glimmer_vtemu_open_count(&s.model, 1), 0) << "/dev/tty0 left open";
}

// The switching mode is changed field by field: what the terminal had in
// waitv stays.
TEST_F(ConsoleTest, TakeOverKeepsTheTerminalsWaitv)
{
    write_console();
    ChildRun r = run([](ChildReport *) {
        const int fd = open("/dev/tty7", O_RDWR | O_NONBLOCK);
        struct vt_mode m = {};
        m.mode = VT_AUTO;
        m.waitv = 1;
        (void)ioctl(fd, VT_SETMODE, &m);
        close(fd);
        glimmer_console_take_over();
    });
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> log = console_log(dir.path);
    const std::string process =
        "tty7 VT_SETMODE mode=VT_PROCESS waitv=1 relsig=" + SIG + " acqsig=" + SIG + " frsig=0 = 0";
    EXPECT_NE(std::find(log.begin(), log.end(), process), log.end()) << lines_of(log);
}

enum Handler { KEEPS_DEFAULT, IGNORES, HANDLES };

struct FailureCase {
    const char *name;
    std::vector<VtemuRule> rules;
    int free_vt;
    const char *take_over_err;
    const char *restore_err;
    bool held;
    int shown_after_take_over;
    int kd_mode;
    int mode;
    Handler handler;
};

TEST_F(ConsoleTest, TakeOverFailuresAreReportedAndSurvived)
{
    // clang-format off
    const FailureCase cases[] = {
        // name, refusals, VT_OPENQRY answer,
        // stderr of the take-over, stderr of the restore,
        // held, shown afterwards, KD mode, switching mode, SIGUSR1
        {"no permission on /dev/tty0", {{VTEMU_REQ_OPEN_TTY0, EACCES, 0}}, 0,
         "Error Cannot open /dev/tty0: Permission denied\n", "",
         false, 1, KD_TEXT, VT_AUTO, KEEPS_DEFAULT},
        {"free terminal query fails", {{VTEMU_REQ_VT_OPENQRY, EIO, 0}}, 0,
         "Error unable to find a free virtual terminal: Input/output error\n", "",
         false, 1, KD_TEXT, VT_AUTO, KEEPS_DEFAULT},
        {"no free terminal", {}, -1,
         "Error cannot open /dev/tty-1: No such file or directory\n", "",
         false, 1, KD_TEXT, VT_AUTO, KEEPS_DEFAULT},
        // A refused switch is not waited for: that wait would never end.
        {"activation refused", {{VTEMU_REQ_VT_ACTIVATE, EPERM, 0}}, 0,
         "Error VT_ACTIVATE failed: Operation not permitted\n", "",
         true, 1, KD_GRAPHICS, VT_PROCESS, HANDLES},
        {"wait for activation refused", {{VTEMU_REQ_VT_WAITACTIVE, EINTR, 0}}, 0,
         "Error VT_WAITACTIVE failed\n: Interrupted system call\n", "",
         true, 7, KD_GRAPHICS, VT_PROCESS, HANDLES},
        {"mode query refused", {{VTEMU_REQ_VT_GETMODE, EINVAL, 0}}, 0,
         "Error VT_SETMODE failed: Invalid argument\n"
         "Error VT_SETMODE failed: Invalid argument\n",
         "Error VT_SETMODE failed: Invalid argument\n",
         true, 7, KD_GRAPHICS, VT_AUTO, KEEPS_DEFAULT},
        {"second mode query refused", {{VTEMU_REQ_VT_GETMODE, EINVAL, 2}}, 0,
         "Error VT_SETMODE failed: Invalid argument\n", "",
         true, 7, KD_GRAPHICS, VT_AUTO, IGNORES},
        {"mode change refused", {{VTEMU_REQ_VT_SETMODE, EPERM, 0}}, 0,
         "Error VT_SETMODE failed: Operation not permitted\n"
         "Error VT_SETMODE failed: Operation not permitted\n",
         "Error VT_SETMODE failed: Operation not permitted\n",
         true, 7, KD_GRAPHICS, VT_AUTO, HANDLES},
        {"switch control refused", {{VTEMU_REQ_VT_SETMODE, EPERM, 2}}, 0,
         "Error VT_SETMODE failed: Operation not permitted\n", "",
         true, 7, KD_GRAPHICS, VT_AUTO, HANDLES},
        {"graphics mode refused", {{VTEMU_REQ_KDSETMODE, EIO, 1}}, 0,
         "Error KDSETMODE KD_GRAPHICS failed\n: Input/output error\n", "",
         true, 7, KD_TEXT, VT_PROCESS, HANDLES},
    };
    // clang-format on
    for (const FailureCase &c : cases) {
        SCOPED_TRACE(c.name);
        glimmer_vtemu_config_default(&config);
        config.free_vt = c.free_vt;
        config.waitactive_ms = 60;
        for (const VtemuRule &rule : c.rules)
            config.rules[config.rule_count++] = rule;
        write_console();

        ChildRun r = run(take_over_and_restore);
        ASSERT_EQ(r.report.snapshot_count, 2);
        const ConsoleSnapshot &taken = r.report.snapshots[0];
        const ConsoleSnapshot &restored = r.report.snapshots[1];
        EXPECT_EQ(r.err.substr(0, (size_t)taken.stderr_bytes), c.take_over_err);
        EXPECT_EQ(r.err.substr((size_t)taken.stderr_bytes), c.restore_err);

        EXPECT_EQ(taken.state.tty_fd >= 0, c.held);
        EXPECT_EQ(taken.state.vt_number, c.held ? 7 : -1);
        EXPECT_EQ(taken.model.active, c.shown_after_take_over);
        const VtemuTerminal &t = taken.model.vt[7];
        if (c.held) {
            EXPECT_EQ(t.kd_mode, c.kd_mode);
            EXPECT_EQ(t.mode, c.mode);
            EXPECT_EQ(glimmer_vtemu_open_count(&taken.model, 7), 1);
        } else {
            EXPECT_FALSE(t.allocated);
        }
        EXPECT_EQ(taken.sigusr1, c.handler == KEEPS_DEFAULT ? SIGNAL_DEFAULT
                                 : c.handler == IGNORES     ? SIGNAL_IGNORED
                                                            : SIGNAL_SWITCH_HANDLER);
        EXPECT_EQ(glimmer_vtemu_open_count(&taken.model, 1), 0) << "/dev/tty0 left open";

        // Whatever part took effect is undone: terminal 1 shown in text
        // mode, terminal 7 closed and freed.
        EXPECT_EQ(restored.state.tty_fd, -1);
        EXPECT_EQ(restored.model.active, 1);
        EXPECT_FALSE(restored.model.vt[7].allocated);
        EXPECT_EQ(restored.model.vt[1].kd_mode, KD_TEXT);
        if (!c.held) {
            EXPECT_EQ(restored.log_lines, taken.log_lines) << "a restore with nothing held acted";
        }
    }
}

// Which requests the take-over makes when the query for a free terminal
// fails or when /dev/tty0 cannot be opened: nothing after the failure.
TEST_F(ConsoleTest, TakeOverStopsAtAnEarlyFailure)
{
    config.rules[config.rule_count++] = {VTEMU_REQ_VT_OPENQRY, ENOTTY, 0};
    write_console();
    run([](ChildReport *) { glimmer_console_take_over(); });
    EXPECT_EQ(
        lines_of(console_log(dir.path)),
        lines_of({"tty0 open O_WRONLY = 0", "tty0 VT_OPENQRY = -1 ENOTTY", "tty0 close = 0"}));

    glimmer_vtemu_config_default(&config);
    config.free_vt = -1;
    write_console();
    run([](ChildReport *) { glimmer_console_take_over(); });
    EXPECT_EQ(lines_of(console_log(dir.path)),
              lines_of({"tty0 open O_WRONLY = 0", "tty0 VT_OPENQRY = 0 -> -1", "tty0 close = 0",
                        "tty-1 open O_RDWR|O_NONBLOCK = -1 ENOENT"}));
}

TEST_F(ConsoleTest, RestoreWhileShownSwitchesBackAndFrees)
{
    write_console();
    ChildRun r = run(take_over_and_restore);
    ASSERT_EQ(r.report.snapshot_count, 2);
    EXPECT_EQ(r.err, "");
    const ConsoleSnapshot &taken = r.report.snapshots[0];
    const ConsoleSnapshot &restored = r.report.snapshots[1];
    EXPECT_EQ(lines_of(console_requests(console_log_from(dir.path, (size_t)taken.log_lines))),
              lines_of(RESTORE_WHILE_SHOWN));

    EXPECT_EQ(restored.state.tty_fd, -1);
    EXPECT_EQ(restored.state.previous_vt, -1);
    EXPECT_EQ(restored.sigusr1, SIGNAL_IGNORED);
    const VtemuState m = model();
    EXPECT_EQ(m.active, 1);
    EXPECT_FALSE(m.vt[7].allocated);
    EXPECT_EQ(m.vt[1].kd_mode, KD_TEXT);
    EXPECT_EQ(m.vt[1].mode, VT_AUTO);
    EXPECT_EQ(glimmer_vtemu_open_count(&m, 1), 0);
}

TEST_F(ConsoleTest, RestoreAfterTheUserSwitchedAwayStaysThere)
{
    write_console();
    const std::string d = dir.path;
    ChildRun r = run([d](ChildReport *report) {
        glimmer_console_take_over();
        switch_from_elsewhere(d, 3);
        (void)child_wait_for([] { return glimmer_console_state.active == 0; }, 3000);
        child_snapshot(report);
        glimmer_console_restore();
        child_snapshot(report);
    });
    ASSERT_EQ(r.report.snapshot_count, 2);
    EXPECT_EQ(r.err, "");
    const ConsoleSnapshot &switched = r.report.snapshots[0];
    EXPECT_EQ(switched.state.active, 0);
    EXPECT_EQ(switched.model.active, 3);

    const std::vector<std::string> restore =
        console_requests(console_log_from(dir.path, (size_t)switched.log_lines));
    EXPECT_EQ(
        lines_of(restore),
        lines_of({"tty7 VT_GETSTATE = 0 -> v_active=3 v_state=0xff", "tty7 KDSETMODE KD_TEXT = 0",
                  "tty7 VT_GETMODE = 0 -> " + PROCESS_MODE, "tty7 VT_SETMODE " + AUTO_MODE + " = 0",
                  "tty7 VT_GETSTATE = 0 -> v_active=3 v_state=0xff", "tty7 close = 0",
                  "tty0 open O_RDWR|O_NONBLOCK = 0", "tty0 VT_DISALLOCATE 7 = 0",
                  "tty0 close = 0"}));
    const VtemuState m = model();
    EXPECT_EQ(m.active, 3);
    EXPECT_FALSE(m.vt[7].allocated);
    EXPECT_EQ(r.report.snapshots[1].state.tty_fd, -1);
}

// What the screen goes through. Graphics mode is set before the switch to
// glimmer's terminal, which is then never drawn in text mode; the switch
// back is made before text mode is set, so the console sets the display
// mode and draws once, for the previous terminal. Only when the switch back
// in graphics mode fails does glimmer's empty terminal get drawn.
struct ScreenCase {
    const char *name;
    std::vector<VtemuRule> rules;
    int user_switch; // a switch made from elsewhere before the restore, 0 for none
    bool restore;
    int shown; // the terminal on display at the end
    std::vector<std::string> screen;
};

TEST_F(ConsoleTest, HandOverDrawsOnlyThePreviousTerminal)
{
    // clang-format off
    const ScreenCase cases[] = {
        {"take-over", {}, 0, false, 7, {}},
        {"take-over and restore", {}, 0, true, 1, {"tty1 mode_set = 0", "tty1 draw = 0"}},
        {"restore after a switch to 3", {}, 3, true, 3, {"tty3 mode_set = 0", "tty3 draw = 0"}},
        {"release refused on the way back", {{VTEMU_REQ_VT_RELDISP, EPERM, 0}}, 0, true, 1,
         {"tty7 mode_set = 0", "tty7 draw = 0", "tty1 draw = 0"}},
    };
    // clang-format on
    for (const ScreenCase &c : cases) {
        SCOPED_TRACE(c.name);
        glimmer_vtemu_config_default(&config);
        for (const VtemuRule &rule : c.rules)
            config.rules[config.rule_count++] = rule;
        write_console();
        const std::string d = dir.path;
        ChildRun r = run([&c, d](ChildReport *) {
            glimmer_console_take_over();
            if (c.user_switch) {
                switch_from_elsewhere(d, c.user_switch);
                (void)child_wait_for([] { return glimmer_console_state.active == 0; }, 3000);
            }
            if (c.restore)
                glimmer_console_restore();
        });
        std::vector<std::string> screen;
        for (const std::string &l : console_log(dir.path))
            if (l.find(" draw ") != std::string::npos || l.find(" mode_set ") != std::string::npos)
                screen.push_back(l);
        EXPECT_EQ(lines_of(screen), lines_of(c.screen));
        EXPECT_EQ(model().active, c.shown);
    }
}

TEST_F(ConsoleTest, SecondRestoreDoesNothing)
{
    write_console();
    ChildRun r = run([](ChildReport *report) {
        glimmer_console_take_over();
        glimmer_console_restore();
        child_snapshot(report);
        glimmer_console_restore();
        child_snapshot(report);
    });
    ASSERT_EQ(r.report.snapshot_count, 2);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.report.snapshots[1].log_lines, r.report.snapshots[0].log_lines);
    EXPECT_EQ(r.report.snapshots[1].stderr_bytes, r.report.snapshots[0].stderr_bytes);
    EXPECT_EQ(model().active, 1);
}

// The kernel refuses to free a terminal for a moment after its last close.
TEST_F(ConsoleTest, RestoreRetriesFreeingWhileTheConsoleSaysBusy)
{
    struct Case {
        int busy;
        bool freed;
    };
    for (const Case c : {Case{3, true}, Case{1000, false}}) {
        SCOPED_TRACE("busy " + std::to_string(c.busy));
        glimmer_vtemu_config_default(&config);
        config.disallocate_busy = c.busy;
        write_console();
        ChildRun r = run([](ChildReport *report) {
            glimmer_console_take_over();
            child_snapshot(report);
            struct timespec a, b;
            clock_gettime(CLOCK_MONOTONIC, &a);
            glimmer_console_restore();
            clock_gettime(CLOCK_MONOTONIC, &b);
            report->measured_ms = (b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000;
        });
        const long elapsed_ms = r.report.measured_ms;
        EXPECT_EQ(r.err, "");
        int busy = 0, done = 0;
        for (const std::string &l : console_log(dir.path)) {
            busy += l == "tty0 VT_DISALLOCATE 7 = -1 EBUSY";
            done += l == "tty0 VT_DISALLOCATE 7 = 0";
        }
        const VtemuState m = model();
        if (c.freed) {
            EXPECT_EQ(busy, c.busy);
            EXPECT_EQ(done, 1);
            EXPECT_FALSE(m.vt[7].allocated);
        } else {
            EXPECT_GT(busy, 1) << "no retry";
            EXPECT_EQ(done, 0);
            EXPECT_TRUE(m.vt[7].allocated);
            EXPECT_LT(elapsed_ms, 500) << "the retries must be bounded";
        }
        EXPECT_EQ(m.active, 1);
    }
}

// Two switches through the VT_PROCESS protocol: away from glimmer's terminal
// (released with VT_RELDISP 1), and back (acknowledged with VT_ACKACQ).
TEST_F(ConsoleTest, SwitchSignalsReleaseThenAcknowledge)
{
    write_console();
    const std::string d = dir.path;
    ChildRun r = run([d](ChildReport *report) {
        glimmer_console_take_over();
        child_snapshot(report);
        switch_from_elsewhere(d, 3);
        (void)child_wait_for([] { return glimmer_console_state.active == 0; }, 3000);
        child_snapshot(report);
        switch_from_elsewhere(d, 7);
        (void)child_wait_for([] { return glimmer_console_state.active == 1; }, 3000);
        child_snapshot(report);
    });
    ASSERT_EQ(r.report.snapshot_count, 3);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.report.snapshots[0].state.active, 1);
    EXPECT_EQ(r.report.snapshots[1].state.active, 0);
    EXPECT_EQ(r.report.snapshots[2].state.active, 1);
    EXPECT_EQ(r.report.snapshots[1].model.active, 3);
    EXPECT_EQ(r.report.snapshots[2].model.active, 7);
    EXPECT_EQ(r.report.snapshots[2].model.acquire_pending, 0) << "acquisition not acknowledged";

    std::vector<std::string> answers;
    for (const std::string &l : console_log_from(dir.path, (size_t)r.report.snapshots[0].log_lines))
        if (l.rfind("tty7 VT_RELDISP", 0) == 0)
            answers.push_back(l);
    EXPECT_EQ(lines_of(answers), lines_of({"tty7 VT_RELDISP 1 = 0", "tty7 VT_RELDISP 2 = 0"}));
}

// The handler's answers refused: each is reported, and the flag follows the
// display anyway.
TEST_F(ConsoleTest, SwitchSignalReportsRefusedAnswers)
{
    config.rules[config.rule_count++] = {VTEMU_REQ_VT_RELDISP, EPERM, 0};
    write_console();
    ChildRun r = run([](ChildReport *report) {
        glimmer_console_take_over();
        raise(SIGUSR1);
        child_snapshot(report);
        raise(SIGUSR1);
        child_snapshot(report);
    });
    ASSERT_EQ(r.report.snapshot_count, 2);
    const ConsoleSnapshot &first = r.report.snapshots[0];
    EXPECT_EQ(first.state.active, 0);
    EXPECT_EQ(r.report.snapshots[1].state.active, 1);
    EXPECT_EQ(r.err.substr(0, (size_t)first.stderr_bytes),
              "Error cannot switch away from console: Operation not permitted\n");
    EXPECT_EQ(r.err.substr((size_t)first.stderr_bytes),
              "Error can't acknowledge VT switch: Operation not permitted\n");
    const std::vector<std::string> log = console_log(dir.path);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "tty7 VT_RELDISP 1 = -1 EPERM");
    EXPECT_EQ(log[log.size() - 1], "tty7 VT_RELDISP 2 = -1 EPERM");
}

} // namespace

// Starts a process that holds terminal 1 under process-controlled switching
// and ignores the release signal, so a switch away from 1 never completes.
// Returns its pid once it is set up, or -1.
pid_t hold_terminal_1(const std::string &dir)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    const pid_t owner = fork();
    if (owner == 0) {
        setenv("GLIMMER_EMU_DIR", dir.c_str(), 1);
        signal(SIGUSR2, SIG_IGN);
        const int fd = open("/dev/tty1", O_RDWR | O_NONBLOCK);
        struct vt_mode mode;
        memset(&mode, 0, sizeof mode);
        mode.mode = VT_PROCESS;
        mode.relsig = SIGUSR2;
        mode.acqsig = SIGUSR2;
        if (fd < 0 || ioctl(fd, VT_SETMODE, &mode) != 0)
            _exit(1);
        (void)!write(ready[1], "r", 1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char c;
    const bool owner_ready = owner > 0 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
    if (owner > 0 && !owner_ready) {
        kill(owner, SIGKILL);
        waitpid(owner, nullptr, 0);
    }
    return owner_ready ? owner : -1;
}

void stop(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// The terminal on display belongs to a process that never lets it go: the
// switch to glimmer's terminal never happens, and glimmer's wait for it gives
// up after a few seconds instead of holding up the start for ever.
TEST_F(ConsoleTest, TakeOverGivesUpWaitingForASwitchThatNeverComes)
{
    config.waitactive_ms = 20000; // the console itself would wait this long
    write_console();
    const pid_t owner = hold_terminal_1(dir.path);
    ASSERT_GT(owner, 0) << "the owner of terminal 1 could not set process switching";
    ChildRun r = run([](ChildReport *report) {
        struct timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        glimmer_console_take_over();
        clock_gettime(CLOCK_MONOTONIC, &b);
        report->measured_ms = (b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000;
        child_snapshot(report);
    });
    stop(owner);
    EXPECT_EQ(r.err, "Error VT_WAITACTIVE failed\n: Interrupted system call\n");
    EXPECT_GE(r.report.measured_ms, 2500);
    EXPECT_LT(r.report.measured_ms, 10000);
    ASSERT_EQ(r.report.snapshot_count, 1);
    EXPECT_EQ(r.report.snapshots[0].model.active, 1) << "the switch cannot have happened";
    EXPECT_GE(r.report.snapshots[0].state.tty_fd, 0) << "the terminal is still held";
}

// Graphics mode is set on glimmer's terminal before the switch to it: a
// glimmer killed before that switch has come, or after it was refused, leaves
// a terminal in graphics mode in the background, which glimmer-restore finds
// through the record and gives back in text mode.
struct KilledCase {
    const char *name;
    bool switch_held_up; // terminal 1's owner never lets go
    std::vector<VtemuRule> rules;
};

TEST_F(ConsoleTest, KilledOnTheWayIsGivenBackByTheRecord)
{
    const KilledCase cases[] = {
        {"killed while waiting for the switch", true, {}},
        {"killed after the switch was refused", false, {{VTEMU_REQ_VT_ACTIVATE, EPERM, 1}}},
    };
    for (const KilledCase &c : cases) {
        SCOPED_TRACE(c.name);
        glimmer_vtemu_config_default(&config);
        config.waitactive_ms = 20000;
        for (const VtemuRule &rule : c.rules)
            config.rules[config.rule_count++] = rule;
        write_console();
        const pid_t owner = c.switch_held_up ? hold_terminal_1(dir.path) : 0;
        ASSERT_GE(owner, 0);
        const std::string d = dir.path;
        ChildRun r = run([d](ChildReport *report) {
            if (chdir(d.c_str()) != 0) // where the record is kept
                return;
            const pid_t held = fork();
            if (held == 0) {
                glimmer_console_take_over();
                for (;;)
                    pause();
            }
            (void)child_wait_for(
                [d] {
                    for (const std::string &l : console_log(d))
                        if (l.rfind("tty7 VT_ACTIVATE 7", 0) == 0)
                            return true;
                    return false;
                },
                3000);
            stop(held);
            child_snapshot(report);
            (void)glimmer_console_restore_recorded();
            child_snapshot(report);
        });
        if (owner > 0)
            stop(owner);
        ASSERT_EQ(r.report.snapshot_count, 2);
        const VtemuState &killed = r.report.snapshots[0].model;
        EXPECT_EQ(killed.active, 1);
        EXPECT_EQ(killed.vt[7].kd_mode, KD_GRAPHICS);
        const VtemuState &restored = r.report.snapshots[1].model;
        EXPECT_EQ(restored.active, 1);
        EXPECT_EQ(restored.vt[1].kd_mode, KD_TEXT);
        EXPECT_FALSE(restored.vt[7].allocated);
        EXPECT_EQ(access((d + "/" GLIMMER_CONSOLE_RECORD_NAME).c_str(), F_OK), -1);
    }
}
