// An in-memory 32-bit drawing page for the art tools: the program's own
// drawing code paints into it, and it is saved as a PNG to look at.
#pragma once

#include "fb/framebuffer.h"
#include "png_write.h"

#include <cstdint>
#include <cstring>
#include <vector>

struct ArtPage {
    Framebuffer fb;
    std::vector<uint8_t> pixels;
};

inline void glimmer_art_page_init(ArtPage *page, int width, int height)
{
    page->pixels.assign((size_t)width * (size_t)height * 4, 0);
    page->fb = Framebuffer{};
    page->fb.width = page->fb.real_width = width;
    page->fb.height = page->fb.real_height = height;
    page->fb.bpp = 32;
    page->fb.stride = width * 4;
    page->fb.draw_page = page->fb.shown_page = page->pixels.data();
    page->fb.format = FB_FORMAT_RGB888;
}

// The page is x8r8g8b8 in the machine's byte order; PNG wants r, g, b, a.
inline bool glimmer_art_page_save(const ArtPage *page, const char *path)
{
    const int w = page->fb.width, h = page->fb.height;
    std::vector<uint8_t> rgba((size_t)w * (size_t)h * 4);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        uint32_t v;
        memcpy(&v, &page->pixels[i], 4);
        rgba[i] = (uint8_t)(v >> 16);
        rgba[i + 1] = (uint8_t)(v >> 8);
        rgba[i + 2] = (uint8_t)v;
        rgba[i + 3] = 255;
    }
    return glimmer_art_write_png(path, rgba.data(), w, h);
}
