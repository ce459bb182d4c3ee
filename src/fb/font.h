// Bitmap fonts and text drawing.
#pragma once

#include "fb/framebuffer.h"

#include <cstdint>
#include <cwchar>

// A constant bitmap font. A code point's bucket is (code point & bucket_mask);
// bucket_table gives where that bucket's list of (key, row offset) pairs starts
// in glyph_table, and a 0 key closes the list. A key holds the code point's
// bits above the mask and, under the mask, the glyph's width. Each glyph row is
// one word of row_words, bit 31 the leftmost pixel.
struct BitmapFont {
    const char *name;
    int32_t height;
    uint32_t bucket_mask;
    const int32_t *bucket_table;
    const int32_t *glyph_table;
    const uint32_t *row_words;
};

// True when the font has a glyph for code_point; then *width and *rows are set.
bool glimmer_font_find_glyph(const BitmapFont *font, wchar_t code_point, int *width,
                             const uint32_t **rows);

void glimmer_fb_measure_text(int *width, int *height, const BitmapFont *font, const char *text);
void glimmer_fb_draw_text(Framebuffer *fb, int x, int y, uint8_t red, uint8_t green, uint8_t blue,
                          const BitmapFont *font, const char *text);
// The text enlarged: every glyph pixel a scale x scale square, the cells and
// lines scale times as wide and high as measured.
void glimmer_fb_draw_text_scaled(Framebuffer *fb, int x, int y, uint8_t red, uint8_t green,
                                 uint8_t blue, const BitmapFont *font, const char *text, int scale);
