// Text in a bitmap font: measuring and drawing, one character at a time as
// the C library's multibyte conversion decodes it.
#include "fb/font.h"
#include "fb/pixel.h"

#include <cstdlib>
#include <cstring>

bool glimmer_font_find_glyph(const BitmapFont *font, wchar_t code_point, int *width,
                             const uint32_t **rows)
{
    const uint32_t cp = (uint32_t)code_point;
    const uint32_t high = cp & ~font->bucket_mask;
    for (const int32_t *entry = font->glyph_table + font->bucket_table[cp & font->bucket_mask];
         *entry != 0; entry += 2) {
        const uint32_t key = (uint32_t)entry[0];
        if ((key & ~font->bucket_mask) == high) {
            *width = (int)(key & font->bucket_mask);
            *rows = font->row_words + entry[1];
            return true;
        }
    }
    return false;
}

// Walks the characters of text, calling glyph(width, rows) for each one the
// font has and line_break() at each newline. Stops at the end of the text or
// at the first sequence that the conversion rejects.
template <typename Glyph, typename LineBreak>
static void each_char(const BitmapFont *font, const char *text, Glyph glyph, LineBreak line_break)
{
    size_t left = strlen(text);
    (void)mbtowc(nullptr, nullptr, 0);
    for (;;) {
        wchar_t wc;
        const int n = mbtowc(&wc, text, left);
        if (n <= 0)
            return;
        if (*text == '\n') {
            line_break();
        } else {
            int width;
            const uint32_t *rows;
            if (glimmer_font_find_glyph(font, wc, &width, &rows))
                glyph(width, rows);
        }
        text += n;
        left -= (size_t)n;
    }
}

void glimmer_fb_measure_text(int *width, int *height, const BitmapFont *font, const char *text)
{
    int line = 0, widest = 0, lines_height = 0;
    each_char(
        font, text, [&](int w, const uint32_t *) { line += w; },
        [&] {
            if (line > widest)
                widest = line;
            line = 0;
            lines_height += font->height;
        });
    *width = line > widest ? line : widest;
    *height = lines_height != 0 ? lines_height : font->height;
}

// Stores the ink of glyph rows y0..y1-1 (screen lines; the cell's top row at
// line y), columns under `visible` only. The depth is fixed, so each pixel
// is one move. Returns whether anything was written.
template <int B>
static bool ink_rows(uint8_t *page, const FbAxes &a, const FbPen &pen, int64_t x, int64_t y, int y0,
                     int y1, uint32_t visible, const uint32_t *rows)
{
    uint8_t v[B];
    memcpy(v, pen.b, B);
    bool inked = false;
    for (int sy = y0; sy < y1; sy++) {
        uint32_t bits = rows[sy - y] & visible;
        if (!bits)
            continue;
        inked = true;
        // An offset, not a pointer: the cell's left edge may lie off the page.
        const ptrdiff_t line = a.origin + a.step_y * sy + a.step_x * (ptrdiff_t)x;
        while (bits) {
            const int c = __builtin_clz(bits);
            memcpy(page + (line + a.step_x * c), v, B);
            bits &= ~(0x80000000u >> c);
        }
    }
    return inked;
}

// Draws one glyph cell at logical (x, y): clipped once to the screen, then
// every ink pixel stored through the precomputed axes.
static void draw_glyph(Framebuffer *fb, const FbAxes &a, const FbPen &pen, int64_t x, int64_t y,
                       int width, int height, const uint32_t *rows)
{
    FbRect r;
    const int ink_width = width < 32 ? width : 32;
    if (!fb_clip(fb, x, y, ink_width, height, &r))
        return;
    const int c0 = (int)(r.x0 - x), c1 = (int)(r.x1 - x);
    // Columns c0..c1-1 of the glyph are on screen: bit 31 - c is column c.
    const uint32_t visible = (0xFFFFFFFFu >> c0) & ~(c1 >= 32 ? 0u : 0xFFFFFFFFu >> c1);
    bool inked;
    if (pen.bytes == 4)
        inked = ink_rows<4>(fb->draw_page, a, pen, x, y, r.y0, r.y1, visible, rows);
    else if (pen.bytes == 3)
        inked = ink_rows<3>(fb->draw_page, a, pen, x, y, r.y0, r.y1, visible, rows);
    else
        inked = ink_rows<2>(fb->draw_page, a, pen, x, y, r.y0, r.y1, visible, rows);
    if (inked)
        fb_damage_add(fb, fb_device_rect(fb, r));
}

// An enlarged glyph: each run of ink along a row is one fill, scale rows high.
static void draw_glyph_scaled(Framebuffer *fb, const FbPen &pen, int64_t x, int64_t y, int width,
                              int height, const uint32_t *rows, int64_t scale)
{
    const uint32_t columns = width < 32 ? ~(0xFFFFFFFFu >> width) : 0xFFFFFFFFu;
    for (int r = 0; r < height; r++) {
        uint32_t bits = rows[r] & columns;
        while (bits) {
            const int c0 = __builtin_clz(bits);
            const uint32_t rest = ~bits & (0xFFFFFFFFu >> c0); // the gap after this run
            const int c1 = rest ? __builtin_clz(rest) : 32;
            fb_fill_pen(fb, x + c0 * scale, y + r * scale, (c1 - c0) * scale, scale, pen);
            bits &= c1 >= 32 ? 0u : 0xFFFFFFFFu >> c1;
        }
    }
}

void glimmer_fb_draw_text_scaled(Framebuffer *fb, int x, int y, uint8_t red, uint8_t green,
                                 uint8_t blue, const BitmapFont *font, const char *text, int scale)
{
    if (scale == 1) {
        glimmer_fb_draw_text(fb, x, y, red, green, blue, font, text);
        return;
    }
    const FbPen pen = fb_pen(fb, red, green, blue);
    if (scale < 1 || pen.bytes == 0)
        return;
    int64_t pen_x = 0, line_y = 0;
    each_char(
        font, text,
        [&](int w, const uint32_t *rows) {
            if (w > 0 && font->height > 0)
                draw_glyph_scaled(fb, pen, x + pen_x, y + line_y, w, font->height, rows, scale);
            pen_x += (int64_t)w * scale;
        },
        [&] {
            line_y += (int64_t)font->height * scale;
            pen_x = 0;
        });
}

void glimmer_fb_draw_text(Framebuffer *fb, int x, int y, uint8_t red, uint8_t green, uint8_t blue,
                          const BitmapFont *font, const char *text)
{
    const FbPen pen = fb_pen(fb, red, green, blue);
    const FbAxes axes = fb_axes(fb);
    int64_t pen_x = 0, line_y = 0;
    each_char(
        font, text,
        [&](int w, const uint32_t *rows) {
            if (pen.bytes != 0 && w > 0 && font->height > 0)
                draw_glyph(fb, axes, pen, x + pen_x, y + line_y, w, font->height, rows);
            pen_x += w;
        },
        [&] {
            line_y += font->height;
            pen_x = 0;
        });
}
