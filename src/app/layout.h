// Where the picture, the progress bar and the message line go.
#pragma once

#include "fb/framebuffer.h"

#include <cstdint>

// Each draws on one head's drawing page; showing it is the output's flip.
void glimmer_draw_initial_scene(Framebuffer *fb);
void glimmer_draw_progress(Framebuffer *fb, int32_t value);
void glimmer_draw_message(Framebuffer *fb, const char *text);
