// The picture a real screen must show: runs glimmer's own scene drawing on a
// page in memory laid out like the guest's framebuffer, then turns every
// device pixel into the 8-bit RGB that the display captures, expanding
// channels narrower than 8 bits the way the emulated display hardware does.
//
//   expect_scene OUT.ppm XRES YRES BPP R_OFF/LEN G_OFF/LEN B_OFF/LEN ANGLE
//                EXPAND [P:value | M:text]...
//
// EXPAND is "replicate" (top bits repeated into the low ones, 31 -> 255) or
// "shift" (low bits zero, 31 -> 248). The steps after it are applied in order
// after the initial scene: P draws a progress value, M a message.
//
//   expect_scene --facts
//
// prints what the layout checks of the harness need to know about this
// build's theme and pictures, one "name values..." line each.
#include "app/layout.h"
#include "assets/assets.h"
#include "assets/theme.h"
#include "fb/font.h"
#include "fb/framebuffer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static bool parse_field(const char *text, uint32_t *offset, uint32_t *length)
{
    return sscanf(text, "%u/%u", offset, length) == 2 && *length >= 1 && *length <= 8 &&
           *offset + *length <= 32;
}

static uint8_t expand(uint32_t value, uint32_t length, bool replicate)
{
    if (length >= 8)
        return (uint8_t)value;
    uint32_t v = value << (8 - length);
    if (replicate)
        for (uint32_t have = length; have < 8; have += length)
            v |= value << (8 - length) >> have;
    return (uint8_t)v;
}

static void print_colour(const char *name, const ThemeColour &c)
{
    printf("%s %d %d %d\n", name, c.r, c.g, c.b);
}

static int print_facts()
{
    print_colour("background", THEME_BACKGROUND);
    print_colour("bar_fill", THEME_BAR_FILL);
    print_colour("bar_empty", THEME_BAR_EMPTY);
    print_colour("ink", THEME_TEXT_COLOUR);
    printf("bar_position %d %d\n", THEME_BAR_POSITION_NUM, THEME_BAR_POSITION_DEN);
    printf("scale %d\n", THEME_SCALE); // 0: auto
    printf("frame %d %d\n", bar_frame_image.width, bar_frame_image.height);
    printf("picture %d %d\n", splash_image.width, splash_image.height);
    printf("font_height %d\n", radon_font.height);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--facts") == 0)
        return print_facts();
    if (argc < 10) {
        fprintf(stderr, "usage: %s OUT.ppm XRES YRES BPP R G B ANGLE EXPAND [P:v|M:text]...\n",
                argv[0]);
        return 2;
    }
    Framebuffer fb;
    memset(&fb, 0, sizeof fb);
    fb.real_width = atoi(argv[2]);
    fb.real_height = atoi(argv[3]);
    fb.bpp = atoi(argv[4]);
    if (fb.real_width <= 0 || fb.real_height <= 0 || fb.real_width > 8192 ||
        fb.real_height > 8192 || (fb.bpp != 16 && fb.bpp != 24 && fb.bpp != 32) ||
        !parse_field(argv[5], &fb.red_offset, &fb.red_length) ||
        !parse_field(argv[6], &fb.green_offset, &fb.green_length) ||
        !parse_field(argv[7], &fb.blue_offset, &fb.blue_length)) {
        fprintf(stderr, "expect_scene: bad geometry or channel layout\n");
        return 2;
    }
    fb.rotation = glimmer_fb_rotation_from_degrees(atoi(argv[8]));
    const bool replicate = strcmp(argv[9], "replicate") == 0;
    if (!replicate && strcmp(argv[9], "shift") != 0) {
        fprintf(stderr, "expect_scene: EXPAND must be replicate or shift\n");
        return 2;
    }
    const bool swap = fb.rotation == FB_ROTATE_90 || fb.rotation == FB_ROTATE_270;
    fb.width = swap ? fb.real_height : fb.real_width;
    fb.height = swap ? fb.real_width : fb.real_height;
    fb.stride = fb.real_width * (fb.bpp / 8);
    fb.format = glimmer_fb_classify(fb.red_offset, fb.red_length, fb.green_offset, fb.green_length,
                                    fb.blue_offset, fb.blue_length);
    uint8_t *const page = (uint8_t *)calloc(1, (size_t)fb.stride * (size_t)fb.real_height);
    if (!page) {
        perror("expect_scene");
        return 1;
    }
    fb.draw_page = fb.shown_page = page;

    glimmer_draw_initial_scene(&fb);
    for (int i = 10; i < argc; i++) {
        const char *step = argv[i];
        if (strncmp(step, "P:", 2) == 0) {
            glimmer_draw_progress(&fb, (int32_t)strtol(step + 2, nullptr, 10));
        } else if (strncmp(step, "M:", 2) == 0) {
            glimmer_draw_message(&fb, step + 2);
        } else {
            fprintf(stderr, "expect_scene: unknown step %s\n", step);
            return 2;
        }
        glimmer_fb_swap_pages(&fb, false);
    }

    FILE *out = fopen(argv[1], "wb");
    if (!out) {
        perror(argv[1]);
        return 1;
    }
    fprintf(out, "P6\n%d %d\n255\n", fb.real_width, fb.real_height);
    const int bytes = fb.bpp / 8;
    for (int y = 0; y < fb.real_height; y++) {
        for (int x = 0; x < fb.real_width; x++) {
            const uint8_t *p = page + (size_t)y * (size_t)fb.stride + (size_t)(x * bytes);
            uint32_t v = 0;
            for (int b = 0; b < bytes; b++)
                v |= (uint32_t)p[b] << (8 * b); // the guests are little-endian
            const uint32_t *fields[3][2] = {{&fb.red_offset, &fb.red_length},
                                            {&fb.green_offset, &fb.green_length},
                                            {&fb.blue_offset, &fb.blue_length}};
            uint8_t rgb[3];
            for (int c = 0; c < 3; c++) {
                const uint32_t off = *fields[c][0], len = *fields[c][1];
                rgb[c] = expand((v >> off) & ((1u << len) - 1), len, replicate);
            }
            fwrite(rgb, 1, 3, out);
        }
    }
    if (fclose(out) != 0) {
        perror(argv[1]);
        return 1;
    }
    free(page);
    return 0;
}
