#include "app/safety.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/settings.h"
#include "app/summary.h"
#include "app/backup_steps.h"
#include "backup/backup_run.h"
#include "client/client.h"
#include "client/port_name.h"
#include "client/registry_record.h"
#include "client/scan.h"
#include "client/services.h"
#include "client/typed_value.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/serial.h"
#include "update/address_journal.h"
#include "update/backup_folder.h"
#include "update/update_steps.h"

namespace {

constexpr uint32_t kStopWaitMs = 15000;

bool g_registryReported = false;

void SystemText(char* text, std::size_t size) { plat::error_text(plat::last_error(), text, size); }

void DescribeDevice(const DeviceRecord& device, char* text, std::size_t size) {
  std::snprintf(text, size, "ZONE %2d  %s %d on %s", ZoneOfAddress(device.address),
                device.modelNumber, static_cast<int>(device.serialNumber),
                ShownPortName(device.portName));
}

// The open moves of the journal; a journal that cannot be read is said.
bool LoadMoves(AddressMove* moves, uint32_t* count) {
  char why[256];
  if (Journal_Load(moves, AddressJournalCapacity, count, why, sizeof why)) return true;
  plat::con_printf("Can't read the journal of address moves: %s.\r\n", why);
  return false;
}

void StrikeMove(const AddressMove& move) {
  char why[256];
  if (!Journal_Remove(move.port, move.serialNumber, why, sizeof why)) {
    plat::con_printf("The move could not be struck from the journal: %s.\r\n", why);
  }
}

// Moves the occupant of a journal entry back from `to` to `from`.
bool MoveBack(const AddressMove& move) {
  char text[200];
  Journal_Describe(move, text, sizeof text);
  if (Client_SetZoneAddress(move.port, move.to, move.from) != 1) {
    plat::con_printf("Moving %s back failed; the next run tries again.\r\n", text);
    return false;
  }
  plat::con_printf("Moved %s by an earlier run, back to zone %d.\r\n", text, ZoneOfAddress(move.from));
  StrikeMove(move);
  return true;
}

// Names the backup files of the folder that may be those of a device whose
// model is only known as the bootloader's placeholder.
void FittingBackups(const char* bootModel, char* list, std::size_t size) {
  list[0] = '\0';
  std::error_code error;
  const std::filesystem::path folder =
      BackupFolder_Get()[0] == '\0' ? std::filesystem::path(".") : std::filesystem::path(BackupFolder_Get());
  const std::size_t modelLength = std::strlen(bootModel);
  std::string found;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    const std::string suffix = "-31.qsv";
    if (name.size() <= modelLength + suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0 ||
        !BootModelFits(bootModel, name.substr(0, modelLength).c_str())) {
      continue;
    }
    char path[BackupPathMax + 40];
    BackupFolder_Path(name.c_str(), path, sizeof path);
    found += found.empty() ? path : std::string(" or ") + path;
  }
  std::snprintf(list, size, "%s", found.c_str());
}

void PrintStand(const DeviceReport& report, const DeviceRecord& device) {
  char who[120];
  DescribeDevice(device, who, sizeof who);
  const char* file = report.backupFile[0] != '\0' ? report.backupFile : nullptr;
  switch (OutcomeOf(report)) {
    case DeviceOutcome::Interrupted:
    case DeviceOutcome::BackupNotSaved:
    case DeviceOutcome::MoveNotRecorded:
    case DeviceOutcome::OccupantNotMoved:
    case DeviceOutcome::BootloaderOccupied:
    case DeviceOutcome::NoThread:
    case DeviceOutcome::NotMovedBack:
      plat::con_printf("%s: not changed.\r\n", who);
      break;
    case DeviceOutcome::InterruptedInBootloader:
      if (file != nullptr && report.backup == SettingsOutcome::Complete) {
        plat::con_printf("%s: in its bootloader; run the tool again and choose it: %s will be "
                         "restored.\r\n",
                         who, file);
      } else {
        plat::con_printf("%s: in its bootloader; run the tool again and choose it.\r\n", who);
      }
      break;
    default:
      if (report.restore == SettingsOutcome::Complete ||
          (report.restore == SettingsOutcome::NotTaken && report.backup == SettingsOutcome::NotTaken)) {
        plat::con_printf("%s: runs the new firmware.\r\n", who);
      } else if (file != nullptr) {
        plat::con_printf("%s: runs the new firmware, its settings not all restored; run the tool "
                         "again and choose it: %s will be restored.\r\n",
                         who, file);
      } else {
        plat::con_printf("%s: runs the new firmware.\r\n", who);
      }
      break;
  }
}

}  // namespace

void Safety_StartUp() {
  BackupFolder_Set(std::getenv("BREVANE_BACKUPS"));
  if (BackupSetting() != YesNoSetting::No) {
    FolderCheckStep failed = FolderCheckStep::Create;
    const Result probe = BackupFolder_Probe(plat::system_files(), &failed);
    if (!probe) {
      plat::con_printf("Settings backups go to %s, but %s. No controller can be updated until that "
                       "is mended: name a writable folder with BREVANE_BACKUPS, or run with -bNO to "
                       "update without a backup.\r\n",
                       BackupFolder_Shown(), BackupFolderWhy(probe, failed).c_str());
    }
  }
  AddressMove moves[AddressJournalCapacity];
  uint32_t count = 0;
  if (!LoadMoves(moves, &count)) return;
  for (uint32_t i = 0; i < count; ++i) {
    char text[200];
    Journal_Describe(moves[i], text, sizeof text);
    plat::con_printf("An earlier run left %s; it is moved back once zone %d is free.\r\n", text,
                     ZoneOfAddress(moves[i].from));
  }
}

void Safety_AfterDiscovery(DeviceRecord* discovered, uint32_t count, int registrySaved) {
  if (registrySaved == 0 && !g_registryReported) {
    char text[160];
    SystemText(text, sizeof text);
    plat::con_printf("Can't write the device registry (%s): %s. A controller found later in its "
                     "bootloader can't be given back its identity from it.\r\n",
                     RegistryRootKey, text);
    g_registryReported = true;
  }
  AddressMove moves[AddressJournalCapacity];
  uint32_t moveCount = 0;
  if (!LoadMoves(moves, &moveCount)) return;
  for (uint32_t m = 0; m < moveCount; ++m) {
    const AddressMove& move = moves[m];
    bool scanned = false;
    bool bootloader = false;
    DeviceRecord* occupant = nullptr;
    const DeviceRecord* atFrom = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
      DeviceRecord& r = discovered[i];
      if (std::strcmp(r.portName, move.port) != 0) continue;
      scanned = true;
      if (r.inBootloader == 1) bootloader = true;
      if (r.inBootloader != 1 && r.serialNumber == move.serialNumber) occupant = &r;
      if (r.address == move.from) atFrom = &r;
    }
    if (!scanned) continue;
    char text[200];
    Journal_Describe(move, text, sizeof text);
    if (occupant != nullptr && occupant->address == move.from) {
      StrikeMove(move);
    } else if (bootloader) {
      // Never while a bootloader may take the standard address.
      plat::con_printf("%s by an earlier run: it is moved back once the controller in its "
                       "bootloader on %s is updated.\r\n",
                       text, ShownPortName(move.port));
    } else if (atFrom != nullptr) {
      plat::con_printf("%s by an earlier run: zone %d is now taken by another device, so it stays "
                       "where it is.\r\n",
                       text, ZoneOfAddress(move.from));
    } else if (occupant != nullptr && occupant->address == move.to) {
      if (Client_Open(move.port) == 0) {
        if (MoveBack(move)) occupant->address = move.from;
        if (!IsPreselected()) Client_Close(move.port);
      }
    } else {
      plat::con_printf("%s by an earlier run: it was not found at zone %d.\r\n", text,
                       ZoneOfAddress(move.to));
    }
  }
}

void Safety_AfterDevice(const char* port) {
  AddressMove moves[AddressJournalCapacity];
  uint32_t count = 0;
  if (!LoadMoves(moves, &count)) return;
  bool opened = false;
  for (uint32_t m = 0; m < count; ++m) {
    const AddressMove& move = moves[m];
    if (std::strcmp(move.port, port) != 0) continue;
    if (!opened) {
      if (Client_Open(port) != 0) return;
      opened = true;
    }
    DeviceRecord there[1];
    if (Client_ScanRange(port, move.from, move.from, there, 1) == 1) {
      if (there[0].inBootloader != 1 && there[0].serialNumber == move.serialNumber) StrikeMove(move);
      continue;
    }
    if (Client_FindDevice(port, move.to, move.to, move.modelNumber, move.serialNumber) == move.to) {
      MoveBack(move);
    }
  }
  if (opened) Client_Close(port);
}

void Safety_PrepareDevice(DeviceReport* report, plat::Console& console) {
  DeviceUpdate& update = report->update;
  update.defaultsWrite = true;
  if (report->before.inBootloader != 1 || BackupSetting() == YesNoSetting::No) return;
  DeviceRecord identity = report->before;
  if (Registry_LoadDevice(&identity) == 0) {
    char text[160];
    SystemText(text, sizeof text);
    FittingBackups(report->before.modelNumber, report->backupFile, sizeof report->backupFile);
    plat::con_say(console, "The registry gives no identity for the controller in its bootloader at zone "
                     "%d on %s (%s). It is programmed so that it runs again, but its identity and "
                     "settings are left as they are%s%s%s.\r\n",
                     ZoneOfAddress(report->before.address), ShownPortName(report->before.portName),
                     text, report->backupFile[0] != '\0' ? "; its backup " : "", report->backupFile,
                     report->backupFile[0] != '\0' ? " is kept" : "");
    update.defaultsWrite = false;
    return;
  }
  char path[BackupPathMax + 48];
  if (!Backup_FileName(identity.modelNumber, identity.serialNumber, path, sizeof path)) return;
  std::snprintf(report->backupFile, sizeof report->backupFile, "%s", path);
  uint32_t records = 0;
  const BackupFileCheck check = Backup_CheckFile(plat::system_files(), path, &records);
  if (check == BackupFileCheck::Whole) return;
  // The factory settings would wipe what the device still holds, and the
  // backup could not put it all back.
  update.defaultsWrite = false;
  if (check == BackupFileCheck::Missing) {
    plat::con_say(console, "There is no settings backup %s for this controller: its settings are left "
                     "as it kept them.\r\n",
                     path);
  } else {
    plat::con_say(console, "The settings backup %s is not whole (%s; %u whole records): the factory "
                     "settings are not written, and only its whole records are restored.\r\n",
                     path, BackupCheckText(check), static_cast<unsigned>(records));
  }
}

void Safety_DropUnusedBackup(const DeviceReport& report, plat::Console& console) {
  if (report.backup != SettingsOutcome::Complete || report.earlierKept ||
      report.backupFile[0] == '\0' || (report.update.started && report.entrySent) ||
      (report.update.started && report.update.programming != Outcome::Stopped)) {
    return;
  }
  if (plat::file_delete(report.backupFile)) {
    plat::con_say(console, "The device was not changed, so its backup %s is removed.\r\n",
                     report.backupFile);
  }
}

RestorePlan Safety_RestorePlan(const DeviceReport& report) {
  RestorePlan plan;
  plan.foundInBootloader = report.before.inBootloader == 1;
  plan.backupTaken = report.backup == SettingsOutcome::Complete;
  plan.defaultsWrite = report.update.defaultsWrite;
  plan.identityUnknown = report.update.identityUnknown;
  return plan;
}

namespace {
// The journal's open moves, the ports closed, the summary: the end of every
// interrupted run.
int EndInterruptedRun(FrontEndState* state);
}  // namespace

int Safety_StopAfterInterrupt(FrontEndState* state) {
  plat::con_printf("\r\nInterrupted (%s): stopping.\r\n", plat::interrupt_name());
  const MenuState at = state->menuState;
  const bool processing = at >= MenuState::BackupSettings && at <= MenuState::FinishDevice &&
                          state->currentDevice < state->reportCount;
  if (processing) {
    DeviceReport& report = state->reports[state->currentDevice];
    DeviceRecord& device = state->devices[state->currentDevice];
    DeviceUpdate& update = report.update;
    report.interrupted = true;
    Update_StopProgramming(&update, kStopWaitMs);
    report.entrySent = Update_EntrySent(update);
    const bool inBootloader = update.programming == Outcome::Stopped && report.entrySent;
    if (update.started && !inBootloader && at != MenuState::NextDevice) {
      // The device runs (or was never entered into its bootloader): the
      // displaced one goes back now and the port is closed.
      Update_Finish(&update);
    } else {
      // Its bootloader may take the standard address: the displaced device
      // stays where it is, and the journal keeps the move for the next run.
      Client_Close(device.portName);
    }
    Safety_DropUnusedBackup(report, plat::system_console());
    PrintStand(report, device);
  } else {
    plat::con_printf("Nothing on the bus was being changed.\r\n");
  }
  return EndInterruptedRun(state);
}

int Safety_StandAfterInterrupt(FrontEndState* state) {
  plat::con_printf("\r\nInterrupted (%s): every controller was stopped at a safe point.\r\n",
                   plat::interrupt_name());
  for (uint32_t i = 0; i < state->reportCount; ++i) {
    PrintStand(state->reports[i], state->devices[i]);
  }
  return EndInterruptedRun(state);
}

namespace {

int EndInterruptedRun(FrontEndState* state) {
  AddressMove moves[AddressJournalCapacity];
  uint32_t count = 0;
  if (LoadMoves(moves, &count)) {
    for (uint32_t i = 0; i < count; ++i) {
      char text[200];
      Journal_Describe(moves[i], text, sizeof text);
      plat::con_printf("%s: the next run moves it back.\r\n", text);
    }
  }
  if (IsPreselected()) {
    for (const std::string& port : Settings().commandPorts) Client_Close(port.c_str());
  }
  PrintSummary(state->reports, state->devices, state->reportCount, &state->gaps);
  plat::interrupt_stopped();
  return ExitInterrupted;
}

}  // namespace
