// One settings backup or restore of one device: a state machine that owns
// everything of its run, with at most one request on the bus at a time whose
// completion (on the port's master thread) moves it on. It reaches the bus,
// the time and the files only through the interfaces it is given, tells what
// happens on the way through BackupNotices and ends with a Result and the
// facts the front end reports (BackupFacts). Nothing here is shared between
// runs: several may be alive at once, on different threads, for devices on
// different ports or on the same one.
//
// Hand-over between the step and the completion: `replyPending_` is set by
// the step before the request is queued (a completion can arrive before the
// queue call returns) and cleared by the completion, last of all its changes,
// with a release store; the step reads it with an acquire load and touches
// nothing else while it is set. Stop() may come from any thread: it only sets
// an atomic flag that the step reads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/bus.h"
#include "client/result.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "update/backup_folder.h"

enum class BackupState : uint8_t {
  Idle = 0,
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

inline constexpr uint8_t BackupListCapacity = 255;
// A restore message is 0x01 0x0A and the record; the client carries at most
// ClientMaxMessage bytes, so a longer record can never be sent.
inline constexpr uint16_t BackupLongestRecord = ClientMaxMessage - 2;
inline constexpr uint16_t BackupShortestRecord = 3;  // class, instance, item count
// How long a run searches for a device that stopped answering before it
// ends as failed. Each search lasts up to 60 s, so this allows three.
inline constexpr uint32_t BackupLostDeviceMs = 180000;
// How long the restore waits for the settings it wrote to settle. A device
// takes them up within seconds; one whose value never holds still (a live
// counter, or a device that is found by every search but answers no read)
// would hold the run for ever. As long as the client's own settle wait,
// which the end of the run and the update steps still add.
inline constexpr uint32_t BackupSettleLimitMs = 60000;
// The pause between two steps of Run().
inline constexpr uint32_t BackupStepPauseMs = 10;
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

// What a run found out, for the front end's report. Read it once the run
// has ended (Run returned, or Step said so).
struct BackupFacts {
  char port[32] = {};
  uint8_t address = 0;  // where the device last answered
  // Room for the longest model number and serial number, so that two devices
  // never share a cut-off name.
  char fileName[BackupPathMax] = {};
  char partialName[BackupPathMax + 8] = {};  // fileName with the suffix of an unfinished backup
  // Backup: records appended to the file; the backup is on the disk, read
  // back whole (`saved`); an earlier whole backup under the name is the one
  // to restore, and this one was kept as `keptName` (or what stood under the
  // name was moved aside to it).
  uint32_t recordsWritten = 0;
  bool saved = false;
  bool earlierKept = false;
  char keptName[BackupPathMax + 40] = {};
  // Restore: whole records in the file, and those the device took; whether
  // a backup file was opened, or there was none.
  uint32_t recordsTotal = 0;
  uint32_t recordsRestored = 0;
  bool fileOpened = false;
  bool fileMissing = false;
  // The run was asked to stop and ended after the request on the bus.
  bool stopped = false;
  // The device stopped answering for good.
  bool deviceLost = false;
};

// Which step of putting a backup on the disk failed.
enum class BackupSaveStep : uint8_t {
  Create,         // the partial file could not be created (`text`)
  Write,          // writing, flushing or closing it failed (`text`)
  ReadBack,       // reading it back gave `records` (`check`)
  KeepFresh,      // naming it beside an earlier whole backup failed (`text`)
  MoveAside,      // what stands under the name (`check`) could not be moved aside (`text`)
  Rename,         // giving it its name failed (`text`)
  ReadBackNamed,  // reading it back under its name gave `records`
};

// What a run has to tell while it goes on, in the order it happens.
enum class BackupEvent : uint8_t {
  NotSaved,         // the backup could not be put on the disk (`step`)
  Incomplete,       // a setting could not be read: the backup is not kept
  EarlierRestored,  // a whole earlier backup stays under the name (`modified`); this one is keptName
  MovedAside,       // what stood under the name (`check`) was moved aside to keptName
  DeviceLost,       // the device did not come back
  RecordSkipped,    // restore: a record of impossible `length` at `offset`
  FileCutShort,     // restore: the file could not be read to its end, from `offset`
  NotAFile,         // restore: the file is not a regular file (`check`)
  FileNotOpened,    // restore: the file could not be opened (`text`)
  RecordTimedOut,   // restore: record `cls`/`instance` got no answer, four times
};

struct BackupNotice {
  BackupEvent event = BackupEvent::NotSaved;
  BackupSaveStep step = BackupSaveStep::Write;
  BackupFileCheck check = BackupFileCheck::Whole;
  uint32_t offset = 0;
  uint32_t length = 0;
  uint32_t records = 0;
  uint8_t cls = 0;
  uint8_t instance = 0;
  // The last change of the earlier backup, seconds since 1970 UTC, when known.
  bool modifiedKnown = false;
  int64_t modified = 0;
  std::string text;  // the system's words
};

// Receives a run's notices on the thread that steps the run.
class BackupNotices {
 public:
  virtual ~BackupNotices() = default;
  virtual void Notice(const BackupNotice& notice, const BackupFacts& facts) = 0;
};

class BackupRun {
 public:
  BackupRun(Bus& bus, plat::Clock& clock, plat::Files& files, BackupNotices& notices);
  // Closes a file the run left open (the system does the same for a process
  // that ends mid-run); a partial backup stays on the disk as it would then.
  ~BackupRun();
  BackupRun(const BackupRun&) = delete;
  BackupRun& operator=(const BackupRun&) = delete;

  // Opens the port and reads the identity that names the backup file; the
  // run is then ready to be stepped. Fails as the bus did. Not while a run
  // is under way.
  Result StartBackup(const char* port, uint8_t address);
  // `hardwareId`: the device's, for the searches of the run. `readFile`:
  // whether there is a backup file to restore (one was taken in this program
  // run, or the device was chosen in its bootloader); without it the run
  // reads nothing and ends Done with no file opened.
  Result StartRestore(const char* port, uint8_t address, int32_t hardwareId, bool readFile);

  // Steps the run with BackupStepPauseMs between steps, on the caller's
  // thread, until it ends; its result.
  Result Run();
  // One step; true once the run has ended (then RunResult() is its result).
  // The settle waits and the searches for a lost device block inside it.
  bool Step();
  // Ends the run after the request now on the bus, without its settle waits:
  // a backup leaves no file, a restore keeps its file. Any thread.
  void Stop();

  // Waits until the settle value stops changing, starting from `previous`,
  // for at most BackupSettleLimitMs (a wait that ends at the limit fails
  // nothing); the device is searched for when a read fails.
  void WaitSettledValue(uint32_t previous);

  BackupState State() const { return state_.load(std::memory_order_acquire); }
  const BackupFacts& Facts() const { return facts_; }
  const Result& RunResult() const { return result_; }

  // What the client calls when the request on the bus completes.
  static void OnReply(void* context, const AsyncReply& reply);

 private:
  void Complete(const AsyncReply& reply);
  void Reset();
  Result ReadIdentity(bool withHardwareId);
  void FormatFileNames();
  void Send(const uint8_t* data, uint16_t length);
  void CloseFile();
  void Tell(const BackupNotice& notice);
  void Fail(Outcome outcome, const std::string& text = {});
  void FailSaving(BackupSaveStep step, const std::string& text, BackupFileCheck check = BackupFileCheck::Whole,
                  uint32_t records = 0);
  bool DistinctName(const char* path, const char* tag, char* out, std::size_t size);
  bool KeepBeside(const char* from, const char* tag, std::string* text);
  void FinishBackupFile();
  void GiveUpOnDevice();
  bool FindDeviceAgain();
  void StepOpenBackupFile();
  void StepRestoreRecord();
  void StepRestoreFilePassed();
  void StepOpenRestoreFile();
  void AppendRecord(const uint8_t* reply, uint32_t length);
  uint8_t TakeList(const uint8_t* reply, uint32_t length, uint32_t countAt, uint8_t* list,
                   bool skipLiveStatus);

  Bus& bus_;
  plat::Clock& clock_;
  plat::Files& files_;
  BackupNotices& notices_;

  std::atomic<BackupState> state_{BackupState::Idle};
  std::atomic<bool> replyPending_{false};
  std::atomic<bool> stop_{false};

  BackupFacts facts_;
  Result result_;
  bool failed_ = false;  // something failed: the run's result is no longer Done
  bool relocateNeeded_ = false;
  uint8_t failureCount_ = 0;
  uint8_t classCount_ = 0;
  uint8_t classIndex_ = 0;
  uint8_t classList_[BackupListCapacity] = {};
  uint8_t instanceCount_ = 0;
  uint8_t instanceIndex_ = 0;
  uint8_t instanceList_[BackupListCapacity] = {};
  bool filePassed_ = false;
  plat::FileHandle file_ = nullptr;
  bool fileWriteFailed_ = false;
  std::string writeError_;  // the system's text of the first failed write
  char baseName_[44] = {};
  uint32_t fileOffset_ = 0;
  uint16_t recordLength_ = 0;
  char modelNumber_[32] = {};
  int32_t serialNumber_ = 0;
  int32_t hardwareId_ = 0;
  bool searching_ = false;
  uint32_t searchSince_ = 0;
  // A record the device never took, told by the next step.
  bool recordTimedOut_ = false;
  uint8_t message_[512] = {};
  uint16_t messageLength_ = 0;
};

// The path of the backup file of the device with this identity, in the
// backup folder. False when it does not fit.
bool Backup_FileName(const char* modelNumber, int32_t serialNumber, char* path, std::size_t size);
// Walks the backup file at `path`; `records` receives the whole records
// before any damage.
BackupFileCheck Backup_CheckFile(plat::Files& files, const char* path, uint32_t* records);

// Removes the item of member `member` from the write-instance message of
// `*length` bytes; the message is unchanged when there is none.
void DropMember(uint8_t* message, uint16_t* length, uint8_t member);
