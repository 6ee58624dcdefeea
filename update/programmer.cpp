#include "update/programmer.h"

#include <atomic>
#include <cstring>

#include "client/client.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace {

// Blocks that may be on their way to the device without an answer.
constexpr long kTransferWindow = 20;
constexpr uint32_t kTickPauseMs = 10;

struct Job {
  // Written by the front end before it sets `state`, read by the worker
  // after it has seen the new state.
  char portName[32] = {};
  uint8_t scanLow = 0;
  uint8_t scanHigh = 0;

  std::atomic<ProgrammerState> state{ProgrammerState::Idle};
  std::atomic<int> status{ProgrammerOk};
  std::atomic<uint32_t> total{0};
  std::atomic<uint32_t> acked{0};

  // Written by the worker before it releases "FLESem"; read by the front end
  // only after it has taken that release.
  std::atomic<uint16_t> scanCount{0};
  DeviceRecord scanRecords[ProgrammerScanRecords];
};

Job g_job;
plat::SemHandle g_jobEnded = nullptr;  // "FLESem"
plat::SemHandle g_replySignal = nullptr;  // "ResSem"
plat::SemHandle g_window = nullptr;  // "ProgSem"

void EndJob(int status) {
  g_job.status.store(status);
  g_job.state.store(ProgrammerState::Idle);
  plat::sem_release(g_jobEnded);
}

void RunScan() {
  if (Client_Open(g_job.portName) != 0) {
    g_job.scanCount.store(0);
    EndJob(ProgrammerPortFailed);
    return;
  }
  // The scan fills only the fields a device reports: a bootloader, which
  // reports no version, must not show the one a record held from an earlier
  // scan.
  for (DeviceRecord& record : g_job.scanRecords) record = DeviceRecord{};
  const uint8_t found = Client_ScanRange(g_job.portName, g_job.scanLow, g_job.scanHigh,
                                         g_job.scanRecords, ProgrammerScanRecords);
  g_job.scanCount.store(found);
  Client_Close(g_job.portName);
  EndJob(ProgrammerOk);
}

}  // namespace

int Programmer_Init() {
  if (g_jobEnded == nullptr) g_jobEnded = plat::sem_create(0, 1, "FLESem");
  if (g_replySignal == nullptr) g_replySignal = plat::sem_create(0, 1, "ResSem");
  if (g_window == nullptr) g_window = plat::sem_create(kTransferWindow, kTransferWindow, "ProgSem");
  g_job.state.store(ProgrammerState::Idle);
  g_job.status.store(ProgrammerOk);
  g_job.total.store(0);
  g_job.acked.store(0);
  g_job.scanLow = 0;
  g_job.scanHigh = 0;
  return g_jobEnded != nullptr && g_replySignal != nullptr && g_window != nullptr ? 1 : 0;
}

void Programmer_Run(void*) {
  for (;;) {
    Programmer_Tick();
    plat::sleep_ms(kTickPauseMs);
  }
}

void Programmer_Tick() {
  switch (g_job.state.load()) {
    case ProgrammerState::Idle:
      break;
    case ProgrammerState::Scan:
      RunScan();
      break;
  }
}

ProgrammerState Programmer_State() { return g_job.state.load(); }

int Programmer_StartScan(const char* portName, uint8_t low, uint8_t high) {
  g_job.scanCount.store(0);
  std::strncpy(g_job.portName, portName, sizeof g_job.portName - 1);
  g_job.portName[sizeof g_job.portName - 1] = '\0';
  g_job.scanLow = low;
  const unsigned widest = low + ProgrammerScanRecords - 1;
  g_job.scanHigh = high > widest ? static_cast<uint8_t>(widest) : high;
  g_job.state.store(ProgrammerState::Scan);
  return 1;
}

uint8_t Programmer_FetchScan(DeviceRecord* destination, std::size_t capacity) {
  std::size_t count = g_job.scanCount.load();
  if (count > capacity) count = capacity;
  for (std::size_t i = 0; i < count; ++i) destination[i] = g_job.scanRecords[i];
  return static_cast<uint8_t>(count);
}

int Programmer_Wait(uint32_t timeoutMs) {
  if (plat::sem_wait(g_jobEnded, timeoutMs) == plat::WaitResult::TimedOut) return ProgrammerRunning;
  return g_job.status.load();
}

uint32_t Programmer_Progress() {
  const uint32_t total = g_job.total.load();
  if (total == 0) return 0;
  return static_cast<uint32_t>(uint64_t{g_job.acked.load()} * 100 / total);
}
