// One discovery of the controllers on a port, for the menus and for
// unattended mode alike: the port is opened (an open port stays as it is),
// every station from 4 to 32 is identified, and the port is closed again
// unless the caller keeps it for the devices' processing. The scan runs on a
// thread of its own, so that the console thread can show that it goes on.
#pragma once

#include <cstdint>

#include "client/bus.h"
#include "client/result.h"
#include "client/scan.h"

// The band of station addresses a discovery scans.
inline constexpr uint8_t DiscoveryLow = 4;
inline constexpr uint8_t DiscoveryHigh = 32;

enum class DiscoveryPort : uint8_t { Close, KeepOpen };

// Called on the console thread after each `sliceMs` that the discovery is
// still running; false gives up waiting for it.
using DiscoveryTick = bool (*)(void* context);

// Discovers the controllers on `port` and copies their records, at most
// `capacity`, to `records` (*count: how many). Done, PortNotOpened when the
// port did not open (nothing found), or Stopped when `tick` gave up: the scan
// then ends on its own, and what it finds is dropped.
Result Discover(Bus& bus, const char* port, DiscoveryPort after, uint32_t sliceMs,
                DiscoveryTick tick, void* context, DeviceRecord* records, uint32_t capacity,
                uint32_t* count);
