// Where the picture, the progress bar and the message line go.
#pragma once

#include "fb/framebuffer.h"

#include <cstdint>

// The scale of the bar, its frame and the text: 1, 2, 3, or LAYOUT_SCALE_AUTO
// for the largest whole factor that keeps 800 x 480 within the screen. It
// starts as the theme's.
enum { LAYOUT_SCALE_AUTO = 0 };
void glimmer_layout_set_scale(int setting);
// The factor that the setting gives on this screen.
int glimmer_layout_scale(const Framebuffer *fb);

// Each draws on one head's drawing page; showing it is the output's flip.
void glimmer_draw_initial_scene(Framebuffer *fb);
void glimmer_draw_progress(Framebuffer *fb, int32_t value);
void glimmer_draw_message(Framebuffer *fb, const char *text);
