// The Modbus RTU side door: a controller whose protocol setting was left on
// Modbus does not answer on the token bus, but one Write Single Register at
// 9600 baud puts it back. The write is blind: its answer is read but not
// examined, and only a scan afterwards tells whether it worked.
//
// Each switch opens the port for itself (ModbusPort), so switches on
// different ports may run at once; never while the link holds that port.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/result.h"
#include "platform/serial.h"

// A port in Modbus use; closed when it goes.
class ModbusPort {
 public:
  ModbusPort() = default;
  ModbusPort(const ModbusPort&) = delete;
  ModbusPort& operator=(const ModbusPort&) = delete;
  ~ModbusPort();

  // Opens `portName` for exclusive use at `baudRate`, 8N1, with reads that end
  // 50 ms after the last octet or 1000 ms + 1 ms per octet in all. Done, or
  // PortNotOpened with the system's words (nothing is open then).
  Result Open(const char* portName, uint32_t baudRate);
  // Sends function 6 to `slave` and reads up to 128 octets of answer. Done when
  // some answer came; NoAnswer when nothing came back; PortLost with the
  // system's words when the write or the read failed; PortNotOpened when no
  // port is open (none was opened, the last open failed, or it was closed).
  Result WriteSingleRegister(uint8_t slave, uint16_t registerNumber, uint16_t value);
  // 1 = the port was closed; 0 = closing failed or none was open. Either way
  // nothing is open afterwards, so a later write cannot reach a closed port.
  int Close();

 private:
  plat::SerialHandle handle_ = nullptr;
};

// CRC-16/MODBUS (reflected 0xA001, start 0xFFFF, no final XOR).
uint16_t Modbus_Crc16(const uint8_t* bytes, std::size_t count);

// Builds the 8-octet Write Single Register request into `frame`.
void Modbus_BuildWriteSingleRegister(uint8_t slave, uint16_t registerNumber, uint16_t value,
                                     uint8_t frame[8]);

// The value that selects the token bus in the protocol-select register.
inline constexpr uint16_t ModbusSelectTokenBus = 1286;
