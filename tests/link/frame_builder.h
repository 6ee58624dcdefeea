// Builds Tarnix frames octet by octet for the tests, so that streams of any
// length and with deliberately broken checksums can be fed to the link.
#pragma once

#include <cstdint>
#include <vector>

#include "link/crc.h"

namespace tarnix_test {

using Octets = std::vector<uint8_t>;

inline Octets BuildFrame(uint8_t type, uint8_t destination, uint8_t source, const Octets& data) {
  const uint16_t length = static_cast<uint16_t>(data.size());
  Octets frame = {0x55, 0xFF, type, destination, source, static_cast<uint8_t>(length >> 8),
                  static_cast<uint8_t>(length & 0xFF)};
  uint8_t headerCrc = tarnix::kHeaderCrcInit;
  for (size_t i = 2; i < frame.size(); ++i) {
    headerCrc = tarnix::HeaderCrcUpdate(headerCrc, frame[i]);
  }
  frame.push_back(static_cast<uint8_t>(~headerCrc));
  if (!data.empty()) {
    uint16_t dataCrc = tarnix::kDataCrcInit;
    for (const uint8_t octet : data) {
      dataCrc = tarnix::DataCrcUpdate(dataCrc, octet);
      frame.push_back(octet);
    }
    dataCrc = static_cast<uint16_t>(~dataCrc);
    frame.push_back(static_cast<uint8_t>(dataCrc & 0xFF));
    frame.push_back(static_cast<uint8_t>(dataCrc >> 8));
  }
  return frame;
}

inline Octets Filled(size_t count, uint8_t first) {
  Octets data(count);
  for (size_t i = 0; i < count; ++i) {
    data[i] = static_cast<uint8_t>(first + i);
  }
  return data;
}

}  // namespace tarnix_test
