// The token-passing behaviour of emulated controllers on a small bus.
#include <gtest/gtest.h>

#include <memory>

#include "sim/controller.h"
#include "tests/sim/controller_test_harness.h"

namespace {

using sim::Micros;
using simtest::Heard;
using simtest::TestBus;
using simtest::TestFrame;

constexpr Micros kOctet = 260;

sim::ControllerConfig Station(uint8_t address, uint8_t maxMaster = 20) {
  sim::ControllerConfig c;
  c.address = address;
  c.maxMaster = maxMaster;
  return c;
}

std::vector<Heard> Of(const std::vector<Heard>& frames, uint8_t type, uint8_t src) {
  std::vector<Heard> out;
  for (const Heard& h : frames) {
    if (h.type == type && h.src == src) out.push_back(h);
  }
  return out;
}

TEST(ControllerMstpTest, CreatesTokenInItsSlotAfterSilenceThenPollsEveryAddressInTurn) {
  sim::DeviceProtocol protocol;
  sim::Controller c(Station(16, 20), protocol);
  TestBus bus;
  bus.Attach(&c);
  bus.RunFor(659'000);
  EXPECT_TRUE(bus.frames().empty());

  bus.RunFor(3'000'000);
  std::vector<Heard> polls = Of(bus.frames(), sim::kPollForMaster, 16);
  ASSERT_GE(polls.size(), 21u);
  // 500 ms plus 16 slots of 10 ms, then the frame's eight octets.
  EXPECT_GE(polls[0].end, 660'000 + 8 * kOctet);
  EXPECT_LT(polls[0].end, 662'000 + 8 * kOctet);
  std::vector<uint8_t> order;
  for (size_t i = 0; i < 20; ++i) order.push_back(polls[i].dest);
  EXPECT_EQ(order, (std::vector<uint8_t>{17, 18, 19, 20, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
                                         12, 13, 14, 15}));
  for (size_t i = 1; i < 20; ++i) {
    EXPECT_GE(polls[i].end - polls[i - 1].end, 50'000 + 8 * kOctet) << i;
  }
  EXPECT_TRUE(c.station().soleMaster());
  for (const Heard& h : bus.frames()) EXPECT_TRUE(h.valid);
}

TEST(ControllerMstpTest, TwoControllersFindEachOtherAndPassTheToken) {
  sim::DeviceProtocol protocol;
  sim::Controller a(Station(16), protocol);
  sim::Controller b(Station(17), protocol);
  TestBus bus;
  bus.Attach(&a);
  bus.Attach(&b);
  // Station 17 first polls round the whole range for its successor (about a
  // second); from then on the token circulates.
  bus.RunFor(5'000'000);
  std::vector<Heard> fromA = Of(bus.frames(), sim::kToken, 16);
  std::vector<Heard> fromB = Of(bus.frames(), sim::kToken, 17);
  ASSERT_GT(fromA.size(), 150u);
  ASSERT_GT(fromB.size(), 150u);
  for (const Heard& h : fromA) EXPECT_EQ(h.dest, 17);
  for (const Heard& h : fromB) EXPECT_EQ(h.dest, 16);
  EXPECT_EQ(a.station().tokens(), fromB.size());
  EXPECT_EQ(b.station().tokens(), fromA.size());
  // Once circulating, a token hop takes a frame and a turnaround, not a time-out.
  const Heard& last = fromA.back();
  const Heard* previous = nullptr;
  for (const Heard& h : fromB) {
    if (h.end < last.end) previous = &h;
  }
  ASSERT_NE(previous, nullptr);
  EXPECT_LT(last.end - previous->end, 5'000);
}

TEST(ControllerMstpTest, MaintenancePollSweepsAreFiftyTokenPassesApart) {
  sim::DeviceProtocol protocol;
  sim::Controller a(Station(16), protocol);
  sim::Controller b(Station(17), protocol);
  TestBus bus;
  bus.Attach(&a);
  bus.Attach(&b);
  bus.RunFor(8'000'000);
  // Station 17 wraps round to 16, so it sweeps 18 to 15 with one poll per
  // token hold. From its last poll to the first of the next sweep it passes
  // the token 50 times: after the unanswered poll, at the reset of the
  // sweep, and 48 times more.
  std::vector<size_t> passes;
  size_t count = 0;
  bool counting = false;
  for (const Heard& h : bus.frames()) {
    if (h.src != 17) continue;
    if (h.type == sim::kPollForMaster && h.dest == 15) {
      counting = true;
      count = 0;
    } else if (h.type == sim::kPollForMaster && h.dest == 18 && counting) {
      passes.push_back(count);
      counting = false;
    } else if (h.type == sim::kToken && counting) {
      ++count;
    }
  }
  ASSERT_GE(passes.size(), 2u);
  for (size_t n : passes) EXPECT_EQ(n, 50u);
  // Station 16's successor is the next address: it never polls.
  EXPECT_TRUE(Of(bus.frames(), sim::kPollForMaster, 16).size() <= 1);
}

TEST(ControllerMstpTest, AnswersPollForMasterAddressedToIt) {
  sim::DeviceProtocol protocol;
  sim::Controller c(Station(16), protocol);
  TestBus bus;
  bus.Attach(&c);
  bus.Send(TestFrame(sim::kPollForMaster, 16, 3));
  bus.RunFor(20'000);
  ASSERT_EQ(bus.frames().size(), 1u);
  EXPECT_EQ(bus.frames()[0].type, sim::kReplyToPoll);
  EXPECT_EQ(bus.frames()[0].dest, 3);
  EXPECT_TRUE(bus.frames()[0].valid);
}

TEST(ControllerMstpTest, RetriesASilentSuccessorOnceThenPollsForANewOne) {
  sim::DeviceProtocol protocol;
  sim::Controller c(Station(16), protocol);
  TestBus bus;
  bus.Attach(&c);
  // Answer the first poll as station 17, then fall silent.
  ASSERT_TRUE(bus.RunUntil([&] { return !bus.frames().empty(); }, 2'000'000));
  ASSERT_EQ(bus.frames()[0].dest, 17);
  bus.Send(TestFrame(sim::kReplyToPoll, 16, 17));
  bus.RunFor(400'000);
  const std::vector<Heard>& f = bus.frames();
  ASSERT_GE(f.size(), 4u);
  EXPECT_EQ(f[1].type, sim::kToken);
  EXPECT_EQ(f[1].dest, 17);
  EXPECT_EQ(f[2].type, sim::kToken);
  EXPECT_EQ(f[2].dest, 17);
  EXPECT_GE(f[2].end - f[1].end, 50'000);
  EXPECT_EQ(f[3].type, sim::kPollForMaster);
  EXPECT_EQ(f[3].dest, 18);
  EXPECT_GE(f[3].end - f[2].end, 50'000);
}

TEST(ControllerMstpTest, SuccessorThatUsesTheTokenIsNotPassedItAgain) {
  sim::DeviceProtocol protocol;
  sim::Controller c(Station(16), protocol);
  TestBus bus;
  bus.Attach(&c);
  ASSERT_TRUE(bus.RunUntil([&] { return !bus.frames().empty(); }, 2'000'000));
  bus.Send(TestFrame(sim::kReplyToPoll, 16, 17));
  ASSERT_TRUE(bus.RunUntil([&] { return bus.frames().size() == 2; }, bus.now() + 100'000));
  // Station 17 uses the token: a data frame to someone else, then the token back.
  bus.Send(TestFrame(sim::kDataNotExpectingReply, 40, 17, {1, 2, 3}));
  bus.RunFor(10'000);
  bus.Send(TestFrame(sim::kToken, 16, 17));
  bus.RunFor(30'000);
  std::vector<Heard> tokens = Of(bus.frames(), sim::kToken, 16);
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_GT(tokens[1].end - tokens[0].end, 10'000);
  EXPECT_EQ(c.station().tokens(), 1u);
}

TEST(ControllerMstpTest, ReplyPostponedThenAnswerSentWhenItHoldsTheToken) {
  sim::DeviceProtocol protocol;
  sim::ControllerConfig config = Station(16);
  config.replyPostponed = true;
  sim::Controller c(config, protocol);
  TestBus bus;
  bus.Attach(&c);
  std::optional<Heard> first = bus.Exchange(sim::kDataExpectingReply, 16, 3, {0x01, 0x01});
  ASSERT_TRUE(first);
  EXPECT_EQ(first->type, sim::kReplyPostponed);
  EXPECT_TRUE(first->data.empty());
  size_t seen = bus.frames().size();
  bus.Send(TestFrame(sim::kToken, 16, 3));
  bus.RunFor(20'000);
  ASSERT_GE(bus.frames().size(), seen + 2);
  const Heard& answer = bus.frames()[seen];
  EXPECT_EQ(answer.type, sim::kDataNotExpectingReply);
  EXPECT_EQ(answer.dest, 3);
  EXPECT_EQ(answer.data[1], 0x01);
  // Then the token hold ends as usual: the first after a start polls for a successor.
  EXPECT_EQ(bus.frames()[seen + 1].type, sim::kPollForMaster);
}

TEST(ControllerMstpTest, SlowControllerAnswersAfterItsLatency) {
  sim::DeviceProtocol protocol;
  sim::ControllerConfig config = Station(16);
  config.latencyMs = 120;
  sim::Controller c(config, protocol);
  TestBus bus;
  bus.Attach(&c);
  bus.Send(TestFrame(sim::kDataExpectingReply, 16, 3, {0x01, 0x01}));
  Micros requestEnd = 10 * kOctet;
  std::optional<Heard> answer = bus.Exchange(sim::kDataExpectingReply, 16, 3, {0x01, 0x01}, 0);
  bus.RunUntil([&] { return !bus.frames().empty(); }, 400'000);
  ASSERT_FALSE(bus.frames().empty());
  EXPECT_GE(bus.frames()[0].end - requestEnd, 120'000);
  EXPECT_LT(bus.frames()[0].end - requestEnd, 130'000);
  EXPECT_FALSE(answer);
}

TEST(ControllerMstpTest, SlowControllerPostponesAfterItsLatencyToo) {
  sim::DeviceProtocol protocol;
  sim::ControllerConfig config = Station(16);
  config.latencyMs = 246;
  config.replyPostponed = true;
  sim::Controller c(config, protocol);
  TestBus bus;
  bus.Attach(&c);
  bus.Send(TestFrame(sim::kDataExpectingReply, 16, 3, {0x01, 0x01}));
  Micros requestEnd = 10 * kOctet;
  bus.RunUntil([&] { return !bus.frames().empty(); }, 400'000);
  ASSERT_FALSE(bus.frames().empty());
  EXPECT_EQ(bus.frames()[0].type, sim::kReplyPostponed);
  EXPECT_GE(bus.frames()[0].end - requestEnd, 248'000);
  EXPECT_LT(bus.frames()[0].end - requestEnd, 252'000);
}

TEST(ControllerMstpTest, SilentControllerNeverSendsAnything) {
  sim::DeviceProtocol protocol;
  sim::ControllerConfig config = Station(16);
  config.silent = true;
  sim::Controller c(config, protocol);
  TestBus bus;
  bus.Attach(&c);
  bus.Send(TestFrame(sim::kPollForMaster, 16, 3));
  bus.Send(TestFrame(sim::kDataExpectingReply, 16, 3, {0x01, 0x01}));
  bus.RunFor(3'000'000);
  EXPECT_TRUE(bus.frames().empty());
}

}  // namespace
