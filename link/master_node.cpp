#include "link/master_node.h"

#include "link/transmit.h"

namespace tarnix {
namespace {

// Timing of the bus, in milliseconds of the port's timers (the answer window
// of an incoming request is shared with the transmit procedure).
constexpr uint32_t kNoTokenMs = 500;         // silence after which the token counts as lost
constexpr uint32_t kSlotMs = 13;             // per-address step of the token-creation window
constexpr uint32_t kSilenceResetMs = 2177;   // a missed slot comes up again after this
constexpr uint32_t kUsageTimeoutMs = 48;     // wait for a station to use a token or answer a poll

constexpr uint16_t kMinOctets = 4;     // more octets than this means the line is in use
constexpr uint8_t kTokenRetries = 1;   // token passes repeated before seeking a new successor
constexpr uint8_t kPollInterval = 50;  // tokens passed between maintenance polls

constexpr uint8_t kBroadcast = 255;
// Quiet time after which a damaged reply is acted on. A header that fails its
// check is followed by data the receiver no longer takes in; going on at once
// would find the line still busy, the gates would refuse the next request and
// then the token pass, and the token would be lost. Three of the master
// thread's waits, so that octets still arriving have surely been read.
constexpr uint32_t kQuietAfterDamageMs = 15;

// How long a passed token waits for its successor before it goes again.
// Octets heard since the pass that made no frame may be the successor's first
// frame, damaged past recognition (it will send again after its own usage
// time-out), or a late answer that collided with the pass (nobody has the
// token). Sent again after one usage time-out, the token would meet the
// successor's own retry and both would be lost; after two, the successor's
// retry has been heard (and the machine has gone to IDLE) or the token was
// really lost and goes again, long before the bus counts it as lost.
uint32_t PassTokenWaitMs(const NodeState& node) {
  return node.EventCount > kMinOctets ? 2 * kUsageTimeoutMs : kUsageTimeoutMs;
}

// One run of the machine over a port's records.
class Machine {
 public:
  Machine(NodeState& node, LinkPort& port, MasterIo& io) : node_(node), port_(port), io_(io) {}

  uint8_t Execute(uint8_t state) {
    switch (state) {
      case kMsNoToken:
        return NoToken();
      case kMsPollForMaster:
        return PollForMaster();
      case kMsPassToken:
        return PassToken();
      case kMsUseToken:
        return UseToken();
      case kMsWaitForReply:
        return WaitForReply();
      case kMsDoneWithToken:
        return DoneWithToken();
      default:
        return Idle();
    }
  }

 private:
  uint8_t NextAfter(uint8_t station) const {
    return static_cast<uint8_t>((station + 1u) % (node_.MaxMaster + 1u));
  }

  // Sends one of the machine's own frames. A refusal means the line or the
  // token is not what the machine believed, so it starts over from scratch.
  bool SendOrReset(uint8_t frameType, uint8_t destination) {
    if (io_.Transmit(frameType, destination, nullptr, 0) == 0) {
      return true;
    }
    MasterReset(node_, io_);
    return false;
  }

  // Sends a frame of the station that holds the token (its token pass or a
  // maintenance poll). A refusal here mostly means octets are coming in (a
  // late answer after the reply time-out): the token is kept and the frame
  // tried again at the next run, once the line has been quiet, rather than
  // dropped with a reset. Only after the usage time-out does the machine give
  // up and start over. False while the frame has not gone.
  bool SendHoldingToken(uint8_t frameType, uint8_t destination) {
    if (io_.Transmit(frameType, destination, nullptr, 0) == 0) {
      node_.PassHeldBack = 0;
      return true;
    }
    if (node_.PassHeldBack == 0) {
      node_.PassHeldBack = 1;
      node_.PassHeldTimer = 0;
    }
    if (node_.PassHeldTimer.load() < kUsageTimeoutMs) {
      return false;
    }
    MasterReset(node_, io_);
    return false;
  }

  void UpcallStep(const uint8_t* data, uint8_t source, uint16_t length, UpcallStatus status) {
    node_.ResendPending = 0;
    node_.ResendCount = 0;
    const UpcallDelegate upcall = node_.Upcall.load();
    if (upcall != nullptr) {
      upcall(io_.PortName(), data, source, length, status);
    }
  }

  void DeliverReceived(UpcallStatus status) {
    UpcallStep(node_.InputBuffer, node_.SourceAddress, node_.DataLength, status);
  }

  // Either repeats the request that went unanswered or lets the user send;
  // a closing port sends nothing more.
  uint8_t TokenStep() {
    if (port_.StopRequested.load() != 0) {
      return 0;
    }
    if (node_.ResendPending != 0) {
      bool sent = false;
      if (node_.ResendCount < node_.MaxRequestResend.load()) {
        const SavedRequest& saved = node_.RequestBuffer;
        sent = io_.Transmit(saved.FrameType, saved.Destination, saved.Data, saved.Length) == 0;
        ++node_.ResendCount;
      }
      if (!sent && node_.ResendCount >= node_.MaxRequestResend.load()) {
        // A resend that did not go still counts. With none left, no reply
        // wait will end the request: it ends here, as one left unanswered.
        UpcallStep(nullptr, 0, 0, ReplyTimeout);
      }
      return 1;
    }
    const TokenObtainedDelegate tokenObtained = node_.TokenObtained.load();
    if (tokenObtained == nullptr) {
      return 0;
    }
    return tokenObtained(io_.PortName());
  }

  bool UsageTimedOutOrBadFrame() const {
    return node_.SilenceTimer.load() >= kUsageTimeoutMs || node_.ReceivedInvalidFrame != 0;
  }

  uint8_t Idle() {
    if (node_.SilenceTimer.load() >= kNoTokenMs) {
      // Octets counted before the loss say nothing about who is active now;
      // left over, they would make NO_TOKEN give way to a bus long gone quiet.
      node_.EventCount = 0;
      return kMsNoToken;
    }
    if (node_.ReceivedInvalidFrame != 0) {
      node_.ReceivedInvalidFrame = 0;
      return kMsIdle;
    }
    if (node_.ReceivedValidFrame == 0) {
      return kMsIdle;
    }
    const uint8_t type = node_.FrameType;
    const uint8_t destination = node_.DestinationAddress;
    const bool toUs = destination == node_.ThisStation;
    if (!toUs && destination != kBroadcast) {
      node_.ReceivedValidFrame = 0;
      return kMsIdle;
    }
    if (toUs && type == kFrameToken) {
      node_.ReceivedValidFrame = 0;
      node_.FrameCount = 0;
      node_.SoleMaster = 0;
      node_.TokenAgeTimer = 0;
      node_.TokenFresh = 1;
      return kMsUseToken;
    }
    if (toUs && type == kFramePollForMaster) {
      if (!SendOrReset(kFrameReplyToPoll, node_.SourceAddress)) {
        return kMsIdle;
      }
      node_.ReceivedValidFrame = 0;
      return kMsIdle;
    }
    if (type == kFrameDataNotExpectingReply) {
      DeliverReceived(Delivered);
      node_.ReceivedValidFrame = 0;
      return kMsIdle;
    }
    if (toUs && type == kFrameDataExpectingReply) {
      const uint8_t dropFrom = port_.TokenDropAddress.load();
      if (node_.SourceAddress == dropFrom) {
        // Reset first: its purge of the untransmitted output would otherwise
        // take the answer off the line before it has gone out.
        MasterReset(node_, io_);
        io_.Transmit(kFrameTestRequest, dropFrom, nullptr, 0);
        return kMsIdle;
      }
      AnswerRequest();
      node_.ReceivedValidFrame = 0;
      return kMsIdle;
    }
    // Dropped: broadcast tokens, Test_Requests and requests, frame types
    // above 7, and frames that only make sense in another state.
    node_.ReceivedValidFrame = 0;
    return kMsIdle;
  }

  // Hands a request to the upcall, which may answer it before returning.
  void AnswerRequest() {
    node_.ReplyDelayTimer = 0;
    node_.Answering = 1;
    DeliverReceived(Delivered);
    if (node_.ReplyDelayTimer.load() > kAnswerWindowMs) {
      // The upcall took so long that whatever arrived meanwhile is stale.
      io_.DiscardInput();
    }
    node_.ReplyDelayTimer = 0;
    node_.Answering = 0;
  }

  uint8_t NoToken() {
    const uint32_t silence = node_.SilenceTimer.load();
    const uint32_t slotStart = kNoTokenMs + kSlotMs * node_.ThisStation;
    if (silence < slotStart) {
      return node_.EventCount > kMinOctets ? kMsIdle : kMsNoToken;
    }
    if (silence < slotStart + kSlotMs) {
      node_.PollStation = NextAfter(node_.ThisStation);
      if (!SendOrReset(kFramePollForMaster, node_.PollStation)) {
        return kMsIdle;
      }
      node_.NextStation = node_.ThisStation;
      node_.TokenCount = 0;
      node_.RetryCount = 0;
      node_.EventCount = 0;
      return kMsPollForMaster;
    }
    if (silence > kSilenceResetMs) {
      node_.SilenceTimer = 0;
    }
    return kMsNoToken;
  }

  uint8_t PollForMaster() {
    if (node_.ReceivedValidFrame != 0) {
      if (node_.DestinationAddress == node_.ThisStation && node_.FrameType == kFrameReplyToPoll) {
        node_.SoleMaster = 0;
        node_.NextStation = node_.SourceAddress;
        node_.EventCount = 0;
        if (!SendOrReset(kFrameToken, node_.NextStation)) {
          return kMsIdle;
        }
        node_.PollStation = node_.ThisStation;
        node_.TokenCount = 0;
        node_.RetryCount = 0;
        node_.ReceivedValidFrame = 0;
        return kMsPassToken;
      }
      node_.ReceivedValidFrame = 0;
      return kMsIdle;
    }
    if (!UsageTimedOutOrBadFrame()) {
      return kMsPollForMaster;
    }
    if (node_.SoleMaster != 0) {
      node_.FrameCount = 0;
      node_.ReceivedInvalidFrame = 0;
      return kMsUseToken;
    }
    if (node_.NextStation != node_.ThisStation) {
      node_.EventCount = 0;
      if (!SendOrReset(kFrameToken, node_.NextStation)) {
        return kMsIdle;
      }
      node_.RetryCount = 0;
      node_.ReceivedInvalidFrame = 0;
      return kMsPassToken;
    }
    if (port_.StopRequested.load() != 0) {
      // No more polls on a closing port: the token is handed off.
      node_.FrameCount = 0;
      node_.ReceivedInvalidFrame = 0;
      return kMsUseToken;
    }
    if (NextAfter(node_.PollStation) != node_.ThisStation) {
      node_.PollStation = NextAfter(node_.PollStation);
      if (!SendOrReset(kFramePollForMaster, node_.PollStation)) {
        return kMsIdle;
      }
      node_.RetryCount = 0;
      node_.ReceivedInvalidFrame = 0;
      return kMsPollForMaster;
    }
    // Every other address was polled and none answered.
    node_.SoleMaster = 1;
    node_.FrameCount = 0;
    node_.ReceivedInvalidFrame = 0;
    return kMsUseToken;
  }

  uint8_t PassToken() {
    const uint32_t silence = node_.SilenceTimer.load();
    if (silence < kUsageTimeoutMs && node_.EventCount > kMinOctets) {
      return kMsIdle;
    }
    const uint32_t wait = PassTokenWaitMs(node_);
    if (silence > wait && node_.RetryCount < kTokenRetries) {
      ++node_.RetryCount;
      if (!SendOrReset(kFrameToken, node_.NextStation)) {
        return kMsIdle;
      }
      node_.EventCount = 0;
      return kMsPassToken;
    }
    if (silence >= wait && node_.RetryCount >= kTokenRetries) {
      node_.PollStation = NextAfter(node_.NextStation);
      if (!SendOrReset(kFramePollForMaster, node_.PollStation)) {
        return kMsIdle;
      }
      node_.RetryCount = 0;
      node_.TokenCount = 0;
      node_.EventCount = 0;
      node_.NextStation = node_.ThisStation;
      return kMsPollForMaster;
    }
    return kMsPassToken;
  }

  uint8_t UseToken() {
    if (node_.MoreToSend == 0) {
      node_.FrameCount = node_.MaxInfoFrames;
      node_.MoreToSend = 1;
      return kMsDoneWithToken;
    }
    // Only an expecting-reply frame sent during this token step may make the
    // machine wait; one sent earlier (an answer from an upcall, a frame sent
    // in passive mode) must not leave the flag clear.
    node_.NoReplyPending = 1;
    node_.MoreToSend = TokenStep();
    ++node_.FrameCount;
    if (node_.NoReplyPending != 0) {
      return kMsDoneWithToken;
    }
    node_.NoReplyPending = 1;
    return kMsWaitForReply;
  }

  uint8_t WaitForReply() {
    if (node_.SilenceTimer.load() >= node_.ReplyTimeout.load()) {
      if (node_.ResendCount < node_.MaxRequestResend.load()) {
        node_.ResendPending = 1;
      } else {
        UpcallStep(nullptr, 0, 0, ReplyTimeout);
      }
      node_.ReceivedInvalidFrame = 0;
      node_.ReceiveState = kRxIdle;
      return kMsDoneWithToken;
    }
    if (node_.ReceivedInvalidFrame != 0) {
      if (node_.SilenceTimer.load() < kQuietAfterDamageMs) {
        return kMsWaitForReply;
      }
      node_.ReceivedInvalidFrame = 0;
      UpcallStep(nullptr, 0, 0, InvalidFrame);
      return kMsDoneWithToken;
    }
    if (node_.ReceivedValidFrame == 0) {
      return kMsWaitForReply;
    }
    const bool toUs = node_.DestinationAddress == node_.ThisStation;
    const uint8_t type = node_.FrameType;
    if (toUs && (type == kFrameTestResponse || type == kFrameDataNotExpectingReply)) {
      DeliverReceived(Delivered);
      node_.ReceivedValidFrame = 0;
      return kMsDoneWithToken;
    }
    node_.ReceivedValidFrame = 0;
    if (toUs && type == kFrameReplyPostponed) {
      UpcallStep(nullptr, 0, 0, ReplyPostponed);
      return kMsDoneWithToken;
    }
    UpcallStep(nullptr, 0, 0, UnexpectedFrame);
    return kMsIdle;
  }

  // The port is closing: the token goes to the successor, or without one to
  // the station last heard passing a token; no maintenance poll. Without
  // either the token is dropped and the bus makes a new one.
  uint8_t HandOffToken() {
    const uint8_t to =
        node_.NextStation != node_.ThisStation ? node_.NextStation : node_.TokenSeenFrom;
    if (to == kNoStation || to == node_.ThisStation) {
      return kMsIdle;
    }
    if (!SendHoldingToken(kFrameToken, to)) {
      return HeldOrIdle();
    }
    node_.RetryCount = 0;
    node_.EventCount = 0;
    return kMsPassToken;
  }

  // After a refusal: still in DONE_WITH_TOKEN while the token is held back,
  // IDLE once the machine has given it up.
  uint8_t HeldOrIdle() const { return node_.PassHeldBack != 0 ? kMsDoneWithToken : kMsIdle; }

  uint8_t DoneWithToken() {
    if (node_.FrameCount < node_.MaxInfoFrames) {
      return kMsUseToken;
    }
    node_.MoreToSend = 1;
    if (port_.StopRequested.load() != 0) {
      return HandOffToken();
    }
    const bool soleMaster = node_.SoleMaster != 0;
    if (node_.TokenCount < kPollInterval && soleMaster) {
      ++node_.TokenCount;
      node_.FrameCount = 0;
      return kMsUseToken;
    }
    // Nothing is changed before the frame has gone, so that a frame held back
    // is the same frame when it is tried again.
    if ((node_.TokenCount < kPollInterval && !soleMaster) ||
        node_.NextStation == NextAfter(node_.ThisStation)) {
      if (!SendHoldingToken(kFrameToken, node_.NextStation)) {
        return HeldOrIdle();
      }
      ++node_.TokenCount;
      node_.RetryCount = 0;
      node_.EventCount = 0;
      return kMsPassToken;
    }
    // Maintenance: look for a master that has joined between this station
    // and its successor, one address per token hold.
    if (NextAfter(node_.PollStation) != node_.NextStation) {
      const uint8_t poll = NextAfter(node_.PollStation);
      if (!SendHoldingToken(kFramePollForMaster, poll)) {
        return HeldOrIdle();
      }
      node_.PollStation = poll;
      node_.RetryCount = 0;
      return kMsPollForMaster;
    }
    if (!soleMaster) {
      if (!SendHoldingToken(kFrameToken, node_.NextStation)) {
        return HeldOrIdle();
      }
      node_.PollStation = node_.ThisStation;
      node_.RetryCount = 0;
      node_.TokenCount = 0;
      node_.EventCount = 0;
      return kMsPassToken;
    }
    const uint8_t poll = NextAfter(node_.NextStation);
    if (!SendHoldingToken(kFramePollForMaster, poll)) {
      return HeldOrIdle();
    }
    node_.PollStation = poll;
    node_.NextStation = node_.ThisStation;
    node_.RetryCount = 0;
    node_.TokenCount = 0;
    node_.EventCount = 0;
    return kMsPollForMaster;
  }

  NodeState& node_;
  LinkPort& port_;
  MasterIo& io_;
};

}  // namespace

void MasterReset(NodeState& node, MasterIo& io) {
  node.NextStation = node.ThisStation;
  node.PollStation = node.ThisStation;
  // Counting from the limit makes the first token hold end in a poll for a
  // successor.
  node.TokenCount = kPollInterval;
  node.SoleMaster = 0;
  node.ReceivedValidFrame = 0;
  node.ReceivedInvalidFrame = 0;
  node.WatchForActivity = 0;
  node.Answering = 0;
  node.TokenFresh = 0;
  node.SilenceTimer = 0;
  node.ReplyDelayTimer = 0;
  node.TokenAgeTimer = 0;
  node.NoReplyPending = 1;
  node.MoreToSend = 1;
  node.PassHeldBack = 0;
  io.DiscardInput();
  io.DiscardOutput();
}

uint32_t MasterDueInMs(const NodeState& node) {
  // Rounded up, and counted from where the silence really starts (the end of
  // a frame still on the line): a wait that ended a little early would only
  // cost one more hand-over between the port's threads.
  const auto until = [&node](uint32_t limit) {
    return static_cast<uint32_t>((node.SilenceTimer.MicrosUntil(limit) + 999) / 1000);
  };
  switch (node.MasterState) {
    case kMsIdle:
      return until(kNoTokenMs);
    case kMsNoToken: {
      const uint32_t slotStart = kNoTokenMs + kSlotMs * node.ThisStation;
      if (const uint32_t due = until(slotStart); due > 0) {
        return due;
      }
      return until(slotStart + kSlotMs) > 0 ? 0u : until(kSilenceResetMs + 1);
    }
    case kMsPollForMaster:
      return node.ReceivedInvalidFrame != 0 ? 0u : until(kUsageTimeoutMs);
    case kMsPassToken:
      // The token goes again only once the silence exceeds the wait for it
      // to be used.
      return until(PassTokenWaitMs(node) + 1);
    case kMsWaitForReply: {
      const uint32_t reply = until(node.ReplyTimeout.load());
      if (node.ReceivedInvalidFrame == 0) {
        return reply;
      }
      const uint32_t quiet = until(kQuietAfterDamageMs);
      return quiet < reply ? quiet : reply;
    }
    default:
      return 0;
  }
}

void MasterPortLost(NodeState& node, MasterIo& io) {
  node.ResendPending = 0;
  node.ResendCount = 0;
  if (const UpcallDelegate upcall = node.Upcall.load(); upcall != nullptr) {
    upcall(io.PortName(), nullptr, 0, 0, ReplyTimeout);
  }
  node.MasterState = kMsIdle;
  node.ReceiveState = kRxIdle;
}

bool MasterHoldsToken(const NodeState& node) {
  switch (node.MasterState) {
    case kMsPollForMaster:
    case kMsUseToken:
    case kMsWaitForReply:
    case kMsDoneWithToken:
      return true;
    default:
      return false;
  }
}

void MasterRun(NodeState& node, LinkPort& port, MasterIo& io) {
  Machine machine(node, port, io);
  for (;;) {
    uint8_t state = node.MasterState;
    // A passive station stays out of the token ring: it only finishes a
    // reply wait under way, so that the request still gets its upcall.
    const bool passive = port.MasterServicesDisabled.load() != 0;
    if (passive && state != kMsWaitForReply) {
      state = kMsIdle;
    }
    uint8_t next = machine.Execute(state);
    if (passive && state == kMsIdle) {
      next = kMsIdle;
    }
    node.MasterState = next;
    // A frame held back waits for the next run, when the line may be quiet.
    if (node.PassHeldBack != 0) {
      break;
    }
    // IDLE takes one event per step, and a damaged frame noted earlier comes
    // first: the receiver flags a header that fails its check without running
    // the machine. The frame that ran it must not be left for a next run,
    // which on a busy line comes only with the next frame for this station,
    // by when another damaged frame may have been flagged: the station would
    // drop every token and poll and stay out of the ring.
    const bool frameWaits = next == kMsIdle && node.ReceivedValidFrame != 0;
    if (next != kMsUseToken && next != kMsDoneWithToken && !frameWaits) {
      break;
    }
  }
  if (node.MasterState == kMsNoToken || node.MasterState == kMsPassToken) {
    node.WatchForActivity = 1;
  }
}

}  // namespace tarnix
