#include "client/modbus.h"

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/serial.h"

namespace {

plat::SerialHandle g_port = nullptr;
// An open that failed leaves no handle, but it is not the programming slip
// that a write without any open is: the write then just fails, quietly, and
// the relocation search goes on as it would with any other failed write.
bool g_openFailed = false;

constexpr uint32_t kAnswerDelayMs = 100;
constexpr uint32_t kAnswerRoom = 128;

}  // namespace

uint16_t Modbus_Crc16(const uint8_t* bytes, std::size_t count) {
  uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      const bool out = (crc & 1u) != 0;
      crc >>= 1;
      if (out) crc ^= 0xA001;
    }
  }
  return crc;
}

void Modbus_BuildWriteSingleRegister(uint8_t slave, uint16_t registerNumber, uint16_t value,
                                     uint8_t frame[8]) {
  frame[0] = slave;
  frame[1] = 6;
  frame[2] = static_cast<uint8_t>(registerNumber >> 8);
  frame[3] = static_cast<uint8_t>(registerNumber);
  frame[4] = static_cast<uint8_t>(value >> 8);
  frame[5] = static_cast<uint8_t>(value);
  const uint16_t crc = Modbus_Crc16(frame, 6);
  frame[6] = static_cast<uint8_t>(crc);
  frame[7] = static_cast<uint8_t>(crc >> 8);
}

int Modbus_OpenPort(const char* portName, uint32_t baudRate) {
  if (g_port != nullptr) Modbus_ClosePort();
  g_openFailed = true;
  plat::SerialHandle port = plat::serial_open(portName, plat::Access::ReadWrite);
  if (port == nullptr) return 0;

  plat::LineSettings line;
  bool ok = plat::serial_get_line(port, &line);
  if (ok) {
    line.baud_rate = baudRate;
    line.binary = true;
    line.parity_check = false;
    line.discard_null = false;
    line.byte_size = 8;
    line.parity = 0;
    line.stop_bits = 0;
    ok = plat::serial_set_line(port, line);
  }
  plat::Timeouts timeouts;
  if (ok) ok = plat::serial_get_timeouts(port, &timeouts);
  if (ok) {
    timeouts.read_interval = 50;
    timeouts.read_total_multiplier = 1;
    timeouts.read_total_constant = 1000;
    ok = plat::serial_set_timeouts(port, timeouts);
    if (!ok) plat::con_printf("Setting timeout failed\n");
  }
  if (!ok) {
    plat::serial_close(port);
    return 0;
  }
  g_port = port;
  g_openFailed = false;
  return 1;
}

int Modbus_WriteSingleRegister(uint8_t slave, uint16_t registerNumber, uint16_t value) {
  if (g_port == nullptr) {
    if (!g_openFailed) plat::con_printf("ERROR: Null Ptr\r\n");
    return 0;
  }
  plat::serial_purge(g_port, plat::kPurgeRx);
  uint8_t frame[8];
  Modbus_BuildWriteSingleRegister(slave, registerNumber, value, frame);
  uint32_t written = 0;
  if (!plat::serial_write(g_port, frame, sizeof frame, &written) || written != sizeof frame) {
    return 0;
  }
  plat::sleep_ms(kAnswerDelayMs);
  uint8_t answer[kAnswerRoom];
  uint32_t got = 0;
  if (!plat::serial_read(g_port, answer, sizeof answer, &got)) return 0;
  return got > 0 ? 1 : 0;
}

int Modbus_ClosePort() {
  plat::SerialHandle port = g_port;
  g_port = nullptr;
  g_openFailed = false;
  if (port == nullptr) return 0;
  return plat::serial_close(port) ? 1 : 0;
}
