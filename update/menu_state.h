// The states of the front end's menu loop. They live below the front end
// because the update and backup handlers that the loop dispatches to return
// the state that follows them.
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
