// The link's contact with the serial port and the system timer: opening and
// configuring a port, single-octet reads and writes, purges, the port's IoLock,
// the 2 ms tick that drives every port's millisecond timers, and the packet jam.
// Every per-port operation finds the SerialChannel by port id and does nothing
// when there is none.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/records.h"
#include "platform/clock.h"

namespace tarnix {

inline constexpr uint8_t kOpenFailed = 253;
inline constexpr uint8_t kTickFailed = 252;
inline constexpr uint32_t kTickMs = 2;

// Room for the longest device path: the "\\.\" prefix, the name and its NUL.
inline constexpr size_t kDevicePathSize = kNameLength + 5;

// Short names of the form COMn (4 to 6 characters, "com" in any letter case)
// are opened through the device namespace as "\\.\COMn", which is the only
// form that reaches ports from COM10 on; anything else is taken as a path.
void DevicePath(const char* name, char (&path)[kDevicePathSize]);

// Opens and configures the port: 8 data bits, no parity, one stop bit, binary,
// no parity check, NUL octets kept, no abort on error, and read time-outs that
// make a read return at once. 0, or kOpenFailed; on failure nothing stays open.
uint8_t OpenPort(const char* name, uint8_t id, uint32_t baudRate);

// Closes the handle (when there is one) and gives IoLock back. False when the
// close failed.
bool ClosePort(uint8_t id);

void WriteOctet(uint8_t id, uint8_t octet);
// Reads at most one octet without waiting; true when one was there.
bool ReadOctetNow(uint8_t id, uint8_t* octet);
// 1 when the port reports a line error (or the query fails), else 0.
uint8_t ReadErrorFlag(uint8_t id);
void DiscardInput(uint8_t id);
void DiscardOutput(uint8_t id);
void LockPort(uint8_t id);
void UnlockPort(uint8_t id);

// Reads the line settings, changes the baud rate and writes them back; nothing
// happens when reading them fails.
void SetPortBaud(uint8_t id, uint32_t baudRate);

// The tick period for a timer with these capabilities: 2 ms when the timer can
// do it, the best it offers when that is finer than 2 ms, and false when it
// cannot resolve 2 ms at all.
bool ChooseTickPeriod(const plat::TimerCaps& caps, uint32_t* period);

// The tick is shared by all open ports: the first user starts it, the last
// stops it. AcquireTick returns 0 or kTickFailed (and then holds nothing).
uint8_t AcquireTick();
void ReleaseTick();
bool TickRunning();

// One tick: adds 2 ms to the silence, reply-delay and token-age timers of every
// NodeState slot that is active.
void Tick();

// Starts the jam thread (one 0xFF octet every 10 ms) and takes IoLock on the
// calling thread, which holds the receiver and passive-mode senders off the
// line. A second jam while one is in force is ignored.
void StartJam(LinkPort& port, SerialChannel& channel);
// Stops and joins the jam thread and leaves IoLock. Only the thread that
// started the jam owns IoLock; on any other thread this does nothing.
void StopJam(LinkPort& port, SerialChannel& channel);

}  // namespace tarnix
