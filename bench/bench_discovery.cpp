// Discovery of the emulator's built-in bus (controllers at 16 to 20, the one
// at 19 in its bootloader) over a line with faults: for each seed a tarnix-sim
// of its own, with its own port directory, then what the front end's scan job
// does (open the connection, scan 4 to 32, close), timed. The scan runs the
// rules of Client_ScanRange over the same probes and identity reads, counted
// on their way to the bus.
//
//   bench_discovery [--sim PATH] [--seeds N] [--first-seed S]
//                   [--corrupt RATE] [--loss RATE]
//
// One line per seed (the stations found, the missing and unexpected ones, the
// scan's and the whole job's time, and what the scan's second tries did),
// then how many runs found every controller, the median times and the sums of
// the second tries. Exit status 0 when every run found every controller,
// 1 when one did not, 2 when the emulator could not be started.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "client/scan.h"
#include "client/services.h"

extern char** environ;

namespace {

constexpr uint8_t kScanLow = 4;
constexpr uint8_t kScanHigh = 32;
const std::set<unsigned> kControllers = {16, 17, 18, 19, 20};

struct Options {
  std::string sim = "tarnix-sim";
  int seeds = 20;
  unsigned firstSeed = 1;
  std::string corrupt = "0";
  std::string loss = "0";
};

pid_t StartSim(const Options& o, unsigned seed, const std::filesystem::path& ports) {
  const std::string seedText = std::to_string(seed);
  const std::string portsText = ports.string();
  const char* argv[] = {o.sim.c_str(), "--ports",   portsText.c_str(), "--seed", seedText.c_str(),
                        "--corrupt",   o.corrupt.c_str(), "--loss",  o.loss.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, o.sim.c_str(), &actions, nullptr,
                                  const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  for (int waited = 0; waited < 5000; waited += 10) {
    if (std::filesystem::exists(ports / "com1")) return pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return -1;
}

// What the scan asked and got, counted on the way to the bus.
struct Tally {
  int probes = 0;
  int unreadable = 0;     // probes answered with something unreadable
  int reads = 0;
  int failedReads = 0;
  int foundAgain = 0;     // stations that answered a probe after a silent one
  int askedAgain = 0;     // probes of a station that had been silent
  std::set<unsigned> silent;

  void Add(const Tally& t) {
    probes += t.probes;
    unreadable += t.unreadable;
    reads += t.reads;
    failedReads += t.failedReads;
    foundAgain += t.foundAgain;
    askedAgain += t.askedAgain;
  }
};

class CountingScan : public ScanSteps {
 public:
  explicit CountingScan(Tally* tally) : tally_(tally) {}
  int Probe(uint8_t station) override {
    const int probe = Client_Probe("Com1", station);
    ++tally_->probes;
    if (probe == ProbeUnreadable) ++tally_->unreadable;
    if (tally_->silent.count(station)) {
      ++tally_->askedAgain;
      if (probe != ProbeSilent) ++tally_->foundAgain;
    }
    if (probe == ProbeSilent) tally_->silent.insert(station);
    return probe;
  }
  int ReadIdentity(uint8_t station, DeviceRecord* record) override {
    return Counted(Client_ReadIdentity("Com1", station, 1, record));
  }
  int ReadBootIdentity(uint8_t station, DeviceRecord* record) override {
    return Counted(Client_ReadBootIdentity("Com1", station, record));
  }

 private:
  int Counted(int read) {
    ++tally_->reads;
    if (read != 1) ++tally_->failedReads;
    return read;
  }
  Tally* tally_;
};

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string List(const std::set<unsigned>& s) {
  std::string text;
  for (unsigned a : s) text += (text.empty() ? "" : ",") + std::to_string(a);
  return text.empty() ? "-" : text;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--sim") o.sim = value;
    else if (name == "--seeds") o.seeds = std::max(1, std::atoi(value));
    else if (name == "--first-seed") o.firstSeed = static_cast<unsigned>(std::atoi(value));
    else if (name == "--corrupt") o.corrupt = value;
    else if (name == "--loss") o.loss = value;
  }
  char pattern[] = "/tmp/brevane-bench-discovery-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) return 2;
  const std::filesystem::path dir = made;

  int foundAll = 0;
  int status = 0;
  std::vector<double> scans, jobs;
  Tally total;
  for (int run = 0; run < o.seeds && status != 2; ++run) {
    const unsigned seed = o.firstSeed + static_cast<unsigned>(run);
    const std::filesystem::path ports = dir / ("ports-" + std::to_string(seed));
    const pid_t simPid = StartSim(o, seed, ports);
    if (simPid < 0) {
      std::fprintf(stderr, "bench_discovery: cannot start %s\n", o.sim.c_str());
      status = 2;
      break;
    }
    // No link thread runs between two runs, so the port directory can change.
    setenv("BREVANE_PORTS", ports.c_str(), 1);
    DeviceRecord records[kScanHigh - kScanLow + 1];
    Tally tally;
    const auto jobStart = std::chrono::steady_clock::now();
    double scanMs = 0;
    uint8_t found = 0;
    if (Client_Open("Com1") == 0) {
      const auto scanStart = std::chrono::steady_clock::now();
      CountingScan steps(&tally);
      found = static_cast<uint8_t>(
          Scan_Range(steps, kScanLow, kScanHigh, records, std::size(records)));
      scanMs = MsSince(scanStart);
      Client_Close("Com1");
    }
    const double jobMs = MsSince(jobStart);
    kill(simPid, SIGTERM);
    waitpid(simPid, nullptr, 0);

    std::set<unsigned> seen;
    for (uint8_t i = 0; i < found; ++i) seen.insert(records[i].address);
    std::set<unsigned> missing, extra;
    for (unsigned a : kControllers) {
      if (!seen.count(a)) missing.insert(a);
    }
    for (unsigned a : seen) {
      if (!kControllers.count(a)) extra.insert(a);
    }
    const bool all = missing.empty() && extra.empty();
    foundAll += all ? 1 : 0;
    if (!all) status = 1;
    scans.push_back(scanMs);
    jobs.push_back(jobMs);
    total.Add(tally);
    std::printf("seed %3u: found %-15s missing %-10s unexpected %-6s scan %6.0f ms, job %6.0f ms; "
                "%d probes, %d unreadable, %d asked again after silence, %d found so; "
                "%d identity reads, %d failed\n",
                seed, List(seen).c_str(), List(missing).c_str(), List(extra).c_str(), scanMs,
                jobMs, tally.probes, tally.unreadable, tally.askedAgain, tally.foundAgain,
                tally.reads, tally.failedReads);
    std::fflush(stdout);
  }
  std::printf("corrupt %s loss %s: found every controller in %d of %zu runs; median scan %.0f ms, "
              "median job %.0f ms\n",
              o.corrupt.c_str(), o.loss.c_str(), foundAll, scans.size(), Median(scans),
              Median(jobs));
  std::printf("in all: %d probes, %d answered unreadably, %d asked again after silence, %d found "
              "so; %d identity reads, %d failed\n",
              total.probes, total.unreadable, total.askedAgain, total.foundAgain, total.reads,
              total.failedReads);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return status;
}
