// The PC's own station address: before the link joins a bus, the port is
// opened by itself and the traffic is listened to for at most one second; the
// lowest candidate address that nobody was seen using is taken.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/result.h"
#include "platform/serial.h"

// The file name under which a port is opened: "COM12" becomes "\\.\COM12"
// (names of 4 to 6 characters starting with "com" in any letter case); any
// other name is used as it is. The result is cut to `outSize`.
void MakeDevicePath(const char* portName, char* out, std::size_t outSize);

// Opens the port read-only at 38400 8N1 with reads that give up after 200 ms
// of silence into `*port`. PortNotOpened with the system's words when the port
// cannot be opened or set up; `*port` is then null.
Result Client_OpenRawPort(const char* portName, plat::SerialHandle* port);

// Listens on the port (which the link must not hold) and puts into `*station`
// the lowest address from `lowest` to `highest` (both below 16) that no
// station used; the port is closed again. Otherwise `*station` is 255 and the
// result says why: PortNotOpened (with the system's words), NoFreeStation, or
// Refused for a range that is not one of candidates below 16.
Result Client_FindFreeStation(const char* portName, uint8_t lowest, uint8_t highest,
                              uint8_t* station);

// Counts station use from the octets of a bus: the destination of every token
// and the source of every header. A master that is still looking for a
// successor sends polls but no token; its polls alone mark its address as
// taken. Checksums and data are not examined; after each header the next 0x55
// starts a new one.
class StationUseCounter {
 public:
  static constexpr uint8_t kStations = 16;

  // One octet; true when a station has been given the token four times and
  // listening can stop.
  bool Feed(uint8_t octet);
  // Lowest address from `lowest` to `highest` with no use, or 255.
  uint8_t LowestUnused(uint8_t lowest, uint8_t highest) const;
  uint32_t Uses(uint8_t station) const { return station < kStations ? uses_[station] : 0; }

 private:
  uint32_t uses_[kStations] = {};
  uint32_t tokens_[kStations] = {};
  uint8_t state_ = 0;
  uint8_t frameType_ = 0;
};
