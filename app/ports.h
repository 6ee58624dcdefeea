// The COM ports a technician can choose from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/port_name.h"
#include "client/result.h"
#include "platform/serial.h"

inline constexpr int MaxPorts = 32;
inline constexpr int PortNameSize = 32;
inline constexpr int PortDescriptionSize = 160;

// Port names in the form in which they are opened: "Com%d" below 10 and
// "\\.\Com%d" from 10 on. Beside each, what the system knows about the
// device behind it (maker, product, serial number and device node on Linux,
// the adapter's friendly name on Windows), or an empty text.
struct PortList {
  char names[MaxPorts][PortNameSize] = {};
  char descriptions[MaxPorts][PortDescriptionSize] = {};
};

// Tries ports 1 to 255 in order and keeps those that open (a port held by
// another program does not) with their descriptions; returns how many were
// kept, at most MaxPorts.
uint8_t EnumeratePorts(PortList* list);

// The line for a port whose USB adapter holds received octets back for longer
// than a transfer can afford: the timer, what it costs an update, and how to
// change it. An empty text when there is nothing to say.
void DescribeAdapterLatency(const char* portName, const plat::AdapterLatency& latency, char* text,
                            std::size_t size);

// Asks the system about the adapter behind `portName` (on Linux this also sets
// its timer to 1 ms where it can) and prints the line above when there is one;
// once per port and run, however often the port is opened.
void ReportAdapterLatency(const char* portName);

// The line for a port that did not open (`why`: Client_OpenFailure's
// account): the system's words and `remedy`, what to do next (a sentence
// without its full stop); for a bus with no free station address for the PC,
// what to do about that instead. No line end.
void DescribePortNotOpened(const char* portName, const Result& why, const char* remedy,
                           char* text, std::size_t size);
