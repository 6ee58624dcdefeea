// The front end's shared state: the menu loop's state, the ports found, and
// the devices of the last discovery. Owned by the main thread; the threads of
// the jobs see only what a job is handed.
#pragma once

#include <cstdint>

#include "app/menu_state.h"
#include "app/ports.h"
#include "app/summary.h"
#include "client/scan.h"

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

  // One report per device of `devices` that processing has reached.
  DeviceReport reports[MaxDevices];
  uint32_t reportCount = 0;
  // Unattended with lists: what was asked for and not taken up.
  RunGaps gaps;
  // Started from the command line: a programming error then ends the run
  // with its own exit status.
  bool unattended = false;
  // A device reported a programming error.
  bool programmingError = false;
  // The operator interrupted the program; the loop ended with this status.
  bool interrupted = false;
  int interruptStatus = 0;
};
