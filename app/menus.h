// The operator's side of the program: the port menu, discovery with its
// device table, the device menu, and the loop that dispatches on the menu
// state until the operator quits or every chosen device has been processed.
#pragma once

#include <cstdint>

#include "app/front_end.h"

// The upgrade mark: an upward arrow in the console's OEM code page.
inline constexpr char UpgradeMark = 24;

// Runs the loop from state->menuState: 1 when it ends in AllDone, 0 in Quit.
int RunMenuLoop(FrontEndState* state);
// One handler of the loop: the next state after `current`.
MenuState RunMenuState(FrontEndState* state, MenuState current);

MenuState ShowPortMenu(FrontEndState* state);
MenuState DiscoverAndShowDevices(FrontEndState* state);
MenuState ShowNextDevice(FrontEndState* state);

// The device table: header, rule and one row per entry of state->devices.
void PrintDeviceTable(const FrontEndState& state);
// Reads the answer to a menu: false once input has ended. A line that holds
// no number is asked for again, after `prompt` is printed once more.
bool ReadChoice(const char* prompt, int* choice);
