// The Modbus RTU side of an emulated controller switched to Modbus: slave 1
// at 9600 baud that knows one request, writing the protocol-select value to
// its protocol-select register, and answers everything else with an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/node.h"

namespace sim {

// CRC-16/MODBUS: reflected 0x8005, start 0xFFFF, no final XOR.
uint16_t ModbusCrc16(const uint8_t* bytes, size_t size);

class ModbusSlave {
 public:
  static constexpr uint32_t kBaud = 9600;
  static constexpr uint8_t kSlaveAddress = 1;
  static constexpr uint16_t kSelectTarnix = 1286;
  // 3.5 character times of 10 bits end a frame.
  static constexpr Micros kFrameGap = 35 * 1'000'000 / kBaud;
  static constexpr Micros kCharTime = 10 * 1'000'000 / kBaud;

  ModbusSlave(uint16_t selectRegister, Micros latency);

  void Reset(Micros now);
  void OnOctet(uint8_t octet, Micros now);
  void OnTime(Micros now);
  Micros NextWake() const;
  bool TakeOctet(uint8_t* octet);

  // The switch back to the Tarnix bus was requested and its answer is out.
  bool SwitchDone(Micros now) const;

  uint64_t requests() const { return requests_; }
  uint64_t badFrames() const { return badFrames_; }

 private:
  void EndOfFrame(Micros now);
  void Answer(std::vector<uint8_t> pdu, Micros now);

  uint16_t selectRegister_;
  Micros latency_;
  std::vector<uint8_t> rx_;
  Micros lastOctet_ = 0;
  Micros now_ = 0;
  Micros txEnd_ = 0;
  Micros due_ = kNever;
  std::vector<uint8_t> pending_;
  std::deque<uint8_t> tx_;
  bool switchRequested_ = false;
  uint64_t requests_ = 0;
  uint64_t badFrames_ = 0;
};

}  // namespace sim
