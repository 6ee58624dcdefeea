#include "sim/pty_endpoint.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sched.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <filesystem>
#include <thread>
#include <vector>

#include "sim/bus.h"
#include "sim/controller.h"
#include "sim/runner.h"
#include "tests/support/scripted_station.h"

namespace sim {
namespace {

namespace fs = std::filesystem;
using test_support::MakeFrame;
using test_support::ScriptedStation;

Micros MonotonicMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Micros>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

std::vector<uint8_t> Pattern(size_t count) {
  std::vector<uint8_t> octets(count);
  for (size_t i = 0; i < count; ++i) octets[i] = static_cast<uint8_t>(i);
  return octets;
}

// The PC's side of a port: opens the link as a serial program would.
class PcPort {
 public:
  PcPort(const std::string& path, speed_t speed) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ < 0) return;
    termios settings{};
    tcgetattr(fd_, &settings);
    cfmakeraw(&settings);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    tcsetattr(fd_, TCSANOW, &settings);
  }
  ~PcPort() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Write(const std::vector<uint8_t>& octets) const {
    // One octet per write, as the product's link does.
    for (uint8_t octet : octets) ASSERT_EQ(write(fd_, &octet, 1), 1);
  }
  // Reads until `count` octets came or `timeout_ms` passed; each octet is
  // stamped with the time its read returned.
  std::vector<std::pair<uint8_t, Micros>> Read(size_t count, int timeout_ms) const {
    std::vector<std::pair<uint8_t, Micros>> got;
    const Micros deadline = MonotonicMicros() + timeout_ms * 1000;
    while (got.size() < count) {
      const Micros left = deadline - MonotonicMicros();
      if (left <= 0) break;
      pollfd fd{fd_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left / 1000) + 1) <= 0) continue;
      uint8_t buffer[256];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      const Micros at = MonotonicMicros();
      for (ssize_t i = 0; i < n; ++i) got.emplace_back(buffer[i], at);
    }
    return got;
  }

 private:
  int fd_ = -1;
};

// A bus with one pty port and scripted stations, run by a Runner on its
// own thread for the length of a test.
class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tarnix-ports-" + std::to_string(getpid()));
    std::string error;
    endpoint_ = PtyEndpoint::Create((dir_ / "com1").string(), 38400, &error);
    ASSERT_NE(endpoint_, nullptr) << error;
    ASSERT_TRUE(endpoint_->Publish(&error)) << error;
    bus_.Attach(endpoint_.get(), false);
  }
  void TearDown() override {
    Stop();
    endpoint_.reset();
    fs::remove_all(dir_);
  }
  std::string Link() const { return (dir_ / "com1").string(); }

  // Stations live as long as the fixture, so the runner never outlives one.
  ScriptedStation& AddStation(uint32_t baud = 38400) {
    ScriptedStation& station = stations_.emplace_back(baud);
    bus_.Attach(&station, false);
    return station;
  }
  Controller& AddController(const ControllerConfig& config) {
    controllers_.push_back(std::make_unique<Controller>(config, DeviceProtocol{}));
    bus_.Attach(controllers_.back().get(), true);
    return *controllers_.back();
  }

  void Start() {
    runner_thread_ = std::thread([this] {
      Runner runner(bus_, {endpoint_.get()});
      runner.Run(stop_);
    });
  }
  void Stop() {
    stop_ = true;
    if (runner_thread_.joinable()) runner_thread_.join();
  }

  fs::path dir_;
  Bus bus_;
  std::unique_ptr<PtyEndpoint> endpoint_;
  std::deque<ScriptedStation> stations_;
  std::vector<std::unique_ptr<Controller>> controllers_;
  std::atomic<bool> stop_{false};
  std::thread runner_thread_;
};

TEST_F(PortTest, LinkLeadsToALiveTerminalUntilTheEndpointGoes) {
  ASSERT_TRUE(fs::is_symlink(Link()));
  EXPECT_EQ(fs::read_symlink(Link()), endpoint_->SlavePath());
  {
    PcPort pc(Link(), B38400);
    ASSERT_TRUE(pc.ok());
  }
  endpoint_.reset();
  EXPECT_FALSE(fs::exists(fs::symlink_status(Link())));
}

TEST_F(PortTest, PublishingReplacesAStaleLink) {
  std::string error;
  auto second = PtyEndpoint::Create((dir_ / "com2").string(), 38400, &error);
  ASSERT_NE(second, nullptr) << error;
  fs::create_symlink("/dev/pts/does-not-exist", dir_ / "com2");
  ASSERT_TRUE(second->Publish(&error)) << error;
  EXPECT_EQ(fs::read_symlink(dir_ / "com2"), second->SlavePath());
}

TEST_F(PortTest, PcOctetsGoOntoTheBusAtLineRateAndNeverComeBack) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "octet timing is not measurable under the thread sanitizer's slow-down";
#endif
  ScriptedStation& station = AddStation();
  PcPort pc(Link(), B38400);
  ASSERT_TRUE(pc.ok());
  Start();
  const auto token = MakeFrame(0, 16, 3);
  pc.Write(token);
  EXPECT_TRUE(pc.Read(1, 300).empty()) << "the PC heard its own octets";
  Stop();
  ASSERT_EQ(station.HeardOctets(), token);
  for (size_t i = 1; i < token.size(); ++i) {
    const Micros gap = station.heard()[i].at - station.heard()[i - 1].at;
    EXPECT_TRUE(gap == 260 || gap == 261) << gap;
  }
  EXPECT_EQ(endpoint_->OctetsIn(), token.size());
}

TEST_F(PortTest, PcHearsBusOctetsAboutTenBitTimesApart) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "octet timing is not measurable under the thread sanitizer's slow-down";
#endif
  ScriptedStation& station = AddStation();
  constexpr int kFrames = 20;
  const auto frame = MakeFrame(6, 3, 16, std::vector<uint8_t>(40, 0x5A));
  for (int i = 0; i < kFrames; ++i) station.SendAt(100'000 + i * 40'000, frame);
  PcPort pc(Link(), B38400);
  ASSERT_TRUE(pc.ok());
  Start();
  // The reader, like the runner, asks for real-time priority so that busy
  // neighbours on the host do not make it read several octets at once.
  int policy = 0;
  sched_param before{};
  pthread_getschedparam(pthread_self(), &policy, &before);
  const sched_param priority{.sched_priority = Runner::kPriority};
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
  const auto got = pc.Read(frame.size() * kFrames, 5'000);
  pthread_setschedparam(pthread_self(), policy, &before);
  Stop();
  ASSERT_EQ(got.size(), frame.size() * kFrames);
  // Gaps inside frames only; a frame starts after a silence of over 20 ms.
  std::vector<Micros> gaps;
  for (size_t i = 1; i < got.size(); ++i) {
    if (i % frame.size() != 0) gaps.push_back(got[i].second - got[i - 1].second);
  }
  std::nth_element(gaps.begin(), gaps.begin() + static_cast<long>(gaps.size() / 2), gaps.end());
  const Micros median = gaps[gaps.size() / 2];
  EXPECT_GE(median, 208) << "median gap " << median << " us";
  EXPECT_LE(median, 313) << "median gap " << median << " us";
}

TEST_F(PortTest, PcAtAnotherSpeedIsHeardAsGarbageByTheBusAndClearlyByItsPeers) {
  ScriptedStation& bus_station = AddStation(38400);
  ScriptedStation& modbus_device = AddStation(9600);
  PcPort pc(Link(), B9600);
  ASSERT_TRUE(pc.ok());
  Start();
  const std::vector<uint8_t> request{0x01, 0x06, 0x09, 0xBC, 0x05, 0x06, 0x4B, 0x13};
  pc.Write(request);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Stop();
  EXPECT_EQ(modbus_device.HeardOctets(), request);
  ASSERT_EQ(bus_station.HeardOctets().size(), request.size());
  EXPECT_NE(bus_station.HeardOctets(), request);
  ASSERT_EQ(modbus_device.heard().size(), request.size());
  const Micros gap = modbus_device.heard()[1].at - modbus_device.heard()[0].at;
  EXPECT_TRUE(gap == 1041 || gap == 1042) << "octets at 9600 must be 1041.7 us apart, not " << gap;
}

TEST_F(PortTest, PortKeepsWorkingWhenThePcClosesAndReopensIt) {
  ScriptedStation& station = AddStation();
  for (int i = 0; i < 40; ++i) station.SendAt(i * 25'000, MakeFrame(0, 3, 16));
  Start();
  {
    PcPort pc(Link(), B38400);
    ASSERT_TRUE(pc.ok());
    EXPECT_EQ(pc.Read(8, 500).size(), 8u);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  PcPort again(Link(), B38400);
  ASSERT_TRUE(again.ok());
  const auto got = again.Read(16, 500);
  ASSERT_EQ(got.size(), 16u);
  // Whole frames: nothing stale or half-written was left for the new opener.
  std::vector<uint8_t> octets;
  for (const auto& [octet, at] : got) octets.push_back(octet);
  EXPECT_EQ(std::vector<uint8_t>(octets.begin(), octets.begin() + 8), MakeFrame(0, 3, 16));
}

// A program that dies holding the port exclusively never clears the flag; a
// serial port drops it at its last close, and so must the emulated one.
TEST_F(PortTest, PortOpensAgainAfterAProgramDiedHoldingItExclusively) {
  ScriptedStation& station = AddStation();
  for (int i = 0; i < 80; ++i) station.SendAt(i * 25'000, MakeFrame(0, 3, 16));
  const fs::path first = fs::read_symlink(Link());
  Start();
  const int crashed = open(Link().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(crashed, 0);
  ASSERT_EQ(ioctl(crashed, TIOCEXCL), 0);
  close(crashed);

  // A privileged test run could open the old terminal despite the flag, so
  // wait for the link to move rather than for an open to succeed.
  const Micros deadline = MonotonicMicros() + 500'000;
  std::error_code ec;
  while (fs::read_symlink(Link(), ec) == first && MonotonicMicros() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_NE(fs::read_symlink(Link(), ec), first) << "the port was not renewed within 500 ms";
  PcPort again(Link(), B38400);
  ASSERT_TRUE(again.ok());
  const int probe = open(Link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(probe, 0);
  int exclusive = 1;
  EXPECT_EQ(ioctl(probe, TIOCGEXCL, &exclusive), 0);
  close(probe);
  EXPECT_EQ(exclusive, 0);
  // Still on the bus: the station's frames reach the renewed port.
  const auto got = again.Read(8, 500);
  Stop();
  EXPECT_EQ(got.size(), 8u);
  EXPECT_EQ(endpoint_->SlavePath(), fs::read_symlink(Link(), ec).string());
  EXPECT_EQ(endpoint_->Renewals(), 1u);
}

// A program that closes the port properly and opens it again at once (as the
// tool does between listening to the bus and starting its link) must find the
// same terminal, not one being swapped under it.
TEST_F(PortTest, PortClosedProperlyKeepsItsTerminal) {
  AddStation();
  const fs::path first = fs::read_symlink(Link());
  Start();
  for (int i = 0; i < 3; ++i) {
    const int fd = open(Link().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
    // Long enough for the emulator to see the port in use.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(ioctl(fd, TIOCNXCL), 0);
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Stop();
  EXPECT_EQ(fs::read_symlink(Link()), first);
  EXPECT_EQ(endpoint_->Renewals(), 0u);
}

// The adapter's packets, in bus time: the bus is stepped by hand, and at each
// checkpoint the port must have handed over exactly so many octets in so many
// packets.
TEST_F(PortTest, AdapterHandsOverOctetsInFullPacketsOrOnceItsLatencyRunsOut) {
  struct Checkpoint {
    Micros at;
    uint64_t octets;
    uint64_t packets;
  };
  struct Case {
    const char* name;
    AdapterBatching adapter;
    size_t sent;  // octets sent back to back from bus time 0
    std::vector<Checkpoint> checkpoints;
  };
  const auto end = [](uint64_t index) { return OctetEnd(index, 38400); };
  const Case cases[] = {
      {"a full packet at once", {16, 62}, 62,
       {{end(60), 0, 0}, {end(61) - 1, 0, 0}, {end(61), 62, 1}}},
      {"a lone octet after the latency, not before", {16, 62}, 1,
       {{end(0) + 15'999, 0, 0}, {end(0) + 16'000, 1, 1}}},
      {"the rest after the latency from its first octet", {16, 62}, 100,
       {{end(61), 62, 1}, {end(99), 62, 1}, {end(62) + 15'999, 62, 1}, {end(62) + 16'000, 100, 2}}},
      {"small packets", {16, 4}, 10,
       {{end(3), 4, 1}, {end(7), 8, 2}, {end(9), 8, 2}, {end(8) + 16'000, 10, 3}}},
      {"off: each octet as it ends", {0, 62}, 3,
       {{end(0), 1, 1}, {end(1) - 1, 1, 1}, {end(2), 3, 3}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bus bus;
    std::string error;
    auto endpoint = PtyEndpoint::Create((dir_ / "adapter").string(), 38400, &error);
    ASSERT_NE(endpoint, nullptr) << error;
    ASSERT_TRUE(endpoint->Publish(&error)) << error;
    endpoint->SetBatching(c.adapter);
    ScriptedStation station;
    bus.Attach(&station, false);
    bus.Attach(endpoint.get(), false);
    PcPort pc((dir_ / "adapter").string(), B38400);
    ASSERT_TRUE(pc.ok());
    ASSERT_TRUE(endpoint->RefreshAttached());
    const auto sent = Pattern(c.sent);
    station.SendAt(0, sent);
    for (const Checkpoint& checkpoint : c.checkpoints) {
      bus.RunUntil(checkpoint.at);
      EXPECT_EQ(endpoint->OctetsOut(), checkpoint.octets) << "at " << checkpoint.at << " us";
      EXPECT_EQ(endpoint->PacketsOut(), checkpoint.packets) << "at " << checkpoint.at << " us";
    }
    const auto got = pc.Read(c.sent, 2'000);
    std::vector<uint8_t> octets;
    for (const auto& [octet, at] : got) octets.push_back(octet);
    EXPECT_EQ(octets, sent);
  }
}

// A PC-side peer against an emulated controller through the port: it asks the
// controller something, and once it has read the answer it sends its next
// request after `wait`. Sent before the controller's driver is off (1 ms by
// default), the request is damaged on the line, goes unanswered and is
// counted; sent 3 ms after, it is answered. How soon a request really starts
// depends on the host, so each quick request is judged by what came of it:
// every unanswered one must be counted, and the controller must have served
// exactly the answered ones.
class TurnaroundPeerTest : public PortTest {
 protected:
  static constexpr int kAttempts = 12;

  // Requests that went unanswered, as the peer saw them; requests the
  // controller served and damaged frames the bus counted.
  struct Result {
    int unanswered = 0;
    uint64_t served = 0;
    uint64_t counted = 0;
  };

  Result Run(Micros wait) {
    Result result;
    ControllerConfig config;
    const Controller& controller = AddController(config);
    PcPort pc(Link(), B38400);
    EXPECT_TRUE(pc.ok());
    if (!pc.ok()) return result;
    Start();
    int policy = 0;
    sched_param before{};
    pthread_getschedparam(pthread_self(), &policy, &before);
    const sched_param priority{.sched_priority = Runner::kPriority};
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
    const auto probe = MakeFrame(5, config.address, 1, {1, 1});
    const size_t answer = MakeFrame(6, 1, config.address, {1, 1, 28, 0}).size();
    for (int i = 0; i < kAttempts; ++i) {
      // A first request after a silence well past any release time.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      pc.Write(probe);
      if (pc.Read(answer, 500).size() != answer) {
        ADD_FAILURE() << "no answer to a request after a silence";
        break;
      }
      const Micros go = MonotonicMicros() + wait;
      while (MonotonicMicros() < go) {
      }
      pc.Write(probe);
      if (pc.Read(answer, 100).size() != answer) ++result.unanswered;
    }
    pthread_setschedparam(pthread_self(), policy, &before);
    Stop();
    result.served = controller.requestsServed();
    result.counted = bus_.Counters().turnaround_damaged;
    return result;
  }
};

TEST_F(TurnaroundPeerTest, RequestSentAFractionOfAMillisecondAfterTheAnswerIsDamagedAndCounted) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sub-millisecond timing is not reachable under the thread sanitizer's slow-down";
#endif
  const Result result = Run(300);
  EXPECT_GE(result.unanswered, 1) << "no request started within the controller's release time";
  EXPECT_EQ(result.counted, static_cast<uint64_t>(result.unanswered));
  EXPECT_EQ(result.served, static_cast<uint64_t>(2 * kAttempts - result.unanswered));
}

TEST_F(TurnaroundPeerTest, RequestSentThreeMillisecondsAfterTheAnswerIsServed) {
  const Result result = Run(3'000);
  EXPECT_EQ(result.unanswered, 0);
  EXPECT_EQ(result.counted, 0u);
  EXPECT_EQ(result.served, static_cast<uint64_t>(2 * kAttempts));
}

}  // namespace
}  // namespace sim
