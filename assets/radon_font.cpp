// Placeholder until the generated font lands.
#include "assets/assets.h"

static const int32_t buckets[256] = {};
static const int32_t glyphs[1] = {0};
static const uint32_t rows[1] = {0};
const BitmapFont radon_font = {"radon", 12, 0xFF, buckets, glyphs, rows};
