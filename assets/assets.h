// The compiled-in artwork.
#pragma once

#include "fb/font.h"
#include "fb/framebuffer.h"

extern const RleImage splash_image;    // the full-screen picture
extern const RleImage bar_frame_image; // the rounded frame around the progress bar
extern const BitmapFont radon_font;    // 8 x 12 cells, ASCII and ISO 8859-1
