// The states of the front end's menu loop. The settings backup and restore
// handlers return the state that follows them; the loop maps what the update
// steps say comes next for the device to these states.
#pragma once

#include <cstdint>

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
