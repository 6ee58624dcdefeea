// The transmit rules as pure decisions, and the receive path over a block of
// octets, without a port or a thread.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame_builder.h"
#include "link/master_node.h"
#include "link/port_threads.h"
#include "link/transmit.h"

namespace {

using tarnix::GateDecision;
using tarnix::GateVerdict;
using tarnix::GateView;
using tarnix_test::BuildFrame;
using tarnix_test::Octets;

const Octets kTokenFrom9 = {0x55, 0xFF, 0x00, 0x05, 0x09, 0x00, 0x00, 0x00};

struct GateCase {
  std::string name;
  bool tokenFresh;
  uint32_t tokenAgeMs;
  Octets pending;
  bool jam;
  bool answering;
  uint32_t replyDelayMs;
  uint32_t lineBusyMicros;
  uint32_t silenceMicros;
  GateVerdict verdict;
  uint32_t waitMicros;
  bool discardInput;
  bool tokenTaken;
};

class GateTest : public ::testing::TestWithParam<GateCase> {};

TEST_P(GateTest, DecidesAsTheBusRulesSay) {
  const GateCase& c = GetParam();
  GateView view;
  view.tokenFresh = c.tokenFresh;
  view.tokenAgeMs = c.tokenAgeMs;
  view.thisStation = 5;
  view.tokenSource = 9;
  view.pending = c.pending.data();
  view.pendingCount = c.pending.size();
  view.jamActive = c.jam;
  view.answering = c.answering;
  view.replyDelayMs = c.replyDelayMs;
  view.lineBusyMicros = c.lineBusyMicros;
  view.silenceMicros = c.silenceMicros;
  const GateDecision d = tarnix::DecideGates(view);
  EXPECT_EQ(c.verdict, d.verdict);
  EXPECT_EQ(c.waitMicros, d.waitMicros);
  EXPECT_EQ(c.discardInput, d.discardInput);
  EXPECT_EQ(c.tokenTaken, d.tokenTaken);
}

Octets Partial(long count) { return Octets(kTokenFrom9.begin(), kTokenFrom9.begin() + count); }

Octets TokenFromOther() {
  Octets token = kTokenFrom9;
  token[4] = 7;
  return token;
}

// name, fresh, age, pending, jam, answering, delay, busy, silence -> verdict, wait, discard, taken
INSTANTIATE_TEST_SUITE_P(
    Rules, GateTest,
    ::testing::Values(
        GateCase{"QuietLineSendsNow", false, 0, {}, false, false, 0, 0, 5000, GateVerdict::SendNow, 0, false, false},
        GateCase{"PendingInputRefusesAndIsDropped", false, 0, {0x42}, false, false, 0, 0, 5000, GateVerdict::Refused, 0, true, false},
        GateCase{"FreshTokenOf96msIsTaken", true, 96, {}, false, false, 0, 0, 5000, GateVerdict::SendNow, 0, false, true},
        GateCase{"FreshTokenOf97msIsTooOld", true, 97, {}, false, false, 0, 0, 5000, GateVerdict::Refused, 0, false, false},
        GateCase{"WholeRepetitionOfTheTokenLetsItThrough", true, 10, kTokenFrom9, false, false, 0, 0, 5000, GateVerdict::SendNow, 0, true, true},
        GateCase{"PartialRepetitionRefuses", true, 10, Partial(2), false, false, 0, 0, 5000, GateVerdict::Refused, 0, true, false},
        GateCase{"TokenOfAnotherSenderRefuses", true, 10, TokenFromOther(), false, false, 0, 0, 5000, GateVerdict::Refused, 0, true, false},
        GateCase{"JamRefuses", false, 0, {}, true, false, 0, 0, 5000, GateVerdict::Refused, 0, false, false},
        GateCase{"JamRefusesEvenAfterTheTokenWasTaken", true, 10, {}, true, false, 0, 0, 5000, GateVerdict::Refused, 0, false, true},
        GateCase{"AnswerAt45msGoes", false, 0, {}, false, true, 45, 0, 5000, GateVerdict::SendNow, 0, false, false},
        GateCase{"AnswerAt46msIsTooLate", false, 0, {}, false, true, 46, 0, 5000, GateVerdict::Refused, 0, false, false},
        // The silence after the last octet heard or sent: exactly what is
        // left of 3 ms, counted from the end of a frame of this station's
        // own that is still on the line.
        GateCase{"RightAfterAnOctetWaits3ms", false, 0, {}, false, false, 0, 0, 0, GateVerdict::Wait, 3000, false, false},
        GateCase{"SilenceOf2msWaitsTheRest", false, 0, {}, false, false, 0, 0, 2000, GateVerdict::Wait, 1000, false, false},
        GateCase{"SilenceJustShortOf3msWaitsTheRest", false, 0, {}, false, false, 0, 0, 2999, GateVerdict::Wait, 1, false, false},
        GateCase{"SilenceOf3msSendsNow", false, 0, {}, false, false, 0, 0, 3000, GateVerdict::SendNow, 0, false, false},
        GateCase{"FreshTokenJustHeardWaitsAndIsTaken", true, 0, {}, false, false, 0, 0, 400, GateVerdict::Wait, 2600, false, true},
        GateCase{"AnswerJustInTimeStillWaitsTheSilence", false, 0, {}, false, true, 45, 0, 1000, GateVerdict::Wait, 2000, false, false},
        GateCase{"OwnFrameStillOnTheLineWaitsForItAndTheSilence", false, 0, {}, false, false, 0, 1200, 0, GateVerdict::Wait, 4200, false, false},
        GateCase{"OwnFrameBeatsAnOlderSilence", false, 0, {}, false, false, 0, 1200, 2500, GateVerdict::Wait, 4200, false, false},
        GateCase{"RefusalBeatsTheWait", false, 0, {0x42}, false, false, 0, 1200, 0, GateVerdict::Refused, 0, true, false},
        GateCase{"TooLateAnswerIsRefusedNotDelayed", false, 0, {}, false, true, 46, 0, 0, GateVerdict::Refused, 0, false, false}),
    [](const ::testing::TestParamInfo<GateCase>& param) { return param.param.name; });

TEST(Framing, WorkedFramesRawModeAndTheCorruptChecksum) {
  const Octets abc = {0x61, 0x62, 0x63};
  EXPECT_EQ((Octets{0x55, 0xFF, 0x00, 0x06, 0x05, 0x00, 0x00, 0x37}), BuildFrame(0, 6, 5, {}));
  EXPECT_EQ((Octets{0x55, 0xFF, 0x01, 0x06, 0x05, 0x00, 0x00, 0xB1}), BuildFrame(1, 6, 5, {}));
  EXPECT_EQ((Octets{0x55, 0xFF, 0x05, 0x06, 0x05, 0x00, 0x03, 0xAE, 0x61, 0x62, 0x63, 0x25, 0x9E}),
            BuildFrame(5, 6, 5, abc));
  uint8_t out[16];
  ASSERT_EQ(3u, tarnix::BuildFrame(5, 6, 5, abc.data(), 3, false, false, out));
  EXPECT_EQ(abc, Octets(out, out + 3));
  EXPECT_EQ(0u, tarnix::BuildFrame(0, 6, 5, nullptr, 0, false, false, out));
  ASSERT_EQ(13u, tarnix::BuildFrame(5, 6, 5, abc.data(), 3, true, true, out));
  EXPECT_EQ(0xFF, out[11]);
  EXPECT_EQ(0xFF, out[12]);
}

// The receive path over one block: the master machine runs when a frame is
// done, and the receiver is told how many octets finish the frame under way.
class ReceiveBlockTest : public ::testing::Test, public tarnix::ReceiverHost {
 protected:
  void SetUp() override {
    tarnix::SetLinkClock(&Frozen);
    node.ThisStation = 5;
    node.SilenceTimer = 0;
  }
  void TearDown() override { tarnix::SetLinkClock(nullptr); }

  void RunMaster() override {
    ++runs;
    ranAfter.push_back(channel.BlockNext);
  }
  const char* PortName() override { return "Com3"; }

  void Hand(const Octets& octets) {
    std::memcpy(channel.Block, octets.data(), octets.size());
    channel.BlockLength = static_cast<uint16_t>(octets.size());
    channel.BlockNext = 0;
    tarnix::ReceiveBlock(node, channel, *this, &skip);
  }

  static int64_t Frozen() { return 1'000'000'000; }

  tarnix::NodeState node;
  tarnix::SerialChannel channel;
  uint16_t skip = 0;
  int runs = 0;
  std::vector<uint16_t> ranAfter;
};

TEST_F(ReceiveBlockTest, TwoFramesInOneBlockRunTheMachineAfterEachInTurn) {
  Octets block = BuildFrame(0, 5, 9, {});
  const Octets second = BuildFrame(6, 5, 9, {0x01, 0x02});
  block.insert(block.end(), second.begin(), second.end());
  Hand(block);
  EXPECT_EQ(2, runs);
  EXPECT_EQ((std::vector<uint16_t>{8, static_cast<uint16_t>(block.size())}), ranAfter);
  EXPECT_EQ(0, tarnix::OctetsToFrameEnd(node, skip));
}

TEST_F(ReceiveBlockTest, SaysHowManyOctetsFinishTheFrameUnderWay) {
  const Octets frame = BuildFrame(6, 5, 9, {0x01, 0x02, 0x03});
  Hand({frame[0]});
  EXPECT_EQ(7, tarnix::OctetsToFrameEnd(node, skip));
  Hand({frame[1], frame[2], frame[3]});
  EXPECT_EQ(4, tarnix::OctetsToFrameEnd(node, skip));
  Hand(Octets(frame.begin() + 4, frame.begin() + 8));
  EXPECT_EQ(5, tarnix::OctetsToFrameEnd(node, skip));  // three data octets, two checksum octets
  Hand(Octets(frame.begin() + 8, frame.end()));
  EXPECT_EQ(1, runs);
  EXPECT_EQ(0, tarnix::OctetsToFrameEnd(node, skip));
}

TEST_F(ReceiveBlockTest, DataOfAFrameForAnotherStationIsWaitedForAsOneBlock) {
  const Octets frame = BuildFrame(6, 7, 9, {0x01, 0x02, 0x03, 0x04});
  Hand(Octets(frame.begin(), frame.begin() + 8));
  EXPECT_EQ(0, runs);
  EXPECT_EQ(6, tarnix::OctetsToFrameEnd(node, skip));
  Hand(Octets(frame.begin() + 8, frame.begin() + 10));
  EXPECT_EQ(4, tarnix::OctetsToFrameEnd(node, skip));
  Hand(Octets(frame.begin() + 10, frame.end()));
  EXPECT_EQ(0, tarnix::OctetsToFrameEnd(node, skip));
}

// A gate that discards the pending input during a frame's master run takes
// the rest of the block with it: those octets never reach the receive step.
class DiscardingHost : public ReceiveBlockTest {
 protected:
  void RunMaster() override {
    ReceiveBlockTest::RunMaster();
    channel.BlockNext = channel.BlockLength;
  }
};

TEST_F(DiscardingHost, OctetsDiscardedByTheGatesAreNotReceived) {
  Octets block = BuildFrame(0, 5, 9, {});
  const Octets second = BuildFrame(0, 5, 9, {});
  block.insert(block.end(), second.begin(), second.end());
  Hand(block);
  EXPECT_EQ(1, runs);
}

TEST(MasterDue, IsTheTimeUntilTheStatesNextTimeout) {
  tarnix::SetLinkClock([] { return int64_t{2'000'000'000}; });
  tarnix::NodeState node;
  node.ThisStation = 2;
  node.SilenceTimer = 100;
  node.MasterState = tarnix::kMsIdle;
  EXPECT_EQ(400u, tarnix::MasterDueInMs(node));
  node.MasterState = tarnix::kMsNoToken;
  EXPECT_EQ(426u, tarnix::MasterDueInMs(node));  // slot of station 2 starts at 526 ms
  node.MasterState = tarnix::kMsWaitForReply;
  node.ReplyTimeout = 250;
  EXPECT_EQ(150u, tarnix::MasterDueInMs(node));
  node.MasterState = tarnix::kMsPassToken;
  node.SilenceTimer = 10;
  EXPECT_EQ(39u, tarnix::MasterDueInMs(node));  // the token goes again above 48 ms
  node.MasterState = tarnix::kMsUseToken;
  EXPECT_EQ(0u, tarnix::MasterDueInMs(node));
  tarnix::SetLinkClock(nullptr);
}

// A wait that ends before the time-out only costs another hand-over between
// the port's threads: the due time is rounded up, and the silence after a
// frame counts from when it has left the line.
TEST(MasterDue, NeverEndsAWaitBeforeTheTimeout) {
  static int64_t now = 3'000'000'000;
  tarnix::SetLinkClock([] { return now; });
  tarnix::NodeState node;
  node.MasterState = tarnix::kMsPollForMaster;
  const struct {
    int64_t silenceStartFromNow;
    uint32_t due;
  } cases[] = {
      {-47'500, 1},  // 47.5 ms of silence: half a millisecond to go
      {-47'000, 1},
      {-48'000, 0},
      {2'080, 51},  // a token frame still on the line for 2.08 ms
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.silenceStartFromNow);
    node.SilenceTimer.StartAt(now + c.silenceStartFromNow);
    EXPECT_EQ(c.due, tarnix::MasterDueInMs(node));
  }
  node.MasterState = tarnix::kMsPassToken;
  node.SilenceTimer.StartAt(now + 2'080);
  EXPECT_EQ(52u, tarnix::MasterDueInMs(node));  // above 48 ms: 49 ms after the frame's end
  tarnix::SetLinkClock(nullptr);
}

}  // namespace
