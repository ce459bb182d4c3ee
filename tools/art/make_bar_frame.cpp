// Builds the rounded frame around the progress bar, pixel for pixel, and
// writes it as an encoded picture source. The three colours default to the
// built-in look; a theme passes its own as RRGGBB.
//
// usage: glimmer_art_bar_frame OUTPUT.cpp [OUTLINE INSIDE CORNER]
#include "rle_encode.h"
#include "rle_source.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

enum { FRAME_WIDTH = 230, FRAME_HEIGHT = 28, OUTLINE = 4, CORNER = 7 };

struct Rgb {
    uint8_t r, g, b;
};

// What a pixel is made of: the outline blended over the inside or over the
// corner colour (outside the rounding), by a coverage from 0 to 255.
enum Side { OUT, IN };
struct Cell {
    Side side;
    uint8_t coverage;
};

// The top-left corner; the other three are its mirror images. The partial
// coverages anti-alias the rounding of the outline's outer and inner edges.
#define O                                                                                          \
    {                                                                                              \
        OUT, 0                                                                                     \
    }
#define D                                                                                          \
    {                                                                                              \
        OUT, 255                                                                                   \
    }
#define I                                                                                          \
    {                                                                                              \
        IN, 0                                                                                      \
    }
static const Cell CORNER_CELLS[CORNER][CORNER] = {
    {O, O, O, {OUT, 43}, {OUT, 156}, {OUT, 215}, {OUT, 251}},
    {O, O, {OUT, 120}, {OUT, 249}, D, D, D},
    {O, {OUT, 115}, D, D, D, D, D},
    {{OUT, 35}, {OUT, 247}, D, D, D, D, D},
    {{OUT, 143}, D, D, D, D, {IN, 206}, I},
    {{OUT, 199}, D, D, D, {IN, 210}, {IN, 5}, I},
    {{OUT, 246}, D, D, D, {IN, 125}, I, I},
};
#undef O
#undef D
#undef I
static const Cell SHADE = {IN, 104}; // shading line inside the left edge

static Rgb blend(Rgb base, Rgb ink, uint8_t a)
{
    auto mix = [a](uint8_t b, uint8_t i) { return (uint8_t)((b * (255 - a) + i * a) / 255); };
    return {mix(base.r, ink.r), mix(base.g, ink.g), mix(base.b, ink.b)};
}

static bool parse(const char *text, Rgb *out)
{
    if (*text == '#')
        text++;
    char *end;
    const unsigned long v = strtoul(text, &end, 16);
    if (strlen(text) != 6 || *end)
        return false;
    *out = {(uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v};
    return true;
}

int main(int argc, char **argv)
{
    Rgb outline = {109, 109, 112}, inside = {236, 236, 225}, corner = {236, 236, 225};
    if ((argc != 2 && argc != 5) ||
        (argc == 5 &&
         !(parse(argv[2], &outline) && parse(argv[3], &inside) && parse(argv[4], &corner)))) {
        fprintf(stderr, "usage: %s OUTPUT.cpp [OUTLINE INSIDE CORNER]\n", argv[0]);
        return 2;
    }
    auto colour = [&](Cell c) {
        return blend(c.side == IN ? inside : corner, outline, c.coverage);
    };
    Rgb px[FRAME_HEIGHT][FRAME_WIDTH];
    for (int y = 0; y < FRAME_HEIGHT; y++)
        for (int x = 0; x < FRAME_WIDTH; x++) {
            const bool edge = y < OUTLINE || y >= FRAME_HEIGHT - OUTLINE || x < OUTLINE ||
                              x >= FRAME_WIDTH - OUTLINE;
            px[y][x] = edge ? outline : inside;
        }
    for (int r = 0; r < CORNER; r++)
        for (int c = 0; c < CORNER; c++) {
            const Rgb v = colour(CORNER_CELLS[r][c]);
            px[r][c] = v;
            px[r][FRAME_WIDTH - 1 - c] = v;
            px[FRAME_HEIGHT - 1 - r][c] = v;
            px[FRAME_HEIGHT - 1 - r][FRAME_WIDTH - 1 - c] = v;
        }
    for (int y = 7; y <= 20; y++)
        px[y][OUTLINE] = colour(SHADE);

    std::vector<uint8_t> rgba;
    for (int y = 0; y < FRAME_HEIGHT; y++)
        for (int x = 0; x < FRAME_WIDTH; x++)
            rgba.insert(rgba.end(), {px[y][x].r, px[y][x].g, px[y][x].b, 255});
    const std::vector<uint8_t> stream = glimmer_art_rle_encode(rgba.data(), rgba.size() / 4, 4);
    const ArtRleCounts n = glimmer_art_rle_count(stream.data(), stream.size(), 4, FRAME_WIDTH);
    printf("bar_frame_image: %zu bytes with the end marker, %ld repeat runs, %ld literal runs, "
           "%ld crossing a row end\n",
           stream.size(), n.repeat_runs, n.literal_runs, n.crossing_runs);
    // The first line names the command that made the source.
    std::string made_by = "tools/art/make_bar_frame.cpp: glimmer_art_bar_frame ";
    if (argc == 5)
        made_by += std::string("OUT.cpp ") + argv[2] + " " + argv[3] + " " + argv[4];
    else
        made_by += "assets/bar_frame_image.cpp";
    return glimmer_art_write_rle_source(argv[1], "bar_frame_image", made_by.c_str(), FRAME_WIDTH,
                                        FRAME_HEIGHT, stream)
               ? 0
               : 1;
}
