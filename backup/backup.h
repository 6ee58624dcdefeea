// Settings backup and restore of one device at a time, on the backup worker
// thread. The front end starts a backup before programming and a restore
// after it, through the two menu-state handlers below; both wait for the end
// of the run on the "Backup" semaphore.
#pragma once

#include <cstdint>

#include "client/scan.h"
#include "update/menu_state.h"

// What became of a device's settings in one handler. Missing: a restore
// found no backup file where none had been taken in this run (a device
// chosen in its bootloader).
enum class SettingsOutcome : uint8_t { NotTaken, Complete, Failed, Missing };

// What the restore is to do for a device.
struct RestorePlan {
  // Chosen in its bootloader: an existing backup file for its identity is
  // restored even when no backup ran in this program run.
  bool foundInBootloader = false;
  // A backup was taken in this run, so a missing file is a failure.
  bool backupTaken = false;
  // The factory settings are written first only when the settings can be put
  // back whole afterwards.
  bool defaultsWrite = true;
  // The registry could not give the identity of a device chosen in its
  // bootloader: no backup file can be chosen for it.
  bool identityUnknown = false;
};

// Creates the "Backup" semaphore (initial 0, maximum 1) and makes the worker
// idle. 0 when the semaphore could not be created, else 1.
int Backup_Init();
// The backup worker thread's body: forever one engine step, then 10 ms.
void Backup_Run(void* unused);

// Handler of MenuState::BackupSettings. NotTaken: the device is in its
// bootloader or backups are switched off ("-bNO"); Complete: the backup is on
// the disk and read back whole (StartProgramming follows); Failed: the folder
// takes no file, the run could not start, a setting could not be read, the
// file could not be saved, or the run was stopped: FinishDevice follows and
// the device is left as it was. The device's address is updated when it had
// moved.
MenuState BackupDevice(DeviceRecord* device, SettingsOutcome* outcome);

// Handler of MenuState::RestoreSettings; returns MenuState::FinishDevice.
// NotTaken: restores are switched off ("-bNO") or the identity is unknown;
// Missing: no backup file for a device chosen in its bootloader; Complete:
// every record of the file was written back; Failed: a record was skipped,
// the file was damaged or gone, the device was lost, the run was stopped, or
// standard input ended while the operator was asked for help (the backup
// file is then kept for a later run).
MenuState RestoreDevice(DeviceRecord* device, const RestorePlan& plan, SettingsOutcome* outcome);
