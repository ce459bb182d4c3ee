// The screen layout, checked as pixels: where the picture, the bar frame, the
// bar interior and the message band land for several screen sizes, every
// rotation and every scale, and how far the bar fills for a value. Expected
// places follow from the screen's size, the pictures' own sizes and the
// theme, so that any built-in picture and theme pass.
#include "app/layout.h"

#include "assets/assets.h"
#include "assets/theme.h"
#include "fb/memfb.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb &o) const { return r == o.r && g == o.g && b == o.b; }
};

Rgb rgb(const ThemeColour &c)
{
    return {c.r, c.g, c.b};
}

const Rgb BACKGROUND = rgb(THEME_BACKGROUND), FILLED = rgb(THEME_BAR_FILL),
          EMPTY = rgb(THEME_BAR_EMPTY), OUTLINE = rgb(THEME_FRAME_OUTLINE),
          INK = rgb(THEME_TEXT_COLOUR);
const int INSET = 4; // the frame's outline around the bar's interior

// Reads logical pixel (x, y) of a 32-bit RGB888 screen.
Rgb at(const MemFb &m, int x, int y)
{
    Framebuffer probe = m.fb;
    const long B = 4, S = probe.stride, W = probe.width, H = probe.height;
    long off = S * y + B * x;
    if (probe.rotation == FB_ROTATE_90)
        off = S * (W - 1 - x) + B * y;
    else if (probe.rotation == FB_ROTATE_180)
        off = S * (H - 1 - y) + B * (W - 1 - x);
    else if (probe.rotation == FB_ROTATE_270)
        off = S * x + B * (H - 1 - y);
    const uint8_t *p = m.fb.draw_page + off;
    return {p[2], p[1], p[0]};
}

MemFb *screen(int W, int H, int angle)
{
    const bool swap = angle == 90 || angle == 270;
    return new MemFb(swap ? H : W, swap ? W : H, 32, FB_FORMAT_RGB888, angle, 0);
}

// The places that the screen size, the pictures, the theme and the scale give.
struct Places {
    int scale;
    int picture_x, picture_y;
    int bar_x, bar_y, frame_w, frame_h; // the frame as drawn, scaled
    int inner_x, inner_y, inner_w, inner_h;
};

Places places(int W, int H, int setting)
{
    Places p;
    p.scale = setting;
    if (setting == LAYOUT_SCALE_AUTO)
        p.scale = std::max(1, std::min(W / 800, H / 480));
    const long above = (long)H * THEME_BAR_POSITION_NUM / THEME_BAR_POSITION_DEN;
    p.picture_x = (W - splash_image.width) / 2;
    p.picture_y = (int)(above - splash_image.height) / 2;
    p.frame_w = bar_frame_image.width * p.scale;
    p.frame_h = bar_frame_image.height * p.scale;
    p.bar_x = (W - p.frame_w) / 2;
    p.bar_y = H - (int)((long)H * (THEME_BAR_POSITION_DEN - THEME_BAR_POSITION_NUM) /
                        THEME_BAR_POSITION_DEN);
    p.inner_x = p.bar_x + INSET * p.scale;
    p.inner_y = p.bar_y + INSET * p.scale;
    p.inner_w = p.frame_w - 2 * INSET * p.scale;
    p.inner_h = p.frame_h - 2 * INSET * p.scale;
    return p;
}

// Every test sets the scale it needs and leaves the theme's behind.
template <typename Param> class ScaledTest : public testing::TestWithParam<Param> {
  protected:
    void TearDown() override { glimmer_layout_set_scale(THEME_SCALE); }
};

struct Size {
    int W, H;
};

const Size sizes[] = {{800, 480}, {1024, 768}, {480, 272},   {800, 481},
                      {799, 600}, {231, 100},  {1920, 1080}, {3840, 2160}};

class Geometry : public ScaledTest<std::tuple<Size, int, int>> {};

// The initial scene equals the background, the picture, the frame, the empty
// bar and the empty message band drawn at the expected places.
TEST_P(Geometry, InitialSceneIsPlacedFromTheScreenSize)
{
    const auto [size, angle, setting] = GetParam();
    const int W = size.W, H = size.H;
    glimmer_layout_set_scale(setting);
    std::unique_ptr<MemFb> got(screen(W, H, angle)), want(screen(W, H, angle));
    ASSERT_EQ(got->fb.width, W);
    glimmer_draw_initial_scene(&got->fb);
    const Places p = places(W, H, setting);
    ASSERT_EQ(glimmer_layout_scale(&got->fb), p.scale);

    Framebuffer *w = &want->fb;
    const int s = p.scale, band = radon_font.height * s;
    reference_fill_rect(w, 0, 0, W, H, BACKGROUND.r, BACKGROUND.g, BACKGROUND.b);
    reference_draw_rle(w, p.picture_x, p.picture_y, &splash_image);
    reference_draw_rle(w, p.bar_x, p.bar_y, &bar_frame_image, s);
    reference_fill_rect(w, p.inner_x, p.inner_y, p.inner_w, p.inner_h, EMPTY.r, EMPTY.g, EMPTY.b);
    reference_fill_rect(w, 0, p.bar_y - band, W, band, BACKGROUND.r, BACKGROUND.g, BACKGROUND.b);
    EXPECT_TRUE(got->memory == want->memory);

    // Facts that hold whatever the artwork: the interior's corners and the
    // frame's outline above and below it.
    if (p.bar_x >= 0 && p.bar_x + p.frame_w <= W && p.bar_y + p.frame_h <= H) {
        EXPECT_TRUE(at(*got, p.inner_x, p.inner_y) == EMPTY);
        EXPECT_TRUE(at(*got, p.inner_x + p.inner_w - 1, p.inner_y + p.inner_h - 1) == EMPTY);
        EXPECT_TRUE(at(*got, p.bar_x + 10 * s, p.bar_y + s) == OUTLINE) << "frame outline";
        EXPECT_TRUE(at(*got, p.bar_x + 10 * s, p.inner_y + p.inner_h) == OUTLINE)
            << "frame outline";
    }
    for (int y = std::max(0, p.bar_y - band); y < p.bar_y; y++)
        ASSERT_TRUE(at(*got, W / 2, y) == BACKGROUND) << "message band row " << y;
}

std::string scale_name(int setting)
{
    return setting == LAYOUT_SCALE_AUTO ? "auto" : std::to_string(setting);
}

INSTANTIATE_TEST_SUITE_P(Screens, Geometry,
                         testing::Combine(testing::ValuesIn(sizes),
                                          testing::Values(0, 90, 180, 270),
                                          testing::Values(1, 2, 3, (int)LAYOUT_SCALE_AUTO)),
                         [](const auto &p) {
                             const Size size = std::get<0>(p.param);
                             return std::to_string(size.W) + "x" + std::to_string(size.H) + "_a" +
                                    std::to_string(std::get<1>(p.param)) + "_scale_" +
                                    scale_name(std::get<2>(p.param));
                         });

struct ProgressCase {
    int32_t value;
    int percent; // of the interior that is filled
    bool from_right;
};

const ProgressCase progress_cases[] = {
    {1, 1, false},          {33, 33, false},    {50, 50, false},         {99, 99, false},
    {100, 100, false},      {1000, 100, false}, {INT32_MAX, 100, false}, {0, 0, false},
    {-1, 1, true},          {-50, 50, true},    {-100, 100, true},       {-101, 100, true},
    {INT32_MIN, 100, true},
};

class Progress : public ScaledTest<std::tuple<ProgressCase, int, int>> {};

// On a screen of scale times 800 x 480 the scaled bar lies wholly on screen.
TEST_P(Progress, FillsTheInteriorFromTheRightSide)
{
    const auto [c, angle, s] = GetParam();
    glimmer_layout_set_scale(s);
    const int W = 800 * s, H = 480 * s;
    std::unique_ptr<MemFb> m(screen(W, H, angle));
    glimmer_draw_initial_scene(&m->fb);
    glimmer_draw_progress(&m->fb, 77); // something to replace
    glimmer_draw_progress(&m->fb, c.value);
    const Places p = places(W, H, s);
    const int filled = p.inner_w * c.percent / 100; // truncated, as pixels are whole
    for (int y : {p.inner_y, p.inner_y + p.inner_h / 2, p.inner_y + p.inner_h - 1}) {
        for (int i = 0; i < p.inner_w; i++) {
            const bool on = c.from_right ? i >= p.inner_w - filled : i < filled;
            ASSERT_TRUE(at(*m, p.inner_x + i, y) == (on ? FILLED : EMPTY))
                << "value " << c.value << " column " << i << " row " << y;
        }
    }
    // Nothing outside the interior changed: the frame's outline on every side.
    const int mid_y = p.inner_y + p.inner_h / 2, x = p.inner_x + 10;
    EXPECT_TRUE(at(*m, p.inner_x - 1, mid_y) == OUTLINE);
    EXPECT_TRUE(at(*m, p.inner_x + p.inner_w, mid_y) == OUTLINE);
    EXPECT_TRUE(at(*m, x, p.inner_y - 1) == OUTLINE);
    EXPECT_TRUE(at(*m, x, p.inner_y + p.inner_h) == OUTLINE);
}

INSTANTIATE_TEST_SUITE_P(Values, Progress,
                         testing::Combine(testing::ValuesIn(progress_cases),
                                          testing::Values(0, 90, 180, 270), testing::Values(1, 2)),
                         [](const auto &p) {
                             const ProgressCase c = std::get<0>(p.param);
                             const std::string v = c.value < 0
                                                       ? "minus" + std::to_string(-(int64_t)c.value)
                                                       : std::to_string(c.value);
                             return "value_" + v + "_a" + std::to_string(std::get<1>(p.param)) +
                                    "_scale_" + std::to_string(std::get<2>(p.param));
                         });

class Message : public ScaledTest<std::tuple<int, int>> {};

TEST_P(Message, BandAboveTheBarCentredText)
{
    const auto [angle, s] = GetParam();
    glimmer_layout_set_scale(s);
    const int W = 800 * s, H = 480 * s, band = 12 * s;
    const int top = places(W, H, s).bar_y - band;
    std::unique_ptr<MemFb> m(screen(W, H, angle)), want(screen(W, H, angle));
    glimmer_draw_initial_scene(&m->fb);
    // Dirty the rows around the band so that clearing shows.
    reference_fill_rect(&m->fb, 0, top - 8, W, band + 8, 1, 2, 3);
    glimmer_draw_message(&m->fb, "");
    for (int x : {0, W / 2, W - 1}) {
        EXPECT_TRUE(at(*m, x, top - 1) == (Rgb{1, 2, 3})) << "row above the band is not touched";
        for (int y = top; y < top + band; y++)
            ASSERT_TRUE(at(*m, x, y) == BACKGROUND) << x << "," << y;
    }
    glimmer_draw_message(&m->fb, "hello");
    memcpy(want->memory.data(), m->memory.data(), m->memory.size());
    reference_fill_rect(&want->fb, 0, top, W, band, BACKGROUND.r, BACKGROUND.g, BACKGROUND.b);
    glimmer_draw_message(&m->fb, "Installing updates"); // replaces "hello" entirely
    // 18 characters of 8 pixels, centred.
    reference_draw_text(&want->fb, (W - 144 * s) / 2, top, INK.r, INK.g, INK.b, &radon_font,
                        "Installing updates", s);
    EXPECT_TRUE(m->memory == want->memory);
}

TEST_P(Message, WiderThanTheScreenStartsAtANegativeTruncatedLeft)
{
    const auto [angle, s] = GetParam();
    glimmer_layout_set_scale(s);
    const int W = 801 * s, H = 480 * s, band = 12 * s;
    const int top = places(W, H, s).bar_y - band;
    std::unique_ptr<MemFb> m(screen(W, H, angle)), want(screen(W, H, angle));
    // 1608 pixels a scale: (801 - 1608) / 2 = -403 (not -404); at scale 3,
    // (2403 - 4824) / 2 = -1210 (not -1211).
    const std::string text(201, 'W');
    const int left = s == 1 ? -403 : s == 3 ? -1210 : (W - 1608 * s) / 2;
    glimmer_draw_message(&m->fb, text.c_str());
    reference_fill_rect(&want->fb, 0, top, W, band, BACKGROUND.r, BACKGROUND.g, BACKGROUND.b);
    reference_draw_text(&want->fb, left, top, INK.r, INK.g, INK.b, &radon_font, text.c_str(), s);
    EXPECT_TRUE(m->memory == want->memory);
    EXPECT_TRUE(m->guards_intact());
}

TEST_P(Message, TwoLineMessageGrowsTheBandUpwards)
{
    const auto [angle, s] = GetParam();
    glimmer_layout_set_scale(s);
    const int W = 800 * s, H = 480 * s;
    const int top = places(W, H, s).bar_y - 24 * s;
    std::unique_ptr<MemFb> m(screen(W, H, angle)), want(screen(W, H, angle));
    glimmer_draw_message(&m->fb, "ab\ncd\n"); // two line breaks: 24 rows a scale
    reference_fill_rect(&want->fb, 0, top, W, 24 * s, BACKGROUND.r, BACKGROUND.g, BACKGROUND.b);
    reference_draw_text(&want->fb, (W - 16 * s) / 2, top, INK.r, INK.g, INK.b, &radon_font,
                        "ab\ncd\n", s);
    EXPECT_TRUE(m->memory == want->memory);
}

INSTANTIATE_TEST_SUITE_P(Angles, Message,
                         testing::Combine(testing::Values(0, 90, 180, 270), testing::Values(1, 3)),
                         [](const auto &p) {
                             return "a" + std::to_string(std::get<0>(p.param)) + "_scale_" +
                                    std::to_string(std::get<1>(p.param));
                         });

class TinyScreens : public ScaledTest<int> {};

TEST_P(TinyScreens, DrawOnlyWhatFits)
{
    glimmer_layout_set_scale(GetParam());
    for (auto [W, H] : {std::pair{1, 1}, {10, 5}, {0, 0}, {230, 6}, {700, 84}}) {
        MemFb m(W, H, 16, FB_FORMAT_RGB565);
        glimmer_draw_initial_scene(&m.fb);
        glimmer_draw_progress(&m.fb, 50);
        glimmer_draw_message(&m.fb, "tiny");
        EXPECT_TRUE(m.guards_intact()) << W << "x" << H;
    }
}

INSTANTIATE_TEST_SUITE_P(Scales, TinyScreens, testing::Values(1, 2, 3, (int)LAYOUT_SCALE_AUTO),
                         [](const auto &p) { return "scale_" + scale_name(p.param); });

} // namespace
