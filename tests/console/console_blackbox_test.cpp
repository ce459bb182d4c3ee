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
#include <string>

namespace {

const int TIMEOUT_MS = 10000;

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

    // The take-over has finished once graphics mode is set.
    bool wait_taken_over()
    {
        return glimmer_run_wait_until([&] { return logged("tty7 KDSETMODE KD_GRAPHICS = 0"); },
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

    bool fifo_exists()
    {
        struct stat st;
        return lstat(fifo.c_str(), &st) == 0;
    }
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

    ASSERT_TRUE(glimmer_run_write_fifo(fifo, "PROGRESS 30\nQUIT\n", TIMEOUT_MS));
    expect_orderly_end(&p, 1);
    EXPECT_TRUE(logged("tty0 VT_DISALLOCATE 7 = 0"));
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

} // namespace
