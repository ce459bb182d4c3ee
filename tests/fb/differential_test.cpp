// The drawing code's fast paths against the plain per-pixel rule: the same
// operations drawn both ways must leave the same bytes, over every format
// class, depth, rotation, padding and placement. Also checks that every pixel
// an operation changes lies inside the damage it reports, which is what keeps
// the two pages of a double-buffered screen in step.
#include "memfb.h"

#include "assets/assets.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

struct Geometry {
    FbPixelFormat format;
    int bpp;
    int angle;
    int pad;
};

std::vector<Geometry> all_geometries()
{
    std::vector<Geometry> out;
    const FbPixelFormat formats[] = {FB_FORMAT_RGB565, FB_FORMAT_BGR565, FB_FORMAT_RGB888,
                                     FB_FORMAT_BGR888, FB_FORMAT_GENERIC};
    for (FbPixelFormat f : formats)
        for (int bpp : {16, 24, 32})
            for (int angle : {0, 90, 180, 270, 45})
                for (int pad : {0, 6})
                    out.push_back({f, bpp, angle, pad});
    return out;
}

std::string geometry_name(const Geometry &g)
{
    static const char *names[] = {"rgb565", "bgr565", "rgb888", "bgr888", "generic"};
    return std::string(names[g.format]) + "_" + std::to_string(g.bpp) + "bpp_a" +
           std::to_string(g.angle) + "_pad" + std::to_string(g.pad);
}

// Two identical screens, one drawn by the code under test, one by the reference.
struct Pair {
    MemFb fast, slow;
    Pair(const Geometry &g, int w, int h)
        : fast(w, h, g.bpp, g.format, g.angle, g.pad, false, {3, 5, 9, 6, 22, 7}),
          slow(w, h, g.bpp, g.format, g.angle, g.pad, false, {3, 5, 9, 6, 22, 7})
    {}
    void expect_equal(const std::string &what) { ASSERT_EQ(fast.memory, slow.memory) << what; }
};

// Every device pixel that differs between before and after lies inside damage.
void expect_damage_covers(const MemFb &m, const std::vector<uint8_t> &before,
                          const std::string &what)
{
    const int B = m.fb.bpp / 8;
    const FbRect &d = m.fb.damage;
    for (int y = 0; y < m.fb.real_height; y++)
        for (int x = 0; x < m.fb.real_width; x++) {
            const size_t at = (size_t)y * m.fb.stride + (size_t)x * B;
            if (memcmp(&before[at], m.fb.draw_page + at, (size_t)B) == 0)
                continue;
            ASSERT_TRUE(x >= d.x0 && x < d.x1 && y >= d.y0 && y < d.y1)
                << what << ": pixel " << x << "," << y << " changed outside damage";
        }
}

class Differential : public testing::TestWithParam<Geometry> {};

// Random and hand-picked rectangles on one screen, each compared with the
// reference and checked against the damage reported.
void fill_rects(const Geometry &g, int width, int height)
{
    std::mt19937 rng(1234);
    Pair p(g, width, height);
    for (int i = 0; i < 150; i++) {
        const int W = p.fast.fb.width, H = p.fast.fb.height;
        const int x = (int)(rng() % (W + 20)) - 10, y = (int)(rng() % (H + 20)) - 10;
        const int w = (int)(rng() % (W + 10)) - 3, h = (int)(rng() % (H + 10)) - 3;
        const uint8_t r = (uint8_t)rng(), gr = (uint8_t)rng(), b = (uint8_t)rng();
        const auto before = p.fast.draw_page();
        p.fast.fb.damage = {0, 0, 0, 0};
        glimmer_fb_fill_rect(&p.fast.fb, x, y, w, h, r, gr, b);
        reference_fill_rect(&p.slow.fb, x, y, w, h, r, gr, b);
        const std::string what = "fill " + std::to_string(x) + "," + std::to_string(y) + " " +
                                 std::to_string(w) + "x" + std::to_string(h);
        p.expect_equal(what);
        expect_damage_covers(p.fast, before, what);
    }
    // Hand-picked: each edge exactly, single pixels in the corners.
    const int W = p.fast.fb.width, H = p.fast.fb.height;
    const int edges[][4] = {{0, 0, W, 1},         {0, H - 1, W, 1}, {0, 0, 1, H}, {W - 1, 0, 1, H},
                            {W - 1, H - 1, 1, 1}, {-1, -1, 2, 2},   {W, H, 1, 1}, {-1, 0, 1, H}};
    for (const auto &e : edges) {
        glimmer_fb_fill_rect(&p.fast.fb, e[0], e[1], e[2], e[3], 200, 100, 50);
        reference_fill_rect(&p.slow.fb, e[0], e[1], e[2], e[3], 200, 100, 50);
    }
    p.expect_equal("edges");
    EXPECT_TRUE(p.fast.guards_intact());
}

// A small screen, and one whose lines are several fill blocks long.
TEST_P(Differential, FillRect)
{
    const Geometry g = GetParam();
    for (const auto &size : {std::pair<int, int>{23, 17}, std::pair<int, int>{211, 5}}) {
        SCOPED_TRACE(std::to_string(size.first) + "x" + std::to_string(size.second));
        fill_rects(g, size.first, size.second);
    }
}

// A random stream: runs of random kinds, pixels with alpha 0, 1 or 255,
// sometimes cut short or without an end marker.
std::vector<uint8_t> random_stream(std::mt19937 &rng, int bpp)
{
    std::vector<uint8_t> s;
    const int runs = (int)(rng() % 40);
    auto pixel = [&] {
        for (int i = 0; i < bpp; i++) {
            uint8_t v = (uint8_t)rng();
            if (i == 3)
                v = (const uint8_t[]){0, 1, 255, 255}[rng() % 4];
            s.push_back(v);
        }
    };
    for (int i = 0; i < runs; i++) {
        if (rng() % 2) {
            s.push_back((uint8_t)(0x81 + rng() % 127));
            pixel();
        } else {
            const int n = 1 + (int)(rng() % 12);
            s.push_back((uint8_t)n);
            for (int k = 0; k < n; k++)
                pixel();
        }
    }
    switch (rng() % 4) {
    case 0:
        break; // no end marker
    case 1:
        s.resize(s.size() - rng() % (s.size() + 1) / 2); // cut anywhere
        break;
    default:
        s.push_back(rng() % 2 ? 0x00 : 0x80);
        break;
    }
    return s;
}

// Every stream drawn at scale 1 (the pixel path) and enlarged (the fill path).
TEST_P(Differential, RunLengthImage)
{
    const Geometry g = GetParam();
    for (int scale : {1, 2, 3}) {
        SCOPED_TRACE("scale " + std::to_string(scale));
        std::mt19937 rng(99);
        Pair p(g, 21 * scale, 15 * scale);
        for (int i = 0; i < 120; i++) {
            const int bpp = (const int[]){3, 4, 4, 5}[rng() % 4];
            const std::vector<uint8_t> s = random_stream(rng, bpp);
            const int32_t width = 1 + (int32_t)(rng() % 30);
            const int32_t rowstride = width * bpp + (rng() % 3 == 0 ? (int32_t)(rng() % 9) - 4 : 0);
            const int32_t height = (int32_t)(rng() % 20);
            const RleImage img = {width, height, bpp, rowstride, s.data(), s.size()};
            const int x = ((int)(rng() % 50) - 25) * scale, y = ((int)(rng() % 40) - 20) * scale;
            const auto before = p.fast.draw_page();
            p.fast.fb.damage = {0, 0, 0, 0};
            glimmer_fb_draw_rle_scaled(&p.fast.fb, x, y, &img, scale);
            reference_draw_rle(&p.slow.fb, x, y, &img, scale);
            const std::string what = "stream " + std::to_string(i) + " at " + std::to_string(x) +
                                     "," + std::to_string(y);
            p.expect_equal(what);
            expect_damage_covers(p.fast, before, what);
        }
        EXPECT_TRUE(p.fast.guards_intact());
    }
}

TEST_P(Differential, BuiltInPictures)
{
    const Geometry g = GetParam();
    Pair p(g, 300, 60);
    for (const RleImage *img : {&bar_frame_image, &splash_image}) {
        for (int x : {-100, 0, 35, 250}) {
            glimmer_fb_draw_rle(&p.fast.fb, x, -3, img);
            reference_draw_rle(&p.slow.fb, x, -3, img);
        }
    }
    glimmer_fb_draw_rle_scaled(&p.fast.fb, -7, 2, &bar_frame_image, 2);
    reference_draw_rle(&p.slow.fb, -7, 2, &bar_frame_image, 2);
    p.expect_equal("built-in pictures");
}

// A small font with wide glyphs, keys above the mask and shared buckets.
const uint32_t test_rows[] = {0x80000001, 0xFFFFFFFF, 0x0F0F0F0F, 0xF0000000,
                              0xAAAAAAAA, 0x55555555, 0x00000000, 0x12345678};
const int32_t test_glyphs[] = {
    (int32_t)(0x00 | 3),
    0, // bucket 1: code point 0x41 -> width 3
    (int32_t)(0x100 | 9),
    2, //           code point 0x141 -> width 9
    0,
    (int32_t)(0x00 | 40),
    4, // bucket 2: 0x42 -> width 40 (ink only in 32 columns)
    0,
    (int32_t)(0x00 | 1),
    6, // bucket 3: 0x43 -> width 1
    0,
};
const BitmapFont test_font = {"test", 2, 0xFF, nullptr, test_glyphs, test_rows};

TEST_P(Differential, Text)
{
    const Geometry g = GetParam();
    // Code points 0x41, 0x42 and 0x43 have lists of their own; 0x141 shares 0x41's.
    static int32_t buckets[256];
    for (int i = 0; i < 256; i++)
        buckets[i] = 2;
    buckets[0x41] = 0;
    buckets[0x42] = 5;
    buckets[0x43] = 7;
    BitmapFont font = test_font;
    font.bucket_table = buckets;

    for (int scale : {1, 2, 3}) {
        SCOPED_TRACE("scale " + std::to_string(scale));
        std::mt19937 rng(7);
        Pair p(g, 50 * scale, 30 * scale);
        const char alphabet[] = "ABC\n\t xyz\x7f";
        for (int i = 0; i < 100; i++) {
            std::string text;
            const int n = (int)(rng() % 12);
            for (int k = 0; k < n; k++)
                text += alphabet[rng() % (sizeof alphabet - 1)];
            const int x = ((int)(rng() % 120) - 60) * scale, y = ((int)(rng() % 50) - 20) * scale;
            const BitmapFont *f = rng() % 2 ? &font : &radon_font;
            const auto before = p.fast.draw_page();
            p.fast.fb.damage = {0, 0, 0, 0};
            glimmer_fb_draw_text_scaled(&p.fast.fb, x, y, 10, 200, 30, f, text.c_str(), scale);
            reference_draw_text(&p.slow.fb, x, y, 10, 200, 30, f, text.c_str(), scale);
            p.expect_equal("text '" + text + "' at " + std::to_string(x) + "," + std::to_string(y));
            expect_damage_covers(p.fast, before, "text");
        }
        EXPECT_TRUE(p.fast.guards_intact());
    }
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, Differential, testing::ValuesIn(all_geometries()),
                         [](const auto &case_info) { return geometry_name(case_info.param); });

} // namespace
