// A controller in Modbus mode, switched back to the Tarnix bus by an
// independent Modbus RTU client (libmodbus) through the emulator's port.
#include <gtest/gtest.h>
#include <modbus.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "sim/bus.h"
#include "sim/controller.h"
#include "sim/frame_scanner.h"
#include "sim/pty_endpoint.h"
#include "sim/runner.h"
#include "sim/scenario.h"
#include "tests/support/scripted_station.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

// The least of a master station: answers polls for master addressed to it
// and hands a token it is given back, each after the turnaround a station
// waits before it drives the line.
class PeerMaster : public Node {
 public:
  static constexpr Micros kTurnaround = 2'000;

  explicit PeerMaster(uint8_t address)
      : address_(address), frames_([this](const ScannedFrame& frame) { OnFrame(frame); }) {}

  uint32_t Baud() const override { return 38400; }
  void OnOctet(uint8_t octet, Micros now) override {
    now_ = now;
    frames_.Feed(octet, now);
  }
  void OnTime(Micros now) override { now_ = now; }
  Micros NextWake() const override { return outbox_.empty() || due_ <= now_ ? kNever : due_; }
  bool TakeOctet(uint8_t* octet) override {
    if (outbox_.empty() || now_ < due_) return false;
    *octet = outbox_.front();
    outbox_.erase(outbox_.begin());
    return true;
  }

 private:
  void OnFrame(const ScannedFrame& frame) {
    if (!frame.Good() || frame.octets[3] != address_) return;
    const uint8_t source = frame.octets[4];
    if (frame.octets[2] == 1) Send(test_support::MakeFrame(2, source, address_));
    if (frame.octets[2] == 0) Send(test_support::MakeFrame(0, source, address_));
  }
  void Send(const std::vector<uint8_t>& frame) {
    if (outbox_.empty()) due_ = now_ + kTurnaround;
    outbox_.insert(outbox_.end(), frame.begin(), frame.end());
  }

  uint8_t address_;
  FrameScanner frames_;
  std::vector<uint8_t> outbox_;
  Micros now_ = 0;
  Micros due_ = 0;
};

TEST(ModbusSwitch, WriteOfTheSwitchValueIsEchoedAndTheControllerRejoinsTheTokenRing) {
  const fs::path dir = fs::temp_directory_path() / ("tarnix-modbus-" + std::to_string(getpid()));
  std::string error;
  auto port = PtyEndpoint::Create((dir / "com1").string(), 38400, &error);
  ASSERT_NE(port, nullptr) << error;
  ASSERT_TRUE(port->Publish(&error)) << error;

  ControllerConfig config;
  config.address = 21;
  config.hardwareId = 28;
  config.startInModbus = true;
  Controller controller(config, DeviceProtocol{});
  PeerMaster peer(22);
  Bus bus;
  bus.Attach(port.get(), false);
  bus.Attach(&controller, true);
  bus.Attach(&peer, false);
  // Written on the runner's thread, read after it has been joined.
  std::vector<ScannedFrame> frames;
  bus.SetFrameSink([&frames](const ScannedFrame& frame) { frames.push_back(frame); });

  std::atomic<bool> stop{false};
  std::thread runner_thread([&] {
    Runner runner(bus, {port.get()});
    runner.Run(stop);
  });

  modbus_t* ctx = modbus_new_rtu((dir / "com1").c_str(), 9600, 'N', 8, 1);
  ASSERT_NE(ctx, nullptr);
  modbus_set_slave(ctx, 1);
  modbus_set_response_timeout(ctx, 1, 0);
  int written = -1;
  if (modbus_connect(ctx) == 0) {
    // A register the controller does not have gets an exception, not silence.
    uint16_t value = 0;
    EXPECT_EQ(modbus_read_registers(ctx, 9999, 1, &value), -1);
    EXPECT_GE(errno, EMBXILFUN) << modbus_strerror(errno);
    EXPECT_LE(errno, EMBXGTAR) << modbus_strerror(errno);
    // A master on a real line leaves the slave time to let go of it (and the
    // 3.5 characters between frames, 3.6 ms at 9600); libmodbus sends the next
    // request as soon as the answer is in, so the pause is the caller's.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    written = modbus_write_register(ctx, 2492, 1286);
    modbus_close(ctx);
  }
  modbus_free(ctx);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop = true;
  runner_thread.join();
  port.reset();
  fs::remove_all(dir);

  EXPECT_EQ(written, 1) << "no echo of the write: " << modbus_strerror(errno);
  EXPECT_FALSE(controller.modbus());
  bool passed = false;
  for (const ScannedFrame& frame : frames) {
    passed |= frame.Good() && frame.octets[2] == 0 && frame.octets[4] == 21 && frame.octets[3] == 22;
  }
  EXPECT_TRUE(passed) << "controller 21 never passed the token to 22";
}

}  // namespace
}  // namespace sim
