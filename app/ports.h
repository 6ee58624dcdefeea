// The COM ports a technician can choose from.
#pragma once

#include <cstdint>

#include "client/port_name.h"

inline constexpr int MaxPorts = 32;
inline constexpr int PortNameSize = 32;
inline constexpr int PortDescriptionSize = 160;

// Port names in the form in which they are opened: "Com%d" below 10 and
// "\\.\Com%d" from 10 on. Beside each, what the system knows about the
// device behind it (maker, product, serial number, device node), or an empty
// text: always on Windows, whose port names are all the menu shows.
struct PortList {
  char names[MaxPorts][PortNameSize] = {};
  char descriptions[MaxPorts][PortDescriptionSize] = {};
};

// Tries ports 1 to 255 in order and keeps those that open (a port held by
// another program does not) with their descriptions; returns how many were
// kept, at most MaxPorts.
uint8_t EnumeratePorts(PortList* list);
