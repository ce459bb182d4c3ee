// Renders the full-screen picture: two red lines of anti-aliased sans-serif
// text on white, the first column transparent, and writes it as an encoded
// picture source (and, on request, as a PNG to look at).
//
// usage: glimmer_art_splash [--font FILE.ttf] [--png OUT.png] OUTPUT.cpp
#include "png_write.h"
#include "rle_encode.h"
#include "rle_source.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

enum { SPLASH_WIDTH = 800, SPLASH_HEIGHT = 480, CAP_HEIGHT = 31 };

static const char DEFAULT_FONT[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

static const uint8_t INK_GREEN = 24; // the ink is (255, 24, 0); red stays 255 over white

struct Line {
    const char *text;
    int baseline;  // last row of a capital
    double centre; // column on which the ink is centred
};

static const Line LINES[] = {
    {"Battery low", 235, 401.0},
    {"Please charge the device", 284, 400.5},
};

// Ink coverage of one line, 0 to 255, in a box of its own.
struct Coverage {
    int left, top, width, height; // box position relative to the pen origin
    std::vector<uint8_t> a;
    std::vector<std::pair<char, int>> glyph_rows; // first row and rows of each glyph
};

struct InkBox {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
};

static bool load_glyph(FT_Face face, unsigned char ch)
{
    const FT_UInt index = FT_Get_Char_Index(face, ch);
    return FT_Load_Glyph(face, index, FT_LOAD_DEFAULT) == 0 &&
           FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL) == 0;
}

// Rows that the capital B covers at the face's current size.
static int capital_rows(FT_Face face)
{
    if (!load_glyph(face, 'B'))
        return -1;
    return (int)face->glyph->bitmap.rows;
}

// Lays the line out from pen origin (0, 0), the baseline lying under row -1.
static Coverage render_line(FT_Face face, const char *text)
{
    struct Placed {
        int x, y, w, h, pitch;
        std::vector<uint8_t> bits;
    };
    std::vector<Placed> placed;
    Coverage c;
    long pen = 0; // 26.6
    FT_UInt previous = 0;
    for (const char *s = text; *s; s++) {
        const FT_UInt index = FT_Get_Char_Index(face, (unsigned char)*s);
        if (previous && FT_HAS_KERNING(face)) {
            FT_Vector k;
            if (FT_Get_Kerning(face, previous, index, FT_KERNING_DEFAULT, &k) == 0)
                pen += k.x;
        }
        if (!load_glyph(face, (unsigned char)*s))
            continue;
        const FT_GlyphSlot g = face->glyph;
        Placed p;
        p.x = (int)((pen + 32) >> 6) + g->bitmap_left;
        p.y = -g->bitmap_top;
        p.w = (int)g->bitmap.width;
        p.h = (int)g->bitmap.rows;
        p.pitch = g->bitmap.pitch;
        p.bits.assign(g->bitmap.buffer, g->bitmap.buffer + (size_t)p.h * (size_t)abs(p.pitch));
        placed.push_back(p);
        c.glyph_rows.push_back({*s, p.y}), c.glyph_rows.push_back({*s, p.h});
        pen += g->advance.x;
        previous = index;
    }
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -(1 << 30), y1 = -(1 << 30);
    for (const Placed &p : placed) {
        x0 = std::min(x0, p.x);
        y0 = std::min(y0, p.y);
        x1 = std::max(x1, p.x + p.w);
        y1 = std::max(y1, p.y + p.h);
    }
    c.left = x0;
    c.top = y0;
    c.width = x1 - x0;
    c.height = y1 - y0;
    c.a.assign((size_t)c.width * (size_t)c.height, 0);
    for (const Placed &p : placed)
        for (int y = 0; y < p.h; y++)
            for (int x = 0; x < p.w; x++) {
                const uint8_t v = p.bits[(size_t)y * (size_t)abs(p.pitch) + (size_t)x];
                uint8_t &dst =
                    c.a[(size_t)(p.y + y - y0) * (size_t)c.width + (size_t)(p.x + x - x0)];
                dst = std::max(dst, v); // where glyphs touch, the darker edge wins
            }
    return c;
}

// Ink box of a coverage map, in its own coordinates.
static InkBox ink_box(const Coverage &c)
{
    InkBox b;
    for (int y = 0; y < c.height; y++)
        for (int x = 0; x < c.width; x++)
            if (c.a[(size_t)y * (size_t)c.width + (size_t)x]) {
                b.x0 = std::min(b.x0, x);
                b.y0 = std::min(b.y0, y);
                b.x1 = std::max(b.x1, x);
                b.y1 = std::max(b.y1, y);
            }
    return b;
}

int main(int argc, char **argv)
{
    const char *font_path = DEFAULT_FONT, *png_path = nullptr, *out_path = nullptr;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--font") && i + 1 < argc)
            font_path = argv[++i];
        else if (!strcmp(argv[i], "--png") && i + 1 < argc)
            png_path = argv[++i];
        else if (argv[i][0] != '-' && !out_path)
            out_path = argv[i];
        else
            out_path = nullptr, i = argc;
    }
    if (!out_path) {
        fprintf(stderr, "usage: %s [--font FILE.ttf] [--png OUT.png] OUTPUT.cpp\n", argv[0]);
        return 2;
    }

    FT_Library lib;
    FT_Face face;
    if (FT_Init_FreeType(&lib) || FT_New_Face(lib, font_path, 0, &face)) {
        fprintf(stderr, "%s: cannot load the face\n", font_path);
        return 1;
    }
    // The smallest pixel size whose capital B is CAP_HEIGHT rows tall.
    int size = 0;
    for (int s = 20; s <= 60 && !size; s++) {
        if (FT_Set_Pixel_Sizes(face, 0, (FT_UInt)s))
            break;
        if (capital_rows(face) == CAP_HEIGHT)
            size = s;
    }
    if (!size) {
        fprintf(stderr, "%s: no pixel size gives a %d-row capital\n", font_path, CAP_HEIGHT);
        return 1;
    }
    printf("pixel size %d\n", size);

    std::vector<uint8_t> rgba((size_t)SPLASH_WIDTH * SPLASH_HEIGHT * 4, 255);
    for (int y = 0; y < SPLASH_HEIGHT; y++)
        memset(&rgba[(size_t)y * SPLASH_WIDTH * 4], 0, 4); // column 0 is transparent

    for (const Line &line : LINES) {
        const Coverage c = render_line(face, line.text);
        const InkBox b = ink_box(c);
        const int ink_width = b.x1 - b.x0 + 1;
        // The ink's left column that puts its middle nearest the wanted centre.
        const int left = (int)std::lround(line.centre - (ink_width - 1) / 2.0 - 0.01);
        const int dx = left - b.x0;
        const int dy = line.baseline + 1 + c.top; // the pen origin sits under the baseline row
        for (int y = 0; y < c.height; y++)
            for (int x = 0; x < c.width; x++) {
                const unsigned a = c.a[(size_t)y * (size_t)c.width + (size_t)x];
                if (!a)
                    continue;
                uint8_t *p = &rgba[((size_t)(y + dy) * SPLASH_WIDTH + (size_t)(x + dx)) * 4];
                p[0] = 255;
                p[1] = (uint8_t)(255 - (a * (255 - INK_GREEN) + 127) / 255);
                p[2] = (uint8_t)(255 - a);
                p[3] = 255;
            }
        for (size_t i = 0; i < c.glyph_rows.size(); i += 2) {
            const char ch = c.glyph_rows[i].first;
            if (ch == 'B' || ch == 'P' || ch == 'w')
                printf("%c covers rows %d..%d\n", ch, c.glyph_rows[i].second + dy - c.top,
                       c.glyph_rows[i].second + c.glyph_rows[i + 1].second - 1 + dy - c.top);
        }
        printf("\"%s\": ink rows %d..%d, columns %d..%d (centre %.1f)\n", line.text, b.y0 + dy,
               b.y1 + dy, b.x0 + dx, b.x1 + dx, (b.x0 + b.x1) / 2.0 + dx);
    }

    FT_Done_Face(face);
    FT_Done_FreeType(lib);

    long red = 0, edge = 0, white = 0;
    std::set<uint32_t> colours;
    for (size_t i = 0; i < rgba.size(); i += 4) {
        if (rgba[i + 3] == 0)
            continue;
        const uint32_t v = (uint32_t)rgba[i] << 16 | (uint32_t)rgba[i + 1] << 8 | rgba[i + 2];
        colours.insert(v);
        if (v == 0xFFFFFF)
            white++;
        else if (v == 0xFF1800)
            red++;
        else
            edge++;
    }
    const std::vector<uint8_t> stream = glimmer_art_rle_encode(rgba.data(), rgba.size() / 4, 4);
    const ArtRleCounts n = glimmer_art_rle_count(stream.data(), stream.size(), 4, SPLASH_WIDTH);
    printf("%ld white, %ld red, %ld edge pixels, %zu opaque colours\n", white, red, edge,
           colours.size());
    printf("splash_image: %zu bytes with the end marker, %ld repeat runs, %ld literal runs, "
           "%ld crossing a row end\n",
           stream.size(), n.repeat_runs, n.literal_runs, n.crossing_runs);

    if (png_path && !glimmer_art_write_png(png_path, rgba.data(), SPLASH_WIDTH, SPLASH_HEIGHT))
        return 1;
    return glimmer_art_write_rle_source(out_path, "splash_image",
                                        "tools/art/render_splash.cpp: glimmer_art_splash "
                                        "assets/splash_image.cpp",
                                        SPLASH_WIDTH, SPLASH_HEIGHT, stream)
               ? 0
               : 1;
}
