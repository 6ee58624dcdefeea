// The Modbus switch against a port whose every answer the input makes: opens
// and their line and time-out settings that work or fail, writes that fail
// or go out short, reads that fail or bring any octets. The switch is built
// with this file standing in for the serial port, clock and console, so an
// input runs without a device or a pause.
//
// What must hold: at most one port is open, and none after a failed open or
// a close; no call reaches a port that is not open; every write puts one
// whole Write Single Register frame with its check on the line, after the
// unread input was dropped; the read stays inside its buffer; a write reports
// an answer exactly when the frame went out whole and octets came back, a
// port that failed when the write or read failed, and a port not opened when
// none is open; nothing is ever printed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "client/modbus.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/serial.h"

namespace plat {
struct SerialPort {
  bool lineSet = false;
  bool timeoutsSet = false;
  bool purged = false;
};
}  // namespace plat

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

FuzzedDataProvider* g_in = nullptr;
std::set<plat::SerialHandle> g_open;
// What the last write put on the line and what the port answered.
std::vector<uint8_t> g_written;
bool g_writeWhole = false;
bool g_answered = false;
// The last write's write or read failed.
bool g_ioFailed = false;

bool Works() { return !g_in->ConsumeBool(); }  // the input running out: everything works

void CheckOpen(plat::SerialHandle port) { Check(port != nullptr && g_open.count(port) == 1); }

}  // namespace

namespace plat {

SerialHandle serial_open(const char* name, Access access) {
  Check(name != nullptr && access == Access::ReadWrite);
  if (!Works()) return nullptr;
  SerialHandle port = new SerialPort;
  g_open.insert(port);
  return port;
}

bool serial_close(SerialHandle port) {
  CheckOpen(port);
  g_open.erase(port);
  delete port;
  return Works();
}

bool serial_get_line(SerialHandle port, LineSettings* settings) {
  CheckOpen(port);
  *settings = LineSettings{};
  settings->byte_size = 7;
  settings->parity = 2;
  settings->stop_bits = 2;
  return Works();
}

bool serial_set_line(SerialHandle port, const LineSettings& settings) {
  CheckOpen(port);
  Check(settings.baud_rate == 9600 && settings.byte_size == 8 && settings.parity == 0 &&
        settings.stop_bits == 0 && settings.binary && !settings.parity_check);
  port->lineSet = true;
  return Works();
}

bool serial_get_timeouts(SerialHandle port, Timeouts* timeouts) {
  CheckOpen(port);
  *timeouts = Timeouts{};
  return Works();
}

bool serial_set_timeouts(SerialHandle port, const Timeouts& timeouts) {
  CheckOpen(port);
  Check(timeouts.read_interval == 50 && timeouts.read_total_multiplier == 1 &&
        timeouts.read_total_constant == 1000);
  port->timeoutsSet = true;
  return Works();
}

bool serial_purge(SerialHandle port, unsigned what) {
  CheckOpen(port);
  if ((what & kPurgeRx) != 0) port->purged = true;
  return Works();
}

bool serial_write(SerialHandle port, const void* buffer, uint32_t length, uint32_t* done) {
  CheckOpen(port);
  Check(port->lineSet && port->timeoutsSet && port->purged);
  port->purged = false;
  const auto* octets = static_cast<const uint8_t*>(buffer);
  g_written.assign(octets, octets + length);
  if (!Works()) {
    g_ioFailed = true;
    return false;
  }
  *done = g_in->ConsumeBool() ? g_in->ConsumeIntegralInRange<uint32_t>(0, length) : length;
  g_writeWhole = *done == length;
  return true;
}

bool serial_read(SerialHandle port, void* buffer, uint32_t length, uint32_t* done) {
  CheckOpen(port);
  // The system may fill all of the buffer it was given.
  std::memset(buffer, 0xEE, length);
  if (!Works()) {
    g_ioFailed = true;
    return false;
  }
  const std::vector<uint8_t> answer =
      g_in->ConsumeBytes<uint8_t>(g_in->ConsumeIntegralInRange<uint32_t>(0, length));
  if (!answer.empty()) std::memcpy(buffer, answer.data(), answer.size());
  *done = static_cast<uint32_t>(answer.size());
  g_answered = !answer.empty();
  return true;
}

void sleep_ms(uint32_t) {}

uint32_t last_error() { return 5; }

void error_text(uint32_t code, char* text, std::size_t size) {
  std::snprintf(text, size, "system error %u", static_cast<unsigned>(code));
}

// The switch prints nothing: whatever happens is in its results.
void con_printf(const char*, ...) { Check(false); }

}  // namespace plat

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  g_in = &in;
  ModbusPort port;
  Check(g_open.empty());
  bool open = false;
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
      case 0: {
        const Result opened = port.Open("Com1", 9600);
        Check(opened.Ok() || (opened.outcome == Outcome::PortNotOpened && !opened.text.empty()));
        Check(g_open.size() == (opened.Ok() ? 1u : 0u));
        open = opened.Ok();
        break;
      }
      case 1: {
        const auto slave = in.ConsumeIntegral<uint8_t>();
        const auto reg = in.ConsumeIntegral<uint16_t>();
        const auto value = in.ConsumeIntegral<uint16_t>();
        g_written.clear();
        g_writeWhole = g_answered = g_ioFailed = false;
        const Result answered = port.WriteSingleRegister(slave, reg, value);
        Check(g_open.size() == (open ? 1u : 0u));
        if (!open) {
          Check(answered.outcome == Outcome::PortNotOpened && g_written.empty());
          break;
        }
        const uint8_t frame[] = {slave, 6, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg),
                                 static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
        Check(g_written.size() == 8 && std::memcmp(g_written.data(), frame, sizeof frame) == 0);
        Check(Modbus_Crc16(g_written.data(), g_written.size()) == 0);
        const Outcome expected = g_ioFailed                    ? Outcome::PortLost
                                 : g_writeWhole && g_answered ? Outcome::Done
                                                              : Outcome::NoAnswer;
        Check(answered.outcome == expected);
        Check((expected == Outcome::PortLost) == !answered.text.empty());
        break;
      }
      default:
        port.Close();
        Check(g_open.empty());
        open = false;
        break;
    }
  }
  port.Close();
  Check(g_open.empty());
  g_in = nullptr;
  return 0;
}
