#include "sim/bus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <numeric>

#include "tests/support/scripted_station.h"

namespace sim {
namespace {

using test_support::MakeFrame;
using test_support::ScriptedStation;

std::vector<uint8_t> Pattern(size_t count) {
  std::vector<uint8_t> octets(count);
  std::iota(octets.begin(), octets.end(), uint8_t{0});
  return octets;
}

TEST(BusDelivery, EveryOtherStationHearsEachOctetAndTheSenderNone) {
  Bus bus;
  ScriptedStation a, b, c;
  bus.Attach(&a, false);
  bus.Attach(&b, false);
  bus.Attach(&c, false);
  const auto token = MakeFrame(0, 6, 5);
  a.SendAt(100, token);
  const auto reply = MakeFrame(2, 5, 6);
  b.SendAt(10'000, reply);
  bus.RunUntil(20'000);

  EXPECT_EQ(c.HeardOctets().size(), token.size() + reply.size());
  EXPECT_TRUE(std::equal(token.begin(), token.end(), c.HeardOctets().begin()));
  EXPECT_EQ(b.HeardOctets(), token);
  EXPECT_EQ(a.HeardOctets(), reply);
  EXPECT_EQ(bus.Counters().frames, 2u);
  EXPECT_EQ(bus.Counters().bad_frames, 0u);
}

TEST(BusDelivery, EveryStationIsToldTheTimeAfterEachOctet) {
  Bus bus;
  ScriptedStation sender, listener;
  bus.Attach(&sender, false);
  bus.Attach(&listener, false);
  sender.SendAt(0, {1, 2, 3});
  bus.RunUntil(5'000);
  // The sender too: it learns when its own octets have left.
  for (Micros end : {260, 521, 781}) {
    EXPECT_NE(std::find(sender.woken().begin(), sender.woken().end(), end), sender.woken().end())
        << end;
    EXPECT_NE(std::find(listener.woken().begin(), listener.woken().end(), end),
              listener.woken().end())
        << end;
  }
}

TEST(BusTiming, OctetsFollowEachOtherAtTenBitTimesWithoutDrift) {
  Bus bus;
  ScriptedStation sender, listener;
  bus.Attach(&sender, false);
  bus.Attach(&listener, false);
  sender.SendAt(1'000, Pattern(384));
  bus.RunUntil(200'000);
  const auto& heard = listener.heard();
  ASSERT_EQ(heard.size(), 384u);
  EXPECT_EQ(heard.front().at, 1'000 + 260);
  // 384 octets at 38400 baud take exactly 100 ms.
  EXPECT_EQ(heard.back().at, 1'000 + 100'000);
  for (size_t i = 1; i < heard.size(); ++i) {
    const Micros gap = heard[i].at - heard[i - 1].at;
    EXPECT_TRUE(gap == 260 || gap == 261) << "gap " << gap << " before octet " << i;
  }
}

TEST(BusTiming, OctetTimeFollowsTheSendersSpeed) {
  EXPECT_EQ(OctetEnd(0, 9600), 1042);
  EXPECT_EQ(OctetEnd(9, 9600), 10'417);
  EXPECT_EQ(OctetEnd(0, 19200), 521);
  EXPECT_EQ(OctetEnd(959, 9600), 1'000'000);
}

TEST(BusTiming, StationIsWokenAtTheTimeItAskedFor) {
  Bus bus;
  ScriptedStation node;
  bus.Attach(&node, false);
  node.SendAt(1'234, {});
  bus.RunUntil(1'233);
  EXPECT_TRUE(node.woken().empty());
  bus.RunUntil(2'000);
  ASSERT_EQ(node.woken().size(), 1u);
  EXPECT_EQ(node.woken().front(), 1'234);
  EXPECT_EQ(bus.Now(), 2'000);
}

TEST(BusSpeed, SameSpeedResamplingKeepsEveryOctet) {
  for (unsigned octet = 0; octet < 256; ++octet) {
    EXPECT_EQ(Resample(static_cast<uint8_t>(octet), 38400, 38400), octet);
  }
}

TEST(BusSpeed, ListenerAtAnotherSpeedHearsGarbageNotSilence) {
  Bus bus;
  ScriptedStation bus_station(38400), modbus_device(9600), pc(38400);
  bus.Attach(&bus_station, false);
  bus.Attach(&modbus_device, false);
  bus.Attach(&pc, false);
  const auto token = MakeFrame(0, 17, 16);
  bus_station.SendAt(0, token);
  // A Modbus request at 9600: write register 2492 of slave 1.
  const std::vector<uint8_t> modbus{0x01, 0x06, 0x09, 0xBC, 0x05, 0x06, 0x4B, 0x13};
  modbus_device.SendAt(10'000, modbus);
  bus.RunUntil(30'000);

  // One octet heard for every octet sent, but not the octets sent.
  const auto at_9600 = modbus_device.HeardOctets();
  ASSERT_EQ(at_9600.size(), token.size());
  EXPECT_NE(at_9600, token);
  const auto at_38400 = pc.HeardOctets();
  ASSERT_EQ(at_38400.size(), token.size() + modbus.size());
  EXPECT_TRUE(std::equal(token.begin(), token.end(), at_38400.begin()));
  const std::vector<uint8_t> garbled(at_38400.begin() + static_cast<long>(token.size()),
                                     at_38400.end());
  EXPECT_NE(garbled, modbus);
  for (uint8_t octet : garbled) EXPECT_NE(octet, 0x55) << "garbage must not look like a preamble";
  // Counted per listener: the token reached one slow listener, the request
  // two fast ones.
  EXPECT_EQ(bus.Counters().misrate_octets, token.size() + 2 * modbus.size());
}

TEST(BusSpeed, SlowListenerSamplesTheFastWaveformAtItsOwnBitCentres) {
  // At a quarter of the speed the listener's first data bit lands on the
  // sender's sixth data bit; everything after is idle line.
  EXPECT_EQ(Resample(0x20, 38400, 9600), 0xFF);
  EXPECT_EQ(Resample(0x00, 38400, 9600), 0xFE);
  // Four times faster, the listener sees the long start bit as zeros.
  EXPECT_EQ(Resample(0xFF, 9600, 38400), 0xF8);
}

TEST(BusCollision, OverlappingOctetsArriveGarbledFromBothSenders) {
  Bus bus;
  ScriptedStation a, b, listener;
  bus.Attach(&a, false);
  bus.Attach(&b, false);
  bus.Attach(&listener, false);
  const auto from_a = MakeFrame(0, 1, 2);
  const auto from_b = MakeFrame(0, 3, 4);
  a.SendAt(0, from_a);
  b.SendAt(130, from_b);  // half an octet later, over all of a's frame
  bus.RunUntil(10'000);

  const auto& heard = listener.heard();
  ASSERT_EQ(heard.size(), 16u);
  std::vector<uint8_t> a_heard, b_heard;
  for (const auto& h : heard) {
    // b's octets end 130 us after a's octets of the same index.
    bool is_a = false;
    for (uint64_t k = 0; k < 8; ++k) is_a |= h.at == OctetEnd(k, 38400);
    (is_a ? a_heard : b_heard).push_back(h.octet);
  }
  ASSERT_EQ(a_heard.size(), 8u);
  ASSERT_EQ(b_heard.size(), 8u);
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_NE(a_heard[i], from_a[i]) << i;
    EXPECT_NE(b_heard[i], from_b[i]) << i;
  }
  EXPECT_EQ(bus.Counters().collided_octets, 16u);
  EXPECT_EQ(bus.Counters().bad_frames, bus.Counters().frames);
  // Each sender was driving the line through all of the other's octets.
  EXPECT_TRUE(a.heard().empty());
  EXPECT_TRUE(b.heard().empty());
}

TEST(BusCollision, OctetsAfterTheOverlapArriveIntact) {
  Bus bus;
  ScriptedStation a, b, listener;
  bus.Attach(&a, false);
  bus.Attach(&b, false);
  bus.Attach(&listener, false);
  a.SendAt(0, Pattern(10));
  b.SendAt(0, {0xAA});  // overlaps a's first octet only
  bus.RunUntil(10'000);
  const auto heard = listener.HeardOctets();
  ASSERT_EQ(heard.size(), 11u);
  EXPECT_NE(heard[0], 0x00);  // a's first octet
  EXPECT_NE(heard[1], 0xAA);  // b's octet
  const auto sent = Pattern(10);
  EXPECT_EQ(std::vector<uint8_t>(heard.begin() + 2, heard.end()),
            std::vector<uint8_t>(sent.begin() + 1, sent.end()));
  EXPECT_EQ(bus.Counters().collided_octets, 2u);
  // b missed a's first octet, which it overlapped, but hears the rest.
  EXPECT_EQ(b.HeardOctets(), std::vector<uint8_t>(sent.begin() + 1, sent.end()));
  EXPECT_TRUE(a.heard().empty());
}

// A station whose line driver stays on for `release` after its last octet.
class ReleasingStation : public ScriptedStation {
 public:
  explicit ReleasingStation(Micros release) : release_(release) {}
  Micros DriverRelease() const override { return release_; }

 private:
  Micros release_;
};

// Good frames in what a station heard.
std::vector<Frame> GoodFrames(const ScriptedStation& station) {
  std::vector<Frame> frames;
  FrameReceiver rx;
  for (const auto& h : station.heard()) {
    if (rx.Push(h.octet, h.at) == FrameReceiver::Result::kValid) frames.push_back(rx.frame());
  }
  return frames;
}

TEST(BusTurnaround, FrameStartedBeforeTheLastSendersDriverIsOffIsDamagedAndCountedOnce) {
  struct Case {
    const char* name;
    Micros release;
    Micros gap;        // from the end of the controller's frame to the next frame
    bool from_itself;  // the next frame is the controller's own
    bool damaged;
  };
  const Case cases[] = {
      {"0.3 ms after", 1'000, 300, false, true},
      {"just inside", 1'000, 999, false, true},
      {"the moment the driver is off", 1'000, 1'000, false, false},
      {"3 ms after", 1'000, 3'000, false, false},
      {"right after a station without a release time", 0, 0, false, false},
      {"longer release", 5'000, 4'000, false, true},
      {"the station's own next frame", 1'000, 300, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bus bus;
    ReleasingStation controller(c.release);
    ScriptedStation pc, listener;
    bus.Attach(&controller, true);
    bus.Attach(&pc, false);
    bus.Attach(&listener, false);
    const auto reply = MakeFrame(6, 1, 16, {1, 1, 28, 0});
    controller.SendAt(1'000, reply);
    const Micros reply_end = 1'000 + OctetEnd(reply.size() - 1, 38400);
    const auto next = MakeFrame(5, 16, 1, {1, 1});
    (c.from_itself ? static_cast<ScriptedStation&>(controller) : pc).SendAt(reply_end + c.gap, next);
    bus.RunUntil(100'000);

    const auto heard = GoodFrames(listener);
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.front().src, 16);
    const bool next_intact = heard.size() == 2 && heard[1].type == 5 && heard[1].src == 1;
    EXPECT_EQ(next_intact, !c.damaged);
    if (!c.from_itself) {
      EXPECT_EQ(GoodFrames(controller).size(), c.damaged ? 0u : 1u);
    }
    EXPECT_EQ(bus.Counters().turnaround_damaged, c.damaged ? 1u : 0u);
    EXPECT_EQ(bus.Counters().collided_octets, 0u);
  }
}

// Sends `frames` tokens from one station and returns what the other heard.
std::vector<uint8_t> RunTokens(BusFaults faults, int frames, BusCounters* counters = nullptr) {
  Bus bus(faults);
  ScriptedStation sender, listener;
  bus.Attach(&sender, false);
  bus.Attach(&listener, false);
  for (int i = 0; i < frames; ++i) {
    sender.SendAt(i * 5'000, MakeFrame(0, static_cast<uint8_t>(i % 100), 127));
  }
  bus.RunUntil(frames * 5'000 + 10'000);
  if (counters != nullptr) *counters = bus.Counters();
  return listener.HeardOctets();
}

std::vector<uint8_t> CleanTokens(int frames) { return RunTokens(BusFaults{}, frames); }

TEST(BusFaults, CorruptionFlipsOneBitInRoughlyTheGivenShareOfOctets) {
  const BusFaults faults{.corrupt_rate = 0.01, .seed = 42};
  BusCounters counters;
  const auto damaged = RunTokens(faults, 5'000, &counters);
  const auto clean = CleanTokens(5'000);
  ASSERT_EQ(damaged.size(), clean.size());
  size_t changed = 0;
  for (size_t i = 0; i < clean.size(); ++i) {
    if (damaged[i] == clean[i]) continue;
    ++changed;
    EXPECT_EQ(std::popcount(static_cast<unsigned>(damaged[i] ^ clean[i])), 1) << i;
  }
  EXPECT_EQ(changed, counters.corrupted_octets);
  EXPECT_GT(changed, 300u);  // 1 % of 40000 octets is 400
  EXPECT_LT(changed, 500u);
}

TEST(BusFaults, SameSeedDamagesTheSameOctetsAndAnotherSeedOthers) {
  const BusFaults faults{.corrupt_rate = 0.02, .loss_rate = 0.05, .seed = 7};
  const auto first = RunTokens(faults, 1'000);
  EXPECT_EQ(first, RunTokens(faults, 1'000));
  BusFaults other = faults;
  other.seed = 8;
  EXPECT_NE(first, RunTokens(other, 1'000));
}

TEST(BusFaults, LossDropsWholeFramesInRoughlyTheGivenShare) {
  const BusFaults faults{.loss_rate = 0.1, .seed = 3};
  Bus bus(faults);
  ScriptedStation sender, listener;
  bus.Attach(&sender, false);
  bus.Attach(&listener, false);
  for (int i = 0; i < 2'000; ++i) sender.SendAt(i * 5'000, MakeFrame(6, 1, 2, {1, 2, 3}));
  bus.RunUntil(2'000 * 5'000 + 10'000);

  size_t good = 0, bad = 0;
  FrameScanner scanner([&](const ScannedFrame& frame) { ++(frame.Good() ? good : bad); });
  for (const auto& h : listener.heard()) scanner.Feed(h.octet, h.at);
  EXPECT_EQ(bad, 0u) << "a lost frame must vanish whole";
  EXPECT_EQ(good + bus.Counters().lost_frames, 2'000u);
  EXPECT_GT(bus.Counters().lost_frames, 150u);
  EXPECT_LT(bus.Counters().lost_frames, 250u);
  EXPECT_EQ(bus.Counters().lost_octets, bus.Counters().lost_frames * 13);
  // The capture sees the line as the listeners do.
  EXPECT_EQ(bus.Counters().frames, good);
}

TEST(BusFaults, LatencyHoldsBackOnlyDelayedStationsAndOnlyAtTheStartOfATransmission) {
  const BusFaults faults{.latency = 5'000, .jitter = 2'000, .seed = 11};
  Bus bus(faults);
  ScriptedStation controller, pc, listener;
  bus.Attach(&controller, true);
  bus.Attach(&pc, false);
  bus.Attach(&listener, false);
  controller.SendAt(0, Pattern(4));
  pc.SendAt(50'000, Pattern(4));
  bus.RunUntil(100'000);
  const auto& heard = listener.heard();
  ASSERT_EQ(heard.size(), 8u);
  EXPECT_GE(heard[0].at, 5'000 + 260);
  EXPECT_LE(heard[0].at, 7'000 + 261);
  for (size_t i = 1; i < 4; ++i) {
    const Micros gap = heard[i].at - heard[i - 1].at;
    EXPECT_TRUE(gap == 260 || gap == 261) << gap;
  }
  EXPECT_EQ(heard[4].at, 50'000 + 260);
}

TEST(BusFaults, JitterVariesTheDelayReproducibly) {
  auto first_arrivals = [](uint64_t seed) {
    Bus bus(BusFaults{.latency = 1'000, .jitter = 4'000, .seed = seed});
    ScriptedStation controller, listener;
    bus.Attach(&controller, true);
    bus.Attach(&listener, false);
    for (int i = 0; i < 20; ++i) controller.SendAt(i * 10'000, {0x01});
    bus.RunUntil(300'000);
    std::vector<Micros> delays;
    for (size_t i = 0; i < listener.heard().size(); ++i) {
      delays.push_back(listener.heard()[i].at - static_cast<Micros>(i) * 10'000 - 260);
    }
    return delays;
  };
  const auto delays = first_arrivals(5);
  ASSERT_EQ(delays.size(), 20u);
  for (Micros delay : delays) {
    EXPECT_GE(delay, 1'000);
    EXPECT_LE(delay, 5'000);
  }
  EXPECT_GT(*std::max_element(delays.begin(), delays.end()) -
                *std::min_element(delays.begin(), delays.end()),
            1'000);
  EXPECT_EQ(delays, first_arrivals(5));
}

}  // namespace
}  // namespace sim
