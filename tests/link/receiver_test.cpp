#include "link/receiver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "frame_builder.h"
#include "link/records.h"

namespace {

using tarnix_test::BuildFrame;
using tarnix_test::Filled;
using tarnix_test::Octets;

struct UpcallRecord {
  Octets data;
  uint32_t source;
  uint32_t length;
  UpcallStatus status;
  uint8_t stateAtCall;
};

std::vector<UpcallRecord> gUpcalls;
const tarnix::NodeState* gUpcallNode = nullptr;

int32_t RecordUpcall(const char* /*portName*/, const uint8_t* data, uint32_t source, uint32_t length,
                     UpcallStatus status) {
  gUpcalls.push_back({Octets(data, data + length), source, length, status, gUpcallNode->ReceiveState});
  return 0;
}

// Stands in for the master machine: counts its runs and notes what it saw.
class RecordingHost : public tarnix::ReceiverHost {
 public:
  explicit RecordingHost(const tarnix::NodeState& node) : node_(node) {}
  void RunMaster() override {
    ++runs;
    validAtRun = node_.ReceivedValidFrame;
    invalidAtRun = node_.ReceivedInvalidFrame;
  }
  const char* PortName() override { return "Com3"; }

  int runs = 0;
  uint8_t validAtRun = 0;
  uint8_t invalidAtRun = 0;

 private:
  const tarnix::NodeState& node_;
};

// The link's clock stands still here: the tests set the silence themselves.
int64_t FrozenMicros() { return 1'000'000'000; }

class ReceiveStepTest : public ::testing::Test {
 protected:
  void TearDown() override { tarnix::SetLinkClock(nullptr); }
  void SetUp() override {
    tarnix::SetLinkClock(&FrozenMicros);
    node.SilenceTimer = 0;
    node.ThisStation = 6;
    gUpcalls.clear();
    gUpcallNode = &node;
  }

  void Feed(const Octets& octets) {
    for (const uint8_t octet : octets) {
      channel.RxByte = octet;
      channel.RxAvailable = 1;
      tarnix::ReceiveStep(node, channel, host);
    }
  }

  void FeedErrorOctet() {
    channel.RxByte = 0x55;
    channel.RxAvailable = 1;
    channel.RxError = 1;
    tarnix::ReceiveStep(node, channel, host);
  }

  tarnix::NodeState node;
  tarnix::SerialChannel channel;
  RecordingHost host{node};
};

TEST_F(ReceiveStepTest, TokenToThisStationIsValidAndRunsTheMasterAtOnce) {
  Feed({0x55, 0xFF, 0x00, 0x06, 0x05, 0x00, 0x00, 0x37});
  EXPECT_EQ(1, node.ReceivedValidFrame);
  EXPECT_EQ(0, node.ReceivedInvalidFrame);
  EXPECT_EQ(0, node.FrameType);
  EXPECT_EQ(5, node.SourceAddress);
  EXPECT_EQ(6, node.DestinationAddress);
  EXPECT_EQ(1, host.runs);
  EXPECT_EQ(1, host.validAtRun);
  EXPECT_EQ(tarnix::kRxIdle, node.ReceiveState);
}

TEST_F(ReceiveStepTest, RepeatedFirstPreambleOctetsStayInPreamble) {
  Feed({0x55, 0x55, 0x55});
  EXPECT_EQ(tarnix::kRxPreamble, node.ReceiveState);
  Feed({0xFF, 0x00, 0x06, 0x05, 0x00, 0x00, 0x37});
  EXPECT_EQ(1, node.ReceivedValidFrame);
  EXPECT_EQ(1, host.runs);
}

TEST_F(ReceiveStepTest, BroadcastWithoutDataIsValid) {
  Feed(BuildFrame(1, 255, 9, {}));
  EXPECT_EQ(1, node.ReceivedValidFrame);
  EXPECT_EQ(1, host.runs);
}

TEST_F(ReceiveStepTest, FrameForAnotherStationSetsNothingAndDoesNotRunTheMaster) {
  node.ThisStation = 7;
  Feed({0x55, 0xFF, 0x00, 0x06, 0x05, 0x00, 0x00, 0x37});
  EXPECT_EQ(0, node.ReceivedValidFrame);
  EXPECT_EQ(0, node.ReceivedInvalidFrame);
  EXPECT_EQ(0, host.runs);
  EXPECT_EQ(tarnix::kRxIdle, node.ReceiveState);
}

TEST_F(ReceiveStepTest, BadHeaderChecksumIsInvalidWithoutRunningTheMaster) {
  Feed({0x55, 0xFF, 0x00, 0x06, 0x05, 0x00, 0x00, 0x38});
  EXPECT_EQ(0, node.ReceivedValidFrame);
  EXPECT_EQ(1, node.ReceivedInvalidFrame);
  EXPECT_EQ(0, host.runs);
  EXPECT_EQ(tarnix::kRxIdle, node.ReceiveState);
}

TEST_F(ReceiveStepTest, DataFrameLandsInInputBuffer) {
  Feed({0x55, 0xFF, 0x05, 0x06, 0x05, 0x00, 0x03, 0xAE, 0x61, 0x62, 0x63, 0x25, 0x9E});
  EXPECT_EQ(1, node.ReceivedValidFrame);
  EXPECT_EQ(0, node.ReceivedInvalidFrame);
  EXPECT_EQ(5, node.FrameType);
  EXPECT_EQ(3, node.DataLength);
  EXPECT_EQ(0x61, node.InputBuffer[0]);
  EXPECT_EQ(0x62, node.InputBuffer[1]);
  EXPECT_EQ(0x63, node.InputBuffer[2]);
  EXPECT_EQ(1, host.runs);
}

TEST_F(ReceiveStepTest, BadDataChecksumIsInvalidClearsValidAndRunsTheMaster) {
  node.ReceivedValidFrame = 1;
  Feed({0x55, 0xFF, 0x05, 0x06, 0x05, 0x00, 0x03, 0xAE, 0x61, 0x62, 0x63, 0x25, 0x9F});
  EXPECT_EQ(0, node.ReceivedValidFrame);
  EXPECT_EQ(1, node.ReceivedInvalidFrame);
  EXPECT_EQ(1, host.runs);
  EXPECT_EQ(1, host.invalidAtRun);
  EXPECT_EQ(tarnix::kRxIdle, node.ReceiveState);
}

TEST_F(ReceiveStepTest, AcceptsTheLargestFrameOf501Octets) {
  const Octets data = Filled(501, 0x10);
  Feed(BuildFrame(6, 6, 5, data));
  EXPECT_EQ(1, node.ReceivedValidFrame);
  EXPECT_EQ(501, node.DataLength);
  EXPECT_EQ(data.front(), node.InputBuffer[0]);
  EXPECT_EQ(data.back(), node.InputBuffer[500]);
}

TEST_F(ReceiveStepTest, RefusesAHeaderAnnouncing502OctetsWithoutStoringAny) {
  node.InputBuffer[0] = 0xEE;
  Feed(BuildFrame(6, 6, 5, Filled(502, 0x10)));
  EXPECT_EQ(0, node.ReceivedValidFrame);
  EXPECT_EQ(1, node.ReceivedInvalidFrame);
  EXPECT_EQ(0xEE, node.InputBuffer[0]);
  EXPECT_EQ(0, host.runs);
}

TEST_F(ReceiveStepTest, GapLongerThanFrameAbortDropsPartialHeaderSilently) {
  Feed({0x55, 0xFF, 0x00, 0x06});
  node.SilenceTimer = 126;
  Feed({0x05});
  EXPECT_EQ(tarnix::kRxIdle, node.ReceiveState);
  EXPECT_EQ(0, node.ReceivedInvalidFrame);
  Feed({0x55, 0xFF, 0x00, 0x06, 0x05, 0x00, 0x00, 0x37});
  EXPECT_EQ(1, node.ReceivedValidFrame);
}

TEST_F(ReceiveStepTest, GapOfExactlyFrameAbortKeepsTheFrame) {
  Feed({0x55, 0xFF, 0x00, 0x06});
  node.SilenceTimer = 125;
  Feed({0x05, 0x00, 0x00, 0x37});
  EXPECT_EQ(1, node.ReceivedValidFrame);
}

TEST_F(ReceiveStepTest, GapFollowsTheLongerFrameAbortAfterAnExpectingReplySend) {
  node.FrameAbortTimeout = 250;
  Feed({0x55, 0xFF, 0x00, 0x06});
  node.SilenceTimer = 200;
  Feed({0x05, 0x00, 0x00, 0x37});
  EXPECT_EQ(1, node.ReceivedValidFrame);
}

TEST_F(ReceiveStepTest, ErrorOctetInHeaderMakesTheFrameInvalid) {
  Feed({0x55, 0xFF, 0x00});
  FeedErrorOctet();
  EXPECT_EQ(1, node.ReceivedInvalidFrame);
  EXPECT_EQ(0, channel.RxError);
  EXPECT_EQ(tarnix::kRxIdle, node.ReceiveState);
}

TEST_F(ReceiveStepTest, ErrorOctetInDataMakesTheFrameInvalid) {
  Feed({0x55, 0xFF, 0x05, 0x06, 0x05, 0x00, 0x03, 0xAE, 0x61});
  FeedErrorOctet();
  EXPECT_EQ(1, node.ReceivedInvalidFrame);
  EXPECT_EQ(0, node.ReceivedValidFrame);
  EXPECT_EQ(tarnix::kRxIdle, node.ReceiveState);
}

TEST_F(ReceiveStepTest, ErrorOctetInIdleIsCountedButNotTakenAsPreamble) {
  node.EventCount = 0;
  FeedErrorOctet();
  EXPECT_EQ(tarnix::kRxIdle, node.ReceiveState);
  EXPECT_EQ(1, node.EventCount);
  EXPECT_EQ(1, channel.RxAvailable);
  EXPECT_EQ(0, channel.RxError);
}

TEST_F(ReceiveStepTest, DataOctetsDoNotCountAsLineEvents) {
  node.EventCount = 0;
  Feed(BuildFrame(6, 6, 5, Filled(10, 0)));
  EXPECT_EQ(8, node.EventCount);
}

TEST_F(ReceiveStepTest, WatchForActivityRunsTheMasterAtTheSourceOctet) {
  node.ThisStation = 7;
  node.EventCount = 0;
  node.WatchForActivity = 1;
  Feed({0x55, 0xFF, 0x00, 0x06});
  EXPECT_EQ(0, host.runs);
  Feed({0x05});
  EXPECT_EQ(1, host.runs);
  EXPECT_EQ(0, node.WatchForActivity);
  Feed({0x00, 0x00, 0x37});
  EXPECT_EQ(1, host.runs);
}

TEST_F(ReceiveStepTest, ImmediateUpcallHandsEveryOctetOverBeforeItIsProcessed) {
  node.ImmediateUpcall = 1;
  node.Upcall = RecordUpcall;
  node.ResendPending = 1;
  node.ResendCount = 2;
  const Octets frame = {0x55, 0xFF, 0x00, 0x06, 0x05, 0x00, 0x00, 0x37};
  Feed(frame);
  ASSERT_EQ(frame.size(), gUpcalls.size());
  for (size_t i = 0; i < frame.size(); ++i) {
    EXPECT_EQ(Octets{frame[i]}, gUpcalls[i].data);
    EXPECT_EQ(1u, gUpcalls[i].length);
    EXPECT_EQ(Delivered, gUpcalls[i].status);
  }
  // The first octet is upcalled while the receiver is still idle, the last one
  // before the header is complete; the source is that of the header so far.
  EXPECT_EQ(tarnix::kRxIdle, gUpcalls.front().stateAtCall);
  EXPECT_EQ(tarnix::kRxHeader, gUpcalls.back().stateAtCall);
  EXPECT_EQ(5u, gUpcalls.back().source);
  EXPECT_EQ(0u, node.ResendPending);
  EXPECT_EQ(0, node.ResendCount);
  EXPECT_EQ(1, node.ReceivedValidFrame);
}

TEST_F(ReceiveStepTest, ImmediateModeWithoutUpcallDelegateStillReceives) {
  node.ImmediateUpcall = 1;
  Feed({0x55, 0xFF, 0x00, 0x06, 0x05, 0x00, 0x00, 0x37});
  EXPECT_EQ(1, node.ReceivedValidFrame);
}

}  // namespace
