// tarnix-sim: an emulated Tarnix bus with emulated controllers, reached by
// the PC through pseudo-terminals. See sim/README.md.
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim/bus.h"
#include "sim/controller.h"
#include "sim/firmware.h"
#include "sim/options.h"
#include "sim/pcap.h"
#include "sim/pty_endpoint.h"
#include "sim/report.h"
#include "sim/runner.h"
#include "sim/scenario.h"

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_reportNow{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnSignal(int) { g_stop.store(true); }
void OnReportSignal(int) { g_reportNow.store(true); }

void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: the signal must cut the runner's sleep short.
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = OnReportSignal;
  sigaction(SIGUSR1, &action, nullptr);
}

int64_t EpochMicros() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

sim::BusFaults FaultsOf(const sim::Scenario& scenario) {
  return sim::BusFaults{
      .corrupt_rate = scenario.faults.corruptRate,
      .loss_rate = scenario.faults.lossRate,
      .latency = static_cast<sim::Micros>(scenario.faults.latencyMs) * 1000,
      .jitter = static_cast<sim::Micros>(scenario.faults.jitterMs) * 1000,
      .seed = scenario.seed,
  };
}

int Run(const sim::Options& options) {
  sim::Scenario scenario;
  try {
    scenario = options.scenario.empty() ? sim::DefaultScenario() : sim::LoadScenario(options.scenario);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarnix-sim: %s\n", e.what());
    return 2;
  }
  sim::ApplyOptions(options, &scenario);
  std::vector<uint8_t> expected_image;
  if (!scenario.expectedImage.empty()) {
    try {
      expected_image = sim::ReadImageFile(scenario.expectedImage);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "tarnix-sim: %s\n", e.what());
      return 2;
    }
  }

  sim::Bus bus(FaultsOf(scenario));
  std::vector<std::unique_ptr<sim::Controller>> controllers;
  for (const sim::ControllerConfig& config : scenario.controllers) {
    auto controller = std::make_unique<sim::Controller>(config, scenario.protocol, scenario.baud);
    if (!expected_image.empty()) controller->SetExpectedImage(expected_image);
    bus.Attach(controller.get(), true);
    controllers.push_back(std::move(controller));
  }
  std::vector<std::unique_ptr<sim::PtyEndpoint>> endpoints;
  std::vector<sim::PtyEndpoint*> ports;
  for (const std::string& name : scenario.ports) {
    std::string error;
    const std::string link = (std::filesystem::path(options.ports_dir) / name).string();
    auto endpoint = sim::PtyEndpoint::Create(link, scenario.baud, &error);
    if (!endpoint) {
      std::fprintf(stderr, "tarnix-sim: %s: %s\n", name.c_str(), error.c_str());
      return 1;
    }
    endpoint->SetBatching(scenario.adapter);
    bus.Attach(endpoint.get(), false);
    ports.push_back(endpoint.get());
    endpoints.push_back(std::move(endpoint));
  }

  sim::PcapWriter pcap;
  if (!options.pcap.empty()) {
    std::string error;
    if (!pcap.Open(options.pcap, EpochMicros(), &error)) {
      std::fprintf(stderr, "tarnix-sim: %s\n", error.c_str());
      return 1;
    }
    bus.SetFrameSink([&pcap](const sim::ScannedFrame& frame) { pcap.Write(frame); });
  }

  CatchSignals();
  // The links appear only now that everything is built, and each is
  // announced on its own line, so that a script can wait for them.
  for (size_t i = 0; i < endpoints.size(); ++i) {
    std::string error;
    if (!endpoints[i]->Publish(&error)) {
      std::fprintf(stderr, "tarnix-sim: %s\n", error.c_str());
      return 1;
    }
    std::printf("%s -> %s\n", scenario.ports[i].c_str(), endpoints[i]->SlavePath().c_str());
  }
  std::fflush(stdout);

  // The report as things stand, written to a temporary file and renamed
  // over the report file, so that a reader sees it whole or not at all.
  auto writeReport = [&]() {
    sim::RunReport report;
    report.seconds = static_cast<double>(bus.Now()) / 1e6;
    report.seed = scenario.seed;
    report.faults = FaultsOf(scenario);
    report.adapter = scenario.adapter;
    report.counters = bus.Counters();
    report.pcap_records = pcap.Records();
    for (size_t i = 0; i < endpoints.size(); ++i) {
      const sim::PtyEndpoint& endpoint = *endpoints[i];
      report.ports.push_back({scenario.ports[i], endpoint.LinkPath(), endpoint.SlavePath(),
                              endpoint.OctetsIn(), endpoint.OctetsOut(), endpoint.OctetsDropped(),
                              endpoint.PacketsOut()});
    }
    for (const auto& controller : controllers) report.controllers.push_back(controller->ReportJson());
    const std::string part = options.report + ".part";
    std::ofstream file(part, std::ios::trunc);
    file << sim::ReportJson(report);
    std::error_code renamed;
    if (file.flush()) {
      file.close();
      std::filesystem::rename(part, options.report, renamed);
    }
    if (!file || renamed) {
      std::fprintf(stderr, "tarnix-sim: cannot write %s\n", options.report.c_str());
      return false;
    }
    return true;
  };

  sim::Runner runner(bus, ports);
  // Every 100 ms: a report asked for by SIGUSR1; every second: the capture
  // flushed.
  unsigned ticks = 0;
  runner.Every(100'000, [&] {
    if (++ticks % 10 == 0) pcap.Flush();
    if (g_reportNow.exchange(false) && !options.report.empty()) writeReport();
  });
  const sim::Micros until =
      options.duration ? static_cast<sim::Micros>(std::llround(*options.duration * 1e6)) : sim::kNever;
  runner.Run(g_stop, until);
  bus.Flush();
  pcap.Close();

  if (!options.report.empty() && !writeReport()) return 1;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const auto options = sim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &error);
  if (!options) {
    std::fprintf(stderr, "tarnix-sim: %s\n%s", error.c_str(), sim::Usage().c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(sim::Usage().c_str(), stdout);
    return 0;
  }
  return Run(*options);
}
