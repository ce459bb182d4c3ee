// Placeholder until the generated picture lands.
#include "assets/assets.h"

static const uint8_t bar_frame_data[] = {0x00};
const RleImage bar_frame_image = {230, 28, 4, 920, bar_frame_data, sizeof bar_frame_data};
