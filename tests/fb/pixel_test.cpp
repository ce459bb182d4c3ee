// The pixel rule on heap pages: packing, addressing under rotation, clipping,
// and the rectangle fill.
#include "memfb.h"

#include <gtest/gtest.h>

namespace {

uint32_t read_pixel(const MemFb &m, int device_x, int device_y)
{
    const uint8_t *p = m.fb.draw_page + (size_t)m.fb.stride * device_y + (m.fb.bpp / 8) * device_x;
    uint32_t v = 0;
    memcpy(&v, p, (size_t)m.fb.bpp / 8);
    return v;
}

struct PackCase {
    const char *name;
    FbPixelFormat format;
    int bpp;
    Channels channels;
    uint8_t r, g, b;
    uint32_t expected; // the value in memory, read little-endian over bpp/8 bytes
};

const PackCase pack_cases[] = {
    {"rgb16_red", FB_FORMAT_RGB565, 16, {}, 255, 24, 0, 0xF8C0},
    {"bgr16_red", FB_FORMAT_BGR565, 16, {}, 255, 24, 0, 0x00DF},
    {"rgb32_red", FB_FORMAT_RGB888, 32, {}, 255, 24, 0, 0x00FF1800},
    {"bgr32_red", FB_FORMAT_BGR888, 32, {}, 255, 24, 0, 0x000018FF},
    {"rgb24_red_bytes_b_g_r", FB_FORMAT_RGB888, 24, {}, 255, 24, 0, 0xFF1800},
    {"bgr24_red_bytes_r_g_b", FB_FORMAT_BGR888, 24, {}, 255, 24, 0, 0x0018FF},
    {"rgb16_light", FB_FORMAT_RGB565, 16, {}, 236, 236, 225, 0xEF7C},
    {"bgr16_light", FB_FORMAT_BGR565, 16, {}, 236, 236, 225, 0xE77D},
    {"rgb16_white", FB_FORMAT_RGB565, 16, {}, 255, 255, 255, 0xFFFF},
    // The class's own depth is not consulted: a 565 layout at 32 bpp packs 8,8,8.
    {"rgb565_class_at_32bpp", FB_FORMAT_RGB565, 32, {}, 1, 2, 3, 0x00010203},
    {"bgr888_class_at_16bpp", FB_FORMAT_BGR888, 16, {}, 255, 0, 0, 0x001F},
    {"generic16_444", FB_FORMAT_GENERIC, 16, {8, 4, 4, 4, 0, 4}, 255, 24, 0, 0x0F10},
    {"generic32_10bit_channels_write_0",
     FB_FORMAT_GENERIC,
     32,
     {20, 10, 10, 10, 0, 10},
     255,
     255,
     255,
     0},
    {"generic32_zero_length_channel",
     FB_FORMAT_GENERIC,
     32,
     {24, 8, 16, 0, 0, 8},
     0x12,
     0xFF,
     0x34,
     0x12000034},
    {"generic32_offset_32_ignored",
     FB_FORMAT_GENERIC,
     32,
     {32, 8, 8, 8, 0, 8},
     0xFF,
     0x56,
     0x78,
     0x5678},
    {"generic16_cut_to_low_16_bits",
     FB_FORMAT_GENERIC,
     16,
     {16, 8, 8, 8, 0, 8},
     0xFF,
     0x56,
     0x78,
     0x5678},
    {"generic24_three_bytes_low_first",
     FB_FORMAT_GENERIC,
     24,
     {0, 8, 8, 8, 16, 8},
     0x11,
     0x22,
     0x33,
     0x332211},
};

class Packing : public testing::TestWithParam<PackCase> {};

TEST_P(Packing, StoresTheDeviceValue)
{
    const PackCase &c = GetParam();
    MemFb m(4, 3, c.bpp, c.format, 0, 0, false, c.channels);
    memset(m.fb.draw_page, 0xEE, m.page_size());
    glimmer_fb_put_pixel(&m.fb, 1, 2, c.r, c.g, c.b);
    EXPECT_EQ(read_pixel(m, 1, 2), c.expected);
    EXPECT_EQ(read_pixel(m, 0, 2) & 0xFF, 0xEEu) << "neighbour touched";
    EXPECT_EQ(read_pixel(m, 2, 2) & 0xFF, 0xEEu) << "neighbour touched";
}

INSTANTIATE_TEST_SUITE_P(Formats, Packing, testing::ValuesIn(pack_cases),
                         [](const auto &case_info) { return std::string(case_info.param.name); });

TEST(Packing, TransparencyByteOfA32BitDeviceIsWrittenZero)
{
    MemFb m(2, 2, 32, FB_FORMAT_RGB888);
    memset(m.fb.draw_page, 0xFF, m.page_size());
    glimmer_fb_put_pixel(&m.fb, 0, 0, 1, 2, 3);
    EXPECT_EQ(m.fb.draw_page[3], 0);
}

TEST(Packing, DepthsOtherThan16_24_32WriteNothing)
{
    for (int bpp : {8, 12, 15, 64}) {
        MemFb m(4, 4, bpp == 12 || bpp == 15 ? 16 : bpp, FB_FORMAT_RGB888);
        m.fb.bpp = bpp;
        const auto before = m.draw_page();
        glimmer_fb_put_pixel(&m.fb, 1, 1, 255, 255, 255);
        glimmer_fb_fill_rect(&m.fb, 0, 0, 4, 4, 255, 255, 255);
        EXPECT_EQ(m.draw_page(), before) << bpp << " bpp";
    }
}

struct AddressCase {
    const char *name;
    int angle;
    int x, y;               // logical
    int device_x, device_y; // where it must land
};

// An 8 x 5 device: logical 5 x 8 at 90 and 270 degrees.
const AddressCase address_cases[] = {
    {"a0_origin", 0, 0, 0, 0, 0},
    {"a0_corner", 0, 7, 4, 7, 4},
    {"a90_origin_is_last_line", 90, 0, 0, 0, 4},
    {"a90_far_corner_is_line_0", 90, 4, 7, 7, 0},
    {"a90_x_moves_up", 90, 2, 1, 1, 2},
    {"a180_origin_is_last_pixel", 180, 0, 0, 7, 4},
    {"a180_corner", 180, 7, 4, 0, 0},
    {"a270_origin_is_last_column", 270, 0, 0, 7, 0},
    {"a270_x_moves_down", 270, 3, 1, 6, 3},
    {"a45_like_0", 45, 3, 2, 3, 2},
    {"a_minus90_like_0", -90, 3, 2, 3, 2},
    {"a450_like_0", 450, 6, 1, 6, 1},
};

class Addressing : public testing::TestWithParam<AddressCase> {};

TEST_P(Addressing, LogicalPixelLandsOnItsDevicePixel)
{
    const AddressCase &c = GetParam();
    for (int pad : {0, 12}) {
        MemFb m(8, 5, 32, FB_FORMAT_RGB888, c.angle, pad);
        memset(m.fb.draw_page, 0, m.page_size());
        glimmer_fb_put_pixel(&m.fb, c.x, c.y, 0x12, 0x34, 0x56);
        EXPECT_EQ(read_pixel(m, c.device_x, c.device_y), 0x123456u) << "pad " << pad;
        int written = 0;
        for (int y = 0; y < 5; y++)
            for (int x = 0; x < 8; x++)
                written += read_pixel(m, x, y) != 0;
        EXPECT_EQ(written, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Angles, Addressing, testing::ValuesIn(address_cases),
                         [](const auto &case_info) { return std::string(case_info.param.name); });

TEST(Addressing, Angle90On800x480AsDocumented)
{
    MemFb m(800, 480, 16, FB_FORMAT_RGB565, 90);
    ASSERT_EQ(m.fb.width, 480);
    ASSERT_EQ(m.fb.height, 800);
    memset(m.fb.draw_page, 0, m.page_size());
    glimmer_fb_put_pixel(&m.fb, 0, 0, 255, 255, 255);
    glimmer_fb_put_pixel(&m.fb, 479, 799, 255, 255, 255);
    EXPECT_EQ(read_pixel(m, 0, 479), 0xFFFFu);
    EXPECT_EQ(read_pixel(m, 799, 0), 0xFFFFu);
}

struct ClipCase {
    const char *name;
    int x, y, w, h;
    int expected_pixels; // on a 16 x 10 screen
};

const ClipCase clip_cases[] = {
    {"inside", 2, 3, 4, 5, 20},
    {"whole_screen", 0, 0, 16, 10, 160},
    {"left_edge_cut", -10, 0, 20, 1, 10},
    {"top_edge_cut", 0, -3, 2, 5, 4},
    {"right_edge_cut", 14, 0, 10, 2, 4},
    {"bottom_edge_cut", 0, 8, 1, 10, 2},
    {"larger_than_screen", -5, -5, 100, 100, 160},
    {"wholly_left", -20, 0, 10, 5, 0},
    {"wholly_below", 0, 10, 5, 5, 0},
    {"zero_width", 3, 3, 0, 5, 0},
    {"zero_height", 3, 3, 5, 0, 0},
    {"negative_width", 10, 3, -5, 5, 0},
    {"negative_height", 3, 8, 5, -4, 0},
    {"huge_extent_no_overflow", 2147483600, 0, 1000, 1, 0},
    {"int_min_origin", INT32_MIN, INT32_MIN, 2147483647, 2147483647, 0},
};

class Clipping : public testing::TestWithParam<ClipCase> {};

TEST_P(Clipping, FillWritesOnlyOnScreenPixels)
{
    const ClipCase &c = GetParam();
    for (int angle : {0, 90, 180, 270}) {
        MemFb m(angle == 90 || angle == 270 ? 10 : 16, angle == 90 || angle == 270 ? 16 : 10, 32,
                FB_FORMAT_RGB888, angle, 8);
        memset(m.fb.draw_page, 0, m.page_size());
        glimmer_fb_fill_rect(&m.fb, c.x, c.y, c.w, c.h, 1, 1, 1);
        int written = 0;
        for (int y = 0; y < m.fb.real_height; y++)
            for (int x = 0; x < m.fb.real_width; x++)
                written += read_pixel(m, x, y) == 0x010101u;
        EXPECT_EQ(written, c.expected_pixels) << "angle " << angle;
        // Nothing in the line padding, nothing outside the page.
        for (int y = 0; y < m.fb.real_height; y++)
            for (int i = m.fb.real_width * 4; i < m.fb.stride; i++)
                ASSERT_EQ(m.fb.draw_page[y * m.fb.stride + i], 0) << "padding written";
        EXPECT_TRUE(m.guards_intact());
    }
}

INSTANTIATE_TEST_SUITE_P(Rects, Clipping, testing::ValuesIn(clip_cases),
                         [](const auto &case_info) { return std::string(case_info.param.name); });

TEST(Fill, WholeScreenWhiteAt16BitLeavesTheOtherPage)
{
    MemFb m(40, 30, 16, FB_FORMAT_RGB565, 0, 0, true);
    memset(m.base, 0, 2 * m.page_size());
    glimmer_fb_fill_rect(&m.fb, 0, 0, m.fb.width, m.fb.height, 255, 255, 255);
    for (size_t i = 0; i < m.page_size(); i++) {
        ASSERT_EQ(m.fb.draw_page[i], 0xFF);
        ASSERT_EQ(m.fb.shown_page[i], 0x00);
    }
}

TEST(Fill, LeftEdgeCutWritesColumns0To9)
{
    MemFb m(16, 4, 24, FB_FORMAT_RGB888);
    memset(m.fb.draw_page, 0, m.page_size());
    glimmer_fb_fill_rect(&m.fb, -10, 1, 20, 1, 9, 9, 9);
    for (int x = 0; x < 16; x++)
        EXPECT_EQ(m.fb.draw_page[m.fb.stride + 3 * x], x < 10 ? 9 : 0) << "column " << x;
}

} // namespace
