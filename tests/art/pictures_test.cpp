// The built-in pictures, whichever the build has: their streams decode to
// whole pictures and re-encode to the same bytes; the frame keeps its shape.
// What the default artwork looks like is its generators' business
// (art_generated_sources_current ties the stored sources to them).
#include "test_page.h"

#include "assets/assets.h"
#include "tools/art/rle_encode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Picture {
    const char *name;
    const RleImage *image;
};

const Picture PICTURES[] = {
    {"splash_image", &splash_image},
    {"bar_frame_image", &bar_frame_image},
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

class StoredPicture : public testing::TestWithParam<Picture> {};

TEST_P(StoredPicture, DecodesToWholePictureAndEndsAtItsMarker)
{
    const RleImage &img = *GetParam().image;
    EXPECT_EQ(img.bytes_per_pixel, 4);
    EXPECT_EQ(img.rowstride, img.width * 4);

    const Decoded d = test_decode(img);
    EXPECT_TRUE(d.end_marker);
    EXPECT_EQ(d.pixels.size(), (size_t)img.width * (size_t)img.height);
    EXPECT_EQ(d.column, 0);
    EXPECT_EQ(d.row, img.height);
    // The marker is the last byte.
    ASSERT_EQ((size_t)d.consumed + 1, img.size);
    EXPECT_EQ(img.data[d.consumed], 0x00);
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

// Whatever its colours, every corner of the frame mirrors the top-left one,
// and the outline's straight edges are one colour.
TEST(BarFrame, CornersMirrorAndEdgesAreUniform)
{
    const RleImage &img = bar_frame_image;
    const Decoded d = test_decode(img);
    ASSERT_EQ(d.pixels.size(), (size_t)img.width * (size_t)img.height);
    const int W = img.width, H = img.height;
    auto px = [&](int x, int y) { return rgb(d.pixels[(size_t)y * (size_t)W + (size_t)x]); };
    const int corner = 7;
    for (int r = 0; r < corner; r++)
        for (int c = 0; c < corner; c++) {
            ASSERT_EQ(px(c, r), px(W - 1 - c, r)) << c << "," << r;
            ASSERT_EQ(px(c, r), px(c, H - 1 - r)) << c << "," << r;
        }
    const uint32_t outline = px(W / 2, 0);
    for (int x = 8; x < W - 8; x++)
        for (int y : {0, 3, H - 4, H - 1})
            ASSERT_EQ(px(x, y), outline) << x << "," << y;
    for (int y = 8; y < H - 8; y++)
        for (int x : {0, 3, W - 4, W - 1})
            ASSERT_EQ(px(x, y), outline) << x << "," << y;
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
