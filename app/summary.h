// What became of each device the operator chose: the closing summary and the
// program's exit status.
#pragma once

#include <cstddef>
#include <cstdint>

#include "backup/backup.h"
#include "client/scan.h"
#include "update/backup_folder.h"
#include "update/update_steps.h"

// Exit statuses of the program.
inline constexpr int ExitDone = 0;  // every chosen device updated, or nothing chosen
inline constexpr int ExitNothingToProcess = 2;  // unattended mode found no device to process
inline constexpr int ExitDeviceFailed = 3;  // a chosen device was not updated completely
inline constexpr int ExitProgrammingError = 4;  // a device reported a programming error (unattended)
inline constexpr int ExitInterrupted = 130;  // Ctrl-C, Ctrl-Break, SIGTERM, SIGHUP, console closed

// One chosen device as it went through the update.
struct DeviceReport {
  DeviceRecord before;  // the record as chosen: its version before the update
  SettingsOutcome backup = SettingsOutcome::NotTaken;
  SettingsOutcome restore = SettingsOutcome::NotTaken;
  DeviceUpdate update;
  // The operator interrupted the program while this device was processed.
  bool interrupted = false;
  // The device may sit in its bootloader: the programming job sent the entry.
  bool entrySent = false;
  // The backup taken in this run was put beside an earlier one, which is the
  // one restored.
  bool earlierKept = false;
  // The backup file of the device (identity not restored: the files that fit).
  char backupFile[BackupPathMax + 48] = {};
};

enum class DeviceOutcome : uint8_t {
  Updated,
  RestoreIncomplete,
  NoBackupToRestore,
  ProgrammingFailed,
  NotFound,
  BackupNotSaved,
  MoveNotRecorded,
  IdentityNotRestored,
  Interrupted,
  InterruptedInBootloader,
};

DeviceOutcome OutcomeOf(const DeviceReport& report);
// The outcome in the words of the summary.
const char* to_string(DeviceOutcome outcome);
// The outcome's words for this report, with the file it names where it names one.
void OutcomeText(const DeviceReport& report, char* text, std::size_t size);

// ExitDone when every report is Updated, else ExitDeviceFailed.
int ExitStatusOf(const DeviceReport* reports, uint32_t count);

// One line per report: zone, model number, serial number, the version before
// and after (as read when the device was found again) and the outcome.
// `devices` holds the records at the end of the update, in report order.
void PrintSummary(const DeviceReport* reports, const DeviceRecord* devices, uint32_t count);
