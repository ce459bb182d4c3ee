// In-memory framebuffers for the artwork tests, and a plain decoder of the
// picture streams that the tests measure the stored pictures with.
#pragma once

#include "fb/framebuffer.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

// A heap-allocated drawing page of the device size for the given logical size
// and angle; every byte starts as 0x5A so that untouched pixels can be told.
struct TestPage {
    std::unique_ptr<Framebuffer> fb;
    std::vector<uint8_t> memory;

    TestPage(int width, int height, int bpp = 32, FbPixelFormat format = FB_FORMAT_RGB888,
             int angle = 0)
        : fb(new Framebuffer())
    {
        fb->rotation = glimmer_fb_rotation_from_degrees(angle);
        const bool turned = fb->rotation == FB_ROTATE_90 || fb->rotation == FB_ROTATE_270;
        fb->width = width;
        fb->height = height;
        fb->real_width = turned ? height : width;
        fb->real_height = turned ? width : height;
        fb->bpp = bpp;
        fb->stride = fb->real_width * (bpp / 8) + 12; // padded, as devices often are
        fb->format = format;
        memory.assign((size_t)fb->stride * (size_t)fb->real_height, 0x5A);
        fb->draw_page = fb->shown_page = memory.data();
    }

    // The 32-bit value at device position (x, y): 0x00RRGGBB for an RGB888
    // page, UNTOUCHED where nothing was drawn.
    uint32_t device(int x, int y) const
    {
        uint32_t v;
        memcpy(&v, &memory[(size_t)y * (size_t)fb->stride + (size_t)x * 4], 4);
        return v;
    }
};

enum : uint32_t { UNTOUCHED = 0x5A5A5A5Au };

// One decoded pixel: its place in the picture and its bytes.
struct DecodedPixel {
    int32_t column, row;
    uint8_t r, g, b, a;
};

// Where a plain decoding of a stream ended.
struct Decoded {
    std::vector<DecodedPixel> pixels;
    int64_t consumed; // bytes read, the stopping header not counted
    int32_t column, row;
    bool end_marker; // stopped at 0x00 or 0x80
};

// Decodes a stream by the format's rules alone: no screen, no clipping.
inline Decoded test_decode(const RleImage &img)
{
    Decoded d = {{}, 0, 0, 0, false};
    const int64_t limit = (int64_t)img.height * img.rowstride;
    const int64_t bpp = img.bytes_per_pixel;
    auto emit = [&](const uint8_t *p) {
        d.pixels.push_back({d.column, d.row, p[0], p[1], p[2], bpp >= 4 ? p[3] : (uint8_t)255});
        if ((d.column + 1) * bpp >= img.rowstride) {
            d.column = 0;
            d.row++;
        } else {
            d.column++;
        }
    };
    if (limit <= 0)
        return d;
    int64_t at = 0;
    while (at < (int64_t)img.size) {
        const unsigned h = img.data[at];
        if (h == 0x00 || h == 0x80) {
            d.end_marker = true;
            break;
        }
        if (h > 0x80) {
            if (at + 1 + bpp > (int64_t)img.size)
                break;
            for (unsigned i = 0; i < h - 0x80; i++)
                emit(img.data + at + 1);
            at += 1 + bpp;
            if (at >= limit)
                break;
        } else {
            at++;
            bool stop = false;
            for (unsigned i = 0; i < h && !stop; i++) {
                if (at + bpp > (int64_t)img.size) {
                    stop = true;
                    break;
                }
                emit(img.data + at);
                at += bpp;
                stop = at >= limit;
            }
            if (stop)
                break;
        }
    }
    d.consumed = at;
    return d;
}
