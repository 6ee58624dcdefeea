// Serial ports through the platform interface, on a port whose far end sends
// every octet back. The port is named by BREVANE_TEST_ECHO_PORT (for example
// "Com7"); without it these tests are skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/clock.h"
#include "platform/serial.h"

namespace {

constexpr plat::Timeouts kImmediate{plat::kMaxDword, 0, 0, 0, 0};

class EchoPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* name = std::getenv("BREVANE_TEST_ECHO_PORT");
    if (name == nullptr || *name == '\0') GTEST_SKIP() << "BREVANE_TEST_ECHO_PORT is not set";
    name_ = name;
    port_ = plat::serial_open(name, plat::Access::ReadWrite);
    ASSERT_NE(port_, nullptr) << name << ": error " << plat::last_error();
    plat::LineSettings line;
    ASSERT_TRUE(plat::serial_get_line(port_, &line));
    line.baud_rate = 38400;
    line.byte_size = 8;
    line.parity = 0;
    line.stop_bits = 0;
    line.binary = true;
    line.parity_check = false;
    line.discard_null = false;
    line.abort_on_error = false;
    ASSERT_TRUE(plat::serial_set_line(port_, line));
    ASSERT_TRUE(plat::serial_purge(port_, plat::kPurgeRx | plat::kPurgeTx));
  }
  void TearDown() override {
    if (port_ != nullptr) {
      EXPECT_TRUE(plat::serial_close(port_));
    }
  }

  void send(const std::string& octets) {
    uint32_t done = 0;
    ASSERT_TRUE(plat::serial_write(port_, octets.data(), static_cast<uint32_t>(octets.size()), &done));
    ASSERT_EQ(done, octets.size());
  }

  // One read with the given time-outs; *ms is how long it took.
  std::string read(const plat::Timeouts& timeouts, uint32_t length, uint32_t* ms) {
    EXPECT_TRUE(plat::serial_set_timeouts(port_, timeouts));
    std::string buffer(length, '\0');
    uint32_t done = 0;
    const uint32_t start = plat::now_ms();
    EXPECT_TRUE(plat::serial_read(port_, buffer.data(), length, &done));
    *ms = plat::now_ms() - start;
    buffer.resize(done);
    return buffer;
  }

  std::string name_;
  plat::SerialHandle port_ = nullptr;
};

TEST_F(EchoPortTest, EveryOctetValueComesBackUnchanged) {
  // A frame's preamble, NUL, flow-control characters and line ends: raw mode
  // must neither translate nor swallow any of them.
  std::string octets;
  for (int i = 0; i < 256; ++i) octets += static_cast<char>(i);
  send(octets);
  uint32_t ms = 0;
  EXPECT_EQ(read(plat::Timeouts{0, 0, 3000, 0, 0}, 256, &ms), octets);
}

TEST_F(EchoPortTest, ImmediateReadReturnsAtOnceWithWhatHasArrived) {
  uint32_t ms = 0;
  EXPECT_EQ(read(kImmediate, 16, &ms), "");
  EXPECT_LT(ms, 100u);

  send("U");
  plat::sleep_ms(100);
  EXPECT_EQ(read(kImmediate, 16, &ms), "U");
  EXPECT_LT(ms, 100u);
}

TEST_F(EchoPortTest, TotalTimeoutEndsAReadThatGetsNothing) {
  uint32_t ms = 0;
  EXPECT_EQ(read(plat::Timeouts{0, 10, 100, 0, 0}, 10, &ms), "");
  EXPECT_GE(ms, 180u);  // 10 * 10 + 100
  EXPECT_LT(ms, 1500u);
}

TEST_F(EchoPortTest, IntervalTimeoutEndsAReadSoonAfterTheLastOctet) {
  send("abc");
  uint32_t ms = 0;
  EXPECT_EQ(read(plat::Timeouts{50, 0, 3000, 0, 0}, 64, &ms), "abc");
  EXPECT_LT(ms, 1500u);
}

TEST_F(EchoPortTest, PurgeDiscardsWhatCameBack) {
  send("stale");
  plat::sleep_ms(150);
  ASSERT_TRUE(plat::serial_purge(port_, plat::kPurgeRx));
  uint32_t ms = 0;
  EXPECT_EQ(read(plat::Timeouts{0, 0, 100, 0, 0}, 16, &ms), "");
}

TEST_F(EchoPortTest, HeldPortCannotBeOpenedTwice) {
  EXPECT_EQ(plat::serial_open(name_.c_str(), plat::Access::ReadWrite), nullptr);
  EXPECT_EQ(plat::serial_open(name_.c_str(), plat::Access::Read), nullptr);
}

TEST_F(EchoPortTest, LineSettingsAndTimeoutsReadBack) {
  plat::LineSettings line;
  ASSERT_TRUE(plat::serial_get_line(port_, &line));
  EXPECT_EQ(line.baud_rate, 38400u);
  line.baud_rate = 9600;
  ASSERT_TRUE(plat::serial_set_line(port_, line));
  ASSERT_TRUE(plat::serial_get_line(port_, &line));
  EXPECT_EQ(line.baud_rate, 9600u);
  EXPECT_EQ(line.byte_size, 8);
  EXPECT_EQ(line.parity, 0);
  EXPECT_EQ(line.stop_bits, 0);

  const plat::Timeouts wanted{50, 1, 1000, 0, 0};
  ASSERT_TRUE(plat::serial_set_timeouts(port_, wanted));
  plat::Timeouts got;
  ASSERT_TRUE(plat::serial_get_timeouts(port_, &got));
  EXPECT_EQ(got.read_interval, 50u);
  EXPECT_EQ(got.read_total_multiplier, 1u);
  EXPECT_EQ(got.read_total_constant, 1000u);

  uint32_t mask = 0xFFFFFFFFu;
  EXPECT_TRUE(plat::serial_get_event_mask(port_, &mask));
  EXPECT_EQ(mask & plat::kEvErr, 0u);
}

TEST(SerialPort, MissingPortCannotBeOpened) {
  EXPECT_EQ(plat::serial_open("Com254", plat::Access::ReadWrite), nullptr);
  EXPECT_NE(plat::last_error(), 0u);
}

}  // namespace
