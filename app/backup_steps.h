// Settings backup and restore of one device, as the menu loop walks it: the
// two menu-state handlers, which run the backup engine (backup/backup_run.h)
// and say what became of the settings, and the operator's help when a device
// does not come back on the bus.
#pragma once

#include <cstdint>
#include <string>

#include "app/menu_state.h"
#include "backup/backup_run.h"
#include "client/bus.h"
#include "client/scan.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file.h"
#include "update/backup_folder.h"

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

// Attempts BackupDevice makes at starting a backup on a device that does not
// answer its identity reads.
inline constexpr int BackupStartAttempts = 5;
// Attempts RestoreDevice makes at starting a restore on a device that is found
// on the bus but does not answer its identity reads.
inline constexpr int RestoreStartAttempts = 5;

// What the handlers work through: the program's is the client, the system's
// clock, files and console and the interrupt flag; a test's is a fake device.
struct BackupWorld {
  Bus& bus;
  plat::Clock& clock;
  plat::Files& files;
  plat::Console& console;
  // Whether the operator asked the program to stop (Ctrl-C and the like).
  bool (*interrupted)();
};
BackupWorld System_BackupWorld();

// Handler of MenuState::BackupSettings. NotTaken: the device is in its
// bootloader or backups are switched off ("-bNO"); Complete: the backup is on
// the disk and read back whole (StartProgramming follows); Failed: the folder
// takes no file, the run could not start, a setting could not be read, the
// file could not be saved, or the run was stopped: FinishDevice follows and
// the device is left as it was. The device's address is updated when it had
// moved. `facts` receives what the run found (the file's name, whether an
// earlier backup is the one to restore).
MenuState BackupDevice(const BackupWorld& world, DeviceRecord* device, SettingsOutcome* outcome,
                       BackupFacts* facts);

// Handler of MenuState::RestoreSettings; returns MenuState::FinishDevice.
// NotTaken: restores are switched off ("-bNO") or the identity is unknown;
// Missing: no backup file for a device chosen in its bootloader; Complete:
// every record of the file was written back; Failed: a record was skipped,
// the file was damaged or gone, the device was lost, the run was stopped, or
// standard input ended while the operator was asked for help (the backup
// file is then kept for a later run).
MenuState RestoreDevice(const BackupWorld& world, DeviceRecord* device, const RestorePlan& plan,
                        SettingsOutcome* outcome);

// Station address of the device once it answers on the bus, asking the
// operator for help until it does; BusNoStation when standard input ended or
// an interrupt came.
uint8_t AwaitDeviceOnBus(const BackupWorld& world, const DeviceRecord* device);

// "it is a directory"...: why a backup file's check was not Whole.
const char* BackupCheckText(BackupFileCheck check);
// "creating a file there failed: ..." : what the backup folder's check
// (BackupFolder_Probe) found, with the system's words.
std::string BackupFolderWhy(const Result& probe, FolderCheckStep failed);
