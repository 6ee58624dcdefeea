// The exported interface on real ports (ptys) with the link's threads and the
// tick running: start, stop, sending, receiving and the packet jam.
#include "link/tarnix_link.h"

#include <dirent.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "../frame_builder.h"
#include "link/ports.h"
#include "link/serial_port.h"
#include "platform/sync.h"
#include "pty_peer.h"

namespace {

using tarnix_test::Octets;

const Octets kAbc = {0x61, 0x62, 0x63};
const Octets kAbcFrame = {0x55, 0xFF, 0x05, 0x06, 0x05, 0x00, 0x03, 0xAE, 0x61, 0x62, 0x63, 0x25, 0x9E};

int ThreadCount() {
  int count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) {
    return -1;
  }
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') {
      ++count;
    }
  }
  closedir(tasks);
  return count;
}

// A joined thread can stay listed for a moment after the join returns, until
// the kernel has reaped it; a thread that is still running stays for good.
int SettledThreadCount(int expected) {
  int count = ThreadCount();
  for (int i = 0; i < 100 && count != expected; ++i) {
    usleep(10'000);
    count = ThreadCount();
  }
  return count;
}

// The count with no thread of an earlier test still being reaped: the least
// seen over a tenth of a second.
int QuietThreadCount() {
  int least = ThreadCount();
  for (int i = 0; i < 20; ++i) {
    usleep(5'000);
    least = std::min(least, ThreadCount());
  }
  return least;
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::mutex gUpcallLock;
Octets gUpcallOctets;

int32_t CollectOctets(const char* /*portName*/, const uint8_t* data, uint32_t /*source*/,
                      uint32_t length, UpcallStatus /*status*/) {
  std::lock_guard<std::mutex> guard(gUpcallLock);
  gUpcallOctets.insert(gUpcallOctets.end(), data, data + length);
  return 0;
}

Octets CollectedOctets() {
  std::lock_guard<std::mutex> guard(gUpcallLock);
  return gUpcallOctets;
}

struct Delivery {
  Octets data;
  uint32_t source = 0;
  UpcallStatus status = Delivered;
};
std::vector<Delivery> gDeliveries;

int32_t CollectFrames(const char* /*portName*/, const uint8_t* data, uint32_t source, uint32_t length,
                      UpcallStatus status) {
  std::lock_guard<std::mutex> guard(gUpcallLock);
  gDeliveries.push_back({data == nullptr ? Octets() : Octets(data, data + length), source, status});
  return 0;
}

std::vector<Delivery> CollectedFrames() {
  std::lock_guard<std::mutex> guard(gUpcallLock);
  return gDeliveries;
}

std::atomic<int> gTokenCalls{0};
std::atomic<bool> gUpcallHeld{false};
std::atomic<bool> gUpcallEntered{false};

// An upcall that does not return until the test lets it.
int32_t HoldingUpcall(const char* /*portName*/, const uint8_t* /*data*/, uint32_t /*source*/,
                      uint32_t /*length*/, UpcallStatus /*status*/) {
  gUpcallEntered = true;
  while (gUpcallHeld.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}

// Sends one request to station 6 at the first token it is offered.
uint8_t RequestOnce(const char* portName) {
  if (gTokenCalls++ == 0) {
    TarnixLink_SendFrame(portName, 6, kAbc.data(), 3, 1);
  }
  return 0;
}

class LinkLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Sanitizer runtimes start a helper thread with the first thread of the
    // process; let that happen before counting.
    std::thread([] {}).join();
    baselineThreads = QuietThreadCount();
    std::lock_guard<std::mutex> guard(gUpcallLock);
    gUpcallOctets.clear();
    gDeliveries.clear();
    gTokenCalls = 0;
  }

  void TearDown() override {
    EXPECT_EQ(0, tarnix::LinkPortCount());
    // A failed test must not leave its ports to the next one.
    gUpcallHeld = false;
    for (const char* name : {"Com3", "Com4", "Com5"}) {
      TarnixLink_UnInit(name);
    }
    EXPECT_FALSE(tarnix::TickRunning());
    EXPECT_EQ(baselineThreads, SettledThreadCount(baselineThreads));
  }

  // Starts a port in passive mode, so that it sends only what the test asks.
  static int8_t StartPassive(const char* name, int32_t station = 5) {
    LinkConfig config{name, 38400, 15, 3, station, nullptr, nullptr};
    const int8_t result = TarnixLink_Init(&config);
    TarnixLink_DisableMasterServices(name, 1);
    return result;
  }

  static tarnix::NodeState& Node(const char* name) {
    tarnix::NodeState* node = tarnix::FindNodeState(tarnix::PortIdOf(name));
    EXPECT_NE(nullptr, node);
    return *node;
  }

  int baselineThreads = 0;
  tarnix_test::PortDirectory dir;
  tarnix_test::PtyPeer com3{dir, "com3"};
};

TEST_F(LinkLifecycleTest, PassiveSendPutsExactlyTheWorkedFrameOnTheLine) {
  ASSERT_EQ(0, StartPassive("Com3"));
  EXPECT_EQ(0, TarnixLink_SendFrameEx("Com3", 6, kAbc.data(), 3, 1, 512));
  EXPECT_EQ(kAbcFrame, com3.Drain());
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

TEST_F(LinkLifecycleTest, PortIdsAreGivenOutFrom255AndReused) {
  tarnix_test::PtyPeer com4{dir, "com4"};
  tarnix_test::PtyPeer com5{dir, "com5"};
  ASSERT_EQ(0, StartPassive("Com3", 1));
  ASSERT_EQ(0, StartPassive("Com4", 2));
  EXPECT_EQ(255, tarnix::PortIdOf("Com3"));
  EXPECT_EQ(254, tarnix::PortIdOf("Com4"));
  EXPECT_EQ(1, TarnixLink_GetAddress("Com3"));
  EXPECT_EQ(2, TarnixLink_GetAddress("Com4"));
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
  EXPECT_EQ(255, TarnixLink_GetAddress("Com3"));
  ASSERT_EQ(0, StartPassive("Com5", 3));
  EXPECT_EQ(255, tarnix::PortIdOf("Com5"));
  EXPECT_EQ(0, TarnixLink_UnInit("Com4"));
  EXPECT_EQ(0, TarnixLink_UnInit("Com5"));
  EXPECT_EQ(1, TarnixLink_UnInit("Com5"));
}

TEST_F(LinkLifecycleTest, SecondInitOfARunningPortIsRefusedSilentlyAndLeavesItWorking) {
  ASSERT_EQ(0, StartPassive("Com3"));
  LinkConfig config{"Com3", 38400, 15, 3, 7, nullptr, nullptr};
  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, TarnixLink_Init(&config));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  // What tells the caller why: the port runs on, with the address it had.
  EXPECT_EQ(5, TarnixLink_GetAddress("Com3"));
  EXPECT_EQ(1, tarnix::LinkPortCount());
  EXPECT_EQ(0, TarnixLink_SendFrameEx("Com3", 6, kAbc.data(), 3, 1, 512));
  EXPECT_EQ(kAbcFrame, com3.Drain());
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

TEST_F(LinkLifecycleTest, GivesUpWhileAnotherStartHoldsInitSem) {
  plat::SemHandle held = plat::sem_open_global("InitSem", 1, 1);
  ASSERT_NE(nullptr, held);
  ASSERT_EQ(plat::WaitResult::Signaled, plat::sem_wait(held, 0));
  LinkConfig config{"Com3", 38400, 15, 3, 5, nullptr, nullptr};
  EXPECT_EQ(-1, TarnixLink_Init(&config));  // after its ten seconds
  EXPECT_EQ(0, tarnix::LinkPortCount());
  EXPECT_TRUE(plat::sem_release(held));
  EXPECT_TRUE(plat::sem_close(held));
  EXPECT_EQ(0, StartPassive("Com3"));
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

TEST_F(LinkLifecycleTest, SendFrameExSetsReplyWaitOnlyForExpectingReplyFrames) {
  ASSERT_EQ(0, StartPassive("Com3"));
  tarnix::NodeState& node = Node("Com3");
  const struct {
    uint16_t timeout;
    uint16_t wait;
  } cases[] = {{0, 125}, {1000, 375}, {65535, 16500}};
  for (const auto& c : cases) {
    EXPECT_EQ(0, TarnixLink_SendFrameEx("Com3", 6, kAbc.data(), 3, 1, c.timeout));
    EXPECT_EQ(c.wait, node.ReplyTimeout.load()) << c.timeout;
    EXPECT_EQ(c.wait, node.FrameAbortTimeout.load()) << c.timeout;
  }
  EXPECT_EQ(0, TarnixLink_SendFrameEx("Com3", 6, kAbc.data(), 3, 0, 0));
  EXPECT_EQ(16500, node.ReplyTimeout.load());
  EXPECT_EQ(0, TarnixLink_SendFrame("Com3", 6, kAbc.data(), 3, 1));
  EXPECT_EQ(250, node.ReplyTimeout.load());
  com3.Drain();
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

TEST_F(LinkLifecycleTest, RefusesMoreThan501DataOctetsWithoutTouchingTheLine) {
  ASSERT_EQ(0, StartPassive("Com3"));
  tarnix::NodeState& node = Node("Com3");
  static uint8_t big[600] = {};
  node.RequestBuffer.Length = 7;
  EXPECT_EQ(1, TarnixLink_SendFrameEx("Com3", 6, big, 502, 1, 0));
  EXPECT_EQ(1, TarnixLink_SendFrameEx("Com3", 6, big, 65535, 1, 0));
  EXPECT_EQ(7, node.RequestBuffer.Length);
  EXPECT_EQ(125, node.ReplyTimeout.load());
  EXPECT_TRUE(com3.Drain().empty());
  EXPECT_EQ(0, TarnixLink_SendFrameEx("Com3", 6, big, 501, 0, 0));
  EXPECT_EQ(8u + 501u + 2u, com3.Drain().size());
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

TEST_F(LinkLifecycleTest, OpensThePortAt8N1AndSetBaudChangesOnlyTheRate) {
  ASSERT_EQ(0, StartPassive("Com3"));
  termios line{};
  ASSERT_EQ(0, tcgetattr(com3.fd(), &line));
  EXPECT_EQ(static_cast<speed_t>(B38400), cfgetospeed(&line));
  EXPECT_EQ(static_cast<tcflag_t>(CS8), line.c_cflag & CSIZE);
  EXPECT_EQ(0u, line.c_cflag & (PARENB | CSTOPB));
  TarnixLink_SetBaud("Com3", 9600);
  ASSERT_EQ(0, tcgetattr(com3.fd(), &line));
  EXPECT_EQ(static_cast<speed_t>(B9600), cfgetospeed(&line));
  EXPECT_EQ(static_cast<tcflag_t>(CS8), line.c_cflag & CSIZE);
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

// A driver left with flow control on would hold the frames back behind a CTS
// line or an XOFF octet that nobody on the bus sends.
TEST_F(LinkLifecycleTest, OpensThePortWithEveryKindOfFlowControlOff) {
  termios line{};
  ASSERT_EQ(0, tcgetattr(com3.fd(), &line));
  line.c_cflag |= CRTSCTS;
  line.c_iflag |= IXON | IXOFF | IXANY;
  ASSERT_EQ(0, tcsetattr(com3.fd(), TCSANOW, &line));
  ASSERT_EQ(0, StartPassive("Com3"));
  ASSERT_EQ(0, tcgetattr(com3.fd(), &line));
  EXPECT_EQ(0u, line.c_cflag & CRTSCTS);
  EXPECT_EQ(0u, line.c_iflag & (IXON | IXOFF | IXANY));
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

TEST_F(LinkLifecycleTest, SettersReachTheRunningPort) {
  ASSERT_EQ(0, StartPassive("Com3"));
  tarnix::NodeState& node = Node("Com3");
  tarnix::LinkPort* port = tarnix::FindLinkPort(tarnix::PortIdOf("Com3"));
  ASSERT_NE(nullptr, port);
  EXPECT_EQ(0, TarnixLink_SetMaxRequestResend("Com3", 2));
  EXPECT_EQ(2, node.MaxRequestResend.load());
  TarnixLink_TokenDrop("Com3", 9);
  EXPECT_EQ(9, port->TokenDropAddress.load());
  TarnixLink_SetUpcallDelegate("Com3", CollectOctets);
  EXPECT_EQ(&CollectOctets, node.Upcall.load());
  TarnixLink_DisableMSTPFraming("Com3", 7);
  EXPECT_EQ(1u, port->FramingDisabled.load());
  EXPECT_EQ(0, TarnixLink_SendFrameEx("Com3", 6, kAbc.data(), 3, 0, 0));
  EXPECT_EQ(kAbc, com3.Drain());
  TarnixLink_DisableMSTPFraming("Com3", 0);
  TarnixLink_CheckSumError("Com3");
  EXPECT_EQ(0, TarnixLink_SendFrameEx("Com3", 6, kAbc.data(), 3, 1, 0));
  const Octets line = com3.Drain();
  ASSERT_EQ(kAbcFrame.size(), line.size());
  EXPECT_EQ(0xFF, line[11]);
  EXPECT_EQ(0xFF, line[12]);
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

TEST_F(LinkLifecycleTest, ReceivedOctetsReachTheUpcallInImmediateMode) {
  ASSERT_EQ(0, StartPassive("Com3"));
  TarnixLink_SetUpcallDelegate("Com3", CollectOctets);
  TarnixLink_EnableImmediateUpcall("Com3", 1);
  const Octets sent = {0x10, 0x55, 0xFF, 0x20};
  com3.Send(sent);
  Pause(100);
  EXPECT_EQ(sent, CollectedOctets());
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

TEST_F(LinkLifecycleTest, NewPortDoesNotInheritImmediateModeFromTheSlotsEarlierUse) {
  ASSERT_EQ(0, StartPassive("Com3"));
  TarnixLink_EnableImmediateUpcall("Com3", 1);
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
  ASSERT_EQ(0, StartPassive("Com3"));
  EXPECT_EQ(0, Node("Com3").ImmediateUpcall.load());
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

TEST_F(LinkLifecycleTest, PassivePortAnswersPollsAndDeliversFramesForIt) {
  ASSERT_EQ(0, StartPassive("Com3"));
  TarnixLink_SetUpcallDelegate("Com3", CollectFrames);
  com3.Send(tarnix_test::BuildFrame(tarnix::kFramePollForMaster, 5, 9, {}));
  EXPECT_EQ(tarnix_test::BuildFrame(tarnix::kFrameReplyToPoll, 9, 5, {}), com3.Drain());
  com3.Send(tarnix_test::BuildFrame(tarnix::kFrameDataNotExpectingReply, 5, 9, kAbc));
  com3.Send(tarnix_test::BuildFrame(tarnix::kFrameDataNotExpectingReply, 7, 9, {0x01}));
  Pause(50);
  const std::vector<Delivery> frames = CollectedFrames();
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(kAbc, frames[0].data);
  EXPECT_EQ(9u, frames[0].source);
  EXPECT_EQ(Delivered, frames[0].status);
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

TEST_F(LinkLifecycleTest, TokenHolderSendsItsRequestAndGetsTheReply) {
  LinkConfig config{"Com3", 38400, 15, 3, 5, RequestOnce, CollectFrames};
  ASSERT_EQ(0, TarnixLink_Init(&config));
  com3.Send(tarnix_test::BuildFrame(tarnix::kFrameToken, 5, 6, {}));
  const Octets request = com3.Drain(30);
  EXPECT_EQ(kAbcFrame, request);
  com3.Send(tarnix_test::BuildFrame(tarnix::kFrameDataNotExpectingReply, 5, 6, {0x78, 0x79}));
  Pause(50);
  const std::vector<Delivery> frames = CollectedFrames();
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ((Octets{0x78, 0x79}), frames[0].data);
  EXPECT_EQ(6u, frames[0].source);
  EXPECT_EQ(Delivered, frames[0].status);
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

// The request that answers a token goes only once the line has been silent
// 3 ms after the token's last octet. Closed while it waits for the reply, the
// port ends that wait and passes the token, before it lets go, to the station
// it came from (it knows no successor yet).
TEST_F(LinkLifecycleTest, WaitsOutTheSilenceAfterATokenAndPassesTheTokenOnAtUnInit) {
  LinkConfig config{"Com3", 38400, 15, 3, 5, RequestOnce, CollectFrames};
  ASSERT_EQ(0, TarnixLink_Init(&config));
  const Octets token = tarnix_test::BuildFrame(tarnix::kFrameToken, 5, 6, {});
  ASSERT_EQ(static_cast<ssize_t>(token.size()), write(com3.fd(), token.data(), token.size()));
  const auto tokenIn = std::chrono::steady_clock::now();
  pollfd entry{com3.fd(), POLLIN, 0};
  ASSERT_EQ(1, poll(&entry, 1, 1000));
  EXPECT_GE(std::chrono::steady_clock::now() - tokenIn, std::chrono::milliseconds(3));
  EXPECT_EQ(kAbcFrame, com3.Drain(30));
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
  EXPECT_EQ(tarnix_test::BuildFrame(tarnix::kFrameToken, 6, 5, {}), com3.Drain(30));
  const std::vector<Delivery> frames = CollectedFrames();
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(ReplyTimeout, frames[0].status);
}

TEST_F(LinkLifecycleTest, UnInitKeepsThePortWhileADelegateHoldsTheMasterThread) {
  ASSERT_EQ(0, StartPassive("Com3"));
  gUpcallHeld = true;
  gUpcallEntered = false;
  TarnixLink_SetUpcallDelegate("Com3", HoldingUpcall);
  com3.Send(tarnix_test::BuildFrame(tarnix::kFrameDataNotExpectingReply, 5, 9, kAbc));
  for (int i = 0; i < 200 && !gUpcallEntered.load(); ++i) {
    Pause(5);
  }
  ASSERT_TRUE(gUpcallEntered.load());
  // Gives up after its bounded wait, and releases nothing the thread still uses.
  EXPECT_EQ(1, TarnixLink_UnInit("Com3"));
  EXPECT_EQ(1, tarnix::LinkPortCount());
  EXPECT_NE(nullptr, tarnix::FindNodeState(tarnix::PortIdOf("Com3")));
  gUpcallHeld = false;
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

TEST_F(LinkLifecycleTest, UnInitEndsEveryThreadAcrossRepeatedCycles) {
  for (int cycle = 0; cycle < 5; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_EQ(0, StartPassive("Com3"));
    // Receiver and master; the timers need no thread of their own.
    EXPECT_EQ(baselineThreads + 2, ThreadCount());
    if (cycle % 2 == 1) {
      com3.Send({0x55, 0xFF, 0x00});  // leave the receiver in the middle of a frame
    }
    EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
    EXPECT_EQ(baselineThreads, SettledThreadCount(baselineThreads));
    EXPECT_FALSE(tarnix::TickRunning());
  }
}

TEST_F(LinkLifecycleTest, FailedInitGivesBackSoThatALaterInitStartsTheTick) {
  LinkConfig bad{"Com3", 38400, 128, 3, 5, nullptr, nullptr};
  EXPECT_EQ(-1, TarnixLink_Init(&bad));
  EXPECT_EQ(0, tarnix::LinkPortCount());
  EXPECT_EQ(0, tarnix::PortIdOf("Com3"));
  ASSERT_EQ(0, StartPassive("Com3"));
  EXPECT_TRUE(tarnix::TickRunning());
  tarnix::NodeState& node = Node("Com3");
  node.SilenceTimer = 0;
  Pause(100);
  EXPECT_GE(node.SilenceTimer.load(), 20u);
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

TEST_F(LinkLifecycleTest, TickFollowsTheOpenPorts) {
  tarnix_test::PtyPeer com4{dir, "com4"};
  ASSERT_EQ(0, StartPassive("Com3", 1));
  ASSERT_EQ(0, StartPassive("Com4", 2));
  tarnix::NodeState& first = Node("Com3");
  tarnix::NodeState& second = Node("Com4");
  first.SilenceTimer = 0;
  second.SilenceTimer = 0;
  Pause(60);
  EXPECT_GE(first.SilenceTimer.load(), 10u);
  EXPECT_GE(second.SilenceTimer.load(), 10u);
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
  EXPECT_TRUE(tarnix::TickRunning());
  second.SilenceTimer = 0;
  Pause(60);
  EXPECT_GE(second.SilenceTimer.load(), 10u);
  EXPECT_EQ(0, TarnixLink_UnInit("Com4"));
  EXPECT_FALSE(tarnix::TickRunning());
}

TEST_F(LinkLifecycleTest, PacketJamFloodsTheLineAndHoldsOffReception) {
  ASSERT_EQ(0, StartPassive("Com3"));
  TarnixLink_SetUpcallDelegate("Com3", CollectOctets);
  TarnixLink_EnableImmediateUpcall("Com3", 1);
  TarnixLink_PacketJam("Com3");
  TarnixLink_PacketJam("Com3");  // a second jam is ignored, not a deadlock
  TarnixLink_DisableMasterServices("Com3", 0);
  EXPECT_EQ(1, TarnixLink_SendFrameEx("Com3", 6, kAbc.data(), 3, 0, 0));
  TarnixLink_DisableMasterServices("Com3", 1);
  com3.Send({0x31, 0x32});
  const Octets jam = com3.ReadFor(150);
  EXPECT_GE(jam.size(), 5u);
  EXPECT_EQ(Octets(jam.size(), 0xFF), jam);
  EXPECT_TRUE(CollectedOctets().empty());
  TarnixLink_StopPacketJam("Com3");
  Pause(100);
  EXPECT_EQ((Octets{0x31, 0x32}), CollectedOctets());
  com3.Drain(30);
  EXPECT_TRUE(com3.ReadFor(60).empty());
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
}

TEST_F(LinkLifecycleTest, UnInitDuringAJamStopsTheJamToo) {
  ASSERT_EQ(0, StartPassive("Com3"));
  TarnixLink_PacketJam("Com3");
  EXPECT_FALSE(com3.ReadFor(50).empty());
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
  com3.Drain(30);
  EXPECT_TRUE(com3.ReadFor(60).empty());
}

}  // namespace
