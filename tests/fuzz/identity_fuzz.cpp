// Arbitrary bytes as the reply to an identity read: the decoding must stay
// inside the reply, keep the record's texts terminated, and change nothing
// when it refuses the reply.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "client/scan.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

template <std::size_t N>
bool Terminated(const char (&field)[N]) {
  return std::memchr(field, 0, N) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  DeviceRecord record;
  std::memset(&record, 0x5A, sizeof record);
  record.modelNumber[sizeof record.modelNumber - 1] = '\0';
  record.deviceName[sizeof record.deviceName - 1] = '\0';
  DeviceRecord before;
  std::memcpy(&before, &record, sizeof record);

  const int result = DecodeIdentityItems(data, size, &record);
  Check(result == 0 || result == 1);
  Check(Terminated(record.modelNumber) && Terminated(record.deviceName));
  if (result == 0) Check(std::memcmp(&before, &record, sizeof record) == 0);
  return 0;
}
