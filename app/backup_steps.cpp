#include "app/backup_steps.h"

#include <cstdio>
#include <ctime>

#include "client/services.h"
#include "client/typed_value.h"
#include "platform/interrupt.h"
#include "platform/thread.h"
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

// Says what a run tells while it goes on. It runs on the run's thread, in
// between the dots the console thread prints.
class NoticePrinter final : public BackupNotices {
 public:
  explicit NoticePrinter(plat::Console& console) : console_(console) {}

  void Notice(const BackupNotice& notice, const BackupFacts& facts) override {
    switch (notice.event) {
      case BackupEvent::NotSaved:
        NotSaved(notice, facts);
        break;
      case BackupEvent::Incomplete:
        plat::con_say(console_,
            "\r\nThe settings backup %s is incomplete: some settings could not be read from "
            "the device. It is not kept, and the device is not updated.\r\n",
            facts.fileName);
        break;
      case BackupEvent::EarlierRestored: {
        char date[40] = "an unknown time";
        std::tm local{};
        if (notice.modifiedKnown && plat::local_time(notice.modified, &local)) {
          std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", &local);
        }
        plat::con_say(console_,
            "\r\nThe backup %s of %s is from an earlier update that did not finish: it holds "
            "the settings from before that update and is the one restored. This backup is "
            "kept as %s.\r\n",
            facts.fileName, date, facts.keptName);
        break;
      }
      case BackupEvent::MovedAside:
        plat::con_say(console_, "\r\n%s was not a settings backup (%s): it is moved aside to %s.\r\n",
            facts.fileName, BackupCheckText(notice.check), facts.keptName);
        break;
      case BackupEvent::DeviceLost:
        plat::con_say(console_, "ERROR: Lost Communication with the device\r\n");
        break;
      case BackupEvent::RecordSkipped:
        plat::con_say(console_,
            "Restoring the record at offset %u skipped: its length of %u bytes is not that of a "
            "settings record. The backup file %s is kept.\r\n",
            static_cast<unsigned>(notice.offset), static_cast<unsigned>(notice.length),
            facts.fileName);
        break;
      case BackupEvent::FileCutShort:
        plat::con_say(console_,
            "The backup file %s could not be read to its end; the settings behind offset %u were "
            "not restored. The file is kept for a later run.\r\n",
            facts.fileName, static_cast<unsigned>(notice.offset));
        break;
      case BackupEvent::NotAFile:
        plat::con_say(console_, "\r\n%s is not a settings backup (%s): nothing is restored from it.\r\n",
            facts.fileName, BackupCheckText(notice.check));
        break;
      case BackupEvent::FileNotOpened:
        plat::con_say(console_,
            "\r\nCan't open the settings backup %s: %s. Nothing is restored; the file is "
            "kept.\r\n",
            facts.fileName, notice.text.c_str());
        break;
      case BackupEvent::RecordTimedOut:
        plat::con_say(console_, "Restoring Class %d Instance %d Timed Out\r\n", notice.cls, notice.instance);
        break;
    }
  }

 private:
  // The backup could not be put on the disk: what failed, and what to do.
  void NotSaved(const BackupNotice& notice, const BackupFacts& facts) {
    const char* text = notice.text.c_str();
    char what[BackupPathMax + 400];
    switch (notice.step) {
      case BackupSaveStep::Create:
        std::snprintf(what, sizeof what, "creating %s failed: %s", facts.partialName, text);
        break;
      case BackupSaveStep::Write:
        std::snprintf(what, sizeof what, "writing it to the disk failed: %s", text);
        break;
      case BackupSaveStep::ReadBack:
        std::snprintf(what, sizeof what, "reading it back gave %u of %u records (%s)",
                      static_cast<unsigned>(notice.records),
                      static_cast<unsigned>(facts.recordsWritten),
                      notice.check == BackupFileCheck::Whole ? "the file is short"
                                                             : BackupCheckText(notice.check));
        break;
      case BackupSaveStep::KeepFresh:
        std::snprintf(what, sizeof what, "keeping it beside the earlier backup failed: %s", text);
        break;
      case BackupSaveStep::MoveAside:
        std::snprintf(what, sizeof what,
                      "%s stands under its name and is not a settings backup (%s), and moving it "
                      "aside failed: %s",
                      facts.fileName, BackupCheckText(notice.check), text);
        break;
      case BackupSaveStep::Rename:
        std::snprintf(what, sizeof what, "giving it its name failed: %s", text);
        break;
      case BackupSaveStep::ReadBackNamed:
        std::snprintf(what, sizeof what, "reading it back under its name gave %u of %u records",
                      static_cast<unsigned>(notice.records),
                      static_cast<unsigned>(facts.recordsWritten));
        break;
    }
    plat::con_say(console_,
        "\r\nCan't save the settings backup %s: %s. The device is not updated and its settings "
        "are left as they are. Make room in %s or give it write access, name another folder "
        "with BREVANE_BACKUPS, or run with -bNO to update without a backup.\r\n",
        facts.fileName, what, BackupFolder_Shown());
  }

  plat::Console& console_;
};

struct RunOnThread {
  BackupRun* run = nullptr;
  Result result;
};

void RunEntry(void* arg) {
  auto* job = static_cast<RunOnThread*>(arg);
  job->result = job->run->Run();
}

// Runs the run to its end and prints a dot for every second it goes on.
// Anywhere but on a terminal the dots go in lines of kDotsPerLine, each new
// line begun by its first dot, so that a pipe or a log gets a line at least
// that often. An interrupt stops the run after the request on the bus.
//
// The run goes on a thread of its own, joined here, while this (the
// console) thread keeps time: a step can block for a minute (a search for
// the device, a settle wait), and the dots and the stop must not wait for it.
// Without a thread the run is stepped here, without dots.
Result WaitForRun(const BackupWorld& world, BackupRun& run) {
  RunOnThread job;
  job.run = &run;
  plat::ThreadHandle thread = plat::thread_start(RunEntry, &job, 0);
  if (thread == nullptr) return run.Run();
  const bool inLines = !world.console.IsTerminal();
  int dots = 0;
  while (!plat::thread_wait(thread, kDotEveryMs)) {
    if (world.interrupted()) run.Stop();
    world.console.Print(inLines && dots > 0 && dots % kDotsPerLine == 0 ? "\r\n." : ".");
    ++dots;
  }
  plat::thread_close(thread);
  return job.result;
}

// A wait of the restore for its device on the console thread (the search
// for it, its settle wait): once it has taken kShowWaitAfterMs it says what
// it waits for and keeps moving, a dot every kWaitDotMs on a terminal, a line
// every kWaitLineMs elsewhere. The client's wait ticks on this thread drive it.
constexpr uint32_t kShowWaitAfterMs = 4000;
constexpr uint32_t kWaitDotMs = 2000;
constexpr uint32_t kWaitLineMs = 4000;

struct ShownWait {
  const BackupWorld* world = nullptr;
  const char* what = nullptr;
  uint32_t since = 0;
  uint32_t moved = 0;
  bool shown = false;
};
// The wait the client's tick on this thread shows: the tick is a plain
// function, so it finds its wait here. Each console thread has its own.
thread_local ShownWait* t_shown = nullptr;

void ShowWaitTick() {
  ShownWait& wait = *t_shown;
  plat::Console& console = wait.world->console;
  const uint32_t now = wait.world->clock.NowMs();
  const uint32_t still = now - wait.moved;
  if (!console.IsTerminal()) {
    if (still < kWaitLineMs) return;
    plat::con_say(console, "Waiting for %s (%u s)\r\n", wait.what, static_cast<unsigned>((now - wait.since) / 1000));
  } else if (!wait.shown) {
    if (still < kShowWaitAfterMs) return;
    plat::con_say(console, "Waiting for %s", wait.what);
  } else {
    if (still < kWaitDotMs) return;
    console.Print(".");
  }
  wait.shown = true;
  wait.moved = now;
}

// The wait counts from the last output, which may be an earlier wait's: the
// console's own record of it, on the system's clock as the program's world.
template <typename Call>
auto Shown(const BackupWorld& world, const char* what, Call call) {
  const uint32_t now = world.clock.NowMs();
  const uint32_t lastOutput = plat::con_last_output_ms();
  ShownWait wait{&world, what, now, lastOutput != 0 ? lastOutput : now, false};
  ShownWait* const outer = t_shown;
  t_shown = &wait;
  const ClientWaitTick before = Client_SetWaitTick(ShowWaitTick);
  const auto result = call();
  Client_SetWaitTick(before);
  t_shown = outer;
  if (wait.shown && world.console.IsTerminal()) world.console.Print("\r\n");
  return result;
}

}  // namespace

BackupWorld System_BackupWorld() {
  return BackupWorld{Client_Bus(), plat::system_clock(), plat::system_files(), plat::system_console(),
                     plat::interrupt_requested};
}

std::string BackupFolderWhy(const Result& probe, FolderCheckStep failed) {
  const char* text = probe.text.c_str();
  char why[300];
  switch (failed) {
    case FolderCheckStep::NameTooLong:
      std::snprintf(why, sizeof why, "the folder's name is longer than %u characters",
                    static_cast<unsigned>(BackupFolderNameMax));
      break;
    case FolderCheckStep::Create:
      std::snprintf(why, sizeof why, "creating a file there failed: %s", text);
      break;
    case FolderCheckStep::Write:
      std::snprintf(why, sizeof why, "writing to a file there failed: %s", text);
      break;
    case FolderCheckStep::Flush:
      std::snprintf(why, sizeof why, "flushing a file there to the disk failed: %s", text);
      break;
    case FolderCheckStep::Close:
      std::snprintf(why, sizeof why, "closing a file there failed: %s", text);
      break;
    case FolderCheckStep::Remove:
      std::snprintf(why, sizeof why, "removing a file there failed: %s", text);
      break;
  }
  return why;
}

const char* BackupCheckText(BackupFileCheck check) {
  switch (check) {
    case BackupFileCheck::Whole: return "a whole backup";
    case BackupFileCheck::Missing: return "there is no such file";
    case BackupFileCheck::NotAFile: return "it is not a regular file";
    case BackupFileCheck::Unreadable: return "it cannot be read";
    case BackupFileCheck::Damaged: return "it is not a row of whole settings records";
  }
  return "";
}

MenuState BackupDevice(const BackupWorld& world, DeviceRecord* device, SettingsOutcome* outcome,
                       BackupFacts* facts) {
  *outcome = SettingsOutcome::NotTaken;
  *facts = BackupFacts{};
  plat::Console& console = world.console;
  const int32_t hardwareId = device->hardwareId;
  if (device->inBootloader == 1 || Image_BackupEnabled(hardwareId) == 0) {
    return MenuState::StartProgramming;
  }
  // Nothing is asked of the device before the folder has shown that it takes
  // a file.
  FolderCheckStep failed = FolderCheckStep::Create;
  const Result probe = BackupFolder_Probe(world.files, &failed);
  if (!probe) {
    plat::con_say(console,
        "Can't save a settings backup in %s: %s. The device is not updated and its "
        "settings are left as they are. Name a writable folder with BREVANE_BACKUPS, or "
        "run with -bNO to update without a backup.\r\n",
        BackupFolder_Shown(), BackupFolderWhy(probe, failed).c_str());
    *outcome = SettingsOutcome::Failed;
    return MenuState::FinishDevice;
  }
  NoticePrinter printer(console);
  BackupRun run(world.bus, world.clock, world.files, printer);
  // A faulty line can cost an identity read; a backup that cannot be taken
  // at all is a failed one, so that the device is not reported updated
  // after its settings were reset to the factory values.
  for (int attempts = 1; !run.StartBackup(device->portName, device->address); ++attempts) {
    if (attempts >= BackupStartAttempts) {
      plat::con_say(console, "Can't create backup for device settings.\r\n");
      plat::con_say(console, "The device did not answer the reads that name its backup; it is not "
                   "updated.\r\n");
      *outcome = SettingsOutcome::Failed;
      return MenuState::FinishDevice;
    }
  }
  plat::con_say(console, "Backing up Device Settings...");
  const Result result = WaitForRun(world, run);
  *facts = run.Facts();
  if (facts->stopped) {
    plat::con_say(console, "Stopped\r\n");
    *outcome = SettingsOutcome::Failed;
    return MenuState::FinishDevice;
  }
  // Programming and the factory settings wait for a backup that is on the
  // disk and reads back whole.
  *outcome = result.Ok() && facts->saved ? SettingsOutcome::Complete : SettingsOutcome::Failed;
  plat::con_say(console, *outcome == SettingsOutcome::Complete ? "Complete\r\n" : "Failed\r\n");
  if (*outcome != SettingsOutcome::Complete) return MenuState::FinishDevice;

  // The device may have moved while it was searched for during the run.
  if (world.bus.FindDevice(device->portName, device->address, device->address, device->modelNumber,
                           device->serialNumber) == BusNoStation) {
    device->address = world.bus.Relocate(device->portName, Image_SearchRangeLow(hardwareId),
                                         Image_SearchRangeHigh(hardwareId),
                                         Image_ModbusSelectRegister(hardwareId), device->modelNumber,
                                         device->serialNumber);
  }
  return MenuState::StartProgramming;
}

uint8_t AwaitDeviceOnBus(const BackupWorld& world, const DeviceRecord* device) {
  plat::Console& console = world.console;
  const int32_t hardwareId = device->hardwareId;
  for (;;) {
    const uint8_t found = Shown(world, "the controller to answer", [&] {
      return world.bus.Relocate(device->portName, Image_SearchRangeLow(hardwareId),
                                Image_SearchRangeHigh(hardwareId),
                                Image_ModbusSelectRegister(hardwareId), device->modelNumber,
                                device->serialNumber);
    });
    if (found != BusNoStation) return found;
    if (world.interrupted()) return BusNoStation;
    plat::con_say(console, "Please change 'PCoL' to 'Std' and 'Ad.S' to %d in the SEt->CoM menu.\r\n",
        ZoneOfAddress(device->address));
    plat::con_say(console, "Press any key when ready.\r\n");
    int key = console.ReadKey();
    while (key == 0) {
      world.clock.SleepMs(kKeyPollMs);
      key = console.ReadKey();
    }
    if (key < 0) return BusNoStation;
  }
}

MenuState RestoreDevice(const BackupWorld& world, DeviceRecord* device, const RestorePlan& plan,
                        SettingsOutcome* outcome) {
  *outcome = SettingsOutcome::NotTaken;
  plat::Console& console = world.console;
  const int32_t hardwareId = device->hardwareId;
  if (plan.identityUnknown) {
    // Which backup is this device's cannot be told: its settings are left as
    // the device kept them, and every backup file stays.
    if (Image_BackupEnabled(hardwareId) == 1) {
      plat::con_say(console, "Restoring Device Settings...skipped: the device's identity is not known, so "
                   "its backup file cannot be chosen. The backup files are kept.\r\n");
    }
    return MenuState::FinishDevice;
  }
  if (plan.defaultsWrite && Image_DefaultsWriteEnabled(hardwareId) == 1) {
    if (device->inBootloader == 1) {
      DeviceRecord fresh[1];
      if (world.bus.ScanRange(device->portName, device->address, device->address, fresh, 1) == 1) {
        *device = fresh[0];
      }
    }
    TypedValue factory;
    factory.type = kListType;
    factory.value = static_cast<uint32_t>(kFactorySettings) << 24;
    world.bus.WriteMember(device->portName, device->address, kIdentityClass, kSettingsSetMember, 1,
                          factory);
  }
  if (Image_BackupEnabled(hardwareId) == 0) return MenuState::FinishDevice;

  // A backup file is read when this run took one, or for a device chosen in
  // its bootloader, whose backup an earlier run may have left.
  const bool readFile = plan.backupTaken || plan.foundInBootloader;
  NoticePrinter printer(console);
  BackupRun run(world.bus, world.clock, world.files, printer);
  int attempts = 0;
  for (;;) {
    const uint8_t address = AwaitDeviceOnBus(world, device);
    if (address == BusNoStation && world.interrupted()) {
      plat::con_say(console, "Stopped: the settings were not restored; the backup file is kept.\r\n");
      *outcome = SettingsOutcome::Failed;
      return MenuState::FinishDevice;
    }
    if (address == BusNoStation) {
      plat::con_say(console, "Standard input ended while waiting for the device, so its settings were not "
                   "restored. Its backup file is kept; run the tool again to restore it.\r\n");
      *outcome = SettingsOutcome::Failed;
      return MenuState::FinishDevice;
    }
    device->address = address;
    Shown(world, "the controller's settings to settle",
          [&] { return world.bus.WaitSettled(device->portName, device->address); });
    if (run.StartRestore(device->portName, device->address, device->hardwareId, readFile)) break;
    if (++attempts >= RestoreStartAttempts) {
      plat::con_say(console,
          "Can't restore device settings: the device at address %d did not answer its identity "
          "reads (%d attempts). Its backup file is kept; check the device and run the tool "
          "again.\r\n",
          device->address, attempts);
      *outcome = SettingsOutcome::Failed;
      return MenuState::FinishDevice;
    }
  }
  plat::con_say(console, "Restoring Device Settings...");
  const Result result = WaitForRun(world, run);
  const BackupFacts& facts = run.Facts();
  if (result.Ok() && !facts.fileOpened && !readFile) {
    plat::con_say(console, "nothing restored: no backup was taken in this run\r\n");
    return MenuState::FinishDevice;
  }
  if (result.outcome == Outcome::FileMissing && !facts.fileOpened) {
    // Nothing was written back: a device chosen in its bootloader without a
    // backup, or a backup that was removed meanwhile.
    plat::con_say(console, "nothing restored: there is no backup file %s\r\n", facts.fileName);
    *outcome = plan.backupTaken ? SettingsOutcome::Failed : SettingsOutcome::Missing;
    return MenuState::FinishDevice;
  }
  if (result.Ok() && facts.fileOpened && facts.recordsRestored == facts.recordsTotal) {
    plat::con_say(console, "Complete\r\n");
    *outcome = SettingsOutcome::Complete;
    return MenuState::FinishDevice;
  }
  plat::con_say(console, "%s (%u of %u records written; %s kept)\r\n", facts.stopped ? "Stopped" : "Failed",
      static_cast<unsigned>(facts.recordsRestored), static_cast<unsigned>(facts.recordsTotal),
      facts.fileName);
  *outcome = SettingsOutcome::Failed;
  return MenuState::FinishDevice;
}
