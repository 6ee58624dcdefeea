// Tarnix bus frames as a station sees them on the wire: the two MS/TP
// checksums, building a frame, and reassembling frames from timed octets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/node.h"

namespace sim {

enum FrameType : uint8_t {
  kToken = 0,
  kPollForMaster = 1,
  kReplyToPoll = 2,
  kTestRequest = 3,
  kTestResponse = 4,
  kDataExpectingReply = 5,
  kDataNotExpectingReply = 6,
  kReplyPostponed = 7,
};

inline constexpr uint8_t kBroadcast = 255;
inline constexpr size_t kMaxFrameData = 501;

// One step of the 8-bit header register (polynomial x^8 + x^7 + 1).
uint8_t HeaderCrcStep(uint8_t reg, uint8_t octet);
// One step of the 16-bit data register (reflected CRC-CCITT).
uint16_t DataCrcStep(uint16_t reg, uint8_t octet);

// The complete octets of one frame, preamble to data checksum.
std::vector<uint8_t> EncodeFrame(uint8_t type, uint8_t dest, uint8_t src,
                                 const std::vector<uint8_t>& data);

struct Frame {
  uint8_t type = 0;
  uint8_t dest = 0;
  uint8_t src = 0;
  std::vector<uint8_t> data;
};

// Reassembles frames from octets. A gap longer than the abort time inside a
// frame, a bad checksum or an oversized length makes the frame invalid.
class FrameReceiver {
 public:
  enum class Result { kNone, kValid, kInvalid };

  static constexpr Micros kAbortGap = 20'000;

  Result Push(uint8_t octet, Micros now);
  // Drops a partly received frame (the station stopped listening).
  void Clear() { state_ = State::kPreamble1; }
  const Frame& frame() const { return frame_; }

 private:
  enum class State { kPreamble1, kPreamble2, kHeader, kData };

  State state_ = State::kPreamble1;
  Micros last_ = 0;
  uint8_t header_[6] = {};
  size_t headerLen_ = 0;
  size_t dataLen_ = 0;
  std::vector<uint8_t> body_;  // data followed by its two checksum octets
  Frame frame_;
};

}  // namespace sim
