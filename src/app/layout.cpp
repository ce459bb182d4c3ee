// The screen layout: the picture centred above the bar, the progress bar at
// the theme's share of the height (one sixth above the bottom by default),
// the message line directly above the bar. Everything is placed from the
// current screen size and the scaled sizes of the bar and the text.
#include "app/layout.h"

#include "assets/assets.h"
#include "assets/theme.h"
#include "fb/font.h"

enum {
    BAR_INSET = 4, // frame outline around the interior
    REFERENCE_WIDTH = 800,
    REFERENCE_HEIGHT = 480,
};

static int scale_setting = THEME_SCALE;

void glimmer_layout_set_scale(int setting)
{
    scale_setting = setting;
}

int glimmer_layout_scale(const Framebuffer *fb)
{
    if (scale_setting > 0)
        return scale_setting;
    const int by_width = fb->width / REFERENCE_WIDTH, by_height = fb->height / REFERENCE_HEIGHT;
    const int s = by_width < by_height ? by_width : by_height;
    return s > 1 ? s : 1;
}

static int bar_left(const Framebuffer *fb, int scale)
{
    return (fb->width - bar_frame_image.width * scale) / 2;
}

// The part of the screen above the bar is H * NUM / DEN, the bar's top the
// rest taken from the bottom, as the default's H - H / 6 does.
static int bar_top(const Framebuffer *fb)
{
    const int64_t H = fb->height;
    return (int)(H -
                 H * (THEME_BAR_POSITION_DEN - THEME_BAR_POSITION_NUM) / THEME_BAR_POSITION_DEN);
}

static void fill(Framebuffer *fb, int x, int y, int w, int h, const ThemeColour &c)
{
    glimmer_fb_fill_rect(fb, x, y, w, h, c.r, c.g, c.b);
}

void glimmer_draw_initial_scene(Framebuffer *fb)
{
    const int W = fb->width, H = fb->height, scale = glimmer_layout_scale(fb);
    const int above = (int)((int64_t)H * THEME_BAR_POSITION_NUM / THEME_BAR_POSITION_DEN);
    fill(fb, 0, 0, W, H, THEME_BACKGROUND);
    glimmer_fb_draw_rle(fb, (W - splash_image.width) / 2, (above - splash_image.height) / 2,
                        &splash_image);
    glimmer_fb_draw_rle_scaled(fb, bar_left(fb, scale), bar_top(fb), &bar_frame_image, scale);
    glimmer_draw_progress(fb, 0);
    glimmer_draw_message(fb, "");
}

// Positive values fill the bar from the left, negative ones from the right;
// the empty part is painted first so that the new value replaces the old.
void glimmer_draw_progress(Framebuffer *fb, int32_t value)
{
    const int scale = glimmer_layout_scale(fb);
    const int left = bar_left(fb, scale) + BAR_INSET * scale, top = bar_top(fb) + BAR_INSET * scale;
    const int W = (bar_frame_image.width - 2 * BAR_INSET) * scale;
    const int H = (bar_frame_image.height - 2 * BAR_INSET) * scale;
    if (value > 0) {
        const int f = W * (value > 100 ? 100 : value) / 100;
        fill(fb, left + f, top, W - f, H, THEME_BAR_EMPTY);
        fill(fb, left, top, f, H, THEME_BAR_FILL);
    } else {
        const int f = W * (value < -100 ? 100 : -value) / 100;
        fill(fb, left, top, W - f, H, THEME_BAR_EMPTY);
        fill(fb, left + W - f, top, f, H, THEME_BAR_FILL);
    }
}

// The band spans the whole width, so a shorter message leaves nothing of a
// longer one behind.
void glimmer_draw_message(Framebuffer *fb, const char *text)
{
    const int scale = glimmer_layout_scale(fb);
    int w, h;
    glimmer_fb_measure_text(&w, &h, &radon_font, text);
    w *= scale;
    h *= scale;
    const int top = bar_top(fb) - h;
    fill(fb, 0, top, fb->width, h, THEME_BACKGROUND);
    glimmer_fb_draw_text_scaled(fb, (fb->width - w) / 2, top, THEME_TEXT_COLOUR.r,
                                THEME_TEXT_COLOUR.g, THEME_TEXT_COLOUR.b, &radon_font, text, scale);
}
