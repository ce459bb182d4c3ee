// Framebuffer records over heap memory, and a plain per-pixel version of the
// pixel rule that the drawing code's fast paths are checked against.
#pragma once

#include "fb/font.h"
#include "fb/framebuffer.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

struct Channels {
    uint32_t red_offset, red_length, green_offset, green_length, blue_offset, blue_length;
};

inline Channels channels_of(FbPixelFormat format)
{
    switch (format) {
    case FB_FORMAT_RGB565:
        return {11, 5, 5, 6, 0, 5};
    case FB_FORMAT_BGR565:
        return {0, 5, 5, 6, 11, 5};
    case FB_FORMAT_RGB888:
        return {16, 8, 8, 8, 0, 8};
    case FB_FORMAT_BGR888:
        return {0, 8, 8, 8, 16, 8};
    default:
        return {8, 4, 4, 4, 0, 4};
    }
}

// A device of real_width x real_height with `pad` bytes after each line and
// `guard` bytes of poison around the pages, so stray writes show.
struct MemFb {
    Framebuffer fb;
    std::vector<uint8_t> memory;
    size_t guard;
    uint8_t *base; // the first page

    MemFb(int real_width, int real_height, int bpp, FbPixelFormat format, int angle = 0,
          int pad = 0, bool two_pages = false, Channels ch = {}, size_t guard_bytes = 64)
        : guard(guard_bytes)
    {
        memset(&fb, 0, sizeof fb);
        if (format != FB_FORMAT_GENERIC || ch.red_length + ch.green_length + ch.blue_length == 0)
            ch = channels_of(format);
        fb.real_width = real_width;
        fb.real_height = real_height;
        fb.bpp = bpp;
        fb.stride = real_width * (bpp / 8) + pad;
        fb.format = format;
        fb.red_offset = ch.red_offset;
        fb.red_length = ch.red_length;
        fb.green_offset = ch.green_offset;
        fb.green_length = ch.green_length;
        fb.blue_offset = ch.blue_offset;
        fb.blue_length = ch.blue_length;
        fb.rotation = glimmer_fb_rotation_from_degrees(angle);
        fb.width = real_width;
        fb.height = real_height;
        if (fb.rotation == FB_ROTATE_90 || fb.rotation == FB_ROTATE_270) {
            fb.width = real_height;
            fb.height = real_width;
        }
        const size_t page = page_size();
        memory.assign(2 * guard + (two_pages ? 2 : 1) * page, 0xA5);
        base = memory.data() + guard;
        fb.draw_page = fb.shown_page = base;
        if (two_pages) {
            fb.double_buffered = true;
            fb.draw_page = base + page;
        }
    }
    MemFb(const MemFb &) = delete;
    MemFb &operator=(const MemFb &) = delete;

    size_t page_size() const { return (size_t)fb.stride * (size_t)fb.real_height; }
    std::vector<uint8_t> draw_page() const
    {
        return std::vector<uint8_t>(fb.draw_page, fb.draw_page + page_size());
    }
    bool guards_intact() const
    {
        for (size_t i = 0; i < guard; i++)
            if (memory[i] != 0xA5 || memory[memory.size() - 1 - i] != 0xA5)
                return false;
        return true;
    }
};

// The pixel rule, one pixel at a time, written out as plainly as possible.
inline void reference_put_pixel(Framebuffer *fb, int x, int y, uint8_t r, uint8_t g, uint8_t b)
{
    if (x < 0 || x >= fb->width || y < 0 || y >= fb->height)
        return;
    const long B = fb->bpp / 8, S = fb->stride, W = fb->width, H = fb->height;
    long offset;
    if (fb->rotation == FB_ROTATE_90)
        offset = S * (W - 1 - x) + B * y;
    else if (fb->rotation == FB_ROTATE_180)
        offset = S * (H - 1 - y) + B * (W - 1 - x);
    else if (fb->rotation == FB_ROTATE_270)
        offset = S * x + B * (H - 1 - y);
    else
        offset = S * y + B * x;
    uint8_t *p = fb->draw_page + offset;

    const bool rgb = fb->format == FB_FORMAT_RGB565 || fb->format == FB_FORMAT_RGB888;
    const bool bgr = fb->format == FB_FORMAT_BGR565 || fb->format == FB_FORMAT_BGR888;
    uint32_t generic = 0;
    const uint8_t values[3] = {r, g, b};
    const uint32_t offsets[3] = {fb->red_offset, fb->green_offset, fb->blue_offset};
    const uint32_t lengths[3] = {fb->red_length, fb->green_length, fb->blue_length};
    for (int i = 0; i < 3; i++)
        if (lengths[i] >= 1 && lengths[i] <= 8 && offsets[i] < 32)
            generic |= (uint32_t)(values[i] >> (8 - lengths[i])) << offsets[i];

    if (fb->bpp == 16) {
        uint16_t v;
        if (rgb)
            v = (uint16_t)((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3));
        else if (bgr)
            v = (uint16_t)((b >> 3) << 11 | (g >> 2) << 5 | (r >> 3));
        else
            v = (uint16_t)generic;
        memcpy(p, &v, 2);
    } else if (fb->bpp == 24) {
        if (rgb) {
            p[0] = b, p[1] = g, p[2] = r;
        } else if (bgr) {
            p[0] = r, p[1] = g, p[2] = b;
        } else {
            p[0] = (uint8_t)generic, p[1] = (uint8_t)(generic >> 8),
            p[2] = (uint8_t)(generic >> 16);
        }
    } else if (fb->bpp == 32) {
        uint32_t v;
        if (rgb)
            v = (uint32_t)r << 16 | (uint32_t)g << 8 | b;
        else if (bgr)
            v = (uint32_t)b << 16 | (uint32_t)g << 8 | r;
        else
            v = generic;
        memcpy(p, &v, 4);
    }
}

inline void reference_fill_rect(Framebuffer *fb, int x, int y, int w, int h, uint8_t r, uint8_t g,
                                uint8_t b)
{
    for (long yy = y; yy < (long)y + h; yy++)
        for (long xx = x; xx < (long)x + w; xx++)
            if (xx >= INT32_MIN && xx <= INT32_MAX && yy >= INT32_MIN && yy <= INT32_MAX)
                reference_put_pixel(fb, (int)xx, (int)yy, r, g, b);
}

// A scale x scale square of reference pixels for one enlarged pixel at (x, y).
inline void reference_put_square(Framebuffer *fb, long x, long y, int scale, uint8_t r, uint8_t g,
                                 uint8_t b)
{
    for (long yy = y; yy < y + scale; yy++)
        for (long xx = x; xx < x + scale; xx++)
            if (xx >= INT32_MIN && xx <= INT32_MAX && yy >= INT32_MIN && yy <= INT32_MAX)
                reference_put_pixel(fb, (int)xx, (int)yy, r, g, b);
}

// The run-length decoder, step by step as the format describes it, also
// stopping at the end of the bytes; each pixel a scale x scale square.
inline void reference_draw_rle(Framebuffer *fb, int x, int y, const RleImage *img, int scale = 1)
{
    const int32_t bpp = img->bytes_per_pixel;
    const int32_t limit = (int32_t)((uint32_t)img->height * (uint32_t)img->rowstride);
    if (bpp < 3 || limit <= 0)
        return;
    long column = 0, row = 0, at = 0;
    const long size = (long)img->size;
    auto place = [&](const uint8_t *p) {
        if (bpp >= 4 && p[3] == 0)
            return;
        if (column >= img->width)
            return;
        reference_put_square(fb, x + column * scale, y + row * scale, scale, p[0], p[1], p[2]);
    };
    auto move_on = [&] {
        if ((column + 1) * bpp >= img->rowstride) {
            column = 0;
            row++;
        } else {
            column++;
        }
    };
    while (at < size) {
        const unsigned h = img->data[at];
        if (h >= 0x80) {
            const unsigned n = h - 0x80;
            if (n == 0 || at + 1 + bpp > size)
                return;
            for (unsigned i = 0; i < n; i++) {
                place(img->data + at + 1);
                move_on();
            }
            at += 1 + bpp;
            if (at >= limit)
                return;
        } else {
            if (h == 0)
                return;
            at++;
            for (unsigned i = 0; i < h; i++) {
                if (at + bpp > size)
                    return;
                place(img->data + at);
                at += bpp;
                move_on();
                if (at >= limit)
                    return;
            }
        }
    }
}

// Text drawn with a plain glyph lookup and the reference pixel rule; each
// glyph pixel a scale x scale square.
inline void reference_draw_text(Framebuffer *fb, int x, int y, uint8_t r, uint8_t g, uint8_t b,
                                const BitmapFont *font, const char *text, int scale = 1)
{
    size_t left = strlen(text);
    mbtowc(nullptr, nullptr, 0);
    long pen = 0, line = 0;
    for (;;) {
        wchar_t wc;
        const int n = mbtowc(&wc, text, left);
        if (n <= 0)
            return;
        if (*text == '\n') {
            line += (long)font->height * scale;
            pen = 0;
        } else {
            const uint32_t cp = (uint32_t)wc;
            int p = font->bucket_table[cp & font->bucket_mask];
            for (; font->glyph_table[p] != 0; p += 2) {
                const uint32_t key = (uint32_t)font->glyph_table[p];
                if ((key & ~font->bucket_mask) != (cp & ~font->bucket_mask))
                    continue;
                const int w = (int)(key & font->bucket_mask);
                const uint32_t *rows = font->row_words + font->glyph_table[p + 1];
                for (int rr = 0; rr < font->height; rr++)
                    for (int c = 0; c < w && c < 32; c++)
                        if (rows[rr] & (0x80000000u >> c))
                            reference_put_square(fb, x + pen + (long)c * scale,
                                                 y + line + (long)rr * scale, scale, r, g, b);
                pen += (long)w * scale;
                break;
            }
        }
        text += n;
        left -= (size_t)n;
    }
}
