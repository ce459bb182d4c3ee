// The stored pictures: their streams decode to whole pictures, re-encode to
// the same bytes, and hold the colours and the layout the screen relies on.
#include "test_page.h"

#include "assets/assets.h"
#include "tools/art/rle_encode.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace
{

struct Picture {
    const char *name;
    const RleImage *image;
    size_t stream_size; // with the end marker
};

const Picture PICTURES[] = {
    {"splash_image", &splash_image, splash_image.size},
    {"bar_frame_image", &bar_frame_image, 812},
};

std::vector<uint8_t> rgba_of(const Decoded &d)
{
    std::vector<uint8_t> out;
    for (const DecodedPixel &p : d.pixels)
        out.insert(out.end(), {p.r, p.g, p.b, p.a});
    return out;
}

uint32_t rgb(const DecodedPixel &p)
{
    return (uint32_t)p.r << 16 | (uint32_t)p.g << 8 | p.b;
}

class StoredPicture : public testing::TestWithParam<Picture>
{
};

TEST_P(StoredPicture, DecodesToWholePictureAndEndsAtItsMarker)
{
    const RleImage &img = *GetParam().image;
    EXPECT_EQ(img.bytes_per_pixel, 4);
    EXPECT_EQ(img.rowstride, img.width * 4);
    EXPECT_EQ(img.size, GetParam().stream_size);

    const Decoded d = test_decode(img);
    EXPECT_TRUE(d.end_marker);
    EXPECT_EQ(d.pixels.size(), (size_t)img.width * (size_t)img.height);
    EXPECT_EQ(d.column, 0);
    EXPECT_EQ(d.row, img.height);
    // The marker is the last byte, and far before the read limit.
    ASSERT_EQ((size_t)d.consumed + 1, img.size);
    EXPECT_EQ(img.data[d.consumed], 0x00);
    EXPECT_LT(img.size * 20, (size_t)img.height * (size_t)img.rowstride);
    for (const DecodedPixel &p : d.pixels)
        ASSERT_TRUE(p.a == 0 || p.a == 255) << p.column << "," << p.row;
}

TEST_P(StoredPicture, ReencodesToTheStoredBytes)
{
    const RleImage &img = *GetParam().image;
    const std::vector<uint8_t> pixels = rgba_of(test_decode(img));
    const std::vector<uint8_t> again = glimmer_art_rle_encode(pixels.data(), pixels.size() / 4, 4);
    EXPECT_EQ(again, std::vector<uint8_t>(img.data, img.data + img.size));
}

// The program's decoder puts every opaque pixel where the plain decoding says.
TEST_P(StoredPicture, DrawsEveryOpaquePixel)
{
    const RleImage &img = *GetParam().image;
    TestPage page(img.width, img.height);
    glimmer_fb_draw_rle(page.fb.get(), 0, 0, &img);
    for (const DecodedPixel &p : test_decode(img).pixels) {
        const uint32_t want = p.a ? rgb(p) : UNTOUCHED;
        ASSERT_EQ(page.device(p.column, p.row), want) << p.column << "," << p.row;
    }
}

INSTANTIATE_TEST_SUITE_P(Art, StoredPicture, testing::ValuesIn(PICTURES),
                         [](const testing::TestParamInfo<Picture> &i) {
                             return std::string(i.param.name);
                         });

// ---- the bar frame ----

TEST(BarFrame, StreamFigures)
{
    const RleImage &img = bar_frame_image;
    ASSERT_EQ(img.size, 812u);
    const ArtRleCounts n = glimmer_art_rle_count(img.data, img.size, 4, 230);
    EXPECT_EQ(n.repeat_runs, 89);
    EXPECT_EQ(n.literal_runs, 46);
    EXPECT_EQ(n.crossing_runs, 25);

    const std::vector<uint8_t> head = {
        0x83, 0xEC, 0xEC, 0xE1, 0xFF,                         // 3 light
        0x04, 0xD6, 0xD6, 0xCD, 0xFF, 0x9E, 0x9E, 0x9B, 0xFF, // 4 greys
        0x80, 0x80, 0x81, 0xFF, 0x6E, 0x6E, 0x71, 0xFF,       //
        0xFF, 0x6D, 0x6D, 0x70, 0xFF,                         // 127 dark
        0xD9, 0x6D, 0x6D, 0x70, 0xFF,                         // 89 dark
    };
    EXPECT_EQ(std::vector<uint8_t>(img.data, img.data + head.size()), head);
    const std::vector<uint8_t> tail = {0x83, 0xEC, 0xEC, 0xE1, 0xFF, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(img.data + img.size - tail.size(), img.data + img.size), tail);
}

TEST(BarFrame, ColourCounts)
{
    std::map<uint32_t, int> counts;
    for (const DecodedPixel &p : test_decode(bar_frame_image).pixels) {
        ASSERT_EQ(p.a, 255);
        counts[rgb(p)]++;
    }
    const uint32_t dark = 0x6D6D70, light = 0xECECE1;
    EXPECT_EQ(counts[dark], 1932);
    EXPECT_EQ(counts[light], 4430);
    EXPECT_EQ(counts.size(), 19u); // dark, light and 17 greys
    EXPECT_EQ(6440 - counts[dark] - counts[light], 78);
    EXPECT_EQ(counts[0xB8B8B2], 14); // the shading line
}

// Corner pixels checked against their mirror images, and the inner area that
// the bar covers when it is painted.
TEST(BarFrame, CornersMirrorAndInnerArea)
{
    const Decoded d = test_decode(bar_frame_image);
    auto px = [&](int x, int y) { return rgb(d.pixels[(size_t)y * 230 + (size_t)x]); };
    EXPECT_EQ(px(3, 0), 0xD6D6CDu);
    EXPECT_EQ(px(0, 6), 0x717173u);
    EXPECT_EQ(px(4, 6), 0xADADA9u);
    for (int r = 0; r < 7; r++)
        for (int c = 0; c < 7; c++) {
            ASSERT_EQ(px(c, r), px(229 - c, r)) << c << "," << r;
            ASSERT_EQ(px(c, r), px(c, 27 - r)) << c << "," << r;
            ASSERT_EQ(px(c, r), px(229 - c, 27 - r)) << c << "," << r;
        }
    int not_light = 0;
    for (int y = 4; y <= 23; y++)
        for (int x = 4; x <= 225; x++)
            not_light += px(x, y) != 0xECECE1u;
    EXPECT_EQ(not_light, 34);
    for (int y = 7; y <= 20; y++) {
        EXPECT_EQ(px(4, y), 0xB8B8B2u) << y;
        EXPECT_EQ(px(225, y), 0xECECE1u) << y; // no shading on the right
    }
}

// The run of 5 light pixels after row 0's right corner wraps into row 1.
TEST(BarFrame, RepeatRunCrossesTheRowEnd)
{
    const Decoded d = test_decode(bar_frame_image);
    for (int x : {227, 228, 229})
        EXPECT_EQ(rgb(d.pixels[(size_t)x]), 0xECECE1u) << x;
    for (int x : {0, 1})
        EXPECT_EQ(rgb(d.pixels[230 + (size_t)x]), 0xECECE1u) << x;
    EXPECT_NE(rgb(d.pixels[226]), 0xECECE1u);
    EXPECT_NE(rgb(d.pixels[232]), 0xECECE1u);
}

// ---- the splash picture ----

struct InkBox {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
    void add(int x, int y)
    {
        x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
    }
};

class Splash : public testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        decoded = new Decoded(test_decode(splash_image));
    }
    static void TearDownTestSuite()
    {
        delete decoded;
    }
    static const DecodedPixel &px(int x, int y)
    {
        return decoded->pixels[(size_t)y * 800 + (size_t)x];
    }
    static bool ink(int x, int y)
    {
        return px(x, y).a && rgb(px(x, y)) != 0xFFFFFFu;
    }
    static Decoded *decoded;
};
Decoded *Splash::decoded;

TEST_F(Splash, StreamEnds)
{
    const RleImage &img = splash_image;
    ASSERT_EQ(decoded->pixels.size(), 384000u);
    const std::vector<uint8_t> head = {0x01, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::vector<uint8_t>(img.data, img.data + head.size()), head);
    const std::vector<uint8_t> tail = {0xA5, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(img.data + img.size - tail.size(), img.data + img.size), tail);
    const ArtRleCounts n = glimmer_art_rle_count(img.data, img.size, 4, 800);
    EXPECT_EQ(n.crossing_runs, 0);
    EXPECT_GT(n.repeat_runs, 2692); // at least six runs of 127 white in every row
}

TEST_F(Splash, TransparentFirstColumnOnWhite)
{
    for (int y = 0; y < 480; y++) {
        const DecodedPixel &p = px(0, y);
        ASSERT_TRUE(p.r == 0 && p.g == 0 && p.b == 0 && p.a == 0) << y;
        for (int x = 1; x < 800; x++)
            ASSERT_EQ(px(x, y).a, 255) << x << "," << y;
    }
    long white = 0;
    for (const DecodedPixel &p : decoded->pixels)
        white += p.a && rgb(p) == 0xFFFFFFu;
    EXPECT_GT(white, 370000);
}

// Ink is red blended with white by one coverage value: red stays 255, blue
// is 255 minus the coverage, green follows from the same coverage.
TEST_F(Splash, InkIsBlendedRed)
{
    std::set<uint32_t> colours;
    long full = 0;
    for (const DecodedPixel &p : decoded->pixels) {
        if (!p.a || rgb(p) == 0xFFFFFFu)
            continue;
        ASSERT_EQ(p.r, 255) << p.column << "," << p.row;
        const unsigned a = 255u - p.b;
        ASSERT_EQ(p.g, 255 - (a * 231 + 127) / 255) << p.column << "," << p.row;
        colours.insert(rgb(p));
        full += rgb(p) == 0xFF1800u;
    }
    EXPECT_GT(full, 3000);
    EXPECT_GT(colours.size(), 100u);
}

TEST_F(Splash, TextLinesLieInTheirBoxes)
{
    struct Line {
        int top, bottom, left, right;
        double centre;
    };
    const Line lines[] = {{204, 244, 284, 518, 401.0}, {253, 293, 139, 662, 400.5}};
    for (const Line &l : lines) {
        InkBox box;
        for (int y = l.top; y <= l.bottom; y++)
            for (int x = 0; x < 800; x++)
                if (ink(x, y))
                    box.add(x, y);
        EXPECT_EQ(box.y0, l.top);
        EXPECT_EQ(box.y1, l.bottom);
        EXPECT_GE(box.x0, l.left);
        EXPECT_LE(box.x1, l.right);
        EXPECT_NEAR((box.x0 + box.x1) / 2.0, l.centre, 1.0);
        EXPECT_GT(box.x1 - box.x0, (l.right - l.left) * 9 / 10);
    }
    for (int y = 0; y < 480; y++) {
        if ((y >= 204 && y <= 244) || (y >= 253 && y <= 293))
            continue;
        for (int x = 0; x < 800; x++)
            ASSERT_FALSE(ink(x, y)) << x << "," << y;
    }
}

// Capitals 31 rows tall standing on rows 235 and 284: the stems of B and P
// are the first ink columns of their lines.
TEST_F(Splash, CapitalsStandOnTheirBaselines)
{
    struct Capital {
        int first_row, last_row, search_top, search_bottom;
    };
    for (const Capital &c : {Capital{205, 235, 204, 244}, Capital{254, 284, 253, 293}}) {
        int left = 800;
        for (int y = c.search_top; y <= c.search_bottom; y++)
            for (int x = 0; x < left; x++)
                if (px(x, y).a && rgb(px(x, y)) == 0xFF1800u)
                    left = x;
        InkBox stem;
        for (int y = c.search_top; y <= c.search_bottom; y++)
            if (ink(left, y))
                stem.add(left, y);
        EXPECT_EQ(stem.y0, c.first_row);
        EXPECT_EQ(stem.y1, c.last_row);
    }
}

TEST_F(Splash, BlankRowsEncodeAsOneLiteralAndSevenRepeats)
{
    // Row 0 is blank: 01 (transparent), six runs of 127 white and one of 37.
    const std::vector<uint8_t> row = {0x01, 0, 0, 0, 0};
    std::vector<uint8_t> want = row;
    for (int i = 0; i < 6; i++)
        want.insert(want.end(), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    want.insert(want.end(), {0xA5, 0xFF, 0xFF, 0xFF, 0xFF});
    ASSERT_EQ(want.size(), 40u);
    EXPECT_EQ(std::vector<uint8_t>(splash_image.data, splash_image.data + 40), want);
}

// ---- the encoder that made them ----

struct EncodeCase {
    const char *name;
    std::vector<uint32_t> pixels; // one 4-byte pixel each, as stored
    std::vector<uint8_t> want;    // headers only, pixel bytes left out
};

std::vector<uint32_t> repeat(uint32_t v, int n)
{
    return std::vector<uint32_t>((size_t)n, v);
}

std::vector<uint32_t> operator+(std::vector<uint32_t> a, const std::vector<uint32_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint32_t> distinct(int n, uint32_t from = 1)
{
    std::vector<uint32_t> v;
    for (int i = 0; i < n; i++)
        v.push_back(from + (uint32_t)i);
    return v;
}

// The headers of a stream of 4-byte pixels, and whether its pixels decode back.
std::vector<uint8_t> headers(const std::vector<uint8_t> &s)
{
    std::vector<uint8_t> h;
    size_t at = 0;
    while (at < s.size()) {
        h.push_back(s[at]);
        if (s[at] == 0)
            break;
        at += s[at] > 0x80 ? 5 : 1 + 4 * (size_t)s[at];
    }
    return h;
}

TEST(ArtEncoder, RunRules)
{
    const uint32_t W = 0xFFFFFFFF, X = 0x01020304;
    const EncodeCase cases[] = {
        {"single pixel", {X}, {0x01, 0x00}},
        {"two equal", repeat(W, 2), {0x82, 0x00}},
        {"127 equal", repeat(W, 127), {0xFF, 0x00}},
        {"128 equal: the odd one opens a literal", repeat(W, 128), {0xFF, 0x01, 0x00}},
        {"382 equal", repeat(W, 382) + std::vector<uint32_t>{X}, {0xFF, 0xFF, 0xFF, 0x02, 0x00}},
        {"383 equal", repeat(W, 383), {0xFF, 0xFF, 0xFF, 0x82, 0x00}},
        {"literal then repeat", distinct(3) + repeat(W, 4), {0x03, 0x84, 0x00}},
        {"literal never ends with the repeat's pixel",
         distinct(2) + repeat(W, 2) + distinct(1),
         {0x02, 0x82, 0x01, 0x00}},
        {"127 distinct", distinct(127), {0x7F, 0x00}},
        {"128 distinct", distinct(128), {0x7F, 0x01, 0x00}},
        {"300 distinct", distinct(300), {0x7F, 0x7F, 0x2E, 0x00}},
        {"nothing", {}, {0x00}},
    };
    for (const EncodeCase &c : cases) {
        std::vector<uint8_t> bytes(c.pixels.size() * 4);
        if (!bytes.empty())
            memcpy(bytes.data(), c.pixels.data(), bytes.size());
        const std::vector<uint8_t> s = glimmer_art_rle_encode(bytes.data(), c.pixels.size(), 4);
        EXPECT_EQ(headers(s), c.want) << c.name;
        // The pixels come back when the stream is decoded.
        const RleImage img = {(int32_t)c.pixels.size() + 1,       1,        4,
                              4 * ((int32_t)c.pixels.size() + 1), s.data(), s.size()};
        EXPECT_EQ(rgba_of(test_decode(img)), bytes) << c.name;
    }
}

// The literal after 382 equal pixels starts with the last of them.
TEST(ArtEncoder, LeftoverPixelOpensTheLiteral)
{
    std::vector<uint32_t> px = repeat(0xFFFFFFFF, 382) + std::vector<uint32_t>{0x11223344};
    std::vector<uint8_t> bytes(px.size() * 4);
    memcpy(bytes.data(), px.data(), bytes.size());
    const std::vector<uint8_t> s = glimmer_art_rle_encode(bytes.data(), px.size(), 4);
    const std::vector<uint8_t> literal = {0x02, 0xFF, 0xFF, 0xFF, 0xFF,
                                          0x44, 0x33, 0x22, 0x11, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(s.end() - 10, s.end()), literal);
}

} // namespace
