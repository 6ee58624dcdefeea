// The front end's side of backup and restore: the two menu-state handlers,
// which start a run on the backup worker and wait for its end on the main
// thread, and the engine's link to the real client, clock, console and files.
#include "backup/backup.h"

#include "backup/backup_worker.h"
#include "client/relocate.h"
#include "client/services.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "update/backup_folder.h"
#include "update/image_package.h"

namespace {

constexpr uint32_t kDotEveryMs = 1000;
constexpr int kDotsPerLine = 3;
constexpr uint32_t kKeyPollMs = 50;
constexpr uint8_t kIdentityClass = 1;
constexpr uint8_t kSettingsSetMember = 13;
constexpr uint8_t kFactorySettings = 31;
constexpr int32_t kListType = 7;

void ConsolePrint(const char* text) { plat::con_printf("%s", text); }

const BackupSeam& Seam() { return Backup_Seam(); }

// Prints a dot for every second the run goes on; 0 or 2, the run's result.
// Anywhere but on a terminal the dots go in lines of kDotsPerLine, each new
// line begun by its first dot, so that a pipe or a log gets a line at least
// that often. An interrupt stops the run after the request on the bus.
int WaitForRun() {
  const bool inLines = !plat::con_is_terminal();
  int dots = 0;
  int result = WaitBackupDone(kDotEveryMs);
  while (result == 1) {
    if (plat::interrupt_requested()) Backup_Stop();
    Backup_Print(inLines && dots > 0 && dots % kDotsPerLine == 0 ? "\r\n." : ".");
    ++dots;
    result = WaitBackupDone(kDotEveryMs);
  }
  return result;
}

// A wait of the restore for its device on the console thread (the search
// for it, its settle wait): once it has taken kShowWaitAfterMs it says what
// it waits for and keeps moving, a dot every kWaitDotMs on a terminal, a line
// every kWaitLineMs elsewhere. The client's wait ticks on this thread drive it.
constexpr uint32_t kShowWaitAfterMs = 4000;
constexpr uint32_t kWaitDotMs = 2000;
constexpr uint32_t kWaitLineMs = 4000;

struct ShownWait {
  const char* what = nullptr;
  uint32_t since = 0;
  uint32_t moved = 0;
  bool shown = false;
};
ShownWait g_shown;  // the console thread's alone

void ShowWaitTick() {
  const uint32_t now = Seam().nowMs();
  const uint32_t still = now - g_shown.moved;
  if (!plat::con_is_terminal()) {
    if (still < kWaitLineMs) return;
    Backup_Print("Waiting for %s (%u s)\r\n", g_shown.what,
                 static_cast<unsigned>((now - g_shown.since) / 1000));
  } else if (!g_shown.shown) {
    if (still < kShowWaitAfterMs) return;
    Backup_Print("Waiting for %s", g_shown.what);
  } else {
    if (still < kWaitDotMs) return;
    Backup_Print(".");
  }
  g_shown.shown = true;
  g_shown.moved = now;
}

// The wait counts from the last output, which may be an earlier wait's.
template <typename Call>
auto Shown(const char* what, Call call) {
  const uint32_t now = Seam().nowMs();
  const uint32_t lastOutput = plat::con_last_output_ms();
  g_shown = ShownWait{what, now, lastOutput != 0 ? lastOutput : now, false};
  const ClientWaitTick before = Client_SetWaitTick(ShowWaitTick);
  const auto result = call();
  Client_SetWaitTick(before);
  if (g_shown.shown && plat::con_is_terminal()) Backup_Print("\r\n");
  return result;
}

}  // namespace

const BackupSeam BackupRealSeam = {
    Client_Open,       Client_RequestAsync, Client_ReadMember, Client_WriteMember,
    Client_WaitSettled, Client_ScanRange,   Client_FindDevice, Client_Relocate,
    plat::now_ms,      plat::sleep_ms,      plat::con_read_key, ConsolePrint,
    plat::file_open,   plat::file_read,     plat::file_write,  plat::file_seek,
    plat::file_flush,  plat::file_close,    plat::file_delete, plat::file_exists,
    plat::file_rename_new, plat::file_is_regular, plat::file_modified_time,
};

MenuState BackupDevice(DeviceRecord* device, SettingsOutcome* outcome) {
  *outcome = SettingsOutcome::NotTaken;
  const int32_t hardwareId = device->hardwareId;
  if (device->inBootloader == 1 || Image_BackupEnabled(hardwareId) == 0) {
    return MenuState::StartProgramming;
  }
  // Nothing is asked of the device before the folder has shown that it takes
  // a file.
  char why[300];
  if (!BackupFolder_Probe(why, sizeof why)) {
    Backup_Print("Can't save a settings backup in %s: %s. The device is not updated and its "
                 "settings are left as they are. Name a writable folder with BREVANE_BACKUPS, or "
                 "run with -bNO to update without a backup.\r\n",
                 BackupFolder_Shown(), why);
    *outcome = SettingsOutcome::Failed;
    return MenuState::FinishDevice;
  }
  // A faulty line can cost an identity read; a backup that cannot be taken
  // at all is a failed one, so that the device is not reported updated
  // after its settings were reset to the factory values.
  for (int attempts = 1; StartBackup(device->portName, device->address) == 0; ++attempts) {
    if (attempts >= BackupStartAttempts) {
      Backup_Print("Can't create backup for device settings.\r\n");
      Backup_Print("The device did not answer the reads that name its backup; it is not "
                   "updated.\r\n");
      *outcome = SettingsOutcome::Failed;
      return MenuState::FinishDevice;
    }
  }
  Backup_Print("Backing up Device Settings...");
  const int result = WaitForRun();
  const BackupWorker& w = Backup_Worker();
  if (w.stopped) {
    Backup_Print("Stopped\r\n");
    *outcome = SettingsOutcome::Failed;
    return MenuState::FinishDevice;
  }
  // Programming and the factory settings wait for a backup that is on the
  // disk and reads back whole.
  *outcome = result == 0 && w.saved ? SettingsOutcome::Complete : SettingsOutcome::Failed;
  Backup_Print(*outcome == SettingsOutcome::Complete ? "Complete\r\n" : "Failed\r\n");
  if (*outcome != SettingsOutcome::Complete) return MenuState::FinishDevice;

  // The device may have moved while it was searched for during the run.
  const BackupSeam& seam = Seam();
  if (seam.findDevice(device->portName, device->address, device->address, device->modelNumber,
                      device->serialNumber) == 255) {
    device->address = seam.relocate(device->portName, Image_SearchRangeLow(hardwareId),
                                    Image_SearchRangeHigh(hardwareId),
                                    Image_ModbusSelectRegister(hardwareId), device->modelNumber,
                                    device->serialNumber);
  }
  return MenuState::StartProgramming;
}

uint8_t AwaitDeviceOnBus(const DeviceRecord* device) {
  const BackupSeam& seam = Seam();
  const int32_t hardwareId = device->hardwareId;
  for (;;) {
    const uint8_t found = Shown("the controller to answer", [&] {
      return seam.relocate(device->portName, Image_SearchRangeLow(hardwareId),
                           Image_SearchRangeHigh(hardwareId), Image_ModbusSelectRegister(hardwareId),
                           device->modelNumber, device->serialNumber);
    });
    if (found != 255) return found;
    if (plat::interrupt_requested()) return 255;
    Backup_Print("Please change 'PCoL' to 'Std' and 'Ad.S' to %d in the SEt->CoM menu.\r\n",
          ZoneOfAddress(device->address));
    Backup_Print("Press any key when ready.\r\n");
    int key = seam.readKey();
    while (key == 0) {
      seam.sleepMs(kKeyPollMs);
      key = seam.readKey();
    }
    if (key < 0) return 255;
  }
}

MenuState RestoreDevice(DeviceRecord* device, const RestorePlan& plan, SettingsOutcome* outcome) {
  *outcome = SettingsOutcome::NotTaken;
  const BackupSeam& seam = Seam();
  const int32_t hardwareId = device->hardwareId;
  const bool foundInBootloader = plan.foundInBootloader;
  if (plan.identityUnknown) {
    // Which backup is this device's cannot be told: its settings are left as
    // the device kept them, and every backup file stays.
    if (Image_BackupEnabled(hardwareId) == 1) {
      Backup_Print("Restoring Device Settings...skipped: the device's identity is not known, so "
                   "its backup file cannot be chosen. The backup files are kept.\r\n");
    }
    return MenuState::FinishDevice;
  }
  if (plan.defaultsWrite && Image_DefaultsWriteEnabled(hardwareId) == 1) {
    if (device->inBootloader == 1) {
      DeviceRecord fresh[1];
      if (seam.scanRange(device->portName, device->address, device->address, fresh, 1) == 1) {
        *device = fresh[0];
      }
    }
    TypedValue factory;
    factory.type = kListType;
    factory.value = static_cast<uint32_t>(kFactorySettings) << 24;
    seam.writeMember(device->portName, device->address, kIdentityClass, kSettingsSetMember, 1,
                     factory);
  }
  if (Image_BackupEnabled(hardwareId) == 0) return MenuState::FinishDevice;

  int attempts = 0;
  for (;;) {
    const uint8_t address = AwaitDeviceOnBus(device);
    if (address == 255 && plat::interrupt_requested()) {
      Backup_Print("Stopped: the settings were not restored; the backup file is kept.\r\n");
      *outcome = SettingsOutcome::Failed;
      return MenuState::FinishDevice;
    }
    if (address == 255) {
      Backup_Print("Standard input ended while waiting for the device, so its settings were not "
            "restored. Its backup file is kept; run the tool again to restore it.\r\n");
      *outcome = SettingsOutcome::Failed;
      return MenuState::FinishDevice;
    }
    device->address = address;
    Shown("the controller's settings to settle",
          [&] { return seam.waitSettled(device->portName, device->address); });
    if (StartRestore(device->portName, device->address, device->hardwareId, foundInBootloader) ==
        1) {
      break;
    }
    if (++attempts >= RestoreStartAttempts) {
      Backup_Print("Can't restore device settings: the device at address %d did not answer its identity "
            "reads (%d attempts). Its backup file is kept; check the device and run the tool "
            "again.\r\n",
            device->address, attempts);
      *outcome = SettingsOutcome::Failed;
      return MenuState::FinishDevice;
    }
  }
  Backup_Print("Restoring Device Settings...");
  const int result = WaitForRun();
  const BackupWorker& w = Backup_Worker();
  const char* shown = w.fileName;
  if (!w.fileOpened && w.result == 0 && w.filePassed && !w.fileMissing && w.recordsTotal == 0 &&
      !plan.backupTaken && !plan.foundInBootloader) {
    Backup_Print("nothing restored: no backup was taken in this run\r\n");
    return MenuState::FinishDevice;
  }
  if (!w.fileOpened && w.result == 0 && w.fileMissing) {
    // Nothing was written back: a device chosen in its bootloader without a
    // backup, or a backup that was removed meanwhile.
    Backup_Print("nothing restored: there is no backup file %s\r\n", shown);
    *outcome = plan.backupTaken ? SettingsOutcome::Failed : SettingsOutcome::Missing;
    return MenuState::FinishDevice;
  }
  if (result == 0 && w.fileOpened && w.recordsRestored == w.recordsTotal) {
    Backup_Print("Complete\r\n");
    *outcome = SettingsOutcome::Complete;
    return MenuState::FinishDevice;
  }
  Backup_Print("%s (%u of %u records written; %s kept)\r\n", w.stopped ? "Stopped" : "Failed",
               static_cast<unsigned>(w.recordsRestored), static_cast<unsigned>(w.recordsTotal),
               shown);
  *outcome = SettingsOutcome::Failed;
  return MenuState::FinishDevice;
}
