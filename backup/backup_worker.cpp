#include "backup/backup_worker.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "backup/backup.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/sync.h"
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

constexpr uint32_t kStepPauseMs = 10;

BackupWorker g_worker;
const BackupSeam* g_seam = &BackupRealSeam;
plat::SemHandle g_done = nullptr;  // "Backup": released once at the end of every run

void CopyText(char* to, std::size_t size, const char* from) {
  std::snprintf(to, size, "%s", from == nullptr ? "" : from);
}

void FormatFileNames(BackupWorker& w) {
  char name[sizeof w.baseName + 16];
  std::snprintf(name, sizeof name, BackupFileFormat, w.baseName, BackupFileNumber);
  BackupFolder_Path(name, w.fileName, sizeof w.fileName);
  std::snprintf(w.partialName, sizeof w.partialName, "%s%s", w.fileName, BackupPartialSuffix);
}

void SystemText(char* text, std::size_t size) { plat::error_text(plat::last_error(), text, size); }

// A name beside `path` that nothing has yet: the backup's name with `tag`
// and the date before its extension, and a number when that is taken too.
bool DistinctName(const char* path, const char* tag, char* out, std::size_t size) {
  const char* dot = std::strrchr(path, '.');
  const int stem = dot == nullptr ? static_cast<int>(std::strlen(path)) : static_cast<int>(dot - path);
  const std::time_t now = std::time(nullptr);
  char date[32] = "";
  if (const std::tm* local = std::localtime(&now)) std::strftime(date, sizeof date, "%Y%m%d-%H%M%S", local);
  for (int n = 1; n < 100; ++n) {
    char number[8] = "";
    if (n > 1) std::snprintf(number, sizeof number, "-%d", n);
    const int length = std::snprintf(out, size, "%.*s.%s-%s%s%s", stem, path, tag, date, number,
                                     dot == nullptr ? "" : dot);
    if (length < 0 || static_cast<std::size_t>(length) >= size) return false;
    if (!g_seam->fileExists(out)) return true;
  }
  return false;
}

// Gives `from` a name of its own beside the backup (w.keptName). False with
// the system's text in `text` when that failed; the partial backup is then gone.
bool KeepBeside(BackupWorker& w, const char* from, const char* tag, char* text, std::size_t size) {
  if (DistinctName(w.fileName, tag, w.keptName, sizeof w.keptName) &&
      g_seam->fileRenameNew(from, w.keptName)) {
    return true;
  }
  SystemText(text, size);
  g_seam->fileDelete(w.partialName);
  return false;
}

// The backup could not be put on the disk: nothing of it is left under the
// final name, and the device is not to be touched.
void FailSaving(BackupWorker& w, const char* what) {
  w.result = 2;
  w.saved = false;
  Backup_Print("\r\nCan't save the settings backup %s: %s. The device is not updated and its settings "
               "are left as they are. Make room in %s or give it write access, name another folder "
               "with BREVANE_BACKUPS, or run with -bNO to update without a backup.\r\n",
               w.fileName, what, BackupFolder_Shown());
}

// Reads the identity items that name the backup file. 1 = all read.
int ReadIdentity(BackupWorker& w, bool withHardwareId) {
  TypedValue model;
  model.buffer = w.modelNumber;
  model.bufferSize = sizeof w.modelNumber;
  w.modelNumber[0] = '\0';
  if (g_seam->readMember(w.port, w.address, kIdentityClass, kModelMember, 1, &model) != 0) return 0;
  TypedValue serial;
  if (g_seam->readMember(w.port, w.address, kIdentityClass, kSerialMember, 1, &serial) != 0) return 0;
  w.serialNumber = static_cast<int32_t>(serial.value);
  if (withHardwareId) {
    TypedValue hardware;
    if (g_seam->readMember(w.port, w.address, kIdentityClass, kHardwareIdMember, 1, &hardware) != 0) {
      return 0;
    }
    w.hardwareId = static_cast<int32_t>(hardware.value);
  }
  std::snprintf(w.baseName, sizeof w.baseName, "%s%d", w.modelNumber, static_cast<int>(w.serialNumber));
  return 1;
}

// Queues `length` bytes of `data` for the device. The flag is raised first: the
// completion may run on the master thread before the queue call returns.
void Send(BackupWorker& w, const uint8_t* data, uint16_t length) {
  w.replyPending.store(true, std::memory_order_release);
  if (g_seam->requestAsync(w.port, w.address, data, length, 1, OnBackupReply) != 0) {
    // Not queued: the same message goes out at the next step.
    w.replyPending.store(false, std::memory_order_release);
  }
}

void CloseFile(BackupWorker& w) {
  if (w.file != nullptr) g_seam->fileClose(w.file);
  w.file = nullptr;
}

// The backup has been through every class. It counts as saved only once it
// has been flushed, renamed to its final name (or to a name of its own beside
// an earlier backup that is still to be restored) and read back whole. An
// unfinished or damaged backup never carries the final name.
void FinishBackupFile(BackupWorker& w) {
  if (w.file == nullptr) return;
  const bool flushed = g_seam->fileFlush(w.file);
  char text[200] = "";
  if (!flushed && !w.fileWriteFailed) SystemText(w.writeError, sizeof w.writeError);
  const bool closed = g_seam->fileClose(w.file);
  if (!closed && flushed && !w.fileWriteFailed) SystemText(w.writeError, sizeof w.writeError);
  w.file = nullptr;
  if (w.fileWriteFailed || !flushed || !closed) {
    g_seam->fileDelete(w.partialName);
    std::snprintf(text, sizeof text, "writing it to the disk failed: %s", w.writeError);
    FailSaving(w, text);
    return;
  }
  if (w.result != 0) {
    // A class or instance was left out: such a file would pass for a whole
    // backup in a later run.
    g_seam->fileDelete(w.partialName);
    Backup_Print("\r\nThe settings backup %s is incomplete: some settings could not be read from "
                 "the device. It is not kept, and the device is not updated.\r\n",
                 w.fileName);
    return;
  }
  uint32_t records = 0;
  BackupFileCheck check = Backup_CheckFile(w.partialName, &records);
  if (check != BackupFileCheck::Whole || records != w.recordsWritten) {
    g_seam->fileDelete(w.partialName);
    std::snprintf(text, sizeof text, "reading it back gave %u of %u records (%s)",
                  static_cast<unsigned>(records), static_cast<unsigned>(w.recordsWritten),
                  check == BackupFileCheck::Whole ? "the file is short" : Backup_CheckText(check));
    FailSaving(w, text);
    return;
  }
  uint32_t earlier = 0;
  check = Backup_CheckFile(w.fileName, &earlier);
  if (check == BackupFileCheck::Whole) {
    // The settings from before an update that did not finish: they are the
    // ones to put back. This backup may already hold factory settings.
    if (!KeepBeside(w, w.partialName, "fresh", text, sizeof text)) {
      char what[320];
      std::snprintf(what, sizeof what, "keeping it beside the earlier backup failed: %s", text);
      FailSaving(w, what);
      return;
    }
    char date[40] = "an unknown time";
    int64_t seconds = 0;
    if (g_seam->fileModifiedTime(w.fileName, &seconds)) {
      const std::time_t when = static_cast<std::time_t>(seconds);
      if (const std::tm* local = std::localtime(&when)) {
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", local);
      }
    }
    Backup_Print("\r\nThe backup %s of %s is from an earlier update that did not finish: it holds "
                 "the settings from before that update and is the one restored. This backup is "
                 "kept as %s.\r\n",
                 w.fileName, date, w.keptName);
    w.earlierKept = true;
    w.saved = true;
    return;
  }
  if (check != BackupFileCheck::Missing) {
    if (!KeepBeside(w, w.fileName, "unreadable", text, sizeof text)) {
      char what[BackupPathMax + 400];
      std::snprintf(what, sizeof what,
                    "%s stands under its name and is not a settings backup (%s), and moving it "
                    "aside failed: %s",
                    w.fileName, Backup_CheckText(check), text);
      FailSaving(w, what);
      return;
    }
    Backup_Print("\r\n%s was not a settings backup (%s): it is moved aside to %s.\r\n",
                 w.fileName, Backup_CheckText(check), w.keptName);
  }
  if (!g_seam->fileRenameNew(w.partialName, w.fileName)) {
    SystemText(text, sizeof text);
    g_seam->fileDelete(w.partialName);
    char what[260];
    std::snprintf(what, sizeof what, "giving it its name failed: %s", text);
    FailSaving(w, what);
    return;
  }
  check = Backup_CheckFile(w.fileName, &records);
  if (check != BackupFileCheck::Whole || records != w.recordsWritten) {
    g_seam->fileDelete(w.fileName);
    std::snprintf(text, sizeof text, "reading it back under its name gave %u of %u records",
                  static_cast<unsigned>(records), static_cast<unsigned>(w.recordsWritten));
    FailSaving(w, text);
    return;
  }
  w.saved = true;
}

// The device did not come back: whatever file is open is left as a restore
// would need it (an unfinished backup goes, a backup being restored stays).
void GiveUpOnDevice(BackupWorker& w) {
  Backup_Print("ERROR: Lost Communication with the device\r\n");
  if (w.file != nullptr && w.state.load() != BackupState::RestoreRecord) {
    CloseFile(w);
    g_seam->fileDelete(w.partialName);
  }
  CloseFile(w);
  w.result = 2;
  w.deviceLost = true;
  w.relocateNeeded = false;
  w.state.store(BackupState::FinishRun);
}

// 1 when the device answers again (or never stopped), 0 to skip this step.
bool FindDeviceAgain(BackupWorker& w) {
  if (!w.relocateNeeded) return true;
  const uint32_t started = g_seam->nowMs();
  const uint8_t found = g_seam->relocate(
      w.port, Image_SearchRangeLow(w.hardwareId), Image_SearchRangeHigh(w.hardwareId),
      Image_ModbusSelectRegister(w.hardwareId), w.modelNumber, w.serialNumber);
  if (found != 255) {
    w.address = found;
    w.relocateNeeded = false;
    w.searching = false;
    return true;
  }
  if (!w.searching) {
    w.searching = true;
    w.searchSince = started;
  }
  if (g_seam->nowMs() - w.searchSince >= BackupLostDeviceMs) GiveUpOnDevice(w);
  return false;
}

void StepOpenBackupFile(BackupWorker& w) {
  if (w.filePassed) {
    w.state.store(BackupState::FinishRun);
    return;
  }
  FormatFileNames(w);
  // A partial file left by a run that was cut short is replaced; a file under
  // the final name is looked at once this backup is complete.
  w.file = g_seam->fileOpen(w.partialName, plat::FileMode::CreateAlways);
  if (w.file == nullptr) {
    char text[160];
    SystemText(text, sizeof text);
    char what[BackupPathMax + 200];
    std::snprintf(what, sizeof what, "creating %s failed: %s", w.partialName, text);
    FailSaving(w, what);
    w.filePassed = true;
    return;
  }
  w.fileWriteFailed = false;
  w.writeError[0] = '\0';
  w.recordsWritten = 0;
  w.state.store(BackupState::ListInstances);
}

void StepRestoreRecord(BackupWorker& w) {
  w.recordLength = 0;
  uint8_t lengthBytes[2] = {};
  uint32_t done = 0;
  const bool positioned = g_seam->fileSeek(w.file, w.fileOffset, plat::SeekFrom::Begin, nullptr);
  const bool read = positioned && g_seam->fileRead(w.file, lengthBytes, 2, &done);
  if (read && done == 0) {
    // The end of the file: it goes only when every record reached the device.
    CloseFile(w);
    if (w.result == 0 && w.recordsRestored == w.recordsTotal) g_seam->fileDelete(w.fileName);
    w.state.store(BackupState::RestoreFilePassed);
    return;
  }
  if (read && done == 2) {
    w.recordLength = static_cast<uint16_t>(lengthBytes[0] | (lengthBytes[1] << 8));
    if (w.recordLength < BackupShortestRecord || w.recordLength > BackupLongestRecord) {
      Backup_Print("Restoring the record at offset %u skipped: its length of %u bytes is not that of a "
            "settings record. The backup file %s is kept.\r\n",
            static_cast<unsigned>(w.fileOffset), static_cast<unsigned>(w.recordLength), w.fileName);
      w.result = 2;
      w.fileOffset += 2u + w.recordLength;
      return;
    }
    done = 0;
    if (g_seam->fileRead(w.file, w.message + 2, w.recordLength, &done) && done == w.recordLength) {
      w.message[0] = kServiceHeader;
      w.message[1] = kWriteInstance;
      w.messageLength = static_cast<uint16_t>(w.recordLength + 2);
      if (w.message[2] == kInputClass) DropMember(w.message, &w.messageLength, kCalibrationMember);
      Send(w, w.message, w.messageLength);
      return;
    }
  }
  // A record cut short, or a file that cannot be read: nothing that was not
  // read from the file is sent, and the file stays for a later run.
  Backup_Print("The backup file %s could not be read to its end; the settings behind offset %u were not "
        "restored. The file is kept for a later run.\r\n",
        w.fileName, static_cast<unsigned>(w.fileOffset));
  CloseFile(w);
  w.result = 2;
  w.state.store(BackupState::RestoreFilePassed);
}

void StepRestoreFilePassed(BackupWorker& w) {
  TypedValue settle;
  g_seam->readMember(w.port, w.address, kLiveStatusClass, kSettleMember, 1, &settle);
  WaitSettledValue(settle.value);
  w.filePassed = true;
  w.state.store(BackupState::OpenRestoreFile);
}

void StepOpenRestoreFile(BackupWorker& w) {
  if (w.filePassed) {
    w.state.store(BackupState::FinishRun);
    return;
  }
  w.fileOffset = 0;
  w.recordLength = 0;
  FormatFileNames(w);
  w.recordsTotal = 0;
  w.recordsRestored = 0;
  const BackupFileCheck check = Backup_CheckFile(w.fileName, &w.recordsTotal);
  w.fileMissing = check == BackupFileCheck::Missing;
  if (check == BackupFileCheck::NotAFile) {
    Backup_Print("\r\n%s is not a settings backup (%s): nothing is restored from it.\r\n", w.fileName,
                 Backup_CheckText(check));
    w.result = 2;
  }
  w.file = check == BackupFileCheck::Missing || check == BackupFileCheck::NotAFile
               ? nullptr
               : g_seam->fileOpen(w.fileName, plat::FileMode::OpenRead);
  if (w.file == nullptr) {
    if (check != BackupFileCheck::Missing && check != BackupFileCheck::NotAFile) {
      char text[160];
      SystemText(text, sizeof text);
      Backup_Print("\r\nCan't open the settings backup %s: %s. Nothing is restored; the file is "
                   "kept.\r\n",
                   w.fileName, text);
      w.result = 2;
    }
    w.filePassed = true;
    return;
  }
  w.fileOpened = true;
  w.state.store(BackupState::RestoreRecord);
}

void AppendRecord(BackupWorker& w, const uint8_t* reply, uint32_t length) {
  if (w.file == nullptr) return;
  const uint32_t payload = length - kPayloadAt;
  const uint8_t lengthBytes[2] = {static_cast<uint8_t>(payload & 0xFF),
                                  static_cast<uint8_t>(payload >> 8)};
  uint32_t done = 0;
  const bool head = g_seam->fileWrite(w.file, lengthBytes, 2, &done) && done == 2;
  done = 0;
  const bool body = head && g_seam->fileWrite(w.file, reply + kPayloadAt, payload, &done) &&
                    done == payload;
  if (!body) {
    // The first failure's text is the one the operator reads.
    if (!w.fileWriteFailed) SystemText(w.writeError, sizeof w.writeError);
    w.fileWriteFailed = true;
  }
  ++w.recordsWritten;
}

// Copies a directory list that starts with its count at `countAt`. A reply
// shorter than its count claims gives the entries it holds and fails the run.
uint8_t TakeList(BackupWorker& w, const uint8_t* reply, uint32_t length, uint32_t countAt,
                 uint8_t* list, bool skipLiveStatus) {
  if (reply == nullptr || length <= countAt) {
    w.result = 2;
    return 0;
  }
  const uint32_t claimed = reply[countAt];
  const uint32_t held = length - countAt - 1;
  if (held < claimed) w.result = 2;
  uint8_t count = 0;
  for (uint32_t i = 0; i < claimed && i < held; ++i) {
    const uint8_t entry = reply[countAt + 1 + i];
    if (skipLiveStatus && entry == kLiveStatusClass) continue;
    list[count++] = entry;
  }
  return count;
}

void CompleteListClasses(BackupWorker& w, bool delivered, const uint8_t* reply, uint32_t length) {
  if (delivered) {
    w.classCount = TakeList(w, reply, length, kClassCountAt, w.classList, true);
    w.classIndex = 0;
    w.state.store(BackupState::OpenBackupFile);
  } else {
    w.state.store(BackupState::FinishRun);
  }
}

void CompleteListInstances(BackupWorker& w, bool delivered, const uint8_t* reply,
                           uint32_t length) {
  if (delivered) {
    w.instanceCount = TakeList(w, reply, length, kInstanceCountAt, w.instanceList, false);
    w.instanceIndex = 0;
    w.state.store(BackupState::ReadInstances);
  } else {
    ++w.classIndex;
  }
}

void CompleteReadInstance(BackupWorker& w, bool delivered, const uint8_t* reply, uint32_t length) {
  if (delivered) {
    // A refusal or a reply without class, instance and count is no record.
    if (reply != nullptr && length >= kShortestInstanceReply) {
      AppendRecord(w, reply, length);
    } else {
      w.result = 2;
    }
  }
  ++w.instanceIndex;
}

void CompleteRestoreRecord(BackupWorker& w, bool delivered, bool givenUp) {
  if (delivered) {
    w.fileOffset += 2u + w.recordLength;
    ++w.recordsRestored;
  } else if (givenUp) {
    w.fileOffset += 2u + w.recordLength;
    Backup_Print("Restoring Class %d Instance %d Timed Out\r\n", w.message[2], w.message[3]);
  }
}

}  // namespace

int Backup_Init() {
  if (g_done == nullptr) g_done = plat::sem_create(0, 1, "Backup");
  Backup_Reset();
  return g_done != nullptr ? 1 : 0;
}

void Backup_Run(void*) {
  for (;;) {
    BackupStep();
    g_seam->sleepMs(kStepPauseMs);
  }
}

void Backup_Print(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  g_seam->print(text);
}

const BackupSeam& Backup_Seam() { return *g_seam; }

void Backup_SetSeam(const BackupSeam* seam) { g_seam = seam == nullptr ? &BackupRealSeam : seam; }

BackupWorker& Backup_Worker() { return g_worker; }

void Backup_Reset() {
  BackupWorker& w = g_worker;
  w.state.store(BackupState::WorkerIdle);
  w.replyPending.store(false);
  w.result = 0;
  w.relocateNeeded = false;
  w.failureCount = 0;
  w.backupStarted = false;
  w.filePassed = false;
  w.file = nullptr;
  w.fileOpened = false;
  w.deviceLost = false;
  w.searching = false;
  w.hardwareId = 0;
  w.stop.store(false);
  w.stopped = false;
}

int StartBackup(const char* portName, uint8_t address) {
  BackupWorker& w = g_worker;
  CopyText(w.port, sizeof w.port, portName);
  w.address = address;
  w.relocateNeeded = false;
  if (g_seam->open(w.port) != 0) return 0;
  w.result = 0;
  if (ReadIdentity(w, true) == 0) return 0;
  w.classCount = 0;
  w.classIndex = 0;
  w.instanceIndex = 0;
  w.failureCount = 0;
  w.filePassed = false;
  w.fileOpened = false;
  w.deviceLost = false;
  w.searching = false;
  w.saved = false;
  w.earlierKept = false;
  w.keptName[0] = '\0';
  w.recordsWritten = 0;
  w.stop.store(false, std::memory_order_release);
  w.stopped = false;
  w.backupStarted = true;
  w.state.store(BackupState::ListClasses);
  return 1;
}

int StartRestore(const char* portName, uint8_t address, int32_t hardwareId, bool readFileAnyway) {
  BackupWorker& w = g_worker;
  CopyText(w.port, sizeof w.port, portName);
  w.address = address;
  w.relocateNeeded = false;
  if (g_seam->open(w.port) != 0) return 0;
  w.result = 0;
  if (ReadIdentity(w, false) == 0) return 0;
  w.hardwareId = hardwareId;
  w.failureCount = 0;
  w.filePassed = !(w.backupStarted || readFileAnyway);
  w.fileOpened = false;
  w.fileMissing = false;
  w.recordsTotal = 0;
  w.recordsRestored = 0;
  w.deviceLost = false;
  w.searching = false;
  w.stop.store(false, std::memory_order_release);
  w.stopped = false;
  w.state.store(BackupState::OpenRestoreFile);
  return 1;
}

void BackupStep() {
  BackupWorker& w = g_worker;
  if (w.replyPending.load(std::memory_order_acquire)) return;
  if (w.state.load() == BackupState::WorkerIdle) return;
  if (w.stop.load(std::memory_order_acquire) && !w.stopped) {
    // An unfinished backup goes; a backup being restored stays for a later run.
    if (w.file != nullptr && w.state.load() != BackupState::RestoreRecord) {
      CloseFile(w);
      g_seam->fileDelete(w.partialName);
    }
    CloseFile(w);
    w.stopped = true;
    w.result = 2;
    w.deviceLost = true;  // no settle wait
    w.relocateNeeded = false;
    w.state.store(BackupState::FinishRun);
  }
  if (!FindDeviceAgain(w)) return;
  switch (w.state.load()) {
    case BackupState::WorkerIdle:
      break;
    case BackupState::ListClasses: {
      const uint8_t message[] = {kServiceHeader, kDirectory, kListClasses};
      Send(w, message, sizeof message);
      break;
    }
    case BackupState::OpenBackupFile:
      StepOpenBackupFile(w);
      break;
    case BackupState::ListInstances:
      if (w.classIndex < w.classCount) {
        const uint8_t message[] = {kServiceHeader, kDirectory, kListInstances,
                                   w.classList[w.classIndex]};
        Send(w, message, sizeof message);
      } else {
        FinishBackupFile(w);
        w.classIndex = 0;
        w.state.store(BackupState::BackupFilePassed);
      }
      break;
    case BackupState::ReadInstances:
      if (w.instanceIndex < w.instanceCount) {
        const uint8_t message[] = {kServiceHeader, kReadInstance, w.classList[w.classIndex],
                                   w.instanceList[w.instanceIndex]};
        Send(w, message, sizeof message);
      } else {
        ++w.classIndex;
        w.state.store(BackupState::ListInstances);
      }
      break;
    case BackupState::BackupFilePassed:
      w.filePassed = true;
      w.state.store(BackupState::OpenBackupFile);
      break;
    case BackupState::OpenRestoreFile:
      StepOpenRestoreFile(w);
      break;
    case BackupState::RestoreRecord:
      StepRestoreRecord(w);
      break;
    case BackupState::RestoreFilePassed:
      StepRestoreFilePassed(w);
      break;
    case BackupState::FinishRun:
      w.state.store(BackupState::WorkerIdle);
      if (!w.deviceLost) g_seam->waitSettled(w.port, w.address);
      plat::sem_release(g_done);
      break;
  }
}

uint8_t OnBackupReply(const char*, int32_t, const uint8_t* reply, uint32_t, uint32_t length,
                      uint32_t status) {
  BackupWorker& w = g_worker;
  const bool delivered = status == static_cast<uint32_t>(UpcallStatus::Delivered);
  bool givenUp = false;
  if (delivered) {
    w.failureCount = 0;
  } else {
    ++w.failureCount;
    w.relocateNeeded = true;
    if (w.failureCount >= kAttemptsPerMessage) {
      givenUp = true;
      w.result = 2;
      w.failureCount = 0;
    }
  }
  if (delivered || givenUp) {
    switch (w.state.load()) {
      case BackupState::ListClasses:
        CompleteListClasses(w, delivered, reply, length);
        break;
      case BackupState::ListInstances:
        CompleteListInstances(w, delivered, reply, length);
        break;
      case BackupState::ReadInstances:
        CompleteReadInstance(w, delivered, reply, length);
        break;
      case BackupState::RestoreRecord:
        CompleteRestoreRecord(w, delivered, givenUp);
        break;
      default:
        break;
    }
  }
  w.replyPending.store(false, std::memory_order_release);
  return 0;
}

void Backup_Stop() { g_worker.stop.store(true, std::memory_order_release); }

bool Backup_FileName(const char* modelNumber, int32_t serialNumber, char* path, std::size_t size) {
  char name[80];
  std::snprintf(name, sizeof name, "%s%d-%d.qsv", modelNumber, static_cast<int>(serialNumber),
                BackupFileNumber);
  return BackupFolder_Path(name, path, size);
}

BackupFileCheck Backup_CheckFile(const char* path, uint32_t* records) {
  *records = 0;
  if (!g_seam->fileExists(path)) return BackupFileCheck::Missing;
  if (!g_seam->fileIsRegular(path)) return BackupFileCheck::NotAFile;
  plat::FileHandle file = g_seam->fileOpen(path, plat::FileMode::OpenRead);
  if (file == nullptr) return BackupFileCheck::Unreadable;
  BackupFileCheck check = BackupFileCheck::Whole;
  uint8_t record[BackupLongestRecord];
  for (;;) {
    uint8_t lengthBytes[2];
    uint32_t done = 0;
    if (!g_seam->fileRead(file, lengthBytes, 2, &done)) {
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
    if (!g_seam->fileRead(file, record, length, &done)) {
      check = BackupFileCheck::Unreadable;
      break;
    }
    if (done != length) {
      check = BackupFileCheck::Damaged;
      break;
    }
    ++*records;
  }
  g_seam->fileClose(file);
  if (check == BackupFileCheck::Whole && *records == 0) check = BackupFileCheck::Damaged;
  return check;
}

const char* Backup_CheckText(BackupFileCheck check) {
  switch (check) {
    case BackupFileCheck::Whole: return "a whole backup";
    case BackupFileCheck::Missing: return "there is no such file";
    case BackupFileCheck::NotAFile: return "it is not a regular file";
    case BackupFileCheck::Unreadable: return "it cannot be read";
    case BackupFileCheck::Damaged: return "it is not a row of whole settings records";
  }
  return "";
}

int WaitBackupDone(uint32_t timeoutMs) {
  if (plat::sem_wait(g_done, timeoutMs) != plat::WaitResult::Signaled) return 1;
  return g_worker.result;
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

void WaitSettledValue(uint32_t previous) {
  BackupWorker& w = g_worker;
  const uint32_t start = g_seam->nowMs();
  for (;;) {
    if (w.stop.load(std::memory_order_acquire)) return;
    g_seam->sleepMs(kSettlePollMs);
    TypedValue settle;
    settle.value = previous;
    uint32_t now = 0;
    if (g_seam->readMember(w.port, w.address, kLiveStatusClass, kSettleMember, 1, &settle) == 0) {
      now = settle.value;
    } else {
      now = previous - 1;
      const uint8_t found = g_seam->relocate(
          w.port, Image_SearchRangeLow(w.hardwareId), Image_SearchRangeHigh(w.hardwareId),
          Image_ModbusSelectRegister(w.hardwareId), w.modelNumber, w.serialNumber);
      w.address = found;
      if (found == 255) {
        Backup_Print("ERROR: Lost Communication with the device\r\n");
        w.result = 2;
        w.deviceLost = true;
        return;
      }
    }
    if (now == previous || g_seam->nowMs() - start >= BackupSettleLimitMs) return;
    previous = now;
  }
}
