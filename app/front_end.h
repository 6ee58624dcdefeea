// The front end's shared state: the menu loop's state, the ports found, and
// the devices of the last discovery. Owned by the main thread; the workers see
// only what a job request hands them.
#pragma once

#include <cstdint>

#include "app/ports.h"
#include "client/scan.h"

// The numbers are the states' identities in the menu loop.
enum class MenuState : uint8_t {
  ShowImages = 1,
  SelectPort = 2,
  Discover = 3,
  NextDevice = 4,
  BackupSettings = 5,
  StartProgramming = 6,
  ProgrammingProgress = 7,
  AfterProgramming = 8,
  RestoreSettings = 9,
  FinishDevice = 10,
  AllDone = 11,
  Quit = 12,
};

inline constexpr uint32_t MaxDiscovered = 160;
inline constexpr uint32_t MaxDevices = 32;

struct FrontEndState {
  MenuState menuState = MenuState::ShowImages;
  PortList ports;
  int32_t portCount = 0;
  uint8_t currentPort = 0;
  uint8_t portsToScan = 0;
  DeviceRecord discovered[MaxDiscovered];
  uint32_t discoveredCount = 0;
  DeviceRecord devices[MaxDevices];
  uint32_t deviceCount = 0;
  uint8_t currentDevice = 0;
};
