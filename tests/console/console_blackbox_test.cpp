// The glimmer binary with both emulations preloaded: an emulated 32 bpp
// framebuffer and the emulated console. Whatever ends a run, the console is
// left as it was found, or on the terminal the user switched to.
#include "fbemu.h"
#include "glimmer_run.h"
#include "vtemu.h"

#include <gtest/gtest.h>
#include <linux/kd.h>
#include <linux/vt.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

const int TIMEOUT_MS = 10000;

bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    return bool(out.flush());
}

class ConsoleBlackBox : public ::testing::Test {
  protected:
    TempDir dir;
    std::string fifo;
    VtemuState before = {};

    void SetUp() override
    {
        ASSERT_FALSE(dir.path.empty());
        fifo = dir.path + "/glimmer_fifo";
        VtemuConfig console;
        glimmer_vtemu_config_default(&console);
        ASSERT_TRUE(glimmer_vtemu_init(dir.path.c_str(), &console));
        ASSERT_TRUE(glimmer_vtemu_read_state(dir.path.c_str(), &before));
    }

    void configure_framebuffer()
    {
        ASSERT_TRUE(glimmer_fbemu_write_config(dir.path, 0, FbemuConfig{}));
    }

    GlimmerRun run(std::vector<std::string> args = {})
    {
        GlimmerRun r;
        r.args = std::move(args);
        r.env = {"GLIMMER_FIFO_DIR=" + dir.path, "GLIMMER_EMU_DIR=" + dir.path};
        r.preload = {GLIMMER_VTEMU_LIBRARY};
        r.console_emulated = true;
        return r;
    }

    std::vector<std::string> log()
    {
        std::vector<std::string> lines;
        for (const VtemuLogEntry &e : glimmer_vtemu_read_log(dir.path.c_str()))
            lines.push_back(e.text);
        return lines;
    }

    bool logged(const std::string &line)
    {
        const std::vector<std::string> lines = log();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    // glimmer ended through its orderly shutdown: status 0, nothing
    // reported, the FIFO removed and the console as found with terminal
    // `shown` on display.
    void expect_orderly_end(GlimmerProcess *p, int shown)
    {
        const GlimmerExit e = glimmer_run_wait(p, TIMEOUT_MS);
        EXPECT_TRUE(e.exited);
        EXPECT_EQ(e.code, 0);
        EXPECT_EQ(glimmer_run_stderr(*p), "");
        EXPECT_FALSE(fifo_exists());
        EXPECT_EQ(console_now(), console_as_found(shown));
    }

    // The take-over has finished once glimmer switches its terminal, shown.
    bool wait_taken_over()
    {
        return glimmer_run_wait_until(
            [&] {
                VtemuState now;
                return glimmer_vtemu_read_state(dir.path.c_str(), &now) && now.active == 7 &&
                       now.vt[7].mode == VT_PROCESS;
            },
            TIMEOUT_MS);
    }

    std::string console_now()
    {
        VtemuState now;
        if (!glimmer_vtemu_read_state(dir.path.c_str(), &now))
            return "(no console)";
        return glimmer_vtemu_describe(&now);
    }

    std::string console_as_found(int shown)
    {
        VtemuState expected = before;
        expected.active = shown;
        return glimmer_vtemu_describe(&expected);
    }

    bool fifo_exists() { return exists(fifo); }

    static bool exists(const std::string &path)
    {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }

    std::string record() { return dir.path + "/glimmer.vt"; }
};

TEST_F(ConsoleBlackBox, QuitLeavesTheConsoleAsFound)
{
    configure_framebuffer();
    GlimmerProcess p;
    ASSERT_TRUE(glimmer_run_start(run(), &p));
    ASSERT_TRUE(wait_taken_over()) << console_now();
    // While glimmer runs its terminal is shown in graphics mode.
    VtemuState during;
    ASSERT_TRUE(glimmer_vtemu_read_state(dir.path.c_str(), &during));
    EXPECT_EQ(during.active, 7);
    EXPECT_EQ(during.vt[7].kd_mode, KD_GRAPHICS);
    EXPECT_EQ(during.vt[7].mode, VT_PROCESS);
    // The terminal held and the one shown before, for a restore after a kill.
    EXPECT_EQ(glimmer_read_file(record()), "7 1\n");

    ASSERT_TRUE(glimmer_run_write_fifo(fifo, "PROGRESS 30\nQUIT\n", TIMEOUT_MS));
    expect_orderly_end(&p, 1);
    EXPECT_TRUE(logged("tty0 VT_DISALLOCATE 7 = 0"));
    EXPECT_FALSE(exists(record())) << "the record outlived the orderly end";
}

TEST_F(ConsoleBlackBox, TerminatingSignalsWhileWaitingRestoreTheConsole)
{
    for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signo));
        VtemuConfig console;
        glimmer_vtemu_config_default(&console);
        ASSERT_TRUE(glimmer_vtemu_init(dir.path.c_str(), &console));
        configure_framebuffer();
        GlimmerProcess p;
        ASSERT_TRUE(glimmer_run_start(run(), &p));
        ASSERT_TRUE(wait_taken_over()) << console_now();
        ASSERT_TRUE(glimmer_run_signal(p, signo));
        expect_orderly_end(&p, 1);
        // Restored once, in the handler: the shutdown's second restore adds nothing.
        int frees = 0;
        for (const std::string &l : log())
            frees += l.find("VT_DISALLOCATE") != std::string::npos;
        EXPECT_EQ(frees, 1);
    }
}

TEST_F(ConsoleBlackBox, SwitchingAwayEndsGlimmer)
{
    configure_framebuffer();
    GlimmerProcess p;
    ASSERT_TRUE(glimmer_run_start(run(), &p));
    ASSERT_TRUE(wait_taken_over()) << console_now();

    // As chvt 3 from another program: a switch request, then the wait for it.
    EXPECT_EQ(glimmer_vtemu_activate(dir.path.c_str(), 3), 0);
    EXPECT_TRUE(glimmer_vtemu_wait_active(dir.path.c_str(), 3, TIMEOUT_MS)) << console_now();

    expect_orderly_end(&p, 3);
    EXPECT_TRUE(logged("tty7 VT_RELDISP 1 = 0"));
}

TEST_F(ConsoleBlackBox, NoConsoleSwitchTouchesNoTerminal)
{
    configure_framebuffer();
    GlimmerProcess p;
    ASSERT_TRUE(glimmer_run_start(run({"-n"}), &p));
    ASSERT_TRUE(glimmer_run_write_fifo(fifo, "QUIT\n", TIMEOUT_MS));
    const GlimmerExit e = glimmer_run_wait(&p, TIMEOUT_MS);
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.code, 0);
    EXPECT_EQ(log(), std::vector<std::string>{});
    EXPECT_EQ(console_now(), console_as_found(1));
}

TEST_F(ConsoleBlackBox, MissingFramebufferStillRestoresTheConsole)
{
    GlimmerProcess p; // no framebuffer configured
    ASSERT_TRUE(glimmer_run_start(run(), &p));
    const GlimmerExit e = glimmer_run_wait(&p, TIMEOUT_MS);
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.code, 255);
    EXPECT_EQ(glimmer_run_stderr(p), "Error opening /dev/fb0\nError opening /dev/dri/card0\n");
    EXPECT_FALSE(fifo_exists());
    EXPECT_TRUE(logged("tty7 KDSETMODE KD_GRAPHICS = 0")) << "no take-over before the framebuffer";
    EXPECT_EQ(console_now(), console_as_found(1));
}

// glimmer-restore after glimmer ended without giving the console back, or
// with nothing left to give back.
enum RestoreSetUp {
    RESTORE_AFTER_SIGKILL, // glimmer killed while its picture was shown
    RESTORE_NO_RECORD,     // nothing recorded: glimmer ended in order, or never ran
    RESTORE_TEXT_MODE,     // a stale record: its terminal is in text mode (a getty's)
    RESTORE_UNREADABLE,    // a record that names no terminal
};

struct RestoreCase {
    const char *name;
    RestoreSetUp set_up;
    int status;         // glimmer-restore's exit status
    bool console_found; // the console ends as found, with terminal 1 shown
    bool console_alone; // nothing but reading requests reach the console
};

void PrintTo(const RestoreCase &c, std::ostream *out)
{
    *out << c.name;
}

class ConsoleRestore : public ConsoleBlackBox, public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(ConsoleRestore, GivesBackOnlyWhatGlimmerLeftInGraphicsMode)
{
    const RestoreCase c = GetParam();
    switch (c.set_up) {
    case RESTORE_AFTER_SIGKILL: {
        configure_framebuffer();
        GlimmerProcess p;
        ASSERT_TRUE(glimmer_run_start(run(), &p));
        ASSERT_TRUE(wait_taken_over()) << console_now();
        ASSERT_TRUE(exists(record()));
        ASSERT_TRUE(glimmer_run_signal(p, SIGKILL));
        ASSERT_TRUE(glimmer_run_wait(&p, TIMEOUT_MS).signaled);
        VtemuState left;
        ASSERT_TRUE(glimmer_vtemu_read_state(dir.path.c_str(), &left));
        ASSERT_EQ(left.active, 7);
        ASSERT_EQ(left.vt[7].kd_mode, KD_GRAPHICS);
        break;
    }
    case RESTORE_NO_RECORD:
        break;
    case RESTORE_TEXT_MODE:
        ASSERT_TRUE(write_file(record(), "2 1\n"));
        break;
    case RESTORE_UNREADABLE:
        ASSERT_TRUE(write_file(record(), "tty7\n"));
        break;
    }
    const std::string console_before = console_now();
    const size_t log_before = log().size();

    GlimmerRun r = run();
    r.binary = GLIMMER_RESTORE_BINARY;
    r.emulated_fb = false;
    GlimmerProcess p;
    ASSERT_TRUE(glimmer_run_start(r, &p));
    const GlimmerExit e = glimmer_run_wait(&p, TIMEOUT_MS);
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.code, c.status) << glimmer_run_stderr(p);
    EXPECT_FALSE(exists(record()));
    if (c.console_found)
        EXPECT_EQ(console_now(), console_as_found(1));
    else
        EXPECT_EQ(console_now(), console_before);
    if (c.console_alone) {
        const std::vector<std::string> lines = log();
        for (size_t i = log_before; i < lines.size(); i++)
            EXPECT_TRUE(lines[i].find("open") != std::string::npos ||
                        lines[i].find("close") != std::string::npos ||
                        lines[i].find("KDGETMODE") != std::string::npos)
                << lines[i];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Restore, ConsoleRestore,
    ::testing::Values(RestoreCase{"after_sigkill", RESTORE_AFTER_SIGKILL, 0, true, false},
                      RestoreCase{"no_record", RESTORE_NO_RECORD, 0, true, true},
                      RestoreCase{"text_mode_record", RESTORE_TEXT_MODE, 0, false, true},
                      RestoreCase{"unreadable_record", RESTORE_UNREADABLE, 1, true, true}),
    [](const ::testing::TestParamInfo<RestoreCase> &i) { return std::string(i.param.name); });

} // namespace
