#include "link/crc.h"

namespace tarnix {

uint8_t HeaderCrcUpdate(uint8_t crc, uint8_t octet) {
  const unsigned c = static_cast<unsigned>(crc ^ octet) & 0xFFu;
  // c times (1 + x + ... + x^7): the shifted copies overlap into the second byte.
  const unsigned t = c ^ (c << 1) ^ (c << 2) ^ (c << 3) ^ (c << 4) ^ (c << 5) ^ (c << 6) ^ (c << 7);
  return static_cast<uint8_t>((t & 0xFEu) ^ ((t >> 8) & 1u));
}

uint16_t DataCrcUpdate(uint16_t crc, uint8_t octet) {
  const unsigned c = (static_cast<unsigned>(crc) & 0xFFu) ^ octet;
  const unsigned next = (static_cast<unsigned>(crc) >> 8) ^ (c << 8) ^ (c << 3) ^ (c << 12) ^
                        (c >> 4) ^ (c & 0x0Fu) ^ ((c & 0x0Fu) << 7);
  return static_cast<uint16_t>(next & 0xFFFFu);
}

}  // namespace tarnix
