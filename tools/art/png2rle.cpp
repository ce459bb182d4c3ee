// Converts a PNG into an encoded picture source that defines splash_image
// (or the name given), laid out like the generated built-in pictures.
//
// Any 8- or 16-bit PNG that libpng can read is taken: palette and grey
// pictures are expanded to RGB, 16-bit channels cut to 8, and a picture
// without alpha gets an opaque one. The drawing code knows no blending, so
// alpha is made two-valued: below 128 the pixel becomes transparent (0, 0, 0,
// 0), otherwise opaque (alpha 255) with its colour kept.
//
// usage: glimmer_png2rle INPUT.png OUTPUT.cpp [NAME]
#include "rle_encode.h"
#include "rle_source.h"

#include <png.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

struct Picture {
    int width, height;
    std::vector<uint8_t> rgba;
};

// Reads path as 8-bit RGBA. Returns false (after printing why) on failure.
static bool read_png(const char *path, Picture *pic)
{
    FILE *f = fopen(path, "rb");
    if (!f) {
        perror(path);
        return false;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        fprintf(stderr, "%s: not a PNG that can be read\n", path);
        png_destroy_read_struct(&png, &info, nullptr);
        fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    const png_byte type = png_get_color_type(png, info);
    if (type == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(png);
    if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(png);
    if (png_get_bit_depth(png, info) < 8)
        png_set_expand(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS))
        png_set_tRNS_to_alpha(png);
    png_set_strip_16(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    (void)png_set_interlace_handling(png);
    png_read_update_info(png, info);

    const png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    if (png_get_rowbytes(png, info) != (size_t)w * 4) {
        fprintf(stderr, "%s: unexpected row layout\n", path);
        png_destroy_read_struct(&png, &info, nullptr);
        fclose(f);
        return false;
    }
    // The decoder's read limit, height x width x 4, is a signed 32-bit value.
    if (w == 0 || h == 0 || (uint64_t)w * h * 4 > INT32_MAX) {
        fprintf(stderr, "%s: %ux%u is too large for a picture\n", path, w, h);
        png_destroy_read_struct(&png, &info, nullptr);
        fclose(f);
        return false;
    }
    pic->width = (int)w;
    pic->height = (int)h;
    pic->rgba.assign((size_t)w * h * 4, 0);
    std::vector<png_bytep> rows(h);
    for (png_uint_32 y = 0; y < h; y++)
        rows[y] = pic->rgba.data() + (size_t)y * w * 4;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(f);
    return true;
}

// Pixels that the decoder produces from a stream of 4-byte pixels before it
// reaches the end marker or has read limit bytes.
static size_t pixels_before_limit(const std::vector<uint8_t> &stream, size_t limit)
{
    size_t at = 0, pixels = 0;
    while (at < stream.size() && stream[at] != 0x00 && stream[at] != 0x80) {
        const unsigned h = stream[at];
        if (h > 0x80) {
            pixels += h - 0x80;
            at += 5;
            if (at >= limit)
                break;
            continue;
        }
        at++;
        for (unsigned i = 0; i < h; i++) {
            pixels++;
            at += 4;
            if (at >= limit)
                return pixels;
        }
    }
    return pixels;
}

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: %s INPUT.png OUTPUT.cpp [NAME]\n", argv[0]);
        return 2;
    }
    const char *name = argc == 4 ? argv[3] : "splash_image";
    Picture pic;
    if (!read_png(argv[1], &pic))
        return 1;
    for (size_t i = 0; i < pic.rgba.size(); i += 4) {
        uint8_t *p = &pic.rgba[i];
        if (p[3] < 128)
            p[0] = p[1] = p[2] = p[3] = 0;
        else
            p[3] = 255;
    }
    const std::vector<uint8_t> stream =
        glimmer_art_rle_encode(pic.rgba.data(), pic.rgba.size() / 4, 4);
    // The decoder stops once it has read as many bytes as the picture has
    // decoded; a picture of nearly all different neighbours encodes longer.
    const size_t shown = pixels_before_limit(stream, pic.rgba.size());
    if (shown < pic.rgba.size() / 4) {
        fprintf(stderr, "%s: encodes to %zu bytes, so only %zu of its %zu pixels would be drawn\n",
                argv[1], stream.size(), shown, pic.rgba.size() / 4);
        return 1;
    }
    const std::string made_by = std::string("tools/art/png2rle.cpp from ") + argv[1];
    return glimmer_art_write_rle_source(argv[2], name, made_by.c_str(), pic.width, pic.height,
                                        stream)
               ? 0
               : 1;
}
