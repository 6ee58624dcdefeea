#include "backup/backup_worker.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "backup/backup.h"
#include "platform/clock.h"
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
  std::snprintf(w.fileName, sizeof w.fileName, BackupFileFormat, w.baseName, BackupFileNumber);
  std::snprintf(w.partialName, sizeof w.partialName, "%s%s", w.fileName, BackupPartialSuffix);
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

// The backup has been through every class: its file gets its final name, once
// every byte is on the disk. An unfinished or damaged file never does.
void FinishBackupFile(BackupWorker& w) {
  if (w.file == nullptr) return;
  const bool flushed = g_seam->fileFlush(w.file);
  const bool closed = g_seam->fileClose(w.file);
  w.file = nullptr;
  if (!w.fileWriteFailed && flushed && closed && g_seam->fileRenameNew(w.partialName, w.fileName)) {
    return;
  }
  g_seam->fileDelete(w.partialName);
  w.result = 2;
  Backup_Print("Can't save the settings backup %s: writing it to the disk failed. Check the free space "
        "and the rights of the working directory.\r\n",
        w.fileName);
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
  // A file of an earlier run that was never restored keeps its content. A
  // partial file left by a run that was cut short is replaced.
  if (!g_seam->fileExists(w.fileName)) {
    w.file = g_seam->fileOpen(w.partialName, plat::FileMode::CreateAlways);
  }
  if (w.file == nullptr) {
    w.filePassed = true;
    return;
  }
  w.fileWriteFailed = false;
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
    if (w.result == 0) g_seam->fileDelete(w.fileName);
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
  w.file = g_seam->fileOpen(w.fileName, plat::FileMode::OpenRead);
  if (w.file == nullptr) {
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
  if (!g_seam->fileWrite(w.file, lengthBytes, 2, &done) || done != 2) w.fileWriteFailed = true;
  done = 0;
  if (!g_seam->fileWrite(w.file, reply + kPayloadAt, payload, &done) || done != payload) {
    w.fileWriteFailed = true;
  }
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
  char text[256];
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
  w.deviceLost = false;
  w.searching = false;
  w.state.store(BackupState::OpenRestoreFile);
  return 1;
}

void BackupStep() {
  BackupWorker& w = g_worker;
  if (w.replyPending.load(std::memory_order_acquire)) return;
  if (w.state.load() == BackupState::WorkerIdle) return;
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
