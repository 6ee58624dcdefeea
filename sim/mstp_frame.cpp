#include "sim/mstp_frame.h"

namespace sim {

uint8_t HeaderCrcStep(uint8_t reg, uint8_t octet) {
  unsigned c = static_cast<unsigned>(reg ^ octet) & 0xFFu;
  unsigned t = c ^ (c << 1) ^ (c << 2) ^ (c << 3) ^ (c << 4) ^ (c << 5) ^ (c << 6) ^ (c << 7);
  return static_cast<uint8_t>((t & 0xFEu) ^ ((t >> 8) & 1u));
}

uint16_t DataCrcStep(uint16_t reg, uint8_t octet) {
  unsigned c = (static_cast<unsigned>(reg) ^ octet) & 0xFFu;
  unsigned r = (static_cast<unsigned>(reg) >> 8) ^ (c << 8) ^ (c << 3) ^ (c << 12) ^ (c >> 4) ^
               (c & 0x0Fu) ^ ((c & 0x0Fu) << 7);
  return static_cast<uint16_t>(r & 0xFFFFu);
}

std::vector<uint8_t> EncodeFrame(uint8_t type, uint8_t dest, uint8_t src,
                                 const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out{0x55, 0xFF, type, dest, src,
                           static_cast<uint8_t>(data.size() >> 8),
                           static_cast<uint8_t>(data.size() & 0xFF)};
  uint8_t h = 0xFF;
  for (size_t i = 2; i < 7; ++i) h = HeaderCrcStep(h, out[i]);
  out.push_back(static_cast<uint8_t>(~h));
  if (!data.empty()) {
    uint16_t d = 0xFFFF;
    for (uint8_t o : data) d = DataCrcStep(d, o);
    d = static_cast<uint16_t>(~d);
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(static_cast<uint8_t>(d & 0xFF));
    out.push_back(static_cast<uint8_t>(d >> 8));
  }
  return out;
}

FrameReceiver::Result FrameReceiver::Push(uint8_t octet, Micros now) {
  if (state_ != State::kPreamble1 && now - last_ > kAbortGap) {
    state_ = State::kPreamble1;
  }
  last_ = now;
  switch (state_) {
    case State::kPreamble1:
      if (octet == 0x55) state_ = State::kPreamble2;
      return Result::kNone;
    case State::kPreamble2:
      if (octet == 0xFF) {
        state_ = State::kHeader;
        headerLen_ = 0;
      } else if (octet != 0x55) {
        state_ = State::kPreamble1;
      }
      return Result::kNone;
    case State::kHeader: {
      header_[headerLen_++] = octet;
      if (headerLen_ < 6) return Result::kNone;
      uint8_t h = 0xFF;
      for (uint8_t o : header_) h = HeaderCrcStep(h, o);
      state_ = State::kPreamble1;
      if (h != 0x55) return Result::kInvalid;
      frame_.type = header_[0];
      frame_.dest = header_[1];
      frame_.src = header_[2];
      frame_.data.clear();
      dataLen_ = (static_cast<size_t>(header_[3]) << 8) | header_[4];
      if (dataLen_ > kMaxFrameData) return Result::kInvalid;
      if (dataLen_ == 0) return Result::kValid;
      body_.clear();
      state_ = State::kData;
      return Result::kNone;
    }
    case State::kData: {
      body_.push_back(octet);
      if (body_.size() < dataLen_ + 2) return Result::kNone;
      state_ = State::kPreamble1;
      uint16_t d = 0xFFFF;
      for (uint8_t o : body_) d = DataCrcStep(d, o);
      if (d != 0xF0B8) return Result::kInvalid;
      frame_.data.assign(body_.begin(), body_.end() - 2);
      return Result::kValid;
    }
  }
  return Result::kNone;
}

}  // namespace sim
