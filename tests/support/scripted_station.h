// A station of the emulated bus that a test scripts: it sends octets at the
// bus times the test chose, answers Data Expecting Reply frames addressed to
// it with whatever the test makes of them (replies the controllers would
// never send: cut short, damaged, from elsewhere), and remembers every octet
// it heard and when. It takes no part in token passing.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "sim/mstp_frame.h"
#include "sim/node.h"

namespace test_support {

struct Heard {
  uint8_t octet;
  sim::Micros at;
};

class ScriptedStation : public sim::Node {
 public:
  // The octets to send in answer to a request (whole frames), or nothing.
  using Answer = std::function<std::vector<uint8_t>(const sim::Frame& request)>;
  // Answers go out this long after the request's last octet.
  static constexpr sim::Micros kAnswerDelay = 2'000;

  explicit ScriptedStation(uint32_t baud = 38400) : baud_(baud) {}

  // Answers the requests addressed to `address` from now on.
  ScriptedStation& AnswerAs(uint8_t address, Answer answer) {
    address_ = address;
    answer_ = std::move(answer);
    return *this;
  }
  // Queues `octets` for sending once bus time reaches `at`.
  ScriptedStation& SendAt(sim::Micros at, std::vector<uint8_t> octets) {
    auto& queued = script_[at];
    queued.insert(queued.end(), octets.begin(), octets.end());
    return *this;
  }
  void SetBaud(uint32_t baud) { baud_ = baud; }

  const std::vector<Heard>& heard() const { return heard_; }
  std::vector<uint8_t> HeardOctets() const {
    std::vector<uint8_t> octets;
    for (const Heard& h : heard_) octets.push_back(h.octet);
    return octets;
  }
  const std::vector<sim::Micros>& woken() const { return woken_; }

  uint32_t Baud() const override { return baud_; }
  void OnOctet(uint8_t octet, sim::Micros now) override {
    heard_.push_back({octet, now});
    if (!answer_ || rx_.Push(octet, now) != sim::FrameReceiver::Result::kValid) return;
    const sim::Frame& frame = rx_.frame();
    if (frame.type != sim::kDataExpectingReply || frame.dest != address_) return;
    std::vector<uint8_t> reply = answer_(frame);
    if (!reply.empty()) SendAt(now + kAnswerDelay, std::move(reply));
  }
  void OnTime(sim::Micros now) override {
    woken_.push_back(now);
    while (!script_.empty() && script_.begin()->first <= now) {
      auto& octets = script_.begin()->second;
      outbox_.insert(outbox_.end(), octets.begin(), octets.end());
      script_.erase(script_.begin());
    }
  }
  sim::Micros NextWake() const override { return script_.empty() ? sim::kNever : script_.begin()->first; }
  bool TakeOctet(uint8_t* octet) override {
    if (outbox_.empty()) return false;
    *octet = outbox_.front();
    outbox_.pop_front();
    return true;
  }

 private:
  uint32_t baud_;
  uint8_t address_ = 0;
  Answer answer_;
  sim::FrameReceiver rx_;
  std::map<sim::Micros, std::vector<uint8_t>> script_;
  std::deque<uint8_t> outbox_;
  std::vector<Heard> heard_;
  std::vector<sim::Micros> woken_;
};

// An answer from `address` of the data `replies` holds for the request's
// service code (its data octet 1), as a Data Not Expecting Reply frame;
// nothing for other codes.
inline ScriptedStation::Answer CannedReplies(uint8_t address,
                                             std::map<uint8_t, std::vector<uint8_t>> replies) {
  return [address, replies = std::move(replies)](const sim::Frame& request) {
    const auto reply = request.data.size() > 1 ? replies.find(request.data[1]) : replies.end();
    if (reply == replies.end()) return std::vector<uint8_t>{};
    return sim::EncodeFrame(sim::kDataNotExpectingReply, request.src, address, reply->second);
  };
}

// A complete frame, checksums included.
inline std::vector<uint8_t> MakeFrame(uint8_t type, uint8_t dest, uint8_t src,
                                      const std::vector<uint8_t>& data = {}) {
  return sim::EncodeFrame(type, dest, src, data);
}

}  // namespace test_support
