// A small bus for driving emulated controllers in-process: it carries octets
// at the line speed between attached nodes and a tester endpoint, and
// decodes what the nodes send with its own frame checks. Senders are
// serialised a whole frame at a time; collisions are not modelled here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "sim/node.h"

namespace simtest {

using sim::Micros;

inline uint8_t TestHeaderCrc(const std::vector<uint8_t>& octets) {
  unsigned c = 0xFF;
  for (uint8_t b : octets) {
    c ^= b;
    for (int i = 0; i < 8; ++i) c = (c & 1u) ? (c >> 1) ^ 0x81u : c >> 1;
  }
  return static_cast<uint8_t>(~c & 0xFFu);
}

inline uint16_t TestDataCrc(const std::vector<uint8_t>& octets) {
  unsigned c = 0xFFFF;
  for (uint8_t b : octets) {
    c ^= b;
    for (int i = 0; i < 8; ++i) c = (c & 1u) ? (c >> 1) ^ 0x8408u : c >> 1;
  }
  return static_cast<uint16_t>(~c & 0xFFFFu);
}

inline std::vector<uint8_t> TestFrame(uint8_t type, uint8_t dest, uint8_t src,
                                      const std::vector<uint8_t>& data = {}) {
  std::vector<uint8_t> header{type, dest, src, static_cast<uint8_t>(data.size() >> 8),
                              static_cast<uint8_t>(data.size() & 0xFF)};
  // Appended octet by octet: GCC 12 at -O2 reports range inserts into a
  // vector made from a short initialiser list as out-of-bounds copies.
  std::vector<uint8_t> f{0x55, 0xFF};
  for (uint8_t octet : header) f.push_back(octet);
  f.push_back(TestHeaderCrc(header));
  if (!data.empty()) {
    uint16_t d = TestDataCrc(data);
    for (uint8_t octet : data) f.push_back(octet);
    f.push_back(static_cast<uint8_t>(d & 0xFF));
    f.push_back(static_cast<uint8_t>(d >> 8));
  }
  return f;
}

inline uint16_t TestModbusCrc(const std::vector<uint8_t>& octets) {
  unsigned c = 0xFFFF;
  for (uint8_t b : octets) {
    c ^= b;
    for (int i = 0; i < 8; ++i) c = (c & 1u) ? (c >> 1) ^ 0xA001u : c >> 1;
  }
  return static_cast<uint16_t>(c);
}

struct Heard {
  size_t from = 0;  // index of the sending node
  bool valid = false;
  uint8_t type = 0, dest = 0, src = 0;
  std::vector<uint8_t> data;
  Micros end = 0;  // time the last octet of the frame was complete
};

class TestBus {
 public:
  static constexpr size_t kTester = static_cast<size_t>(-1);

  void Attach(sim::Node* node) {
    nodes_.push_back(node);
    raw_.emplace_back();
  }

  void Send(const std::vector<uint8_t>& octets, uint32_t baud = 38400) {
    testerBaud_ = baud;
    tester_.insert(tester_.end(), octets.begin(), octets.end());
  }

  Micros now() const { return now_; }
  const std::vector<Heard>& frames() const { return frames_; }
  // Octets a node sent, with the time each was complete.
  const std::vector<std::pair<uint8_t, Micros>>& raw(size_t node) const { return raw_[node]; }

  void RunFor(Micros d) { RunUntil([] { return false; }, now_ + d); }

  // Runs until `done` holds after an event or `limit` is reached; true when done.
  bool RunUntil(const std::function<bool()>& done, Micros limit) {
    while (now_ < limit) {
      if (Step(limit) && done()) return true;
    }
    return done();
  }

  // Sends a frame from the tester at address `tester` to `device` and waits
  // for the device's first frame back other than a token or a poll; empty
  // when none comes within `wait`.
  std::optional<Heard> Exchange(uint8_t type, uint8_t device, uint8_t tester,
                                const std::vector<uint8_t>& data, Micros wait = 300'000) {
    size_t seen = frames_.size();
    Send(TestFrame(type, device, tester, data));
    std::optional<Heard> answer;
    RunUntil(
        [&] {
          for (size_t i = seen; i < frames_.size(); ++i) {
            if (frames_[i].src == device && frames_[i].dest == tester && frames_[i].type != 0 &&
                frames_[i].type != 1) {
              answer = frames_[i];
              return true;
            }
          }
          return false;
        },
        now_ + wait);
    return answer;
  }

 private:
  static Micros OctetTime(uint32_t baud) { return 10'000'000 / static_cast<Micros>(baud); }

  // One event: an octet on the line, or a wake. True when something happened.
  bool Step(Micros limit) {
    if (sender_ == kNone) {
      if (!tester_.empty()) {
        sender_ = kTester;
      } else {
        for (size_t i = 0; i < nodes_.size() && sender_ == kNone; ++i) {
          uint8_t o = 0;
          if (nodes_[i]->TakeOctet(&o)) {
            sender_ = i;
            Carry(i, o, nodes_[i]->Baud());
            return true;
          }
        }
      }
    }
    if (sender_ == kTester) {
      uint8_t o = tester_.front();
      tester_.pop_front();
      Carry(kTester, o, testerBaud_);
      if (tester_.empty()) sender_ = kNone;
      return true;
    }
    if (sender_ != kNone) {
      uint8_t o = 0;
      if (nodes_[sender_]->TakeOctet(&o)) {
        Carry(sender_, o, nodes_[sender_]->Baud());
        return true;
      }
      sender_ = kNone;
      return true;
    }
    Micros wake = limit;
    for (sim::Node* n : nodes_) wake = std::min(wake, n->NextWake());
    now_ = std::max(now_ + 1, wake);
    if (now_ > limit) now_ = limit;
    for (sim::Node* n : nodes_) n->OnTime(now_);
    return true;
  }

  void Carry(size_t from, uint8_t octet, uint32_t baud) {
    now_ += OctetTime(baud);
    for (size_t i = 0; i < nodes_.size(); ++i) {
      if (i == from) continue;
      // At another line speed an octet arrives garbled.
      nodes_[i]->OnOctet(nodes_[i]->Baud() == baud ? octet : static_cast<uint8_t>(~octet ^ 0x5A),
                         now_);
    }
    if (from != kTester) {
      raw_[from].emplace_back(octet, now_);
      Parse(from, octet);
    }
    for (sim::Node* n : nodes_) n->OnTime(now_);
  }

  void Parse(size_t from, uint8_t octet) {
    std::vector<uint8_t>& p = partial_[from];
    p.push_back(octet);
    if (p.size() == 1 && p[0] != 0x55) p.clear();
    if (p.size() == 2 && p[1] != 0xFF) p.clear();
    if (p.size() < 8) return;
    size_t length = (static_cast<size_t>(p[5]) << 8) | p[6];
    size_t total = 8 + (length ? length + 2 : 0);
    if (p.size() < total) return;
    Heard h;
    h.from = from;
    h.type = p[2];
    h.dest = p[3];
    h.src = p[4];
    h.end = now_;
    h.valid = TestHeaderCrc({p.begin() + 2, p.begin() + 7}) == p[7];
    if (length) {
      h.data.assign(p.begin() + 8, p.begin() + 8 + static_cast<std::ptrdiff_t>(length));
      uint16_t d = TestDataCrc(h.data);
      h.valid = h.valid && p[8 + length] == (d & 0xFF) && p[9 + length] == (d >> 8);
    }
    frames_.push_back(h);
    p.clear();
  }

  static constexpr size_t kNone = static_cast<size_t>(-2);

  std::vector<sim::Node*> nodes_;
  std::vector<std::vector<std::pair<uint8_t, Micros>>> raw_;
  std::vector<uint8_t> partial_[8];
  std::vector<Heard> frames_;
  std::deque<uint8_t> tester_;
  uint32_t testerBaud_ = 38400;
  size_t sender_ = kNone;
  Micros now_ = 0;
};

}  // namespace simtest
