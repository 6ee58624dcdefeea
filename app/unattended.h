// Unattended mode: with a port and a station address on the command line the
// device is chosen without any menu, and processing starts at once. With lists
// (several ports; several addresses, ALL or UPGRADE) every port is discovered
// first, and the controllers chosen on all of them are then processed one
// after another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "app/settings.h"

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

// Unattended with lists: discovers the ports one after another (a port that
// does not open is said and noted in state->gaps, and the others go on), files
// what each showed in the registry and runs the safety checks after it, and
// chooses on each port what `choice` names: the controllers at `addresses`
// (an address with no fitting controller is said and noted as not found,
// never replaced by another controller), every fitting one (All), or those
// whose firmware is older than the carried one (Upgrade); AddressChoice::One
// is not taken here (one address is a list of one). The chosen ones of
// all ports, at most MaxDevices (the rest are noted), are processed from state
// NextDevice; their table is printed. Nothing chosen: state Quit, and
// PortNotOpened when no port opened.
Preselection PreselectFleet(FrontEndState* state, const std::vector<std::string>& ports,
                            AddressChoice choice, const std::vector<uint8_t>& addresses);

// FleetExitReason is UnattendedExitReason for a run with lists.
void FleetExitReason(const FrontEndState& state, Preselection selection, int exitStatus,
                     char* text, std::size_t size);
