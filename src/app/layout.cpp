// The screen layout: the picture centred in the upper five sixths, the
// progress bar one sixth of the height above the bottom, the message line
// directly above the bar. Everything is placed from the current screen size.
#include "app/layout.h"

#include "assets/assets.h"
#include "fb/font.h"

enum {
    BAR_INSET = 4, // frame outline around the interior
    BAR_INTERIOR_WIDTH = 222,
    BAR_INTERIOR_HEIGHT = 20,
};

static const uint8_t WHITE[3] = {255, 255, 255};      // background, message band
static const uint8_t BAR_FILLED[3] = {109, 109, 112}; // the frame's outline colour
static const uint8_t BAR_EMPTY[3] = {236, 236, 225};  // the frame's inside colour
static const uint8_t MESSAGE_INK[3] = {109, 109, 112};

static int bar_left(const Framebuffer *fb)
{
    return (fb->width - bar_frame_image.width) / 2;
}

static int bar_top(const Framebuffer *fb)
{
    return fb->height - fb->height / 6;
}

static void fill(Framebuffer *fb, int x, int y, int w, int h, const uint8_t *rgb)
{
    glimmer_fb_fill_rect(fb, x, y, w, h, rgb[0], rgb[1], rgb[2]);
}

void glimmer_draw_initial_scene(Framebuffer *fb)
{
    const int W = fb->width, H = fb->height;
    fill(fb, 0, 0, W, H, WHITE);
    glimmer_fb_draw_rle(fb, (W - splash_image.width) / 2, ((H * 5) / 6 - splash_image.height) / 2,
                        &splash_image);
    glimmer_fb_draw_rle(fb, bar_left(fb), bar_top(fb), &bar_frame_image);
    glimmer_draw_progress(fb, 0);
    glimmer_draw_message(fb, "");
}

// Positive values fill the bar from the left, negative ones from the right;
// the empty part is painted first so that the new value replaces the old.
void glimmer_draw_progress(Framebuffer *fb, int32_t value)
{
    const int left = bar_left(fb) + BAR_INSET, top = bar_top(fb) + BAR_INSET;
    const int W = BAR_INTERIOR_WIDTH, H = BAR_INTERIOR_HEIGHT;
    if (value > 0) {
        const int f = W * (value > 100 ? 100 : value) / 100;
        fill(fb, left + f, top, W - f, H, BAR_EMPTY);
        fill(fb, left, top, f, H, BAR_FILLED);
    } else {
        const int f = W * (value < -100 ? 100 : -value) / 100;
        fill(fb, left, top, W - f, H, BAR_EMPTY);
        fill(fb, left + W - f, top, f, H, BAR_FILLED);
    }
}

// The band spans the whole width, so a shorter message leaves nothing of a
// longer one behind.
void glimmer_draw_message(Framebuffer *fb, const char *text)
{
    int w, h;
    glimmer_fb_measure_text(&w, &h, &radon_font, text);
    const int top = bar_top(fb) - h;
    fill(fb, 0, top, fb->width, h, WHITE);
    glimmer_fb_draw_text(fb, (fb->width - w) / 2, top, MESSAGE_INK[0], MESSAGE_INK[1],
                         MESSAGE_INK[2], &radon_font, text);
}
