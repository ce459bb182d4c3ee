// Saves an 8-bit RGBA picture as a PNG, for looking at what the generators
// made.
#pragma once

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <vector>

// Returns false (after printing why) when the file cannot be written.
inline bool glimmer_art_write_png(const char *path, const uint8_t *rgba, int width, int height)
{
    FILE *f = fopen(path, "wb");
    if (!f) {
        perror(path);
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        fprintf(stderr, "%s: cannot write the PNG\n", path);
        png_destroy_write_struct(&png, &info);
        fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, (png_uint_32)width, (png_uint_32)height, 8, PNG_COLOR_TYPE_RGBA,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_bytep> rows((size_t)height);
    for (int y = 0; y < height; y++)
        rows[(size_t)y] = const_cast<png_bytep>(rgba + (size_t)y * (size_t)width * 4);
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    return fclose(f) == 0;
}
