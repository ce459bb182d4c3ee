// The screen layout, checked as pixels: where the picture, the bar frame, the
// bar interior and the message band land for several screen sizes and every
// rotation, and how far the bar fills for a value.
#include "app/layout.h"

#include "assets/assets.h"
#include "fb/memfb.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb &o) const { return r == o.r && g == o.g && b == o.b; }
};

const Rgb WHITE = {255, 255, 255}, FILLED = {109, 109, 112}, EMPTY = {236, 236, 225};

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

struct GeometryCase {
    int W, H;
    int picture_x, picture_y, bar_x, bar_y;
};

const GeometryCase geometry_cases[] = {
    {800, 480, 0, -40, 285, 400},     {1024, 768, 112, 80, 397, 640},
    {480, 272, -160, -127, 125, 227}, {800, 481, 0, -40, 285, 401},
    {799, 600, 0, 10, 284, 500},      {231, 100, -284, -198, 0, 84},
    {1920, 1080, 560, 210, 845, 900},
};

class Geometry : public testing::TestWithParam<std::tuple<GeometryCase, int>> {};

// The initial scene equals white, the picture, the frame, the empty bar and
// the empty message band drawn at the expected places.
TEST_P(Geometry, InitialSceneIsPlacedFromTheScreenSize)
{
    const GeometryCase c = std::get<0>(GetParam());
    const int angle = std::get<1>(GetParam());
    std::unique_ptr<MemFb> got(screen(c.W, c.H, angle)), want(screen(c.W, c.H, angle));
    ASSERT_EQ(got->fb.width, c.W);
    glimmer_draw_initial_scene(&got->fb);

    Framebuffer *w = &want->fb;
    reference_fill_rect(w, 0, 0, c.W, c.H, 255, 255, 255);
    reference_draw_rle(w, c.picture_x, c.picture_y, &splash_image);
    reference_draw_rle(w, c.bar_x, c.bar_y, &bar_frame_image);
    reference_fill_rect(w, c.bar_x + 4, c.bar_y + 4, 222, 20, 236, 236, 225);
    reference_fill_rect(w, 0, c.bar_y - 12, c.W, 12, 255, 255, 255); // empty message band
    EXPECT_TRUE(got->memory == want->memory);

    // Facts that hold whatever the artwork: frame corners and interior colours.
    if (c.bar_x >= 0 && c.bar_x + 230 <= c.W && c.bar_y + 28 <= c.H) {
        EXPECT_TRUE(at(*got, c.bar_x + 4, c.bar_y + 4) == EMPTY);
        EXPECT_TRUE(at(*got, c.bar_x + 225, c.bar_y + 23) == EMPTY);
        EXPECT_TRUE(at(*got, c.bar_x + 10, c.bar_y + 1) == FILLED) << "frame outline";
        EXPECT_TRUE(at(*got, c.bar_x + 10, c.bar_y + 24) == FILLED) << "frame outline";
    }
    // The message band just above the bar is white.
    for (int y = c.bar_y - 12; y < c.bar_y; y++)
        EXPECT_TRUE(at(*got, c.W / 2, y) == WHITE);
}

INSTANTIATE_TEST_SUITE_P(Screens, Geometry,
                         testing::Combine(testing::ValuesIn(geometry_cases),
                                          testing::Values(0, 90, 180, 270)));

struct ProgressCase {
    int32_t value;
    int filled;
    bool from_right;
};

const ProgressCase progress_cases[] = {
    {1, 2, false},          {33, 73, false},    {50, 111, false},        {99, 219, false},
    {100, 222, false},      {1000, 222, false}, {INT32_MAX, 222, false}, {0, 0, false},
    {-1, 2, true},          {-50, 111, true},   {-100, 222, true},       {-101, 222, true},
    {INT32_MIN, 222, true},
};

class Progress : public testing::TestWithParam<std::tuple<ProgressCase, int>> {};

TEST_P(Progress, FillsTheInteriorFromTheRightSide)
{
    const ProgressCase c = std::get<0>(GetParam());
    const int angle = std::get<1>(GetParam());
    std::unique_ptr<MemFb> m(screen(800, 480, angle));
    glimmer_draw_initial_scene(&m->fb);
    glimmer_draw_progress(&m->fb, 77); // something to replace
    glimmer_draw_progress(&m->fb, c.value);
    // Interior (289, 404) to (510, 423).
    for (int y : {404, 413, 423}) {
        for (int i = 0; i < 222; i++) {
            const bool filled = c.from_right ? i >= 222 - c.filled : i < c.filled;
            ASSERT_TRUE(at(*m, 289 + i, y) == (filled ? FILLED : EMPTY))
                << "value " << c.value << " column " << i << " row " << y;
        }
    }
    // Nothing outside the interior changed: frame outline intact on both sides.
    EXPECT_TRUE(at(*m, 288, 410) == FILLED);
    EXPECT_TRUE(at(*m, 511, 410) == FILLED);
    EXPECT_TRUE(at(*m, 300, 403) == FILLED);
    EXPECT_TRUE(at(*m, 300, 424) == FILLED);
}

INSTANTIATE_TEST_SUITE_P(Values, Progress,
                         testing::Combine(testing::ValuesIn(progress_cases),
                                          testing::Values(0, 90, 180, 270)));

class Message : public testing::TestWithParam<int> {};

TEST_P(Message, BandAboveTheBarCentredText)
{
    const int angle = GetParam();
    std::unique_ptr<MemFb> m(screen(800, 480, angle)), want(screen(800, 480, angle));
    glimmer_draw_initial_scene(&m->fb);
    // Dirty the rows around the band so that clearing shows.
    reference_fill_rect(&m->fb, 0, 380, 800, 20, 1, 2, 3);
    glimmer_draw_message(&m->fb, "");
    for (int x : {0, 399, 799}) {
        EXPECT_TRUE(at(*m, x, 387) == (Rgb{1, 2, 3})) << "row above the band is not touched";
        for (int y = 388; y < 400; y++)
            ASSERT_TRUE(at(*m, x, y) == WHITE) << x << "," << y;
    }
    glimmer_draw_message(&m->fb, "hello");
    memcpy(want->memory.data(), m->memory.data(), m->memory.size());
    reference_fill_rect(&want->fb, 0, 388, 800, 12, 255, 255, 255);
    glimmer_draw_message(&m->fb, "Installing updates"); // replaces "hello" entirely
    // 18 characters, 144 pixels: left (800 - 144) / 2 = 328.
    reference_draw_text(&want->fb, 328, 388, 109, 109, 112, &radon_font, "Installing updates");
    EXPECT_TRUE(m->memory == want->memory);
}

TEST_P(Message, WiderThanTheScreenStartsAtANegativeTruncatedLeft)
{
    const int angle = GetParam();
    std::unique_ptr<MemFb> m(screen(801, 480, angle)), want(screen(801, 480, angle));
    const std::string text(201, 'W'); // 1608 pixels: (801 - 1608) / 2 = -403 (not -404)
    glimmer_draw_message(&m->fb, text.c_str());
    reference_fill_rect(&want->fb, 0, 388, 801, 12, 255, 255, 255);
    reference_draw_text(&want->fb, -403, 388, 109, 109, 112, &radon_font, text.c_str());
    EXPECT_TRUE(m->memory == want->memory);
    EXPECT_TRUE(m->guards_intact());
}

TEST_P(Message, TwoLineMessageGrowsTheBandUpwards)
{
    const int angle = GetParam();
    std::unique_ptr<MemFb> m(screen(800, 480, angle)), want(screen(800, 480, angle));
    glimmer_draw_message(&m->fb, "ab\ncd\n"); // two line breaks: 24 rows
    reference_fill_rect(&want->fb, 0, 376, 800, 24, 255, 255, 255);
    reference_draw_text(&want->fb, 392, 376, 109, 109, 112, &radon_font, "ab\ncd\n");
    EXPECT_TRUE(m->memory == want->memory);
}

INSTANTIATE_TEST_SUITE_P(Angles, Message, testing::Values(0, 90, 180, 270));

TEST(Scene, TinyScreensDrawOnlyWhatFits)
{
    for (auto [W, H] : {std::pair{1, 1}, {10, 5}, {0, 0}, {230, 6}}) {
        MemFb m(W, H, 16, FB_FORMAT_RGB565);
        glimmer_draw_initial_scene(&m.fb);
        glimmer_draw_progress(&m.fb, 50);
        glimmer_draw_message(&m.fb, "tiny");
        EXPECT_TRUE(m.guards_intact()) << W << "x" << H;
    }
}

} // namespace
