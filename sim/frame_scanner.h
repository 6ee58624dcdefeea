// Finds Tarnix (MS/TP) frames in a stream of octets, the way a sniffer on the
// line would: a 55 FF preamble, an eight-octet header whose length field says
// how much data follows, then the data and its checksum. Frames are reported
// good or bad; a frame broken off by a long silence is reported as it stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "sim/node.h"

namespace sim {

// The MS/TP header checksum register after running over `octets`, starting
// from 0xFF (not complemented).
uint8_t HeaderCrcRegister(std::span<const uint8_t> octets);
// The MS/TP data checksum register after running over `octets`, starting
// from 0xFFFF (not complemented).
uint16_t DataCrcRegister(std::span<const uint8_t> octets);

struct ScannedFrame {
  std::vector<uint8_t> octets;  // from the 0x55 of the preamble on
  Micros start = 0;             // when the 0x55 was complete
  bool header_ok = false;
  bool data_ok = false;         // true also for a frame without data
  bool complete = false;        // false when broken off by silence or the end
  bool Good() const { return header_ok && data_ok && complete; }
};

class FrameScanner {
 public:
  using Sink = std::function<void(const ScannedFrame&)>;

  // Longest data a receiver accepts; a header announcing more is a bad frame.
  static constexpr size_t kMaxData = 501;
  // A gap this long inside a frame ends it as broken off.
  static constexpr Micros kAbortGap = 100'000;

  explicit FrameScanner(Sink sink);

  void Feed(uint8_t octet, Micros now);
  // Reports a frame that is still being collected as broken off.
  void Flush();

  // True from a 0x55 that could open a frame until that frame is reported
  // or turns out not to be one.
  bool InFrame() const { return state_ != State::kIdle; }
  // True while only the first preamble octet has been seen.
  bool AwaitingSecondPreamble() const { return state_ == State::kPreamble; }

 private:
  enum class State { kIdle, kPreamble, kHeader, kData };

  void Emit(bool header_ok, bool data_ok, bool complete);

  Sink sink_;
  State state_ = State::kIdle;
  ScannedFrame frame_;
  Micros last_ = 0;
  size_t data_total_ = 0;  // data plus checksum octets still expected in all
};

}  // namespace sim
