#include "client/own_address.h"

#include "platform/clock.h"

namespace {

constexpr uint8_t kFrameToken = 0;
constexpr uint32_t kListenMs = 1000;
constexpr uint32_t kEnoughTokens = 4;

// The port failed: the system's words for its last error.
Result SystemFailure() {
  char why[160];
  plat::error_text(plat::last_error(), why, sizeof why);
  return {Outcome::PortNotOpened, why};
}

}  // namespace

void MakeDevicePath(const char* portName, char* out, std::size_t outSize) {
  plat::device_path(portName, out, outSize);
}

Result Client_OpenRawPort(const char* portName, plat::SerialHandle* port) {
  *port = nullptr;
  char path[300];
  MakeDevicePath(portName, path, sizeof path);
  plat::SerialHandle opened = plat::serial_open(path, plat::Access::Read);
  if (opened == nullptr) return SystemFailure();
  plat::LineSettings line;
  plat::Timeouts timeouts;
  bool ok = plat::serial_get_line(opened, &line);
  if (ok) {
    line.baud_rate = 38400;
    line.binary = true;
    line.parity_check = false;
    line.discard_null = false;
    line.byte_size = 8;
    line.parity = 0;
    line.stop_bits = 0;
    ok = plat::serial_set_line(opened, line) && plat::serial_get_timeouts(opened, &timeouts);
  }
  if (ok) {
    timeouts.read_interval = 0;
    timeouts.read_total_multiplier = 0;
    timeouts.read_total_constant = 200;
    ok = plat::serial_set_timeouts(opened, timeouts);
  }
  if (!ok) {
    // The system's words before the close can replace them.
    Result failed = SystemFailure();
    plat::serial_close(opened);
    return failed;
  }
  *port = opened;
  return {};
}

bool StationUseCounter::Feed(uint8_t octet) {
  switch (state_) {
    case 0:
      if (octet == 0x55) state_ = 1;
      return false;
    case 1:
      state_ = octet == 0xFF ? 2 : 0;
      return false;
    case 2:
      frameType_ = octet;
      state_ = 3;
      return false;
    case 3:
      state_ = 4;
      if (frameType_ == kFrameToken && octet < kStations) {
        ++uses_[octet];
        return ++tokens_[octet] >= kEnoughTokens;
      }
      return false;
    default:
      if (octet < kStations) ++uses_[octet];
      state_ = 0;
      return false;
  }
}

uint8_t StationUseCounter::LowestUnused(uint8_t lowest, uint8_t highest) const {
  for (unsigned station = lowest; station <= highest && station < kStations; ++station) {
    if (uses_[station] == 0) return static_cast<uint8_t>(station);
  }
  return 255;
}

Result Client_FindFreeStation(const char* portName, uint8_t lowest, uint8_t highest,
                              uint8_t* station) {
  *station = 255;
  if (lowest >= StationUseCounter::kStations || highest >= StationUseCounter::kStations ||
      lowest > highest) {
    return Outcome::Refused;
  }
  plat::timer_begin_period(1);
  plat::SerialHandle port = nullptr;
  Result opened = Client_OpenRawPort(portName, &port);
  if (!opened) return opened;
  StationUseCounter counter;
  const uint32_t start = plat::now_ms();
  while (plat::now_ms() - start < kListenMs) {
    uint8_t octet = 0;
    uint32_t got = 0;
    // A read that brings nothing means 200 ms of silence: nobody is there.
    if (!plat::serial_read(port, &octet, 1, &got) || got == 0) break;
    if (counter.Feed(octet)) break;
  }
  plat::serial_close(port);
  *station = counter.LowestUnused(lowest, highest);
  return *station == 255 ? Result(Outcome::NoFreeStation) : Result();
}
