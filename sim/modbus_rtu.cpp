#include "sim/modbus_rtu.h"

#include <algorithm>

namespace sim {

uint16_t ModbusCrc16(const uint8_t* bytes, size_t size) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < size; ++i) {
    crc = static_cast<uint16_t>(crc ^ bytes[i]);
    for (int k = 0; k < 8; ++k) {
      crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u) : static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}

ModbusSlave::ModbusSlave(uint16_t selectRegister, Micros latency)
    : selectRegister_(selectRegister), latency_(latency) {}

void ModbusSlave::Reset(Micros now) {
  rx_.clear();
  tx_.clear();
  pending_.clear();
  due_ = kNever;
  switchRequested_ = false;
  now_ = now;
  txEnd_ = now;
  lastOctet_ = now;
}

void ModbusSlave::OnOctet(uint8_t octet, Micros now) {
  now_ = now;
  // A gap of 3.5 characters ends the previous frame even if no wake came.
  if (!rx_.empty() && now - kCharTime - lastOctet_ >= kFrameGap) EndOfFrame(now);
  rx_.push_back(octet);
  lastOctet_ = now;
}

void ModbusSlave::OnTime(Micros now) {
  now_ = now;
  if (!rx_.empty() && now - lastOctet_ >= kFrameGap) EndOfFrame(now);
  if (due_ <= now && tx_.empty()) {
    tx_.assign(pending_.begin(), pending_.end());
    pending_.clear();
    due_ = kNever;
  }
}

Micros ModbusSlave::NextWake() const {
  Micros wake = due_;
  if (!rx_.empty()) wake = std::min(wake, lastOctet_ + kFrameGap);
  if (switchRequested_ && tx_.empty() && due_ == kNever) wake = std::min(wake, txEnd_);
  return wake;
}

bool ModbusSlave::TakeOctet(uint8_t* octet) {
  if (tx_.empty()) return false;
  *octet = tx_.front();
  tx_.pop_front();
  txEnd_ = std::max(txEnd_, now_) + kCharTime;
  return true;
}

bool ModbusSlave::SwitchDone(Micros now) const {
  return switchRequested_ && due_ == kNever && tx_.empty() && now >= txEnd_;
}

void ModbusSlave::Answer(std::vector<uint8_t> pdu, Micros now) {
  uint16_t crc = ModbusCrc16(pdu.data(), pdu.size());
  pdu.push_back(static_cast<uint8_t>(crc & 0xFF));
  pdu.push_back(static_cast<uint8_t>(crc >> 8));
  pending_ = std::move(pdu);
  due_ = now + latency_;
  txEnd_ = due_;
}

void ModbusSlave::EndOfFrame(Micros now) {
  std::vector<uint8_t> f;
  f.swap(rx_);
  if (f.size() < 4) {
    ++badFrames_;
    return;
  }
  auto crcGood = [](const uint8_t* p, size_t n) {
    uint16_t crc = ModbusCrc16(p, n - 2);
    return p[n - 2] == (crc & 0xFF) && p[n - 1] == (crc >> 8);
  };
  if (!crcGood(f.data(), f.size())) {
    ++badFrames_;
    // Octets from a bus running at another speed arrive as garbage around a
    // request without the silence that would end a frame; look for a whole
    // eight-octet request to this slave inside what was heard.
    size_t at = 0;
    while (at + 8 <= f.size() && !((f[at] == kSlaveAddress || f[at] == 0) && crcGood(&f[at], 8))) ++at;
    if (at + 8 > f.size()) return;
    f = std::vector<uint8_t>(f.begin() + static_cast<std::ptrdiff_t>(at),
                             f.begin() + static_cast<std::ptrdiff_t>(at + 8));
  }
  uint8_t slave = f[0];
  if (slave != kSlaveAddress && slave != 0) return;
  ++requests_;
  uint8_t function = f[1];
  uint8_t exception = 0;
  if (function != 6) {
    exception = 1;  // illegal function
  } else if (f.size() != 8) {
    exception = 3;  // illegal data value: malformed request
  } else if (((f[2] << 8) | f[3]) != selectRegister_) {
    exception = 2;  // illegal data address
  } else if (((f[4] << 8) | f[5]) != kSelectTarnix) {
    exception = 3;
  } else {
    switchRequested_ = true;
  }
  if (slave == 0) {
    // Broadcasts are carried out but never answered.
    txEnd_ = now;
    return;
  }
  if (exception != 0) {
    Answer({kSlaveAddress, static_cast<uint8_t>(function | 0x80), exception}, now);
  } else {
    Answer(std::vector<uint8_t>(f.begin(), f.end() - 2), now);
  }
}

}  // namespace sim
