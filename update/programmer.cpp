#include "update/programmer.h"

#include <atomic>
#include <bitset>
#include <cstdio>
#include <cstring>

#include "client/relocate.h"
#include "image/carried_image.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/sync.h"
#include "update/image_package.h"

// Words shared between threads, and the orderings they use:
// - state: written by the front end (start of a job), the worker, and the
//   control-reply callback while the worker waits on "ResSem". The front
//   end's store publishes the job fields it filled in before (port, record,
//   hardware id, model), so stores are release and loads acquire.
// - status: stored by the worker before it releases "FLESem" and read by the
//   front end after taking it; release/acquire, though the semaphore alone
//   already orders it.
// - replyPending: the worker sets it before it queues a control message and
//   clears it once it has taken that message's "ResSem" release. Only the
//   worker writes it, so every access is relaxed; the callback releases
//   "ResSem" once per control message, so each wait consumes exactly the
//   release of its own message (a flag cleared by the callback would let a
//   fast answer slip past the wait and leave a stale release behind).
// - relocate: set by the control-reply callback, read and cleared by the
//   worker after its "ResSem" wait; release/acquire.
// - total, acked, next: the transfer counters. total is stored by the worker
//   and read by the callback and the console (release/acquire). acked moves
//   only in the block callback (and is reset by the worker before a ready
//   check, when the queue holds no block of this job any more). next moves in
//   both the worker and the block callback: the worker advances it with a
//   compare-exchange, so a go-back stored by the callback in between is never
//   overwritten. The counters publish no other memory; acquire/release keeps
//   the console's percentage and the worker's decisions reading recent values.
// - halted, restartTransfer, stalls: set in the block callback, read by the
//   worker and the front end; release/acquire (stalls is callback-only except
//   for its reset with acked, so relaxed).

namespace {

constexpr uint32_t kTickPauseMs = 10;
constexpr uint32_t kAfterEntryMs = 1000;
constexpr uint32_t kEraseWaitMs = 10000;
constexpr uint32_t kAfterTransferMs = 10000;
constexpr uint32_t kPermitWaitMs = 1000;
// Failed presence probes in a row after which the device is left to be
// found by the update flow.
constexpr uint32_t kConfirmRelocations = 50;

constexpr uint8_t kServiceHeader = 0x01;
constexpr uint8_t kCodeProbe = 0x01;
constexpr uint8_t kCodeWriteMember = 0x04;
constexpr uint8_t kCodeEnterBootloader = 0xEA;
constexpr uint8_t kCodePrepare = 0xEC;
constexpr uint8_t kCodeBlock = 0xED;
constexpr uint8_t kCodeReadyCheck = 0xEE;
constexpr uint8_t kCodeRestart = 0xEF;
constexpr uint8_t kCodeProgrammingError = 0x8A;
constexpr uint8_t kInBootloader = 0xCC;

constexpr uint8_t kPrepare[] = {kServiceHeader, kCodePrepare};
constexpr uint8_t kReadyCheck[] = {kServiceHeader, kCodeReadyCheck};
constexpr uint8_t kRestart[] = {kServiceHeader, kCodeRestart};
constexpr uint8_t kProbe[] = {kServiceHeader, kCodeProbe};
// Settings set 31 (the factory settings) into class 1, member 13, instance 1.
constexpr uint8_t kDefaultsWrite[] = {kServiceHeader, kCodeWriteMember, 0x01, 0x0D,
                                      0x01,           0x07,             0x01, 0x1F};
constexpr std::size_t kBlockHeader = 8;

struct Job {
  // Written by the front end before it sets `state`; the worker reads them
  // after it has seen the new state. `address` is the worker's afterwards.
  char portName[32] = {};
  uint8_t scanLow = 0;
  uint8_t scanHigh = 0;
  uint8_t address = 0;
  int32_t hardwareId = 0;
  char modelNumber[sizeof DeviceRecord{}.modelNumber] = {};
  DeviceRecord* record = nullptr;

  std::atomic<ProgrammerState> state{ProgrammerState::Idle};
  std::atomic<int> status{ProgrammerOk};
  std::atomic<bool> replyPending{false};
  std::atomic<bool> relocate{false};
  std::atomic<uint32_t> total{0};
  std::atomic<uint32_t> acked{0};
  std::atomic<uint32_t> next{0};
  // Control-reply callback only.
  std::atomic<uint32_t> confirmFailures{0};
  std::atomic<uint32_t> stalls{0};
  std::atomic<bool> restartTransfer{false};
  std::atomic<bool> halted{false};
  std::atomic<bool> abort{false};
  std::atomic<bool> entrySent{false};
  bool defaultsWrite = true;

  // Written by the worker before it releases "FLESem"; read by the front end
  // only after it has taken that release.
  std::atomic<uint16_t> scanCount{0};
  DeviceRecord scanRecords[ProgrammerScanRecords];

  // Worker only.
  uint32_t failedPasses = 0;    // relocation passes in a row that found nothing
  uint32_t failedSearches = 0;  // bootloader searches in a row that found nothing
  // Stations that were in their bootloader before the job's entry message
  // went out: other units stuck there, never the job's device.
  std::bitset<256> bootloadersBefore;
  DeviceRecord searchRecords[ProgrammerScanRecords];
};

Job g_job;

// The engine wired to the client and the platform.
class ClientIo final : public ProgrammerIo {
 public:
  int Open(const char* portName) override { return Client_Open(portName); }
  int Close(const char* portName) override { return Client_Close(portName); }
  int RequestAsync(const char* portName, uint8_t destination, const uint8_t* data, uint16_t length,
                   uint8_t expectReply, CompletionCallback completion) override {
    return Client_RequestAsync(portName, destination, data, length, expectReply, completion);
  }
  uint8_t ScanRange(const char* portName, uint8_t first, uint8_t last, DeviceRecord* records,
                    std::size_t capacity) override {
    return Client_ScanRange(portName, first, last, records, capacity);
  }
  uint8_t Relocate(const char* portName, uint8_t first, uint8_t last, uint16_t selectRegister,
                   const char* modelNumber, int32_t serialNumber) override {
    return Client_Relocate(portName, first, last, selectRegister, modelNumber, serialNumber);
  }
  // An abort cuts a pause short within a tenth of a second.
  void Sleep(uint32_t ms) override {
    constexpr uint32_t kSlice = 100;
    for (uint32_t slept = 0; slept < ms && !g_job.abort.load(std::memory_order_acquire);) {
      const uint32_t slice = ms - slept < kSlice ? ms - slept : kSlice;
      plat::sleep_ms(slice);
      slept += slice;
    }
  }
  bool WaitJobEnded(uint32_t timeoutMs) override {
    return plat::sem_wait(jobEnded, timeoutMs) == plat::WaitResult::Signaled;
  }
  void SignalJobEnded() override { plat::sem_release(jobEnded); }
  void WaitReply() override { plat::sem_wait(replySignal, plat::kWaitForever); }
  void SignalReply() override { plat::sem_release(replySignal); }
  bool TakePermit(uint32_t timeoutMs) override {
    return plat::sem_wait(window, timeoutMs) == plat::WaitResult::Signaled;
  }
  void GivePermit() override { plat::sem_release(window); }
  void Print(const char* text) override { plat::con_printf("%s", text); }
  void Halt() override {
    for (;;) plat::sleep_ms(60000);
  }

  plat::SemHandle jobEnded = nullptr;     // "FLESem"
  plat::SemHandle replySignal = nullptr;  // "ResSem"
  plat::SemHandle window = nullptr;       // "ProgSem"
};

// Lives until the process ends and is never destroyed: a master thread
// halted for good by a programming error still stands in it at exit.
ClientIo& ClientBinding() {
  static ClientIo* const io = new ClientIo;
  return *io;
}

// The binding a test put in place; nullptr for the client's.
std::atomic<ProgrammerIo*> g_io{nullptr};

ProgrammerIo& Io() {
  ProgrammerIo* io = g_io.load(std::memory_order_acquire);
  return io != nullptr ? *io : ClientBinding();
}

ProgrammerState State() { return g_job.state.load(std::memory_order_acquire); }
void SetState(ProgrammerState state) { g_job.state.store(state, std::memory_order_release); }

void EndJob(int status) {
  g_job.relocate.store(false, std::memory_order_release);
  g_job.status.store(status, std::memory_order_release);
  SetState(ProgrammerState::Idle);
  Io().SignalJobEnded();
}

void RunScan() {
  ProgrammerIo& io = Io();
  if (io.Open(g_job.portName) != 0) {
    g_job.scanCount.store(0, std::memory_order_relaxed);
    EndJob(ProgrammerPortFailed);
    return;
  }
  // The scan fills only the fields a device reports: a bootloader, which
  // reports no version, must not show the one a record held from an earlier
  // scan.
  for (DeviceRecord& record : g_job.scanRecords) record = DeviceRecord{};
  const uint8_t found = io.ScanRange(g_job.portName, g_job.scanLow, g_job.scanHigh,
                                     g_job.scanRecords, ProgrammerScanRecords);
  g_job.scanCount.store(found, std::memory_order_relaxed);
  io.Close(g_job.portName);
  EndJob(ProgrammerOk);
}

int Send(const uint8_t* data, std::size_t length, bool expectReply, CompletionCallback callback) {
  return Io().RequestAsync(g_job.portName, g_job.address, data, static_cast<uint16_t>(length),
                           expectReply ? 1 : 0, callback);
}

// Queues a control message whose answer the next tick waits for. The flag is
// up before the message can be answered.
void SendControl(const uint8_t* data, std::size_t length) {
  g_job.replyPending.store(true, std::memory_order_relaxed);
  if (Send(data, length, true, Programmer_OnControlReply) != 0) {
    g_job.replyPending.store(false, std::memory_order_relaxed);
  }
}

// The job ends at its next step: the device is gone.
void LoseDevice() {
  g_job.status.store(ProgrammerDeviceLost, std::memory_order_release);
  SetState(ProgrammerState::Failed);
}

// One relocation pass; a device not found in as many passes in a row as
// allowed ends the job.
void Relocate() {
  const int32_t hw = g_job.hardwareId;
  const uint8_t found = Io().Relocate(g_job.portName, Image_SearchRangeLow(hw),
                                      Image_SearchRangeHigh(hw), Image_ModbusSelectRegister(hw),
                                      g_job.record->modelNumber, g_job.record->serialNumber);
  if (found == 255) {
    if (++g_job.failedPasses >= ProgrammerRelocationPasses) LoseDevice();
    return;
  }
  g_job.failedPasses = 0;
  g_job.address = found;
  g_job.record->address = found;
  g_job.relocate.store(false, std::memory_order_relaxed);
}

// The first station from `first` to `last` that answers as a bootloader whose
// model text fits the job's model number and that was not in its bootloader
// before the entry message; 255 when there is none.
uint8_t SearchBootloader(uint8_t first, uint8_t last) {
  DeviceRecord* found = g_job.searchRecords;
  const uint8_t count = Io().ScanRange(g_job.portName, first, last, found, ProgrammerScanRecords);
  for (uint8_t i = 0; i < count; ++i) {
    if (found[i].inBootloader == 1 && !g_job.bootloadersBefore.test(found[i].address) &&
        BootModelFits(found[i].modelNumber, g_job.modelNumber)) {
      return found[i].address;
    }
  }
  return 255;
}

// Notes the stations of the search range that sit in their bootloader before
// the entry message goes out. When the job's device misses the message, the
// search over the range must not take one of them for it and program it in
// its place. The job's own address is left out: a device chosen while in its
// bootloader is one of them.
void NoteBootloadersPresent() {
  g_job.bootloadersBefore.reset();
  const int32_t hw = g_job.hardwareId;
  DeviceRecord* found = g_job.searchRecords;
  const uint8_t count = Io().ScanRange(g_job.portName, Image_SearchRangeLow(hw),
                                       Image_SearchRangeHigh(hw), found, ProgrammerScanRecords);
  for (uint8_t i = 0; i < count; ++i) {
    if (found[i].inBootloader == 1 && found[i].address != g_job.address) {
      g_job.bootloadersBefore.set(found[i].address);
    }
  }
}

void FindBootloader() {
  if (SearchBootloader(g_job.address, g_job.address) == 255) {
    const int32_t hw = g_job.hardwareId;
    const uint8_t found = SearchBootloader(Image_SearchRangeLow(hw), Image_SearchRangeHigh(hw));
    if (found == 255) {
      if (++g_job.failedSearches >= ProgrammerBootloaderSearches) {
        LoseDevice();
        return;
      }
      // The entry message gets no answer, so nothing tells when it was lost
      // on the line: send it again before the next search.
      SetState(ProgrammerState::EnterBootloader);
      return;
    }
    g_job.address = found;
  }
  g_job.failedSearches = 0;
  SetState(ProgrammerState::Prepare);
}

// A fresh transfer: from block 0, with no stale word of an earlier one. No
// block of this job is in the queue now (the ready check's own exchange and
// the bootloader search went through the queue after them).
void BeginTransfer() {
  g_job.total.store(Image_GetBlockCount(g_job.hardwareId), std::memory_order_release);
  g_job.acked.store(0, std::memory_order_release);
  g_job.next.store(0, std::memory_order_release);
  g_job.stalls.store(0, std::memory_order_relaxed);
  g_job.restartTransfer.store(false, std::memory_order_release);
}

void ReadyCheck() {
  ProgrammerIo& io = Io();
  io.Sleep(kEraseWaitMs);
  BeginTransfer();
  SendControl(kReadyCheck, sizeof kReadyCheck);
}

ProgrammerState TransferStep() {
  ProgrammerIo& io = Io();
  if (g_job.restartTransfer.exchange(false, std::memory_order_acq_rel)) {
    // The device refuses or misses every block: it has most likely restarted
    // and lost its prepared flash. Start over from its bootloader.
    return ProgrammerState::FindBootloader;
  }
  const uint32_t total = g_job.total.load(std::memory_order_acquire);
  if (g_job.acked.load(std::memory_order_acquire) >= total) return ProgrammerState::TransferDone;
  if (g_job.next.load(std::memory_order_acquire) >= total) return ProgrammerState::Transfer;
  if (!io.TakePermit(kPermitWaitMs)) return ProgrammerState::Transfer;

  uint32_t next = g_job.next.load(std::memory_order_acquire);
  const uint32_t acked = g_job.acked.load(std::memory_order_acquire);
  if (next - acked > ProgrammerWindow) {
    if (g_job.next.compare_exchange_strong(next, acked, std::memory_order_acq_rel)) next = acked;
  }
  const ImageBlock* block =
      next > 0xFFFF ? nullptr : Image_GetBlock(g_job.hardwareId, static_cast<uint16_t>(next));
  if (block == nullptr) {
    io.GivePermit();
    return ProgrammerState::TransferDone;
  }

  uint8_t message[kBlockHeader + 255];
  message[0] = kServiceHeader;
  message[1] = kCodeBlock;
  message[2] = static_cast<uint8_t>(block->flashAddress >> 24);
  message[3] = static_cast<uint8_t>(block->flashAddress >> 16);
  message[4] = static_cast<uint8_t>(block->flashAddress >> 8);
  message[5] = static_cast<uint8_t>(block->flashAddress);
  message[6] = 0x00;
  message[7] = static_cast<uint8_t>(block->length);
  std::memcpy(message + kBlockHeader, block->data, block->length);
  if (Send(message, kBlockHeader + block->length, true, Programmer_OnBlockReply) != 0) {
    io.GivePermit();
    return ProgrammerState::Transfer;
  }
  // A go-back that the callback stored meanwhile stays.
  g_job.next.compare_exchange_strong(next, next + 1, std::memory_order_acq_rel);
  return ProgrammerState::Transfer;
}

void ProgrammingStep(ProgrammerState state) {
  ProgrammerIo& io = Io();
  switch (state) {
    case ProgrammerState::OpenPort:
      g_job.acked.store(0, std::memory_order_release);
      g_job.next.store(0, std::memory_order_release);
      g_job.failedPasses = 0;
      g_job.failedSearches = 0;
      if (io.Open(g_job.portName) != 0) {
        g_job.status.store(ProgrammerPortFailed, std::memory_order_release);
        SetState(ProgrammerState::Failed);
      } else {
        NoteBootloadersPresent();
        SetState(ProgrammerState::EnterBootloader);
      }
      break;
    case ProgrammerState::EnterBootloader: {
      uint8_t entry[2 + sizeof BootloaderEntryCode] = {kServiceHeader, kCodeEnterBootloader};
      std::memcpy(entry + 2, BootloaderEntryCode, sizeof BootloaderEntryCode);
      g_job.entrySent.store(true, std::memory_order_release);
      if (Send(entry, sizeof entry, false, nullptr) != 0) {
        g_job.status.store(ProgrammerEntryFailed, std::memory_order_release);
        SetState(ProgrammerState::Failed);
        break;
      }
      SetState(ProgrammerState::FindBootloader);
      io.Sleep(kAfterEntryMs);
      break;
    }
    case ProgrammerState::FindBootloader:
      FindBootloader();
      break;
    case ProgrammerState::Prepare:
      SendControl(kPrepare, sizeof kPrepare);
      break;
    case ProgrammerState::ReadyCheck:
      ReadyCheck();
      break;
    case ProgrammerState::Transfer:
      SetState(TransferStep());
      break;
    case ProgrammerState::TransferDone:
      io.Sleep(kAfterTransferMs);
      SetState(ProgrammerState::LeaveBootloader);
      break;
    case ProgrammerState::LeaveBootloader:
      SendControl(kRestart, sizeof kRestart);
      break;
    case ProgrammerState::ConfirmApplication:
      SendControl(kProbe, sizeof kProbe);
      break;
    case ProgrammerState::DefaultsWrite:
      if (g_job.defaultsWrite && Image_DefaultsWriteEnabled(g_job.hardwareId) == 1) {
        SendControl(kDefaultsWrite, sizeof kDefaultsWrite);
      } else {
        SetState(ProgrammerState::Done);
      }
      break;
    case ProgrammerState::Failed:
    case ProgrammerState::Done:
      EndJob(g_job.status.load(std::memory_order_acquire));
      break;
    case ProgrammerState::Idle:
    case ProgrammerState::Scan:
      break;
  }
}

bool WasDelivered(uint32_t status) { return status == static_cast<uint32_t>(Delivered); }

uint8_t ByteAt(const uint8_t* reply, uint32_t length, uint32_t index) {
  return reply != nullptr && index < length ? reply[index] : 0;
}

// The next state after a control answer; relocate is set where the device
// has to be found again before the message is sent once more.
ProgrammerState AfterControlReply(ProgrammerState state, bool delivered, const uint8_t* reply,
                                  uint32_t length) {
  const uint8_t code = ByteAt(reply, length, 1);
  switch (state) {
    case ProgrammerState::Prepare:
      return !delivered || code == kCodePrepare ? ProgrammerState::ReadyCheck : state;
    case ProgrammerState::ReadyCheck:
      if (!delivered) break;
      return code == kCodeBlock ? ProgrammerState::Transfer : ProgrammerState::Prepare;
    case ProgrammerState::LeaveBootloader:
      if (!delivered) break;
      g_job.confirmFailures.store(0, std::memory_order_relaxed);
      return ProgrammerState::ConfirmApplication;
    case ProgrammerState::ConfirmApplication:
      if (delivered) {
        return ByteAt(reply, length, 3) == kInBootloader ? ProgrammerState::LeaveBootloader
                                                          : ProgrammerState::DefaultsWrite;
      }
      if (g_job.confirmFailures.fetch_add(1, std::memory_order_relaxed) > kConfirmRelocations) {
        return ProgrammerState::Done;
      }
      break;
    case ProgrammerState::DefaultsWrite:
      return !delivered || code == kCodeWriteMember ? ProgrammerState::Done : state;
    default:
      return state;
  }
  g_job.relocate.store(true, std::memory_order_release);
  return state;
}

void GoBack() {
  g_job.next.store(g_job.acked.load(std::memory_order_acquire), std::memory_order_release);
}

// A failed or refused block with nothing acknowledged since the last one.
void CountStall() {
  if (g_job.stalls.fetch_add(1, std::memory_order_relaxed) + 1 >= ProgrammerStallLimit) {
    g_job.restartTransfer.store(true, std::memory_order_release);
  }
}

}  // namespace

void Programmer_Abort() { g_job.abort.store(true, std::memory_order_release); }

bool Programmer_EntrySent() { return g_job.entrySent.load(std::memory_order_acquire); }

int Programmer_Init() {
  ClientIo& client = ClientBinding();
  if (client.jobEnded == nullptr) client.jobEnded = plat::sem_create(0, 1, "FLESem");
  if (client.replySignal == nullptr) client.replySignal = plat::sem_create(0, 1, "ResSem");
  if (client.window == nullptr) {
    client.window = plat::sem_create(ProgrammerWindow, ProgrammerWindow, "ProgSem");
  }
  SetState(ProgrammerState::Idle);
  g_job.status.store(ProgrammerOk, std::memory_order_release);
  g_job.replyPending.store(false, std::memory_order_relaxed);
  g_job.relocate.store(false, std::memory_order_release);
  g_job.total.store(0, std::memory_order_release);
  g_job.acked.store(0, std::memory_order_release);
  g_job.next.store(0, std::memory_order_release);
  g_job.halted.store(false, std::memory_order_release);
  g_job.scanLow = 0;
  g_job.scanHigh = 0;
  return client.jobEnded != nullptr && client.replySignal != nullptr && client.window != nullptr
             ? 1
             : 0;
}

void Programmer_UseIo(ProgrammerIo* io) {
  g_io.store(io, std::memory_order_release);
}

void Programmer_Run(void*) {
  for (;;) {
    Programmer_Tick();
    plat::sleep_ms(kTickPauseMs);
  }
}

void Programmer_Tick() {
  if (g_job.halted.load(std::memory_order_acquire)) return;
  ProgrammerIo& io = Io();
  if (g_job.replyPending.load(std::memory_order_relaxed)) {
    io.WaitReply();
    g_job.replyPending.store(false, std::memory_order_relaxed);
    if (g_job.halted.load(std::memory_order_acquire)) return;
  }
  const ProgrammerState state = State();
  if (state == ProgrammerState::Scan) {
    RunScan();
    return;
  }
  // Only a programming job looks for its device; an idle engine leaves the
  // port to whoever uses it next. A clear flag means the device answered (or
  // was found) since the last search, so a later silence counts afresh.
  if (state != ProgrammerState::Idle && g_job.relocate.load(std::memory_order_acquire)) {
    Relocate();
  } else {
    g_job.failedPasses = 0;
  }
  // A search that gave up has ended the job.
  const ProgrammerState now = State();
  if (g_job.abort.load(std::memory_order_acquire) && now != ProgrammerState::Idle &&
      now != ProgrammerState::Scan && now != ProgrammerState::Done &&
      now != ProgrammerState::Failed) {
    EndJob(ProgrammerAborted);
    return;
  }
  ProgrammingStep(now);
}

ProgrammerState Programmer_State() { return State(); }

int Programmer_StartScan(const char* portName, uint8_t low, uint8_t high) {
  g_job.scanCount.store(0, std::memory_order_relaxed);
  std::strncpy(g_job.portName, portName, sizeof g_job.portName - 1);
  g_job.portName[sizeof g_job.portName - 1] = '\0';
  g_job.scanLow = low;
  const unsigned widest = low + ProgrammerScanRecords - 1;
  g_job.scanHigh = high > widest ? static_cast<uint8_t>(widest) : high;
  SetState(ProgrammerState::Scan);
  return 1;
}

uint8_t Programmer_FetchScan(DeviceRecord* destination, std::size_t capacity) {
  std::size_t count = g_job.scanCount.load(std::memory_order_relaxed);
  if (count > capacity) count = capacity;
  for (std::size_t i = 0; i < count; ++i) destination[i] = g_job.scanRecords[i];
  return static_cast<uint8_t>(count);
}

int Programmer_StartProgramming(DeviceRecord* record, bool defaultsWrite) {
  g_job.record = record;
  g_job.defaultsWrite = defaultsWrite;
  g_job.abort.store(false, std::memory_order_release);
  g_job.entrySent.store(false, std::memory_order_release);
  std::strncpy(g_job.portName, record->portName, sizeof g_job.portName - 1);
  g_job.portName[sizeof g_job.portName - 1] = '\0';
  g_job.address = record->address;
  g_job.hardwareId = record->hardwareId;
  std::memcpy(g_job.modelNumber, record->modelNumber, sizeof g_job.modelNumber);
  g_job.modelNumber[sizeof g_job.modelNumber - 1] = '\0';
  g_job.relocate.store(false, std::memory_order_release);
  g_job.status.store(ProgrammerOk, std::memory_order_release);
  SetState(ProgrammerState::OpenPort);
  return 1;
}

int Programmer_Wait(uint32_t timeoutMs) {
  if (!Io().WaitJobEnded(timeoutMs)) return ProgrammerRunning;
  return g_job.status.load(std::memory_order_acquire);
}

uint32_t Programmer_Progress() {
  const uint32_t total = g_job.total.load(std::memory_order_acquire);
  if (total == 0) return 0;
  return static_cast<uint32_t>(uint64_t{g_job.acked.load(std::memory_order_acquire)} * 100 /
                               total);
}

ProgrammerTransfer Programmer_Transfer() {
  ProgrammerTransfer transfer;
  transfer.acked = g_job.acked.load(std::memory_order_acquire);
  transfer.next = g_job.next.load(std::memory_order_acquire);
  transfer.total = g_job.total.load(std::memory_order_acquire);
  return transfer;
}

bool Programmer_Halted() { return g_job.halted.load(std::memory_order_acquire); }

uint8_t Programmer_OnControlReply(const char*, int32_t, const uint8_t* reply, uint32_t,
                                  uint32_t length, uint32_t status) {
  const ProgrammerState state = State();
  const bool delivered = WasDelivered(status);
  // A device that answers is where the job addresses it: an earlier search
  // that found nothing (a device in its bootloader is never found by one) is
  // not run again before every later step.
  if (delivered) g_job.relocate.store(false, std::memory_order_release);
  const ProgrammerState after = AfterControlReply(state, delivered, reply, length);
  if (after != state) SetState(after);
  Io().SignalReply();
  return 0;
}

uint8_t Programmer_OnBlockReply(const char*, int32_t, const uint8_t* reply, uint32_t,
                                uint32_t length, uint32_t status) {
  if (g_job.halted.load(std::memory_order_acquire)) return 0;
  ProgrammerIo& io = Io();
  io.GivePermit();
  if (!WasDelivered(status)) {
    GoBack();
    CountStall();
    return 0;
  }
  const uint8_t code = ByteAt(reply, length, 1);
  if (code == kCodeProgrammingError) {
    char text[64];
    io.Print("\r\n");
    std::snprintf(text, sizeof text, "PROGRAMMING ERROR (0x%02X)\r\n", code);
    io.Print(text);
    io.Print("Please Power Cycle The Unit and Restart This Application.\r\n");
    g_job.halted.store(true, std::memory_order_release);
    io.Halt();
    return 0;
  }
  if (code != kCodeBlock) {
    GoBack();
    CountStall();
    return 0;
  }
  const uint32_t acked = g_job.acked.load(std::memory_order_acquire);
  if (acked >= g_job.total.load(std::memory_order_acquire) || length < 6) return 0;
  const uint32_t address = uint32_t{reply[2]} << 24 | uint32_t{reply[3]} << 16 |
                           uint32_t{reply[4]} << 8 | uint32_t{reply[5]};
  const ImageBlock* block = Image_GetBlock(g_job.hardwareId, static_cast<uint16_t>(acked));
  if (block == nullptr || block->flashAddress != address) return 0;
  g_job.acked.store(acked + 1, std::memory_order_release);
  g_job.stalls.store(0, std::memory_order_relaxed);
  return 0;
}
