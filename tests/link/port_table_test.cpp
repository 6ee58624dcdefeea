#include "link/ports.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tarnix::RegisterPortName;

// Every test leaves the tables as it found them: empty.
class PortTableTest : public ::testing::Test {
 protected:
  void TearDown() override {
    tarnix::ClearPortNames();
    EXPECT_EQ(0, tarnix::LinkPortCount());
  }

  uint8_t Register(const char* name) {
    bool added = false;
    return RegisterPortName(name, &added);
  }
};

TEST_F(PortTableTest, IdsAreGivenOutFrom255DownAndReused) {
  EXPECT_EQ(255, Register("Com3"));
  EXPECT_EQ(254, Register("Com4"));
  tarnix::UnregisterPortName(255);
  EXPECT_EQ(255, Register("Com5"));
  EXPECT_EQ(254, tarnix::PortIdOf("Com4"));
}

TEST_F(PortTableTest, KnownNameKeepsItsIdAndIsNotAddedAgain) {
  EXPECT_EQ(255, Register("Com3"));
  bool added = true;
  EXPECT_EQ(255, RegisterPortName("Com3", &added));
  EXPECT_FALSE(added);
  EXPECT_EQ(254, Register("Com4"));
}

TEST_F(PortTableTest, NamesMatchExactlyAndCaseSensitively) {
  Register("Com3");
  EXPECT_EQ(0, tarnix::PortIdOf("COM3"));
  EXPECT_EQ(0, tarnix::PortIdOf("Com"));
  EXPECT_EQ(0, tarnix::PortIdOf("Com33"));
  EXPECT_EQ(0, tarnix::PortIdOf(""));
  EXPECT_EQ(0, tarnix::PortIdOf(nullptr));
  EXPECT_STREQ("Com3", tarnix::PortNameOf(255));
}

TEST_F(PortTableTest, AcceptsA32CharacterNameAndRefusesA33CharacterOne) {
  const std::string longest(32, 'x');
  const std::string tooLong(33, 'y');
  EXPECT_EQ(255, Register(longest.c_str()));
  EXPECT_STREQ(longest.c_str(), tarnix::PortNameOf(255));
  EXPECT_EQ(0, Register(tooLong.c_str()));
  EXPECT_EQ(0, Register(""));
  EXPECT_EQ(0, Register(nullptr));
}

TEST_F(PortTableTest, NinthNameIsRefused) {
  for (int i = 0; i < tarnix::kPortSlots; ++i) {
    const std::string name = "Com" + std::to_string(i + 1);
    EXPECT_EQ(255 - i, Register(name.c_str()));
  }
  EXPECT_EQ(0, Register("Com9"));
}

TEST_F(PortTableTest, IdZeroNamesNothing) {
  EXPECT_EQ(nullptr, tarnix::FindLinkPort(0));
  EXPECT_EQ(nullptr, tarnix::FindNodeState(0));
  EXPECT_EQ(nullptr, tarnix::FindSerialChannel(0));
  EXPECT_EQ(nullptr, tarnix::PortNameOf(0));
}

TEST_F(PortTableTest, AllocationSetsTheFreshPortFieldsAndCounts) {
  tarnix::LinkPort* port = tarnix::AllocateLinkPort(200);
  tarnix::NodeState* node = tarnix::AllocateNodeState(200);
  ASSERT_NE(nullptr, port);
  ASSERT_NE(nullptr, node);
  EXPECT_EQ(port, tarnix::FindLinkPort(200));
  EXPECT_EQ(node, tarnix::FindNodeState(200));
  EXPECT_EQ(255, port->TokenDropAddress.load());
  EXPECT_EQ(0u, port->MasterServicesDisabled.load());
  EXPECT_EQ(125, node->ReplyTimeout.load());
  EXPECT_EQ(125, node->FrameAbortTimeout.load());
  EXPECT_EQ(tarnix::kMsIdle, node->MasterState);
  EXPECT_EQ(tarnix::kRxIdle, node->ReceiveState);
  EXPECT_EQ(1, node->NoReplyPending);
  EXPECT_EQ(1, tarnix::LinkPortCount());
  EXPECT_EQ(1, tarnix::NodeStateCount());

  // A later port takes the same, not yet running, slot again; release keeps
  // the fields, allocation sets what a fresh port needs.
  port->TokenDropAddress = 7;
  node->ImmediateUpcall = 1;
  node->ResendPending = 1;
  tarnix::ReleaseLinkPort(*port);
  tarnix::ReleaseNodeState(*node);
  EXPECT_EQ(0, tarnix::LinkPortCount());
  EXPECT_EQ(0, tarnix::NodeStateCount());
  EXPECT_EQ(nullptr, tarnix::FindLinkPort(200));
  EXPECT_EQ(7, port->TokenDropAddress.load());  // release leaves the fields
  EXPECT_EQ(port, tarnix::AllocateLinkPort(201));
  EXPECT_EQ(node, tarnix::AllocateNodeState(201));
  EXPECT_EQ(255, port->TokenDropAddress.load());
  EXPECT_EQ(0, node->ImmediateUpcall.load());  // not inherited from the earlier use
  EXPECT_EQ(0u, node->ResendPending);
  tarnix::ReleaseLinkPort(*port);
  tarnix::ReleaseNodeState(*node);
}

TEST_F(PortTableTest, AllocationSkipsSlotsInUseAndFailsWhenAllAre) {
  tarnix::SerialChannel* channels[tarnix::kPortSlots] = {};
  for (int i = 0; i < tarnix::kPortSlots; ++i) {
    channels[i] = tarnix::AllocateSerialChannel(static_cast<uint8_t>(100 + i));
    ASSERT_NE(nullptr, channels[i]);
    channels[i]->Active = 1;
  }
  EXPECT_EQ(nullptr, tarnix::AllocateSerialChannel(99));
  EXPECT_EQ(tarnix::kPortSlots, tarnix::SerialChannelCount());
  tarnix::ReleaseSerialChannel(*channels[3]);
  EXPECT_EQ(channels[3], tarnix::AllocateSerialChannel(99));
  EXPECT_EQ(channels[3], tarnix::FindSerialChannel(99));
  for (tarnix::SerialChannel* channel : channels) {
    tarnix::ReleaseSerialChannel(*channel);
  }
  EXPECT_EQ(0, tarnix::SerialChannelCount());
}

}  // namespace
