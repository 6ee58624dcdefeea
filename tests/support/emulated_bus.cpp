#include "tests/support/emulated_bus.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "sim/firmware.h"

namespace test_support {
namespace {

sim::BusFaults FaultsOf(const sim::Scenario& s) {
  sim::BusFaults faults;
  faults.seed = s.seed;
  faults.corrupt_rate = s.faults.corruptRate;
  faults.loss_rate = s.faults.lossRate;
  faults.latency = static_cast<sim::Micros>(s.faults.latencyMs) * 1000;
  faults.jitter = static_cast<sim::Micros>(s.faults.jitterMs) * 1000;
  return faults;
}

}  // namespace

EmulatedBus::EmulatedBus(const std::string& scenarioText, const BusOptions& options)
    : scenario_(sim::ParseScenario(scenarioText, "test scenario")), bus_(FaultsOf(scenario_)) {
  const Octets image = options.expectedImage_.empty() ? Octets{} : sim::ReadImageFile(options.expectedImage_);
  for (const sim::ControllerConfig& config : scenario_.controllers) {
    controllers_.push_back(std::make_unique<sim::Controller>(config, scenario_.protocol, scenario_.baud));
    if (!image.empty()) controllers_.back()->SetExpectedImage(image);
    bus_.Attach(controllers_.back().get(), true);
  }
  for (sim::Node* station : options.stations_) bus_.Attach(station, true);
  bus_.SetFrameSink([this](const sim::ScannedFrame& frame) { Record(frame); });
  std::string error;
  port_ = sim::PtyEndpoint::Create((PortDirectory() / options.port_).string(), scenario_.baud, &error);
  if (!port_) throw std::runtime_error("pty: " + error);
  bus_.Attach(port_.get(), false);
  if (!port_->Publish(&error)) throw std::runtime_error("publish: " + error);
  runner_ = std::make_unique<sim::Runner>(bus_, std::vector<sim::PtyEndpoint*>{port_.get()});
  thread_ = std::thread([this] { runner_->Run(stop_); });
  if (options.settleMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options.settleMs_));
}

EmulatedBus::~EmulatedBus() { Stop(); }

void EmulatedBus::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void EmulatedBus::PullAdapter() {
  Stop();
  port_.reset();
}

void EmulatedBus::Record(const sim::ScannedFrame& scanned) {
  LineFrame frame;
  frame.octets = scanned.octets;
  frame.start = scanned.start;
  frame.good = scanned.Good();
  const auto count = static_cast<uint64_t>(scanned.octets.size());
  frame.firstOctetStart = scanned.start - sim::OctetEnd(0, scenario_.baud);
  frame.lastOctetEnd = frame.firstOctetStart + (count > 0 ? sim::OctetEnd(count - 1, scenario_.baud) : 0);
  if (scanned.octets.size() >= 8) {
    frame.type = scanned.octets[2];
    frame.dest = scanned.octets[3];
    frame.src = scanned.octets[4];
  }
  if (scanned.octets.size() >= 10) frame.service = scanned.octets[9];
  if (frame.good && scanned.octets.size() > 10) {
    frame.data.assign(scanned.octets.begin() + 8, scanned.octets.end() - 2);
  }
  std::lock_guard<std::mutex> guard(lock_);
  frames_.push_back(std::move(frame));
}

std::vector<LineFrame> EmulatedBus::Frames() const {
  std::lock_guard<std::mutex> guard(lock_);
  return frames_;
}

std::size_t EmulatedBus::Count(uint8_t type, int src, int dest) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::size_t count = 0;
  for (const LineFrame& f : frames_) {
    if (f.good && f.type == type && (src < 0 || f.src == src) && (dest < 0 || f.dest == dest)) ++count;
  }
  return count;
}

uint64_t EmulatedBus::OctetsFromPc() const { return port_ ? port_->OctetsIn() : 0; }

std::filesystem::path EmulatedBus::PortDirectory() {
  static const std::filesystem::path dir = [] {
    const std::filesystem::path d =
        std::filesystem::temp_directory_path() / ("brevane-test-ports-" + std::to_string(::getpid()));
    std::filesystem::create_directories(d);
    ::setenv("BREVANE_PORTS", d.c_str(), 1);
    return d;
  }();
  return dir;
}

}  // namespace test_support
