// Settings backup and restore of one device at a time, on the backup worker
// thread. The front end starts a backup before programming and a restore
// after it, through the two menu-state handlers below; both wait for the end
// of the run on the "Backup" semaphore.
#pragma once

#include <cstdint>

#include "client/scan.h"
#include "update/menu_state.h"

// What became of a device's settings in one handler.
enum class SettingsOutcome : uint8_t { NotTaken, Complete, Failed };

// Creates the "Backup" semaphore (initial 0, maximum 1) and makes the worker
// idle. 0 when the semaphore could not be created, else 1.
int Backup_Init();
// The backup worker thread's body: forever one engine step, then 10 ms.
void Backup_Run(void* unused);

// Handler of MenuState::BackupSettings; returns MenuState::StartProgramming.
// NotTaken: the device is in its bootloader, backups are switched off ("-bNO"),
// or the run could not start ("Can't create backup..."); else Complete or
// Failed. The device's address is updated when it had moved.
MenuState BackupDevice(DeviceRecord* device, SettingsOutcome* outcome);

// Handler of MenuState::RestoreSettings; returns MenuState::FinishDevice.
// `foundInBootloader`: the device was in its bootloader when it was chosen, so
// an existing backup file for its identity is restored even when no backup ran
// in this program run. NotTaken: restores are switched off ("-bNO") or there
// was nothing to restore; Failed: a record was skipped, the device was lost,
// or standard input ended while the operator was asked for help (the backup
// file is then kept for a later run).
MenuState RestoreDevice(DeviceRecord* device, bool foundInBootloader, SettingsOutcome* outcome);
