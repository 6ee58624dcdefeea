// An emulated bus run in this test program for the length of a test: the
// controllers of a scenario with its line faults, any stations a test adds,
// and one pty port (by default "com1") linked into a port directory of this
// program that BREVANE_PORTS points at. The product reaches it through the
// real link and the pty, as it would a serial port. Every frame seen on the
// line is kept for the test to look at.
//
// Only the emulator is used here, never product code, so the emulator's own
// tests can use it too.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/bus.h"
#include "sim/controller.h"
#include "sim/frame_scanner.h"
#include "sim/pty_endpoint.h"
#include "sim/runner.h"
#include "sim/scenario.h"

namespace test_support {

using Octets = std::vector<uint8_t>;

// A frame seen on the line. The header fields are those of its first eight
// octets even when its checksums fail; `data` only of a good frame.
struct LineFrame {
  bool good = false;
  uint8_t type = 0;
  uint8_t dest = 0;
  uint8_t src = 0;
  uint8_t service = 0;  // data octet 1 (the service code), 0 without data
  Octets data;
  Octets octets;
  sim::Micros start = 0;  // bus time when its first octet was complete
  sim::Micros firstOctetStart = 0;
  sim::Micros lastOctetEnd = 0;
};

// What a test sets up beyond the scenario, as in
// EmulatedBus bus(scenario, BusOptions().Station(&station).Port("com2")).
class BusOptions {
 public:
  // Joins the bus beside the controllers; it must outlive the bus.
  BusOptions& Station(sim::Node* station) {
    stations_.push_back(station);
    return *this;
  }
  BusOptions& Port(std::string name) {
    port_ = std::move(name);
    return *this;
  }
  // How long the bus runs before the constructor returns.
  BusOptions& SettleMs(int ms) {
    settleMs_ = ms;
    return *this;
  }
  // The image file each controller's flash is compared with.
  BusOptions& ExpectedImage(std::string path) {
    expectedImage_ = std::move(path);
    return *this;
  }

 private:
  friend class EmulatedBus;
  std::vector<sim::Node*> stations_;
  std::string port_ = "com1";
  // The controllers notice the lost token and build their ring in about a
  // second, so the bus is live when the product first listens to it.
  int settleMs_ = 1200;
  std::string expectedImage_;
};

class EmulatedBus {
 public:
  // `scenarioText` in the emulator's scenario format; its ports are ignored.
  // Throws std::runtime_error when the port cannot be made.
  explicit EmulatedBus(const std::string& scenarioText, const BusOptions& options = BusOptions());
  EmulatedBus(const EmulatedBus&) = delete;
  EmulatedBus& operator=(const EmulatedBus&) = delete;
  ~EmulatedBus();

  // Stops the bus; the controllers and counters may be looked at afterwards.
  void Stop();
  // The adapter pulled out: the bus stops and the emulator's side of the
  // port closes, so the link's next read or write of it fails.
  void PullAdapter();

  const sim::Controller& controller(std::size_t i) const { return *controllers_.at(i); }
  const sim::ControllerConfig& config(std::size_t i) const { return scenario_.controllers.at(i); }
  // Valid once the bus has stopped.
  const sim::BusCounters& counters() const { return bus_.Counters(); }
  uint32_t baud() const { return scenario_.baud; }

  std::vector<LineFrame> Frames() const;
  // Good frames of `type`, from `src` and to `dest` when not negative.
  std::size_t Count(uint8_t type, int src = -1, int dest = -1) const;
  // Octets the PC has written onto the bus (read after Stop()).
  uint64_t OctetsFromPc() const;

  // One directory for the whole program, set before any link thread runs, so
  // BREVANE_PORTS never changes under a reader.
  static std::filesystem::path PortDirectory();

 private:
  void Record(const sim::ScannedFrame& scanned);

  sim::Scenario scenario_;
  sim::Bus bus_;
  std::vector<std::unique_ptr<sim::Controller>> controllers_;
  std::unique_ptr<sim::PtyEndpoint> port_;
  std::unique_ptr<sim::Runner> runner_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex lock_;
  std::vector<LineFrame> frames_;
};

}  // namespace test_support
