// Arbitrary bytes as a list of values, read the way the settings restore
// steps through the items of a message: each value must stay inside the
// input, and a value read and written again gives back the bytes it came from.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "client/typed_value.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// Types whose wire form the encoder reproduces exactly from the decoded value.
bool RoundTrips(uint8_t type) {
  switch (type) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 8:
    case 11: case 12: case 13: case 17: case 18:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // The first byte chooses the text buffer size, small ones included.
  if (size == 0) return 0;
  const std::size_t bufferSize = data[0] % 40;
  ++data;
  --size;

  char text[40];
  std::size_t at = 0;
  while (at < size) {
    TypedValue value;
    value.buffer = bufferSize > 0 ? text : nullptr;
    value.bufferSize = bufferSize;
    const uint16_t taken = TypedValue_Decode(data + at, size - at, &value);
    if (taken == 0) break;
    Check(taken <= size - at);
    if (value.buffer != nullptr && value.type == 9) {
      Check(std::memchr(text, 0, bufferSize) != nullptr);
    }
    if (value.type == 10 || value.type == 14) {
      Check(value.counted == data + at + 1);
    }
    if (RoundTrips(data[at])) {
      uint8_t again[8];
      const std::size_t written = TypedValue_Encode(value, again, sizeof again);
      Check(written == taken && std::memcmp(again, data + at, taken) == 0);
    }
    at += taken;
  }
  return 0;
}
