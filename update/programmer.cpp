#include "update/programmer.h"

#include <cstring>

#include "image/carried_image.h"
#include "update/image_package.h"

// Words shared between threads, and the orderings they use. Three threads
// meet in a job: the one that steps it, the port's master thread (the reply
// handlers), and whoever follows it (progress, state, Abort).
// - state_: written by the step, and by the control-reply handler while the
//   step waits for that reply (replyPending_ set: the step leaves the state
//   alone meanwhile). Release stores, acquire loads.
// - replyPending_: raised by the step before it queues a control message,
//   cleared by the handler with a release store after every other change it
//   makes; the step reads it with an acquire load and does nothing while it
//   is set, so a reply is always taken before the next message goes.
// - inFlight_: the job's requests that expect a reply and have not come back
//   (queued, on the bus, or in their handler). The step counts one up before
//   it queues; a handler counts its own down as the last thing it does with
//   the job, and a take-back counts down what it took out of the queue. In
//   the transfer only blocks are on their way, so it is also the window. The
//   job ends only once it is 0: no handler can then run for a job that its
//   owner may destroy.
// - relocate_: set by the control-reply handler for a device that did not
//   answer and cleared by it for one that did; read by the step, which
//   clears it once a search found the device.
// - total_, acked_, next_: the transfer counters. total_ is stored by the step
//   before the ready check. acked_ moves only in the block handler (and is
//   reset by the step when no block of this job is on its way). next_ moves in
//   both: the step advances it with a compare-exchange, so a go-back stored by
//   the handler in between is never overwritten.
// - stalls_, restartTransfer_, programmingError_, confirmFailures_: set in the
//   handlers, read by the step (stalls_ and confirmFailures_ are handler-only
//   except for their resets, so relaxed).
// - abort_, entrySent_, ended_: release/acquire; ending_ is written before
//   ended_ is raised and read only after it was seen raised.

namespace {

constexpr uint32_t kPauseSliceMs = 100;
constexpr uint32_t kAfterEntryMs = 1000;
constexpr uint32_t kEraseWaitMs = 10000;
constexpr uint32_t kAfterTransferMs = 10000;
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

bool Ends(ProgrammerState state) {
  return state == ProgrammerState::Done || state == ProgrammerState::Failed;
}

bool WasDelivered(uint32_t status) { return status == static_cast<uint32_t>(Delivered); }

uint8_t ByteAt(const uint8_t* reply, uint32_t length, uint32_t index) {
  return reply != nullptr && index < length ? reply[index] : 0;
}

}  // namespace

ProgrammingJob::ProgrammingJob(Bus& bus, plat::Clock& clock, DeviceRecord* record,
                               bool defaultsWrite)
    : bus_(bus),
      clock_(clock),
      record_(record),
      defaultsWrite_(defaultsWrite),
      hardwareId_(record->hardwareId),
      address_(record->address) {
  std::memcpy(port_, record->portName, sizeof port_);
  port_[sizeof port_ - 1] = '\0';
  std::memcpy(modelNumber_, record->modelNumber, sizeof modelNumber_);
  modelNumber_[sizeof modelNumber_ - 1] = '\0';
}

Result ProgrammingJob::Run() {
  while (Step()) clock_.SleepMs(ProgrammerStepPauseMs);
  return ending_;
}

bool ProgrammingJob::Step() {
  if (Ended()) return false;
  if (!Ends(State())) {
    // The answer to the control message moves the job on; until it has come,
    // the step leaves the job as it is.
    if (replyPending_.load(std::memory_order_acquire)) return true;
    if (programmingError_.load(std::memory_order_acquire)) {
      Fail(Outcome::ProgrammingError);
    } else {
      // A clear flag means the device answered (or was found) since the last
      // search, so a later silence counts afresh.
      if (relocate_.load(std::memory_order_acquire)) {
        Relocate();
      } else {
        failedPasses_ = 0;
      }
      // A search that gave up has ended the job.
      const ProgrammerState now = State();
      if (!Ends(now)) {
        if (abort_.load(std::memory_order_acquire)) {
          Fail(Outcome::Stopped);
        } else {
          ProgrammingStep(now);
        }
      }
    }
  }
  if (Ends(State())) return !Finish();
  return true;
}

void ProgrammingJob::Abort() { abort_.store(true, std::memory_order_release); }

uint32_t ProgrammingJob::Progress() const {
  const uint32_t total = total_.load(std::memory_order_acquire);
  if (total == 0) return 0;
  return static_cast<uint32_t>(uint64_t{acked_.load(std::memory_order_acquire)} * 100 / total);
}

ProgrammerTransfer ProgrammingJob::Transfer() const {
  ProgrammerTransfer transfer;
  transfer.acked = acked_.load(std::memory_order_acquire);
  transfer.next = next_.load(std::memory_order_acquire);
  transfer.total = total_.load(std::memory_order_acquire);
  return transfer;
}

// The job ends with `outcome` once its requests on their way have come back.
// One that stops or met a programming error sends nothing more: what it still
// has in the queue is taken back.
void ProgrammingJob::Fail(Outcome outcome) {
  if (failure_.outcome == Outcome::Done) failure_.outcome = outcome;
  if (outcome == Outcome::Stopped || outcome == Outcome::ProgrammingError) TakeBack();
  SetState(ProgrammerState::Failed);
}

void ProgrammingJob::TakeBack() {
  const uint32_t taken = bus_.Withdraw(port_, this);
  if (taken > 0) inFlight_.fetch_sub(taken, std::memory_order_acq_rel);
}

// True once nothing of the job is on its way any more: the job has ended.
bool ProgrammingJob::Finish() {
  if (inFlight_.load(std::memory_order_acquire) != 0) return false;
  relocate_.store(false, std::memory_order_release);
  ending_ = State() == ProgrammerState::Done ? Result{} : failure_;
  ended_.store(true, std::memory_order_release);
  return true;
}

// An abort cuts a pause short within a tenth of a second.
void ProgrammingJob::Pause(uint32_t ms) {
  for (uint32_t slept = 0; slept < ms && !abort_.load(std::memory_order_acquire);) {
    const uint32_t slice = ms - slept < kPauseSliceMs ? ms - slept : kPauseSliceMs;
    clock_.SleepMs(slice);
    slept += slice;
  }
}

bool ProgrammingJob::Send(const uint8_t* data, std::size_t length, bool expectReply,
                          ReplyHandler handler) {
  if (expectReply) inFlight_.fetch_add(1, std::memory_order_acq_rel);
  const Result queued = bus_.RequestAsync(port_, address_, data, static_cast<uint16_t>(length),
                                          expectReply, handler, this);
  if (!queued && expectReply) inFlight_.fetch_sub(1, std::memory_order_acq_rel);
  return queued.Ok();
}

// Queues a control message whose answer the next steps wait for. The flag is
// up before the message can be answered.
void ProgrammingJob::SendControl(const uint8_t* data, std::size_t length) {
  replyPending_.store(true, std::memory_order_release);
  if (!Send(data, length, true, OnControlReply)) {
    replyPending_.store(false, std::memory_order_release);
  }
}

// One relocation pass; a device not found in as many passes in a row as
// allowed ends the job.
void ProgrammingJob::Relocate() {
  const uint8_t found =
      bus_.Relocate(port_, Image_SearchRangeLow(hardwareId_), Image_SearchRangeHigh(hardwareId_),
                    Image_ModbusSelectRegister(hardwareId_), record_->modelNumber,
                    record_->serialNumber);
  if (found == BusNoStation) {
    if (++failedPasses_ >= ProgrammerRelocationPasses) Fail(Outcome::NotFound);
    return;
  }
  failedPasses_ = 0;
  address_ = found;
  record_->address = found;
  relocate_.store(false, std::memory_order_release);
}

// The first station from `first` to `last` that answers as a bootloader whose
// model text fits the job's model number and that was not in its bootloader
// before the entry message; BusNoStation when there is none.
uint8_t ProgrammingJob::SearchBootloader(uint8_t first, uint8_t last) {
  const uint8_t count = bus_.ScanRange(port_, first, last, searchRecords_,
                                       static_cast<uint8_t>(ProgrammerScanRecords));
  for (uint8_t i = 0; i < count; ++i) {
    const DeviceRecord& found = searchRecords_[i];
    if (found.inBootloader == 1 && !bootloadersBefore_.test(found.address) &&
        BootModelFits(found.modelNumber, modelNumber_)) {
      return found.address;
    }
  }
  return BusNoStation;
}

// Notes the stations of the search range that sit in their bootloader before
// the entry message goes out. When the job's device misses the message, the
// search over the range must not take one of them for it and program it in
// its place. The job's own address is left out: a device chosen while in its
// bootloader is one of them.
void ProgrammingJob::NoteBootloadersPresent() {
  bootloadersBefore_.reset();
  const uint8_t count =
      bus_.ScanRange(port_, Image_SearchRangeLow(hardwareId_), Image_SearchRangeHigh(hardwareId_),
                     searchRecords_, static_cast<uint8_t>(ProgrammerScanRecords));
  for (uint8_t i = 0; i < count; ++i) {
    if (searchRecords_[i].inBootloader == 1 && searchRecords_[i].address != address_) {
      bootloadersBefore_.set(searchRecords_[i].address);
    }
  }
}

void ProgrammingJob::FindBootloader() {
  if (SearchBootloader(address_, address_) == BusNoStation) {
    const uint8_t found =
        SearchBootloader(Image_SearchRangeLow(hardwareId_), Image_SearchRangeHigh(hardwareId_));
    if (found == BusNoStation) {
      if (++failedSearches_ >= ProgrammerBootloaderSearches) {
        Fail(Outcome::NotFound);
        return;
      }
      // The entry message gets no answer, so nothing tells when it was lost
      // on the line: send it again before the next search.
      SetState(ProgrammerState::EnterBootloader);
      return;
    }
    address_ = found;
  }
  failedSearches_ = 0;
  SetState(ProgrammerState::Prepare);
}

// A fresh transfer: from block 0, with no stale word of an earlier one. No
// block of this job is in the queue now (the ready check's own exchange and
// the bootloader search went through the queue after them).
void ProgrammingJob::BeginTransfer() {
  total_.store(Image_GetBlockCount(hardwareId_), std::memory_order_release);
  acked_.store(0, std::memory_order_release);
  next_.store(0, std::memory_order_release);
  stalls_.store(0, std::memory_order_relaxed);
  restartTransfer_.store(false, std::memory_order_release);
}

ProgrammerState ProgrammingJob::TransferStep() {
  if (restartTransfer_.exchange(false, std::memory_order_acq_rel)) {
    // The device refuses or misses every block: it has most likely restarted
    // and lost its prepared flash. Start over from its bootloader.
    return ProgrammerState::FindBootloader;
  }
  const uint32_t total = total_.load(std::memory_order_acquire);
  if (acked_.load(std::memory_order_acquire) >= total) return ProgrammerState::TransferDone;
  if (next_.load(std::memory_order_acquire) >= total) return ProgrammerState::Transfer;
  // The window is full: the next step looks again.
  if (inFlight_.load(std::memory_order_acquire) >= ProgrammerWindow) {
    return ProgrammerState::Transfer;
  }

  uint32_t next = next_.load(std::memory_order_acquire);
  const uint32_t acked = acked_.load(std::memory_order_acquire);
  if (next - acked > ProgrammerWindow) {
    if (next_.compare_exchange_strong(next, acked, std::memory_order_acq_rel)) next = acked;
  }
  const ImageBlock* block =
      next > 0xFFFF ? nullptr : Image_GetBlock(hardwareId_, static_cast<uint16_t>(next));
  if (block == nullptr) return ProgrammerState::TransferDone;

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
  {
    const std::lock_guard<std::mutex> hold(sendLock_);
    // After a programming error the step ends the job; no block follows it.
    if (programmingError_.load(std::memory_order_acquire)) return ProgrammerState::Transfer;
    if (!Send(message, kBlockHeader + block->length, true, OnBlockReply)) {
      return ProgrammerState::Transfer;
    }
  }
  // A go-back that the handler stored meanwhile stays.
  next_.compare_exchange_strong(next, next + 1, std::memory_order_acq_rel);
  return ProgrammerState::Transfer;
}

void ProgrammingJob::ProgrammingStep(ProgrammerState state) {
  switch (state) {
    case ProgrammerState::OpenPort: {
      acked_.store(0, std::memory_order_release);
      next_.store(0, std::memory_order_release);
      failedPasses_ = 0;
      failedSearches_ = 0;
      Result opened = bus_.Open(port_);
      if (!opened) {
        failure_ = Result{Outcome::PortNotOpened, std::move(opened.text)};
        SetState(ProgrammerState::Failed);
      } else {
        NoteBootloadersPresent();
        SetState(ProgrammerState::EnterBootloader);
      }
      break;
    }
    case ProgrammerState::EnterBootloader: {
      uint8_t entry[2 + sizeof BootloaderEntryCode] = {kServiceHeader, kCodeEnterBootloader};
      std::memcpy(entry + 2, BootloaderEntryCode, sizeof BootloaderEntryCode);
      entrySent_.store(true, std::memory_order_release);
      if (!Send(entry, sizeof entry, false, nullptr)) {
        Fail(Outcome::EntryFailed);
        break;
      }
      SetState(ProgrammerState::FindBootloader);
      Pause(kAfterEntryMs);
      break;
    }
    case ProgrammerState::FindBootloader:
      FindBootloader();
      break;
    case ProgrammerState::Prepare:
      SendControl(kPrepare, sizeof kPrepare);
      break;
    case ProgrammerState::ReadyCheck:
      Pause(kEraseWaitMs);
      BeginTransfer();
      SendControl(kReadyCheck, sizeof kReadyCheck);
      break;
    case ProgrammerState::Transfer:
      SetState(TransferStep());
      break;
    case ProgrammerState::TransferDone:
      Pause(kAfterTransferMs);
      SetState(ProgrammerState::LeaveBootloader);
      break;
    case ProgrammerState::LeaveBootloader:
      SendControl(kRestart, sizeof kRestart);
      break;
    case ProgrammerState::ConfirmApplication:
      SendControl(kProbe, sizeof kProbe);
      break;
    case ProgrammerState::DefaultsWrite:
      if (defaultsWrite_ && Image_DefaultsWriteEnabled(hardwareId_) == 1) {
        SendControl(kDefaultsWrite, sizeof kDefaultsWrite);
      } else {
        SetState(ProgrammerState::Done);
      }
      break;
    case ProgrammerState::Failed:
    case ProgrammerState::Done:
      break;
  }
}

// The next state after a control answer; relocate_ is set where the device
// has to be found again before the message is sent once more.
ProgrammerState ProgrammingJob::AfterControlReply(ProgrammerState state, bool delivered,
                                                  const uint8_t* reply, uint32_t length) {
  const uint8_t code = ByteAt(reply, length, 1);
  switch (state) {
    case ProgrammerState::Prepare:
      return !delivered || code == kCodePrepare ? ProgrammerState::ReadyCheck : state;
    case ProgrammerState::ReadyCheck:
      if (!delivered) break;
      return code == kCodeBlock ? ProgrammerState::Transfer : ProgrammerState::Prepare;
    case ProgrammerState::LeaveBootloader:
      if (!delivered) break;
      confirmFailures_.store(0, std::memory_order_relaxed);
      return ProgrammerState::ConfirmApplication;
    case ProgrammerState::ConfirmApplication:
      if (delivered) {
        return ByteAt(reply, length, 3) == kInBootloader ? ProgrammerState::LeaveBootloader
                                                          : ProgrammerState::DefaultsWrite;
      }
      if (confirmFailures_.fetch_add(1, std::memory_order_relaxed) > kConfirmRelocations) {
        return ProgrammerState::Done;
      }
      break;
    case ProgrammerState::DefaultsWrite:
      return !delivered || code == kCodeWriteMember ? ProgrammerState::Done : state;
    default:
      return state;
  }
  relocate_.store(true, std::memory_order_release);
  return state;
}

void ProgrammingJob::OnControlReply(void* job, const AsyncReply& reply) {
  static_cast<ProgrammingJob*>(job)->ControlReply(reply);
}

void ProgrammingJob::OnBlockReply(void* job, const AsyncReply& reply) {
  static_cast<ProgrammingJob*>(job)->BlockReply(reply);
}

void ProgrammingJob::ControlReply(const AsyncReply& reply) {
  const ProgrammerState state = State();
  const bool delivered = WasDelivered(reply.status);
  // A device that answers is where the job addresses it: an earlier search
  // that found nothing (a device in its bootloader is never found by one) is
  // not run again before every later step.
  if (delivered) relocate_.store(false, std::memory_order_release);
  const ProgrammerState after = AfterControlReply(state, delivered, reply.data, reply.length);
  if (after != state) SetState(after);
  replyPending_.store(false, std::memory_order_release);
  // The last touch of the job: its owner may end it from now on.
  inFlight_.fetch_sub(1, std::memory_order_acq_rel);
}

void ProgrammingJob::GoBack() {
  next_.store(acked_.load(std::memory_order_acquire), std::memory_order_release);
}

// A failed or refused block with nothing acknowledged since the last one.
void ProgrammingJob::CountStall() {
  if (stalls_.fetch_add(1, std::memory_order_relaxed) + 1 >= ProgrammerStallLimit) {
    restartTransfer_.store(true, std::memory_order_release);
  }
}

void ProgrammingJob::BlockReply(const AsyncReply& reply) {
  const uint8_t code = ByteAt(reply.data, reply.length, 1);
  if (programmingError_.load(std::memory_order_acquire)) {
    // Answers to blocks that were already on the bus count for nothing.
  } else if (!WasDelivered(reply.status) || (code != kCodeBlock && code != kCodeProgrammingError)) {
    GoBack();
    CountStall();
  } else if (code == kCodeProgrammingError) {
    // Before the master thread takes the next request: the blocks queued
    // behind this one never go out.
    const std::lock_guard<std::mutex> hold(sendLock_);
    programmingError_.store(true, std::memory_order_release);
    TakeBack();
  } else {
    const uint32_t acked = acked_.load(std::memory_order_acquire);
    if (acked < total_.load(std::memory_order_acquire) && reply.length >= 6) {
      const uint32_t address = uint32_t{reply.data[2]} << 24 | uint32_t{reply.data[3]} << 16 |
                               uint32_t{reply.data[4]} << 8 | uint32_t{reply.data[5]};
      const ImageBlock* block = Image_GetBlock(hardwareId_, static_cast<uint16_t>(acked));
      if (block != nullptr && block->flashAddress == address) {
        acked_.store(acked + 1, std::memory_order_release);
        stalls_.store(0, std::memory_order_relaxed);
      }
    }
  }
  // The last touch of the job: its owner may end it from now on.
  inFlight_.fetch_sub(1, std::memory_order_acq_rel);
}
