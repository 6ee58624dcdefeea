// The programming engine: a ProgrammingJob programs the carried image into
// one device through its bootloader. The job owns all of its state, so that
// several jobs may run at once, on different ports or beside other
// requesters on the same port. It reaches the bus only through a Bus (its
// requests carry the job, so that their replies come back to it) and time
// only through a plat::Clock; it prints nothing and says how it ended with a
// Result. Whoever runs a job either calls Run() on a thread of its own or
// calls Step() itself (the unit tests, on virtual time); Abort() and the
// progress reads may come from any other thread.
#pragma once

#include <atomic>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "client/bus.h"
#include "client/result.h"
#include "client/scan.h"
#include "platform/clock.h"

enum class ProgrammerState : uint8_t {
  OpenPort,
  EnterBootloader,
  FindBootloader,
  Prepare,
  ReadyCheck,
  Transfer,
  TransferDone,
  LeaveBootloader,
  ConfirmApplication,
  DefaultsWrite,
  // The two ends: Done programmed the device, Failed ended the job with the
  // outcome it says. A job in either has ended once its requests still on
  // their way have come back.
  Failed,
  Done,
};

// Room for the records of one bootloader search.
inline constexpr std::size_t ProgrammerScanRecords = 32;
// Blocks that may be on their way to the device without an answer.
inline constexpr uint32_t ProgrammerWindow = 20;
// Failed or refused block answers in a row, with no block acknowledged in
// between, after which the device is taken to have restarted and lost its
// prepared flash: the job finds its bootloader again and starts over from
// block 0. One whole window of them: line faults that lose or spoil that
// many exchanges in a row do not occur, while a restarted device refuses a
// window's worth of blocks within a fraction of a second.
inline constexpr uint32_t ProgrammerStallLimit = ProgrammerWindow;
// Relocation passes in a row that do not find a device which stopped
// answering a control message (the ready check, the restart, the presence
// probe), after which the job ends with Outcome::NotFound. A pass looks for
// up to 60 s and sends the Modbus switch after every miss, while a controller
// that restarts is back within seconds, on the Tarnix bus or in Modbus mode:
// the first pass finds it. The second allows for a pass spoilt by the line;
// a device still missing after both needs a person's hands (the update steps
// ask for a power cycle), not more minutes of searching.
inline constexpr uint32_t ProgrammerRelocationPasses = 2;
// Bootloader searches in a row that do not find the device, each after the
// entry message was sent again and the device given 1 s, after which the job
// ends with Outcome::NotFound. A device that heard the entry message, or
// that restarted in the middle of the transfer, is in its bootloader within
// that second; five entry messages in a row lost on the line do not happen,
// so a device still missing is switched off or cut from the bus.
inline constexpr uint32_t ProgrammerBootloaderSearches = 5;
// The pause between two steps of Run().
inline constexpr uint32_t ProgrammerStepPauseMs = 10;

// The transfer's counters: blocks the device acknowledged in order, the next
// block to send, and the blocks of the image.
struct ProgrammerTransfer {
  uint32_t acked = 0;
  uint32_t next = 0;
  uint32_t total = 0;
};

// One device's programming job. How it ends:
// - Done: the device runs its application again (the factory settings
//   written unless left out);
// - PortNotOpened: the port did not open (nothing was sent);
// - EntryFailed: the bootloader entry could not be queued;
// - NotFound: the device stopped answering and was not found again (see the
//   two limits above); finding it is left to the update steps, which ask the
//   operator to power cycle it;
// - Stopped: Abort() ended it at its next step; EntrySent() tells whether the
//   device may sit in its bootloader;
// - ProgrammingError: the device answered a block with its programming error.
//   Nothing more is sent to it: the blocks still queued are taken back.
class ProgrammingJob {
 public:
  // `record` must stay valid until the job has ended: a new station address
  // of the device is written into it. `defaultsWrite` false leaves out the
  // write of the factory settings after the restart (the settings could not
  // be put back afterwards).
  ProgrammingJob(Bus& bus, plat::Clock& clock, DeviceRecord* record, bool defaultsWrite = true);
  ProgrammingJob(const ProgrammingJob&) = delete;
  ProgrammingJob& operator=(const ProgrammingJob&) = delete;

  // Steps the job until it has ended, with ProgrammerStepPauseMs between two
  // steps, and returns how it ended.
  Result Run();
  // One step; false once the job has ended (its outcome in Ending()).
  bool Step();
  // Ends the job at its next step (its pauses are cut short) with
  // Outcome::Stopped; nothing more is sent for it. Any thread.
  void Abort();

  // Any thread.
  bool Ended() const { return ended_.load(std::memory_order_acquire); }
  // How the job ended; only once Ended().
  const Result& Ending() const { return ending_; }
  ProgrammerState State() const { return state_.load(std::memory_order_acquire); }
  // Whether the job sent its device the bootloader entry.
  bool EntrySent() const { return entrySent_.load(std::memory_order_acquire); }
  // Percentage of the image the device acknowledged.
  uint32_t Progress() const;
  ProgrammerTransfer Transfer() const;

  // The completions of the job's requests (ReplyHandler, with the job as the
  // context): the control messages that expect a reply, and the blocks. They
  // run on the port's master thread.
  static void OnControlReply(void* job, const AsyncReply& reply);
  static void OnBlockReply(void* job, const AsyncReply& reply);

 private:
  void SetState(ProgrammerState state) { state_.store(state, std::memory_order_release); }
  void Fail(Outcome outcome);
  void Pause(uint32_t ms);
  bool Send(const uint8_t* data, std::size_t length, bool expectReply, ReplyHandler handler);
  void SendControl(const uint8_t* data, std::size_t length);
  void Relocate();
  uint8_t SearchBootloader(uint8_t first, uint8_t last);
  void NoteBootloadersPresent();
  void FindBootloader();
  void BeginTransfer();
  ProgrammerState TransferStep();
  void ProgrammingStep(ProgrammerState state);
  bool Finish();
  ProgrammerState AfterControlReply(ProgrammerState state, bool delivered, const uint8_t* reply,
                                    uint32_t length);
  void ControlReply(const AsyncReply& reply);
  void BlockReply(const AsyncReply& reply);
  void GoBack();
  void CountStall();
  void TakeBack();

  Bus& bus_;
  plat::Clock& clock_;
  DeviceRecord* const record_;
  const bool defaultsWrite_;
  // Copied from the record at the start; `address_` is the step's afterwards.
  char port_[sizeof DeviceRecord{}.portName] = {};
  char modelNumber_[sizeof DeviceRecord{}.modelNumber] = {};
  const int32_t hardwareId_;
  uint8_t address_;

  // Shared with the reply handlers and the threads that follow the job; see
  // programmer.cpp for who writes which, and the orderings.
  std::atomic<ProgrammerState> state_{ProgrammerState::OpenPort};
  std::atomic<bool> replyPending_{false};
  std::atomic<bool> relocate_{false};
  std::atomic<uint32_t> inFlight_{0};
  std::atomic<uint32_t> blocksInFlight_{0};
  std::atomic<uint32_t> total_{0};
  std::atomic<uint32_t> acked_{0};
  std::atomic<uint32_t> next_{0};
  std::atomic<uint32_t> confirmFailures_{0};
  std::atomic<uint32_t> stalls_{0};
  std::atomic<bool> restartTransfer_{false};
  std::atomic<bool> programmingError_{false};
  std::atomic<bool> abort_{false};
  std::atomic<bool> entrySent_{false};
  std::atomic<bool> ended_{false};
  // Held while a block is queued and while a programming error takes the
  // queued blocks back, so that no block slips in after the error.
  std::mutex sendLock_;

  // The stepping thread's alone.
  Result ending_;
  Result failure_;
  uint32_t failedPasses_ = 0;    // relocation passes in a row that found nothing
  uint32_t failedSearches_ = 0;  // bootloader searches in a row that found nothing
  // Stations that were in their bootloader before the job's entry message
  // went out: other units stuck there, never the job's device.
  std::bitset<256> bootloadersBefore_;
  DeviceRecord searchRecords_[ProgrammerScanRecords];
};
