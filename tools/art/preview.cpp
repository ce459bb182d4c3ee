// Draws the stored pictures the way the screen shows them, on white, with the
// program's own decoder, and saves the result as a PNG.
//
// usage: glimmer_art_preview OUT.png
#include "page.h"

#include "assets/assets.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
        return 2;
    }
    const int W = splash_image.width, H = splash_image.height + 3 * bar_frame_image.height;
    ArtPage page;
    glimmer_art_page_init(&page, W, H);
    glimmer_fb_fill_rect(&page.fb, 0, 0, W, H, 255, 255, 255);
    glimmer_fb_draw_rle(&page.fb, 0, 0, &splash_image);
    glimmer_fb_draw_rle(&page.fb, (W - bar_frame_image.width) / 2,
                        splash_image.height + bar_frame_image.height, &bar_frame_image);
    return glimmer_art_page_save(&page, argv[1]) ? 0 : 1;
}
