// What became of each device the operator chose: the closing summary and the
// program's exit status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "app/backup_steps.h"
#include "app/port_run.h"
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
  // Updated with others of its port: why its turn on the bus never came.
  std::optional<NoTurn> noTurn;
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
  OccupantNotMoved,
  BootloaderOccupied,
  NotMovedBack,
  NoThread,
};

// What an unattended run with lists was asked for and could not take up: a
// station address not found on a port (never replaced by another
// controller), one beyond the room of a run, and a port that did not open.
// Each counts as a controller not updated.
enum class GapKind : uint8_t {
  NotFound,       // no fitting controller at the address when the port was discovered
  NoRoom,         // found, but the run already held MaxRunDevices controllers
  PortNotOpened,  // the port did not open (address 0: the port as a whole)
};

struct RunGap {
  GapKind kind = GapKind::NotFound;
  char port[24] = {};
  uint8_t address = 0;
  // PortNotOpened: why, in the system's words (or what was missing).
  char why[128] = {};
};

// Ports times station addresses: every pair an unattended run can ask for.
inline constexpr uint32_t MaxRunGaps = 8 * 29;

struct RunGaps {
  RunGap gaps[MaxRunGaps];
  uint32_t count = 0;
};

// The gap in the words of the summary and the run report.
const char* to_string(GapKind kind);

DeviceOutcome OutcomeOf(const DeviceReport& report);
// The outcome in the words of the summary.
const char* to_string(DeviceOutcome outcome);
// The outcome's words for this report, with the file it names where it names one.
void OutcomeText(const DeviceReport& report, char* text, std::size_t size);

// ExitDone when every report is Updated and nothing asked for was left out
// (`gaps`, may be null), else ExitDeviceFailed.
int ExitStatusOf(const DeviceReport* reports, uint32_t count, const RunGaps* gaps = nullptr);

// One line per report: zone, model number, serial number, the version before
// and after (as read when the device was found again) and the outcome.
// `devices` holds the records at the end of the update, in report order.
// Then one line per gap (`gaps`, may be null), with its port.
void PrintSummary(const DeviceReport* reports, const DeviceRecord* devices, uint32_t count,
                  const RunGaps* gaps = nullptr);
