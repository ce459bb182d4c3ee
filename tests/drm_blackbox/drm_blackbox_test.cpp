// The unmodified glimmer binary on emulated DRM cards (no /dev/fb0, so it
// takes the card): what every head shows after each command, compared pixel
// for pixel with the scene drawn in memory for that head's size, format and
// rotation; how runs end; and that a refused set-up leaves the card as found.
#include "drmemu.h"
#include "glimmer_run.h"
#include "memfb.h"
#include "vtemu.h"

#include "app/layout.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const int TIMEOUT_MS = 10000;

// What one head must show: its mode, its depth and the rotation it gets.
struct HeadSpec {
    int width, height, bpp, angle;
};

// A command and the drawing it stands for.
struct Step {
    const char *line;
    int progress; // drawn when message is null
    const char *message;
};

const Step STEPS[] = {{"PROGRESS 40\n", 40, nullptr},
                      {"MSG hello from the card\n", 0, "hello from the card"},
                      {"PROGRESS -70\n", -70, nullptr}};

// The head's picture after the initial scene and the first `steps` steps, as
// the card's capture widens it.
FbemuImage expected_picture(const HeadSpec &h, size_t steps)
{
    MemFb m(h.width, h.height, h.bpp, h.bpp == 16 ? FB_FORMAT_RGB565 : FB_FORMAT_RGB888, h.angle);
    glimmer_draw_initial_scene(&m.fb);
    for (size_t i = 0; i < steps; i++) {
        if (STEPS[i].message)
            glimmer_draw_message(&m.fb, STEPS[i].message);
        else
            glimmer_draw_progress(&m.fb, STEPS[i].progress);
    }
    FbemuImage img;
    img.width = h.width;
    img.height = h.height;
    for (int y = 0; y < h.height; y++) {
        const uint8_t *row = m.base + (size_t)y * (size_t)m.fb.stride;
        for (int x = 0; x < h.width; x++) {
            if (h.bpp == 16) {
                uint16_t v;
                memcpy(&v, row + 2 * x, 2);
                const uint8_t r = (uint8_t)(v >> 11), g = (uint8_t)((v >> 5) & 63),
                              b = (uint8_t)(v & 31);
                img.pixels.push_back({(uint8_t)(r << 3 | r >> 2), (uint8_t)(g << 2 | g >> 4),
                                      (uint8_t)(b << 3 | b >> 2)});
            } else {
                uint32_t v;
                memcpy(&v, row + 4 * x, 4);
                img.pixels.push_back({(uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v});
            }
        }
    }
    return img;
}

// Differences between a capture and the expected picture, for messages.
std::string difference(const FbemuImage &want, const FbemuImage &got)
{
    if (want.width != got.width || want.height != got.height)
        return "capture " + std::to_string(got.width) + "x" + std::to_string(got.height) +
               ", want " + std::to_string(want.width) + "x" + std::to_string(want.height);
    size_t n = 0, first = 0;
    for (size_t i = 0; i < want.pixels.size(); i++)
        if (!(want.pixels[i] == got.pixels[i]) && n++ == 0)
            first = i;
    if (n == 0)
        return "";
    return std::to_string(n) + " pixels differ, first at (" +
           std::to_string(first % (size_t)want.width) + "," +
           std::to_string(first / (size_t)want.width) + ")";
}

class DrmBlackbox : public ::testing::Test {
  protected:
    TempDir dir;
    GlimmerRun run;
    GlimmerProcess process;

    std::string fifo() const { return dir.path + "/glimmer_fifo"; }

    void SetUp() override
    {
        run.args = {"-n"};
        run.env = {"GLIMMER_FIFO_DIR=" + dir.path, "GLIMMER_EMU_DIR=" + dir.path};
        run.preload = {GLIMMER_DRMEMU_LIBRARY};
    }

    void configure(const std::string &text)
    {
        std::string why;
        ASSERT_TRUE(glimmer_drmemu_write_config(dir.path, 0, text, &why)) << why;
    }

    DrmemuDevice card()
    {
        DrmemuDevice d;
        memset(&d, 0, sizeof d);
        EXPECT_TRUE(glimmer_drmemu_read_state(dir.path, 0, &d));
        return d;
    }

    // Waits until every head shows its expected picture; the last
    // difference when the time is up.
    std::string wait_heads(const std::vector<HeadSpec> &heads, size_t steps)
    {
        std::string why;
        for (size_t h = 0; h < heads.size(); h++) {
            const FbemuImage want = expected_picture(heads[h], steps);
            const bool shown = glimmer_run_wait_until(
                [&] {
                    FbemuImage got;
                    std::string err;
                    if (!glimmer_drmemu_capture(dir.path, 0, (int)h, &got, &err)) {
                        why = "no capture: " + err;
                        return false;
                    }
                    why = difference(want, got);
                    return why.empty();
                },
                TIMEOUT_MS);
            if (!shown)
                return "head " + std::to_string(h) + " after " + std::to_string(steps) +
                       " steps: " + why;
        }
        return "";
    }

    // The card as glimmer must leave it: no framebuffer or dumb buffer of
    // its own, every CRTC as configured (off), master released, closed.
    void expect_card_as_found()
    {
        const DrmemuDevice d = card();
        for (const DrmemuFb &f : d.fbs)
            EXPECT_EQ(f.id, 0u) << "framebuffer left behind";
        for (const DrmemuBuffer &b : d.buffers)
            EXPECT_EQ(b.handle, 0u) << "dumb buffer left behind";
        for (uint32_t c = 0; c < d.crtc_count; c++)
            EXPECT_EQ(d.crtcs[c].fb, 0u) << "CRTC " << c << " not restored";
        EXPECT_EQ(d.master, 0u);
        for (const DrmemuOpen &o : d.opens)
            EXPECT_EQ(o.id, 0u) << "card still open";
    }

    GlimmerExit finish() { return glimmer_run_wait(&process, TIMEOUT_MS); }
};

// ---- what the heads show ------------------------------------------------------

struct ShowCase {
    const char *name;
    std::string config; // a preset's name, or configuration lines
    std::vector<std::string> args;
    std::vector<HeadSpec> heads;
    const char *err; // standard error of the whole run
};

void PrintTo(const ShowCase &c, std::ostream *os)
{
    *os << c.name;
}

class Shows : public DrmBlackbox, public ::testing::WithParamInterface<ShowCase> {};

TEST_P(Shows, EveryHeadShowsTheSceneAndEachCommandExactly)
{
    const ShowCase &c = GetParam();
    const std::string preset = glimmer_drmemu_preset(c.config);
    configure(preset.empty() ? c.config : preset);
    run.args.insert(run.args.end(), c.args.begin(), c.args.end());
    ASSERT_TRUE(glimmer_run_start(run, &process));
    ASSERT_TRUE(glimmer_run_wait_fifo(fifo(), TIMEOUT_MS));
    ASSERT_EQ(wait_heads(c.heads, 0), "") << glimmer_run_stderr(process);
    EXPECT_EQ(card().master != 0, true);
    for (size_t i = 0; i < sizeof STEPS / sizeof STEPS[0]; i++) {
        ASSERT_TRUE(glimmer_run_write_fifo(fifo(), STEPS[i].line, TIMEOUT_MS));
        ASSERT_EQ(wait_heads(c.heads, i + 1), "") << STEPS[i].line;
    }
    ASSERT_TRUE(glimmer_run_write_fifo(fifo(), "QUIT\n", TIMEOUT_MS));
    const GlimmerExit e = finish();
    EXPECT_TRUE(e.exited && e.code == 0);
    EXPECT_EQ(glimmer_run_stderr(process), c.err);
    expect_card_as_found();
}

const char CONNECTOR[] = "connector Virtual-1 connected";
const char SECOND_BUFFER[] = "Error creating a DRM dumb buffer: Cannot allocate memory\n"
                             "Second DRM buffer not available, double buffering disabled\n";

INSTANTIATE_TEST_SUITE_P(
    Cards, Shows,
    ::testing::Values(
        ShowCase{"bochs", "bochs", {}, {{1280, 800, 32, 0}}, ""},
        ShowCase{"bochs_forced_with_d", "bochs", {"-d", "-a", "270"}, {{1280, 800, 32, 270}}, ""},
        ShowCase{"virtio_needs_dirtyfb", "virtio", {"-a", "90"}, {{1280, 800, 32, 90}}, ""},
        ShowCase{"two_heads_each_its_own_size",
                 "virtio2",
                 {},
                 {{1280, 800, 32, 0}, {1024, 768, 32, 0}},
                 ""},
        ShowCase{"cirrus_rgb565", "cirrus", {"-a", "180"}, {{1024, 768, 16, 180}}, ""},
        ShowCase{"depth16_without_rgb565_plane",
                 "preferred_depth 16\nconnector Virtual-1 connected 640x480*\nplane primary XR24\n",
                 {},
                 {{640, 480, 32, 0}},
                 ""},
        ShowCase{"depth24_without_xrgb_plane",
                 "preferred_depth 24\nconnector Virtual-1 connected 640x480*\nplane primary RG16\n",
                 {},
                 {{640, 480, 16, 0}},
                 ""},
        ShowCase{"preferred_mode_not_first",
                 std::string(CONNECTOR) + " 800x600 640x480* 320x240\nplane primary XR24\n",
                 {},
                 {{640, 480, 32, 0}},
                 ""},
        ShowCase{"no_preferred_mode_takes_the_first",
                 std::string(CONNECTOR) + " 320x240 640x480\nplane primary XR24\n",
                 {},
                 {{320, 240, 32, 0}},
                 ""},
        ShowCase{"disconnected_connector_skipped",
                 "crtcs 2\n" + std::string(CONNECTOR) +
                     " 640x480*\nconnector VGA-1 disconnected 1024x768*\nplane primary "
                     "XR24\nplane primary XR24\n",
                 {},
                 {{640, 480, 32, 0}},
                 ""},
        ShowCase{"panel_upside_down",
                 std::string(CONNECTOR) + " orientation=upside_down 480x320*\nplane primary XR24\n",
                 {},
                 {{480, 320, 32, 180}},
                 ""},
        ShowCase{"panel_left_side_up",
                 std::string(CONNECTOR) +
                     " orientation=left_side_up 320x480*\nplane primary XR24\n",
                 {},
                 {{320, 480, 32, 90}},
                 ""},
        ShowCase{"panel_right_side_up",
                 std::string(CONNECTOR) +
                     " orientation=right_side_up 320x480*\nplane primary XR24\n",
                 {},
                 {{320, 480, 32, 270}},
                 ""},
        ShowCase{"angle_given_overrides_panel",
                 std::string(CONNECTOR) + " orientation=upside_down 480x320*\nplane primary XR24\n",
                 {"-a", "0"},
                 {{480, 320, 32, 0}},
                 ""},
        // Without a second buffer the head is drawn in place and reported
        // with DirtyFB: the card that needs it still shows every command.
        ShowCase{"single_buffer_dirtyfb",
                 glimmer_drmemu_preset("virtio") + "refuse_nth MODE_CREATE_DUMB 2 ENOMEM\n",
                 {},
                 {{1280, 800, 32, 0}},
                 SECOND_BUFFER},
        // A flip refused as busy: the CRTC is set again with the new page.
        ShowCase{"flip_busy_sets_the_crtc_again",
                 glimmer_drmemu_preset("bochs") + "refuse_nth MODE_PAGE_FLIP 1 EBUSY\n",
                 {},
                 {{1280, 800, 32, 0}},
                 ""}),
    [](const auto &p) { return std::string(p.param.name); });

// A flip refused for another reason than EBUSY leaves the drawing page and
// its damage as they are: the next flip shows both changes, and the page
// drawn after that carries the refused one too (the message and the bar
// lie apart, so their order does not matter).
TEST_F(DrmBlackbox, RefusedFlipIsMadeUpByTheNext)
{
    configure(glimmer_drmemu_preset("virtio") + "refuse_nth MODE_PAGE_FLIP 1 EINVAL\n");
    ASSERT_TRUE(glimmer_run_start(run, &process));
    ASSERT_TRUE(glimmer_run_wait_fifo(fifo(), TIMEOUT_MS));
    ASSERT_EQ(wait_heads({{1280, 800, 32, 0}}, 0), "");
    ASSERT_TRUE(
        glimmer_run_write_fifo(fifo(), std::string(STEPS[1].line) + STEPS[0].line, TIMEOUT_MS));
    ASSERT_EQ(wait_heads({{1280, 800, 32, 0}}, 2), "");
    ASSERT_TRUE(glimmer_run_write_fifo(fifo(), STEPS[2].line, TIMEOUT_MS));
    ASSERT_EQ(wait_heads({{1280, 800, 32, 0}}, 3), "");
    ASSERT_TRUE(glimmer_run_write_fifo(fifo(), "QUIT\n", TIMEOUT_MS));
    const GlimmerExit e = finish();
    EXPECT_TRUE(e.exited && e.code == 0);
    EXPECT_EQ(glimmer_run_stderr(process),
              "glimmer_drm_flip: page flip failed: Invalid argument\n");
    expect_card_as_found();
}

// ---- refused set-ups ----------------------------------------------------------

struct RefusalCase {
    const char *name;
    std::string config;
    std::vector<std::string> args;
    const char *err;
};

void PrintTo(const RefusalCase &c, std::ostream *os)
{
    *os << c.name;
}

class Refused : public DrmBlackbox, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refused, EndsWith255AndLeavesTheCardAsFound)
{
    const RefusalCase &c = GetParam();
    configure(c.config);
    run.args.insert(run.args.end(), c.args.begin(), c.args.end());
    ASSERT_TRUE(glimmer_run_start(run, &process));
    const GlimmerExit e = finish();
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.code, 255);
    EXPECT_EQ(glimmer_run_stderr(process), c.err);
    EXPECT_EQ(glimmer_run_stdout(process), "");
    expect_card_as_found();
}

std::string bochs_with(const std::string &line)
{
    return glimmer_drmemu_preset("bochs") + line + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    SetUp, Refused,
    ::testing::Values(
        RefusalCase{"another_master",
                    bochs_with("refuse SET_MASTER EBUSY"),
                    {},
                    "Error, another program controls /dev/dri/card0: Device or resource busy\n"},
        RefusalCase{"setcrtc_refused",
                    bochs_with("refuse MODE_SETCRTC EACCES"),
                    {},
                    "Error setting the DRM mode: Permission denied\n"},
        RefusalCase{"second_head_setcrtc_refused",
                    glimmer_drmemu_preset("virtio2") + "refuse_nth MODE_SETCRTC 2 EACCES\n",
                    {},
                    "Error setting the DRM mode: Permission denied\n"},
        RefusalCase{"no_dumb_buffer",
                    bochs_with("refuse_nth MODE_CREATE_DUMB 1 ENOMEM"),
                    {},
                    "Error creating a DRM dumb buffer: Cannot allocate memory\n"},
        RefusalCase{"framebuffer_refused",
                    bochs_with("refuse MODE_ADDFB2 EINVAL"),
                    {},
                    "Error adding a DRM framebuffer: Invalid argument\n"},
        RefusalCase{"mapping_refused",
                    bochs_with("refuse mmap ENOMEM"),
                    {},
                    "Error cannot mmap DRM buffer: Cannot allocate memory\n"},
        RefusalCase{"card_refused_to_open",
                    bochs_with("refuse open EACCES"),
                    {},
                    "Error opening /dev/fb0\nError opening /dev/dri/card0\n"},
        RefusalCase{"card_refused_with_d",
                    bochs_with("refuse open EACCES"),
                    {"-d", "-f", "0"},
                    "Error opening /dev/dri/card0\n"},
        RefusalCase{"no_screen_connected",
                    "connector Virtual-1 disconnected 640x480*\nplane primary XR24\n",
                    {},
                    "Error no connected screen on /dev/dri/card0\n"}),
    [](const auto &p) { return std::string(p.param.name); });

// ---- load ----------------------------------------------------------------------

struct LoadCase {
    const char *name;
    int lines;
    bool terminate; // SIGTERM while the lines are still being carried out
};

void PrintTo(const LoadCase &c, std::ostream *os)
{
    *os << c.name;
}

class Load : public DrmBlackbox, public ::testing::WithParamInterface<LoadCase> {};

// A flood of commands on two heads: every line is one flip of each head,
// the last one is what both show, and a signal in the middle of the flood
// still ends with the card as found.
TEST_P(Load, EveryLineFlipsEveryHeadAndTheCardComesBack)
{
    const LoadCase &c = GetParam();
    const std::vector<HeadSpec> heads = {{1280, 800, 32, 0}, {1024, 768, 32, 0}};
    configure(glimmer_drmemu_preset("virtio2"));
    ASSERT_TRUE(glimmer_run_start(run, &process));
    ASSERT_TRUE(glimmer_run_wait_fifo(fifo(), TIMEOUT_MS));
    ASSERT_EQ(wait_heads(heads, 0), "");
    std::string flood;
    for (int i = 1; i < c.lines; i++)
        flood += "PROGRESS " + std::to_string(i % 203 - 101) + "\n";
    flood += STEPS[0].line;
    ASSERT_TRUE(glimmer_run_write_fifo(fifo(), flood, TIMEOUT_MS));
    if (c.terminate) {
        ASSERT_TRUE(glimmer_run_signal(process, SIGTERM));
    } else {
        // Carried out at its own pace on a busy machine: a bound per line.
        const auto flips = [&] {
            return glimmer_fbemu_log_of(glimmer_drmemu_read_log(dir.path, 0), "MODE_PAGE_FLIP")
                .size();
        };
        ASSERT_TRUE(glimmer_run_wait_until([&] { return flips() >= 2u * (size_t)c.lines; },
                                           TIMEOUT_MS + 100 * c.lines));
        ASSERT_EQ(wait_heads(heads, 1), "");
        ASSERT_TRUE(glimmer_run_write_fifo(fifo(), "QUIT\n", TIMEOUT_MS));
    }
    const GlimmerExit e = finish();
    EXPECT_TRUE(e.exited && e.code == 0);
    EXPECT_EQ(glimmer_run_stderr(process), "");
    if (!c.terminate) {
        const size_t flips =
            glimmer_fbemu_log_of(glimmer_drmemu_read_log(dir.path, 0), "MODE_PAGE_FLIP").size();
        EXPECT_EQ(flips, 2u * (size_t)c.lines);
    }
    expect_card_as_found();
}

INSTANTIATE_TEST_SUITE_P(Flood, Load,
                         ::testing::Values(LoadCase{"two_hundred_lines", 200, false},
                                           LoadCase{"sigterm_midway", 200, true}),
                         [](const auto &p) { return std::string(p.param.name); });

// ---- how runs end -------------------------------------------------------------

enum Ending { END_QUIT, END_SIGTERM, END_SIGINT, END_TERMINAL_SWITCH };

struct EndingCase {
    const char *name;
    Ending ending;
};

void PrintTo(const EndingCase &c, std::ostream *os)
{
    *os << c.name;
}

class Ends : public DrmBlackbox, public ::testing::WithParamInterface<EndingCase> {};

// With the emulated console: glimmer takes a terminal, shows the scene on
// both heads, and whatever ends it gives the card back as found.
TEST_P(Ends, GivesTheCardBack)
{
    const EndingCase &c = GetParam();
    VtemuConfig console;
    glimmer_vtemu_config_default(&console);
    ASSERT_TRUE(glimmer_vtemu_init(dir.path.c_str(), &console));
    configure(glimmer_drmemu_preset("virtio2"));
    run.args = {};
    run.preload.push_back(GLIMMER_VTEMU_LIBRARY);
    run.console_emulated = true;
    ASSERT_TRUE(glimmer_run_start(run, &process));
    ASSERT_TRUE(glimmer_run_wait_fifo(fifo(), TIMEOUT_MS));
    ASSERT_EQ(wait_heads({{1280, 800, 32, 0}, {1024, 768, 32, 0}}, 0), "");
    ASSERT_TRUE(glimmer_run_write_fifo(fifo(), STEPS[0].line, TIMEOUT_MS));
    ASSERT_EQ(wait_heads({{1280, 800, 32, 0}, {1024, 768, 32, 0}}, 1), "");
    switch (c.ending) {
    case END_QUIT:
        ASSERT_TRUE(glimmer_run_write_fifo(fifo(), "QUIT\n", TIMEOUT_MS));
        break;
    case END_SIGTERM:
        ASSERT_TRUE(glimmer_run_signal(process, SIGTERM));
        break;
    case END_SIGINT:
        ASSERT_TRUE(glimmer_run_signal(process, SIGINT));
        break;
    case END_TERMINAL_SWITCH:
        EXPECT_EQ(glimmer_vtemu_activate(dir.path.c_str(), 3), 0);
        break;
    }
    const GlimmerExit e = finish();
    EXPECT_TRUE(e.exited && e.code == 0);
    EXPECT_EQ(glimmer_run_stderr(process), "");
    expect_card_as_found();
}

INSTANTIATE_TEST_SUITE_P(Endings, Ends,
                         ::testing::Values(EndingCase{"quit", END_QUIT},
                                           EndingCase{"sigterm", END_SIGTERM},
                                           EndingCase{"sigint", END_SIGINT},
                                           EndingCase{"terminal_switch", END_TERMINAL_SWITCH}),
                         [](const auto &p) { return std::string(p.param.name); });

} // namespace
