// How long a settings backup and a restore of one default controller take,
// and how much of it the bus itself needs: the wire time of the engine's own
// exchanges (directory, read-instance and write-instance requests and their
// replies) at 38400 baud, and the time spent in the settle waits. tarnix-sim
// runs as its own process.
//
//   bench_backup [--sim PATH] [--runs N]
//
// Every run backs up the controller, writes its factory settings, restores
// the backup and prints one line; the last line is the median of the runs.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "backup/backup.h"
#include "backup/backup_worker.h"
#include "client/client.h"
#include "client/services.h"
#include "platform/clock.h"
#include "update/image_package.h"

extern char** environ;

namespace {

constexpr double kOctetMs = 10.0 * 1000.0 / 38400.0;
// A data frame: preamble, header and its check, then the data and its check.
constexpr uint32_t kFrameOverhead = 8 + 2;

std::atomic<uint32_t> gWireOctets{0};
std::atomic<uint32_t> gExchanges{0};
std::atomic<uint32_t> gSettleMs{0};
CompletionCallback gEngineCompletion = nullptr;

uint8_t CountingCompletion(const char* port, int32_t portLength, const uint8_t* reply,
                           uint32_t source, uint32_t length, uint32_t status) {
  if (length > 0) gWireOctets += kFrameOverhead + length;
  return gEngineCompletion(port, portLength, reply, source, length, status);
}

int CountingRequest(const char* port, uint8_t destination, const uint8_t* data, uint16_t length,
                    uint8_t expectReply, CompletionCallback completion) {
  gEngineCompletion = completion;
  const int result =
      Client_RequestAsync(port, destination, data, length, expectReply, CountingCompletion);
  if (result == 0) {
    gWireOctets += kFrameOverhead + length;
    ++gExchanges;
  }
  return result;
}

int TimedWaitSettled(const char* port, uint8_t station) {
  const uint32_t start = plat::now_ms();
  const int result = Client_WaitSettled(port, station);
  gSettleMs += plat::now_ms() - start;
  return result;
}

void TimedSleep(uint32_t ms) {
  plat::sleep_ms(ms);
  gSettleMs += ms;
}

pid_t StartSim(const std::string& sim, const std::filesystem::path& dir) {
  const std::filesystem::path scenario = dir / "scenario.txt";
  std::ofstream(scenario) << "[controller]\naddress = 16\nserial = 4410021\n";
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

struct Figures {
  double ms = 0;
  double wireMs = 0;
  double settleMs = 0;
  uint32_t exchanges = 0;
};

template <typename Run>
Figures Measure(Run run) {
  gWireOctets = 0;
  gExchanges = 0;
  gSettleMs = 0;
  const auto start = std::chrono::steady_clock::now();
  run();
  Figures f;
  f.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  f.wireMs = gWireOctets.load() * kOctetMs;
  f.settleMs = gSettleMs.load();
  f.exchanges = gExchanges.load();
  return f;
}

void Print(const char* what, const Figures& f) {
  std::printf("%s %8.0f ms, settle waits %6.0f ms, %3u exchanges with %6.1f ms wire time "
              "(%.1f %% of the run, %.1f %% of the run without settle waits)\n",
              what, f.ms, f.settleMs, f.exchanges, f.wireMs, 100.0 * f.wireMs / f.ms,
              100.0 * f.wireMs / (f.ms - f.settleMs));
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::string sim = "tarnix-sim";
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--sim") == 0) sim = argv[i + 1];
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
  }
  char pattern[] = "/tmp/brevane-bench-backup-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) return 2;
  const std::filesystem::path dir = made;
  const pid_t simPid = StartSim(sim, dir);
  if (simPid < 0) {
    std::fprintf(stderr, "bench_backup: cannot start %s\n", sim.c_str());
    return 2;
  }
  setenv("BREVANE_PORTS", (dir / "ports").c_str(), 1);
  std::filesystem::current_path(dir);

  BackupSeam seam = BackupRealSeam;
  seam.requestAsync = CountingRequest;
  seam.waitSettled = TimedWaitSettled;
  seam.sleepMs = TimedSleep;
  Backup_Init();
  Backup_SetSeam(&seam);
  Image_SetPolicy(YesNoSetting::Unset, YesNoSetting::Unset);
  std::atomic<bool> stop{false};
  std::thread worker([&stop] {
    while (!stop.load()) {
      BackupStep();
      plat::sleep_ms(10);
    }
  });

  int status = 0;
  DeviceRecord device;
  std::vector<double> backups, restores;
  if (Client_Open("Com1") != 0 || Client_ScanRange("Com1", 16, 16, &device, 1) != 1) {
    std::fprintf(stderr, "bench_backup: no controller at 16\n");
    status = 2;
  }
  for (int run = 0; status == 0 && run < runs; ++run) {
    SettingsOutcome outcome = SettingsOutcome::NotTaken;
    const Figures backup = Measure([&] { BackupDevice(&device, &outcome); });
    if (outcome != SettingsOutcome::Complete) status = 1;
    RestorePlan plan;
    plan.backupTaken = true;
    const Figures restore = Measure([&] { RestoreDevice(&device, plan, &outcome); });
    if (outcome != SettingsOutcome::Complete) status = 1;
    std::printf("\n");
    Print("backup ", backup);
    Print("restore", restore);
    backups.push_back(backup.ms);
    restores.push_back(restore.ms);
  }
  if (!backups.empty()) {
    std::printf("median of %zu runs: backup %.0f ms, restore %.0f ms\n", backups.size(),
                Median(backups), Median(restores));
  }
  stop.store(true);
  worker.join();
  Client_Close("Com1");
  kill(simPid, SIGTERM);
  waitpid(simPid, nullptr, 0);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return status;
}
