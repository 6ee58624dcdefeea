// The two frame checksums of the Tarnix bus (those of BACnet MS/TP): an 8-bit
// header CRC (x^8 + x^7 + 1) and the reflected 16-bit CRC-CCITT over the data.
#pragma once

#include <cstdint>

namespace tarnix {

inline constexpr uint8_t kHeaderCrcInit = 0xFF;
inline constexpr uint8_t kHeaderCrcGood = 0x55;  // register after header and its checksum
inline constexpr uint16_t kDataCrcInit = 0xFFFF;
inline constexpr uint16_t kDataCrcGood = 0xF0B8;  // register after data and both checksum octets

uint8_t HeaderCrcUpdate(uint8_t crc, uint8_t octet);
uint16_t DataCrcUpdate(uint16_t crc, uint8_t octet);

}  // namespace tarnix
