#include "link/transmit.h"

#include <cstring>

#include "link/capture.h"
#include "link/crc.h"
#include "link/ports.h"
#include "link/records.h"
#include "link/serial_port.h"
#include "platform/clock.h"

namespace tarnix {
namespace {

constexpr uint8_t kPreamble1 = 0x55;
constexpr uint8_t kPreamble2 = 0xFF;
constexpr int kTokenFrameLength = 8;

void WriteAndMark(uint8_t id, NodeState& node, uint8_t octet) {
  WriteOctet(id, octet);
  node.SilenceTimer = 0;
}

// The first frame after the token may only go when the input is empty or holds
// nothing but a repetition of the token just received (some stations send the
// token twice); anything else means another station is talking.
bool OnlyTokenRepetitionWaiting(uint8_t id, const NodeState& node) {
  const uint8_t expected[kTokenFrameLength - 1] = {
      kPreamble1, kPreamble2, kFrameToken, node.ThisStation, node.SourceAddress, 0x00, 0x00};
  for (int i = 0; i < kTokenFrameLength; ++i) {
    uint8_t octet = 0;
    if (!ReadOctetNow(id, &octet)) {
      return i == 0;
    }
    if (i < kTokenFrameLength - 1 && octet != expected[i]) {
      return false;
    }
  }
  return true;
}

// 0 when the frame may go, 1 when the bus state forbids it.
uint8_t PassGates(uint8_t id, const LinkPort& port, NodeState& node) {
  if (node.TokenFresh != 0) {
    if (node.TokenAgeTimer.load() > kTokenAgeLimitMs) {
      DiscardInput(id);
      return 1;
    }
    if (!OnlyTokenRepetitionWaiting(id, node)) {
      DiscardInput(id);
      return 1;
    }
    node.TokenFresh = 0;
    node.TokenAgeTimer = 0;
    DiscardInput(id);
  } else {
    uint8_t octet = 0;
    if (ReadOctetNow(id, &octet)) {
      DiscardInput(id);
      return 1;
    }
  }
  if (port.JamActive.load() != 0) {
    return 1;
  }
  if (node.Answering != 0 && node.ReplyDelayTimer.load() > kAnswerWindowMs) {
    return 1;
  }
  if (const uint32_t wait = SilenceWaitMs(node.SilenceTimer.load()); wait > 0) {
    plat::sleep_ms(wait);
  }
  return 0;
}

// The frame as it went out, for the capture file.
void RecordSent(const uint8_t (&header)[5], uint8_t headerCrc, const uint8_t* data, uint16_t length,
                uint16_t dataCrc, int64_t sentAt) {
  if (length > kMaxDataLength) {
    return;
  }
  uint8_t frame[sizeof(RxCapture::Octets)];
  size_t count = 0;
  frame[count++] = kPreamble1;
  frame[count++] = kPreamble2;
  for (const uint8_t octet : header) {
    frame[count++] = octet;
  }
  frame[count++] = headerCrc;
  if (length > 0) {
    std::memcpy(frame + count, data, length);
    count += length;
    frame[count++] = static_cast<uint8_t>(dataCrc & 0xFF);
    frame[count++] = static_cast<uint8_t>(dataCrc >> 8);
  }
  CaptureWrite(frame, count, sentAt);
}

}  // namespace

uint32_t SilenceWaitMs(uint32_t silenceTimer) {
  return silenceTimer < kMinSilenceMs ? kMinSilenceMs - silenceTimer : 0;
}

uint16_t ReplyWaitFor(uint16_t timeout) {
  const uint16_t q = static_cast<uint16_t>(timeout / 4);
  return static_cast<uint16_t>(q - q % 125 + 125);
}

// The port's output is not purged first: a write returns once its octets are
// handed to the driver, so a purge would cut off the tail of the frame sent
// just before (a frame that expects no reply is followed at once by the next
// frame or the token).
uint8_t TransmitFrame(uint8_t id, uint8_t frameType, uint8_t destination, const uint8_t* data,
                      uint16_t length) {
  LinkPort* port = FindLinkPort(id);
  SerialChannel* channel = FindSerialChannel(id);
  NodeState* node = FindNodeState(id);
  if (port == nullptr || channel == nullptr || node == nullptr) {
    return 1;
  }
  if (length > 0 && data == nullptr) {
    return 1;
  }
  if (frameType == kFrameDataExpectingReply) {
    SavedRequest& saved = node->RequestBuffer;
    if (length > sizeof(saved.Data)) {
      return 1;
    }
    // A resend passes the saved frame itself, so the copy may be onto itself.
    if (length > 0) {
      std::memmove(saved.Data, data, length);
    }
    saved.Length = length;
    saved.Destination = destination;
    saved.FrameType = frameType;
  }
  const bool masterMode = port->MasterServicesDisabled.load() == 0;
  if (masterMode && PassGates(id, *port, *node) != 0) {
    return 1;
  }
  // Only the master machine looks at NoReplyPending, and only its own thread
  // sends in master mode; a passive-mode send from another thread leaves it be.
  if (masterMode) {
    if (frameType == kFrameDataExpectingReply) {
      node->NoReplyPending = 0;
    } else if (frameType == kFrameDataNotExpectingReply) {
      node->NoReplyPending = 1;
    }
  }
  const bool framed = port->FramingDisabled.load() == 0;
  // Raw octets are no frame a capture reader could decode.
  const bool capture = framed && node->CaptureOn != 0;
  const int64_t sentAt = capture ? CaptureClock() : 0;
  // The checksum registers are local: a passive-mode send from another thread
  // must not disturb the receiver's registers in the NodeState.
  LockPort(id);
  const uint8_t header[5] = {frameType, destination, node->ThisStation,
                             static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length & 0xFF)};
  uint8_t headerCrc = kHeaderCrcInit;
  for (const uint8_t octet : header) {
    headerCrc = HeaderCrcUpdate(headerCrc, octet);
  }
  headerCrc = static_cast<uint8_t>(~headerCrc);
  if (framed) {
    WriteAndMark(id, *node, kPreamble1);
    WriteAndMark(id, *node, kPreamble2);
    for (const uint8_t octet : header) {
      WriteAndMark(id, *node, octet);
    }
    WriteAndMark(id, *node, headerCrc);
  }
  uint16_t dataCrc = kDataCrcInit;
  if (length > 0) {
    for (uint16_t i = 0; i < length; ++i) {
      dataCrc = DataCrcUpdate(dataCrc, data[i]);
      WriteAndMark(id, *node, data[i]);
    }
    dataCrc = static_cast<uint16_t>(~dataCrc);
    if (port->CorruptNextDataCrc.exchange(0) != 0) {
      dataCrc = 0xFFFF;
    }
    if (framed) {
      WriteAndMark(id, *node, static_cast<uint8_t>(dataCrc & 0xFF));
      WriteAndMark(id, *node, static_cast<uint8_t>(dataCrc >> 8));
    }
  }
  UnlockPort(id);
  if (capture) {
    RecordSent(header, headerCrc, data, length, dataCrc, sentAt);
  }
  return 0;
}

}  // namespace tarnix
