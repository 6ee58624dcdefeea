// What one open port of the link costs and how quickly it turns a reply into
// an upcall, on an emulated bus of two masters (tarnix-sim, run as its own
// process so that only the link's own work is counted here).
//
//   bench_link [--sim PATH] [--seconds N] [--requests N]
//
// 1. CPU: the port joins the ring as station 0 and holds the token in turn
//    with nothing to send, for N seconds (default 30); the figure is the
//    process's user and system time as a share of one core.
// 2. Round trip: read-instance requests to station 16 from the token-obtained
//    delegate; from the moment the last octet of the request has been written
//    to the reply's upcall. Printed as measured, minus the reply's wire time,
//    and minus also the request's own wire time and the controller's 2 ms
//    answer delay, which leaves what the link itself adds.
//
// Prints the figures and exits 1 when the CPU share is not under 2 % or the
// link's median overhead not under 1 ms.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/tarnix_link.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPort = "Com1";
constexpr double kCpuTargetPercent = 2.0;
constexpr double kOverheadTargetMs = 1.0;
constexpr double kOctetMs = 10.0 * 1000.0 / 38400.0;  // one octet on the wire at 38400 baud
constexpr double kAnswerDelayMs = 2.0;                // the emulated controller's turnaround
const uint8_t kRequest[4] = {0x01, 0x05, 0x01, 0x01};
constexpr size_t kRequestFrameOctets = 8 + sizeof kRequest + 2;

std::atomic<bool> gSending{false};
std::atomic<long> gTokenCalls{0};
std::mutex gLock;
Clock::time_point gSentAt;
std::vector<double> gRoundTrips;  // ms, minus the reply's wire time
std::atomic<long> gFailures{0};

uint8_t OnToken(const char* portName) {
  ++gTokenCalls;
  if (!gSending.load()) return 0;
  if (TarnixLink_SendFrame(portName, 16, kRequest, sizeof kRequest, 1) == 0) {
    std::lock_guard<std::mutex> guard(gLock);
    gSentAt = Clock::now();
  }
  return 0;  // one request per token hold
}

int32_t OnUpcall(const char*, const uint8_t*, uint32_t, uint32_t length, UpcallStatus status) {
  const Clock::time_point now = Clock::now();
  if (status != Delivered) {
    ++gFailures;
    return 0;
  }
  std::lock_guard<std::mutex> guard(gLock);
  const double ms = std::chrono::duration<double, std::milli>(now - gSentAt).count();
  gRoundTrips.push_back(ms - static_cast<double>(8 + length + 2) * kOctetMs);
  return 0;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Percentile(std::vector<double> values, double share) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

pid_t StartSim(const std::string& sim, const std::filesystem::path& dir) {
  const std::filesystem::path scenario = dir / "scenario.txt";
  std::ofstream(scenario) << "[controller]\naddress = 16\nmax_master = 20\n"
                             "[controller]\naddress = 17\nmax_master = 20\n";
  const std::string ports = (dir / "ports").string();
  const std::string scenarioPath = scenario.string();
  const char* argv[] = {sim.c_str(), "--ports", ports.c_str(), "--scenario", scenarioPath.c_str(),
                        nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, sim.c_str(), nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
    return -1;
  }
  for (int waited = 0; waited < 5000; waited += 10) {
    if (std::filesystem::exists(dir / "ports" / "com1")) return pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string sim = (std::filesystem::path(argv[0]).parent_path() / "tarnix-sim").string();
  long seconds = 30;
  size_t requests = 500;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--sim") == 0) {
      sim = argv[i + 1];
    } else if (std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::atol(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--requests") == 0) {
      requests = static_cast<size_t>(std::atol(argv[i + 1]));
    }
  }
  char pattern[] = "/tmp/bench-link-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 2;
  const std::filesystem::path dir = pattern;
  const pid_t simPid = StartSim(sim, dir);
  if (simPid < 0) {
    std::fprintf(stderr, "bench_link: cannot start %s\n", sim.c_str());
    return 2;
  }
  setenv("BREVANE_PORTS", (dir / "ports").c_str(), 1);
  LinkConfig config{kPort, 38400, 20, 1, 0, OnToken, OnUpcall};
  int status = 2;
  if (TarnixLink_Init(&config) == 0) {
    // Let the ring form before measuring.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long tokensBefore = gTokenCalls.load();
    const double cpuBefore = CpuSeconds();
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpuPercent = 100.0 * (CpuSeconds() - cpuBefore) / wall;
    std::printf("idle port on a ring of 2 masters: %.2f %% of one core over %.0f s (%ld token holds)\n",
                cpuPercent, wall, gTokenCalls.load() - tokensBefore);

    gSending = true;
    for (int waited = 0; waited < 600; ++waited) {
      {
        std::lock_guard<std::mutex> guard(gLock);
        if (gRoundTrips.size() >= requests) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    gSending = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    TarnixLink_UnInit(kPort);
    std::vector<double> trips;
    {
      std::lock_guard<std::mutex> guard(gLock);
      trips = gRoundTrips;
    }
    if (trips.empty()) {
      std::printf("no reply was delivered\n");
    } else {
      const double fixedMs = static_cast<double>(kRequestFrameOctets) * kOctetMs + kAnswerDelayMs;
      const double median = Percentile(trips, 0.5);
      const double p99 = Percentile(trips, 0.99);
      std::printf("round trip minus the reply's wire time, %zu requests (%ld failed): "
                  "median %.2f ms, p99 %.2f ms\n",
                  trips.size(), gFailures.load(), median, p99);
      std::printf("less the request's wire time and the 2 ms answer delay (%.2f ms), the link adds: "
                  "median %.2f ms, p99 %.2f ms\n",
                  fixedMs, median - fixedMs, p99 - fixedMs);
      status = cpuPercent < kCpuTargetPercent && median - fixedMs < kOverheadTargetMs ? 0 : 1;
    }
  } else {
    std::fprintf(stderr, "bench_link: cannot open %s\n", kPort);
  }
  kill(simPid, SIGTERM);
  waitpid(simPid, nullptr, 0);
  std::filesystem::remove_all(dir);
  return status;
}
