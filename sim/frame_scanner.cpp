#include "sim/frame_scanner.h"

#include <utility>

#include "sim/mstp_frame.h"

namespace sim {

uint8_t HeaderCrcRegister(std::span<const uint8_t> octets) {
  uint8_t reg = 0xFF;
  for (uint8_t octet : octets) reg = HeaderCrcStep(reg, octet);
  return reg;
}

uint16_t DataCrcRegister(std::span<const uint8_t> octets) {
  uint16_t reg = 0xFFFF;
  for (uint8_t octet : octets) reg = DataCrcStep(reg, octet);
  return reg;
}

FrameScanner::FrameScanner(Sink sink) : sink_(std::move(sink)) {}

void FrameScanner::Feed(uint8_t octet, Micros now) {
  if (state_ != State::kIdle && now - last_ > kAbortGap) Flush();
  last_ = now;
  switch (state_) {
    case State::kIdle:
      if (octet == 0x55) {
        frame_ = ScannedFrame{};
        frame_.octets.push_back(octet);
        frame_.start = now;
        state_ = State::kPreamble;
      }
      return;
    case State::kPreamble:
      if (octet == 0xFF) {
        frame_.octets.push_back(octet);
        state_ = State::kHeader;
      } else if (octet == 0x55) {
        // A repeated first preamble octet: the frame may start here instead.
        frame_.start = now;
      } else {
        state_ = State::kIdle;
      }
      return;
    case State::kHeader: {
      frame_.octets.push_back(octet);
      if (frame_.octets.size() < 8) return;
      const std::span<const uint8_t> header(frame_.octets.data() + 2, 6);
      if (HeaderCrcRegister(header) != 0x55) {
        Emit(false, false, true);
        return;
      }
      const size_t length = static_cast<size_t>(frame_.octets[5]) << 8 | frame_.octets[6];
      if (length == 0) {
        Emit(true, true, true);
      } else if (length > kMaxData) {
        Emit(false, false, true);
      } else {
        data_total_ = length + 2;
        state_ = State::kData;
      }
      return;
    }
    case State::kData:
      frame_.octets.push_back(octet);
      if (frame_.octets.size() < 8 + data_total_) return;
      Emit(true, DataCrcRegister(std::span<const uint8_t>(frame_.octets).subspan(8)) == 0xF0B8,
           true);
      return;
  }
}

void FrameScanner::Flush() {
  if (state_ == State::kHeader || state_ == State::kData) {
    Emit(state_ == State::kData, false, false);
  }
  state_ = State::kIdle;
}

void FrameScanner::Emit(bool header_ok, bool data_ok, bool complete) {
  frame_.header_ok = header_ok;
  frame_.data_ok = data_ok;
  frame_.complete = complete;
  state_ = State::kIdle;
  sink_(frame_);
}

}  // namespace sim
