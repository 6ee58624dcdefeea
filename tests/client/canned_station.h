// A station of the emulated bus that answers requests addressed to it with
// replies the test chose, by service code, so that replies the controllers
// would never send (cut short, malformed, damaged on the line) can reach the
// client. It takes no part in token passing.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "sim/frame_scanner.h"
#include "sim/mstp_frame.h"
#include "sim/node.h"

namespace client_test {

class CannedStation : public sim::Node {
 public:
  static constexpr sim::Micros kAnswerDelay = 2'000;

  // By service code: `damaged`, how many of the first answers go out with a
  // bit of their data check flipped, as a line fault would leave them;
  // `unheard`, how many of the first requests go unanswered, as if lost.
  CannedStation(uint8_t address, std::map<uint8_t, std::vector<uint8_t>> replies,
                std::map<uint8_t, int> damaged = {}, std::map<uint8_t, int> unheard = {})
      : address_(address),
        replies_(std::move(replies)),
        damaged_(std::move(damaged)),
        unheard_(std::move(unheard)),
        scanner_([this](const sim::ScannedFrame& f) { OnFrame(f); }) {}

  // Requests received for a service; read once the bus has stopped.
  int Requests(uint8_t service) const {
    const auto it = requests_.find(service);
    return it == requests_.end() ? 0 : it->second;
  }

  uint32_t Baud() const override { return 38400; }
  void OnOctet(uint8_t octet, sim::Micros now) override {
    now_ = now;
    scanner_.Feed(octet, now);
  }
  void OnTime(sim::Micros now) override {
    now_ = now;
    if (!pending_.empty() && now >= due_) {
      outbox_.insert(outbox_.end(), pending_.begin(), pending_.end());
      pending_.clear();
    }
  }
  sim::Micros NextWake() const override { return pending_.empty() ? sim::kNever : due_; }
  bool TakeOctet(uint8_t* octet) override {
    if (outbox_.empty()) return false;
    *octet = outbox_.front();
    outbox_.pop_front();
    return true;
  }

 private:
  static constexpr uint8_t kDataExpectingReply = 5;
  static constexpr uint8_t kDataNotExpectingReply = 6;
  static constexpr std::size_t kHeader = 8;

  void OnFrame(const sim::ScannedFrame& f) {
    if (!f.Good() || f.octets.size() < kHeader + 2) return;
    const uint8_t type = f.octets[2];
    const uint8_t destination = f.octets[3];
    const uint8_t source = f.octets[4];
    if (type != kDataExpectingReply || destination != address_) return;
    const uint8_t service = f.octets[kHeader + 1];
    ++requests_[service];
    const auto reply = replies_.find(service);
    if (reply == replies_.end()) return;
    int& unheard = unheard_[service];
    if (unheard > 0) {
      --unheard;
      return;
    }
    pending_ = sim::EncodeFrame(kDataNotExpectingReply, source, address_, reply->second);
    int& damaged = damaged_[service];
    if (damaged > 0) {
      --damaged;
      pending_.back() ^= 0x01;
    }
    due_ = now_ + kAnswerDelay;
  }

  uint8_t address_;
  std::map<uint8_t, std::vector<uint8_t>> replies_;
  std::map<uint8_t, int> damaged_;
  std::map<uint8_t, int> unheard_;
  std::map<uint8_t, int> requests_;
  sim::FrameScanner scanner_;
  sim::Micros now_ = 0;
  sim::Micros due_ = sim::kNever;
  std::vector<uint8_t> pending_;
  std::deque<uint8_t> outbox_;
};

}  // namespace client_test
