// The run-length encoder for the picture streams, shared by the art
// generators and the tests that re-encode the stored pictures.
//
// Pixels are taken as one sequence, row after row, so runs may cross row
// ends. A stretch of two or more equal pixels becomes repeat runs of 127
// while 127 or more remain, then one repeat run of the remainder if that is
// 2 or more; a single pixel left over joins the next literal run. Literal
// runs hold at most 127 pixels. The stream ends with the marker 0x00.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

enum { ART_RLE_MAX_RUN = 127 };

struct ArtRleCounts {
    long repeat_runs;
    long literal_runs;
    long crossing_runs; // runs whose pixels lie in more than one row
};

// Encodes count pixels of bytes_per_pixel bytes each.
inline std::vector<uint8_t> glimmer_art_rle_encode(const uint8_t *pixels, size_t count,
                                                   size_t bytes_per_pixel)
{
    std::vector<uint8_t> out;
    const size_t bpp = bytes_per_pixel;
    size_t literal_start = 0, literal_count = 0;

    auto flush_literal = [&] {
        if (literal_count == 0)
            return;
        out.push_back((uint8_t)literal_count);
        out.insert(out.end(), pixels + literal_start * bpp,
                   pixels + (literal_start + literal_count) * bpp);
        literal_count = 0;
    };
    auto repeat = [&](size_t at, size_t n) {
        out.push_back((uint8_t)(0x80 + n));
        out.insert(out.end(), pixels + at * bpp, pixels + (at + 1) * bpp);
    };

    size_t i = 0;
    while (i < count) {
        size_t k = 1;
        while (i + k < count && memcmp(pixels + i * bpp, pixels + (i + k) * bpp, bpp) == 0)
            k++;
        if (k >= 2) {
            flush_literal();
            while (k >= ART_RLE_MAX_RUN) {
                repeat(i, ART_RLE_MAX_RUN);
                i += ART_RLE_MAX_RUN;
                k -= ART_RLE_MAX_RUN;
            }
            if (k >= 2) {
                repeat(i, k);
                i += k;
            }
            // A single pixel left over is picked up as a literal next time round.
            continue;
        }
        if (literal_count == 0)
            literal_start = i;
        literal_count++;
        i++;
        if (literal_count == ART_RLE_MAX_RUN)
            flush_literal();
    }
    flush_literal();
    out.push_back(0x00);
    return out;
}

// Counts the runs of a stream and those that cross a row end, for pictures
// whose rows hold per_row pixels. Stops at the end marker or the end of data.
inline ArtRleCounts glimmer_art_rle_count(const uint8_t *data, size_t size, size_t bytes_per_pixel,
                                          size_t per_row)
{
    ArtRleCounts counts = {0, 0, 0};
    size_t at = 0, pixel = 0;
    while (at < size && data[at] != 0x00 && data[at] != 0x80) {
        const unsigned h = data[at];
        const size_t n = h > 0x80 ? h - 0x80 : h;
        if (h > 0x80) {
            counts.repeat_runs++;
            at += 1 + bytes_per_pixel;
        } else {
            counts.literal_runs++;
            at += 1 + n * bytes_per_pixel;
        }
        if (pixel / per_row != (pixel + n - 1) / per_row)
            counts.crossing_runs++;
        pixel += n;
    }
    return counts;
}
