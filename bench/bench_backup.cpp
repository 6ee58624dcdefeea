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

#include "app/backup_steps.h"
#include "client/bus.h"
#include "client/client.h"
#include "client/scan.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "update/image_package.h"

extern char** environ;

namespace {

constexpr double kOctetMs = 10.0 * 1000.0 / 38400.0;
// A data frame: preamble, header and its check, then the data and its check.
constexpr uint32_t kFrameOverhead = 8 + 2;

std::atomic<uint32_t> gWireOctets{0};
std::atomic<uint32_t> gExchanges{0};
std::atomic<uint32_t> gSettleMs{0};

// The client, counting the octets of the engine's exchanges and timing its
// settle waits. One run at a time uses it, with one request on the bus.
class CountingBus final : public Bus {
 public:
  Result Open(const char* port) override { return real_.Open(port); }
  Result Close(const char* port) override { return real_.Close(port); }
  Result PortState(const char* port) override { return real_.PortState(port); }
  Result Request(const char* port, uint8_t station, const uint8_t* data, uint16_t length,
                 uint8_t* reply, uint16_t capacity, uint16_t* replyLength) override {
    return real_.Request(port, station, data, length, reply, capacity, replyLength);
  }
  Result RequestAsync(const char* port, uint8_t station, const uint8_t* data, uint16_t length,
                      bool expectReply, ReplyHandler handler, void* context) override {
    engineHandler_ = handler;
    engineContext_ = context;
    const Result result = real_.RequestAsync(port, station, data, length, expectReply, Counting, this);
    if (result) {
      gWireOctets += kFrameOverhead + length;
      ++gExchanges;
    }
    return result;
  }
  // The engine's requests went out with this bus as their requester.
  uint32_t Withdraw(const char* port, void*) override { return real_.Withdraw(port, this); }
  Result ReadMember(const char* port, uint8_t station, uint8_t cls, uint8_t member,
                    uint8_t instance, TypedValue* value) override {
    return real_.ReadMember(port, station, cls, member, instance, value);
  }
  Result WriteMember(const char* port, uint8_t station, uint8_t cls, uint8_t member,
                     uint8_t instance, TypedValue value) override {
    return real_.WriteMember(port, station, cls, member, instance, value);
  }
  Result WaitSettled(const char* port, uint8_t station) override {
    const uint32_t start = plat::now_ms();
    const Result result = real_.WaitSettled(port, station);
    gSettleMs += plat::now_ms() - start;
    return result;
  }
  Result SetZoneAddress(const char* port, uint8_t station, uint8_t newAddress) override {
    return real_.SetZoneAddress(port, station, newAddress);
  }
  uint8_t ScanRange(const char* port, uint8_t first, uint8_t last, DeviceRecord* records,
                    uint8_t capacity) override {
    return real_.ScanRange(port, first, last, records, capacity);
  }
  uint8_t FindDevice(const char* port, uint8_t first, uint8_t last, const char* modelNumber,
                     int32_t serialNumber) override {
    return real_.FindDevice(port, first, last, modelNumber, serialNumber);
  }
  uint8_t Relocate(const char* port, uint8_t first, uint8_t last, uint16_t selectRegister,
                   const char* modelNumber, int32_t serialNumber) override {
    return real_.Relocate(port, first, last, selectRegister, modelNumber, serialNumber);
  }

 private:
  static void Counting(void* context, const AsyncReply& reply) {
    auto* self = static_cast<CountingBus*>(context);
    if (reply.length > 0) gWireOctets += kFrameOverhead + reply.length;
    self->engineHandler_(self->engineContext_, reply);
  }

  Bus& real_ = Client_Bus();
  ReplyHandler engineHandler_ = nullptr;
  void* engineContext_ = nullptr;
};

// The system's clock; the restore's settle polls (a second each, unlike the
// pauses between the engine's steps) count as settle time.
class TimingClock final : public plat::Clock {
 public:
  uint32_t NowMs() override { return plat::now_ms(); }
  void SleepMs(uint32_t ms) override {
    plat::sleep_ms(ms);
    if (ms > BackupStepPauseMs) gSettleMs += ms;
  }
};

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

  CountingBus bus;
  TimingClock clock;
  const BackupWorld world{bus, clock, plat::system_files(), plat::system_console(),
                         plat::interrupt_requested};
  Image_SetPolicy(YesNoSetting::Unset, YesNoSetting::Unset);

  int status = 0;
  DeviceRecord device;
  std::vector<double> backups, restores;
  if (Client_Open("Com1") != 0 || Client_ScanRange("Com1", 16, 16, &device, 1) != 1) {
    std::fprintf(stderr, "bench_backup: no controller at 16\n");
    status = 2;
  }
  for (int run = 0; status == 0 && run < runs; ++run) {
    SettingsOutcome outcome = SettingsOutcome::NotTaken;
    BackupFacts facts;
    const Figures backup = Measure([&] { BackupDevice(world, &device, &outcome, &facts); });
    if (outcome != SettingsOutcome::Complete) status = 1;
    RestorePlan plan;
    plan.backupTaken = true;
    const Figures restore = Measure([&] { RestoreDevice(world, &device, plan, &outcome); });
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
  Client_Close("Com1");
  kill(simPid, SIGTERM);
  waitpid(simPid, nullptr, 0);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return status;
}
