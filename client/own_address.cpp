#include "client/own_address.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/console.h"

namespace {

constexpr uint8_t kFrameToken = 0;
constexpr uint32_t kListenMs = 1000;
constexpr uint32_t kEnoughTokens = 4;

bool StartsWithCom(const char* name) {
  return std::tolower(static_cast<unsigned char>(name[0])) == 'c' &&
         std::tolower(static_cast<unsigned char>(name[1])) == 'o' &&
         std::tolower(static_cast<unsigned char>(name[2])) == 'm';
}

}  // namespace

void MakeDevicePath(const char* portName, char* out, std::size_t outSize) {
  if (outSize == 0) return;
  const std::size_t length = std::strlen(portName);
  if (length >= 4 && length <= 6 && StartsWithCom(portName)) {
    std::snprintf(out, outSize, "\\\\.\\%s", portName);
  } else {
    std::snprintf(out, outSize, "%s", portName);
  }
}

plat::SerialHandle Client_OpenRawPort(const char* portName) {
  char path[300];
  MakeDevicePath(portName, path, sizeof path);
  plat::SerialHandle port = plat::serial_open(path, plat::Access::Read);
  if (port == nullptr) {
    plat::con_printf("Opening port %s Failed\r\n", path);
    return nullptr;
  }
  plat::LineSettings line;
  plat::Timeouts timeouts;
  bool ok = false;
  if (!plat::serial_get_line(port, &line)) {
    plat::con_printf("Getting Com Port %s Status Failed\n", path);
  } else {
    line.baud_rate = 38400;
    line.binary = true;
    line.parity_check = false;
    line.discard_null = false;
    line.byte_size = 8;
    line.parity = 0;
    line.stop_bits = 0;
    if (!plat::serial_set_line(port, line)) {
      plat::con_printf("Setting comm port %s status failed.\r\n", path);
    } else if (!plat::serial_get_timeouts(port, &timeouts)) {
      plat::con_printf("Getting Comm Port %s TimeOut failed.\r\n", path);
    } else {
      timeouts.read_interval = 0;
      timeouts.read_total_multiplier = 0;
      timeouts.read_total_constant = 200;
      ok = plat::serial_set_timeouts(port, timeouts);
      if (!ok) plat::con_printf("Setting timeout for %s failed\n", path);
    }
  }
  if (!ok) {
    plat::serial_close(port);
    return nullptr;
  }
  return port;
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

uint8_t Client_FindFreeStation(const char* portName, uint8_t lowest, uint8_t highest) {
  if (lowest >= StationUseCounter::kStations || highest >= StationUseCounter::kStations) {
    plat::con_printf("Invalid Address Range %d to %d.\r\n", lowest, highest);
    return 255;
  }
  plat::timer_begin_period(1);
  plat::SerialHandle port = Client_OpenRawPort(portName);
  if (port == nullptr) {
    plat::con_printf("Failed to open the comm port with error code %d\r\n",
                     static_cast<int>(plat::last_error()));
    return 255;
  }
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
  return counter.LowestUnused(lowest, highest);
}
