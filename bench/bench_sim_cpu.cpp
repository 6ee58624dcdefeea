// How much of one core the emulator takes to run a bus of four controllers
// passing the token, with the PC's port in place as tarnix-sim sets it up.
//
//   bench_sim_cpu [--seconds N] [--watched]
//
// --watched opens the port and reads it, as a connected program would; the
// emulator then writes every octet to it on time instead of catching up in
// slices. Prints the figure and exits 1 when it is not under 10 %.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>
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

namespace {

constexpr double kTargetPercent = 10.0;
constexpr size_t kControllers = 4;

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double MonotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 30;
  bool watched = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--watched") {
      watched = true;
    } else if (arg == "--seconds" && i + 1 < argc) {
      const char* text = argv[++i];
      const auto [end, ec] = std::from_chars(text, text + std::strlen(text), seconds);
      if (ec != std::errc{} || *end != '\0' || seconds <= 0) {
        std::fprintf(stderr, "bad --seconds %s\n", text);
        return 2;
      }
    } else {
      std::fprintf(stderr, "usage: bench_sim_cpu [--seconds N] [--watched]\n");
      return 2;
    }
  }

  const sim::Scenario scenario = sim::DefaultScenario();
  sim::Bus bus;
  std::vector<std::unique_ptr<sim::Controller>> controllers;
  for (const sim::ControllerConfig& config : scenario.controllers) {
    if (config.startInBootloader || controllers.size() == kControllers) continue;
    controllers.push_back(std::make_unique<sim::Controller>(config, scenario.protocol, scenario.baud));
    bus.Attach(controllers.back().get(), true);
  }

  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("bench-sim-" + std::to_string(getpid()));
  std::string error;
  auto port = sim::PtyEndpoint::Create((dir / "com1").string(), scenario.baud, &error);
  if (!port || !port->Publish(&error)) {
    std::fprintf(stderr, "port: %s\n", error.c_str());
    return 1;
  }
  bus.Attach(port.get(), false);

  // The reading "PC" runs on its own thread; only the emulator's thread is
  // measured.
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> octets_read{0};
  std::thread reader;
  if (watched) {
    const int fd = open((dir / "com1").c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
      std::perror("open port");
      return 1;
    }
    reader = std::thread([fd, &stop, &octets_read] {
      unsigned char buffer[256];
      while (!stop.load()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
          const ssize_t got = read(fd, buffer, sizeof buffer);
          if (got > 0) octets_read += static_cast<uint64_t>(got);
        }
      }
      close(fd);
    });
  }

  rusage before{};
  getrusage(RUSAGE_THREAD, &before);
  const double start = MonotonicSeconds();
  sim::Runner runner(bus, {port.get()});
  runner.Run(stop, static_cast<sim::Micros>(seconds * 1e6));
  const double wall = MonotonicSeconds() - start;
  rusage after{};
  getrusage(RUSAGE_THREAD, &after);
  stop = true;
  if (reader.joinable()) reader.join();
  port.reset();
  std::filesystem::remove_all(dir);

  const double user = Seconds(after.ru_utime) - Seconds(before.ru_utime);
  const double system = Seconds(after.ru_stime) - Seconds(before.ru_stime);
  const double percent = 100.0 * (user + system) / wall;
  std::printf("bus of %zu controllers, port %s, %.1f s: %llu frames, %llu octets\n",
              controllers.size(), watched ? "watched" : "unwatched", wall,
              static_cast<unsigned long long>(bus.Counters().frames),
              static_cast<unsigned long long>(bus.Counters().octets));
  if (watched) {
    std::printf("octets read by the port's reader: %llu\n",
                static_cast<unsigned long long>(octets_read.load()));
  }
  std::printf("emulator CPU: %.2f %% of one core (user %.3f s, system %.3f s); target < %.0f %%\n",
              percent, user, system, kTargetPercent);
  return percent < kTargetPercent ? 0 : 1;
}
