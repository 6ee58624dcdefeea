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
  // The silence counts from the end of this station's own frame while that
  // is still on the line, else from the last octet heard or sent.
  uint32_t wait = 0;
  if (view.lineBusyMicros > 0) {
    wait = view.lineBusyMicros + kLineSilenceMicros;
  } else if (view.silenceMicros < kLineSilenceMicros) {
    wait = kLineSilenceMicros - view.silenceMicros;
  }
  if (wait > 0) {
    decision.verdict = GateVerdict::Wait;
    decision.waitMicros = wait;
  }
  return decision;
}

SendOutcome SendThroughGates(NodeState& node, LinkPort& port, FrameLine& line, uint8_t frameType,
                             uint8_t destination, const uint8_t* data, uint16_t length,
                             GateDecision* decision) {
  KeepForResend(node, frameType, destination, data, length);
  GateDecision decided;
  const bool masterMode = port.MasterServicesDisabled.load() == 0;
  if (masterMode) {
    uint8_t pending[kTokenFrameOctets];
    GateView view;
    view.tokenFresh = node.TokenFresh != 0;
    view.tokenAgeMs = node.TokenAgeTimer.load();
    view.thisStation = node.ThisStation;
    view.tokenSource = node.SourceAddress;
    view.pending = pending;
    view.pendingCount = line.PeekPending(pending, view.tokenFresh ? kTokenFrameOctets : 1);
    view.jamActive = port.JamActive.load() != 0;
    view.answering = node.Answering != 0;
    view.replyDelayMs = node.ReplyDelayTimer.load();
    view.lineBusyMicros = line.LineBusyMicros();
    view.silenceMicros = node.SilenceTimer.ElapsedMicros();
    decided = DecideGates(view);
    if (decided.tokenTaken) {
      node.TokenFresh = 0;
      node.TokenAgeTimer = 0;
    }
    if (decided.discardInput) {
      line.DiscardPending();
    }
  }
  if (decision != nullptr) {
    *decision = decided;
  }
  if (decided.verdict == GateVerdict::Refused) {
    return SendOutcome::Refused;
  }
  if (decided.verdict == GateVerdict::Wait) {
    line.Wait(decided.waitMicros);
  }
  uint8_t frame[kMaxFrameOctets];
  const bool framed = port.FramingDisabled.load() == 0;
  // Only a frame with data spends the corrupt-checksum switch.
  const bool corrupt = length > 0 && port.CorruptNextDataCrc.exchange(0) != 0;
  const size_t count =
      BuildFrame(frameType, destination, node.ThisStation, data, length, framed, corrupt, frame);
  int64_t leftLine = 0;
  const bool written = line.Write(frame, count, &leftLine);
  // The silence after a frame starts when its last octet has left the line,
  // which is also where a reply time-out counts from.
  node.SilenceTimer.StartAt(leftLine);
  if (!written) {
    return SendOutcome::WriteFailed;
  }
  // Only the master machine looks at NoReplyPending, and only its own thread
  // sends in master mode; a passive-mode send from another thread leaves it be.
  if (masterMode) {
    NoteSent(node, frameType);
  }
  return SendOutcome::Sent;
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
