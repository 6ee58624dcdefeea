#include "app/summary.h"

#include <cstdio>

#include "client/port_name.h"
#include "client/typed_value.h"
#include "platform/console.h"
#include "update/image_package.h"

DeviceOutcome OutcomeOf(const DeviceReport& report) {
  const std::optional<Outcome> programming = report.update.programming;
  if (report.noTurn.has_value()) {
    switch (*report.noTurn) {
      case NoTurn::OccupantNotMoved: return DeviceOutcome::OccupantNotMoved;
      case NoTurn::BootloaderOccupied: return DeviceOutcome::BootloaderOccupied;
      case NoTurn::OccupantNotBack: return DeviceOutcome::NotMovedBack;
      case NoTurn::Stopped: return DeviceOutcome::Interrupted;
      case NoTurn::NoThread: return DeviceOutcome::NoThread;
    }
  }
  if (report.backup == SettingsOutcome::Failed && !report.update.started) {
    return report.interrupted ? DeviceOutcome::Interrupted : DeviceOutcome::BackupNotSaved;
  }
  if (report.update.moveNotRecorded) return DeviceOutcome::MoveNotRecorded;
  if (programming == Outcome::Stopped || (report.interrupted && !report.update.started)) {
    return report.entrySent ? DeviceOutcome::InterruptedInBootloader : DeviceOutcome::Interrupted;
  }
  // A job that lost its device ended without seeing it come back: what the
  // update steps found afterwards tells whether it holds the new firmware.
  const bool lost = programming == Outcome::NotFound;
  if (programming != Outcome::Done && !lost) return DeviceOutcome::ProgrammingFailed;
  if (!report.update.foundAgain) return DeviceOutcome::NotFound;
  if (lost && !report.update.versionRead) return DeviceOutcome::ProgrammingFailed;
  // A job that ended well but left another version in the device did not
  // program it (another device may have been programmed in its place).
  const ImagePackage* image = Image_Find(report.before.hardwareId);
  if (report.update.versionRead && image != nullptr &&
      (report.update.release != image->release || report.update.prototype != image->prototype ||
       report.update.build != image->build)) {
    return DeviceOutcome::ProgrammingFailed;
  }
  if (report.update.identityUnknown) return DeviceOutcome::IdentityNotRestored;
  if (report.restore == SettingsOutcome::Missing) return DeviceOutcome::NoBackupToRestore;
  // Settings that were backed up are back only when the restore completed.
  const bool settingsBack = report.backup == SettingsOutcome::NotTaken
                                ? report.restore != SettingsOutcome::Failed
                                : report.backup == SettingsOutcome::Complete &&
                                      report.restore == SettingsOutcome::Complete;
  return settingsBack ? DeviceOutcome::Updated : DeviceOutcome::RestoreIncomplete;
}

const char* to_string(DeviceOutcome outcome) {
  switch (outcome) {
    case DeviceOutcome::Updated:
      return "updated";
    case DeviceOutcome::RestoreIncomplete:
      return "updated, settings restore incomplete";
    case DeviceOutcome::ProgrammingFailed:
      return "programming failed";
    case DeviceOutcome::NotFound:
      return "not found after programming";
    case DeviceOutcome::NoBackupToRestore:
      return "updated, no settings backup to restore";
    case DeviceOutcome::BackupNotSaved:
      return "not updated: settings backup could not be saved";
    case DeviceOutcome::MoveNotRecorded:
      return "not updated: the address move could not be recorded";
    case DeviceOutcome::IdentityNotRestored:
      return "identity not restored";
    case DeviceOutcome::Interrupted:
      return "not updated: interrupted";
    case DeviceOutcome::InterruptedInBootloader:
      return "interrupted: in its bootloader";
    case DeviceOutcome::OccupantNotMoved:
      return "not updated: the device at its standard address could not be moved";
    case DeviceOutcome::BootloaderOccupied:
      return "not updated: another controller of its port may be in its bootloader";
    case DeviceOutcome::NotMovedBack:
      return "not updated: it was moved for the others and could not be moved back";
    case DeviceOutcome::NoThread:
      return "not updated: the system gave no thread for it";
  }
  return "";
}

void OutcomeText(const DeviceReport& report, char* text, std::size_t size) {
  const DeviceOutcome outcome = OutcomeOf(report);
  if (outcome == DeviceOutcome::IdentityNotRestored) {
    if (report.backupFile[0] != '\0') {
      std::snprintf(text, size, "%s (backup %s kept)", to_string(outcome), report.backupFile);
    } else {
      std::snprintf(text, size, "%s (no backup file of its model found)", to_string(outcome));
    }
    return;
  }
  std::snprintf(text, size, "%s", to_string(outcome));
}

const char* to_string(GapKind kind) {
  switch (kind) {
    case GapKind::NotFound:
      return "not found at discovery";
    case GapKind::NoRoom:
      return "not updated: more controllers chosen than one run takes";
    case GapKind::PortNotOpened:
      return "not updated: the port could not be opened";
  }
  return "";
}

int ExitStatusOf(const DeviceReport* reports, uint32_t count, const RunGaps* gaps) {
  if (gaps != nullptr && gaps->count > 0) return ExitDeviceFailed;
  for (uint32_t i = 0; i < count; ++i) {
    if (OutcomeOf(reports[i]) != DeviceOutcome::Updated) return ExitDeviceFailed;
  }
  return ExitDone;
}

void PrintSummary(const DeviceReport* reports, const DeviceRecord* devices, uint32_t count,
                  const RunGaps* gaps) {
  if (count == 0) return;
  plat::con_printf("\r\nSummary:\r\n");
  for (uint32_t i = 0; i < count; ++i) {
    const DeviceReport& r = reports[i];
    const DeviceRecord& now = devices[i];
    char after[16] = "--.--.--";
    if (r.update.versionRead) {
      std::snprintf(after, sizeof after, "%02d.%02d.%02d", r.update.release, r.update.prototype,
                    r.update.build);
    }
    char outcome[BackupPathMax + 96];
    OutcomeText(r, outcome, sizeof outcome);
    plat::con_printf("ZONE %2d  %16s  %10d  %02d.%02d.%02d -> %s  %s\r\n",
                     ZoneOfAddress(now.address), now.modelNumber, now.serialNumber,
                     r.before.release, r.before.prototype, r.before.build, after, outcome);
  }
  const uint32_t gapCount = gaps == nullptr ? 0 : gaps->count;
  for (uint32_t i = 0; i < gapCount; ++i) {
    const RunGap& gap = gaps->gaps[i];
    if (gap.address == 0) {
      plat::con_printf("%-37s  --.--.-- -> --.--.--  %s (%s)\r\n", ShownPortName(gap.port),
                       to_string(gap.kind), gap.why);
      continue;
    }
    plat::con_printf("ZONE %2d  %-28s  --.--.-- -> --.--.--  %s (%s)\r\n",
                     ZoneOfAddress(gap.address), "", to_string(gap.kind),
                     ShownPortName(gap.port));
  }
}
