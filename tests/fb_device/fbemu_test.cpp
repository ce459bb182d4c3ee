// The emulated device itself: that it exists only when configured, answers
// like a driver, and that its control library reads pixels and writes PNG
// files correctly. The other tests rely on all of this.
#include "fb_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace {

TEST_F(FbDeviceTest, DeviceExistsOnlyWhenConfigured)
{
    for (const char *path : {"/dev/fb0", "/dev/fb9"}) {
        SCOPED_TRACE(path);
        errno = 0;
        EXPECT_EQ(open(path, O_RDWR), -1);
        EXPECT_EQ(errno, ENOENT);
        unsetenv("GLIMMER_EMU_DIR");
        errno = 0;
        EXPECT_EQ(openat(AT_FDCWD, path, O_RDWR), -1);
        EXPECT_EQ(errno, ENOENT);
        setenv("GLIMMER_EMU_DIR", dir.path.c_str(), 1);
    }
    configure(small_device(), 9);
    const int fd = open("/dev/fb9", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    struct fb_fix_screeninfo fix;
    ASSERT_EQ(ioctl(fd, FBIOGET_FSCREENINFO, &fix), 0);
    EXPECT_EQ(fix.line_length, 256u);
    EXPECT_EQ(fix.smem_len, 2 * 256u * 48);
    EXPECT_EQ(close(fd), 0);
    // Once closed, the number is an ordinary descriptor again.
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    ASSERT_EQ(dup2(pipe_ends[0], fd), fd);
    struct fb_var_screeninfo var;
    errno = 0;
    EXPECT_EQ(ioctl(fd, FBIOGET_VSCREENINFO, &var), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(log("FBIOGET_VSCREENINFO", 9).size(), 0u);
    close(fd);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

TEST_F(FbDeviceTest, DriverChecksRequests)
{
    FbemuConfig cfg = small_device();
    cfg.put_depths = {16};
    configure(cfg);
    const int fd = open("/dev/fb0", O_RDWR);
    ASSERT_GE(fd, 0);
    struct fb_var_screeninfo var;
    ASSERT_EQ(ioctl(fd, FBIOGET_VSCREENINFO, &var), 0);
    EXPECT_EQ(var.xres, 64u);
    EXPECT_EQ(var.transp.length, 0u);

    struct Case {
        const char *what;
        uint32_t bpp, yres_virtual, yoffset;
        int request;
        int result, err;
    };
    const Case cases[] = {
        {"pan beyond the virtual height", 32, 48, 1, FBEMU_PAN, -1, EINVAL},
        {"depth not offered", 24, 48, 0, FBEMU_PUT_VAR, -1, EINVAL},
        {"virtual height beyond the memory", 32, 97, 0, FBEMU_PUT_VAR, -1, EINVAL},
        {"two pages", 32, 96, 0, FBEMU_PUT_VAR, 0, 0},
        {"pan to the second page", 32, 96, 48, FBEMU_PAN, 0, 0},
        {"pan past the second page", 32, 96, 49, FBEMU_PAN, -1, EINVAL},
        {"depth offered", 16, 96, 0, FBEMU_PUT_VAR, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        struct fb_var_screeninfo v = var;
        v.bits_per_pixel = c.bpp;
        v.yres_virtual = c.yres_virtual;
        v.yoffset = c.yoffset;
        errno = 0;
        EXPECT_EQ(ioctl(fd, fbemu_request_code(c.request), &v), c.result);
        if (c.result == -1) {
            EXPECT_EQ(errno, c.err);
        }
    }
    // The accepted depth change took the requested bitfields and a new line length.
    const FbemuDevice s = state();
    EXPECT_EQ(s.bits_per_pixel, 16u);
    EXPECT_EQ(s.line_length, 128u);
    EXPECT_EQ(s.yres_virtual, 96u);
    EXPECT_EQ(s.pans, 1u);
    EXPECT_EQ(s.calls[FBEMU_PUT_VAR], 4u);

    errno = 0;
    EXPECT_EQ(ioctl(fd, FBIOBLANK, 0), -1);
    EXPECT_EQ(errno, ENOTTY);
    const std::vector<FbemuLogEntry> all = log();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back().name, "ioctl");
    EXPECT_EQ(all.back().error, "ENOTTY");
    close(fd);
}

TEST_F(FbDeviceTest, NthCallFails)
{
    FbemuConfig cfg = small_device();
    cfg.refuse_nth(FBEMU_GET_FIX, 2, EBUSY);
    configure(cfg);
    const int fd = open("/dev/fb0", O_RDWR);
    ASSERT_GE(fd, 0);
    struct fb_fix_screeninfo fix;
    const int expected[] = {0, -1, 0};
    for (int r : expected)
        EXPECT_EQ(ioctl(fd, FBIOGET_FSCREENINFO, &fix), r);
    const std::vector<FbemuLogEntry> gets = log("FBIOGET_FSCREENINFO");
    ASSERT_EQ(gets.size(), 3u);
    EXPECT_EQ(gets[1].result, -1);
    EXPECT_EQ(gets[1].error, "EBUSY");
    EXPECT_EQ(gets[2].result, 0);
    close(fd);
}

TEST(FbemuConfigText, ReadsBackWhatItWrites)
{
    FbemuConfig c;
    c.xres = 800;
    c.yres = 480;
    c.bits_per_pixel = 16;
    c.red = {0, 5};
    c.blue = {11, 5};
    c.green = {5, 6};
    c.smem_start = 0x12345678;
    c.line_length = 1664;
    c.put_depths = {24};
    c.refuse(FBEMU_VSYNC, ENOTTY).refuse_nth(FBEMU_PAN, 3, EIO).answer(FBEMU_PUT_VAR, 2);
    FbemuDevice d, again;
    char err[128];
    ASSERT_TRUE(fbemu_device_parse(&d, glimmer_fbemu_config_text(c).c_str(), err, sizeof err))
        << err;
    EXPECT_EQ(d.xres, 800u);
    EXPECT_EQ(d.yres_virtual, 480u);
    EXPECT_EQ(d.line_length, 1664u);
    EXPECT_EQ(d.line_length_follows, 0);
    EXPECT_EQ(d.smem_start, 0x12345678u);
    EXPECT_EQ(d.blue.offset, 11u);
    EXPECT_EQ(d.put_depths, (uint64_t)1 << 24);
    ASSERT_EQ(d.refusal_count, 3);
    EXPECT_EQ(d.refusals[1].nth, 3u);
    EXPECT_EQ(d.refusals[1].err, EIO);
    EXPECT_EQ(d.refusals[2].result, 2);

    char text[8192];
    ASSERT_GT(fbemu_device_format(&d, text, sizeof text), 0);
    ASSERT_TRUE(fbemu_device_parse(&again, text, err, sizeof err)) << err;
    EXPECT_EQ(memcmp(&d, &again, sizeof d), 0);

    EXPECT_FALSE(fbemu_device_parse(&d, "xres 12 13\n", err, sizeof err));
    EXPECT_FALSE(fbemu_device_parse(&d, "refuse FBIOPAN_DISPLAY ENOSUCH\n", err, sizeof err));
    EXPECT_FALSE(fbemu_device_parse(&d, "bogus 1\n", err, sizeof err));
}

TEST(FbemuChecksums, MatchKnownValues)
{
    const uint8_t iend[] = {'I', 'E', 'N', 'D'};
    EXPECT_EQ(glimmer_fbemu_crc32(iend, 4), 0xAE426082u);
    const char *check = "123456789";
    EXPECT_EQ(glimmer_fbemu_crc32((const uint8_t *)check, 9), 0xCBF43926u);
    const char *wiki = "Wikipedia";
    EXPECT_EQ(glimmer_fbemu_adler32((const uint8_t *)wiki, 9), 0x11E60398u);
}

static uint32_t be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

TEST(FbemuPng, HoldsThePixelsInValidChunks)
{
    // Wide enough that the data needs more than one stored block.
    FbemuImage image;
    image.width = 301;
    image.height = 97;
    for (int y = 0; y < image.height; y++)
        for (int x = 0; x < image.width; x++)
            image.pixels.push_back({(uint8_t)x, (uint8_t)y, (uint8_t)(x ^ y)});
    const std::vector<uint8_t> png = glimmer_fbemu_png(image);
    const uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    ASSERT_GT(png.size(), 8u);
    ASSERT_EQ(memcmp(png.data(), signature, 8), 0);

    std::vector<std::string> types;
    std::vector<uint8_t> idat;
    size_t at = 8;
    while (at + 12 <= png.size()) {
        const uint32_t len = be32(&png[at]);
        ASSERT_LE(at + 12 + len, png.size());
        const std::string type((const char *)&png[at + 4], 4);
        types.push_back(type);
        EXPECT_EQ(be32(&png[at + 8 + len]), glimmer_fbemu_crc32(&png[at + 4], 4 + len)) << type;
        if (type == "IHDR") {
            EXPECT_EQ(be32(&png[at + 8]), 301u);
            EXPECT_EQ(be32(&png[at + 12]), 97u);
            EXPECT_EQ(png[at + 16], 8);
            EXPECT_EQ(png[at + 17], 2);
        }
        if (type == "IDAT")
            idat.insert(idat.end(), png.begin() + (ptrdiff_t)at + 8,
                        png.begin() + (ptrdiff_t)(at + 8 + len));
        at += 12 + len;
    }
    EXPECT_EQ(at, png.size());
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));

    // Undo the stored blocks.
    ASSERT_GE(idat.size(), 6u);
    EXPECT_EQ((idat[0] * 256 + idat[1]) % 31, 0); // zlib header check
    std::vector<uint8_t> raw;
    size_t p = 2;
    bool last = false;
    int blocks = 0;
    while (!last) {
        ASSERT_LE(p + 5, idat.size());
        last = idat[p] & 1;
        ASSERT_EQ(idat[p] >> 1 & 3, 0) << "not a stored block";
        const uint32_t len = idat[p + 1] | idat[p + 2] << 8;
        const uint32_t nlen = idat[p + 3] | idat[p + 4] << 8;
        ASSERT_EQ(len ^ 0xFFFF, nlen);
        ASSERT_LE(p + 5 + len, idat.size());
        raw.insert(raw.end(), idat.begin() + (ptrdiff_t)p + 5,
                   idat.begin() + (ptrdiff_t)(p + 5 + len));
        p += 5 + len;
        blocks++;
    }
    EXPECT_GT(blocks, 1);
    ASSERT_EQ(p + 4, idat.size());
    EXPECT_EQ(be32(&idat[p]), glimmer_fbemu_adler32(raw.data(), raw.size()));
    ASSERT_EQ(raw.size(), 97u * (1 + 301 * 3));
    for (int y = 0; y < 97; y++) {
        const uint8_t *row = &raw[(size_t)y * (1 + 301 * 3)];
        ASSERT_EQ(row[0], 0);
        for (int x = 0; x < 301; x++) {
            ASSERT_EQ(row[1 + 3 * x], (uint8_t)x);
            ASSERT_EQ(row[2 + 3 * x], (uint8_t)y);
            ASSERT_EQ(row[3 + 3 * x], (uint8_t)(x ^ y));
        }
    }
}

TEST(FbemuDecode, WidensChannelsByTheBitfields)
{
    struct Case {
        const char *what;
        uint32_t bpp;
        FbemuField red, green, blue;
        uint32_t value;
        FbemuRgb rgb;
    };
    const Case cases[] = {
        {"565 white", 16, {11, 5}, {5, 6}, {0, 5}, 0xFFFF, {255, 255, 255}},
        {"565 red", 16, {11, 5}, {5, 6}, {0, 5}, 0xF800, {255, 0, 0}},
        {"565 mid green", 16, {11, 5}, {5, 6}, {0, 5}, 0x0400, {0, 130, 0}},
        {"bgr565", 16, {0, 5}, {5, 6}, {11, 5}, 0x001F, {255, 0, 0}},
        {"888", 32, {16, 8}, {8, 8}, {0, 8}, 0xAB123456, {0x12, 0x34, 0x56}},
        {"bgr888", 24, {0, 8}, {8, 8}, {16, 8}, 0x123456, {0x56, 0x34, 0x12}},
        {"444", 16, {8, 4}, {4, 4}, {0, 4}, 0x0F10, {255, 17, 0}},
        {"ten bits", 32, {20, 10}, {10, 10}, {0, 10}, 0x3FF00000, {255, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FbemuDevice d;
        memset(&d, 0, sizeof d);
        d.bits_per_pixel = c.bpp;
        d.red = c.red;
        d.green = c.green;
        d.blue = c.blue;
        EXPECT_EQ(glimmer_fbemu_decode_value(d, c.value), c.rgb);
    }
}

TEST(FbemuDecode, ReadsPixelsAtTheirByteOffsets)
{
    FbemuDevice d;
    char err[64];
    ASSERT_TRUE(fbemu_device_parse(&d,
                                   "xres 4\nyres 2\nbits_per_pixel 24\nline_length 16\n"
                                   "smem_start 4099\nsmem_len 80\n",
                                   err, sizeof err));
    std::vector<uint8_t> memory(80, 0);
    // Device pixel (2, 1) of page 1: offset 3 + 16 * 3 + 3 * 2.
    memory[3 + 48 + 6] = 0x30;
    memory[3 + 48 + 7] = 0x20;
    memory[3 + 48 + 8] = 0x10;
    uint32_t v = 0;
    ASSERT_TRUE(glimmer_fbemu_pixel_value(d, memory, 2, 3, &v));
    EXPECT_EQ(v, 0x102030u);
    EXPECT_TRUE(glimmer_fbemu_pixel_value(d, memory, 3, 4, &v));  // ends at the last byte
    EXPECT_FALSE(glimmer_fbemu_pixel_value(d, memory, 0, 5, &v)); // past the memory
    FbemuImage page;
    ASSERT_TRUE(glimmer_fbemu_decode_lines(d, memory, 2, &page));
    EXPECT_EQ(page.at(2, 1), (FbemuRgb{0x10, 0x20, 0x30}));
    EXPECT_EQ(page.at(1, 1), (FbemuRgb{0, 0, 0}));
}

} // namespace
