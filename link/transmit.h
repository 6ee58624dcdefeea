// The transmit rules through which every frame leaves the station, whether
// the user sends it or the master machine does: the octets of a frame, and
// the bus gates that decide whether it may go now, after a wait, or not at
// all. Nothing here touches a port, a clock or a thread: the caller gathers
// what the gates look at, and does the waiting and writing
// (TransmitFrame, port_threads.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/records.h"

namespace tarnix {

inline constexpr uint32_t kTokenAgeLimitMs = 96;
inline constexpr uint32_t kAnswerWindowMs = 45;
// The silence every frame waits for after the last octet heard or sent: a
// station's driver may hold the line a while after its frame has ended.
inline constexpr uint32_t kLineSilenceMicros = 3000;
// Octets of a token frame, the most the first-frame gate looks at.
inline constexpr size_t kTokenFrameOctets = 8;
// Preamble, header, the most data a receiver takes, data checksum.
inline constexpr size_t kMaxFrameOctets = 8 + kMaxDataLength + 2;

// Writes the octets of one frame to `out` (room for 10 + `length` octets) and
// returns their number. With `framed` false only the data octets are written
// (raw mode); with `corruptDataCrc` the data checksum is 0xFFFF. The one
// framing of the link: the transmit, the capture and the tests use it.
size_t BuildFrame(uint8_t frameType, uint8_t destination, uint8_t source, const uint8_t* data,
                  uint16_t length, bool framed, bool corruptDataCrc, uint8_t* out);

// What the gates look at.
struct GateView {
  // The token has just been received and no frame has been sent since.
  bool tokenFresh = false;
  uint32_t tokenAgeMs = 0;
  uint8_t thisStation = 0;
  uint8_t tokenSource = 0;  // the sender of that token
  // The input not yet taken by the receiver, at most kTokenFrameOctets
  // octets for the first frame of a token hold and one otherwise.
  const uint8_t* pending = nullptr;
  size_t pendingCount = 0;
  bool jamActive = false;
  bool answering = false;  // an incoming request is with the upcall
  uint32_t replyDelayMs = 0;
  // How long this station's previous frame still occupies the line.
  uint32_t lineBusyMicros = 0;
  // Time since the last octet heard or sent (SilenceTimer); 0 while this
  // station's previous frame is still on the line.
  uint32_t silenceMicros = 0;
};

enum class GateVerdict : uint8_t {
  SendNow,  // write the frame now
  Wait,     // wait `waitMicros`, then write it
  Refused,  // the bus state forbids it
};

struct GateDecision {
  GateVerdict verdict = GateVerdict::SendNow;
  uint32_t waitMicros = 0;
  // The pending input is to be thrown away (whatever the verdict); never
  // when there is none.
  bool discardInput = false;
  // The first frame after the token passed its check: the token is no longer
  // fresh and its age starts again (whatever the verdict).
  bool tokenTaken = false;
};

// The gates, in order: for the first frame of a token hold, a token not older
// than 96 ms with nothing but a repetition of it pending; otherwise no pending
// input; no packet jam; an answer within 45 ms of its request; and the line
// free of this station's own previous frame and then silent for 3 ms: the wait
// is exactly what is left of both. A refusal caused by pending input discards
// it.
GateDecision DecideGates(const GateView& view);

// The port as the sending of a frame sees it. The product wires it to the
// serial port (TransmitFrame, port_threads.h); tests wire it to a recorder.
class FrameLine {
 public:
  virtual ~FrameLine() = default;
  // Takes up to `wanted` octets of the input not yet through the receive step.
  virtual size_t PeekPending(uint8_t* out, size_t wanted) = 0;
  // Throws away the input not yet through the receive step.
  virtual void DiscardPending() = 0;
  // How long this station's previous frame still occupies the line.
  virtual uint32_t LineBusyMicros() = 0;
  virtual void Wait(uint32_t micros) = 0;
  // Writes the frame in one go: false when it failed or timed out. Whether
  // or not, *leftLineAt is the monotonic microsecond (LinkMicros) at which
  // its last octet has left the line.
  virtual bool Write(const uint8_t* octets, size_t count, int64_t* leftLineAt) = 0;
};

enum class SendOutcome : uint8_t { Sent, Refused, WriteFailed };

// Sends one frame of at most kMaxDataLength data octets through `line`: the
// saved request for a resend, then (unless master services are disabled) the
// gates and what they decide (in *decision when not null; SendNow without
// gates), the frame built and written, the silence counted from its end on the
// line, and in master mode what the frame tells the master machine.
SendOutcome SendThroughGates(NodeState& node, LinkPort& port, FrameLine& line, uint8_t frameType,
                             uint8_t destination, const uint8_t* data, uint16_t length,
                             GateDecision* decision);

// Keeps a Data Expecting Reply frame in the RequestBuffer for a resend,
// whether it goes out or not; other frames are not kept. On a resend `data`
// is the buffer itself. `length` must not exceed kMaxDataLength.
void KeepForResend(NodeState& node, uint8_t frameType, uint8_t destination, const uint8_t* data,
                   uint16_t length);

// What a frame that went out in master mode tells the master machine: after a
// Data Expecting Reply it waits for the reply, after a Data Not Expecting
// Reply it does not; other frames leave that as it was.
void NoteSent(NodeState& node, uint8_t frameType);

// The reply wait for a send time-out: 125 ms for each started 500 ms, computed
// in 16 bits as the bus has always done it (65535 gives 16500).
uint16_t ReplyWaitFor(uint16_t timeout);

}  // namespace tarnix
