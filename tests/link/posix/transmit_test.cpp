// The transmit procedure on a real port (a pty), without the link's threads:
// the test sets the timers and flags that the gates look at.
#include "link/port_threads.h"

#include <gtest/gtest.h>

#include <chrono>

#include "../frame_builder.h"
#include "link/ports.h"
#include "link/serial_port.h"
#include "pty_peer.h"

namespace {

using tarnix_test::BuildFrame;
using tarnix_test::Octets;

const Octets kAbc = {0x61, 0x62, 0x63};
const Octets kAbcFrame = {0x55, 0xFF, 0x05, 0x06, 0x05, 0x00, 0x03, 0xAE, 0x61, 0x62, 0x63, 0x25, 0x9E};
const Octets kTokenFrame = {0x55, 0xFF, 0x00, 0x06, 0x05, 0x00, 0x00, 0x37};

class TransmitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bool added = false;
    id = tarnix::RegisterPortName("Com3", &added);
    ASSERT_NE(0, id);
    port = tarnix::AllocateLinkPort(id);
    node = tarnix::AllocateNodeState(id);
    channel = tarnix::AllocateSerialChannel(id);
    ASSERT_EQ(0, tarnix::OpenPort("Com3", id, 38400));
    node->ThisStation = 5;
    node->SilenceTimer = 100;
  }

  void TearDown() override {
    EXPECT_TRUE(tarnix::ClosePort(id));
    tarnix::ReleaseSerialChannel(*channel);
    tarnix::ReleaseNodeState(*node);
    tarnix::ReleaseLinkPort(*port);
    tarnix::UnregisterPortName(id);
  }

  uint8_t Send(uint8_t type, uint8_t destination, const Octets& data) {
    return tarnix::TransmitFrame(id, type, destination, data.empty() ? nullptr : data.data(),
                                 static_cast<uint16_t>(data.size()));
  }

  bool InputIsEmpty() {
    uint8_t octet = 0;
    return !tarnix::ReadOctetNow(id, &octet);
  }

  // A token from station 9 has just arrived.
  void TokenJustReceived(uint32_t age) {
    node->TokenFresh = 1;
    node->TokenAgeTimer = age;
    node->SourceAddress = 9;
  }

  tarnix_test::PortDirectory dir;
  tarnix_test::PtyPeer peer{dir, "com3"};
  uint8_t id = 0;
  tarnix::LinkPort* port = nullptr;
  tarnix::NodeState* node = nullptr;
  tarnix::SerialChannel* channel = nullptr;
};

TEST_F(TransmitTest, WorkedFramesGoOutOctetForOctet) {
  EXPECT_EQ(0, Send(tarnix::kFrameToken, 6, {}));
  EXPECT_EQ(kTokenFrame, peer.Drain());
  EXPECT_EQ(0, Send(tarnix::kFrameDataExpectingReply, 6, kAbc));
  // The silence starts again with the frame written.
  EXPECT_LT(node->SilenceTimer.load(), 20u);
  EXPECT_EQ(kAbcFrame, peer.Drain());
}

TEST_F(TransmitTest, ExpectingReplyFrameIsKeptForResendAndResendsFromItsOwnCopy) {
  EXPECT_EQ(0, Send(tarnix::kFrameDataExpectingReply, 6, kAbc));
  EXPECT_EQ(kAbcFrame, peer.Drain());
  const tarnix::SavedRequest& saved = node->RequestBuffer;
  EXPECT_EQ(3, saved.Length);
  EXPECT_EQ(6, saved.Destination);
  EXPECT_EQ(tarnix::kFrameDataExpectingReply, saved.FrameType);
  EXPECT_EQ(Octets(saved.Data, saved.Data + 3), kAbc);
  // The master machine resends by passing the saved frame itself.
  EXPECT_EQ(0, tarnix::TransmitFrame(id, saved.FrameType, saved.Destination, saved.Data, saved.Length));
  EXPECT_EQ(kAbcFrame, peer.Drain());
}

TEST_F(TransmitTest, NoReplyPendingFollowsTheDataFrameType) {
  EXPECT_EQ(0, Send(tarnix::kFrameDataExpectingReply, 6, kAbc));
  EXPECT_EQ(0, node->NoReplyPending);
  EXPECT_EQ(0, Send(tarnix::kFrameToken, 6, {}));
  EXPECT_EQ(0, node->NoReplyPending);
  EXPECT_EQ(0, Send(tarnix::kFrameDataNotExpectingReply, 6, kAbc));
  EXPECT_EQ(1, node->NoReplyPending);
}

TEST_F(TransmitTest, RefusesFirstFrameWhenTokenOlderThan96ms) {
  TokenJustReceived(98);
  peer.Send({0x01, 0x02});
  EXPECT_EQ(1, Send(tarnix::kFrameDataExpectingReply, 6, kAbc));
  EXPECT_TRUE(peer.Drain().empty());
  EXPECT_TRUE(InputIsEmpty());
  // Refused, but kept for a resend, and the machine is not told to wait.
  EXPECT_EQ(3, node->RequestBuffer.Length);
  EXPECT_EQ(1, node->NoReplyPending);
  EXPECT_EQ(1, node->TokenFresh);
}

TEST_F(TransmitTest, SendsFirstFrameWhenTokenIs96msOld) {
  TokenJustReceived(96);
  EXPECT_EQ(0, Send(tarnix::kFrameDataExpectingReply, 6, kAbc));
  EXPECT_LT(node->TokenAgeTimer.load(), 20u);
  EXPECT_EQ(kAbcFrame, peer.Drain());
  EXPECT_EQ(0, node->TokenFresh);
}

TEST_F(TransmitTest, CompleteRepetitionOfTheTokenLetsTheFirstFrameThrough) {
  TokenJustReceived(10);
  peer.Send({0x55, 0xFF, 0x00, 0x05, 0x09, 0x00, 0x00, 0xAB, 0x42});
  EXPECT_EQ(0, Send(tarnix::kFrameDataExpectingReply, 6, kAbc));
  EXPECT_EQ(kAbcFrame, peer.Drain());
  EXPECT_TRUE(InputIsEmpty());
}

TEST_F(TransmitTest, PartialRepetitionOfTheTokenRefusesTheFirstFrame) {
  TokenJustReceived(10);
  peer.Send({0x55, 0xFF});
  EXPECT_EQ(1, Send(tarnix::kFrameDataExpectingReply, 6, kAbc));
  EXPECT_TRUE(peer.Drain().empty());
  EXPECT_TRUE(InputIsEmpty());
}

TEST_F(TransmitTest, TokenFromAnotherSourceInTheInputRefusesTheFirstFrame) {
  TokenJustReceived(10);
  peer.Send({0x55, 0xFF, 0x00, 0x05, 0x08, 0x00, 0x00, 0x37, 0x11});
  EXPECT_EQ(1, Send(tarnix::kFrameDataExpectingReply, 6, kAbc));
  EXPECT_TRUE(peer.Drain().empty());
  EXPECT_TRUE(InputIsEmpty());
}

TEST_F(TransmitTest, PendingInputRefusesALaterFrameAndIsDiscarded) {
  peer.Send({0x42, 0x43});
  EXPECT_EQ(1, Send(tarnix::kFrameDataNotExpectingReply, 6, kAbc));
  EXPECT_TRUE(peer.Drain().empty());
  EXPECT_TRUE(InputIsEmpty());
  EXPECT_EQ(0, Send(tarnix::kFrameDataNotExpectingReply, 6, kAbc));
  EXPECT_FALSE(peer.Drain().empty());
}

TEST_F(TransmitTest, ActiveJamRefusesFrames) {
  port->JamActive = 1;
  EXPECT_EQ(1, Send(tarnix::kFrameToken, 6, {}));
  port->JamActive = 0;
  EXPECT_TRUE(peer.Drain().empty());
}

TEST_F(TransmitTest, AnswerIsRefusedAfter45msAndSentBefore) {
  node->Answering = 1;
  node->ReplyDelayTimer = 46;
  EXPECT_EQ(1, Send(tarnix::kFrameDataNotExpectingReply, 6, kAbc));
  EXPECT_TRUE(peer.Drain().empty());
  node->ReplyDelayTimer = 44;
  EXPECT_EQ(0, Send(tarnix::kFrameDataNotExpectingReply, 6, kAbc));
  EXPECT_EQ(BuildFrame(6, 6, 5, kAbc), peer.Drain());
}

// A frame is written whole and the next one waits until it has left the
// line; nothing of the first is purged, even when the far end has not read it.
TEST_F(TransmitTest, NextFrameWaitsForTheLongOneBeforeItAndCutsNothingOff) {
  const Octets longData(501, 0x5A);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, Send(tarnix::kFrameDataNotExpectingReply, 6, longData));
  EXPECT_EQ(0, Send(tarnix::kFrameToken, 6, {}));
  // 511 octets of ten bits at 38400 baud.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(511 * 260));
  Octets expected = BuildFrame(6, 6, 5, longData);
  expected.insert(expected.end(), kTokenFrame.begin(), kTokenFrame.end());
  EXPECT_EQ(expected, peer.Drain());
}

TEST_F(TransmitTest, PassiveModeSkipsEveryGate) {
  port->MasterServicesDisabled = 1;
  TokenJustReceived(500);
  node->Answering = 1;
  node->ReplyDelayTimer = 100;
  peer.Send({0x42});
  EXPECT_EQ(0, Send(tarnix::kFrameDataExpectingReply, 6, kAbc));
  EXPECT_EQ(kAbcFrame, peer.Drain());
  EXPECT_EQ(1, node->TokenFresh);
}

TEST_F(TransmitTest, RawModeWritesOnlyTheDataOctets) {
  port->FramingDisabled = 1;
  EXPECT_EQ(0, Send(tarnix::kFrameDataExpectingReply, 6, kAbc));
  EXPECT_EQ(kAbc, peer.Drain());
  EXPECT_EQ(0, Send(tarnix::kFrameToken, 6, {}));
  EXPECT_TRUE(peer.Drain().empty());
}

TEST_F(TransmitTest, CorruptsOnlyTheNextDataChecksum) {
  port->CorruptNextDataCrc = 1;
  EXPECT_EQ(0, Send(tarnix::kFrameToken, 6, {}));
  EXPECT_EQ(kTokenFrame, peer.Drain());
  EXPECT_EQ(1, port->CorruptNextDataCrc.load());
  EXPECT_EQ(0, Send(tarnix::kFrameDataExpectingReply, 6, kAbc));
  Octets corrupted = kAbcFrame;
  corrupted[11] = 0xFF;
  corrupted[12] = 0xFF;
  EXPECT_EQ(corrupted, peer.Drain());
  EXPECT_EQ(0, Send(tarnix::kFrameDataExpectingReply, 6, kAbc));
  EXPECT_EQ(kAbcFrame, peer.Drain());
}

// The far end stopped reading: the output fills up and a write gives up after
// its time-out, failing the frame, instead of holding the thread for ever.
// That is no lost port: the device is still there.
TEST_F(TransmitTest, WriteToAPortNobodyReadsFailsWithinTheWriteTimeout) {
  port->MasterServicesDisabled = 1;
  const Octets data(501, 0x33);
  const auto bound = std::chrono::milliseconds(tarnix::kWriteMsPerOctet * 511 + tarnix::kWriteConstantMs + 500);
  bool failed = false;
  for (int i = 0; i < 2000 && !failed; ++i) {
    const auto start = std::chrono::steady_clock::now();
    failed = Send(tarnix::kFrameDataNotExpectingReply, 6, data) != 0;
    ASSERT_LT(std::chrono::steady_clock::now() - start, bound);
  }
  EXPECT_TRUE(failed);
  EXPECT_EQ(0, channel->Lost.load());
}

TEST_F(TransmitTest, FrameForAnUnknownPortIsNotSent) {
  EXPECT_EQ(1, tarnix::TransmitFrame(77, tarnix::kFrameToken, 6, nullptr, 0));
  EXPECT_EQ(1, tarnix::TransmitFrame(id, tarnix::kFrameDataExpectingReply, 6, nullptr, 3));
  EXPECT_TRUE(peer.Drain().empty());
}

}  // namespace
