// Frames for the tests, built by the link's own framing, so that streams of
// any length can be fed to the link.
#pragma once

#include <cstdint>
#include <vector>

#include "link/transmit.h"

namespace tarnix_test {

using Octets = std::vector<uint8_t>;

inline Octets BuildFrame(uint8_t type, uint8_t destination, uint8_t source, const Octets& data) {
  Octets frame(10 + data.size());
  frame.resize(tarnix::BuildFrame(type, destination, source, data.data(),
                                  static_cast<uint16_t>(data.size()), true, false, frame.data()));
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
