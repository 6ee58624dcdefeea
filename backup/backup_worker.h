// The backup worker: one state machine for backup and restore runs, stepped
// every 10 ms by the backup worker thread, with at most one request on the
// bus at a time whose completion (on the port's master thread) moves it on.
//
// Everything the engine does to the outside world goes through BackupSeam, so
// tests drive every rule against a fake device with a fake clock.
//
// Hand-over between the step and the completion: `replyPending` is set by the
// step before the request is queued (a completion can arrive before the queue
// call returns) and cleared by the completion, last of all its changes, with a
// release store; the step reads it with an acquire load and touches nothing
// else while it is set. `state` is atomic as well, because the front end
// starts a run from its own thread while the worker steps.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "client/client.h"
#include "client/scan.h"
#include "client/typed_value.h"
#include "platform/file.h"
#include "update/backup_folder.h"

enum class BackupState : uint8_t {
  WorkerIdle = 0,
  ListClasses = 1,
  OpenBackupFile = 2,
  ListInstances = 3,
  ReadInstances = 4,
  OpenRestoreFile = 5,
  RestoreRecord = 6,
  BackupFilePassed = 7,
  RestoreFilePassed = 8,
  FinishRun = 9,
};

// The engine's view of the world.
struct BackupSeam {
  int (*open)(const char* portName);
  int (*requestAsync)(const char* portName, uint8_t destination, const uint8_t* data,
                      uint16_t length, uint8_t expectReply, CompletionCallback completion);
  int (*readMember)(const char* portName, uint8_t station, uint8_t cls, uint8_t member,
                    uint8_t instance, TypedValue* value);
  int (*writeMember)(const char* portName, uint8_t station, uint8_t cls, uint8_t member,
                     uint8_t instance, TypedValue value);
  int (*waitSettled)(const char* portName, uint8_t station);
  uint8_t (*scanRange)(const char* portName, uint8_t first, uint8_t last, DeviceRecord* records,
                       std::size_t capacity);
  uint8_t (*findDevice)(const char* portName, uint8_t first, uint8_t last,
                        const char* modelNumber, int32_t serialNumber);
  uint8_t (*relocate)(const char* portName, uint8_t first, uint8_t last, uint16_t selectRegister,
                      const char* modelNumber, int32_t serialNumber);
  uint32_t (*nowMs)();
  void (*sleepMs)(uint32_t ms);
  int (*readKey)();  // -1 once input has ended
  void (*print)(const char* text);
  plat::FileHandle (*fileOpen)(const char* path, plat::FileMode mode);
  bool (*fileRead)(plat::FileHandle file, void* buffer, uint32_t length, uint32_t* done);
  bool (*fileWrite)(plat::FileHandle file, const void* buffer, uint32_t length, uint32_t* done);
  bool (*fileSeek)(plat::FileHandle file, int64_t offset, plat::SeekFrom from, uint64_t* position);
  bool (*fileFlush)(plat::FileHandle file);
  bool (*fileClose)(plat::FileHandle file);
  bool (*fileDelete)(const char* path);
  bool (*fileExists)(const char* path);
  bool (*fileRenameNew)(const char* from, const char* to);
  bool (*fileIsRegular)(const char* path);
  bool (*fileModifiedTime)(const char* path, int64_t* seconds);
};

// The real client, clock, console and files.
extern const BackupSeam BackupRealSeam;

inline constexpr uint8_t BackupListCapacity = 255;
// A restore message is 0x01 0x0A and the record; the client carries at most
// ClientMaxMessage bytes, so a longer record can never be sent.
inline constexpr uint16_t BackupLongestRecord = ClientMaxMessage - 2;
inline constexpr uint16_t BackupShortestRecord = 3;  // class, instance, item count
// How long the engine searches for a device that stopped answering before it
// ends the run as failed. Each search lasts up to 60 s, so this allows three.
inline constexpr uint32_t BackupLostDeviceMs = 180000;
// How long the restore waits for the settings it wrote to settle. A device
// takes them up within seconds; one whose value never holds still (a live
// counter, or a device that is found by every search but answers no read)
// would hold the worker for ever. As long as the client's own settle wait,
// which the end of the run and the update steps still add.
inline constexpr uint32_t BackupSettleLimitMs = 60000;
// Attempts BackupDevice makes at starting a backup on a device that does not
// answer its identity reads.
inline constexpr int BackupStartAttempts = 5;
// Attempts RestoreDevice makes at starting a restore on a device that is found
// on the bus but does not answer its identity reads.
inline constexpr int RestoreStartAttempts = 5;
// The backup file and the name it is written under until it is complete.
inline constexpr const char* BackupFileFormat = "%s-%d.qsv";
inline constexpr int BackupFileNumber = 31;
inline constexpr const char* BackupPartialSuffix = ".tmp";
// What stands under a backup file's name.
enum class BackupFileCheck : uint8_t {
  Whole,       // one record or more, the last ending where the file ends
  Missing,     // nothing
  NotAFile,    // a directory or anything else that is not a regular file
  Unreadable,  // a file that cannot be opened or read
  Damaged,     // no record, a record of impossible length, or one cut short
};

struct BackupWorker {
  std::atomic<BackupState> state{BackupState::WorkerIdle};
  int32_t result = 0;  // 0 while nothing failed, 2 once anything did
  std::atomic<bool> replyPending{false};
  bool relocateNeeded = false;
  uint8_t failureCount = 0;
  char port[32] = {};
  uint8_t address = 0;
  uint8_t classCount = 0;
  uint8_t classIndex = 0;
  uint8_t classList[BackupListCapacity] = {};
  uint8_t instanceCount = 0;
  uint8_t instanceIndex = 0;
  uint8_t instanceList[BackupListCapacity] = {};
  bool backupStarted = false;
  bool filePassed = false;
  plat::FileHandle file = nullptr;
  // Room for the longest model number and serial number, so that two devices
  // never share a cut-off name.
  char fileName[BackupPathMax] = {};
  char partialName[BackupPathMax + 8] = {};  // fileName with the suffix of an unfinished backup
  bool fileWriteFailed = false;
  char writeError[160] = {};  // the system's text of the first failed write
  // Backup: records appended to the file; the backup is on the disk, read
  // back whole (`saved`); an earlier whole backup under the name is the one
  // to restore, and this one was kept as `keptName`.
  uint32_t recordsWritten = 0;
  bool saved = false;
  bool earlierKept = false;
  char keptName[BackupPathMax + 40] = {};
  // Restore: whole records in the file, and those the device took.
  uint32_t recordsTotal = 0;
  uint32_t recordsRestored = 0;
  bool fileMissing = false;
  // The front end asked the run to stop (an interrupt): it ends after the
  // request on the bus, without its settle waits.
  std::atomic<bool> stop{false};
  bool stopped = false;
  char baseName[44] = {};
  uint32_t fileOffset = 0;
  uint16_t recordLength = 0;
  char modelNumber[32] = {};
  int32_t serialNumber = 0;
  int32_t hardwareId = 0;
  // Restore: a backup file was opened in this run.
  bool fileOpened = false;
  // The device stopped answering for good: the run ends without the settle wait.
  bool deviceLost = false;
  bool searching = false;
  uint32_t searchSince = 0;
  uint8_t message[512] = {};
  uint16_t messageLength = 0;
};

// Installs the seam the engine works through (BackupRealSeam until then).
void Backup_SetSeam(const BackupSeam* seam);
const BackupSeam& Backup_Seam();
BackupWorker& Backup_Worker();
// Console output through the seam.
void Backup_Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Empties the worker as at start-up, "Backup" left alone (tests).
void Backup_Reset();

// 1 = the run has started, 0 = the port or the identity reads failed.
int StartBackup(const char* portName, uint8_t address);
// `hardwareId`: the device's, for the searches of the run. `readFileAnyway`:
// restore an existing backup file even when no backup ran in this program run.
int StartRestore(const char* portName, uint8_t address, int32_t hardwareId, bool readFileAnyway);
void BackupStep();
uint8_t OnBackupReply(const char* portName, int32_t portNameLength, const uint8_t* reply,
                      uint32_t source, uint32_t length, uint32_t status);
// 1 when `timeoutMs` passed without the end of the run, else its result (0 or 2).
int WaitBackupDone(uint32_t timeoutMs);
// Ends the running run after the request now on the bus: a backup leaves no
// file, a restore keeps its file.
void Backup_Stop();

// The path of the backup file of the device with this identity, in the
// backup folder. False when it does not fit.
bool Backup_FileName(const char* modelNumber, int32_t serialNumber, char* path, std::size_t size);
// Walks the backup file at `path`; `records` receives the whole records
// before any damage.
BackupFileCheck Backup_CheckFile(const char* path, uint32_t* records);
// "the file is empty", "it is a directory"...: why a check was not Whole.
const char* Backup_CheckText(BackupFileCheck check);

// Station address of the device once it answers on the bus, asking the
// operator for help until it does; 255 when standard input ended.
uint8_t AwaitDeviceOnBus(const DeviceRecord* device);
// Removes the item of member `member` from the write-instance message of
// `*length` bytes; the message is unchanged when there is none.
void DropMember(uint8_t* message, uint16_t* length, uint8_t member);
// Waits until the settle value stops changing, starting from `previous`, for
// at most BackupSettleLimitMs (a wait that ends at the limit fails nothing).
void WaitSettledValue(uint32_t previous);
