// Serial ports, the way the link and the searches above it see them: a handle
// opened exclusively, line settings and read time-outs with the semantics of
// the Windows communications API, and single reads and writes.
//
// Port names: "Com3", "\\.\Com12" and the like. On POSIX hosts such a name is
// looked up in the port directory (see port_directory()): an entry "comN", in
// any letter case, that links to the tty. The directory is $BREVANE_PORTS when
// set, else "${XDG_RUNTIME_DIR}/brevane/ports", or "/tmp/brevane-<uid>/ports"
// without XDG_RUNTIME_DIR. A name holding '/' is a path and is used as it is.
// Without $BREVANE_PORTS the directory is the tool's own: whenever a name is
// looked up there (at most once a second), the serial devices present get
// entries of their own, USB adapters by their /dev/serial/by-id names, and
// entries of gone devices are removed; entries the user made are left alone
// (see platform/posix/port_map.h). A directory named in $BREVANE_PORTS is
// only read.
//
// On POSIX hosts a port is held exclusively through an flock() on the device
// plus TIOCEXCL, so a second open by this or another program fails (EBUSY);
// line-status errors are never reported (the event mask is always 0). Flow
// control (RTS/CTS, XON/XOFF) is switched off at open: the bus has none, and a
// driver left with it on stalls every write behind a line nobody drives.
// A port whose device has gone (an adapter pulled, the far end of a pty
// closed) fails its reads and writes with EIO instead of looking quiet.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

struct SerialPort;
using SerialHandle = SerialPort*;  // nullptr: no port

enum class Access { Read, ReadWrite };

// The fields the system sets; whatever else the driver holds (modem lines, and
// on Windows flow control) is carried over from the last serial_get_line()
// untouched.
struct LineSettings {
  uint32_t baud_rate = 0;
  uint8_t byte_size = 8;
  uint8_t parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t stop_bits = 0;  // 0 one, 1 one and a half, 2 two
  bool binary = true;
  bool parity_check = false;
  bool discard_null = false;
  bool abort_on_error = false;
};

// Read time-outs in milliseconds, as the Windows API defines them:
// - interval = kMaxDword, multiplier = 0, constant = 0: a read returns at once
//   with whatever has already arrived;
// - otherwise a read ends after multiplier * length + constant ms in all (0: no
//   total limit), or when more than `interval` ms pass between two octets once
//   the first has come (0: no interval limit), or when the buffer is full;
// - interval = kMaxDword, multiplier = kMaxDword, 0 < constant < kMaxDword: a
//   read returns at once with what has arrived, or waits up to `constant` ms
//   for the first octets and returns with them;
// - a write ends after write multiplier * length + write constant ms with the
//   octets that went (0 for both: it waits for ever).
struct Timeouts {
  uint32_t read_interval = 0;
  uint32_t read_total_multiplier = 0;
  uint32_t read_total_constant = 0;
  uint32_t write_total_multiplier = 0;
  uint32_t write_total_constant = 0;
};

inline constexpr uint32_t kMaxDword = 0xFFFFFFFFu;
inline constexpr unsigned kPurgeRx = 1u;  // discard received, unread input
inline constexpr unsigned kPurgeTx = 2u;  // discard output not yet sent
inline constexpr uint32_t kEvErr = 0x80u;  // line-status error in the event mask

// The one rule that turns a port name into the path to open: a short name
// "COMn" (4 to 6 characters, "com" in any letter case) becomes "\\.\COMn",
// the device namespace form that is the only one to reach ports from COM10 on;
// any other name is a path already and is copied as it is. The result is cut
// to `size` - 1 characters.
void device_path(const char* name, char* path, std::size_t size);

// Opens an existing port for exclusive use, the name turned into a path by
// device_path(); nullptr when it does not exist, is
// held by another program, or is not a serial device. last_error() tells why.
SerialHandle serial_open(const char* name, Access access);
bool serial_close(SerialHandle port);

bool serial_get_line(SerialHandle port, LineSettings* settings);
bool serial_set_line(SerialHandle port, const LineSettings& settings);
bool serial_get_timeouts(SerialHandle port, Timeouts* timeouts);
bool serial_set_timeouts(SerialHandle port, const Timeouts& timeouts);

// *done is the number of octets moved; false only when the system call failed.
bool serial_read(SerialHandle port, void* buffer, uint32_t length, uint32_t* done);
bool serial_write(SerialHandle port, const void* buffer, uint32_t length, uint32_t* done);
bool serial_purge(SerialHandle port, unsigned what);
bool serial_get_event_mask(SerialHandle port, uint32_t* mask);

// What the system knows about the device behind `name`, as one line for a
// person picking a port: maker, product, serial number and device node on
// Linux ("Acme USB-RS485 Cable, serial AC123456 (/dev/ttyUSB0)"), the device's
// friendly name on Windows ("USB Serial Port (COM5)"). False, with `text`
// empty, when it knows nothing: a pseudo-terminal, a port without a device
// entry.
bool serial_describe(const char* name, char* text, std::size_t size);

// Many USB-RS485 adapters hand received octets to the PC only when a USB
// packet's worth has gathered or when their latency timer runs out, 16 ms
// unless set otherwise. Every reply then waits that long to arrive, which adds
// tens of seconds to an update.
enum class LatencyState : uint8_t {
  None,     // no latency timer that the system shows (not such an adapter)
  Fine,     // the timer is at timer_ms, short enough
  Lowered,  // the timer was at timer_ms and has been set to 1 ms
  Slow,     // the timer stays at timer_ms; `error` says why it could not be
            // lowered, 0 where this system leaves it to the user
};

struct AdapterLatency {
  LatencyState state = LatencyState::None;
  uint32_t timer_ms = 0;
  uint32_t error = 0;
};

// The latency timer of the adapter behind `name`. On Linux the timer is read
// from sysfs and, above 1 ms, set to 1 ms (serial_open() does the same);
// setting it takes write access to the sysfs attribute. On Windows the timer
// is the adapter driver's "LatencyTimer" among the port's device parameters in
// the registry, which only the device's settings can change; above 2 ms it is
// Slow with `error` 0.
AdapterLatency serial_latency(const char* name);

// The directory that maps "comN" names to devices on POSIX hosts
// ($BREVANE_PORTS, or the per-user default); empty on Windows.
const char* port_directory();

// The system's code for the last failure on the calling thread.
uint32_t last_error();

// The system's message for an error code, without a line end; cut to fit.
void error_text(uint32_t code, char* text, std::size_t size);

}  // namespace plat
