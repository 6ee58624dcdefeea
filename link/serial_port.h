// The link's contact with the serial port and the system timer: opening and
// configuring a port, block reads and frame writes, purges, the port's IoLock,
// the system timer resolution the link's waits need, and the packet jam.
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

// How long a read for the rest of a frame waits beyond the time the rest takes
// on the line.
inline constexpr uint32_t kReadWaitMs = 5;
// A write gives up after this much time per octet plus a constant, so that a
// port whose driver holds the output back (a stuck adapter) fails the frame
// instead of stopping the master thread for good. Two milliseconds an octet
// is twice what an octet takes at 9600 baud.
inline constexpr uint32_t kWriteMsPerOctet = 2;
inline constexpr uint32_t kWriteConstantMs = 100;

// Opens and configures the port: 8 data bits, no parity, one stop bit, binary,
// no parity check, NUL octets kept, no abort on error, bounded writes. 0, or
// kOpenFailed; on failure nothing stays open. The name becomes a path by the
// platform's rule (plat::device_path).
uint8_t OpenPort(const char* name, uint8_t id, uint32_t baudRate);

// Closes the handle (when there is one) and gives IoLock back. False when the
// close failed.
bool ClosePort(uint8_t id);

// Writes `count` octets in one call. False when the write failed or timed out
// before all went; a failed system call also marks the port lost.
bool WriteOctets(uint8_t id, const uint8_t* octets, uint32_t count);
// Reads at most one octet without waiting; true when one was there.
bool ReadOctetNow(uint8_t id, uint8_t* octet);
// The receiver's read: with `expect` 0, what has arrived, waiting up to
// `waitMs` for the first octets; otherwise `expect` octets (at most `size`),
// waiting as long as they take on the line and kReadWaitMs more. False when
// the read failed: the port is then marked lost.
bool ReadBlock(uint8_t id, uint8_t* buffer, uint16_t size, uint16_t expect, uint32_t waitMs,
               uint16_t* count);
// 1 when the port reports a line error (or the query fails), else 0.
uint8_t ReadErrorFlag(uint8_t id);
void DiscardInput(uint8_t id);
void DiscardOutput(uint8_t id);
void LockPort(uint8_t id);
void UnlockPort(uint8_t id);
// Records that the port's device has gone, with the system's error code.
void MarkLost(SerialChannel& channel, uint32_t error);

// Reads the line settings, changes the baud rate and writes them back; nothing
// happens when reading them fails.
void SetPortBaud(uint8_t id, uint32_t baudRate);

// The timer resolution the link asks of the system while a port is open, so
// that its waits end on time: 2 ms when the timer can do it, the best it
// offers when that is finer, and false when it cannot resolve 2 ms at all.
bool ChooseTickPeriod(const plat::TimerCaps& caps, uint32_t* period);

// The resolution is shared by all open ports: the first user asks for it, the
// last gives it back. AcquireTick returns 0 or kTickFailed (and then holds
// nothing). The link's timers need no tick of their own (link_clock.h).
uint8_t AcquireTick();
void ReleaseTick();
bool TickRunning();

// Starts the jam thread (one 0xFF octet every 10 ms) and takes IoLock on the
// calling thread, which holds the receiver and passive-mode senders off the
// line. A second jam while one is in force is ignored.
void StartJam(LinkPort& port, SerialChannel& channel);
// Stops and joins the jam thread and leaves IoLock. Only the thread that
// started the jam owns IoLock; on any other thread this does nothing.
void StopJam(LinkPort& port, SerialChannel& channel);

}  // namespace tarnix
