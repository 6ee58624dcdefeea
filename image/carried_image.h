// The firmware image the program carries: its descriptor values, the
// device-protocol codes that go with it, and the block table that the build
// generates from the image file (image/gen_block_table.py).
#pragma once

#include <cstdint>

#include "image/descriptor.h"

struct ImageBlock {
  uint32_t flashAddress;
  uint32_t length;  // at most 255: it travels as one octet in the block message
  const uint8_t* data;
};

extern const ImageBlock CarriedImageBlocks[CarriedImageBlockCount];
