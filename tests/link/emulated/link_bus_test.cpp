// The whole link on an emulated bus, through a pty, with its real threads and
// tick: joining rings of 0 to 3 masters, every request outcome produced by the
// bus situation that causes it, passive mode, raw framing and the bus test
// switches.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/tarnix_link.h"
#include "sim/mstp_frame.h"
#include "tests/support/emulated_bus.h"
#include "tests/support/scripted_station.h"

namespace {

using test_support::EmulatedBus;
using test_support::LineFrame;
using test_support::Octets;
using test_support::ScriptedStation;

constexpr const char* kPort = "Com1";
constexpr uint8_t kPc = 0;
const Octets kReadInstance = {0x01, 0x05, 0x01, 0x01};

struct Outcome {
  UpcallStatus status;
  uint32_t source;
  Octets data;
  std::chrono::steady_clock::time_point at;
};

std::mutex gLock;
std::vector<Outcome> gOutcomes;
// Stations the token-obtained delegate sends requests to, in turn; set
// before the port starts, read on its master thread.
std::vector<uint8_t> gTargets;
std::atomic<size_t> gNextTarget{0};
std::atomic<bool> gSending{false};

uint8_t SendRequests(const char* portName) {
  if (!gSending.load() || gTargets.empty()) return 0;
  const uint8_t destination = gTargets[gNextTarget++ % gTargets.size()];
  TarnixLink_SendFrame(portName, destination, kReadInstance.data(),
                       static_cast<uint16_t>(kReadInstance.size()), 1);
  return 1;
}

int32_t RecordOutcome(const char* /*portName*/, const uint8_t* data, uint32_t source,
                      uint32_t length, UpcallStatus status) {
  std::lock_guard<std::mutex> guard(gLock);
  gOutcomes.push_back({status, source, data == nullptr ? Octets() : Octets(data, data + length),
                       std::chrono::steady_clock::now()});
  return 0;
}

std::vector<Outcome> Outcomes() {
  std::lock_guard<std::mutex> guard(gLock);
  return gOutcomes;
}

size_t CountOf(const std::vector<Outcome>& outcomes, UpcallStatus status, int source = -1) {
  size_t count = 0;
  for (const Outcome& o : outcomes) {
    if (o.status == status && (source < 0 || o.source == static_cast<uint32_t>(source))) ++count;
  }
  return count;
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The bus as the link finds it the moment the bus is up: the tests look at
// how it joins the ring.
EmulatedBus Bus(const std::string& scenario, const std::vector<sim::Node*>& stations = {}) {
  test_support::BusOptions options;
  options.SettleMs(0);
  for (sim::Node* station : stations) options.Station(station);
  return EmulatedBus(scenario, options);
}

std::string Controller(int address, const std::string& extra = "") {
  return "[controller]\naddress = " + std::to_string(address) + "\nmax_master = 20\n" + extra;
}

// A reply of `type` to `destination` from `source`, optionally with its last
// octet flipped (a damaged data checksum).
Octets Reply(uint8_t type, uint8_t destination, uint8_t source, bool damaged = false) {
  Octets frame = sim::EncodeFrame(type, destination, source, {0x01, 0x05, 0xAA});
  if (damaged) frame.back() ^= 0x01;
  return frame;
}

class LinkBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EmulatedBus::PortDirectory();
    std::lock_guard<std::mutex> guard(gLock);
    gOutcomes.clear();
    gTargets.clear();
    gNextTarget = 0;
    gSending = false;
  }

  void TearDown() override {
    gSending = false;
    TarnixLink_UnInit(kPort);
  }

  // Joins as station 0 polling up to 20, one frame per token hold, sending
  // read-instance requests to `targets` in turn.
  static void Start(std::vector<uint8_t> targets, bool passive = false) {
    gTargets = std::move(targets);
    gSending = !gTargets.empty();
    LinkConfig config{kPort, 38400, 20, 1, kPc, SendRequests, RecordOutcome};
    ASSERT_EQ(0, TarnixLink_Init(&config));
    if (passive) TarnixLink_DisableMasterServices(kPort, 1);
  }

  static void Stop() {
    gSending = false;
    Pause(300);  // an exchange under way ends
    EXPECT_EQ(0, TarnixLink_UnInit(kPort));
  }
};

// --- Rings of 0 to 3 emulated masters ----------------------------------------

class LinkRingTest : public LinkBusTest, public ::testing::WithParamInterface<int> {};

TEST_P(LinkRingTest, JoinsTheRingAnswersPollsAndGetsEveryRequestAnswered) {
  const int masters = GetParam();
  std::string scenario;
  std::vector<uint8_t> controllers;
  for (int i = 0; i < masters; ++i) {
    scenario += Controller(16 + i);
    controllers.push_back(static_cast<uint8_t>(16 + i));
  }
  EmulatedBus bus = Bus(scenario);
  Start(controllers);
  Pause(3000);
  Stop();
  bus.Stop();

  const std::vector<Outcome> outcomes = Outcomes();
  EXPECT_EQ(CountOf(outcomes, Delivered), outcomes.size());
  for (const uint8_t controller : controllers) {
    SCOPED_TRACE(static_cast<int>(controller));
    EXPECT_GE(CountOf(outcomes, Delivered, controller), 3u);
    EXPECT_EQ(bus.Count(sim::kToken, kPc, controller) > 0, controller == 16);
  }
  for (const Outcome& o : outcomes) {
    ASSERT_GE(o.data.size(), 5u);
    EXPECT_EQ(Octets(o.data.begin(), o.data.begin() + 4), kReadInstance);
  }
  // The last controller polls round to 0 and hands the PC the token.
  EXPECT_GT(bus.Count(sim::kReplyToPoll, kPc, 15 + masters), 0u);
  EXPECT_GT(bus.Count(sim::kToken, 15 + masters, kPc), 0u);
  EXPECT_EQ(bus.Count(sim::kDataExpectingReply, kPc), outcomes.size());
}

std::string MastersName(const ::testing::TestParamInfo<int>& param) {
  return std::to_string(param.param) + "Masters";
}

INSTANTIATE_TEST_SUITE_P(Masters, LinkRingTest, ::testing::Values(1, 2, 3), MastersName);

TEST_F(LinkBusTest, AloneWithASilentStationItPollsEveryAddressThenKeepsTheTokenAndTimesOut) {
  EmulatedBus bus = Bus(Controller(16, "silent = yes\n"));
  Start({16});
  Pause(3000);
  Stop();
  bus.Stop();

  for (int address = 1; address <= 20; ++address) {
    EXPECT_GT(bus.Count(sim::kPollForMaster, kPc, address), 0u) << address;
  }
  EXPECT_EQ(bus.Count(sim::kToken, kPc), 0u);  // sole master: nobody to pass it to
  const std::vector<Outcome> outcomes = Outcomes();
  EXPECT_GE(CountOf(outcomes, ReplyTimeout), 2u);
  EXPECT_EQ(CountOf(outcomes, ReplyTimeout), outcomes.size());
  for (const Outcome& o : outcomes) EXPECT_TRUE(o.data.empty());
}

// --- Outcomes of a request ----------------------------------------------------

TEST_F(LinkBusTest, ReplyPostponedIsReportedAndTheLaterAnswerDelivered) {
  EmulatedBus bus = Bus(Controller(16, "reply_postponed = yes\n"));
  Start({16});
  Pause(3000);
  Stop();
  bus.Stop();

  const std::vector<Outcome> outcomes = Outcomes();
  EXPECT_GE(CountOf(outcomes, ReplyPostponed), 2u);
  EXPECT_GE(CountOf(outcomes, Delivered, 16), 2u);
  EXPECT_EQ(CountOf(outcomes, ReplyPostponed) + CountOf(outcomes, Delivered), outcomes.size());
  EXPECT_EQ(bus.Count(sim::kReplyPostponed, 16, kPc), CountOf(outcomes, ReplyPostponed));
}

TEST_F(LinkBusTest, PulledAdapterFailsTheWaitingRequestAtOnceAndIsReportedLost) {
  // Answers come 200 ms late, so a request is nearly always waiting.
  EmulatedBus bus = Bus(Controller(16, "latency_ms = 200\n"));
  Start({16});
  char text[128] = "untouched";
  EXPECT_EQ(0, TarnixLink_PortLost(kPort, text, sizeof text));
  EXPECT_STREQ("", text);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (CountOf(Outcomes(), Delivered, 16) < 2 && std::chrono::steady_clock::now() < deadline) {
    Pause(10);
  }
  // The next request goes out right after an answer; pull once it is out.
  const size_t sent = bus.Count(sim::kDataExpectingReply, kPc, 16);
  while (bus.Count(sim::kDataExpectingReply, kPc, 16) == sent &&
         std::chrono::steady_clock::now() < deadline) {
    Pause(5);
  }
  Pause(20);
  const size_t before = Outcomes().size();
  const auto pulled = std::chrono::steady_clock::now();
  bus.PullAdapter();
  Pause(500);

  const std::vector<Outcome> outcomes = Outcomes();
  ASSERT_EQ(before + 1, outcomes.size());
  EXPECT_EQ(ReplyTimeout, outcomes.back().status);
  EXPECT_LT(outcomes.back().at - pulled, std::chrono::milliseconds(100));
  EXPECT_EQ(1, TarnixLink_PortLost(kPort, text, sizeof text));
  EXPECT_STRNE("", text);
  EXPECT_EQ(1, TarnixLink_SendFrame(kPort, 16, kReadInstance.data(),
                                    static_cast<uint16_t>(kReadInstance.size()), 0));
  gSending = false;
  EXPECT_EQ(0, TarnixLink_UnInit(kPort));
  EXPECT_EQ(255, TarnixLink_PortLost(kPort, nullptr, 0));
}

// A controller that answers Reply Postponed just around the PC's reply
// time-out, through a whole scan of the addresses 4 to 32: the token must
// never be lost, so the line never goes quiet for 500 ms once the ring runs.
class LateAnswerTest : public LinkBusTest, public ::testing::WithParamInterface<int> {};

TEST_P(LateAnswerTest, ReplyPostponedAtTheReplyTimeoutNeverCostsTheToken) {
  // The emulated controller answers 2 ms after a request plus its latency.
  const int latency = GetParam() - 2;
  EmulatedBus bus = Bus(Controller(16, "reply_postponed = yes\nlatency_ms = " + std::to_string(latency) + "\n"));
  std::vector<uint8_t> scan;
  for (uint8_t address = 4; address <= 32; ++address) scan.push_back(address);
  Start(scan);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (gNextTarget.load() < scan.size() + 1 && std::chrono::steady_clock::now() < deadline) {
    Pause(50);
  }
  Stop();
  bus.Stop();

  EXPECT_GT(gNextTarget.load(), scan.size());
  const std::vector<LineFrame> frames = bus.Frames();
  size_t first = 0;
  while (first < frames.size() && !(frames[first].good && frames[first].type == sim::kToken &&
                                    frames[first].src == kPc)) {
    ++first;
  }
  ASSERT_LT(first, frames.size());
  constexpr sim::Micros kOctetMicros = 260;
  sim::Micros longest = 0;
  for (size_t i = first + 1; i < frames.size(); ++i) {
    const LineFrame& before = frames[i - 1];
    const sim::Micros end = before.start + static_cast<sim::Micros>(before.octets.size() - 1) * kOctetMicros;
    longest = std::max(longest, frames[i].start - kOctetMicros - end);
  }
  EXPECT_LT(longest, 500'000);
  EXPECT_GE(CountOf(Outcomes(), ReplyPostponed, 0) + CountOf(Outcomes(), ReplyTimeout), 1u);
}

std::string AnswerName(const ::testing::TestParamInfo<int>& param) {
  return "After" + std::to_string(param.param) + "ms";
}

INSTANTIATE_TEST_SUITE_P(Postponed, LateAnswerTest, ::testing::Values(245, 248, 250, 252), AnswerName);

TEST_F(LinkBusTest, DamagedReplyGivesInvalidFrameAndTheTokenGoesOn) {
  ScriptedStation damaging;
  damaging.AnswerAs(30, [](const sim::Frame& request) {
    return Reply(sim::kDataNotExpectingReply, request.src, 30, true);
  });
  EmulatedBus bus = Bus(Controller(16), {&damaging});
  Start({30});
  Pause(3000);
  Stop();
  bus.Stop();

  const std::vector<Outcome> outcomes = Outcomes();
  EXPECT_GE(CountOf(outcomes, InvalidFrame), 3u);
  EXPECT_EQ(CountOf(outcomes, InvalidFrame), outcomes.size());
  // One request per token hold, and the token passed on after each.
  EXPECT_GE(bus.Count(sim::kToken, kPc, 16), CountOf(outcomes, InvalidFrame));
}

TEST_F(LinkBusTest, BroadcastWhileAwaitingTheReplyGivesUnexpectedFrame) {
  ScriptedStation broadcasting;
  broadcasting.AnswerAs(30, [](const sim::Frame&) {
    return Reply(sim::kDataNotExpectingReply, sim::kBroadcast, 30);
  });
  EmulatedBus bus = Bus(Controller(16), {&broadcasting});
  Start({30});
  Pause(3000);
  Stop();
  bus.Stop();

  const std::vector<Outcome> outcomes = Outcomes();
  EXPECT_GE(CountOf(outcomes, UnexpectedFrame), 2u);
  EXPECT_EQ(CountOf(outcomes, UnexpectedFrame), outcomes.size());
}

TEST_F(LinkBusTest, CheckSumErrorSpoilsOnlyTheNextRequest) {
  EmulatedBus bus = Bus(Controller(16));
  Start({});
  TarnixLink_CheckSumError(kPort);
  gTargets = {16};
  gSending = true;
  Pause(2500);
  Stop();
  bus.Stop();

  const std::vector<Outcome> outcomes = Outcomes();
  ASSERT_GE(outcomes.size(), 3u);
  EXPECT_EQ(outcomes[0].status, ReplyTimeout);
  EXPECT_EQ(CountOf(outcomes, Delivered, 16), outcomes.size() - 1);
  std::vector<LineFrame> spoiled;
  for (const LineFrame& f : bus.Frames()) {
    if (!f.good && f.octets.size() > 4 && f.octets[4] == kPc) spoiled.push_back(f);
  }
  ASSERT_EQ(spoiled.size(), 1u);
  EXPECT_EQ(spoiled[0].octets[2], sim::kDataExpectingReply);
  EXPECT_EQ(spoiled[0].octets[spoiled[0].octets.size() - 2], 0xFF);
  EXPECT_EQ(spoiled[0].octets.back(), 0xFF);
  EXPECT_EQ(bus.controller(0).station().badFrames(), 1u);
}

// --- Passive mode, raw framing, token drop ------------------------------------

TEST_F(LinkBusTest, PassiveStationAnswersPollsNeverMakesATokenAndSendsAtOnce) {
  const Octets poll = sim::EncodeFrame(sim::kPollForMaster, kPc, 30, {});
  ScriptedStation station;
  station.AnswerAs(30, [](const sim::Frame& request) {
    return Reply(sim::kDataNotExpectingReply, request.src, 30);
  }).SendAt(800'000, poll);
  EmulatedBus bus = Bus(Controller(16, "silent = yes\n"), {&station});
  Start({}, true);
  Pause(1500);  // well beyond the 500 ms after which an active station makes a token
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(0, TarnixLink_SendFrameEx(kPort, 30, kReadInstance.data(), 4, 1, 512));
    Pause(100);
  }
  Stop();
  bus.Stop();

  EXPECT_EQ(bus.Count(sim::kToken, kPc), 0u);
  EXPECT_EQ(bus.Count(sim::kPollForMaster, kPc), 0u);
  EXPECT_EQ(bus.Count(sim::kReplyToPoll, kPc, 30), 1u);
  const std::vector<Outcome> outcomes = Outcomes();
  ASSERT_EQ(outcomes.size(), 3u);
  for (const Outcome& o : outcomes) {
    EXPECT_EQ(o.status, Delivered);
    EXPECT_EQ(o.source, 30u);
    EXPECT_EQ(o.data, (Octets{0x01, 0x05, 0xAA}));
  }
}

TEST_F(LinkBusTest, RawModePutsTheCallersOctetsOnTheLineAsTheyAre) {
  ScriptedStation station;
  station.AnswerAs(30, [](const sim::Frame& request) {
    return Reply(sim::kDataNotExpectingReply, request.src, 30);
  });
  EmulatedBus bus = Bus(Controller(16, "silent = yes\n"), {&station});
  Start({}, true);
  TarnixLink_DisableMSTPFraming(kPort, 1);
  // The caller frames the request itself.
  const Octets framed = sim::EncodeFrame(sim::kDataExpectingReply, 30, kPc, kReadInstance);
  EXPECT_EQ(0, TarnixLink_SendFrameEx(kPort, 30, framed.data(), static_cast<uint16_t>(framed.size()),
                                      0, 0));
  Pause(200);
  Stop();
  bus.Stop();

  const std::vector<LineFrame> frames = bus.Frames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames[0].octets, framed);
  const std::vector<Outcome> outcomes = Outcomes();
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].status, Delivered);
  EXPECT_EQ(outcomes[0].source, 30u);
}

TEST_F(LinkBusTest, TokenDropAnswersTheNamedStationsRequestWithTestRequestOnly) {
  const Octets dropped = sim::EncodeFrame(sim::kDataExpectingReply, kPc, 30, {0x01, 0x01});
  const Octets kept = sim::EncodeFrame(sim::kDataExpectingReply, kPc, 31, {0x01, 0x02});
  ScriptedStation station30;
  ScriptedStation station31;
  station30.SendAt(600'000, dropped);
  station31.SendAt(900'000, kept);
  EmulatedBus bus = Bus(Controller(16, "silent = yes\n"), {&station30, &station31});
  Start({}, true);
  TarnixLink_TokenDrop(kPort, 30);
  Pause(1200);
  Stop();
  bus.Stop();

  EXPECT_EQ(bus.Count(sim::kTestRequest, kPc, 30), 1u);
  EXPECT_EQ(bus.Count(sim::kTestRequest, kPc, 31), 0u);
  const std::vector<Outcome> outcomes = Outcomes();
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].status, Delivered);
  EXPECT_EQ(outcomes[0].source, 31u);
  EXPECT_EQ(outcomes[0].data, (Octets{0x01, 0x02}));
}

// --- Packet jam -----------------------------------------------------------------

TEST_F(LinkBusTest, PacketJamSilencesTheStationUntilItIsStopped) {
  EmulatedBus bus = Bus(Controller(16));
  Start({16});
  for (int waited = 0; waited < 5000 && CountOf(Outcomes(), Delivered) == 0; waited += 100) {
    Pause(100);
  }
  ASSERT_GT(CountOf(Outcomes(), Delivered), 0u);

  TarnixLink_PacketJam(kPort);
  Pause(400);  // a request under way when the jam began times out
  const size_t outcomesAtJam = Outcomes().size();
  const size_t deliveredAtJam = CountOf(Outcomes(), Delivered);
  const auto fromPc = [&bus] {
    size_t count = 0;
    for (const LineFrame& f : bus.Frames()) count += f.good && f.src == kPc ? 1 : 0;
    return count;
  };
  const size_t pcFramesAtJam = fromPc();
  Pause(1000);
  EXPECT_EQ(Outcomes().size(), outcomesAtJam);
  EXPECT_EQ(fromPc(), pcFramesAtJam);
  TarnixLink_StopPacketJam(kPort);

  Pause(2000);
  EXPECT_GE(CountOf(Outcomes(), Delivered), deliveredAtJam + 2);
  Stop();
  bus.Stop();
  // Besides its frames the station put the jam's octets on the line, one
  // every 10 ms for well over a second.
  uint64_t framed = 0;
  for (const LineFrame& f : bus.Frames()) framed += f.good && f.src == kPc ? f.octets.size() : 0;
  EXPECT_GE(bus.OctetsFromPc(), framed + 100);
}

}  // namespace
