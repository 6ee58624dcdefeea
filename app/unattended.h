// Unattended mode: with a port and a station address on the command line the
// device is chosen without any menu, and processing starts at once.
#pragma once

#include <cstdint>

#include "app/front_end.h"

// Scans `portName` and makes the device at `address` the only one to process
// (state NextDevice); with address 0 (no address given) a port with a single
// fitting device processes that one. Nothing fits: state Quit, and nothing is printed; a
// port that cannot be opened: state Quit, and one line says so.
void Preselect(FrontEndState* state, const char* portName, uint8_t address);
