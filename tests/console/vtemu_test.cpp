// The emulated console itself: the switching rules the console tests rely
// on, and that no open of a console path ever reaches the machine's devices.
#include "console_child.h"
#include "console_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/kd.h>
#include <linux/vt.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

class VtemuTest : public EmulatedConsoleTest {
  protected:
    bool logged(const std::string &line)
    {
        const std::vector<std::string> log = console_log(dir.path);
        return std::find(log.begin(), log.end(), line) != log.end();
    }
};

// A VT_PROCESS owner: answers release requests with `reply`, acquisitions with VT_ACKACQ.
volatile sig_atomic_t owner_fd = -1;
volatile sig_atomic_t owner_reply = 1;
volatile sig_atomic_t owner_released = 0;
volatile sig_atomic_t owner_acquired = 0;

void owner_release(int)
{
    (void)ioctl(owner_fd, VT_RELDISP, (int)owner_reply);
    owner_released = owner_released + 1;
}

void owner_acquire(int)
{
    (void)ioctl(owner_fd, VT_RELDISP, VT_ACKACQ);
    owner_acquired = owner_acquired + 1;
}

void become_owner_of_7(int reply)
{
    owner_reply = reply;
    owner_fd = open("/dev/tty7", O_RDWR | O_NONBLOCK);
    signal(SIGUSR1, owner_release);
    signal(SIGUSR2, owner_acquire);
    struct vt_mode m = {};
    m.mode = VT_PROCESS;
    m.relsig = SIGUSR1;
    m.acqsig = SIGUSR2;
    (void)ioctl(owner_fd, VT_SETMODE, &m);
    (void)ioctl(owner_fd, VT_ACTIVATE, 7);
    (void)child_wait_for([] { return owner_acquired == 1; }, 3000);
}

TEST_F(VtemuTest, ProcessModeSwitchWaitsForTheOwnersAnswer)
{
    for (const int reply : {1, 0}) {
        SCOPED_TRACE("reply " + std::to_string(reply));
        write_console();
        const std::string d = dir.path;
        ChildRun r = run_console_child(d, [d, reply](ChildReport *report) {
            become_owner_of_7(reply);
            switch_from_elsewhere(d, 2);
            (void)child_wait_for([] { return owner_released == 1; }, 3000);
            child_snapshot(report);
        });
        ASSERT_TRUE(r.exited && r.code == 0);
        ASSERT_EQ(r.report.snapshot_count, 1);
        const VtemuState &m = r.report.snapshots[0].model;
        EXPECT_TRUE(logged("tty7 VT_RELDISP 2 = 0")) << "acquisition not acknowledged";
        EXPECT_TRUE(logged("tty7 VT_RELDISP " + std::to_string(reply) + " = 0"));
        EXPECT_EQ(m.active, reply ? 2 : 7);
        EXPECT_EQ(m.vt[7].new_vt, -1);
        EXPECT_EQ(m.vt[7].mode, VT_PROCESS);
    }
}

// An owner that has gone cannot answer: its terminal falls back to automatic
// switching, and the switch goes ahead.
TEST_F(VtemuTest, SwitchAwayFromAVanishedOwner)
{
    write_console();
    ChildRun r = run_console_child(dir.path, [](ChildReport *) {
        signal(SIGUSR1, SIG_IGN);
        const int fd = open("/dev/tty7", O_RDWR);
        struct vt_mode m = {};
        m.mode = VT_PROCESS;
        m.relsig = SIGUSR1;
        m.acqsig = SIGUSR1;
        (void)ioctl(fd, VT_SETMODE, &m);
        (void)ioctl(fd, KDSETMODE, KD_GRAPHICS);
        (void)ioctl(fd, VT_ACTIVATE, 7);
        // exits holding the terminal
    });
    ASSERT_TRUE(r.exited && r.code == 0);
    EXPECT_EQ(model().active, 7);
    EXPECT_EQ(glimmer_vtemu_activate(dir.path.c_str(), 2), 0);
    const VtemuState m = model();
    EXPECT_EQ(m.active, 2);
    EXPECT_EQ(m.vt[7].mode, VT_AUTO);
    EXPECT_EQ(m.vt[7].kd_mode, KD_TEXT);
    EXPECT_EQ(glimmer_vtemu_open_count(&m, 7), 0);
    EXPECT_TRUE(logged("tty7 reset = 0"));
}

// A terminal left in graphics mode without switch control keeps the display.
TEST_F(VtemuTest, GraphicsModeWithoutOwnerIgnoresSwitches)
{
    write_console();
    ChildRun r = run_console_child(dir.path, [](ChildReport *) {
        const int fd = open("/dev/tty7", O_RDWR);
        (void)ioctl(fd, VT_ACTIVATE, 7);
        (void)ioctl(fd, KDSETMODE, KD_GRAPHICS);
        close(fd);
    });
    ASSERT_TRUE(r.exited && r.code == 0);
    EXPECT_EQ(glimmer_vtemu_activate(dir.path.c_str(), 2), 0);
    EXPECT_EQ(model().active, 7);
    EXPECT_TRUE(logged("tty7 switch_ignored to=2 = 0"));
}

// What the screen goes through: a terminal in text mode is drawn when it
// comes on display or leaves graphics mode while shown, after a mode set when
// the screen was in graphics mode; a mode change in the background draws
// nothing.
struct ScreenCase {
    const char *name;
    void (*steps)(int fd); // on /dev/tty7, terminal 1 shown
    std::vector<std::string> screen;
};

void release_7(int)
{
    (void)ioctl(owner_fd, VT_RELDISP, 1);
}

TEST_F(VtemuTest, ScreenIsDrawnOnlyForATerminalShownInTextMode)
{
    const ScreenCase cases[] = {
        {"graphics set in the background, then shown",
         [](int fd) {
             (void)ioctl(fd, KDSETMODE, KD_GRAPHICS);
             (void)ioctl(fd, VT_ACTIVATE, 7);
         },
         {}},
        {"text terminal shown", [](int fd) { (void)ioctl(fd, VT_ACTIVATE, 7); }, {"tty7 draw = 0"}},
        {"graphics set while shown",
         [](int fd) {
             (void)ioctl(fd, VT_ACTIVATE, 7);
             (void)ioctl(fd, KDSETMODE, KD_GRAPHICS);
         },
         {"tty7 draw = 0"}},
        {"text set while shown",
         [](int fd) {
             (void)ioctl(fd, VT_ACTIVATE, 7);
             (void)ioctl(fd, KDSETMODE, KD_GRAPHICS);
             (void)ioctl(fd, KDSETMODE, KD_TEXT);
         },
         {"tty7 draw = 0", "tty7 mode_set = 0", "tty7 draw = 0"}},
        {"text set in the background",
         [](int fd) {
             (void)ioctl(fd, KDSETMODE, KD_GRAPHICS);
             (void)ioctl(fd, KDSETMODE, KD_TEXT);
         },
         {}},
        {"released from graphics to a text terminal",
         [](int fd) {
             owner_fd = fd;
             signal(SIGUSR1, release_7);
             struct vt_mode m = {};
             m.mode = VT_PROCESS;
             m.relsig = SIGUSR1;
             (void)ioctl(fd, VT_SETMODE, &m);
             (void)ioctl(fd, KDSETMODE, KD_GRAPHICS);
             (void)ioctl(fd, VT_ACTIVATE, 7);
             (void)ioctl(fd, VT_ACTIVATE, 1);
         },
         {"tty1 mode_set = 0", "tty1 draw = 0"}},
    };
    for (const ScreenCase &c : cases) {
        SCOPED_TRACE(c.name);
        write_console();
        auto steps = c.steps;
        ChildRun r = run_console_child(dir.path, [steps](ChildReport *) {
            const int fd = open("/dev/tty7", O_RDWR | O_NONBLOCK);
            steps(fd);
            close(fd);
        });
        ASSERT_TRUE(r.exited && r.code == 0);
        std::vector<std::string> screen;
        for (const std::string &l : console_log(dir.path))
            if (l.find(" draw ") != std::string::npos || l.find(" mode_set ") != std::string::npos)
                screen.push_back(l);
        EXPECT_EQ(screen, c.screen);
    }
}

TEST_F(VtemuTest, FreeTerminalsAndFreeing)
{
    config.rules[config.rule_count++] = {VTEMU_REQ_VT_GETSTATE, EIO, 2};
    write_console();
    ChildRun r = run_console_child(dir.path, [](ChildReport *) {
        const int held = open("/dev/tty7", O_RDWR);
        const int tty0 = open("/dev/tty0", O_RDWR);
        int free_vt = 0;
        struct vt_stat st;
        (void)ioctl(tty0, VT_OPENQRY, &free_vt);
        (void)ioctl(tty0, VT_DISALLOCATE, 7);
        close(held);
        (void)ioctl(tty0, VT_DISALLOCATE, 7);
        (void)ioctl(tty0, VT_DISALLOCATE, 1);
        for (int i = 0; i < 3; i++)
            (void)ioctl(tty0, VT_GETSTATE, &st);
        (void)ioctl(tty0, VT_ACTIVATE, 64);
        close(tty0);
    });
    ASSERT_TRUE(r.exited && r.code == 0);
    const std::vector<std::string> expected = {
        "tty7 open O_RDWR = 0",
        "tty0 open O_RDWR = 0",
        "tty0 VT_OPENQRY = 0 -> 8",         // 7 is open
        "tty0 VT_DISALLOCATE 7 = -1 EBUSY", // still open
        "tty7 close = 0",
        "tty0 VT_DISALLOCATE 7 = 0",
        "tty0 VT_DISALLOCATE 1 = -1 EBUSY", // shown (and open through tty0)
        "tty0 VT_GETSTATE = 0 -> v_active=1 v_state=0x7f",
        "tty0 VT_GETSTATE = -1 EIO", // the second call, as configured
        "tty0 VT_GETSTATE = 0 -> v_active=1 v_state=0x7f",
        "tty0 VT_ACTIVATE 64 = -1 ENXIO",
        "tty0 close = 0",
    };
    EXPECT_EQ(console_log(dir.path), expected);
    EXPECT_FALSE(model().vt[7].allocated);
}

// Puts regular files over the console device nodes, in a mount namespace of
// this process only, so that an open the emulation failed to catch would be
// seen (it would succeed on the file) without reaching a real terminal.
bool shadow_console_nodes(const std::string &file)
{
    if (unshare(CLONE_NEWNS) != 0)
        return false;
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    for (const char *node : {"/dev/tty0", "/dev/tty1", "/dev/tty7"}) {
        struct stat st;
        if (stat(node, &st) != 0)
            continue; // nothing to reach
        if (mount(file.c_str(), node, nullptr, MS_BIND, nullptr) != 0)
            return false;
    }
    return true;
}

TEST_F(VtemuTest, ConsolePathsNeverReachTheMachine)
{
    struct Setup {
        const char *name;
        bool set_dir;
        bool configured;
    };
    for (const Setup s :
         {Setup{"no GLIMMER_EMU_DIR", false, false}, Setup{"no console.conf", true, false}}) {
        SCOPED_TRACE(s.name);
        const std::string file = dir.path + "/not-a-terminal";
        {
            FILE *f = fopen(file.c_str(), "w");
            ASSERT_TRUE(f);
            fclose(f);
        }
        const bool set_dir = s.set_dir;
        ChildRun r = run_console_child(dir.path, [file, set_dir](ChildReport *report) {
            if (!shadow_console_nodes(file))
                _exit(77);
            if (!set_dir)
                unsetenv("GLIMMER_EMU_DIR");
            const char *paths[] = {"/dev/tty0", "/dev/tty7", "/dev//tty1", "/dev/../dev/tty7",
                                   "/dev/./tty0"};
            int reached = 0, wrong_errno = 0;
            for (const char *p : paths) {
                const int fd = open(p, O_RDWR | O_NONBLOCK);
                reached += fd >= 0;
                wrong_errno += fd < 0 && errno != ENOENT;
                if (fd >= 0)
                    close(fd);
                const int fd2 = openat(AT_FDCWD, p, O_WRONLY);
                reached += fd2 >= 0;
                if (fd2 >= 0)
                    close(fd2);
            }
            if (chdir("/dev") == 0) {
                const int fd = open("tty0", O_RDONLY);
                reached += fd >= 0;
                if (fd >= 0)
                    close(fd);
                const int dev = open(".", O_RDONLY | O_DIRECTORY);
                const int fd2 = openat(dev, "tty7", O_RDONLY);
                reached += fd2 >= 0;
                if (fd2 >= 0)
                    close(fd2);
                close(dev);
            }
            report->measured_ms = reached * 1000 + wrong_errno;
        });
        if (r.exited && r.code == 77)
            GTEST_SKIP() << "no private mount namespace here";
        ASSERT_TRUE(r.exited && r.code == 0);
        EXPECT_EQ(r.report.measured_ms / 1000, 0) << "console paths reached the file system";
        EXPECT_EQ(r.report.measured_ms % 1000, 0) << "refused with another error than ENOENT";
    }

    // With a console configured the same paths open emulated terminals,
    // backed by /dev/null.
    write_console();
    const std::string file = dir.path + "/not-a-terminal";
    ChildRun r = run_console_child(dir.path, [file](ChildReport *report) {
        if (!shadow_console_nodes(file))
            _exit(77);
        const int fd = open("/dev/../dev/tty7", O_RDWR);
        struct stat st;
        const bool is_null = fd >= 0 && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) &&
                             major(st.st_rdev) == 1 && minor(st.st_rdev) == 3;
        report->measured_ms = is_null ? 1 : 0;
    });
    if (r.exited && r.code == 77)
        GTEST_SKIP() << "no private mount namespace here";
    ASSERT_TRUE(r.exited && r.code == 0);
    EXPECT_EQ(r.report.measured_ms, 1);
    EXPECT_TRUE(logged("tty7 open O_RDWR = 0"));
}

} // namespace
