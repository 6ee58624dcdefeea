#include "client/modbus.h"

#include "platform/clock.h"
#include "platform/serial.h"

namespace {

constexpr uint32_t kAnswerDelayMs = 100;
constexpr uint32_t kAnswerRoom = 128;

// The system's words for its last error, as the outcome `outcome`.
Result SystemFailure(Outcome outcome) {
  char why[160];
  plat::error_text(plat::last_error(), why, sizeof why);
  return {outcome, why};
}

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

ModbusPort::~ModbusPort() { Close(); }

Result ModbusPort::Open(const char* portName, uint32_t baudRate) {
  if (handle_ != nullptr) Close();
  plat::SerialHandle port = plat::serial_open(portName, plat::Access::ReadWrite);
  if (port == nullptr) return SystemFailure(Outcome::PortNotOpened);

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
  }
  if (!ok) {
    // The system's words before the close can replace them.
    Result failed = SystemFailure(Outcome::PortNotOpened);
    plat::serial_close(port);
    return failed;
  }
  handle_ = port;
  return {};
}

Result ModbusPort::WriteSingleRegister(uint8_t slave, uint16_t registerNumber, uint16_t value) {
  if (handle_ == nullptr) return Outcome::PortNotOpened;
  plat::serial_purge(handle_, plat::kPurgeRx);
  uint8_t frame[8];
  Modbus_BuildWriteSingleRegister(slave, registerNumber, value, frame);
  uint32_t written = 0;
  if (!plat::serial_write(handle_, frame, sizeof frame, &written)) {
    return SystemFailure(Outcome::PortLost);
  }
  if (written != sizeof frame) return Outcome::NoAnswer;
  plat::sleep_ms(kAnswerDelayMs);
  uint8_t answer[kAnswerRoom];
  uint32_t got = 0;
  if (!plat::serial_read(handle_, answer, sizeof answer, &got)) {
    return SystemFailure(Outcome::PortLost);
  }
  return got > 0 ? Result() : Result(Outcome::NoAnswer);
}

int ModbusPort::Close() {
  plat::SerialHandle port = handle_;
  handle_ = nullptr;
  if (port == nullptr) return 0;
  return plat::serial_close(port) ? 1 : 0;
}
