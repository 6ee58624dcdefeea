// The COM ports a technician can choose from.
#pragma once

#include <cstdint>

#include "client/port_name.h"

inline constexpr int MaxPorts = 32;
inline constexpr int PortNameSize = 32;

// Port names in the form in which they are opened: "Com%d" below 10 and
// "\\.\Com%d" from 10 on.
struct PortList {
  char names[MaxPorts][PortNameSize] = {};
};

// Tries ports 1 to 255 in order and keeps those that open (a port held by
// another program does not); returns how many were kept, at most MaxPorts.
uint8_t EnumeratePorts(PortList* list);
