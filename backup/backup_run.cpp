#include "backup/backup_run.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/serial.h"
#include "update/image_package.h"

namespace {

constexpr uint8_t kServiceHeader = 0x01;
constexpr uint8_t kDirectory = 0x02;
constexpr uint8_t kListClasses = 0x02;
constexpr uint8_t kListInstances = 0x03;
constexpr uint8_t kReadInstance = 0x05;
constexpr uint8_t kWriteInstance = 0x0A;
constexpr uint8_t kLiveStatusClass = 16;
constexpr uint8_t kSettleMember = 9;
constexpr uint8_t kIdentityClass = 1;
constexpr uint8_t kHardwareIdMember = 1;
constexpr uint8_t kSerialMember = 7;
constexpr uint8_t kModelMember = 9;
constexpr uint8_t kInputClass = 3;
constexpr uint8_t kCalibrationMember = 7;  // read-only: the device refuses the whole write
constexpr uint8_t kAttemptsPerMessage = 4;
constexpr uint32_t kSettlePollMs = 1000;
// Reply offsets of the directory lists and the read-instance answer.
constexpr uint32_t kClassCountAt = 3;
constexpr uint32_t kInstanceCountAt = 4;
constexpr uint32_t kPayloadAt = 2;
constexpr uint32_t kShortestInstanceReply = kPayloadAt + BackupShortestRecord;

void CopyText(char* to, std::size_t size, const char* from) {
  std::snprintf(to, size, "%s", from == nullptr ? "" : from);
}

// The system's words for the last failure on this thread.
std::string SystemText() {
  char text[160] = "";
  plat::error_text(plat::last_error(), text, sizeof text);
  return text;
}

BackupNotice NoticeOf(BackupEvent event) {
  BackupNotice notice;
  notice.event = event;
  return notice;
}

}  // namespace

BackupRun::BackupRun(Bus& bus, plat::Clock& clock, plat::Files& files, BackupNotices& notices)
    : bus_(bus), clock_(clock), files_(files), notices_(notices) {}

BackupRun::~BackupRun() { CloseFile(); }

void BackupRun::Reset() {
  CloseFile();
  state_.store(BackupState::Idle, std::memory_order_release);
  replyPending_.store(false, std::memory_order_release);
  stop_.store(false, std::memory_order_release);
  facts_ = BackupFacts{};
  result_ = Result{};
  failed_ = false;
  relocateNeeded_ = false;
  failureCount_ = 0;
  classCount_ = 0;
  classIndex_ = 0;
  instanceCount_ = 0;
  instanceIndex_ = 0;
  filePassed_ = false;
  fileWriteFailed_ = false;
  writeError_.clear();
  baseName_[0] = '\0';
  fileOffset_ = 0;
  recordLength_ = 0;
  modelNumber_[0] = '\0';
  serialNumber_ = 0;
  hardwareId_ = 0;
  searching_ = false;
  searchSince_ = 0;
  recordTimedOut_ = false;
  messageLength_ = 0;
}

void BackupRun::Tell(const BackupNotice& notice) { notices_.Notice(notice, facts_); }

// The first failure is the run's result; a stop or a lost device says more
// and is set over it where it happens.
void BackupRun::Fail(Outcome outcome, const std::string& text) {
  if (!failed_) result_ = Result(outcome, text);
  failed_ = true;
}

void BackupRun::FormatFileNames() {
  char name[sizeof baseName_ + 16];
  std::snprintf(name, sizeof name, BackupFileFormat, baseName_, BackupFileNumber);
  BackupFolder_Path(name, facts_.fileName, sizeof facts_.fileName);
  std::snprintf(facts_.partialName, sizeof facts_.partialName, "%s%s", facts_.fileName,
                BackupPartialSuffix);
}

// A name beside `path` that nothing has yet: the backup's name with `tag`
// and the date before its extension, and a number when that is taken too.
bool BackupRun::DistinctName(const char* path, const char* tag, char* out, std::size_t size) {
  const char* dot = std::strrchr(path, '.');
  const int stem = dot == nullptr ? static_cast<int>(std::strlen(path)) : static_cast<int>(dot - path);
  char date[32] = "";
  std::tm local{};
  if (plat::local_time(static_cast<int64_t>(std::time(nullptr)), &local)) {
    std::strftime(date, sizeof date, "%Y%m%d-%H%M%S", &local);
  }
  for (int n = 1; n < 100; ++n) {
    char number[8] = "";
    if (n > 1) std::snprintf(number, sizeof number, "-%d", n);
    const int length = std::snprintf(out, size, "%.*s.%s-%s%s%s", stem, path, tag, date, number,
                                     dot == nullptr ? "" : dot);
    if (length < 0 || static_cast<std::size_t>(length) >= size) return false;
    if (!files_.Exists(out)) return true;
  }
  return false;
}

// Gives `from` a name of its own beside the backup (keptName). False with
// the system's text in `text` when that failed; the partial backup is then gone.
bool BackupRun::KeepBeside(const char* from, const char* tag, std::string* text) {
  if (DistinctName(facts_.fileName, tag, facts_.keptName, sizeof facts_.keptName) &&
      files_.RenameNew(from, facts_.keptName)) {
    return true;
  }
  *text = SystemText();
  files_.Delete(facts_.partialName);
  return false;
}

// The backup could not be put on the disk: nothing of it is left under the
// final name, and the device is not to be touched.
void BackupRun::FailSaving(BackupSaveStep step, const std::string& text, BackupFileCheck check,
                           uint32_t records) {
  Fail(Outcome::FileFailed, text);
  facts_.saved = false;
  BackupNotice notice = NoticeOf(BackupEvent::NotSaved);
  notice.step = step;
  notice.text = text;
  notice.check = check;
  notice.records = records;
  Tell(notice);
}

// Reads the identity items that name the backup file.
Result BackupRun::ReadIdentity(bool withHardwareId) {
  TypedValue model;
  model.buffer = modelNumber_;
  model.bufferSize = sizeof modelNumber_;
  modelNumber_[0] = '\0';
  Result read = bus_.ReadMember(facts_.port, facts_.address, kIdentityClass, kModelMember, 1, &model);
  if (!read) return read;
  TypedValue serial;
  read = bus_.ReadMember(facts_.port, facts_.address, kIdentityClass, kSerialMember, 1, &serial);
  if (!read) return read;
  serialNumber_ = static_cast<int32_t>(serial.value);
  if (withHardwareId) {
    TypedValue hardware;
    read = bus_.ReadMember(facts_.port, facts_.address, kIdentityClass, kHardwareIdMember, 1, &hardware);
    if (!read) return read;
    hardwareId_ = static_cast<int32_t>(hardware.value);
  }
  std::snprintf(baseName_, sizeof baseName_, "%s%d", modelNumber_, static_cast<int>(serialNumber_));
  return {};
}

// Queues `length` bytes of `data` for the device. The flag is raised first: the
// completion may run on the master thread before the queue call returns.
void BackupRun::Send(const uint8_t* data, uint16_t length) {
  replyPending_.store(true, std::memory_order_release);
  if (!bus_.RequestAsync(facts_.port, facts_.address, data, length, true, OnReply, this)) {
    // Not queued: the same message goes out at the next step.
    replyPending_.store(false, std::memory_order_release);
  }
}

void BackupRun::CloseFile() {
  if (file_ != nullptr) files_.Close(file_);
  file_ = nullptr;
}

// The backup has been through every class. It counts as saved only once it
// has been flushed, renamed to its final name (or to a name of its own beside
// an earlier backup that is still to be restored) and read back whole. An
// unfinished or damaged backup never carries the final name.
void BackupRun::FinishBackupFile() {
  if (file_ == nullptr) return;
  const bool flushed = files_.Flush(file_);
  if (!flushed && !fileWriteFailed_) writeError_ = SystemText();
  const bool closed = files_.Close(file_);
  if (!closed && flushed && !fileWriteFailed_) writeError_ = SystemText();
  file_ = nullptr;
  if (fileWriteFailed_ || !flushed || !closed) {
    files_.Delete(facts_.partialName);
    FailSaving(BackupSaveStep::Write, writeError_);
    return;
  }
  if (failed_) {
    // A class or instance was left out: such a file would pass for a whole
    // backup in a later run.
    files_.Delete(facts_.partialName);
    Tell(NoticeOf(BackupEvent::Incomplete));
    return;
  }
  uint32_t records = 0;
  BackupFileCheck check = Backup_CheckFile(files_, facts_.partialName, &records);
  if (check != BackupFileCheck::Whole || records != facts_.recordsWritten) {
    files_.Delete(facts_.partialName);
    FailSaving(BackupSaveStep::ReadBack, {}, check, records);
    return;
  }
  uint32_t earlier = 0;
  check = Backup_CheckFile(files_, facts_.fileName, &earlier);
  std::string text;
  if (check == BackupFileCheck::Whole) {
    // The settings from before an update that did not finish: they are the
    // ones to put back. This backup may already hold factory settings.
    if (!KeepBeside(facts_.partialName, "fresh", &text)) {
      FailSaving(BackupSaveStep::KeepFresh, text);
      return;
    }
    BackupNotice notice = NoticeOf(BackupEvent::EarlierRestored);
    notice.modifiedKnown = files_.ModifiedTime(facts_.fileName, &notice.modified);
    facts_.earlierKept = true;
    facts_.saved = true;
    Tell(notice);
    return;
  }
  if (check != BackupFileCheck::Missing) {
    if (!KeepBeside(facts_.fileName, "unreadable", &text)) {
      FailSaving(BackupSaveStep::MoveAside, text, check);
      return;
    }
    BackupNotice notice = NoticeOf(BackupEvent::MovedAside);
    notice.check = check;
    Tell(notice);
  }
  if (!files_.RenameNew(facts_.partialName, facts_.fileName)) {
    text = SystemText();
    files_.Delete(facts_.partialName);
    FailSaving(BackupSaveStep::Rename, text);
    return;
  }
  check = Backup_CheckFile(files_, facts_.fileName, &records);
  if (check != BackupFileCheck::Whole || records != facts_.recordsWritten) {
    files_.Delete(facts_.fileName);
    FailSaving(BackupSaveStep::ReadBackNamed, {}, check, records);
    return;
  }
  facts_.saved = true;
}

// The device did not come back: whatever file is open is left as a restore
// would need it (an unfinished backup goes, a backup being restored stays).
void BackupRun::GiveUpOnDevice() {
  Tell(NoticeOf(BackupEvent::DeviceLost));
  if (file_ != nullptr && state_.load(std::memory_order_relaxed) != BackupState::RestoreRecord) {
    CloseFile();
    files_.Delete(facts_.partialName);
  }
  CloseFile();
  const Result port = bus_.PortState(facts_.port);
  result_ = port ? Result(Outcome::NotFound) : port;
  failed_ = true;
  facts_.deviceLost = true;
  relocateNeeded_ = false;
  state_.store(BackupState::FinishRun, std::memory_order_release);
}

// True when the device answers again (or never stopped), false to skip this step.
bool BackupRun::FindDeviceAgain() {
  if (!relocateNeeded_) return true;
  const uint32_t started = clock_.NowMs();
  const uint8_t found = bus_.Relocate(facts_.port, Image_SearchRangeLow(hardwareId_),
                                      Image_SearchRangeHigh(hardwareId_),
                                      Image_ModbusSelectRegister(hardwareId_), modelNumber_,
                                      serialNumber_);
  if (found != BusNoStation) {
    facts_.address = found;
    relocateNeeded_ = false;
    searching_ = false;
    return true;
  }
  if (!searching_) {
    searching_ = true;
    searchSince_ = started;
  }
  if (clock_.NowMs() - searchSince_ >= BackupLostDeviceMs) GiveUpOnDevice();
  return false;
}

void BackupRun::StepOpenBackupFile() {
  if (filePassed_) {
    state_.store(BackupState::FinishRun, std::memory_order_release);
    return;
  }
  FormatFileNames();
  // A partial file left by a run that was cut short is replaced; a file under
  // the final name is looked at once this backup is complete.
  file_ = files_.Open(facts_.partialName, plat::FileMode::CreateAlways);
  if (file_ == nullptr) {
    FailSaving(BackupSaveStep::Create, SystemText());
    filePassed_ = true;
    return;
  }
  fileWriteFailed_ = false;
  writeError_.clear();
  facts_.recordsWritten = 0;
  state_.store(BackupState::ListInstances, std::memory_order_release);
}

void BackupRun::StepRestoreRecord() {
  recordLength_ = 0;
  uint8_t lengthBytes[2] = {};
  uint32_t done = 0;
  const bool positioned = files_.Seek(file_, fileOffset_, plat::SeekFrom::Begin, nullptr);
  const bool read = positioned && files_.Read(file_, lengthBytes, 2, &done);
  if (read && done == 0) {
    // The end of the file: it goes only when every record reached the device.
    CloseFile();
    if (!failed_ && facts_.recordsRestored == facts_.recordsTotal) files_.Delete(facts_.fileName);
    state_.store(BackupState::RestoreFilePassed, std::memory_order_release);
    return;
  }
  if (read && done == 2) {
    recordLength_ = static_cast<uint16_t>(lengthBytes[0] | (lengthBytes[1] << 8));
    if (recordLength_ < BackupShortestRecord || recordLength_ > BackupLongestRecord) {
      BackupNotice notice = NoticeOf(BackupEvent::RecordSkipped);
      notice.offset = fileOffset_;
      notice.length = recordLength_;
      Tell(notice);
      Fail(Outcome::FileDamaged);
      fileOffset_ += 2u + recordLength_;
      return;
    }
    done = 0;
    if (files_.Read(file_, message_ + 2, recordLength_, &done) && done == recordLength_) {
      message_[0] = kServiceHeader;
      message_[1] = kWriteInstance;
      messageLength_ = static_cast<uint16_t>(recordLength_ + 2);
      if (message_[2] == kInputClass) DropMember(message_, &messageLength_, kCalibrationMember);
      Send(message_, messageLength_);
      return;
    }
  }
  // A record cut short, or a file that cannot be read: nothing that was not
  // read from the file is sent, and the file stays for a later run.
  BackupNotice notice = NoticeOf(BackupEvent::FileCutShort);
  notice.offset = fileOffset_;
  Tell(notice);
  CloseFile();
  Fail(Outcome::FileDamaged);
  state_.store(BackupState::RestoreFilePassed, std::memory_order_release);
}

void BackupRun::StepRestoreFilePassed() {
  TypedValue settle;
  bus_.ReadMember(facts_.port, facts_.address, kLiveStatusClass, kSettleMember, 1, &settle);
  WaitSettledValue(settle.value);
  filePassed_ = true;
  state_.store(BackupState::OpenRestoreFile, std::memory_order_release);
}

void BackupRun::StepOpenRestoreFile() {
  if (filePassed_) {
    state_.store(BackupState::FinishRun, std::memory_order_release);
    return;
  }
  fileOffset_ = 0;
  recordLength_ = 0;
  FormatFileNames();
  facts_.recordsTotal = 0;
  facts_.recordsRestored = 0;
  const BackupFileCheck check = Backup_CheckFile(files_, facts_.fileName, &facts_.recordsTotal);
  facts_.fileMissing = check == BackupFileCheck::Missing;
  if (facts_.fileMissing) Fail(Outcome::FileMissing);
  if (check == BackupFileCheck::NotAFile) {
    BackupNotice notice = NoticeOf(BackupEvent::NotAFile);
    notice.check = check;
    Tell(notice);
    Fail(Outcome::FileDamaged);
  }
  file_ = check == BackupFileCheck::Missing || check == BackupFileCheck::NotAFile
              ? nullptr
              : files_.Open(facts_.fileName, plat::FileMode::OpenRead);
  if (file_ == nullptr) {
    if (check != BackupFileCheck::Missing && check != BackupFileCheck::NotAFile) {
      BackupNotice notice = NoticeOf(BackupEvent::FileNotOpened);
      notice.text = SystemText();
      Tell(notice);
      Fail(Outcome::FileFailed, notice.text);
    }
    filePassed_ = true;
    return;
  }
  facts_.fileOpened = true;
  state_.store(BackupState::RestoreRecord, std::memory_order_release);
}

void BackupRun::AppendRecord(const uint8_t* reply, uint32_t length) {
  if (file_ == nullptr) return;
  const uint32_t payload = length - kPayloadAt;
  const uint8_t lengthBytes[2] = {static_cast<uint8_t>(payload & 0xFF),
                                  static_cast<uint8_t>(payload >> 8)};
  uint32_t done = 0;
  const bool head = files_.Write(file_, lengthBytes, 2, &done) && done == 2;
  done = 0;
  const bool body = head && files_.Write(file_, reply + kPayloadAt, payload, &done) && done == payload;
  if (!body) {
    // The first failure's text is the one the operator reads.
    if (!fileWriteFailed_) writeError_ = SystemText();
    fileWriteFailed_ = true;
  }
  ++facts_.recordsWritten;
}

// Copies a directory list that starts with its count at `countAt`. A reply
// shorter than its count claims gives the entries it holds and fails the run.
uint8_t BackupRun::TakeList(const uint8_t* reply, uint32_t length, uint32_t countAt, uint8_t* list,
                            bool skipLiveStatus) {
  if (reply == nullptr || length <= countAt) {
    Fail(Outcome::SettingFailed);
    return 0;
  }
  const uint32_t claimed = reply[countAt];
  const uint32_t held = length - countAt - 1;
  if (held < claimed) Fail(Outcome::SettingFailed);
  uint8_t count = 0;
  for (uint32_t i = 0; i < claimed && i < held; ++i) {
    const uint8_t entry = reply[countAt + 1 + i];
    if (skipLiveStatus && entry == kLiveStatusClass) continue;
    list[count++] = entry;
  }
  return count;
}

Result BackupRun::StartBackup(const char* port, uint8_t address) {
  Reset();
  CopyText(facts_.port, sizeof facts_.port, port);
  facts_.address = address;
  Result started = bus_.Open(facts_.port);
  if (started) started = ReadIdentity(true);
  if (!started) return started;
  state_.store(BackupState::ListClasses, std::memory_order_release);
  return {};
}

Result BackupRun::StartRestore(const char* port, uint8_t address, int32_t hardwareId, bool readFile) {
  Reset();
  CopyText(facts_.port, sizeof facts_.port, port);
  facts_.address = address;
  Result started = bus_.Open(facts_.port);
  if (started) started = ReadIdentity(false);
  if (!started) return started;
  hardwareId_ = hardwareId;
  filePassed_ = !readFile;
  state_.store(BackupState::OpenRestoreFile, std::memory_order_release);
  return {};
}

Result BackupRun::Run() {
  while (!Step()) clock_.SleepMs(BackupStepPauseMs);
  return result_;
}

bool BackupRun::Step() {
  if (replyPending_.load(std::memory_order_acquire)) return false;
  if (state_.load(std::memory_order_relaxed) == BackupState::Idle) return true;
  if (recordTimedOut_) {
    recordTimedOut_ = false;
    BackupNotice notice = NoticeOf(BackupEvent::RecordTimedOut);
    notice.cls = message_[2];
    notice.instance = message_[3];
    Tell(notice);
  }
  if (stop_.load(std::memory_order_acquire) && !facts_.stopped) {
    // An unfinished backup goes; a backup being restored stays for a later run.
    if (file_ != nullptr && state_.load(std::memory_order_relaxed) != BackupState::RestoreRecord) {
      CloseFile();
      files_.Delete(facts_.partialName);
    }
    CloseFile();
    facts_.stopped = true;
    result_ = Result(Outcome::Stopped);
    failed_ = true;
    facts_.deviceLost = true;  // no settle wait
    relocateNeeded_ = false;
    state_.store(BackupState::FinishRun, std::memory_order_release);
  }
  if (!FindDeviceAgain()) return false;
  switch (state_.load(std::memory_order_relaxed)) {
    case BackupState::Idle:
      break;
    case BackupState::ListClasses: {
      const uint8_t message[] = {kServiceHeader, kDirectory, kListClasses};
      Send(message, sizeof message);
      break;
    }
    case BackupState::OpenBackupFile:
      StepOpenBackupFile();
      break;
    case BackupState::ListInstances:
      if (classIndex_ < classCount_) {
        const uint8_t message[] = {kServiceHeader, kDirectory, kListInstances, classList_[classIndex_]};
        Send(message, sizeof message);
      } else {
        FinishBackupFile();
        classIndex_ = 0;
        state_.store(BackupState::BackupFilePassed, std::memory_order_release);
      }
      break;
    case BackupState::ReadInstances:
      if (instanceIndex_ < instanceCount_) {
        const uint8_t message[] = {kServiceHeader, kReadInstance, classList_[classIndex_],
                                   instanceList_[instanceIndex_]};
        Send(message, sizeof message);
      } else {
        ++classIndex_;
        state_.store(BackupState::ListInstances, std::memory_order_release);
      }
      break;
    case BackupState::BackupFilePassed:
      filePassed_ = true;
      state_.store(BackupState::OpenBackupFile, std::memory_order_release);
      break;
    case BackupState::OpenRestoreFile:
      StepOpenRestoreFile();
      break;
    case BackupState::RestoreRecord:
      StepRestoreRecord();
      break;
    case BackupState::RestoreFilePassed:
      StepRestoreFilePassed();
      break;
    case BackupState::FinishRun:
      if (!facts_.deviceLost) bus_.WaitSettled(facts_.port, facts_.address);
      state_.store(BackupState::Idle, std::memory_order_release);
      return true;
  }
  return false;
}

void BackupRun::OnReply(void* context, const AsyncReply& reply) {
  static_cast<BackupRun*>(context)->Complete(reply);
}

// On the port's master thread, while the step leaves the run alone.
void BackupRun::Complete(const AsyncReply& reply) {
  const bool delivered = reply.status == static_cast<uint32_t>(UpcallStatus::Delivered);
  const uint8_t* data = delivered ? reply.data : nullptr;
  bool givenUp = false;
  if (delivered) {
    failureCount_ = 0;
  } else {
    ++failureCount_;
    relocateNeeded_ = true;
    if (failureCount_ >= kAttemptsPerMessage) {
      givenUp = true;
      Fail(Outcome::SettingFailed);
      failureCount_ = 0;
    }
  }
  if (delivered || givenUp) {
    switch (state_.load(std::memory_order_relaxed)) {
      case BackupState::ListClasses:
        if (delivered) {
          classCount_ = TakeList(data, reply.length, kClassCountAt, classList_, true);
          classIndex_ = 0;
          state_.store(BackupState::OpenBackupFile, std::memory_order_relaxed);
        } else {
          state_.store(BackupState::FinishRun, std::memory_order_relaxed);
        }
        break;
      case BackupState::ListInstances:
        if (delivered) {
          instanceCount_ = TakeList(data, reply.length, kInstanceCountAt, instanceList_, false);
          instanceIndex_ = 0;
          state_.store(BackupState::ReadInstances, std::memory_order_relaxed);
        } else {
          ++classIndex_;
        }
        break;
      case BackupState::ReadInstances:
        if (delivered) {
          // A refusal or a reply without class, instance and count is no record.
          if (data != nullptr && reply.length >= kShortestInstanceReply) {
            AppendRecord(data, reply.length);
          } else {
            Fail(Outcome::SettingFailed);
          }
        }
        ++instanceIndex_;
        break;
      case BackupState::RestoreRecord:
        fileOffset_ += 2u + recordLength_;
        if (delivered) {
          ++facts_.recordsRestored;
        } else {
          recordTimedOut_ = true;
        }
        break;
      default:
        break;
    }
  }
  replyPending_.store(false, std::memory_order_release);
}

void BackupRun::Stop() { stop_.store(true, std::memory_order_release); }

void BackupRun::WaitSettledValue(uint32_t previous) {
  const uint32_t start = clock_.NowMs();
  for (;;) {
    if (stop_.load(std::memory_order_acquire)) return;
    clock_.SleepMs(kSettlePollMs);
    TypedValue settle;
    settle.value = previous;
    uint32_t now = 0;
    if (bus_.ReadMember(facts_.port, facts_.address, kLiveStatusClass, kSettleMember, 1, &settle)) {
      now = settle.value;
    } else {
      now = previous - 1;
      const uint8_t found = bus_.Relocate(facts_.port, Image_SearchRangeLow(hardwareId_),
                                          Image_SearchRangeHigh(hardwareId_),
                                          Image_ModbusSelectRegister(hardwareId_), modelNumber_,
                                          serialNumber_);
      facts_.address = found;
      if (found == BusNoStation) {
        Tell(NoticeOf(BackupEvent::DeviceLost));
        const Result port = bus_.PortState(facts_.port);
        result_ = port ? Result(Outcome::NotFound) : port;
        failed_ = true;
        facts_.deviceLost = true;
        return;
      }
    }
    if (now == previous || clock_.NowMs() - start >= BackupSettleLimitMs) return;
    previous = now;
  }
}

bool Backup_FileName(const char* modelNumber, int32_t serialNumber, char* path, std::size_t size) {
  char name[80];
  std::snprintf(name, sizeof name, "%s%d-%d.qsv", modelNumber, static_cast<int>(serialNumber),
                BackupFileNumber);
  return BackupFolder_Path(name, path, size);
}

BackupFileCheck Backup_CheckFile(plat::Files& files, const char* path, uint32_t* records) {
  *records = 0;
  if (!files.Exists(path)) return BackupFileCheck::Missing;
  if (!files.IsRegular(path)) return BackupFileCheck::NotAFile;
  plat::FileHandle file = files.Open(path, plat::FileMode::OpenRead);
  if (file == nullptr) return BackupFileCheck::Unreadable;
  BackupFileCheck check = BackupFileCheck::Whole;
  uint8_t record[BackupLongestRecord];
  for (;;) {
    uint8_t lengthBytes[2];
    uint32_t done = 0;
    if (!files.Read(file, lengthBytes, 2, &done)) {
      check = BackupFileCheck::Unreadable;
      break;
    }
    if (done == 0) break;
    const uint16_t length = static_cast<uint16_t>(lengthBytes[0] | (lengthBytes[1] << 8));
    if (done != 2 || length < BackupShortestRecord || length > BackupLongestRecord) {
      check = BackupFileCheck::Damaged;
      break;
    }
    done = 0;
    if (!files.Read(file, record, length, &done)) {
      check = BackupFileCheck::Unreadable;
      break;
    }
    if (done != length) {
      check = BackupFileCheck::Damaged;
      break;
    }
    ++*records;
  }
  files.Close(file);
  if (check == BackupFileCheck::Whole && *records == 0) check = BackupFileCheck::Damaged;
  return check;
}

void DropMember(uint8_t* message, uint16_t* length, uint8_t member) {
  constexpr uint16_t kCountAt = 4;
  constexpr uint16_t kItemsAt = 5;
  if (*length <= kCountAt || message[kCountAt] == 0) return;
  uint16_t at = kItemsAt;
  for (uint8_t item = 0; item < message[kCountAt]; ++item) {
    if (at + 1u >= *length) return;  // the item or its value starts beyond the message
    TypedValue ignored;
    const uint16_t valueSize = TypedValue_Decode(message + at + 1, *length - at - 1u, &ignored);
    if (valueSize == 0) return;  // a value that runs past the message
    const uint16_t itemSize = static_cast<uint16_t>(1 + valueSize);
    if (message[at] == member) {
      std::memmove(message + at, message + at + itemSize, static_cast<std::size_t>(*length - at - itemSize));
      --message[kCountAt];
      *length = static_cast<uint16_t>(*length - itemSize);
      return;
    }
    at = static_cast<uint16_t>(at + itemSize);
  }
}
