// Draws every glyph of the built-in font enlarged, each under its code point,
// and a few sample lines at the real size, and saves the sheet as a PNG.
//
// usage: glimmer_art_glyph_sheet OUT.png [FIRST LAST]
//
// FIRST and LAST (hexadecimal code points) limit the sheet to a range, to
// look at a few glyphs closely.
#include "page.h"

#include "assets/assets.h"
#include "fb/font.h"

#include <cstdio>
#include <cstdlib>

enum {
    SCALE = 5,                // screen pixels per glyph pixel
    COLUMNS = 16,             // glyphs per line of the sheet
    CELL_W = 8 * SCALE + 16,  // room for one glyph and its margin
    CELL_H = 12 * SCALE + 30, // the enlarged glyph and its label above it
    SAMPLE_H = 80,
};

static const uint8_t PAPER[3] = {255, 255, 255};
static const uint8_t CELL[3] = {224, 232, 240}; // the glyph's 8 x 12 cell
static const uint8_t INK[3] = {0, 0, 0};
static const uint8_t LABEL[3] = {200, 40, 40};

static void fill(Framebuffer *fb, int x, int y, int w, int h, const uint8_t *c)
{
    glimmer_fb_fill_rect(fb, x, y, w, h, c[0], c[1], c[2]);
}

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "usage: %s OUT.png [FIRST LAST]\n", argv[0]);
        return 2;
    }
    const unsigned first = argc == 4 ? (unsigned)strtoul(argv[2], nullptr, 16) : 0;
    const unsigned last = argc == 4 ? (unsigned)strtoul(argv[3], nullptr, 16) : 0xFF;
    int count = 0, width;
    const uint32_t *rows;
    for (unsigned cp = first; cp <= last && cp < 0x100; cp++)
        count += glimmer_font_find_glyph(&radon_font, (wchar_t)cp, &width, &rows);
    const int lines = (count + COLUMNS - 1) / COLUMNS;
    ArtPage page;
    glimmer_art_page_init(&page, COLUMNS * CELL_W + 8, lines * CELL_H + SAMPLE_H);
    Framebuffer *fb = &page.fb;
    fill(fb, 0, 0, fb->width, fb->height, PAPER);

    int k = 0;
    for (unsigned cp = first; cp <= last && cp < 0x100; cp++) {
        if (!glimmer_font_find_glyph(&radon_font, (wchar_t)cp, &width, &rows))
            continue;
        const int x = 8 + (k % COLUMNS) * CELL_W, y = (k / COLUMNS) * CELL_H;
        char label[8];
        snprintf(label, sizeof label, "%02X", cp);
        glimmer_fb_draw_text(fb, x, y + 6, LABEL[0], LABEL[1], LABEL[2], &radon_font, label);
        const int top = y + 22;
        fill(fb, x, top, width * SCALE, radon_font.height * SCALE, CELL);
        for (int r = 0; r < radon_font.height; r++)
            for (int c = 0; c < width && c < 32; c++)
                if (rows[r] & (0x80000000u >> c))
                    fill(fb, x + c * SCALE, top + r * SCALE, SCALE - 1, SCALE - 1, INK);
        k++;
    }

    const int y = lines * CELL_H;
    glimmer_fb_draw_text(
        fb, 8, y + 8, INK[0], INK[1], INK[2], &radon_font,
        "The quick brown fox jumps over the lazy dog. 0123456789 (x+y)*2 = 42%\n"
        "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG? #1 @home $5 & {a[i]} <b> ~_|\n"
        "Battery low; please charge the device: 'quoted', \"double\", a/b\\c ^`!");
    printf("%d glyphs\n", k);
    return glimmer_art_page_save(&page, argv[1]) ? 0 : 1;
}
