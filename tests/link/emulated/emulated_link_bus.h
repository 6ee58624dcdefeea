// An emulated bus run in this test program: the controllers of a scenario,
// any scripted stations a test adds, and one pty port ("com1") that the link
// opens as Com1 through the port directory. Every frame seen on the line is
// kept for the test to look at.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/bus.h"
#include "sim/controller.h"
#include "sim/frame_scanner.h"
#include "sim/mstp_frame.h"
#include "sim/pty_endpoint.h"
#include "sim/runner.h"
#include "sim/scenario.h"

namespace link_bus_test {

using Octets = std::vector<uint8_t>;

// A station that takes no part in the token passing: it answers Data
// Expecting Reply frames addressed to it with whatever `answer` makes of
// them (nothing when empty), 2 ms after the request, and sends `scheduled`
// octets once at bus time `at`.
class ScriptedStation : public sim::Node {
 public:
  using Answer = std::function<Octets(const sim::Frame& request)>;

  ScriptedStation(uint8_t address, Answer answer, sim::Micros at = sim::kNever,
                  Octets scheduled = {})
      : address_(address), answer_(std::move(answer)), at_(at), scheduled_(std::move(scheduled)) {}

  uint32_t Baud() const override { return 38400; }

  void OnOctet(uint8_t octet, sim::Micros now) override {
    if (rx_.Push(octet, now) != sim::FrameReceiver::Result::kValid) return;
    const sim::Frame& frame = rx_.frame();
    if (frame.type != sim::kDataExpectingReply || frame.dest != address_) return;
    reply_ = answer_(frame);
    reply_at_ = now + 2'000;
  }

  void OnTime(sim::Micros now) override {
    if (!reply_.empty() && now >= reply_at_) {
      tx_.insert(tx_.end(), reply_.begin(), reply_.end());
      reply_.clear();
    }
    if (now >= at_) {
      tx_.insert(tx_.end(), scheduled_.begin(), scheduled_.end());
      at_ = sim::kNever;
    }
  }

  sim::Micros NextWake() const override { return reply_.empty() ? at_ : std::min(at_, reply_at_); }

  bool TakeOctet(uint8_t* octet) override {
    if (tx_.empty()) return false;
    *octet = tx_.front();
    tx_.pop_front();
    return true;
  }

 private:
  uint8_t address_;
  Answer answer_;
  sim::Micros at_;
  Octets scheduled_;
  sim::FrameReceiver rx_;
  Octets reply_;
  sim::Micros reply_at_ = sim::kNever;
  std::deque<uint8_t> tx_;
};

// A frame seen on the line, decoded when its checksums hold.
struct LineFrame {
  bool good = false;
  uint8_t type = 0;
  uint8_t dest = 0;
  uint8_t src = 0;
  Octets data;
  Octets octets;
  sim::Micros start = 0;  // bus time when its first octet was complete
};

class EmulatedLinkBus {
 public:
  // `scenario_text` in the emulator's scenario format; `stations` join beside
  // the controllers and must outlive the bus. The bus runs `settle_ms` before
  // the constructor returns (controllers build their ring in about a second).
  explicit EmulatedLinkBus(const std::string& scenario_text,
                           std::vector<sim::Node*> stations = {}, int settle_ms = 0)
      : scenario_(sim::ParseScenario(scenario_text, "test scenario")) {
    for (const sim::ControllerConfig& config : scenario_.controllers) {
      controllers_.push_back(
          std::make_unique<sim::Controller>(config, scenario_.protocol, scenario_.baud));
      bus_.Attach(controllers_.back().get(), true);
    }
    for (sim::Node* station : stations) bus_.Attach(station, true);
    bus_.SetFrameSink([this](const sim::ScannedFrame& frame) {
      std::lock_guard<std::mutex> guard(lock_);
      frames_.push_back(frame);
    });
    std::string error;
    port_ = sim::PtyEndpoint::Create((PortDirectory() / "com1").string(), scenario_.baud, &error);
    if (!port_) {
      ADD_FAILURE() << "pty: " << error;
      return;
    }
    bus_.Attach(port_.get(), false);
    if (!port_->Publish(&error)) {
      ADD_FAILURE() << "publish: " << error;
      return;
    }
    runner_ = std::make_unique<sim::Runner>(bus_, std::vector<sim::PtyEndpoint*>{port_.get()});
    thread_ = std::thread([this] { runner_->Run(stop_); });
    if (settle_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(settle_ms));
  }

  EmulatedLinkBus(const EmulatedLinkBus&) = delete;
  EmulatedLinkBus& operator=(const EmulatedLinkBus&) = delete;
  ~EmulatedLinkBus() { Stop(); }

  // Stops the bus; the controllers and counters may be looked at afterwards.
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  // The adapter pulled out: the bus stops and the emulator's side of the
  // port closes, so the link's next read or write of it fails.
  void PullAdapter() {
    Stop();
    port_.reset();
  }

  const sim::Controller& controller(size_t i) const { return *controllers_.at(i); }

  std::vector<LineFrame> Frames() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<LineFrame> out;
    for (const sim::ScannedFrame& scanned : frames_) {
      LineFrame frame;
      frame.octets = scanned.octets;
      frame.start = scanned.start;
      frame.good = scanned.Good();
      if (frame.good) {
        frame.type = scanned.octets[2];
        frame.dest = scanned.octets[3];
        frame.src = scanned.octets[4];
        if (scanned.octets.size() > 10) {
          frame.data.assign(scanned.octets.begin() + 8, scanned.octets.end() - 2);
        }
      }
      out.push_back(frame);
    }
    return out;
  }

  // Good frames of `type` from `src` to `dest` (255 for either: any).
  size_t Count(uint8_t type, int src = -1, int dest = -1) const {
    size_t count = 0;
    for (const LineFrame& f : Frames()) {
      if (f.good && f.type == type && (src < 0 || f.src == src) && (dest < 0 || f.dest == dest)) {
        ++count;
      }
    }
    return count;
  }

  // Octets the PC has written onto the bus (read after Stop()).
  uint64_t OctetsFromPc() const { return port_ ? port_->OctetsIn() : 0; }

  // One directory for the whole program, set before any link thread runs.
  static std::filesystem::path PortDirectory() {
    static const std::filesystem::path dir = [] {
      const std::filesystem::path d = std::filesystem::temp_directory_path() /
                                      ("brevane-link-bus-test-" + std::to_string(::getpid()));
      std::filesystem::create_directories(d);
      ::setenv("BREVANE_PORTS", d.c_str(), 1);
      return d;
    }();
    return dir;
  }

 private:
  sim::Scenario scenario_;
  sim::Bus bus_;
  std::vector<std::unique_ptr<sim::Controller>> controllers_;
  std::unique_ptr<sim::PtyEndpoint> port_;
  std::unique_ptr<sim::Runner> runner_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex lock_;
  std::vector<sim::ScannedFrame> frames_;
};

}  // namespace link_bus_test
