// Placeholder until the generated picture lands.
#include "assets/assets.h"

static const uint8_t splash_data[] = {0x00};
const RleImage splash_image = {800, 480, 4, 3200, splash_data, sizeof splash_data};
