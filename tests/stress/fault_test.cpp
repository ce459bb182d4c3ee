// Fault injection: every framebuffer request and every console request
// refused in turn. glimmer reports each failure with its own message, goes on
// where it can or exits with status 255 where the framebuffer cannot be
// opened, and in every case removes its FIFO and gives the console back as
// far as the console lets it.
#include "stress_rig.h"

#include <gtest/gtest.h>
#include <linux/kd.h>
#include <linux/vt.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace {

struct FbFault {
    const char *name;
    std::function<void(FbemuConfig *)> configure; // null: no device at all
    int status;                                   // exit status; 0 after the commands and QUIT
    const char *err;                              // standard error, exactly
    const char *out;                              // standard output, exactly
    uint32_t flips; // accepted flips by the end (initial scene + 2 commands)
};

const char FIXED_EIO[] = ": Input/output error\n";

std::string with_eio(const char *text)
{
    return std::string(text) + FIXED_EIO;
}

// The default device is 1024x768 at 32 bpp with a virtual height of one
// page, so set-up makes, in this order: FBIOGET_VSCREENINFO twice,
// FBIOGET_FSCREENINFO, the FBIOPAN_DISPLAY test, FBIOPUT_VSCREENINFO for two
// pages, FBIOGET_FSCREENINFO again, mmap. Each flip then waits for vertical
// sync and pans.
const std::vector<FbFault> &fb_faults()
{
    static const std::string var1 = with_eio("Error getting variable framebuffer info");
    static const std::string var2 = with_eio("Error getting variable framebuffer info (2)");
    static const std::string fix1 = with_eio("Error getting fixed framebuffer info");
    static const std::string fix2 = with_eio(" Error getting the fixed framebuffer info");
    static const std::vector<FbFault> faults = {
        {"no_device", nullptr, 255, "Error opening /dev/fb0\nError opening /dev/dri/card0\n", "",
         0},
        {"get_var_first", [](FbemuConfig *c) { c->refuse_nth(FBEMU_GET_VAR, 1, EIO); }, 255,
         var1.c_str(), "", 0},
        {"get_var_second", [](FbemuConfig *c) { c->refuse_nth(FBEMU_GET_VAR, 2, EIO); }, 255,
         var2.c_str(), "", 0},
        {"get_fix_first", [](FbemuConfig *c) { c->refuse_nth(FBEMU_GET_FIX, 1, EIO); }, 255,
         fix1.c_str(), "", 0},
        {"get_fix_after_two_pages", [](FbemuConfig *c) { c->refuse_nth(FBEMU_GET_FIX, 2, EIO); },
         255, fix2.c_str(), "", 0},
        {"mmap", [](FbemuConfig *c) { c->mappable = false; }, 255,
         "Error cannot mmap framebuffer : No such device\n", "", 0},
        {"depth_both_refused",
         [](FbemuConfig *c) {
             c->bits_per_pixel = 8;
             c->put_depths = {};
         },
         255,
         "Error, no support currently for 8 bpp frame buffers\n"
         "Trying to change pixel format...\n"
         "Error, failed to switch to a 32 bpp 8,8,8 frame buffer\n"
         "Error, failed to switch to a 16 bpp 5,6,5 frame buffer\n",
         "", 0},
        {"depth_32_refused_16_taken",
         [](FbemuConfig *c) {
             c->bits_per_pixel = 8;
             c->put_depths = {16};
         },
         0,
         "Error, no support currently for 8 bpp frame buffers\n"
         "Trying to change pixel format...\n"
         "Error, failed to switch to a 32 bpp 8,8,8 frame buffer\n",
         "Switched to a 16 bpp 5,6,5 frame buffer\nto back\n", 3},
        {"depth_32_taken", [](FbemuConfig *c) { c->bits_per_pixel = 8; }, 0,
         "Error, no support currently for 8 bpp frame buffers\n"
         "Trying to change pixel format...\n",
         "Switched to a 32 bpp 8,8,8 frame buffer\nto back\n", 3},
        {"pan_test", [](FbemuConfig *c) { c->refuse_nth(FBEMU_PAN, 1, EINVAL); }, 0,
         "FBIOPAN_DISPLAY not supported, double buffering disabled\n", "", 0},
        {"two_pages_refused", [](FbemuConfig *c) { c->refuse_nth(FBEMU_PUT_VAR, 1, EINVAL); }, 0,
         "FBIOPUT_VSCREENINFO failed, double buffering disabled\n", "", 0},
        {"vsync_refused", [](FbemuConfig *c) { c->refuse(FBEMU_VSYNC, EINVAL); }, 0,
         "Error, FB vsync ioctl [-1]\nError, FB vsync ioctl [-1]\nError, FB vsync ioctl [-1]\n",
         "to back\n", 3},
        {"vsync_odd_answer", [](FbemuConfig *c) { c->answer(FBEMU_VSYNC, 5); }, 0,
         "Error, FB vsync ioctl [5]\nError, FB vsync ioctl [5]\nError, FB vsync ioctl [5]\n",
         "to back\n", 3},
        // The first command's flip then pans to where the display already
        // stands, which moves nothing: only the second command's flip shows.
        {"pan_initial_flip", [](FbemuConfig *c) { c->refuse_nth(FBEMU_PAN, 2, EINVAL); }, 0,
         "glimmer_fb_flip: FBIOPAN_DISPLAY failed\n", "to back\n", 1},
        {"pan_command_flip", [](FbemuConfig *c) { c->refuse_nth(FBEMU_PAN, 4, EINVAL); }, 0,
         "glimmer_fb_flip: FBIOPAN_DISPLAY failed\n", "to back\n", 2},
    };
    return faults;
}

class FramebufferFaults : public ::testing::TestWithParam<FbFault> {};

TEST_P(FramebufferFaults, ReportedAndSurvivedOrFatal)
{
    const FbFault &f = GetParam();
    StressRig rig;
    if (f.configure) {
        FbemuConfig config;
        f.configure(&config);
        ASSERT_TRUE(rig.configure(config));
    }
    ASSERT_TRUE(rig.start());
    if (f.status == 0) {
        ASSERT_TRUE(rig.wait_ready()) << rig.err();
        ASSERT_TRUE(stress_send(rig.fifo, "PROGRESS 40\n"));
        ASSERT_TRUE(rig.wait_waiting());
        ASSERT_TRUE(stress_send(rig.fifo, "MSG still here\n"));
        ASSERT_TRUE(rig.wait_waiting());
        ASSERT_TRUE(stress_send(rig.fifo, "QUIT\n"));
    }
    const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
    EXPECT_TRUE(e.exited) << "signal " << e.signal;
    EXPECT_EQ(e.code, f.status);
    EXPECT_EQ(rig.err(), f.err);
    EXPECT_EQ(rig.out(), f.out);
    if (f.configure) {
        EXPECT_EQ(rig.flips(), f.flips);
    }
    EXPECT_FALSE(rig.fifo_exists());
    EXPECT_EQ(rig.console_now(), rig.console_as_found(1));
}

INSTANTIATE_TEST_SUITE_P(Stress, FramebufferFaults, ::testing::ValuesIn(fb_faults()),
                         [](const ::testing::TestParamInfo<FbFault> &p) {
                             return std::string(p.param.name);
                         });

// How the console ends after a refusal: as found (terminal 1 shown, 7
// freed), or with glimmer's terminal 7 still there.
enum ConsoleEnd {
    AS_FOUND,
    SEVEN_LEFT_UNSHOWN, // terminal 1 shown, 7 allocated in text mode, VT_AUTO, closed
    SEVEN_LEFT_SHOWN,   // the same, but 7 still on display
};

struct ConsoleFault {
    const char *name;
    const char *request; // as the console emulation names it
    int nth;
    int error;
    const char *err; // standard error, exactly
    ConsoleEnd end;
};

// The order of glimmer's console requests: take-over opens /dev/tty0,
// VT_OPENQRY, opens /dev/tty7, VT_GETSTATE, VT_GETMODE + VT_SETMODE (automatic
// switching), KDSETMODE graphics, VT_ACTIVATE, VT_WAITACTIVE, VT_GETMODE +
// VT_SETMODE (process switching); the restore: VT_GETSTATE, VT_ACTIVATE 1,
// VT_RELDISP 1 (the switch back, still in graphics mode), KDSETMODE text,
// VT_GETMODE + VT_SETMODE (automatic), opens /dev/tty0, VT_DISALLOCATE 7.
// Should the switch back fail, the restore sets text mode and automatic
// switching first and then asks for the switch: VT_GETSTATE, VT_ACTIVATE 1,
// VT_WAITACTIVE 1.
const std::vector<ConsoleFault> &console_faults()
{
    static const std::vector<ConsoleFault> faults = {
        {"open_tty0", "open_tty0", 1, EACCES, "Error Cannot open /dev/tty0: Permission denied\n",
         AS_FOUND},
        {"open_query", "VT_OPENQRY", 1, EIO,
         "Error unable to find a free virtual terminal: Input/output error\n", AS_FOUND},
        {"open_tty", "open_tty", 1, EACCES, "Error cannot open /dev/tty7: Permission denied\n",
         AS_FOUND},
        {"get_state_take_over", "VT_GETSTATE", 1, EIO, "", SEVEN_LEFT_SHOWN},
        {"get_mode_auto", "VT_GETMODE", 1, EIO, "Error VT_SETMODE failed: Input/output error\n",
         AS_FOUND},
        {"set_mode_auto", "VT_SETMODE", 1, EIO, "Error VT_SETMODE failed: Input/output error\n",
         AS_FOUND},
        {"wait_active", "VT_WAITACTIVE", 1, EIO,
         "Error VT_WAITACTIVE failed\n: Input/output error\n", AS_FOUND},
        {"get_mode_process", "VT_GETMODE", 2, EIO, "Error VT_SETMODE failed: Input/output error\n",
         AS_FOUND},
        {"set_mode_process", "VT_SETMODE", 2, EIO, "Error VT_SETMODE failed: Input/output error\n",
         AS_FOUND},
        {"graphics", "KDSETMODE", 1, EIO,
         "Error KDSETMODE KD_GRAPHICS failed\n: Input/output error\n", AS_FOUND},
        // Refusals after the switch back leave only the freed terminal's
        // modes, which the console forgets with it.
        {"text", "KDSETMODE", 2, EIO, "", AS_FOUND},
        {"get_mode_restore", "VT_GETMODE", 3, EIO, "Error VT_SETMODE failed: Input/output error\n",
         AS_FOUND},
        {"set_mode_restore", "VT_SETMODE", 3, EIO, "Error VT_SETMODE failed: Input/output error\n",
         AS_FOUND},
        // The switch back in graphics mode fails: the one after text mode is
        // set takes its place.
        {"get_state_restore", "VT_GETSTATE", 2, EIO, "", AS_FOUND},
        {"activate_restore", "VT_ACTIVATE", 2, EIO, "", AS_FOUND},
        {"release_restore", "VT_RELDISP", 1, EIO, "", AS_FOUND},
        {"open_tty0_restore", "open_tty0", 2, EACCES, "", SEVEN_LEFT_UNSHOWN},
        {"disallocate", "VT_DISALLOCATE", 1, EIO, "", SEVEN_LEFT_UNSHOWN},
    };
    return faults;
}

class ConsoleFaults : public ::testing::TestWithParam<ConsoleFault> {};

TEST_P(ConsoleFaults, ReportedAndSurvived)
{
    const ConsoleFault &f = GetParam();
    StressRig rig;
    VtemuConfig console;
    glimmer_vtemu_config_default(&console);
    console.waitactive_ms = 300;
    ASSERT_TRUE(glimmer_vtemu_config_fail(&console, f.request, f.error, f.nth));
    ASSERT_TRUE(rig.configure_console(console));
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.wait_ready()) << rig.err();
    ASSERT_TRUE(stress_send(rig.fifo, "PROGRESS 40\nQUIT\n"));
    const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
    EXPECT_TRUE(e.exited) << "signal " << e.signal;
    EXPECT_EQ(e.code, 0);
    EXPECT_EQ(rig.err(), f.err);
    EXPECT_EQ(rig.flips(), 2u) << "drawing goes on whatever the console did";
    EXPECT_FALSE(rig.fifo_exists());

    VtemuState expected = rig.console_before;
    if (f.end != AS_FOUND) {
        VtemuTerminal &t = expected.vt[7];
        t.allocated = 1;
        t.kd_mode = KD_TEXT;
        t.mode = VT_AUTO;
        t.new_vt = -1;
        t.owner_pid = rig.process.pid;
        expected.active = f.end == SEVEN_LEFT_UNSHOWN ? 1 : 7;
    }
    VtemuState now;
    ASSERT_TRUE(glimmer_vtemu_read_state(rig.dir.path.c_str(), &now));
    EXPECT_EQ(glimmer_vtemu_describe(&now), glimmer_vtemu_describe(&expected));
}

INSTANTIATE_TEST_SUITE_P(Stress, ConsoleFaults, ::testing::ValuesIn(console_faults()),
                         [](const ::testing::TestParamInfo<ConsoleFault> &p) {
                             return std::string(p.param.name);
                         });

} // namespace
