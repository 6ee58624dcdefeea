// A station for the bus tests: it sends what the test scheduled, at the
// times the test chose, and remembers every octet it heard and when.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "sim/mstp_frame.h"
#include "sim/node.h"

namespace sim::testing {

struct Heard {
  uint8_t octet;
  Micros at;
};

// A complete frame, checksums included (checked against the worked frames in
// the scanner tests).
inline std::vector<uint8_t> MakeFrame(uint8_t type, uint8_t dest, uint8_t src,
                                      const std::vector<uint8_t>& data = {}) {
  return EncodeFrame(type, dest, src, data);
}

class ScriptedNode : public Node {
 public:
  explicit ScriptedNode(uint32_t baud = 38400) : baud_(baud) {}

  // Queues `octets` for sending once bus time reaches `at`.
  void SendAt(Micros at, std::vector<uint8_t> octets) {
    auto& queued = script_[at];
    queued.insert(queued.end(), octets.begin(), octets.end());
  }
  void SetBaud(uint32_t baud) { baud_ = baud; }

  const std::vector<Heard>& heard() const { return heard_; }
  std::vector<uint8_t> HeardOctets() const {
    std::vector<uint8_t> octets;
    for (const Heard& h : heard_) octets.push_back(h.octet);
    return octets;
  }
  const std::vector<Micros>& woken() const { return woken_; }

  uint32_t Baud() const override { return baud_; }
  void OnOctet(uint8_t octet, Micros now) override { heard_.push_back({octet, now}); }
  void OnTime(Micros now) override {
    woken_.push_back(now);
    while (!script_.empty() && script_.begin()->first <= now) {
      auto& octets = script_.begin()->second;
      outbox_.insert(outbox_.end(), octets.begin(), octets.end());
      script_.erase(script_.begin());
    }
  }
  Micros NextWake() const override { return script_.empty() ? kNever : script_.begin()->first; }
  bool TakeOctet(uint8_t* octet) override {
    if (outbox_.empty()) return false;
    *octet = outbox_.front();
    outbox_.pop_front();
    return true;
  }

 private:
  uint32_t baud_;
  std::map<Micros, std::vector<uint8_t>> script_;
  std::deque<uint8_t> outbox_;
  std::vector<Heard> heard_;
  std::vector<Micros> woken_;
};

}  // namespace sim::testing
