// Builds the rounded frame around the progress bar, pixel for pixel, and
// writes it as an encoded picture source.
//
// usage: glimmer_art_bar_frame OUTPUT.cpp
#include "rle_encode.h"
#include "rle_source.h"

#include <cstdio>
#include <vector>

enum { FRAME_WIDTH = 230, FRAME_HEIGHT = 28, OUTLINE = 4, CORNER = 7 };

struct Rgb {
    uint8_t r, g, b;
};

static const Rgb DARK = {109, 109, 112};  // the outline
static const Rgb LIGHT = {236, 236, 225}; // inside, and outside the rounded corners
static const Rgb SHADE = {184, 184, 178}; // shading line inside the left edge

// The top-left corner; the other three are its mirror images. The greys
// anti-alias the rounding of the outline's outer and inner edges.
#define L LIGHT
#define D DARK
static const Rgb CORNER_CELLS[CORNER][CORNER] = {
    {L, L, L, {214, 214, 205}, {158, 158, 155}, {128, 128, 129}, {110, 110, 113}},
    {L, L, {176, 176, 171}, {111, 111, 114}, D, D, D},
    {L, {178, 178, 174}, D, D, D, D, D},
    {{218, 218, 209}, {112, 112, 115}, D, D, D, D, D},
    {{164, 164, 161}, D, D, D, D, {133, 133, 133}, L},
    {{136, 136, 136}, D, D, D, {131, 131, 131}, {233, 233, 222}, L},
    {{113, 113, 115}, D, D, D, {173, 173, 169}, L, L},
};
#undef L
#undef D

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTPUT.cpp\n", argv[0]);
        return 2;
    }
    Rgb px[FRAME_HEIGHT][FRAME_WIDTH];
    for (int y = 0; y < FRAME_HEIGHT; y++)
        for (int x = 0; x < FRAME_WIDTH; x++) {
            const bool edge = y < OUTLINE || y >= FRAME_HEIGHT - OUTLINE || x < OUTLINE ||
                              x >= FRAME_WIDTH - OUTLINE;
            px[y][x] = edge ? DARK : LIGHT;
        }
    for (int r = 0; r < CORNER; r++)
        for (int c = 0; c < CORNER; c++) {
            const Rgb v = CORNER_CELLS[r][c];
            px[r][c] = v;
            px[r][FRAME_WIDTH - 1 - c] = v;
            px[FRAME_HEIGHT - 1 - r][c] = v;
            px[FRAME_HEIGHT - 1 - r][FRAME_WIDTH - 1 - c] = v;
        }
    for (int y = 7; y <= 20; y++)
        px[y][OUTLINE] = SHADE;

    std::vector<uint8_t> rgba;
    for (int y = 0; y < FRAME_HEIGHT; y++)
        for (int x = 0; x < FRAME_WIDTH; x++)
            rgba.insert(rgba.end(), {px[y][x].r, px[y][x].g, px[y][x].b, 255});
    const std::vector<uint8_t> stream = glimmer_art_rle_encode(rgba.data(), rgba.size() / 4, 4);
    const ArtRleCounts n = glimmer_art_rle_count(stream.data(), stream.size(), 4, FRAME_WIDTH);
    printf("bar_frame_image: %zu bytes with the end marker, %ld repeat runs, %ld literal runs, "
           "%ld crossing a row end\n",
           stream.size(), n.repeat_runs, n.literal_runs, n.crossing_runs);
    return glimmer_art_write_rle_source(argv[1], "bar_frame_image",
                                        "tools/art/make_bar_frame.cpp: glimmer_art_bar_frame "
                                        "assets/bar_frame_image.cpp",
                                        FRAME_WIDTH, FRAME_HEIGHT, stream)
               ? 0
               : 1;
}
