// Unattended mode: with a port and a station address on the command line the
// device is chosen without any menu, and processing starts at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/front_end.h"

enum class Preselection : uint8_t {
  Selected,          // one device to process
  PortNotOpened,     // the port could not be opened
  NothingToProcess,  // no fitting device at the address (or, without one, not exactly one)
};

// Scans `portName` and makes the device at `address` the only one to process
// (state NextDevice); with address 0 (no address given) a port with a single
// fitting device processes that one. Nothing fits: state Quit, and nothing is printed; a
// port that cannot be opened: state Quit, and one line says so.
Preselection Preselect(FrontEndState* state, const char* portName, uint8_t address);

// Why an unattended run ends with ExitNothingToProcess or ExitDeviceFailed, in
// one line for standard error (no line end); "" for any other status.
void UnattendedExitReason(const FrontEndState& state, Preselection selection,
                          const char* portName, uint8_t address, int exitStatus, char* text,
                          std::size_t size);
