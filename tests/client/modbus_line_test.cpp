// The Modbus switch on a real line: a pseudo-terminal with nothing behind it,
// one whose far end answers by hand, and a Modbus RTU server of an independent
// implementation behind a pair of pseudo-terminals.
#include <gtest/gtest.h>
#include <modbus.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "client/modbus.h"
#include "tests/platform/posix_test_util.h"

namespace {

using brevane_test::elapsed_ms;
using brevane_test::Pty;

const std::string kRequest2492("\x01\x06\x09\xBC\x05\x06\xC8\xE0", 8);

// Opened for the length of a test; closed at its end whatever happened.
class OpenModbusPort {
 public:
  explicit OpenModbusPort(const std::string& path) : opened_(port_.Open(path.c_str(), 9600).Ok()) {}
  OpenModbusPort(const OpenModbusPort&) = delete;
  OpenModbusPort& operator=(const OpenModbusPort&) = delete;
  bool opened() const { return opened_; }
  Result Write(uint8_t slave, uint16_t registerNumber, uint16_t value) {
    return port_.WriteSingleRegister(slave, registerNumber, value);
  }

 private:
  ModbusPort port_;
  bool opened_;
};

TEST(ModbusLine, OpensAt9600EightDataBitsNoParityOneStopBit) {
  Pty pty;
  ASSERT_FALSE(pty.slave_path.empty());
  OpenModbusPort port(pty.slave_path);
  ASSERT_TRUE(port.opened());
  const termios settings = pty.slave_settings();
  EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(settings.c_iflag & INPCK, 0u);
}

TEST(ModbusLine, NothingConnectedSendsTheRequestAndEndsAfterTheReadTimeOut) {
  Pty pty;
  ASSERT_FALSE(pty.slave_path.empty());
  // Left over from earlier traffic: discarded before the request goes out.
  // The terminal is raw first, so that nothing echoes what arrives.
  termios raw{};
  ASSERT_EQ(tcgetattr(pty.slave, &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &raw), 0);
  pty.send("\x01\x06\x00");
  OpenModbusPort port(pty.slave_path);
  ASSERT_TRUE(port.opened());
  Result result;
  const long long took = elapsed_ms([&] { result = port.Write(1, 2492, 1286); });
  EXPECT_EQ(result.outcome, Outcome::NoAnswer);
  EXPECT_EQ(pty.receive(9, 100), kRequest2492);
  // 100 ms pause, then a read of 128 octets: 1000 ms + 1 ms per octet with
  // nothing heard. A read without time-outs would never end.
  EXPECT_GE(took, 100 + 1128);
  EXPECT_LT(took, 5000);
}

TEST(ModbusLine, AnAnswerEndsTheReadFiftyMillisecondsAfterItsLastOctet) {
  Pty pty;
  ASSERT_FALSE(pty.slave_path.empty());
  OpenModbusPort port(pty.slave_path);
  ASSERT_TRUE(port.opened());
  std::thread device([&] {
    if (pty.receive(8, 1000) == kRequest2492) pty.send("\x01\x86\x02");
  });
  Result result(Outcome::NoAnswer);
  const long long took = elapsed_ms([&] { result = port.Write(1, 2492, 1286); });
  device.join();
  EXPECT_TRUE(result.Ok()) << static_cast<int>(result.outcome);
  // Ended by the gap after the answer, well before the 1128 ms total.
  EXPECT_LT(took, 900);
}

TEST(ModbusLine, AfterClosingAWriteFailsAsNotOpenedAndSendsNothing) {
  Pty pty;
  ASSERT_FALSE(pty.slave_path.empty());
  ModbusPort port;
  ASSERT_TRUE(port.Open(pty.slave_path.c_str(), 9600).Ok());
  EXPECT_EQ(port.Close(), 1);
  ::testing::internal::CaptureStdout();
  const Result result = port.WriteSingleRegister(1, 2492, 1286);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(result.outcome, Outcome::PortNotOpened);
  EXPECT_EQ(pty.receive(1, 100), "");
  // The port was let go: it opens again.
  OpenModbusPort again(pty.slave_path);
  EXPECT_TRUE(again.opened());
}

// Two pseudo-terminals joined master to master, so that two programs that
// each open a terminal device talk as over a null-modem cable.
class PtyPair {
 public:
  PtyPair() {
    relay_ = std::thread([this] { Relay(); });
  }
  ~PtyPair() {
    stop_ = true;
    relay_.join();
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& left() const { return a_.slave_path; }
  const std::string& right() const { return b_.slave_path; }

 private:
  void Relay() {
    while (!stop_) {
      pollfd entries[2] = {{a_.master, POLLIN, 0}, {b_.master, POLLIN, 0}};
      if (poll(entries, 2, 20) <= 0) continue;
      Copy(entries[0], a_.master, b_.master);
      Copy(entries[1], b_.master, a_.master);
    }
  }
  static void Copy(const pollfd& entry, int from, int to) {
    if ((entry.revents & POLLIN) == 0) return;
    char buffer[256];
    const ssize_t n = read(from, buffer, sizeof buffer);
    if (n > 0) static_cast<void>(write(to, buffer, static_cast<std::size_t>(n)));
  }

  Pty a_;
  Pty b_;
  std::atomic<bool> stop_{false};
  std::thread relay_;
};

// A Modbus RTU slave 1 at 9600 baud with 3000 holding registers; it answers
// requests until stopped and remembers the last value written to 2492.
class ModbusServer {
 public:
  explicit ModbusServer(const std::string& device)
      : context_(modbus_new_rtu(device.c_str(), 9600, 'N', 8, 1)),
        map_(modbus_mapping_new(0, 0, 3000, 0)) {
    if (context_ == nullptr || map_ == nullptr) return;
    modbus_set_slave(context_, 1);
    if (modbus_connect(context_) != 0) return;
    connected_ = true;
    // A receive that waits no more than this lets the server see `stop_`.
    modbus_set_indication_timeout(context_, 0, 100'000);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ModbusServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (connected_) modbus_close(context_);
    if (context_ != nullptr) modbus_free(context_);
    if (map_ != nullptr) modbus_mapping_free(map_);
  }
  ModbusServer(const ModbusServer&) = delete;
  ModbusServer& operator=(const ModbusServer&) = delete;

  bool connected() const { return connected_; }
  // The number of requests answered, once it has reached `count` or a second
  // has passed (the answer leaves before the count goes up).
  int answered(int count) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (answered_.load() < count && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return answered_.load();
  }
  int register2492() const { return register2492_.load(); }

 private:
  void Serve() {
    uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stop_) {
      const int length = modbus_receive(context_, request);
      if (length <= 0) continue;
      if (modbus_reply(context_, request, length, map_) > 0) {
        register2492_ = map_->tab_registers[2492];
        ++answered_;
      }
    }
  }

  modbus_t* context_;
  modbus_mapping_t* map_;
  bool connected_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::atomic<int> register2492_{-1};
  std::thread thread_;
};

TEST(ModbusLine, ARealModbusServerTakesTheWriteAndAnswers) {
  PtyPair line;
  ASSERT_FALSE(line.left().empty());
  ASSERT_FALSE(line.right().empty());
  ModbusServer server(line.right());
  ASSERT_TRUE(server.connected());
  OpenModbusPort port(line.left());
  ASSERT_TRUE(port.opened());
  EXPECT_TRUE(port.Write(1, 2492, 1286).Ok());
  EXPECT_EQ(server.answered(1), 1);
  EXPECT_EQ(server.register2492(), 1286);
}

}  // namespace
