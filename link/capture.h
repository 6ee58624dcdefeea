// The frame capture: when BREVANE_CAPTURE names a file, every frame the link
// sends or receives, good or damaged, is written there as a capture file that
// packet analysers read as BACnet MS/TP (link type 165), one record per frame
// from the 55 FF preamble on. The variable is read at TarnixLink_Init; while
// it is unset nothing is recorded and no work is done per octet.
//
// One file serves every port of the process. Records are written whole under
// one lock, so frames from the master threads of several ports and from
// passive-mode senders on other threads never interleave. The file is made
// anew by the first Init of the process that finds the variable set, closed
// when the last port closes, and appended to by later Inits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/records.h"

namespace tarnix {

inline constexpr uint32_t kCaptureLinkType = 165;
inline constexpr const char* kCaptureVariable = "BREVANE_CAPTURE";

// Opens (or keeps open) the file named by the variable; true when capturing.
bool CaptureStart();
// Closes the file; called when no port is open any more.
void CaptureStop();

// Microseconds since 1970, the records' time stamps.
int64_t CaptureClock();
// Writes one record of `count` octets stamped `micros`; nothing when no file
// is open.
void CaptureWrite(const uint8_t* octets, size_t count, int64_t micros);

// Receive side, on the master thread, for ports with CaptureOn set.
// One octet that the receive step took in state `before` and left in `after`
// (after any checksum evaluation, before the master machine runs on the
// finished frame, so that records keep the order of the line).
void CaptureReceived(NodeState& node, uint8_t octet, uint8_t before, uint8_t after);
// A silence longer than FrameAbortTimeout broke the frame off: it is recorded
// as far as it got.
void CaptureBrokenOff(NodeState& node);

}  // namespace tarnix
