// glimmer_output_open (fbdev) and glimmer_fbdev_close on emulated devices: which device,
// depth negotiation, double buffering, the pages, memory checks, the pixel
// layout and the rotation.
#include "app/command.h"
#include "fb_device.h"

#include <fcntl.h>

#include <cerrno>
#include <functional>
#include <tuple>

namespace {

// ---- which device -----------------------------------------------------------

struct PathCase {
    const char *name;
    int fbdev_number;
    int device;
};

void PrintTo(const PathCase &c, std::ostream *os)
{
    *os << c.name;
}

class DevicePath : public FbDeviceTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(DevicePath, OpensOnlyTheSelectedDevice)
{
    const PathCase &c = GetParam();
    for (int n = 0; n < 10; n++)
        configure(small_device(), n);
    const Captured o = open_fb(0, c.fbdev_number);
    ASSERT_NE(fb, nullptr) << o.err;
    for (int n = 0; n < 10; n++) {
        const std::vector<FbemuLogEntry> opens = log("open", n);
        if (n == c.device) {
            ASSERT_EQ(opens.size(), 1u);
            EXPECT_EQ(opens[0].value("path"), "/dev/fb" + std::to_string(n));
            EXPECT_EQ(opens[0].number("flags") & O_ACCMODE, O_RDWR);
        } else {
            EXPECT_TRUE(opens.empty()) << "fb" << n << " was opened";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Numbers, DevicePath,
                         ::testing::Values(PathCase{"zero", 0, 0}, PathCase{"one", 1, 1},
                                           PathCase{"seven", 7, 7}, PathCase{"nine", 9, 9},
                                           PathCase{"negative", -3, 0}, PathCase{"ten", 10, 0},
                                           PathCase{"large", 1234567, 0}),
                         [](const auto &p) { return std::string(p.param.name); });

TEST_F(FbDeviceTest, MissingDeviceIsReportedWithItsPath)
{
    configure(small_device(), 0);
    const Captured o = open_fb(0, 4);
    EXPECT_EQ(fb, nullptr);
    EXPECT_EQ(o.err, "Error opening /dev/fb4\nError opening /dev/dri/card4\n");
    EXPECT_EQ(o.out, "");
    EXPECT_TRUE(log("", 0).empty());
}

// ---- depth negotiation --------------------------------------------------------

const std::string E8 =
    "Error, no support currently for 8 bpp frame buffers\nTrying to change pixel format...\n";
const std::string FAIL32 = "Error, failed to switch to a 32 bpp 8,8,8 frame buffer\n";
const std::string FAIL16 = "Error, failed to switch to a 16 bpp 5,6,5 frame buffer\n";
const std::string SWITCHED32 = "Switched to a 32 bpp 8,8,8 frame buffer\n";
const std::string SWITCHED16 = "Switched to a 16 bpp 5,6,5 frame buffer\n";

struct DepthCase {
    const char *name;
    uint32_t bpp;                // what the device starts with
    std::vector<int> put_depths; // what it accepts
    bool keep_bitfields;
    int put_answer; // 0: answer normally, else return this value
    bool opens;
    std::string out, err;
    int record_bpp;
    FbPixelFormat format;
    // Every FBIOPUT_VSCREENINFO in order, as {bits_per_pixel, yres_virtual}:
    // a depth change asks for the second page with it where the display pans.
    std::vector<std::pair<long, long>> puts;
    std::function<void(FbemuConfig &)> setup = nullptr;
    bool double_buffered = true;
};

void PrintTo(const DepthCase &c, std::ostream *os)
{
    *os << c.name;
}

class DepthFallback : public FbDeviceTest, public ::testing::WithParamInterface<DepthCase> {};

TEST_P(DepthFallback, NegotiatesTheDepth)
{
    const DepthCase &c = GetParam();
    FbemuConfig cfg = small_device();
    cfg.bits_per_pixel = c.bpp;
    if (c.bpp == 16) {
        cfg.red = {11, 5};
        cfg.green = {5, 6};
        cfg.blue = {0, 5};
    } else if (c.bpp < 16) {
        cfg.red = cfg.green = cfg.blue = {0, c.bpp};
    }
    cfg.put_depths = c.put_depths;
    cfg.put_keep_bitfields = c.keep_bitfields;
    if (c.put_answer)
        cfg.answer(FBEMU_PUT_VAR, c.put_answer);
    if (c.setup)
        c.setup(cfg);
    configure(cfg);

    const Captured o = open_fb();
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.err, c.err);
    const std::vector<FbemuLogEntry> puts = log("FBIOPUT_VSCREENINFO");
    std::vector<std::pair<long, long>> asked;
    for (const FbemuLogEntry &p : puts)
        asked.emplace_back(p.number("bits_per_pixel"), p.number("yres_virtual"));
    EXPECT_EQ(asked, c.puts);
    if (c.bpp < 16) {
        // The first request: 32 bpp with red in the lowest byte, everything
        // else as the device reported it.
        ASSERT_GE(puts.size(), 1u);
        const FbemuLogEntry &p = puts[0];
        EXPECT_EQ(p.number("bits_per_pixel"), 32);
        EXPECT_EQ(p.value("red"), "0/8");
        EXPECT_EQ(p.value("green"), "8/8");
        EXPECT_EQ(p.value("blue"), "16/8");
        EXPECT_EQ(p.value("transp"), "0/0");
        EXPECT_EQ(p.number("xres"), 64);
        EXPECT_EQ(p.number("yres"), 48);
        EXPECT_EQ(p.number("xres_virtual"), 64);
        if (c.err.find(FAIL32) != std::string::npos) {
            // The first request for 16 bpp.
            size_t i = 0;
            while (i < puts.size() && puts[i].number("bits_per_pixel") != 16)
                i++;
            ASSERT_LT(i, puts.size());
            const FbemuLogEntry &q = puts[i];
            EXPECT_EQ(q.number("bits_per_pixel"), 16);
            EXPECT_EQ(q.value("red"), "11/5");
            EXPECT_EQ(q.value("green"), "5/6");
            EXPECT_EQ(q.value("blue"), "0/5");
            EXPECT_EQ(q.value("transp"), "0/0");
        }
    } else {
        for (const FbemuLogEntry &p : puts)
            EXPECT_EQ(p.number("bits_per_pixel"), (long)c.bpp) << p.line;
    }
    if (!c.opens) {
        EXPECT_EQ(fb, nullptr);
        expect_descriptor_closed();
        return;
    }
    ASSERT_NE(fb, nullptr);
    EXPECT_EQ(fb->bpp, c.record_bpp);
    EXPECT_EQ(fb->stride, 64 * c.record_bpp / 8);
    EXPECT_EQ(fb->format, c.format);
    EXPECT_EQ(state().bits_per_pixel, (uint32_t)c.record_bpp);
    EXPECT_EQ(fb->double_buffered, c.double_buffered);
}

INSTANTIATE_TEST_SUITE_P(
    Depths, DepthFallback,
    ::testing::Values(DepthCase{"accepts_32",
                                8,
                                {16, 24, 32},
                                false,
                                0,
                                true,
                                SWITCHED32 + "to back\n",
                                E8,
                                32,
                                FB_FORMAT_BGR888,
                                {{32, 96}}},
                      DepthCase{"refuses_32_accepts_16",
                                8,
                                {16, 24},
                                false,
                                0,
                                true,
                                SWITCHED16 + "to back\n",
                                E8 + FAIL32,
                                16,
                                FB_FORMAT_RGB565,
                                {{32, 96}, {32, 48}, {16, 96}}},
                      DepthCase{"refuses_both",
                                8,
                                {24},
                                false,
                                0,
                                false,
                                "",
                                E8 + FAIL32 + FAIL16,
                                0,
                                FB_FORMAT_GENERIC,
                                {{32, 96}, {32, 48}, {16, 96}, {16, 48}}},
                      // Only 0 counts as success for the depth requests.
                      DepthCase{"answers_one",
                                8,
                                {16, 24, 32},
                                false,
                                1,
                                false,
                                "",
                                E8 + FAIL32 + FAIL16,
                                0,
                                FB_FORMAT_GENERIC,
                                {{32, 96}, {32, 48}, {16, 96}, {16, 48}}},
                      // The record follows what the driver made of the request.
                      DepthCase{"driver_keeps_its_bitfields",
                                8,
                                {32},
                                true,
                                0,
                                true,
                                SWITCHED32 + "to back\n",
                                E8,
                                32,
                                FB_FORMAT_RGB888,
                                {{32, 96}}},
                      DepthCase{"fifteen_bits",
                                15,
                                {16, 32},
                                false,
                                0,
                                true,
                                SWITCHED32 + "to back\n",
                                "Error, no support currently for 15 bpp frame buffers\n"
                                "Trying to change pixel format...\n",
                                32,
                                FB_FORMAT_BGR888,
                                {{32, 96}}},
                      // Where the display does not pan, the depth is asked for alone.
                      DepthCase{"no_pan_depth_alone",
                                8,
                                {16, 24, 32},
                                false,
                                0,
                                true,
                                SWITCHED32,
                                E8 + "FBIOPAN_DISPLAY not supported, double buffering disabled\n",
                                32,
                                FB_FORMAT_BGR888,
                                {{32, 48}},
                                [](FbemuConfig &c) { c.refuse(FBEMU_PAN, EINVAL); },
                                false},
                      // The second page refused with the depth: the depth alone, then the
                      // second page on its own as on any device, refused again.
                      DepthCase{"second_page_refused_with_the_depth",
                                8,
                                {16, 24, 32},
                                false,
                                0,
                                true,
                                SWITCHED32,
                                E8 + "FBIOPUT_VSCREENINFO failed, double buffering disabled\n",
                                32,
                                FB_FORMAT_BGR888,
                                {{32, 96}, {32, 48}, {32, 96}},
                                [](FbemuConfig &c) { c.put_double = false; },
                                false},
                      DepthCase{"sixteen_bits_kept",
                                16,
                                {32},
                                false,
                                0,
                                true,
                                "to back\n",
                                "",
                                16,
                                FB_FORMAT_RGB565,
                                {{16, 96}}},
                      DepthCase{"twenty_four_bits_kept",
                                24,
                                {32},
                                false,
                                0,
                                true,
                                "to back\n",
                                "",
                                24,
                                FB_FORMAT_RGB888,
                                {{24, 96}}}),
    [](const auto &p) { return std::string(p.param.name); });

// ---- double buffering ---------------------------------------------------------

struct DoubleCase {
    const char *name;
    std::function<void(FbemuConfig &)> setup;
    bool double_buffered;
    std::string err;
    size_t puts; // FBIOPUT_VSCREENINFO requests made
};

void PrintTo(const DoubleCase &c, std::ostream *os)
{
    *os << c.name;
}

class DoubleBuffering : public FbDeviceTest, public ::testing::WithParamInterface<DoubleCase> {};

TEST_P(DoubleBuffering, DecidesOnTwoPages)
{
    const DoubleCase &c = GetParam();
    FbemuConfig cfg = small_device();
    c.setup(cfg);
    configure(cfg);
    const Captured o = open_fb();
    ASSERT_NE(fb, nullptr) << o.err;
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(log("FBIOPUT_VSCREENINFO").size(), c.puts);
    EXPECT_EQ(fb->double_buffered, c.double_buffered);
    EXPECT_EQ(dev->base, dev->mapping);
    if (c.double_buffered) {
        EXPECT_EQ(o.out, "to back\n");
        EXPECT_EQ(dev->var_info.yres_virtual, 96u);
        EXPECT_EQ(dev->var_info.xres, 64u);
        EXPECT_EQ(fb->shown_page, dev->base);
        EXPECT_EQ(fb->draw_page, dev->base + 64 * 4 * 48);
    } else {
        EXPECT_EQ(o.out, "");
        struct fb_var_screeninfo zero;
        memset(&zero, 0, sizeof zero);
        EXPECT_EQ(memcmp(&dev->var_info, &zero, sizeof zero), 0);
        EXPECT_EQ(fb->draw_page, dev->base);
        EXPECT_EQ(fb->shown_page, dev->base);
    }
    // The pan test asks for the position the display already has.
    const std::vector<FbemuLogEntry> pans = log("FBIOPAN_DISPLAY");
    ASSERT_FALSE(pans.empty());
    EXPECT_EQ(pans[0].number("yoffset"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, DoubleBuffering,
    ::testing::Values(
        DoubleCase{"already_on", [](FbemuConfig &c) { c.yres_virtual = 96; }, true, "", 0},
        DoubleCase{"switched_on", [](FbemuConfig &) {}, true, "", 1},
        DoubleCase{"three_pages_high_asks_for_two", [](FbemuConfig &c) { c.yres_virtual = 144; },
                   true, "", 1},
        // Only -1 counts as a refusal of the virtual height.
        DoubleCase{"virtual_height_answer_one", [](FbemuConfig &c) { c.answer(FBEMU_PUT_VAR, 1); },
                   true, "", 1},
        DoubleCase{"pan_refused", [](FbemuConfig &c) { c.refuse(FBEMU_PAN, EINVAL); }, false,
                   "FBIOPAN_DISPLAY not supported, double buffering disabled\n", 0},
        DoubleCase{"pan_refused_though_two_pages",
                   [](FbemuConfig &c) {
                       c.yres_virtual = 96;
                       c.refuse(FBEMU_PAN, ENOTTY);
                   },
                   false, "FBIOPAN_DISPLAY not supported, double buffering disabled\n", 0},
        DoubleCase{"virtual_height_refused", [](FbemuConfig &c) { c.put_double = false; }, false,
                   "FBIOPUT_VSCREENINFO failed, double buffering disabled\n", 1},
        // Success without the second page: nothing to pan to.
        DoubleCase{"virtual_height_kept", [](FbemuConfig &c) { c.put_unchecked = true; }, false,
                   "FBIOPUT_VSCREENINFO failed, double buffering disabled\n", 1}),
    [](const auto &p) { return std::string(p.param.name); });

// ---- the first picture before the second page --------------------------------

struct FirstPictureCase {
    const char *name;
    std::function<void(FbemuConfig &)> setup;
    // Every FBIOPUT_VSCREENINFO as {bits_per_pixel, yres_virtual, whether the
    // screen already showed the finished scene when it was made}.
    std::vector<std::tuple<long, long, bool>> puts;
    bool double_buffered;
};

void PrintTo(const FirstPictureCase &c, std::ostream *os)
{
    *os << c.name;
}

class FirstPicture : public FbDeviceTest, public ::testing::WithParamInterface<FirstPictureCase> {};

TEST_P(FirstPicture, ShownBeforeTheSecondPageIsAskedFor)
{
    const FirstPictureCase &c = GetParam();
    FbemuConfig cfg = small_device();
    c.setup(cfg);
    configure(cfg);
    bool shown = false;
    const Captured o = captured([&] {
        const OutputOptions options = {0, FB_ROTATE_0, true, false};
        dev = (FbdevOutput *)glimmer_output_open(&options);
        fb = dev ? &dev->head : nullptr;
        shown = dev && glimmer_command_draw_initial_scene(&dev->output);
    });
    ASSERT_TRUE(shown) << o.err;
    EXPECT_EQ(fb->double_buffered, c.double_buffered);

    const FbemuDevice s = state();
    // What glimmer takes for the page on display is the one the device shows.
    EXPECT_EQ(fb->shown_page - dev->base, (ptrdiff_t)s.line_length * s.yoffset);
    std::vector<uint8_t> memory;
    ASSERT_TRUE(glimmer_fbemu_read_memory(dir.path, 0, &memory));
    const size_t page = (size_t)s.line_length * s.yres;
    const uint8_t *on_display = memory.data() + fbemu_page_offset(&s) + s.line_length * s.yoffset;
    const uint32_t scene = glimmer_fbemu_crc32(on_display, page);
    // Both pages hold the scene once the start is over.
    if (c.double_buffered) {
        const uint8_t *other = memory.data() + fbemu_page_offset(&s) + (s.yoffset ? 0 : page);
        EXPECT_EQ(glimmer_fbemu_crc32(other, page), scene);
    }

    char hex[9];
    snprintf(hex, sizeof hex, "%08x", scene);
    std::vector<std::tuple<long, long, bool>> asked;
    for (const FbemuLogEntry &p : log("FBIOPUT_VSCREENINFO")) {
        asked.emplace_back(p.number("bits_per_pixel"), p.number("yres_virtual"),
                           p.value("shown") == hex);
    }
    EXPECT_EQ(asked, c.puts);
}

INSTANTIATE_TEST_SUITE_P(
    Order, FirstPicture,
    ::testing::Values(
        FirstPictureCase{
            "second_page_after_the_picture", [](FbemuConfig &) {}, {{32, 96, true}}, true},
        FirstPictureCase{
            "two_pages_already", [](FbemuConfig &c) { c.yres_virtual = 96; }, {}, true},
        FirstPictureCase{"refused_after_the_picture",
                         [](FbemuConfig &c) { c.put_double = false; },
                         {{32, 96, true}},
                         false},
        // A depth change comes before drawing, with the second page in the
        // same request; refused together, they are asked for apart.
        FirstPictureCase{"depth_with_the_second_page",
                         [](FbemuConfig &c) {
                             c.bits_per_pixel = 8;
                             c.red = c.green = c.blue = {0, 8};
                         },
                         {{32, 96, false}},
                         true},
        FirstPictureCase{"depth_then_the_second_page_after_the_picture",
                         [](FbemuConfig &c) {
                             c.bits_per_pixel = 8;
                             c.red = c.green = c.blue = {0, 8};
                             c.refuse_nth(FBEMU_PUT_VAR, 1, EINVAL);
                         },
                         {{32, 96, false}, {32, 48, false}, {32, 96, true}},
                         true},
        // Panned away from the first page: asked for first, as the display
        // will be moved anyway.
        FirstPictureCase{"panned_elsewhere",
                         [](FbemuConfig &c) {
                             c.yres_virtual = 144;
                             c.yoffset = 48;
                         },
                         {{32, 96, false}},
                         true},
        FirstPictureCase{"refused_while_panned_elsewhere",
                         [](FbemuConfig &c) {
                             c.yres_virtual = 144;
                             c.yoffset = 48;
                             c.put_double = false;
                         },
                         {{32, 96, false}},
                         false},
        FirstPictureCase{"kept_one_page_after_the_picture",
                         [](FbemuConfig &c) { c.put_unchecked = true; },
                         {{32, 96, true}},
                         false}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(FbDeviceTest, VirtualHeightRequestKeepsTheReadValues)
{
    configure(small_device());
    open_fb();
    ASSERT_NE(fb, nullptr);
    const std::vector<FbemuLogEntry> puts = log("FBIOPUT_VSCREENINFO");
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0].number("yres_virtual"), 96);
    EXPECT_EQ(puts[0].number("bits_per_pixel"), 32);
    EXPECT_EQ(puts[0].value("red"), "16/8");
    EXPECT_EQ(state().yres_virtual, 96u);
    // The fixed information is read again after the request.
    EXPECT_EQ(log("FBIOGET_FSCREENINFO").size(), 2u);
}

// ---- which page is drawn ------------------------------------------------------

struct PageCase {
    const char *name;
    uint32_t yoffset;
    std::string out;
    bool draws_first_page;
};

void PrintTo(const PageCase &c, std::ostream *os)
{
    *os << c.name;
}

class StartPage : public FbDeviceTest, public ::testing::WithParamInterface<PageCase> {};

TEST_P(StartPage, DrawsIntoTheHiddenPage)
{
    const PageCase &c = GetParam();
    FbemuConfig cfg = small_device();
    cfg.yres_virtual = 96;
    cfg.yoffset = c.yoffset;
    configure(cfg);
    const Captured o = open_fb();
    ASSERT_NE(fb, nullptr) << o.err;
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(dev->var_info.yoffset, c.yoffset);
    uint8_t *const first = dev->base, *const second = dev->base + 64 * 4 * 48;
    EXPECT_EQ(fb->draw_page, c.draws_first_page ? first : second);
    EXPECT_EQ(fb->shown_page, c.draws_first_page ? second : first);

    // What is drawn lands in the device memory of the drawing page only.
    glimmer_fb_fill_rect(fb, 0, 0, 64, 48, 255, 24, 0);
    std::vector<uint8_t> memory;
    ASSERT_TRUE(glimmer_fbemu_read_memory(dir.path, 0, &memory));
    const FbemuDevice s = state();
    uint32_t drawn = 0, other = 0;
    for (uint32_t line = 0; line < 48; line++) {
        ASSERT_TRUE(
            glimmer_fbemu_pixel_value(s, memory, 63, line + (c.draws_first_page ? 0 : 48), &drawn));
        ASSERT_TRUE(
            glimmer_fbemu_pixel_value(s, memory, 63, line + (c.draws_first_page ? 48 : 0), &other));
        EXPECT_EQ(drawn, 0x00FF1800u);
        EXPECT_EQ(other, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Offsets, StartPage,
                         ::testing::Values(PageCase{"first_shown", 0, "to back\n", false},
                                           PageCase{"second_shown", 48, "to front\n", true},
                                           PageCase{"odd_offset", 5, "to front\n", true}),
                         [](const auto &p) { return std::string(p.param.name); });

TEST_F(FbDeviceTest, UnalignedMemoryStartShiftsTheFirstPixel)
{
    const uint32_t page = (uint32_t)getpagesize();
    FbemuConfig cfg = small_device();
    cfg.smem_start = 5 * page + 100;
    configure(cfg);
    open_fb();
    ASSERT_NE(fb, nullptr);
    EXPECT_EQ(dev->base, dev->mapping + 100);
    EXPECT_EQ(fb->shown_page, dev->base);
    EXPECT_EQ(fb->draw_page, dev->base + 64 * 4 * 48);

    glimmer_fb_put_pixel(fb, 0, 0, 1, 2, 3);
    std::vector<uint8_t> memory;
    ASSERT_TRUE(glimmer_fbemu_read_memory(dir.path, 0, &memory));
    const size_t at = 100 + 64 * 4 * 48;
    ASSERT_GT(memory.size(), at + 4);
    EXPECT_EQ(memory[at], 3);
    EXPECT_EQ(memory[at + 1], 2);
    EXPECT_EQ(memory[at + 2], 1);
    EXPECT_EQ(memory[at - 1], 0);
}

// ---- failures that end the set-up ----------------------------------------------

struct FatalCase {
    const char *name;
    std::function<void(FbemuConfig &)> setup;
    std::string err;
};

void PrintTo(const FatalCase &c, std::ostream *os)
{
    *os << c.name;
}

class FatalStep : public FbDeviceTest, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(FatalStep, ReportsAndReleasesTheDevice)
{
    const FatalCase &c = GetParam();
    FbemuConfig cfg = small_device();
    c.setup(cfg);
    configure(cfg);
    const Captured o = open_fb();
    EXPECT_EQ(fb, nullptr);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.out, "");
    expect_descriptor_closed();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FatalStep,
    ::testing::Values(
        FatalCase{"first_variable_read", [](FbemuConfig &c) { c.refuse(FBEMU_GET_VAR, EIO); },
                  error_style("Error getting variable framebuffer info", EIO)},
        FatalCase{"second_variable_read",
                  [](FbemuConfig &c) { c.refuse_nth(FBEMU_GET_VAR, 2, ENODEV); },
                  error_style("Error getting variable framebuffer info (2)", ENODEV)},
        FatalCase{"fixed_read", [](FbemuConfig &c) { c.refuse(FBEMU_GET_FIX, EINVAL); },
                  error_style("Error getting fixed framebuffer info", EINVAL)},
        FatalCase{"fixed_reread", [](FbemuConfig &c) { c.refuse_nth(FBEMU_GET_FIX, 2, EIO); },
                  error_style(" Error getting the fixed framebuffer info", EIO)},
        FatalCase{"mapping", [](FbemuConfig &c) { c.mappable = false; },
                  error_style("Error cannot mmap framebuffer ", ENODEV)},
        // The memory must hold every line of a page; the last needs no padding.
        FatalCase{"memory_below_one_page",
                  [](FbemuConfig &c) {
                      c.yres_virtual = 96;
                      c.line_length = 300;
                      c.smem_len = 300 * 47 + 256 - 1;
                  },
                  "Error framebuffer memory of 14355 bytes is too small for 64x48 pixels\n"},
        FatalCase{"memory_below_one_page_after_offset",
                  [](FbemuConfig &c) {
                      c.yres_virtual = 96;
                      c.smem_start = 4096 + 16;
                      c.smem_len = 16 + 256 * 48 - 1;
                  },
                  "Error framebuffer memory of 12303 bytes is too small for 64x48 pixels\n"},
        FatalCase{"line_shorter_than_a_row",
                  [](FbemuConfig &c) {
                      c.yres_virtual = 96;
                      c.line_length = 255;
                  },
                  "Error line length of 255 bytes is shorter than a row of 64 pixels\n"},
        FatalCase{"line_shorter_than_a_row_at_24_bits",
                  [](FbemuConfig &c) {
                      c.bits_per_pixel = 24;
                      c.yres_virtual = 96;
                      c.line_length = 191;
                  },
                  "Error line length of 191 bytes is shorter than a row of 64 pixels\n"}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(FbDeviceTest, OnePageThatJustFitsOpensSingleBuffered)
{
    FbemuConfig cfg = small_device();
    cfg.yres_virtual = 96;
    cfg.line_length = 300;
    cfg.smem_len = 300 * 47 + 256; // the last line needs no padding
    configure(cfg);
    const Captured o = open_fb();
    ASSERT_NE(fb, nullptr) << o.err;
    EXPECT_EQ(o.err, "Framebuffer memory too small for two pages, double buffering disabled\n");
    EXPECT_EQ(o.out, "");
    EXPECT_FALSE(fb->double_buffered);
    EXPECT_EQ(fb->stride, 300);
    EXPECT_EQ(fb->draw_page, dev->base);
    glimmer_fb_put_pixel(fb, 63, 47, 255, 255, 255);
    EXPECT_EQ(dev->base[300 * 47 + 63 * 4], 255);
}

struct MemoryCase {
    const char *name;
    uint32_t smem_len;
    uint32_t yoffset;
    bool double_buffered;
    uint32_t smem_start;
};

void PrintTo(const MemoryCase &c, std::ostream *os)
{
    *os << c.name;
}

class TwoPageMemory : public FbDeviceTest, public ::testing::WithParamInterface<MemoryCase> {};

TEST_P(TwoPageMemory, NeedsRoomForBothPages)
{
    const MemoryCase &c = GetParam();
    FbemuConfig cfg = small_device();
    cfg.yres_virtual = 96;
    cfg.yoffset = c.yoffset;
    cfg.smem_len = c.smem_len;
    cfg.smem_start = c.smem_start;
    configure(cfg);
    const Captured o = open_fb();
    ASSERT_NE(fb, nullptr) << o.err;
    EXPECT_EQ(fb->double_buffered, c.double_buffered);
    if (c.double_buffered) {
        EXPECT_EQ(o.err, "");
        return;
    }
    EXPECT_EQ(o.err, "Framebuffer memory too small for two pages, double buffering disabled\n");
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(fb->draw_page, dev->base);
    EXPECT_EQ(fb->shown_page, dev->base);
    // The page that is drawn must be the one on display.
    EXPECT_EQ(state().yoffset, 0u);
    if (c.yoffset != 0) {
        const std::vector<FbemuLogEntry> pans = log("FBIOPAN_DISPLAY");
        ASSERT_EQ(pans.size(), 2u);
        EXPECT_EQ(pans[1].number("yoffset"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, TwoPageMemory,
    ::testing::Values(
        MemoryCase{"exactly_two_pages", 2 * 256 * 48, 0, true, 0},
        MemoryCase{"one_byte_short", 2 * 256 * 48 - 1, 0, false, 0},
        MemoryCase{"one_byte_short_second_page_shown", 2 * 256 * 48 - 1, 48, false, 0},
        MemoryCase{"one_page", 256 * 48, 0, false, 0},
        // The pages start at smem_start's offset into its memory page.
        MemoryCase{"exactly_two_pages_after_offset", 40 + 2 * 256 * 48, 0, true, 4096 + 40},
        MemoryCase{"short_by_the_offset", 2 * 256 * 48, 0, false, 4096 + 40}),
    [](const auto &p) { return std::string(p.param.name); });

// ---- pixel layout ----------------------------------------------------------------

struct LayoutCase {
    const char *name;
    uint32_t bpp;
    FbemuField red, green, blue, transp;
    FbPixelFormat format;
};

void PrintTo(const LayoutCase &c, std::ostream *os)
{
    *os << c.name;
}

class Layout : public FbDeviceTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(Layout, IsClassifiedByTheChannels)
{
    const LayoutCase &c = GetParam();
    FbemuConfig cfg = small_device();
    cfg.bits_per_pixel = c.bpp;
    cfg.red = c.red;
    cfg.green = c.green;
    cfg.blue = c.blue;
    cfg.transp = c.transp;
    configure(cfg);
    const Captured o = open_fb();
    ASSERT_NE(fb, nullptr) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(fb->format, c.format);
    EXPECT_EQ(fb->bpp, (int)c.bpp);
    EXPECT_EQ(fb->stride, (int)(64 * c.bpp / 8));
    EXPECT_EQ(fb->red_offset, c.red.offset);
    EXPECT_EQ(fb->red_length, c.red.length);
    EXPECT_EQ(fb->green_offset, c.green.offset);
    EXPECT_EQ(fb->green_length, c.green.length);
    EXPECT_EQ(fb->blue_offset, c.blue.offset);
    EXPECT_EQ(fb->blue_length, c.blue.length);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Layout,
    ::testing::Values(
        LayoutCase{"rgb565", 16, {11, 5}, {5, 6}, {0, 5}, {0, 0}, FB_FORMAT_RGB565},
        LayoutCase{"bgr565", 16, {0, 5}, {5, 6}, {11, 5}, {0, 0}, FB_FORMAT_BGR565},
        LayoutCase{"rgb555", 16, {10, 5}, {5, 5}, {0, 5}, {15, 1}, FB_FORMAT_GENERIC},
        LayoutCase{"rgb565_short_blue", 16, {11, 5}, {5, 6}, {0, 4}, {0, 0}, FB_FORMAT_GENERIC},
        LayoutCase{"rgb444", 16, {8, 4}, {4, 4}, {0, 4}, {0, 0}, FB_FORMAT_GENERIC},
        LayoutCase{"rgb888_24", 24, {16, 8}, {8, 8}, {0, 8}, {0, 0}, FB_FORMAT_RGB888},
        LayoutCase{"bgr888_24", 24, {0, 8}, {8, 8}, {16, 8}, {0, 0}, FB_FORMAT_BGR888},
        LayoutCase{"rgb888_32", 32, {16, 8}, {8, 8}, {0, 8}, {0, 0}, FB_FORMAT_RGB888},
        LayoutCase{"argb8888", 32, {16, 8}, {8, 8}, {0, 8}, {24, 8}, FB_FORMAT_RGB888},
        LayoutCase{"abgr8888", 32, {0, 8}, {8, 8}, {16, 8}, {24, 8}, FB_FORMAT_BGR888},
        LayoutCase{"rgbx_high", 32, {24, 8}, {16, 8}, {8, 8}, {0, 0}, FB_FORMAT_GENERIC},
        LayoutCase{"bgr_green_moved", 32, {0, 8}, {16, 8}, {8, 8}, {0, 0}, FB_FORMAT_GENERIC},
        LayoutCase{"ten_bits", 32, {20, 10}, {10, 10}, {0, 10}, {30, 2}, FB_FORMAT_GENERIC}),
    [](const auto &p) { return std::string(p.param.name); });

// ---- rotation ------------------------------------------------------------------------

struct AngleCase {
    int angle;
    FbRotation rotation;
    int width, height;
};

void PrintTo(const AngleCase &c, std::ostream *os)
{
    *os << c.angle;
}

class Rotation : public FbDeviceTest, public ::testing::WithParamInterface<AngleCase> {};

TEST_P(Rotation, SwapsTheLogicalSizeForQuarterTurns)
{
    const AngleCase &c = GetParam();
    FbemuConfig cfg = small_device();
    configure(cfg);
    open_fb(c.angle);
    ASSERT_NE(fb, nullptr);
    EXPECT_EQ(fb->rotation, c.rotation);
    EXPECT_EQ(fb->width, c.width);
    EXPECT_EQ(fb->height, c.height);
    EXPECT_EQ(fb->real_width, 64);
    EXPECT_EQ(fb->real_height, 48);
}

INSTANTIATE_TEST_SUITE_P(
    Angles, Rotation,
    ::testing::Values(AngleCase{0, FB_ROTATE_0, 64, 48}, AngleCase{90, FB_ROTATE_90, 48, 64},
                      AngleCase{180, FB_ROTATE_180, 64, 48}, AngleCase{270, FB_ROTATE_270, 48, 64},
                      AngleCase{45, FB_ROTATE_0, 64, 48}, AngleCase{-90, FB_ROTATE_0, 64, 48},
                      AngleCase{450, FB_ROTATE_0, 64, 48}),
    [](const auto &p) {
        return (p.param.angle < 0 ? "minus_" : "") + std::to_string(std::abs(p.param.angle));
    });

// ---- teardown ------------------------------------------------------------------------

TEST_F(FbDeviceTest, CloseReleasesTheDescriptorButKeepsTheMapping)
{
    configure(small_device());
    open_fb();
    ASSERT_NE(fb, nullptr);
    const int fd = dev->fd;
    uint8_t *const page = fb->draw_page;
    uint8_t *const mapping = dev->mapping;
    const size_t size = dev->mapping_size;
    glimmer_fbdev_close(&dev->output);
    dev = nullptr;
    fb = nullptr;
    expect_descriptor_closed();
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    page[0] = 0x5A; // still mapped: no fault
    std::vector<uint8_t> memory;
    ASSERT_TRUE(glimmer_fbemu_read_memory(dir.path, 0, &memory));
    EXPECT_EQ(memory[(size_t)(page - mapping)], 0x5A);
    munmap(mapping, size);
}

} // namespace
