// glimmer_fb_draw_rle on in-memory pages: what a stream draws, where, and
// where decoding stops.
#include "test_page.h"

#include "assets/assets.h"
#include "tools/art/rle_encode.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

const uint8_t RED[4] = {200, 10, 20, 255};
const uint8_t GREEN[4] = {30, 210, 40, 255};
const uint8_t BLUE[4] = {50, 60, 220, 255};
const uint8_t CLEAR[4] = {99, 99, 99, 0}; // transparent, whatever its colour
const uint8_t FAINT_A[4] = {7, 8, 9, 1};  // alpha 1
const uint8_t FAINT_B[4] = {1, 2, 3, 1};
const uint8_t BLACK3[3] = {0, 0, 0};
const uint8_t HIDDEN5[5] = {1, 2, 3, 0, 9}; // 5 bytes a pixel: the fifth is skipped
const uint8_t SHOWN5[5] = {4, 5, 6, 255, 0};

uint32_t value(const uint8_t *p)
{
    return (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
}

struct Bytes {
    std::vector<uint8_t> v;
    Bytes &h(unsigned header)
    {
        v.push_back((uint8_t)header);
        return *this;
    }
    Bytes &px(const uint8_t *p, int bpp = 4)
    {
        v.insert(v.end(), p, p + bpp);
        return *this;
    }
};

struct Spot {
    int x, y;
    uint32_t rgb;
};

struct DrawCase {
    const char *name;
    int32_t width, height, bytes_per_pixel, rowstride;
    std::vector<uint8_t> stream;
    int at_x, at_y;
    std::vector<Spot> drawn; // every pixel drawn; all others stay untouched
};

// A page of 240 x 8 that shows exactly the listed pixels.
void expect_drawn(const DrawCase &c)
{
    TestPage page(240, 8);
    // The stream lives in a buffer of exactly its size, so that reading past
    // it is caught by AddressSanitizer.
    std::unique_ptr<uint8_t[]> data(new uint8_t[c.stream.size() + (c.stream.empty() ? 1 : 0)]);
    if (!c.stream.empty())
        memcpy(data.get(), c.stream.data(), c.stream.size());
    const RleImage img = {c.width,     c.height,   c.bytes_per_pixel,
                          c.rowstride, data.get(), c.stream.size()};
    glimmer_fb_draw_rle(page.fb.get(), c.at_x, c.at_y, &img);

    std::vector<uint32_t> want(240 * 8, UNTOUCHED);
    for (const Spot &s : c.drawn)
        want[(size_t)s.y * 240 + (size_t)s.x] = s.rgb;
    int wrong = 0;
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 240; x++)
            if (page.device(x, y) != want[(size_t)y * 240 + (size_t)x] && ++wrong < 5)
                ADD_FAILURE() << c.name << ": pixel " << x << "," << y << " is " << std::hex
                              << page.device(x, y) << ", want "
                              << want[(size_t)y * 240 + (size_t)x];
}

std::vector<Spot> row_of(int x, int y, int n, const uint8_t *p)
{
    std::vector<Spot> s;
    for (int i = 0; i < n; i++)
        s.push_back({x + i, y, value(p)});
    return s;
}

std::vector<Spot> operator+(std::vector<Spot> a, const std::vector<Spot> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint8_t> literal_of(int n, const uint8_t *p)
{
    Bytes b;
    b.h((unsigned)n);
    for (int i = 0; i < n; i++)
        b.px(p);
    return b.v;
}

TEST(RleDraw, Streams)
{
    const int S = 920; // 230 pixels of 4 bytes a row
    const DrawCase cases[] = {
        {"starts with 0x00", 230, 28, 4, S, Bytes().h(0x00).h(0x81).px(RED).v, 0, 0, {}},
        {"starts with 0x80", 230, 28, 4, S, Bytes().h(0x80).h(0x81).px(RED).v, 0, 0, {}},
        {"0x80 ends a stream midway",
         230,
         28,
         4,
         S,
         Bytes().h(0x81).px(RED).h(0x80).h(0x81).px(GREEN).v,
         0,
         0,
         {{0, 0, value(RED)}}},
        {"height 0 reads nothing", 230, 0, 4, S, Bytes().h(0x81).px(RED).h(0).v, 0, 0, {}},
        {"rowstride 0 reads nothing", 230, 28, 4, 0, Bytes().h(0x81).px(RED).h(0).v, 0, 0, {}},
        {"negative limit reads nothing", 230, -28, 4, S, Bytes().h(0x81).px(RED).h(0).v, 0, 0, {}},
        {"0x81 draws once",
         230,
         28,
         4,
         S,
         Bytes().h(0x81).px(RED).h(0).v,
         0,
         0,
         {{0, 0, value(RED)}}},
        {"0xFF draws 127", 230, 28, 4, S, Bytes().h(0xFF).px(RED).h(0).v, 0, 0,
         row_of(0, 0, 127, RED)},
        {"0x7F takes 127 pixels", 230, 28, 4, S, literal_of(127, GREEN), 0, 0,
         row_of(0, 0, 127, GREEN)},
        {"transparent pixel keeps its column",
         230,
         28,
         4,
         S,
         Bytes().h(0x02).px(CLEAR).px(RED).h(0x82).px(CLEAR).h(0x81).px(BLUE).h(0).v,
         0,
         0,
         {{1, 0, value(RED)}, {4, 0, value(BLUE)}}},
        {"alpha 1 draws like 255",
         230,
         28,
         4,
         S,
         Bytes().h(0x01).px(FAINT_A).h(0x82).px(FAINT_B).h(0).v,
         0,
         0,
         {{0, 0, 0x070809}, {1, 0, 0x010203}, {2, 0, 0x010203}}},
        {"3 bytes a pixel are all opaque",
         4,
         2,
         3,
         12,
         Bytes().h(0x02).px(BLACK3, 3).px(RED, 3).h(0x83).px(BLUE, 3).h(0).v,
         0,
         0,
         {{0, 0, 0},
          {1, 0, value(RED)},
          {2, 0, value(BLUE)},
          {3, 0, value(BLUE)},
          {0, 1, value(BLUE)}}},
        {"bytes after the alpha are skipped",
         4,
         2,
         5,
         20,
         Bytes().h(0x02).px(HIDDEN5, 5).px(SHOWN5, 5).h(0).v,
         0,
         0,
         {{1, 0, 0x040506}}},
        {"repeat run crosses the row end", 230, 28, 4, S,
         Bytes().h(0xFF).px(CLEAR).h(0xE4).px(CLEAR).h(0x85).px(RED).h(0).v, 0, 0,
         row_of(227, 0, 3, RED) + row_of(0, 1, 2, RED)},
        {"literal run crosses the row end",
         3,
         2,
         4,
         12,
         Bytes().h(0x82).px(CLEAR).h(0x03).px(RED).px(GREEN).px(BLUE).h(0).v,
         10,
         2,
         {{12, 2, value(RED)}, {10, 3, value(GREEN)}, {11, 3, value(BLUE)}}},
        {"rowstride wider than the picture", 3, 2, 4, 20, Bytes().h(0x8A).px(RED).h(0).v, 0, 0,
         row_of(0, 0, 3, RED) + row_of(0, 1, 3, RED)},
        {"literal pixels beyond the width",
         2,
         2,
         4,
         16,
         Bytes().h(0x05).px(RED).px(GREEN).px(BLUE).px(RED).px(BLUE).h(0).v,
         0,
         0,
         {{0, 0, value(RED)}, {1, 0, value(GREEN)}, {0, 1, value(BLUE)}}},
        {"rows not a whole number of pixels", 3, 4, 4, 10, Bytes().h(0x87).px(RED).h(0).v, 0, 0,
         row_of(0, 0, 3, RED) + row_of(0, 1, 3, RED) + row_of(0, 2, 1, RED)},
        {"more rows than the height", 10, 1, 4, 40, Bytes().h(0x9E).px(RED).h(0).v, 0, 0,
         row_of(0, 0, 10, RED) + row_of(0, 1, 10, RED) + row_of(0, 2, 10, RED)},
        {"limit ends a repeat run",
         2,
         1,
         4,
         8,
         Bytes().h(0x81).px(RED).h(0x81).px(GREEN).h(0x81).px(BLUE).v,
         0,
         0,
         {{0, 0, value(RED)}, {1, 0, value(GREEN)}}},
        {"limit reached exactly by a repeat run",
         3,
         1,
         4,
         10,
         Bytes().h(0x81).px(RED).h(0x81).px(GREEN).h(0x81).px(BLUE).h(0).v,
         0,
         0,
         {{0, 0, value(RED)}, {1, 0, value(GREEN)}}},
        {"limit ends a literal run midway",
         3,
         1,
         4,
         12,
         Bytes().h(0x05).px(RED).px(GREEN).px(BLUE).px(RED).px(GREEN).v,
         0,
         0,
         {{0, 0, value(RED)}, {1, 0, value(GREEN)}, {2, 0, value(BLUE)}}},
        {"limit reached exactly by a literal pixel",
         3,
         1,
         4,
         9,
         Bytes().h(0x03).px(RED).px(GREEN).px(BLUE).h(0).v,
         0,
         0,
         {{0, 0, value(RED)}, {1, 0, value(GREEN)}}},
        {"empty data", 230, 28, 4, S, {}, 0, 0, {}},
        {"header without its pixel", 230, 28, 4, S, Bytes().h(0x81).v, 0, 0, {}},
        {"pixel cut short", 230, 28, 4, S, Bytes().h(0x81).px(RED, 3).v, 0, 0, {}},
        {"literal cut short",
         230,
         28,
         4,
         S,
         Bytes().h(0x03).px(RED).px(GREEN, 2).v,
         0,
         0,
         {{0, 0, value(RED)}}},
        {"offset on the page", 230, 28, 4, S, Bytes().h(0x82).px(RED).h(0).v, 100, 5,
         row_of(100, 5, 2, RED)},
        {"off the right and bottom edges", 230, 28, 4, S,
         Bytes()
             .h(0x84)
             .px(RED)
             .h(0xFF)
             .px(CLEAR)
             .h(0xE3)
             .px(CLEAR)
             .h(0x84)
             .px(GREEN)
             .h(0xFF)
             .px(CLEAR)
             .h(0xE3)
             .px(CLEAR)
             .h(0x84)
             .px(BLUE)
             .h(0)
             .v,
         237, 6, row_of(237, 6, 3, RED) + row_of(237, 7, 3, GREEN)},
        {"negative y", 2, 3, 4, 8,
         Bytes().h(0x82).px(RED).h(0x82).px(GREEN).h(0x82).px(BLUE).h(0).v, 0, -2,
         row_of(0, 0, 2, BLUE)},
    };
    for (const DrawCase &c : cases)
        expect_drawn(c);
}

// An 800-pixel-wide picture centred on a 480-pixel screen at x = -160 loses
// its first 160 columns, and decoding still runs to the end of every row.
TEST(RleDraw, WidePictureAtNegativeX)
{
    const int W = 800, H = 3;
    std::vector<uint8_t> rgba;
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            rgba.insert(rgba.end(), {(uint8_t)x, (uint8_t)(x >> 8), (uint8_t)(y + 1), 255});
    const std::vector<uint8_t> s = glimmer_art_rle_encode(rgba.data(), (size_t)W * H, 4);
    const RleImage img = {W, H, 4, W * 4, s.data(), s.size()};
    TestPage page(480, H);
    glimmer_fb_draw_rle(page.fb.get(), -160, 0, &img);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < 480; x++) {
            const int col = x + 160;
            const uint32_t want =
                (uint32_t)(col & 0xFF) << 16 | (uint32_t)(col >> 8) << 8 | (uint32_t)(y + 1);
            ASSERT_EQ(page.device(x, y), want) << x << "," << y;
        }
}

// Rotated and packed pages get exactly the pixels that the pixel rule gives
// each decoded pixel: the picture turns with the screen.
TEST(RleDraw, RotationsAndDepthsMatchThePixelRule)
{
    struct Format {
        int bpp;
        FbPixelFormat format;
    };
    const Format formats[] = {{32, FB_FORMAT_RGB888},
                              {32, FB_FORMAT_BGR888},
                              {24, FB_FORMAT_RGB888},
                              {16, FB_FORMAT_RGB565}};
    const RleImage &img = bar_frame_image;
    const Decoded d = test_decode(img);
    for (const Format &f : formats)
        for (int angle : {0, 90, 180, 270})
            for (int at : {-100, 3, 30}) {
                TestPage got(260, 60, f.bpp, f.format, angle);
                TestPage want(260, 60, f.bpp, f.format, angle);
                glimmer_fb_draw_rle(got.fb.get(), at, at / 3, &img);
                for (const DecodedPixel &p : d.pixels)
                    glimmer_fb_put_pixel(want.fb.get(), at + p.column, at / 3 + p.row, p.r, p.g,
                                         p.b);
                EXPECT_TRUE(got.memory == want.memory)
                    << f.bpp << " bpp, angle " << angle << ", at " << at;
            }
}

} // namespace
