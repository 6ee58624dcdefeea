// An emulated bus run in this process for the length of a test: the
// controllers of a scenario and one pty port (by default "com1") linked into a port
// directory of this test program that BREVANE_PORTS points at. The client
// reaches it through the real link and the pty, as it would a serial port.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/bus.h"
#include "sim/controller.h"
#include "sim/pty_endpoint.h"
#include "sim/runner.h"
#include "sim/scenario.h"

namespace client_test {

class EmulatedBus {
 public:
  // `scenario_text` in the emulator's scenario format; its ports are ignored.
  // `stations` join the bus beside the controllers; they must outlive it.
  explicit EmulatedBus(const std::string& scenario_text, std::vector<sim::Node*> stations = {},
                       const std::string& port_name = "com1")
      : scenario_(sim::ParseScenario(scenario_text, "test scenario")), bus_(Faults(scenario_)) {
    for (const sim::ControllerConfig& config : scenario_.controllers) {
      controllers_.push_back(
          std::make_unique<sim::Controller>(config, scenario_.protocol, scenario_.baud));
      bus_.Attach(controllers_.back().get(), true);
    }
    for (sim::Node* station : stations) bus_.Attach(station, true);
    const std::filesystem::path dir = PortDirectory();
    std::string error;
    port_ = sim::PtyEndpoint::Create((dir / port_name).string(), scenario_.baud, &error);
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
    // Time for the controllers to notice the lost token and build their ring,
    // so that the bus is live when the client first listens to it.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  }

  EmulatedBus(const EmulatedBus&) = delete;
  EmulatedBus& operator=(const EmulatedBus&) = delete;
  ~EmulatedBus() { Stop(); }

  // Stops the bus; the controllers may be looked at afterwards.
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

  const sim::Controller& controller(std::size_t i) const { return *controllers_.at(i); }
  const sim::ControllerConfig& config(std::size_t i) const { return scenario_.controllers.at(i); }

 private:
  static sim::BusFaults Faults(const sim::Scenario& s) {
    sim::BusFaults f;
    f.seed = s.seed;
    f.corrupt_rate = s.faults.corruptRate;
    f.loss_rate = s.faults.lossRate;
    return f;
  }

  // One directory for the whole test program, set before any link thread
  // runs, so BREVANE_PORTS never changes under a reader.
  static std::filesystem::path PortDirectory() {
    static const std::filesystem::path dir = [] {
      const std::filesystem::path d = std::filesystem::temp_directory_path() /
                                      ("brevane-client-test-" + std::to_string(::getpid()));
      std::filesystem::create_directories(d);
      ::setenv("BREVANE_PORTS", d.c_str(), 1);
      return d;
    }();
    return dir;
  }

  sim::Scenario scenario_;
  sim::Bus bus_;
  std::vector<std::unique_ptr<sim::Controller>> controllers_;
  std::unique_ptr<sim::PtyEndpoint> port_;
  std::unique_ptr<sim::Runner> runner_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace client_test
