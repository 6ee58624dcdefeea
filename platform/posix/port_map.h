// Serial devices found on a POSIX host and given "comN" entries of the port
// directory without the user having to make them, and the descriptions that
// help a person tell one adapter from another.
//
// The device tree is a parameter so that tests can build a fake one: `dev` is
// where the device nodes and /dev/serial/by-id live, `sys` where sysfs is.
#pragma once

#include <string>
#include <vector>

#include "platform/serial.h"

namespace plat::posix {

struct DeviceRoot {
  std::string dev = "/dev";
  std::string sys = "/sys";
};

// One device that can serve as a port. `target` is what an automatic entry
// links to: the stable /dev/serial/by-id name when the device has one,
// otherwise its node. `device` is the node itself, every link resolved.
struct SerialDevice {
  std::string target;
  std::string device;
};

// The devices present, in the order in which they take numbers: USB adapters
// by their /dev/serial/by-id names (sorted), then ttyUSB and ttyACM nodes that
// have no such name (in number order), then the ttyS ports that have hardware
// behind them. A ttyS counts when sysfs shows a device behind it and its UART
// type is not 0: the serial8250 driver registers placeholder ports of type 0
// whether or not a UART exists, and opening one fails.
std::vector<SerialDevice> find_serial_devices(const DeviceRoot& root);

// The file in the port directory that records the entries made automatically.
inline constexpr const char* kAutoRecordName = ".auto-links";

// Brings the automatic entries of `port_dir` up to date with the devices that
// `root` shows:
// - an automatic entry whose device is gone is removed;
// - a device that no entry leads to yet (automatic or the user's own) gets the
//   lowest free number; one that already has an entry keeps it;
// - an entry is automatic only while it is the very link this function made
//   (same inode, same target, as recorded in kAutoRecordName), so a link the
//   user or the emulator made, or made anew over an automatic one, is never
//   changed or removed.
// Concurrent callers, in this or another process, take turns through an
// flock() on the directory. False, with the error recorded, when the
// directory cannot be opened, is locked by another caller for more than a
// second (EWOULDBLOCK), or the record cannot be written.
bool map_serial_devices(const std::string& port_dir, const DeviceRoot& root);

// One line for a person picking a port: maker and product, the serial number
// and the device node, as far as sysfs knows them, e.g.
//   "Acme USB-RS485 Cable, serial AC123456 (/dev/ttyUSB0)"
//   "/dev/ttyS0"
// Empty when `path` does not lead to a device with hardware behind it (a
// pseudo-terminal, a missing file). Texts from the device are reduced to
// printable ASCII, so a device cannot send control sequences to the console.
std::string describe_serial_device(const std::string& path, const DeviceRoot& root);

// The latency timer of the USB adapter behind `path` (any links resolved to
// the device node): the driver's "latency_timer" attribute of the node's
// usb-serial device in sysfs. Above 1 ms it is set to 1 ms; a timer that
// cannot be set is Slow with the errno of the attempt. None when there is no
// such attribute (a pseudo-terminal, an adapter without the timer, a UART).
AdapterLatency adapter_latency(const std::string& path, const DeviceRoot& root);

}  // namespace plat::posix
