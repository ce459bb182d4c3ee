// Text: any bytes (cut at the first NUL), any position, on any screen, with
// the built-in font. The drawing is compared with the per-pixel reference;
// the measured size is compared with a plain walk over the glyph tables, and
// every ink pixel must lie in the measured box: the box's width is the pen's
// advance along the widest line, and its rows are one font height per line.
#include "fuzz_support.h"

#include "assets/assets.h"

#include <cstring>

namespace {

struct Extent {
    long width, line_breaks;
};

// Width of the widest line and the number of line breaks, by the glyph
// tables as they are laid out, up to the end of the text or the first
// sequence the C library rejects.
Extent plain_extent(const BitmapFont *font, const char *text)
{
    Extent e = {0, 0};
    long line = 0;
    size_t left = strlen(text);
    (void)mbtowc(nullptr, nullptr, 0);
    for (;;) {
        wchar_t wc;
        const int n = mbtowc(&wc, text, left);
        if (n <= 0)
            break;
        if (*text == '\n') {
            e.line_breaks++;
            line = 0;
        } else {
            const uint32_t cp = (uint32_t)wc;
            for (int p = font->bucket_table[cp & font->bucket_mask]; font->glyph_table[p] != 0;
                 p += 2)
                if (((uint32_t)font->glyph_table[p] & ~font->bucket_mask) ==
                    (cp & ~font->bucket_mask)) {
                    line += (long)((uint32_t)font->glyph_table[p] & font->bucket_mask);
                    break;
                }
        }
        if (line > e.width)
            e.width = line;
        text += n;
        left -= (size_t)n;
    }
    return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in = {data, size}, again = in;
    const std::unique_ptr<MemFb> fast = fuzz_screen(in, 160, false);
    const std::unique_ptr<MemFb> slow = fuzz_screen(again, 160, false);
    const int x = in.number(), y = in.number();
    const uint8_t r = in.byte(), g = in.byte(), b = in.byte();
    // An exact-size copy, so that reading past the NUL is a heap overflow.
    const std::unique_ptr<char[]> text(new char[in.size + 1]);
    memcpy(text.get(), in.data, in.size);
    text[in.size] = '\0';

    const BitmapFont *font = &radon_font;
    int w = -1, h = -1;
    glimmer_fb_measure_text(&w, &h, font, text.get());
    const Extent e = plain_extent(font, text.get());
    if (w != e.width || h != font->height * (e.line_breaks > 0 ? e.line_breaks : 1))
        fuzz_fail("the measured size is not the glyphs' advance and the lines' height");

    const std::vector<uint8_t> before = fast->draw_page();
    glimmer_fb_draw_text(&fast->fb, x, y, r, g, b, font, text.get());
    reference_draw_text(&slow->fb, x, y, r, g, b, font, text.get());
    fuzz_check_bounds(*fast);
    fuzz_check_damage(*fast, before);
    fuzz_check_same(*fast, *slow);

    // The built-in glyphs are at most 8 wide, so all their columns can ink.
    const Framebuffer &fb = fast->fb;
    const size_t B = (size_t)(fb.bpp / 8), stride = (size_t)fb.stride;
    for (size_t at = 0; at < before.size(); at++) {
        if (fb.draw_page[at] == before[at])
            continue;
        long px, py;
        fuzz_logical(fb, (long)(at % stride / B), (long)(at / stride), &px, &py);
        if (px < x || px >= (long)x + w || py < y ||
            py >= (long)y + font->height * (e.line_breaks + 1))
            fuzz_fail("ink outside the measured box");
    }
    return 0;
}
