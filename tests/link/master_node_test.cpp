// Steps the master node machine transition by transition: the fixture plays
// the receiver (frame fields plus ReceivedValidFrame / ReceivedInvalidFrame),
// the clock (the three timers) and the port under the link's own transmit
// rules (a line that records every frame and the gates' decision, and can
// hold input that makes them refuse), and never sleeps.
#include "link/master_node.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "link/port_threads.h"
#include "link/transmit.h"

namespace tarnix {
namespace {

constexpr uint8_t kUs = 3;

struct Frame {
  uint8_t type = 0;
  uint8_t destination = 0;
  std::vector<uint8_t> data;
  uint32_t silence = 0;  // SilenceTimer when the frame was handed over
  int outputDiscards = 0;  // output purges made before it
  GateVerdict verdict = GateVerdict::SendNow;  // what the gates decided
  uint32_t waitMicros = 0;
};

struct UpcallSeen {
  std::string port;
  bool hadData = false;
  std::vector<uint8_t> data;
  uint32_t source = 0;
  uint32_t length = 0;
  UpcallStatus status = Delivered;
  uint8_t answering = 0;
  uint32_t replyDelay = 0;
};

// The link's clock in these tests: it stands still unless a test moves it.
int64_t gFakeMicros = 0;
int64_t FakeMicros() { return gFakeMicros; }

// Sends through the link's own transmit rules (SendThroughGates) over a line
// the test plays, and records every attempt with what the gates decided. A
// refusal is made the way the bus makes one: input is pending on the line when
// the frame is to go.
class RecordingIo : public MasterIo, public FrameLine {
 public:
  RecordingIo(NodeState& node, LinkPort& port) : node_(node), port_(port) {}

  uint8_t Transmit(uint8_t frameType, uint8_t destination, const uint8_t* data,
                   uint16_t length) override {
    Frame frame{frameType, destination, {}, node_.SilenceTimer.load(), outputDiscards};
    if (length > 0) {
      frame.data.assign(data, data + length);
    }
    pendingNow_ = refuse && refuse(frameType);
    GateDecision decision;
    const SendOutcome outcome = SendThroughGates(node_, port_, *this, frameType, destination, data,
                                                 length, &decision);
    frame.verdict = decision.verdict;
    frame.waitMicros = decision.waitMicros;
    attempts.push_back(frame);
    if (outcome != SendOutcome::Sent) {
      return 1;
    }
    sent.push_back(frame);
    return 0;
  }
  void DiscardInput() override { ++inputDiscards; }
  void DiscardOutput() override { ++outputDiscards; }
  const char* PortName() override { return "Com3"; }

  size_t PeekPending(uint8_t* out, size_t wanted) override {
    if (!pendingNow_ || wanted == 0) {
      return 0;
    }
    out[0] = 0x42;  // the first octet of a late answer
    return 1;
  }
  void DiscardPending() override {
    pendingNow_ = false;
    ++pendingDiscards;
  }
  uint32_t LineBusyMicros() override { return lineBusyMicros; }
  // The gates' wait passes on the test's clock, as it would on the line.
  void Wait(uint32_t micros) override {
    waited.push_back(micros);
    gFakeMicros += micros;
  }
  bool Write(const uint8_t* octets, size_t count, int64_t* leftLineAt) override {
    written.emplace_back(octets, octets + count);
    // The test's line takes no time: the silence starts as the frame is written.
    *leftLineAt = LinkMicros();
    return true;
  }

  std::vector<Frame> attempts;
  std::vector<Frame> sent;
  // Frame types met by pending input on the line, and thus refused by the gates.
  std::function<bool(uint8_t frameType)> refuse;
  uint32_t lineBusyMicros = 0;
  std::vector<uint32_t> waited;
  std::vector<std::vector<uint8_t>> written;
  int inputDiscards = 0;
  int outputDiscards = 0;
  int pendingDiscards = 0;

 private:
  NodeState& node_;
  LinkPort& port_;
  bool pendingNow_ = false;
};

class MasterNodeTest : public ::testing::Test {
 public:
  void SetUp() override {
    current_ = this;
    gFakeMicros = 1'000'000'000;
    tarnix::SetLinkClock(&FakeMicros);
    node_.ThisStation = kUs;
    node_.MaxMaster = 15;
    node_.MaxInfoFrames = 1;
    node_.TokenObtained = &OnTokenObtained;
    node_.Upcall = &OnUpcall;
    MasterReset(node_, io_);
    io_.inputDiscards = 0;
    io_.outputDiscards = 0;
  }
  void TearDown() override {
    current_ = nullptr;
    tarnix::SetLinkClock(nullptr);
  }

  void Run() { MasterRun(node_, port_, io_); }

  // A complete frame as the receiver hands it over: each of its eight header
  // octets ends the silence and counts as a line event, and the fifth runs
  // the machine while it watches for activity; at the end the machine runs.
  // Like the receiver, only a frame with data (whose data checksum decides
  // between the two flags) clears a damaged frame flagged before it.
  void Receive(uint8_t type, uint8_t destination, uint8_t source,
               const std::vector<uint8_t>& data = {}) {
    for (int octet = 0; octet < 8; ++octet) {
      node_.SilenceTimer = 0;
      ++node_.EventCount;
      if (octet >= 2 && node_.WatchForActivity != 0 && node_.EventCount == 5) {
        Run();
        node_.WatchForActivity = 0;
      }
    }
    node_.FrameType = type;
    node_.DestinationAddress = destination;
    node_.SourceAddress = source;
    node_.DataLength = static_cast<uint16_t>(data.size());
    if (!data.empty()) {
      std::memcpy(node_.InputBuffer, data.data(), data.size());
    }
    node_.ReceivedValidFrame = 1;
    if (!data.empty()) {
      node_.ReceivedInvalidFrame = 0;
    }
    Run();
  }

  // A header that fails its check, of a frame for any station: the receiver
  // flags it but does not run the machine, its destination being unknown.
  void ReceiveBrokenHeader() {
    for (int octet = 0; octet < 8; ++octet) {
      node_.SilenceTimer = 0;
      ++node_.EventCount;
    }
    node_.ReceivedInvalidFrame = 1;
  }

  // A frame whose data checksum failed: the receiver runs the machine at once.
  void ReceiveDamaged() {
    node_.SilenceTimer = 0;
    node_.ReceivedValidFrame = 0;
    node_.ReceivedInvalidFrame = 1;
    Run();
  }

  void TakeToken(uint8_t from = 1) { Receive(kFrameToken, kUs, from); }

  // The quiet line: the clock advances and the machine runs every millisecond.
  void Advance(uint32_t ms) {
    for (uint32_t i = 0; i < ms; ++i) {
      gFakeMicros += 1000;
      Run();
    }
  }

  // The quiet line as the master thread meets it: it sleeps until the machine
  // is due (at least a millisecond, at most its longest read wait) and runs
  // the machine only then. The clock ends `ms` on, whether or not a run
  // falls there.
  void AdvanceAsTheMasterThread(uint32_t ms) {
    for (uint32_t elapsed = 0;;) {
      const uint32_t due = MasterDueInMs(node_);
      const uint32_t wait = due == 0 ? 1 : std::min(due, tarnix::kLongestReadWaitMs);
      if (elapsed + wait > ms) {
        gFakeMicros += int64_t{ms - elapsed} * 1000;
        return;
      }
      gFakeMicros += int64_t{wait} * 1000;
      elapsed += wait;
      Run();
    }
  }

  // Octets that make no frame (a frame whose preamble was damaged): the
  // receiver counts each as a line event and does not run the machine.
  void ReceiveNoise(int octets) {
    for (int octet = 0; octet < octets; ++octet) {
      node_.SilenceTimer = 0;
      ++node_.EventCount;
    }
  }

  bool AdvanceUntilSent(uint32_t limitMs) {
    const size_t before = io_.sent.size();
    for (uint32_t i = 0; i < limitMs && io_.sent.size() == before; ++i) {
      Advance(1);
    }
    return io_.sent.size() > before;
  }

  // The records as they stand right after a poll of the ring found `successor`.
  void JoinRing(uint8_t successor) {
    node_.NextStation = successor;
    node_.PollStation = kUs;
    node_.TokenCount = 0;
  }

  void DelegateSendsRequests(uint8_t destination, std::vector<uint8_t> data) {
    onToken_ = [this, destination, data] {
      io_.Transmit(kFrameDataExpectingReply, destination, data.data(),
                   static_cast<uint16_t>(data.size()));
      return uint8_t{1};
    };
  }

  size_t CountAttempts(uint8_t type) const {
    size_t count = 0;
    for (const Frame& f : io_.attempts) count += f.type == type ? 1u : 0u;
    return count;
  }

  const Frame& Last() const {
    static const Frame kNothing{0xFF, 0xFF, {}, 0};
    if (io_.sent.empty()) {
      ADD_FAILURE() << "nothing was sent";
      return kNothing;
    }
    return io_.sent.back();
  }
  size_t CountSent(uint8_t type) const {
    size_t n = 0;
    for (const Frame& f : io_.sent) {
      n += f.type == type ? 1u : 0u;
    }
    return n;
  }

  NodeState node_;
  LinkPort port_;
  RecordingIo io_{node_, port_};
  std::function<uint8_t()> onToken_;
  std::function<void()> duringUpcall_;
  int tokenCalls_ = 0;
  std::vector<std::string> tokenPorts_;
  std::vector<UpcallSeen> upcalls_;

 private:
  static uint8_t OnTokenObtained(const char* portName) {
    MasterNodeTest& t = *current_;
    ++t.tokenCalls_;
    t.tokenPorts_.emplace_back(portName);
    return t.onToken_ ? t.onToken_() : uint8_t{0};
  }

  static int32_t OnUpcall(const char* portName, const uint8_t* data, uint32_t source,
                          uint32_t length, UpcallStatus status) {
    MasterNodeTest& t = *current_;
    UpcallSeen seen;
    seen.port = portName;
    seen.hadData = data != nullptr;
    if (data != nullptr) {
      seen.data.assign(data, data + length);
    }
    seen.source = source;
    seen.length = length;
    seen.status = status;
    seen.answering = t.node_.Answering;
    seen.replyDelay = t.node_.ReplyDelayTimer.load();
    t.upcalls_.push_back(seen);
    if (t.duringUpcall_) {
      t.duringUpcall_();
    }
    return 0;
  }

  static inline MasterNodeTest* current_ = nullptr;
};

// --- Token creation on a quiet bus -----------------------------------------

TEST_F(MasterNodeTest, DeclaresTokenLostAfter500msOfSilence) {
  Advance(499);
  EXPECT_EQ(node_.MasterState, kMsIdle);
  Advance(1);
  EXPECT_EQ(node_.MasterState, kMsNoToken);
  EXPECT_EQ(node_.WatchForActivity, 1);
  EXPECT_TRUE(io_.sent.empty());
}

TEST_F(MasterNodeTest, PollsFirstSuccessorOnlyInsideOwnSlot) {
  // Station 3's slot is [539, 552): 500 + 13 * 3 and one slot time on.
  const struct {
    uint32_t silence;
    bool polls;
  } cases[] = {{538, false}, {539, true}, {551, true}, {552, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.silence);
    io_.sent.clear();
    node_.MasterState = kMsNoToken;
    node_.EventCount = 0;
    node_.SilenceTimer = c.silence;
    Run();
    if (c.polls) {
      ASSERT_EQ(io_.sent.size(), 1u);
      EXPECT_EQ(Last().type, kFramePollForMaster);
      EXPECT_EQ(Last().destination, 4);
      EXPECT_EQ(node_.MasterState, kMsPollForMaster);
    } else {
      EXPECT_TRUE(io_.sent.empty());
      EXPECT_EQ(node_.MasterState, kMsNoToken);
    }
  }
}

TEST_F(MasterNodeTest, QuietBusPollsEveryAddressThenBecomesSoleMaster) {
  ASSERT_TRUE(AdvanceUntilSent(1000));
  EXPECT_EQ(Last().type, kFramePollForMaster);
  EXPECT_EQ(Last().destination, 4);
  EXPECT_EQ(Last().silence, 539u);

  const uint8_t order[] = {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2};
  for (uint8_t station : order) {
    SCOPED_TRACE(static_cast<int>(station));
    const size_t before = io_.sent.size();
    Advance(47);
    ASSERT_EQ(io_.sent.size(), before) << "polled before the usage time-out";
    Advance(1);
    ASSERT_EQ(io_.sent.size(), before + 1);
    EXPECT_EQ(Last().type, kFramePollForMaster);
    EXPECT_EQ(Last().destination, station);
    EXPECT_EQ(Last().silence, 48u);
  }
  EXPECT_EQ(tokenCalls_, 0);

  Advance(47);
  EXPECT_EQ(tokenCalls_, 0);
  Advance(1);
  EXPECT_GT(tokenCalls_, 0);
  EXPECT_EQ(node_.SoleMaster, 1);
  ASSERT_FALSE(tokenPorts_.empty());
  EXPECT_EQ(tokenPorts_.front(), "Com3");
}

TEST_F(MasterNodeTest, SoleMasterUsesTokenFor50HoldsThenPollsOneMoreAddress) {
  // The poll of 2 went unanswered: every other address has been polled.
  node_.MasterState = kMsPollForMaster;
  node_.PollStation = 2;
  node_.TokenCount = 0;
  node_.SilenceTimer = 48;
  Run();
  EXPECT_EQ(node_.SoleMaster, 1);
  EXPECT_EQ(tokenCalls_, 51);
  ASSERT_EQ(io_.sent.size(), 1u);
  EXPECT_EQ(Last().type, kFramePollForMaster);
  EXPECT_EQ(Last().destination, 4);
  EXPECT_EQ(node_.MasterState, kMsPollForMaster);

  Advance(48);
  EXPECT_EQ(tokenCalls_, 102);
  ASSERT_EQ(io_.sent.size(), 2u);
  EXPECT_EQ(Last().destination, 5);
}

TEST_F(MasterNodeTest, MissedSlotWaitsUntilSilenceExceeds2177ThenStartsAgain) {
  node_.MasterState = kMsNoToken;
  node_.SilenceTimer = 552;
  Run();
  node_.SilenceTimer = 2177;
  Run();
  EXPECT_EQ(node_.SilenceTimer.load(), 2177u);
  EXPECT_TRUE(io_.sent.empty());

  node_.SilenceTimer = 2178;
  Run();
  EXPECT_EQ(node_.SilenceTimer.load(), 0u);
  EXPECT_EQ(node_.MasterState, kMsNoToken);

  ASSERT_TRUE(AdvanceUntilSent(1000));
  EXPECT_EQ(Last().destination, 4);
  EXPECT_EQ(Last().silence, 539u);
}

TEST_F(MasterNodeTest, GivesWayBeforeOwnSlotWhenAnotherStationIsHeard) {
  node_.MasterState = kMsNoToken;
  node_.SilenceTimer = 520;
  node_.EventCount = 4;
  Run();
  EXPECT_EQ(node_.MasterState, kMsNoToken);
  node_.EventCount = 5;
  Run();
  EXPECT_EQ(node_.MasterState, kMsIdle);
  EXPECT_TRUE(io_.sent.empty());
}

TEST_F(MasterNodeTest, TestRequestToUsIsIgnoredAndLeavesNextPollCycleAlone) {
  Advance(100);
  Receive(kFrameTestRequest, kUs, 9);
  EXPECT_TRUE(io_.sent.empty());
  EXPECT_TRUE(upcalls_.empty());
  EXPECT_EQ(node_.ReceivedValidFrame, 0);
  EXPECT_EQ(node_.MasterState, kMsIdle);

  // The octets of that frame are old news once the token is lost: the
  // station must wait out its slot in NO_TOKEN rather than give way.
  Advance(500);
  for (int ms = 500; ms < 539; ++ms) {
    ASSERT_EQ(node_.MasterState, kMsNoToken) << "silence " << ms;
    Advance(1);
  }
  ASSERT_EQ(io_.sent.size(), 1u);
  EXPECT_EQ(Last().type, kFramePollForMaster);
  EXPECT_EQ(Last().destination, 4);
  EXPECT_EQ(Last().silence, 539u);
}

// --- Polling and passing the token ------------------------------------------

TEST_F(MasterNodeTest, ReplyToPollMakesRespondentSuccessorAndPassesTokenAtOnce) {
  ASSERT_TRUE(AdvanceUntilSent(1000));  // poll of 4
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(AdvanceUntilSent(100));  // polls of 5 to 8
  }
  ASSERT_EQ(Last().destination, 8);
  Advance(10);
  Receive(kFrameReplyToPoll, kUs, 9);

  EXPECT_EQ(Last().type, kFrameToken);
  EXPECT_EQ(Last().destination, 9);
  EXPECT_EQ(Last().silence, 0u);
  EXPECT_EQ(node_.NextStation, 9);
  EXPECT_EQ(node_.PollStation, kUs);
  EXPECT_EQ(node_.TokenCount, 0);
  EXPECT_EQ(node_.MasterState, kMsPassToken);
  EXPECT_EQ(node_.WatchForActivity, 1);
}

TEST_F(MasterNodeTest, OtherFrameDuringPollCycleSendsUsToIdle) {
  ASSERT_TRUE(AdvanceUntilSent(1000));
  Receive(kFrameDataNotExpectingReply, 255, 9, {1});
  EXPECT_EQ(node_.MasterState, kMsIdle);
  EXPECT_EQ(node_.ReceivedValidFrame, 0);
  EXPECT_EQ(io_.sent.size(), 1u);
}

TEST_F(MasterNodeTest, SilentSuccessorGetsTokenTwiceThenTheNextAddressIsPolled) {
  JoinRing(9);
  TakeToken();
  ASSERT_EQ(io_.sent.size(), 1u);
  ASSERT_EQ(Last().type, kFrameToken);
  ASSERT_EQ(node_.MasterState, kMsPassToken);

  Advance(48);
  EXPECT_EQ(io_.sent.size(), 1u) << "repeated the token at exactly 48 ms";
  Advance(1);
  ASSERT_EQ(io_.sent.size(), 2u);
  EXPECT_EQ(Last().type, kFrameToken);
  EXPECT_EQ(Last().destination, 9);
  EXPECT_EQ(Last().silence, 49u);

  Advance(47);
  EXPECT_EQ(io_.sent.size(), 2u);
  Advance(1);
  ASSERT_EQ(io_.sent.size(), 3u);
  EXPECT_EQ(Last().type, kFramePollForMaster);
  EXPECT_EQ(Last().destination, 10);
  EXPECT_EQ(node_.NextStation, kUs);
  EXPECT_EQ(node_.MasterState, kMsPollForMaster);
}

TEST_F(MasterNodeTest, SuccessorHeardUsingTheTokenSendsUsToIdle) {
  JoinRing(9);
  TakeToken();
  Advance(3);
  node_.EventCount = 4;
  Run();
  EXPECT_EQ(node_.MasterState, kMsPassToken);
  node_.EventCount = 5;  // the fifth header octet of the successor's frame
  Run();
  EXPECT_EQ(node_.MasterState, kMsIdle);
  EXPECT_EQ(io_.sent.size(), 1u);
}

// --- Token holds ------------------------------------------------------------

TEST_F(MasterNodeTest, SendsMaxInfoFramesAnsweredRequestsPerTokenHold) {
  node_.MaxInfoFrames = 3;
  JoinRing(5);
  DelegateSendsRequests(9, {0x10, 0x11});
  TakeToken();
  for (uint8_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(static_cast<int>(i));
    ASSERT_EQ(node_.MasterState, kMsWaitForReply);
    EXPECT_EQ(tokenCalls_, i + 1);
    Advance(5);
    Receive(kFrameDataNotExpectingReply, kUs, 9, {static_cast<uint8_t>(0xA0 + i)});
  }
  EXPECT_EQ(tokenCalls_, 3);
  EXPECT_EQ(CountSent(kFrameDataExpectingReply), 3u);
  EXPECT_EQ(Last().type, kFrameToken);
  EXPECT_EQ(Last().destination, 5);
  ASSERT_EQ(upcalls_.size(), 3u);
  EXPECT_EQ(upcalls_[2].status, Delivered);
  EXPECT_EQ(upcalls_[2].data, std::vector<uint8_t>{0xA2});
  EXPECT_EQ(upcalls_[2].source, 9u);

  TakeToken();
  EXPECT_EQ(tokenCalls_, 4) << "the next hold asks the delegate again";
}

TEST_F(MasterNodeTest, DelegateWithNothingToSendPassesTokenAtOnce) {
  node_.MaxInfoFrames = 3;
  JoinRing(5);
  TakeToken();
  EXPECT_EQ(tokenCalls_, 1);
  ASSERT_EQ(io_.sent.size(), 1u);
  EXPECT_EQ(Last().type, kFrameToken);
  EXPECT_EQ(Last().destination, 5);
  EXPECT_EQ(node_.MasterState, kMsPassToken);
}

TEST_F(MasterNodeTest, FirstTokenHoldAfterResetPollsForSuccessor) {
  TakeToken();
  ASSERT_EQ(io_.sent.size(), 1u);
  EXPECT_EQ(Last().type, kFramePollForMaster);
  EXPECT_EQ(Last().destination, 4);
  EXPECT_EQ(node_.MasterState, kMsPollForMaster);
}

TEST_F(MasterNodeTest, MaintenancePollsGapEvery50TokensAndCountsAgainFromZero) {
  JoinRing(9);
  // Holds that end in a plain token pass before the hold that polls.
  auto plainPassesBeforePoll = [this]() {
    int passes = 0;
    for (;;) {
      TakeToken();
      if (Last().type == kFramePollForMaster) {
        return passes;
      }
      EXPECT_EQ(Last().destination, 9);
      ++passes;
      if (passes > 200) {
        return passes;
      }
    }
  };
  EXPECT_EQ(plainPassesBeforePoll(), 50);
  EXPECT_EQ(Last().destination, 4);

  // One address of the gap 4..8 per hold; after each unanswered poll the
  // token goes on to the successor.
  for (uint8_t station = 5; station <= 9; ++station) {
    ASSERT_TRUE(AdvanceUntilSent(100));
    ASSERT_EQ(Last().type, kFrameToken);
    ASSERT_EQ(Last().destination, 9);
    if (station == 9) {
      break;
    }
    TakeToken();
    ASSERT_EQ(Last().type, kFramePollForMaster);
    EXPECT_EQ(Last().destination, station);
  }
  TakeToken();  // the gap is done: the cycle restarts with this pass
  EXPECT_EQ(Last().type, kFrameToken);
  EXPECT_EQ(node_.TokenCount, 0);
  EXPECT_EQ(node_.PollStation, kUs);
  EXPECT_EQ(plainPassesBeforePoll(), 50);
  EXPECT_EQ(Last().destination, 4);
}

TEST_F(MasterNodeTest, DelegateSeesFreshTokenWithFrameCountCleared) {
  JoinRing(5);
  node_.SoleMaster = 1;
  node_.FrameCount = 7;
  node_.TokenAgeTimer = 400;
  uint8_t fresh = 0;
  uint8_t frames = 99;
  uint32_t age = 99;
  onToken_ = [&] {
    fresh = node_.TokenFresh;
    frames = node_.FrameCount;
    age = node_.TokenAgeTimer.load();
    return uint8_t{0};
  };
  TakeToken(2);
  EXPECT_EQ(fresh, 1);
  EXPECT_EQ(frames, 0);
  EXPECT_EQ(age, 0u);
  EXPECT_EQ(node_.SoleMaster, 0);
}

TEST_F(MasterNodeTest, WaitsForReplyOnlyWhenThisHoldSentARequest) {
  // A request sent outside a token hold (in passive mode, or as an answer
  // from the upcall) cleared NoReplyPending; a hold that sends nothing must
  // not wait for a reply to it.
  JoinRing(5);
  node_.NoReplyPending = 0;
  TakeToken();
  EXPECT_EQ(node_.MasterState, kMsPassToken);
  EXPECT_EQ(Last().type, kFrameToken);
  EXPECT_TRUE(upcalls_.empty());
}

TEST_F(MasterNodeTest, MissingDelegatesAreSkipped) {
  node_.TokenObtained = nullptr;
  node_.Upcall = nullptr;
  JoinRing(5);
  TakeToken();
  EXPECT_EQ(Last().type, kFrameToken);
  Receive(kFrameDataNotExpectingReply, kUs, 5, {1});
  EXPECT_EQ(node_.MasterState, kMsIdle);
  EXPECT_EQ(node_.ReceivedValidFrame, 0);
}

// --- Requests, replies and resends ------------------------------------------

TEST_F(MasterNodeTest, UnansweredRequestIsSentThreeTimesThenOneTimeoutReported) {
  node_.MaxRequestResend = 2;
  JoinRing(5);
  DelegateSendsRequests(9, {0x61, 0x62, 0x63});
  for (int attempt = 1; attempt <= 3; ++attempt) {
    SCOPED_TRACE(attempt);
    TakeToken();
    ASSERT_EQ(node_.MasterState, kMsWaitForReply);
    EXPECT_EQ(CountSent(kFrameDataExpectingReply), static_cast<size_t>(attempt));
    EXPECT_EQ(Last().destination, 9);
    EXPECT_EQ(Last().data, (std::vector<uint8_t>{0x61, 0x62, 0x63}));
    Advance(124);
    EXPECT_EQ(node_.MasterState, kMsWaitForReply);
    Advance(1);
    EXPECT_EQ(Last().type, kFrameToken) << "the token goes on after each time-out";
    if (attempt < 3) {
      EXPECT_TRUE(upcalls_.empty());
    }
  }
  EXPECT_EQ(tokenCalls_, 1);
  ASSERT_EQ(upcalls_.size(), 1u);
  EXPECT_EQ(upcalls_[0].status, ReplyTimeout);
  EXPECT_FALSE(upcalls_[0].hadData);
  EXPECT_EQ(upcalls_[0].length, 0u);
  EXPECT_EQ(node_.ResendPending, 0u);
  EXPECT_EQ(node_.ResendCount, 0);

  TakeToken();
  EXPECT_EQ(tokenCalls_, 2) << "after the time-out the delegate is asked again";
}

TEST_F(MasterNodeTest, ResendWithinTheSameHoldWhenFramesRemain) {
  node_.MaxInfoFrames = 2;
  node_.MaxRequestResend = 1;
  JoinRing(5);
  DelegateSendsRequests(9, {7});
  TakeToken();
  Advance(125);
  EXPECT_EQ(node_.MasterState, kMsWaitForReply);
  EXPECT_EQ(CountSent(kFrameDataExpectingReply), 2u);
  EXPECT_EQ(tokenCalls_, 1);
}

// A named step that a table-driven case runs on a fresh fixture.
struct Scenario {
  const char* name;
  std::function<void(MasterNodeTest&)> run;
  friend void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
};

// Names each instance after its case, so a failure says which one.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

// A request waiting for its resend must end even when no resend goes: the
// gates may refuse the last one (input pending as the token came), or the user
// may lower the limit meanwhile. No reply wait is left to report the
// time-out, so the token hold does, and the user's next request goes after it.
struct ResendNotSentCase {
  const char* name;
  uint8_t maxResend;
  uint8_t maxAfterTimeout;
  bool refused;
  friend void PrintTo(const ResendNotSentCase& c, std::ostream* os) { *os << c.name; }
};

class MasterNodeResendNotSentTest : public MasterNodeTest,
                                    public ::testing::WithParamInterface<ResendNotSentCase> {};

TEST_P(MasterNodeResendNotSentTest, RequestEndsWithATimeOutAtTheNextToken) {
  const ResendNotSentCase& c = GetParam();
  node_.MaxRequestResend = c.maxResend;
  JoinRing(5);
  DelegateSendsRequests(9, {0x61});
  TakeToken();
  Advance(125);
  ASSERT_EQ(node_.ResendPending, 1u);
  ASSERT_TRUE(upcalls_.empty());
  node_.MaxRequestResend = c.maxAfterTimeout;
  if (c.refused) {
    io_.refuse = [](uint8_t type) { return type == kFrameDataExpectingReply; };
  }
  TakeToken();
  ASSERT_EQ(upcalls_.size(), 1u);
  EXPECT_EQ(upcalls_[0].status, ReplyTimeout);
  EXPECT_FALSE(upcalls_[0].hadData);
  EXPECT_EQ(node_.ResendPending, 0u);
  EXPECT_EQ(node_.ResendCount, 0);
  EXPECT_EQ(CountSent(kFrameDataExpectingReply), 1u);
  EXPECT_EQ(Last().type, kFrameToken) << "the hold ends with the token passed on";

  io_.refuse = nullptr;
  TakeToken();
  EXPECT_EQ(tokenCalls_, 2);
  EXPECT_EQ(CountSent(kFrameDataExpectingReply), 2u);
  EXPECT_EQ(node_.MasterState, kMsWaitForReply);
}

INSTANTIATE_TEST_SUITE_P(
    Resends, MasterNodeResendNotSentTest,
    ::testing::Values(ResendNotSentCase{"LastResendRefused", 1, 1, true},
                      ResendNotSentCase{"LimitLoweredWhileAResendWaits", 2, 0, false}),
    CaseName<ResendNotSentCase>);

// An earlier resend refused still counts, and the last one goes.
TEST_F(MasterNodeTest, RefusedResendCountsAndTheNextOneGoes) {
  node_.MaxRequestResend = 2;
  JoinRing(5);
  DelegateSendsRequests(9, {0x61});
  TakeToken();
  Advance(125);
  io_.refuse = [](uint8_t type) { return type == kFrameDataExpectingReply; };
  TakeToken();
  EXPECT_TRUE(upcalls_.empty());
  EXPECT_EQ(node_.ResendCount, 1);
  io_.refuse = nullptr;
  TakeToken();
  EXPECT_EQ(CountSent(kFrameDataExpectingReply), 2u);
  EXPECT_EQ(node_.MasterState, kMsWaitForReply);
  Advance(125);
  ASSERT_EQ(upcalls_.size(), 1u);
  EXPECT_EQ(upcalls_[0].status, ReplyTimeout);
  EXPECT_EQ(tokenCalls_, 1);
}

class MasterNodeResendEndTest : public MasterNodeTest,
                                public ::testing::WithParamInterface<Scenario> {};

TEST_P(MasterNodeResendEndTest, AnyUpcallBetweenResendsEndsResending) {
  node_.MaxRequestResend = 2;
  JoinRing(5);
  DelegateSendsRequests(9, {1});
  TakeToken();
  Advance(125);
  ASSERT_EQ(node_.ResendPending, 1u);
  GetParam().run(*this);
  ASSERT_EQ(upcalls_.size(), 1u);
  EXPECT_EQ(upcalls_[0].status, Delivered);
  EXPECT_EQ(node_.ResendPending, 0u);
  EXPECT_EQ(node_.ResendCount, 0);
  const size_t requestsBefore = CountSent(kFrameDataExpectingReply);
  const int callsBefore = tokenCalls_;
  TakeToken();
  EXPECT_EQ(tokenCalls_, callsBefore + 1) << "resent instead of asking the delegate";
  EXPECT_EQ(CountSent(kFrameDataExpectingReply), requestsBefore + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Upcalls, MasterNodeResendEndTest,
    ::testing::Values(Scenario{"ReplyToTheResend",
                               [](MasterNodeTest& f) {
                                 f.TakeToken();
                                 f.Receive(kFrameDataNotExpectingReply, kUs, 9, {0x42});
                               }},
                      Scenario{"BroadcastWhileIdle",
                               [](MasterNodeTest& f) {
                                 f.Receive(kFrameDataNotExpectingReply, 255, 12, {0x42});
                               }},
                      Scenario{"RequestWhileIdle",
                               [](MasterNodeTest& f) {
                                 f.Receive(kFrameDataExpectingReply, kUs, 12, {0x42});
                               }}),
    CaseName<Scenario>);

TEST_F(MasterNodeTest, ReplyTimeoutPutsReceiverBackToIdle) {
  JoinRing(5);
  DelegateSendsRequests(9, {1});
  TakeToken();
  node_.ReplyTimeout = 250;
  Advance(249);
  node_.ReceiveState = kRxHeader;
  Advance(1);
  EXPECT_EQ(node_.ReceiveState, kRxIdle);
  ASSERT_EQ(upcalls_.size(), 1u);
  EXPECT_EQ(upcalls_[0].status, ReplyTimeout);
}

struct ReplyCase {
  const char* name;
  bool damaged;
  uint8_t type;
  uint8_t destination;
  UpcallStatus status;
  bool withData;
  bool tokenPassed;
  friend void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }
};

class MasterNodeReplyTest : public MasterNodeTest,
                            public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(MasterNodeReplyTest, ReplyWaitEndsWithTheOutcomeOfTheFrameReceived) {
  const ReplyCase& c = GetParam();
  JoinRing(5);
  DelegateSendsRequests(9, {1});
  TakeToken();
  ASSERT_EQ(node_.MasterState, kMsWaitForReply);
  Advance(20);
  if (c.damaged) {
    ReceiveDamaged();
    Advance(15);  // the rest of a damaged frame may still be on the line
    EXPECT_EQ(node_.ReceivedInvalidFrame, 0);
  } else {
    Receive(c.type, c.destination, 9, {0x5A, 0x5B});
    EXPECT_EQ(node_.ReceivedValidFrame, 0);
  }
  ASSERT_EQ(upcalls_.size(), 1u);
  EXPECT_EQ(upcalls_[0].status, c.status);
  EXPECT_EQ(upcalls_[0].port, "Com3");
  if (c.withData) {
    EXPECT_EQ(upcalls_[0].data, (std::vector<uint8_t>{0x5A, 0x5B}));
    EXPECT_EQ(upcalls_[0].source, 9u);
  } else {
    EXPECT_FALSE(upcalls_[0].hadData);
    EXPECT_EQ(upcalls_[0].source, 0u);
    EXPECT_EQ(upcalls_[0].length, 0u);
  }
  if (c.tokenPassed) {
    EXPECT_EQ(Last().type, kFrameToken);
    EXPECT_EQ(node_.MasterState, kMsPassToken);
  } else {
    EXPECT_EQ(Last().type, kFrameDataExpectingReply);
    EXPECT_EQ(node_.MasterState, kMsIdle);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, MasterNodeReplyTest,
    ::testing::Values(
        ReplyCase{"DataReply", false, kFrameDataNotExpectingReply, kUs, Delivered, true, true},
        ReplyCase{"TestResponse", false, kFrameTestResponse, kUs, Delivered, true, true},
        ReplyCase{"ReplyPostponed", false, kFrameReplyPostponed, kUs, ReplyPostponed, false, true},
        ReplyCase{"DamagedFrame", true, 0, 0, InvalidFrame, false, true},
        ReplyCase{"BroadcastData", false, kFrameDataNotExpectingReply, 255, UnexpectedFrame,
                  false, false},
        ReplyCase{"RequestToUs", false, kFrameDataExpectingReply, kUs, UnexpectedFrame, false,
                  false},
        ReplyCase{"TokenToUs", false, kFrameToken, kUs, UnexpectedFrame, false, false}),
    CaseName<ReplyCase>);

// --- Frames met in IDLE -----------------------------------------------------

TEST_F(MasterNodeTest, PollToUsIsAnsweredAlsoInPassiveMode) {
  for (uint32_t passive : {0u, 1u}) {
    SCOPED_TRACE(passive);
    io_.sent.clear();
    port_.MasterServicesDisabled = passive;
    Receive(kFramePollForMaster, kUs, 11);
    ASSERT_EQ(io_.sent.size(), 1u);
    EXPECT_EQ(Last().type, kFrameReplyToPoll);
    EXPECT_EQ(Last().destination, 11);
    EXPECT_EQ(node_.ReceivedValidFrame, 0);
    EXPECT_EQ(node_.MasterState, kMsIdle);
  }
}

TEST_F(MasterNodeTest, DataNotExpectingReplyToUsOrBroadcastIsDelivered) {
  for (uint8_t destination : {kUs, uint8_t{255}}) {
    SCOPED_TRACE(static_cast<int>(destination));
    upcalls_.clear();
    Receive(kFrameDataNotExpectingReply, destination, 12, {1, 2, 3});
    ASSERT_EQ(upcalls_.size(), 1u);
    EXPECT_EQ(upcalls_[0].status, Delivered);
    EXPECT_EQ(upcalls_[0].data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(upcalls_[0].source, 12u);
    EXPECT_EQ(upcalls_[0].length, 3u);
    EXPECT_EQ(upcalls_[0].answering, 0);
    EXPECT_EQ(node_.ReceivedValidFrame, 0);
    EXPECT_EQ(node_.MasterState, kMsIdle);
  }
}

TEST_F(MasterNodeTest, RequestToUsOpensAnswerWindowForTheUpcall) {
  node_.ReplyDelayTimer = 30;
  Receive(kFrameDataExpectingReply, kUs, 12, {9, 8});
  ASSERT_EQ(upcalls_.size(), 1u);
  EXPECT_EQ(upcalls_[0].status, Delivered);
  EXPECT_EQ(upcalls_[0].data, (std::vector<uint8_t>{9, 8}));
  EXPECT_EQ(upcalls_[0].answering, 1);
  EXPECT_EQ(upcalls_[0].replyDelay, 0u);
  EXPECT_EQ(node_.Answering, 0);
  EXPECT_EQ(node_.ReplyDelayTimer.load(), 0u);
  EXPECT_EQ(io_.inputDiscards, 0);
  EXPECT_EQ(node_.MasterState, kMsIdle);
}

TEST_F(MasterNodeTest, SlowUpcallForARequestDiscardsInputAfterwards) {
  for (uint32_t spent : {45u, 46u}) {
    SCOPED_TRACE(spent);
    io_.inputDiscards = 0;
    duringUpcall_ = [this, spent] { node_.ReplyDelayTimer = spent; };
    Receive(kFrameDataExpectingReply, kUs, 12, {1});
    EXPECT_EQ(io_.inputDiscards, spent > 45 ? 1 : 0);
    EXPECT_EQ(node_.ReplyDelayTimer.load(), 0u);
    EXPECT_EQ(node_.Answering, 0);
  }
}

TEST_F(MasterNodeTest, FramesNotMeantForUsAreDroppedInIdle) {
  const struct {
    const char* name;
    uint8_t type;
    uint8_t destination;
  } cases[] = {
      {"broadcast token", kFrameToken, 255},
      {"broadcast test request", kFrameTestRequest, 255},
      {"broadcast request", kFrameDataExpectingReply, 255},
      {"type 8 to us", 8, kUs},
      {"type 200 broadcast", 200, 255},
      {"token for station 7", kFrameToken, 7},
      {"poll for station 7", kFramePollForMaster, 7},
      {"data for station 7", kFrameDataNotExpectingReply, 7},
      {"reply postponed to us", kFrameReplyPostponed, kUs},
      {"test response to us", kFrameTestResponse, kUs},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Receive(c.type, c.destination, 12, {1});
    EXPECT_EQ(node_.ReceivedValidFrame, 0);
    EXPECT_EQ(node_.MasterState, kMsIdle);
  }
  EXPECT_TRUE(io_.sent.empty());
  EXPECT_TRUE(upcalls_.empty());
  EXPECT_EQ(tokenCalls_, 0);
}

// A header that fails its check leaves the rest of its frame on the line; a
// request or token sent into it would be refused and the token lost.
TEST_F(MasterNodeTest, DamagedReplyIsReportedOnlyOnceTheLineHasBeenQuiet15Ms) {
  node_.MaxInfoFrames = 2;
  JoinRing(5);
  DelegateSendsRequests(9, {1, 2});
  TakeToken();
  ASSERT_EQ(node_.MasterState, kMsWaitForReply);
  const size_t sent = io_.sent.size();
  ReceiveDamaged();
  Advance(14);
  EXPECT_TRUE(upcalls_.empty());
  EXPECT_EQ(node_.MasterState, kMsWaitForReply);
  // More of the damaged frame: the quiet time starts again.
  node_.SilenceTimer = 0;
  Advance(14);
  EXPECT_TRUE(upcalls_.empty());
  EXPECT_EQ(io_.sent.size(), sent);
  Advance(1);
  ASSERT_EQ(upcalls_.size(), 1u);
  EXPECT_EQ(upcalls_[0].status, InvalidFrame);
  ASSERT_GT(io_.sent.size(), sent);
  EXPECT_EQ(io_.sent[sent].type, kFrameDataExpectingReply);
}

TEST_F(MasterNodeTest, DamagedFrameInIdleIsForgotten) {
  ReceiveDamaged();
  EXPECT_EQ(node_.ReceivedInvalidFrame, 0);
  EXPECT_EQ(node_.MasterState, kMsIdle);
  EXPECT_TRUE(upcalls_.empty());
}

// On a noisy line a broken header is flagged between nearly any two frames
// for this station, and nothing runs the machine in between while other
// stations keep the line busy. The frame that then runs it must be taken, not
// dropped behind the old flag: a station that dropped them would never use a
// token or answer a poll again and stay out of the ring for good.
struct AfterBrokenHeaderCase {
  const char* name;
  uint8_t state;  // where the machine was when the broken header came
  uint8_t frameType;
  uint8_t source;
  uint8_t answerType;
  uint8_t answerTo;
  uint8_t stateAfter;
  friend void PrintTo(const AfterBrokenHeaderCase& c, std::ostream* os) { *os << c.name; }
};

class MasterNodeAfterBrokenHeaderTest
    : public MasterNodeTest,
      public ::testing::WithParamInterface<AfterBrokenHeaderCase> {};

TEST_P(MasterNodeAfterBrokenHeaderTest, FrameForUsIsTakenAfterABrokenHeader) {
  const AfterBrokenHeaderCase& c = GetParam();
  JoinRing(9);
  node_.MasterState = c.state;
  ReceiveBrokenHeader();
  gFakeMicros += 20'000;  // frames of other stations: the line never goes quiet
  Receive(c.frameType, kUs, c.source);
  ASSERT_EQ(io_.sent.size(), 1u);
  EXPECT_EQ(Last().type, c.answerType);
  EXPECT_EQ(Last().destination, c.answerTo);
  EXPECT_EQ(node_.MasterState, c.stateAfter);
  EXPECT_EQ(node_.ReceivedValidFrame, 0);
  EXPECT_EQ(node_.ReceivedInvalidFrame, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, MasterNodeAfterBrokenHeaderTest,
    ::testing::Values(
        AfterBrokenHeaderCase{"TokenInIdle", kMsIdle, kFrameToken, 1, kFrameToken, 9, kMsPassToken},
        AfterBrokenHeaderCase{"PollInIdle", kMsIdle, kFramePollForMaster, 20, kFrameReplyToPoll,
                              20, kMsIdle},
        // The fifth octet heard after the pass was no header octet (a broken
        // preamble), so nothing ran the machine while it watched for activity.
        AfterBrokenHeaderCase{"TokenAfterOurPass", kMsPassToken, kFrameToken, 1, kFrameToken, 9,
                              kMsPassToken}),
    CaseName<AfterBrokenHeaderCase>);

// The frames a station at the end of a ring heard at one in 333 octets
// damaged: it answered the poll of the last station, whose token then came
// with a broken header and again, intact, after the usage time-out.
TEST_F(MasterNodeTest, TokenRepeatedAfterABrokenCopyIsUsed) {
  DelegateSendsRequests(16, {0x01, 0x05, 0x01, 0x01});
  Receive(kFramePollForMaster, kUs, 20);
  ASSERT_EQ(io_.sent.size(), 1u);
  ASSERT_EQ(Last().type, kFrameReplyToPoll);
  ReceiveBrokenHeader();
  // The receiver waits for octets until the lost-token time: the repeat comes
  // first, and the machine does not run before it.
  gFakeMicros += 52'000;
  TakeToken(20);
  EXPECT_EQ(tokenCalls_, 1);
  ASSERT_EQ(io_.sent.size(), 2u);
  EXPECT_EQ(Last().type, kFrameDataExpectingReply);
  EXPECT_EQ(Last().destination, 16);
  EXPECT_EQ(node_.MasterState, kMsWaitForReply);
}

TEST_F(MasterNodeTest, RequestFromTokenDropStationIsAnsweredWithTestRequestAndReset) {
  port_.TokenDropAddress = 7;
  JoinRing(9);
  node_.SilenceTimer = 0;
  Receive(kFrameDataExpectingReply, kUs, 8, {1});
  EXPECT_EQ(upcalls_.size(), 1u) << "other stations' requests are still delivered";

  node_.SoleMaster = 1;
  node_.TokenFresh = 1;
  node_.WatchForActivity = 1;
  node_.NoReplyPending = 0;
  node_.MoreToSend = 0;
  node_.ReceiveState = kRxData;
  Receive(kFrameDataExpectingReply, kUs, 7, {1});
  EXPECT_EQ(upcalls_.size(), 1u);
  EXPECT_EQ(node_.SoleMaster + node_.TokenFresh + node_.WatchForActivity + node_.Answering, 0);
  EXPECT_EQ(node_.NoReplyPending + node_.MoreToSend, 2);
  EXPECT_EQ(node_.ReceiveState, kRxData) << "the reset leaves the receiver alone";
  ASSERT_EQ(io_.sent.size(), 1u);
  EXPECT_EQ(Last().type, kFrameTestRequest);
  EXPECT_EQ(Last().destination, 7);
  EXPECT_EQ(Last().outputDiscards, 1) << "a purge after the answer would take it off the line";
  EXPECT_EQ(node_.NextStation, kUs);
  EXPECT_EQ(node_.TokenCount, 50);
  EXPECT_EQ(node_.ReceivedValidFrame, 0);
  EXPECT_EQ(io_.inputDiscards, 1);
  EXPECT_EQ(io_.outputDiscards, 1);
  EXPECT_EQ(node_.MasterState, kMsIdle);
}

// --- Refused transmissions and reset ----------------------------------------

struct RefusalCase {
  const char* name;
  uint8_t refused;
  std::function<void(MasterNodeTest&)> trigger;
  friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
};

class MasterNodeRefusalTest : public MasterNodeTest,
                              public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(MasterNodeRefusalTest, RefusedOwnFrameResetsTheMachineToIdle) {
  const uint8_t refused = GetParam().refused;
  io_.refuse = [refused](uint8_t type) { return type == refused; };
  GetParam().trigger(*this);
  ASSERT_FALSE(io_.attempts.empty());
  EXPECT_EQ(io_.attempts.back().type, refused);
  EXPECT_TRUE(io_.sent.empty());
  EXPECT_EQ(node_.MasterState, kMsIdle);
  EXPECT_EQ(node_.NextStation, kUs);
  EXPECT_EQ(node_.PollStation, kUs);
  EXPECT_EQ(node_.TokenCount, 50);
  EXPECT_EQ(node_.ReceivedValidFrame, 0);
  EXPECT_EQ(io_.inputDiscards, 1);
  EXPECT_EQ(io_.outputDiscards, 1);
}

INSTANTIATE_TEST_SUITE_P(
    OwnFrames, MasterNodeRefusalTest,
    ::testing::Values(
        RefusalCase{"PollInOwnSlot", kFramePollForMaster,
                    [](MasterNodeTest& f) {
                      f.node_.MasterState = kMsNoToken;
                      f.node_.SilenceTimer = 540;
                      f.Run();
                    }},
        RefusalCase{"NextPollOfTheCycle", kFramePollForMaster,
                    [](MasterNodeTest& f) {
                      f.node_.MasterState = kMsPollForMaster;
                      f.node_.PollStation = 4;
                      f.node_.SilenceTimer = 48;
                      f.Run();
                    }},
        RefusalCase{"TokenToTheStationThatAnsweredThePoll", kFrameToken,
                    [](MasterNodeTest& f) {
                      f.node_.MasterState = kMsPollForMaster;
                      f.node_.PollStation = 9;
                      f.Receive(kFrameReplyToPoll, kUs, 9);
                    }},
        RefusalCase{"TokenAfterThePollCycle", kFrameToken,
                    [](MasterNodeTest& f) {
                      f.node_.MasterState = kMsPollForMaster;
                      f.node_.NextStation = 9;
                      f.node_.PollStation = 6;
                      f.node_.SilenceTimer = 48;
                      f.Run();
                    }},
        // The station holding the token tries its frames again for the usage
        // time-out before it gives up.
        RefusalCase{"TokenPassAtTheEndOfAHold", kFrameToken,
                    [](MasterNodeTest& f) {
                      f.JoinRing(9);
                      f.TakeToken();
                      f.Advance(48);
                    }},
        RefusalCase{"RepeatedToken", kFrameToken,
                    [](MasterNodeTest& f) {
                      f.node_.MasterState = kMsPassToken;
                      f.node_.NextStation = 9;
                      f.node_.SilenceTimer = 49;
                      f.Run();
                    }},
        RefusalCase{"PollForANewSuccessor", kFramePollForMaster,
                    [](MasterNodeTest& f) {
                      f.node_.MasterState = kMsPassToken;
                      f.node_.NextStation = 9;
                      f.node_.RetryCount = 1;
                      f.node_.SilenceTimer = 48;
                      f.Run();
                    }},
        RefusalCase{"MaintenancePoll", kFramePollForMaster,
                    [](MasterNodeTest& f) {
                      f.TakeToken();
                      f.Advance(48);
                    }},
        RefusalCase{"ReplyToAPoll", kFrameReplyToPoll,
                    [](MasterNodeTest& f) { f.Receive(kFramePollForMaster, kUs, 11); }}),
    CaseName<RefusalCase>);

// A late answer arriving just as the reply time-out expires makes the gates
// refuse the token pass; the station keeps the token and passes it once the
// line is quiet instead of dropping it (and the bus losing it).
TEST_F(MasterNodeTest, TokenPassRefusedByALateAnswerGoesOnceTheLineIsQuiet) {
  JoinRing(9);
  node_.ReplyTimeout = 250;
  DelegateSendsRequests(16, {0x01, 0x01});
  TakeToken();
  ASSERT_EQ(node_.MasterState, kMsWaitForReply);
  int refusals = 0;
  io_.refuse = [&refusals](uint8_t type) { return type == kFrameToken && refusals++ < 3; };
  Advance(250);  // the reply time-out; the first try is refused
  EXPECT_EQ(node_.MasterState, kMsDoneWithToken);
  EXPECT_EQ(node_.PassHeldBack, 1);
  Advance(3);
  EXPECT_EQ(node_.MasterState, kMsPassToken);
  EXPECT_EQ(Last().type, kFrameToken);
  EXPECT_EQ(Last().destination, 9);
  EXPECT_EQ(node_.NextStation, 9);
  EXPECT_EQ(node_.PassHeldBack, 0);
  EXPECT_EQ(io_.outputDiscards, 0);  // no reset
  EXPECT_EQ(CountAttempts(kFrameToken), 4u);
  for (size_t i = io_.attempts.size() - 4; i + 1 < io_.attempts.size(); ++i) {
    EXPECT_EQ(io_.attempts[i].verdict, GateVerdict::Refused);
  }
  EXPECT_EQ(io_.attempts.back().verdict, GateVerdict::SendNow);
  EXPECT_EQ(io_.pendingDiscards, 3) << "each refusal throws the late answer away";
}

// Octets that make no frame after the pass: the successor's first frame,
// damaged past recognition (it sends again after its own usage time-out), or
// a late answer that collided with the pass (nobody has the token). The token
// waits two usage time-outs before it goes again: after one it would go out
// on top of the successor's retry and both would be lost.
TEST_F(MasterNodeTest, TokenWaitsForTheSuccessorsRetryAfterOctetsThatMadeNoFrame) {
  JoinRing(9);
  TakeToken();
  ASSERT_EQ(node_.MasterState, kMsPassToken);
  ASSERT_EQ(CountSent(kFrameToken), 1u);
  AdvanceAsTheMasterThread(3);
  ReceiveNoise(8);
  AdvanceAsTheMasterThread(52);
  EXPECT_EQ(CountSent(kFrameToken), 1u) << "the token went again on top of the successor's retry";
  Receive(kFrameToken, 10, 9);  // the successor's retry, heard
  EXPECT_EQ(node_.MasterState, kMsIdle);
  AdvanceAsTheMasterThread(100);
  EXPECT_EQ(CountSent(kFrameToken), 1u);
}

TEST_F(MasterNodeTest, TokenLostInACollisionGoesAgainAfterTwoUsageTimeouts) {
  JoinRing(9);
  TakeToken();
  AdvanceAsTheMasterThread(1);
  ReceiveNoise(12);
  AdvanceAsTheMasterThread(100);
  ASSERT_EQ(CountSent(kFrameToken), 2u);
  EXPECT_EQ(Last().destination, 9);
  EXPECT_GT(Last().silence, 96u);
  EXPECT_LT(Last().silence, 100u);
  EXPECT_EQ(node_.MasterState, kMsPassToken);
}

// The gates, not the machine, decide when a frame goes: a request right after
// the token waits for this station's previous frame to leave the line and the
// line's silence after it, and
// nothing goes on a token held too long.
TEST_F(MasterNodeTest, FramesGoAsTheGatesDecide) {
  JoinRing(9);
  DelegateSendsRequests(16, {0x01});
  io_.lineBusyMicros = 1200;
  TakeToken();
  ASSERT_EQ(io_.attempts.size(), 1u);
  EXPECT_EQ(io_.attempts[0].verdict, GateVerdict::Wait);
  EXPECT_EQ(io_.attempts[0].waitMicros, 1200u + 3000u) << "the frame on the line, then 3 ms";
  EXPECT_EQ(io_.waited, std::vector<uint32_t>{4200});
  ASSERT_EQ(io_.written.size(), 1u);
  EXPECT_EQ(io_.written[0].size(), 8u + 1u + 2u);
  EXPECT_EQ(node_.TokenFresh, 0);
  EXPECT_EQ(node_.NoReplyPending, 1) << "the machine has noted the request and waits";
  EXPECT_EQ(node_.MasterState, kMsWaitForReply);

  io_.lineBusyMicros = 0;
  node_.MasterState = kMsIdle;
  node_.SilenceTimer = 0;
  onToken_ = [this] {
    gFakeMicros += 97'000;  // the delegate dawdles past the token's age limit
    io_.Transmit(kFrameDataExpectingReply, 16, nullptr, 0);
    return uint8_t{0};
  };
  const size_t before = io_.attempts.size();
  TakeToken();
  ASSERT_EQ(io_.attempts.size(), before + 2);
  EXPECT_EQ(io_.attempts[before].verdict, GateVerdict::Refused);
  // The token is still the one received, and as old: its pass is held back too.
  EXPECT_EQ(io_.attempts[before + 1].type, kFrameToken);
  EXPECT_EQ(io_.attempts[before + 1].verdict, GateVerdict::Refused);
  EXPECT_EQ(io_.written.size(), 1u);
  EXPECT_EQ(node_.PassHeldBack, 1);
}

TEST_F(MasterNodeTest, TokenHeldBackFor48msIsGivenUpWithAReset) {
  JoinRing(9);
  io_.refuse = [](uint8_t type) { return type == kFrameToken; };
  TakeToken();
  EXPECT_EQ(node_.MasterState, kMsDoneWithToken);
  Advance(47);
  EXPECT_EQ(node_.MasterState, kMsDoneWithToken);
  EXPECT_EQ(io_.outputDiscards, 0);
  Advance(1);
  EXPECT_EQ(node_.MasterState, kMsIdle);
  EXPECT_EQ(io_.outputDiscards, 1);
  EXPECT_EQ(node_.NextStation, kUs);
}

// --- Passive mode -----------------------------------------------------------

TEST_F(MasterNodeTest, PassiveStationNeverCreatesAToken) {
  port_.MasterServicesDisabled = 1;
  Advance(3000);
  EXPECT_TRUE(io_.sent.empty());
  EXPECT_EQ(tokenCalls_, 0);
  EXPECT_EQ(node_.MasterState, kMsIdle);
}

TEST_F(MasterNodeTest, PassiveStationNotesTokenButNeitherUsesNorPassesIt) {
  port_.MasterServicesDisabled = 1;
  JoinRing(9);
  node_.SoleMaster = 1;
  node_.FrameCount = 2;
  TakeToken();
  Advance(600);
  EXPECT_EQ(tokenCalls_, 0);
  EXPECT_TRUE(io_.sent.empty());
  EXPECT_EQ(node_.TokenFresh, 1);
  EXPECT_EQ(node_.FrameCount, 0);
  EXPECT_EQ(node_.SoleMaster, 0);
  EXPECT_EQ(node_.MasterState, kMsIdle);
}

TEST_F(MasterNodeTest, PassiveModeSetWhileSoleMasterLeavesTheRing) {
  node_.MasterState = kMsPollForMaster;
  node_.SoleMaster = 1;
  node_.PollStation = 4;
  port_.MasterServicesDisabled = 1;
  Advance(1000);
  EXPECT_EQ(tokenCalls_, 0);
  EXPECT_TRUE(io_.sent.empty());
  EXPECT_EQ(node_.MasterState, kMsIdle);
}

TEST_F(MasterNodeTest, PassiveModeSetDuringReplyWaitStillDeliversTheReply) {
  JoinRing(5);
  DelegateSendsRequests(9, {1});
  TakeToken();
  ASSERT_EQ(node_.MasterState, kMsWaitForReply);
  port_.MasterServicesDisabled = 1;
  Advance(10);
  Receive(kFrameDataNotExpectingReply, kUs, 9, {4});
  ASSERT_EQ(upcalls_.size(), 1u);
  EXPECT_EQ(upcalls_[0].status, Delivered);
  EXPECT_EQ(Last().type, kFrameDataExpectingReply) << "the token was passed in passive mode";
  EXPECT_EQ(tokenCalls_, 1);
  EXPECT_EQ(node_.MasterState, kMsIdle);
}

// A port closed while its station holds the token: the exchange under way
// ends, the delegate is asked for nothing more, no poll goes out, and the
// token is passed on to the successor, or without one to the station last
// heard passing a token. Without either it is dropped.
TEST_F(MasterNodeTest, ClosingPortHandsTheHeldTokenOn) {
  const struct {
    const char* name;
    uint8_t successor;  // kUs: none known
    uint8_t tokenSeenFrom;
    bool answered;  // the request under way is answered before its time-out
    uint8_t tokenTo;  // kNoStation: no token goes
  } cases[] = {
      {"SuccessorAfterTheAnswer", 9, 12, true, 9},
      {"SuccessorAfterTheReplyTimeout", 9, 12, false, 9},
      {"NoSuccessorLastPasser", kUs, 12, true, 12},
      {"NoSuccessorNoPasserDropsIt", kUs, kNoStation, false, kNoStation},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    io_.sent.clear();
    port_.StopRequested = 0;
    node_.MasterState = kMsIdle;
    node_.MaxRequestResend = 2;
    node_.ReplyTimeout = 100;
    node_.TokenSeenFrom = c.tokenSeenFrom;
    JoinRing(c.successor);
    node_.TokenCount = 10;
    DelegateSendsRequests(16, {0x01});
    TakeToken();
    ASSERT_EQ(node_.MasterState, kMsWaitForReply);
    const int callsBefore = tokenCalls_;

    port_.StopRequested = 1;
    if (c.answered) {
      Advance(5);
      Receive(kFrameDataNotExpectingReply, kUs, 16, {0x02});
    }
    // The master thread ends once the station holds no token.
    for (int ms = 0; ms < 150 && MasterHoldsToken(node_); ++ms) {
      Advance(1);
    }
    EXPECT_EQ(tokenCalls_, callsBefore) << "a closing port asks the delegate for more";
    EXPECT_EQ(CountSent(kFrameDataExpectingReply), 1u) << "the request went again";
    EXPECT_EQ(CountSent(kFramePollForMaster), 0u);
    EXPECT_FALSE(MasterHoldsToken(node_));
    if (c.tokenTo == kNoStation) {
      EXPECT_EQ(CountSent(kFrameToken), 0u);
      continue;
    }
    EXPECT_EQ(CountSent(kFrameToken), 1u);
    EXPECT_EQ(Last().type, kFrameToken);
    EXPECT_EQ(Last().destination, c.tokenTo);
    EXPECT_GE(Last().silence * 1000u + Last().waitMicros, 3000u) << "the pass went through the gates";
    EXPECT_EQ(node_.MasterState, kMsPassToken);
  }
}

// The silence before each frame comes after the token's and the request's
// checks: a frame sent the moment the token or the request arrived waits the
// 3 ms and still goes.
TEST_F(MasterNodeTest, SilenceWaitDoesNotSpendTheTokenOrTheAnswerWindow) {
  JoinRing(9);
  DelegateSendsRequests(16, {0x01});
  node_.TokenAgeTimer = 0;
  TakeToken();
  ASSERT_EQ(io_.attempts.size(), 1u);
  EXPECT_EQ(io_.attempts[0].verdict, GateVerdict::Wait);
  EXPECT_EQ(io_.attempts[0].waitMicros, 3000u);
  EXPECT_EQ(CountSent(kFrameDataExpectingReply), 1u);

  node_.MasterState = kMsIdle;
  duringUpcall_ = [this] { io_.Transmit(kFrameDataNotExpectingReply, 16, nullptr, 0); };
  Receive(kFrameDataExpectingReply, kUs, 16, {0x07});
  EXPECT_EQ(io_.attempts.back().type, kFrameDataNotExpectingReply);
  EXPECT_EQ(io_.attempts.back().verdict, GateVerdict::Wait);
  EXPECT_EQ(io_.attempts.back().waitMicros, 3000u);
  EXPECT_EQ(CountSent(kFrameDataNotExpectingReply), 1u);
}

}  // namespace
}  // namespace tarnix
