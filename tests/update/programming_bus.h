// An emulated bus for whole programming jobs, run in this process: the
// controllers of a scenario with its line faults, one pty port "com1" in a
// port directory of this process (BREVANE_PORTS), the carried image as the
// image each flash is compared with, and a capture of every frame on the
// line. The product reaches it through the real client, link and pty.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim/bus.h"
#include "sim/controller.h"
#include "sim/firmware.h"
#include "sim/pty_endpoint.h"
#include "sim/runner.h"
#include "sim/scenario.h"

namespace programming_bus {

// One frame seen on the line, with what the tests and the bench look at.
struct Frame {
  sim::Micros firstOctetStart = 0;
  sim::Micros lastOctetEnd = 0;
  uint32_t octets = 0;
  bool good = false;
  uint8_t type = 0;
  uint8_t destination = 0;
  uint8_t source = 0;
  uint8_t service = 0;  // data octet 1 (the service code), 0 without data
};

class ProgrammingBus {
 public:
  ProgrammingBus(const std::string& scenarioText, const std::string& expectedImage)
      : scenario_(sim::ParseScenario(scenarioText, "bus scenario")), bus_(Faults(scenario_)) {
    const std::vector<uint8_t> image = sim::ReadImageFile(expectedImage);
    for (const sim::ControllerConfig& config : scenario_.controllers) {
      controllers_.push_back(
          std::make_unique<sim::Controller>(config, scenario_.protocol, scenario_.baud));
      controllers_.back()->SetExpectedImage(image);
      bus_.Attach(controllers_.back().get(), true);
    }
    bus_.SetFrameSink([this](const sim::ScannedFrame& f) { Record(f); });
    std::string error;
    port_ = sim::PtyEndpoint::Create((PortDirectory() / "com1").string(), scenario_.baud, &error);
    if (!port_) throw std::runtime_error("pty: " + error);
    bus_.Attach(port_.get(), false);
    if (!port_->Publish(&error)) throw std::runtime_error("publish: " + error);
    runner_ = std::make_unique<sim::Runner>(bus_, std::vector<sim::PtyEndpoint*>{port_.get()});
    thread_ = std::thread([this] { runner_->Run(stop_); });
    // Time for the controllers to build their ring before the PC listens.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  }

  ProgrammingBus(const ProgrammingBus&) = delete;
  ProgrammingBus& operator=(const ProgrammingBus&) = delete;
  ~ProgrammingBus() { Stop(); }

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  std::vector<Frame> Frames() {
    std::lock_guard<std::mutex> guard(lock_);
    return frames_;
  }
  const sim::Controller& controller(std::size_t i) const { return *controllers_.at(i); }
  // Valid once the bus has stopped.
  const sim::BusCounters& counters() const { return bus_.Counters(); }
  uint32_t baud() const { return scenario_.baud; }

 private:
  static sim::BusFaults Faults(const sim::Scenario& s) {
    sim::BusFaults f;
    f.seed = s.seed;
    f.corrupt_rate = s.faults.corruptRate;
    f.loss_rate = s.faults.lossRate;
    f.latency = static_cast<sim::Micros>(s.faults.latencyMs) * 1000;
    f.jitter = static_cast<sim::Micros>(s.faults.jitterMs) * 1000;
    return f;
  }

  static std::filesystem::path PortDirectory() {
    static const std::filesystem::path dir = [] {
      const std::filesystem::path d = std::filesystem::temp_directory_path() /
                                      ("brevane-programming-" + std::to_string(::getpid()));
      std::filesystem::create_directories(d);
      ::setenv("BREVANE_PORTS", d.c_str(), 1);
      return d;
    }();
    return dir;
  }

  void Record(const sim::ScannedFrame& f) {
    Frame frame;
    frame.octets = static_cast<uint32_t>(f.octets.size());
    frame.firstOctetStart = f.start - sim::OctetEnd(0, scenario_.baud);
    frame.lastOctetEnd = frame.firstOctetStart + sim::OctetEnd(frame.octets - 1, scenario_.baud);
    frame.good = f.Good();
    if (f.octets.size() >= 8) {
      frame.type = f.octets[2];
      frame.destination = f.octets[3];
      frame.source = f.octets[4];
    }
    if (f.octets.size() >= 10) frame.service = f.octets[9];
    std::lock_guard<std::mutex> guard(lock_);
    frames_.push_back(frame);
  }

  sim::Scenario scenario_;
  sim::Bus bus_;
  std::vector<std::unique_ptr<sim::Controller>> controllers_;
  std::unique_ptr<sim::PtyEndpoint> port_;
  std::unique_ptr<sim::Runner> runner_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex lock_;
  std::vector<Frame> frames_;
};

}  // namespace programming_bus
