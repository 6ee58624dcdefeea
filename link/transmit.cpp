#include "link/transmit.h"

#include <cstring>

#include "link/crc.h"

namespace tarnix {
namespace {

constexpr uint8_t kPreamble1 = 0x55;
constexpr uint8_t kPreamble2 = 0xFF;

// Some stations send the token twice; the first frame may go when the input
// is empty or holds nothing but a whole repetition of the token just received.
// Anything else means another station is talking.
bool OnlyTokenRepetitionPending(const GateView& view) {
  if (view.pendingCount == 0) {
    return true;
  }
  if (view.pendingCount < kTokenFrameOctets) {
    return false;
  }
  const uint8_t expected[kTokenFrameOctets - 1] = {
      kPreamble1, kPreamble2, kFrameToken, view.thisStation, view.tokenSource, 0x00, 0x00};
  return std::memcmp(view.pending, expected, sizeof expected) == 0;
}

}  // namespace

size_t BuildFrame(uint8_t frameType, uint8_t destination, uint8_t source, const uint8_t* data,
                  uint16_t length, bool framed, bool corruptDataCrc, uint8_t* out) {
  size_t count = 0;
  if (framed) {
    const uint8_t header[5] = {frameType, destination, source, static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length & 0xFF)};
    uint8_t headerCrc = kHeaderCrcInit;
    out[count++] = kPreamble1;
    out[count++] = kPreamble2;
    for (const uint8_t octet : header) {
      headerCrc = HeaderCrcUpdate(headerCrc, octet);
      out[count++] = octet;
    }
    out[count++] = static_cast<uint8_t>(~headerCrc);
  }
  if (length == 0) {
    return count;
  }
  uint16_t dataCrc = kDataCrcInit;
  for (uint16_t i = 0; i < length; ++i) {
    dataCrc = DataCrcUpdate(dataCrc, data[i]);
    out[count++] = data[i];
  }
  dataCrc = corruptDataCrc ? 0xFFFF : static_cast<uint16_t>(~dataCrc);
  if (framed) {
    out[count++] = static_cast<uint8_t>(dataCrc & 0xFF);
    out[count++] = static_cast<uint8_t>(dataCrc >> 8);
  }
  return count;
}

GateDecision DecideGates(const GateView& view) {
  GateDecision decision;
  if (view.tokenFresh) {
    // A purge is a system call on every token hold; it is made only when
    // there is something to throw away.
    decision.discardInput = view.pendingCount > 0;
    if (view.tokenAgeMs > kTokenAgeLimitMs || !OnlyTokenRepetitionPending(view)) {
      decision.verdict = GateVerdict::Refused;
      return decision;
    }
    decision.tokenTaken = true;
  } else if (view.pendingCount > 0) {
    decision.verdict = GateVerdict::Refused;
    decision.discardInput = true;
    return decision;
  }
  if (view.jamActive || (view.answering && view.replyDelayMs > kAnswerWindowMs)) {
    decision.verdict = GateVerdict::Refused;
    return decision;
  }
  if (view.lineBusyMicros > 0) {
    decision.verdict = GateVerdict::Wait;
    decision.waitMicros = view.lineBusyMicros;
  }
  return decision;
}

void KeepForResend(NodeState& node, uint8_t frameType, uint8_t destination, const uint8_t* data,
                   uint16_t length) {
  if (frameType != kFrameDataExpectingReply) {
    return;
  }
  SavedRequest& saved = node.RequestBuffer;
  // A resend passes the saved frame itself, so the copy may be onto itself.
  if (length > 0) {
    std::memmove(saved.Data, data, length);
  }
  saved.Length = length;
  saved.Destination = destination;
  saved.FrameType = frameType;
}

void NoteSent(NodeState& node, uint8_t frameType) {
  if (frameType == kFrameDataExpectingReply) {
    node.NoReplyPending = 0;
  } else if (frameType == kFrameDataNotExpectingReply) {
    node.NoReplyPending = 1;
  }
}

uint16_t ReplyWaitFor(uint16_t timeout) {
  const uint16_t q = static_cast<uint16_t>(timeout / 4);
  return static_cast<uint16_t>(q - q % 125 + 125);
}

}  // namespace tarnix
