// glimmer_fbdev_flip on emulated devices: vertical sync, panning, the page
// exchange and the copies that keep the two pages in step.
#include "fb_device.h"

#include <cerrno>
#include <functional>

namespace {

const size_t PAGE = 64 * 4 * 48; // bytes of one page of the small device

class Flip : public FbDeviceTest {
  protected:
    // Opens the small device with two pages; yoffset as given.
    void open_double(uint32_t yoffset = 0, int angle = 0,
                     const std::function<void(FbemuConfig &)> &setup = nullptr)
    {
        FbemuConfig cfg = small_device();
        cfg.yres_virtual = 96;
        cfg.yoffset = yoffset;
        if (setup)
            setup(cfg);
        configure(cfg);
        const Captured o = open_fb(angle);
        ASSERT_NE(fb, nullptr) << o.err;
        ASSERT_TRUE(fb->double_buffered) << o.err;
    }

    uint8_t *first_page() const { return dev->base; }
    uint8_t *second_page() const { return dev->base + PAGE; }

    size_t requests() // log lines so far
    {
        return log().size();
    }
};

TEST_F(Flip, SingleBufferingDoesNothing)
{
    for (int sync = 0; sync <= 1; sync++) {
        SCOPED_TRACE(sync);
        FbemuConfig cfg = small_device();
        cfg.refuse(FBEMU_PAN, EINVAL);
        configure(cfg);
        open_fb();
        ASSERT_NE(fb, nullptr);
        ASSERT_FALSE(fb->double_buffered);
        glimmer_fb_fill_rect(fb, 2, 3, 10, 5, 255, 255, 255);
        const std::vector<uint8_t> before(dev->mapping, dev->mapping + dev->mapping_size);
        const size_t logged = requests();
        const Captured o = flip(sync);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(requests(), logged);
        EXPECT_EQ(fb->draw_page, dev->base);
        EXPECT_EQ(fb->shown_page, dev->base);
        EXPECT_EQ(dev->var_info.yoffset, 0u);
        EXPECT_EQ(memcmp(before.data(), dev->mapping, before.size()), 0);
        close_fb();
        // A fresh device for the next round.
        unlink((dir.path + "/fb0.state").c_str());
        unlink((dir.path + "/fb0.log").c_str());
    }
}

// Closing leaves the first page on display, where the text console draws.
struct CloseCase {
    const char *name;
    uint32_t start_yoffset;
    int flips;
    bool pans_back;
};

class CloseShowsFirstPage : public Flip, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseShowsFirstPage, PansBackOnlyFromTheSecond)
{
    const CloseCase c = GetParam();
    open_double(c.start_yoffset);
    for (int i = 0; i < c.flips; i++)
        flip(0);
    const size_t pans = log("FBIOPAN_DISPLAY").size();
    close_fb();
    const std::vector<FbemuLogEntry> after = log("FBIOPAN_DISPLAY");
    ASSERT_EQ(after.size(), pans + (c.pans_back ? 1 : 0));
    if (c.pans_back) {
        EXPECT_EQ(after.back().number("yoffset"), 0);
        // The pan comes before the descriptor is closed.
        const std::vector<FbemuLogEntry> all = log();
        ASSERT_GE(all.size(), 2u);
        EXPECT_EQ(all[all.size() - 2].name, "FBIOPAN_DISPLAY");
    }
    EXPECT_EQ(state().yoffset, 0u);
    expect_descriptor_closed();
}

INSTANTIATE_TEST_SUITE_P(Pages, CloseShowsFirstPage,
                         ::testing::Values(CloseCase{"second_after_one_flip", 0, 1, true},
                                           CloseCase{"first_after_two_flips", 0, 2, false},
                                           CloseCase{"second_as_found", 48, 0, true},
                                           CloseCase{"first_after_flip_from_second", 48, 1, false},
                                           CloseCase{"odd_offset_as_found", 5, 0, true}),
                         [](const ::testing::TestParamInfo<CloseCase> &i) {
                             return std::string(i.param.name);
                         });

TEST_F(Flip, PansBetweenThePagesFromTheFirst)
{
    open_double(0);
    const size_t logged = requests();
    const Captured o = flip(0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    std::vector<FbemuLogEntry> all = log();
    ASSERT_EQ(all.size(), logged + 2);
    EXPECT_EQ(all[logged].name, "FBIO_WAITFORVSYNC");
    EXPECT_EQ(all[logged].number("display"), 0);
    EXPECT_EQ(all[logged + 1].name, "FBIOPAN_DISPLAY");
    EXPECT_EQ(all[logged + 1].number("yoffset"), 48);
    EXPECT_EQ(all[logged + 1].number("xoffset"), 0);
    EXPECT_EQ(state().yoffset, 48u);
    EXPECT_EQ(dev->var_info.yoffset, 48u);
    EXPECT_EQ(fb->shown_page, second_page());
    EXPECT_EQ(fb->draw_page, first_page());

    flip(0);
    all = log("FBIOPAN_DISPLAY");
    EXPECT_EQ(all.back().number("yoffset"), 0);
    EXPECT_EQ(state().yoffset, 0u);
    EXPECT_EQ(fb->shown_page, first_page());
    EXPECT_EQ(fb->draw_page, second_page());
    EXPECT_EQ(state().vsyncs, 2u);
    EXPECT_EQ(state().flips, 2u);
}

TEST_F(Flip, FromSecondPageAtAnyOffsetPansToTheFirst)
{
    open_double(7);
    EXPECT_EQ(fb->draw_page, first_page());
    flip(0);
    EXPECT_EQ(log("FBIOPAN_DISPLAY").back().number("yoffset"), 0);
    EXPECT_EQ(state().yoffset, 0u);
    EXPECT_EQ(fb->shown_page, first_page());
    EXPECT_EQ(fb->draw_page, second_page());
    flip(0);
    EXPECT_EQ(state().yoffset, 48u);
}

struct VsyncCase {
    const char *name;
    std::function<void(FbemuConfig &)> setup;
    std::string err;
};

void PrintTo(const VsyncCase &c, std::ostream *os)
{
    *os << c.name;
}

class FlipVsync : public Flip, public ::testing::WithParamInterface<VsyncCase> {};

TEST_P(FlipVsync, ReportsAndStillPans)
{
    const VsyncCase &c = GetParam();
    open_double(0, 0, c.setup);
    for (int round = 0; round < 2; round++) {
        const Captured o = flip(0);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.out, "");
    }
    EXPECT_EQ(state().yoffset, 0u);
    EXPECT_EQ(state().flips, 2u);
    EXPECT_EQ(fb->draw_page, second_page());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FlipVsync,
    ::testing::Values(VsyncCase{"refused", [](FbemuConfig &c) { c.refuse(FBEMU_VSYNC, ENOTTY); },
                                "Error, FB vsync ioctl [-1]\n"},
                      VsyncCase{"positive", [](FbemuConfig &c) { c.answer(FBEMU_VSYNC, 3); },
                                "Error, FB vsync ioctl [3]\n"},
                      VsyncCase{"accepted", [](FbemuConfig &) {}, ""}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(Flip, RefusedPanIsReportedAndThePagesExchangedAnyway)
{
    // The first pan is set-up's test; the second is the flip's.
    open_double(0, 0, [](FbemuConfig &c) { c.refuse_nth(FBEMU_PAN, 2, EINVAL); });
    const Captured o = flip(0);
    EXPECT_EQ(o.err, "glimmer_fb_flip: FBIOPAN_DISPLAY failed\n");
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(state().yoffset, 0u); // the display did not move
    EXPECT_EQ(dev->var_info.yoffset, 48u);
    EXPECT_EQ(fb->draw_page, first_page());
    EXPECT_EQ(fb->shown_page, second_page());
    // The next flip pans back and succeeds.
    const Captured again = flip(0);
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(log("FBIOPAN_DISPLAY").back().number("yoffset"), 0);
}

TEST_F(Flip, SyncMakesBothPagesEqual)
{
    open_double(0);
    glimmer_fb_fill_rect(fb, 0, 0, 64, 48, 10, 20, 30);
    glimmer_fb_fill_rect(fb, 5, 6, 7, 8, 200, 100, 50);
    const std::vector<uint8_t> drawn(fb->draw_page, fb->draw_page + PAGE);
    flip(1);
    EXPECT_EQ(memcmp(first_page(), drawn.data(), PAGE), 0);
    EXPECT_EQ(memcmp(second_page(), drawn.data(), PAGE), 0);
    // Through the device memory too: the page on display holds the picture.
    FbemuImage shown;
    ASSERT_TRUE(glimmer_fbemu_decode_shown(dir.path, 0, &shown));
    EXPECT_EQ(shown.at(0, 0), (FbemuRgb{10, 20, 30}));
    EXPECT_EQ(shown.at(5, 6), (FbemuRgb{200, 100, 50}));
    EXPECT_EQ(shown.at(11, 13), (FbemuRgb{200, 100, 50}));
    EXPECT_EQ(shown.at(12, 13), (FbemuRgb{10, 20, 30}));
}

// What is drawn between two flips reaches both pages; the rest of the new
// drawing page is left as it was.
struct StepCase {
    const char *name;
    int angle;
    uint32_t yoffset;
};

void PrintTo(const StepCase &c, std::ostream *os)
{
    *os << c.name;
}

class FlipInStep : public Flip, public ::testing::WithParamInterface<StepCase> {};

TEST_P(FlipInStep, CopiesOnlyWhatWasDrawn)
{
    const StepCase &c = GetParam();
    open_double(c.yoffset, c.angle);
    glimmer_fb_fill_rect(fb, 0, 0, fb->width, fb->height, 255, 255, 255);
    flip(1);
    // A mark in the page that becomes the drawing page, outside the rectangle:
    // a copy of the whole page would wipe it.
    uint8_t *const next_draw = fb->shown_page;
    const size_t mark = 4 * 63 + 64 * 4 * 47; // device pixel (63, 47)
    next_draw[mark] = 0x11;
    glimmer_fb_fill_rect(fb, 3, 4, 5, 6, 0, 0, 255);
    const std::vector<uint8_t> drawn(fb->draw_page, fb->draw_page + PAGE);
    const Captured o = flip(0);
    EXPECT_EQ(o.err, "");
    ASSERT_EQ(fb->draw_page, next_draw);
    std::vector<uint8_t> expected = drawn;
    expected[mark] = 0x11;
    EXPECT_EQ(memcmp(fb->draw_page, expected.data(), PAGE), 0);
    EXPECT_EQ(memcmp(fb->shown_page, drawn.data(), PAGE), 0);

    // A flip with nothing drawn copies nothing.
    next_draw[mark] = 0x11;
    uint8_t *const other = fb->shown_page;
    other[mark] = 0x22;
    flip(0);
    EXPECT_EQ(fb->draw_page[mark], 0x22);
    EXPECT_EQ(fb->shown_page[mark], 0x11);
}

INSTANTIATE_TEST_SUITE_P(Rotations, FlipInStep,
                         ::testing::Values(StepCase{"upright", 0, 0}, StepCase{"front", 0, 48},
                                           StepCase{"quarter", 90, 0}, StepCase{"half", 180, 0},
                                           StepCase{"three_quarters", 270, 48}),
                         [](const auto &p) { return std::string(p.param.name); });

TEST_F(Flip, RotationPansAndCopiesByTheDeviceHeight)
{
    // Memory for three pages, the third poisoned: a copy sized by the
    // logical height (64 lines) would run into it.
    open_double(0, 90, [](FbemuConfig &c) { c.smem_len = 3 * PAGE; });
    ASSERT_EQ(fb->height, 64);
    memset(dev->base + 2 * PAGE, 0xEE, PAGE);
    glimmer_fb_fill_rect(fb, 0, 0, fb->width, fb->height, 1, 2, 3);
    flip(1);
    EXPECT_EQ(log("FBIOPAN_DISPLAY").back().number("yoffset"), 48);
    EXPECT_EQ(state().yoffset, 48u);
    EXPECT_EQ(memcmp(first_page(), second_page(), PAGE), 0);
    for (size_t i = 0; i < PAGE; i++)
        ASSERT_EQ(dev->base[2 * PAGE + i], 0xEE) << "byte " << i << " of the third page";
    flip(1);
    EXPECT_EQ(state().yoffset, 0u);
}

} // namespace
