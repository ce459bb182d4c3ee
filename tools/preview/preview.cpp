// glimmer-preview: draws the scene that glimmer shows on a screen of a given
// size, rotation and depth, with glimmer's own drawing code on a page in
// memory, and saves it as the display would show it.
//
//   glimmer-preview [--size WxH] [--angle 0|90|180|270] [--depth 16|24|32]
//                   [--progress N] [--message TEXT] [--scale 1|2|3|auto] OUT.png
//
// The size is the device's (before rotation). The page has the layout of a
// plain RGB device of that depth (5-6-5 at 16 bits), so colours are packed as
// glimmer packs them and widened back to 8 bits as a display does.
#include "app/layout.h"
#include "fb/framebuffer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

static int usage()
{
    fputs("Usage: glimmer-preview [--size WxH] [--angle 0|90|180|270] [--depth 16|24|32]\n"
          "                       [--progress N] [--message TEXT] [--scale 1|2|3|auto] OUT.png\n",
          stderr);
    return 2;
}

// A whole number from all of text, within [low, high].
static bool number(const char *text, long low, long high, long *out)
{
    char *end;
    const long v = strtol(text, &end, 10);
    if (end == text || *end || v < low || v > high)
        return false;
    *out = v;
    return true;
}

// The channel's bits widened to 8, rounded to the nearest level.
static uint8_t widen(uint32_t value, uint32_t offset, uint32_t length)
{
    const uint32_t max = (1u << length) - 1, c = (value >> offset) & max;
    return length >= 8 ? (uint8_t)c : (uint8_t)((c * 255 + max / 2) / max);
}

static void put32(std::vector<uint8_t> *out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out->push_back((uint8_t)(v >> shift));
}

static uint32_t crc32(const uint8_t *p, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

static void chunk(std::vector<uint8_t> *png, const char *type, const std::vector<uint8_t> &data)
{
    put32(png, (uint32_t)data.size());
    const size_t start = png->size();
    png->insert(png->end(), type, type + 4);
    png->insert(png->end(), data.begin(), data.end());
    put32(png, crc32(png->data() + start, png->size() - start));
}

// An 8-bit RGB PNG of rows that each start with filter byte 0, in stored
// (uncompressed) deflate blocks: no compression library needed.
static bool save_png(const char *path, int width, int height, const std::vector<uint8_t> &raw)
{
    std::vector<uint8_t> z = {0x78, 0x01};
    size_t at = 0;
    do {
        const size_t n = raw.size() - at < 65535 ? raw.size() - at : 65535;
        z.insert(z.end(), {(uint8_t)(at + n == raw.size()), (uint8_t)n, (uint8_t)(n >> 8),
                           (uint8_t)~n, (uint8_t)(~n >> 8)});
        z.insert(z.end(), raw.begin() + (ptrdiff_t)at, raw.begin() + (ptrdiff_t)(at + n));
        at += n;
    } while (at < raw.size());
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    put32(&z, b << 16 | a);

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, header;
    put32(&header, (uint32_t)width);
    put32(&header, (uint32_t)height);
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8 bits, RGB, deflate, no filter, no interlace
    chunk(&png, "IHDR", header);
    chunk(&png, "IDAT", z);
    chunk(&png, "IEND", {});
    FILE *f = fopen(path, "wb");
    if (!f || fwrite(png.data(), 1, png.size(), f) != png.size() || fclose(f) != 0) {
        perror(path);
        return false;
    }
    return true;
}

int main(int argc, char **argv)
{
    long width = 800, height = 480, angle = 0, depth = 32, progress = 0;
    bool has_progress = false;
    const char *message = nullptr, *out = nullptr;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i], *value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = value != nullptr;
        if (strcmp(arg, "--size") == 0 && value) {
            char *x;
            width = strtol(value, &x, 10);
            ok = *x == 'x' && number(x + 1, 1, 16384, &height) && width >= 1 && width <= 16384;
        } else if (strcmp(arg, "--angle") == 0 && value) {
            ok = number(value, 0, 270, &angle) && angle % 90 == 0;
        } else if (strcmp(arg, "--depth") == 0 && value) {
            ok = number(value, 16, 32, &depth) && depth % 8 == 0;
        } else if (strcmp(arg, "--progress") == 0 && value) {
            ok = has_progress = number(value, -1000000000, 1000000000, &progress);
        } else if (strcmp(arg, "--message") == 0 && value) {
            message = value;
        } else if (strcmp(arg, "--scale") == 0 && value) {
            long s = 0;
            ok = strcmp(value, "auto") == 0 || number(value, 1, 3, &s);
            glimmer_layout_set_scale(s > 0 ? (int)s : LAYOUT_SCALE_AUTO);
        } else if (arg[0] != '-' && !out && i == argc - 1) {
            out = arg;
            continue;
        } else {
            ok = false;
        }
        if (!ok)
            return usage();
        i++;
    }
    if (!out)
        return usage();

    Framebuffer fb;
    memset(&fb, 0, sizeof fb);
    fb.real_width = (int)width;
    fb.real_height = (int)height;
    fb.bpp = (int)depth;
    fb.rotation = glimmer_fb_rotation_from_degrees((int)angle);
    const bool turned = fb.rotation == FB_ROTATE_90 || fb.rotation == FB_ROTATE_270;
    fb.width = turned ? fb.real_height : fb.real_width;
    fb.height = turned ? fb.real_width : fb.real_height;
    fb.stride = fb.real_width * (fb.bpp / 8);
    if (depth == 16) {
        fb.red_offset = 11, fb.red_length = 5, fb.green_offset = 5, fb.green_length = 6;
        fb.blue_offset = 0, fb.blue_length = 5;
    } else {
        fb.red_offset = 16, fb.red_length = 8, fb.green_offset = 8, fb.green_length = 8;
        fb.blue_offset = 0, fb.blue_length = 8;
    }
    fb.format = glimmer_fb_classify(fb.red_offset, fb.red_length, fb.green_offset, fb.green_length,
                                    fb.blue_offset, fb.blue_length);
    std::vector<uint8_t> page((size_t)fb.stride * (size_t)fb.real_height);
    fb.draw_page = fb.shown_page = page.data();

    // As glimmer does: the initial scene, then the commands, each one shown.
    glimmer_draw_initial_scene(&fb);
    if (has_progress) {
        glimmer_draw_progress(&fb, (int32_t)progress);
        glimmer_fb_swap_pages(&fb, false);
    }
    if (message) {
        glimmer_draw_message(&fb, message);
        glimmer_fb_swap_pages(&fb, false);
    }

    std::vector<uint8_t> raw;
    raw.reserve((size_t)fb.real_height * ((size_t)fb.real_width * 3 + 1));
    const int bytes = fb.bpp / 8;
    for (int y = 0; y < fb.real_height; y++) {
        raw.push_back(0);
        for (int x = 0; x < fb.real_width; x++) {
            const uint8_t *p = page.data() + (size_t)y * (size_t)fb.stride + (size_t)(x * bytes);
            uint32_t v = 0;
            memcpy(&v, p, (size_t)bytes); // the machine's own byte order, as glimmer stores
            raw.insert(raw.end(), {widen(v, fb.red_offset, fb.red_length),
                                   widen(v, fb.green_offset, fb.green_length),
                                   widen(v, fb.blue_offset, fb.blue_length)});
        }
    }
    return save_png(out, fb.real_width, fb.real_height, raw) ? 0 : 1;
}
