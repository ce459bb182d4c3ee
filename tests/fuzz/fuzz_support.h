// What the fuzz targets share: parameters read off the front of an input, a
// screen of heap memory built from them, and the checks that every drawing
// must pass on it. A failed check prints what broke and aborts, which
// libFuzzer reports as a crash with the input that caused it.
#pragma once

#include "fb/memfb.h"

#include <sanitizer/common_interface_defs.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

// The input, consumed from the front; an exhausted input reads as zeros.
struct FuzzInput {
    const uint8_t *data;
    size_t size;

    uint8_t byte()
    {
        if (size == 0)
            return 0;
        size--;
        return *data++;
    }
    uint32_t u16()
    {
        const uint32_t low = byte();
        return low | (uint32_t)byte() << 8;
    }
    uint32_t u32()
    {
        const uint32_t low = u16();
        return low | u16() << 16;
    }

    // A signed 32-bit value. The selector byte makes the values that matter
    // most to clipping and overflow cheap to reach: small ones, the extremes,
    // and any raw value.
    int32_t number()
    {
        const uint8_t kind = byte();
        switch (kind & 7) {
        case 0:
            return (int8_t)byte();
        case 1:
        case 2:
            return (int16_t)u16();
        case 3:
            return INT_MIN + byte();
        case 4:
            return INT_MAX - byte();
        case 5:
            return (int32_t)u32();
        default:
            return (int32_t)byte() * 4; // a typical picture or screen size
        }
    }
};

// The report goes where the sanitizers report, which stays open when a run
// silences the program's own output (-close_fd_mask).
[[noreturn]] inline void fuzz_fail(const char *what)
{
    char text[256];
    snprintf(text, sizeof text, "glimmer fuzz check failed: %s", what);
    __sanitizer_report_error_summary(text);
    abort();
}

// A screen of up to max_side x max_side device pixels. Two bytes choose the
// rotation, depth, pixel format, row padding, (with two_pages_allowed)
// double buffering, and whether the screen may be large or stays within a
// quarter of max_side, which keeps most runs fast; then come the size and,
// for the generic format, the six channel fields.
inline std::unique_ptr<MemFb> fuzz_screen(FuzzInput &in, int max_side, bool two_pages_allowed)
{
    static const int angles[8] = {0, 90, 180, 270, 45, -90, 360, 0};
    static const int depths[8] = {16, 24, 32, 16, 24, 32, 8, 15};
    const uint8_t a = in.byte(), b = in.byte();
    const int angle = angles[a & 7];
    const int bpp = depths[(a >> 3) & 7];
    const bool two_pages = two_pages_allowed && (a & 0x40) != 0;
    const uint32_t side = (a & 0x80) != 0 ? (uint32_t)max_side : (uint32_t)max_side / 4;
    const FbPixelFormat format = (FbPixelFormat)((b & 7) % 5);
    const int pad = b >> 3;
    const int width = (int)(in.u16() % (side + 1));
    const int height = (int)(in.u16() % (side + 1));
    Channels ch = {};
    if (format == FB_FORMAT_GENERIC)
        ch = {in.byte(), in.byte(), in.byte(), in.byte(), in.byte(), in.byte()};
    return std::make_unique<MemFb>(width, height, bpp, format, angle, pad, two_pages, ch);
}

// Nothing was written around the pages, nor into the padding at the end of
// a device line, on either page.
inline void fuzz_check_bounds(const MemFb &m)
{
    if (!m.guards_intact())
        fuzz_fail("bytes around the pages were written");
    const size_t row = (size_t)m.fb.real_width * (size_t)(m.fb.bpp / 8);
    const size_t stride = (size_t)m.fb.stride;
    const uint8_t *pages = m.memory.data() + m.guard;
    if (stride == 0)
        return;
    for (size_t at = 0; at + stride <= m.memory.size() - 2 * m.guard; at += stride)
        for (size_t i = row; i < stride; i++)
            if (pages[at + i] != 0xA5)
                fuzz_fail("padding after a device line was written");
}

// Every pixel of the drawing page that differs from `before` lies inside the
// damage that the drawing reported, which is all the page flip copies over
// to the other page.
inline void fuzz_check_damage(const MemFb &m, const std::vector<uint8_t> &before)
{
    const size_t B = (size_t)(m.fb.bpp / 8), stride = (size_t)m.fb.stride;
    const FbRect &d = m.fb.damage;
    for (size_t at = 0; at < before.size(); at++) {
        if (m.fb.draw_page[at] == before[at])
            continue;
        const long x = (long)(at % stride / B), y = (long)(at / stride);
        if (!(x >= d.x0 && x < d.x1 && y >= d.y0 && y < d.y1))
            fuzz_fail("a pixel changed outside the reported damage");
    }
}

// Logical coordinates of device pixel (col, line): the pixel rule's
// placement for the rotation, undone.
inline void fuzz_logical(const Framebuffer &fb, long col, long line, long *x, long *y)
{
    const long W = fb.width, H = fb.height;
    switch (fb.rotation) {
    case FB_ROTATE_90:
        *x = W - 1 - line, *y = col;
        break;
    case FB_ROTATE_180:
        *x = W - 1 - col, *y = H - 1 - line;
        break;
    case FB_ROTATE_270:
        *x = line, *y = H - 1 - col;
        break;
    default:
        *x = col, *y = line;
        break;
    }
}

inline void fuzz_check_same(const MemFb &fast, const MemFb &slow)
{
    if (fast.memory == slow.memory)
        return;
    size_t i = 0;
    while (fast.memory[i] == slow.memory[i])
        i++;
    char what[128];
    snprintf(what, sizeof what, "byte %zu differs from the per-pixel reference: %02x, not %02x", i,
             fast.memory[i], slow.memory[i]);
    fuzz_fail(what);
}
