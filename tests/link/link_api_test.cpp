// The exported interface where no serial port is needed: argument checks,
// failed starts, unknown names, and the arithmetic behind the send functions.
#include "link/tarnix_link.h"

#include <gtest/gtest.h>

#include <string>

#include "link/ports.h"
#include "link/serial_port.h"
#include "link/transmit.h"

namespace {

// A port name that no test machine has.
constexpr const char* kMissingPort = "Com97";

LinkConfig GoodConfig(const char* name) {
  return LinkConfig{name, 38400, 15, 3, 5, nullptr, nullptr};
}

// A start that fails leaves nothing behind: no name, no slot, no tick.
void ExpectNothingTaken() {
  EXPECT_EQ(0, tarnix::LinkPortCount());
  EXPECT_EQ(0, tarnix::NodeStateCount());
  EXPECT_EQ(0, tarnix::SerialChannelCount());
  EXPECT_EQ(0, tarnix::PortIdOf(kMissingPort));
  EXPECT_FALSE(tarnix::TickRunning());
}

TEST(LinkInit, RefusesEachOutOfRangeConfigFieldAndGivesEverythingBack) {
  struct Case {
    const char* what;
    void (*spoil)(LinkConfig&);
  };
  const Case cases[] = {
      {"baud 57600", [](LinkConfig& c) { c.BaudRate = 57600; }},
      {"max master 128", [](LinkConfig& c) { c.MaxMaster = 128; }},
      {"max master -1", [](LinkConfig& c) { c.MaxMaster = -1; }},
      {"max info frames 0", [](LinkConfig& c) { c.MaxInfoFrames = 0; }},
      {"station -1", [](LinkConfig& c) { c.StationAddress = -1; }},
      {"station 128", [](LinkConfig& c) { c.StationAddress = 128; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkConfig config = GoodConfig(kMissingPort);
    c.spoil(config);
    EXPECT_EQ(-1, TarnixLink_Init(&config));
    ExpectNothingTaken();
  }
}

TEST(LinkInit, RefusesBadNames) {
  const std::string tooLong(33, 'c');
  for (const char* name : {static_cast<const char*>(nullptr), "", tooLong.c_str()}) {
    LinkConfig config = GoodConfig(name);
    EXPECT_EQ(-1, TarnixLink_Init(&config));
  }
  EXPECT_EQ(-1, TarnixLink_Init(nullptr));
  ExpectNothingTaken();
}

TEST(LinkInit, PortThatDoesNotExistFailsAndGivesBackTheTick) {
  LinkConfig config = GoodConfig(kMissingPort);
  EXPECT_EQ(-1, TarnixLink_Init(&config));
  ExpectNothingTaken();
  // And again: the second failure starts from the same clean state.
  EXPECT_EQ(-1, TarnixLink_Init(&config));
  ExpectNothingTaken();
}

TEST(LinkInit, A32CharacterNameGetsAsFarAsOpeningThePort) {
  // The name is accepted: the start fails only because no such port exists,
  // after the tick was started (and then stopped again).
  const std::string longest(32, 'p');
  LinkConfig config = GoodConfig(longest.c_str());
  EXPECT_EQ(-1, TarnixLink_Init(&config));
  EXPECT_EQ(0, tarnix::PortIdOf(longest.c_str()));
  EXPECT_EQ(0, tarnix::LinkPortCount());
}

TEST(LinkUnknownPort, EveryFunctionReportsFailureOrDoesNothing) {
  for (const char* name : {static_cast<const char*>(nullptr), "", "Com42"}) {
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(1, TarnixLink_UnInit(name));
    EXPECT_EQ(1, TarnixLink_SendFrame(name, 6, data, 3, 1));
    EXPECT_EQ(1, TarnixLink_SendFrameEx(name, 6, data, 3, 0, 0));
    EXPECT_EQ(1, TarnixLink_SetMaxRequestResend(name, 2));
    EXPECT_EQ(255, TarnixLink_GetAddress(name));
    TarnixLink_DisableMasterServices(name, 1);
    TarnixLink_DisableMSTPFraming(name, 1);
    TarnixLink_EnableImmediateUpcall(name, 1);
    TarnixLink_SetUpcallDelegate(name, nullptr);
    TarnixLink_SetTokenObtainedDelegate(name, nullptr);
    TarnixLink_CheckSumError(name);
    TarnixLink_TokenDrop(name, 4);
    TarnixLink_SetBaud(name, 9600);
    TarnixLink_PacketJam(name);
    TarnixLink_StopPacketJam(name);
  }
  EXPECT_EQ(0, tarnix::LinkPortCount());
  EXPECT_EQ(0, tarnix::PortIdOf("Com42"));
}

TEST(LinkVersion, StoresThroughEveryNonNullPointer) {
  int32_t major = -1;
  int32_t minor = -1;
  int32_t revision = -1;
  TarnixLink_GetVersion(&major, &minor, &revision);
  EXPECT_EQ(0, major);
  EXPECT_EQ(4, minor);
  EXPECT_EQ(5, revision);
  major = -1;
  revision = -1;
  TarnixLink_GetVersion(&major, nullptr, &revision);
  EXPECT_EQ(0, major);
  EXPECT_EQ(5, revision);
  TarnixLink_GetVersion(nullptr, nullptr, nullptr);
}

TEST(ReplyWait, Is125msForEachStarted500msOfTimeout) {
  EXPECT_EQ(125, tarnix::ReplyWaitFor(0));
  EXPECT_EQ(125, tarnix::ReplyWaitFor(499));
  EXPECT_EQ(250, tarnix::ReplyWaitFor(500));
  EXPECT_EQ(250, tarnix::ReplyWaitFor(512));
  EXPECT_EQ(250, tarnix::ReplyWaitFor(999));
  EXPECT_EQ(375, tarnix::ReplyWaitFor(1000));
  EXPECT_EQ(375, tarnix::ReplyWaitFor(1499));
  EXPECT_EQ(16500, tarnix::ReplyWaitFor(65535));
}

TEST(TickPeriod, FollowsTheTimerCapabilities) {
  uint32_t period = 0;
  EXPECT_TRUE(tarnix::ChooseTickPeriod({1, 1000000}, &period));
  EXPECT_EQ(2u, period);
  EXPECT_TRUE(tarnix::ChooseTickPeriod({1, 1}, &period));
  EXPECT_EQ(1u, period);
  EXPECT_TRUE(tarnix::ChooseTickPeriod({2, 2}, &period));
  EXPECT_EQ(2u, period);
  EXPECT_TRUE(tarnix::ChooseTickPeriod({1, 2}, &period));
  EXPECT_EQ(2u, period);
  EXPECT_FALSE(tarnix::ChooseTickPeriod({3, 1000000}, &period));
  EXPECT_FALSE(tarnix::ChooseTickPeriod({0, 0}, &period));
}

// The timers count from the moment they were set, read from the link's clock.
int64_t gClockMicros = 0;
int64_t ClockMicros() { return gClockMicros; }

TEST(LinkTimers, CountMillisecondsFromTheirLastSettingOnTheLinksClock) {
  gClockMicros = 5'000'000;
  tarnix::SetLinkClock(&ClockMicros);
  tarnix::NodeState node;
  node.SilenceTimer = 0;
  node.TokenAgeTimer = 96;
  gClockMicros += 1999;
  EXPECT_EQ(1u, node.SilenceTimer.load());
  EXPECT_EQ(97u, node.TokenAgeTimer.load());
  node.SilenceTimer = 0;
  gClockMicros += 1;
  EXPECT_EQ(0u, node.SilenceTimer.load());
  EXPECT_EQ(98u, node.TokenAgeTimer.load());
  // A timer set in the future of a clock that went back reads 0, not a wrap.
  gClockMicros -= 10'000;
  EXPECT_EQ(0u, node.SilenceTimer.load());
  tarnix::SetLinkClock(nullptr);
}

}  // namespace
