#include "update/update_steps.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include "client/client.h"
#include "client/typed_value.h"
#include "image/carried_image.h"
#include "update/backup_folder.h"
#include "update/image_package.h"

namespace {

constexpr uint32_t kProgressSliceMs = 500;
constexpr uint8_t kCodeProgrammingError = 0x8A;
constexpr int kFieldWidth = 4;  // "%3d" and the percent sign

// The device update whose step runs on this thread, for the client's wait
// ticks; null between steps.
thread_local DeviceUpdate* t_step = nullptr;

// Makes `update` the one whose step runs on this thread for as long as it
// lives; a step called from within another one hands back to it at its end.
class StepScope {
 public:
  explicit StepScope(DeviceUpdate* update) : outer_(t_step) { t_step = update; }
  ~StepScope() { t_step = outer_; }
  StepScope(const StepScope&) = delete;
  StepScope& operator=(const StepScope&) = delete;

 private:
  DeviceUpdate* outer_;
};

void Printf(UpdateIo& io, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Printf(UpdateIo& io, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  io.Print(text);
}

// Percentage points between two progress lines, and between two log lines
// of a progress line rewritten in place.
constexpr uint32_t kProgressStep = 5;
// A wait is shown once it has gone this long without anything moving on the
// screen; then a dot follows every kWaitDotMs on a terminal, a line every
// kWaitLineMs elsewhere.
constexpr uint32_t kShowWaitAfterMs = 4000;
constexpr uint32_t kWaitDotMs = 2000;
constexpr uint32_t kWaitLineMs = 4000;
// Dots behind the progress line come and go in turns of this many, so that
// the line never grows past the screen's width.
constexpr int kNoteDots = 5;

constexpr const char* kAnswering = "the controller to answer";
constexpr const char* kSettling = "the controller's settings to settle";

bool HasCapitalX(const char* text) { return std::strchr(text, 'X') != nullptr; }

bool AddressTaken(const DeviceRecord* discovered, uint32_t count, uint8_t address) {
  for (uint32_t i = 0; i < count; ++i) {
    if (discovered[i].address == address) return true;
  }
  return false;
}

uint32_t Distance(uint32_t a, uint32_t b) { return a > b ? a - b : b - a; }

uint32_t Seconds(uint32_t ms) { return ms / 1000; }

void OpenProgressLine(DeviceUpdate& update) {
  UpdateIo& io = *update.io;
  ProgressLine& progress = update.progress;
  progress = ProgressLine{};
  progress.open = true;
  update.wait = UpdateWait{};
  update.wait.moved = io.NowMs();
  if (!io.IsTerminal()) {
    Printf(io, "\r\nProgramming: %d%%\r\n", 0);
    return;
  }
  Printf(io, "\r\nProgramming: %3d%c", 0, '%');
  int column = 0;
  int row = 0;
  if (io.GetCursor(&column, &row)) {
    progress.inPlace = true;
    progress.column = column > kFieldWidth ? column - kFieldWidth : column;
    progress.row = row;
  } else {
    Printf(io, "\r\n");
  }
}

// Writes `text` behind the percentage, over whatever note stood there.
void WriteNote(DeviceUpdate& update, const char* text) {
  UpdateWait& wait = update.wait;
  const std::size_t width = std::strlen(text);
  const int pad = wait.noteWidth > width ? static_cast<int>(wait.noteWidth - width) : 0;
  update.io->SetCursor(update.progress.column + kFieldWidth, update.progress.row);
  Printf(*update.io, "%s%*s", text, pad, "");
  wait.noteWidth = width;
}

// Takes the note away and leaves the cursor behind the percentage.
void ClearNote(DeviceUpdate& update) {
  if (!update.progress.inPlace || update.wait.noteWidth == 0) return;
  WriteNote(update, "");
  update.io->SetCursor(update.progress.column + kFieldWidth, update.progress.row);
}

void ShowProgress(DeviceUpdate& update, uint32_t percent) {
  UpdateIo& io = *update.io;
  ProgressLine& progress = update.progress;
  if (percent == progress.shown) return;
  if (progress.inPlace) {
    ClearNote(update);
    progress.shown = percent;
    io.SetCursor(progress.column, progress.row);
    Printf(io, "%3u%%", static_cast<unsigned>(percent));
    if (Distance(percent, progress.logged) >= kProgressStep || percent == 100) {
      progress.logged = percent;
      char line[32];
      std::snprintf(line, sizeof line, "Programming: %u%%", static_cast<unsigned>(percent));
      io.Log(line);
    }
  } else {
    if (Distance(percent, progress.shown) < kProgressStep && percent != 100) return;
    progress.shown = percent;
    Printf(io, "Programming: %u%%\r\n", static_cast<unsigned>(percent));
  }
  const uint32_t now = io.NowMs();
  update.wait = UpdateWait{};
  update.wait.moved = now;
}

// What the programming job waits for in each of its states.
const char* JobWaitsFor(ProgrammerState state) {
  switch (state) {
    case ProgrammerState::Prepare:
    case ProgrammerState::ReadyCheck:
      return "the controller to erase its flash";
    case ProgrammerState::Transfer:
      return "the controller to take the image";
    case ProgrammerState::TransferDone:
      return "the controller to write its flash";
    case ProgrammerState::LeaveBootloader:
    case ProgrammerState::ConfirmApplication:
      return "the controller to restart";
    case ProgrammerState::DefaultsWrite:
      return "the controller to take its factory settings";
    default:
      return "the controller's bootloader";
  }
}

// The job's steps as the run log names them.
const char* JobStepName(ProgrammerState state) {
  switch (state) {
    case ProgrammerState::OpenPort: return "opening the port";
    case ProgrammerState::EnterBootloader: return "sending the bootloader entry";
    case ProgrammerState::FindBootloader: return "looking for the bootloader";
    case ProgrammerState::Prepare: return "preparing the flash";
    case ProgrammerState::ReadyCheck: return "erasing, then asking whether the flash is ready";
    case ProgrammerState::Transfer: return "sending the image";
    case ProgrammerState::TransferDone: return "pausing while the flash is written";
    case ProgrammerState::LeaveBootloader: return "restarting the controller";
    case ProgrammerState::ConfirmApplication: return "looking for the restarted application";
    case ProgrammerState::DefaultsWrite: return "writing the factory settings";
    default: return "ending";
  }
}

// While the percentage stands still: what the job waits for, moving. Each
// step the job is seen in goes to the run log (a step seen again is a retry).
void ShowJobWait(DeviceUpdate& update) {
  UpdateIo& io = *update.io;
  UpdateWait& wait = update.wait;
  const ProgrammerState state = io.JobState(update);
  if (state != update.progress.step) {
    update.progress.step = state;
    char line[96];
    std::snprintf(line, sizeof line, "Programming job: %s", JobStepName(state));
    io.Log(line);
  }
  const char* what = JobWaitsFor(state);
  const uint32_t now = io.NowMs();
  if (what != wait.what) {
    wait.what = what;
    wait.since = now;
    wait.labelShown = false;
  }
  if (!update.progress.inPlace) {
    if (now - wait.moved < kWaitLineMs) return;
    Printf(io, "Waiting for %s (%u s)\r\n", what,
           static_cast<unsigned>(Seconds(now - wait.since)));
    wait.moved = now;
    return;
  }
  // A new label replaces the one on the screen at once.
  const bool relabel = !wait.labelShown && wait.noteWidth > 0;
  if (!relabel && now - wait.moved < (wait.labelShown ? kWaitDotMs : kShowWaitAfterMs)) return;
  if (!wait.labelShown) {
    wait.labelShown = true;
    wait.dots = 0;
    char line[96];
    std::snprintf(line, sizeof line, "Waiting for %s", what);
    io.Log(line);
  }
  wait.dots = wait.dots % kNoteDots + 1;
  char note[96];
  std::snprintf(note, sizeof note, " waiting for %s%.*s", what, wait.dots, ".....");
  WriteNote(update, note);
  wait.moved = now;
}

// A wait kept in `wait`, shown through `io` by its ticks while it lasts.
// Another label ends the line of the last one.
void WaitFor(UpdateIo& io, UpdateWait& wait, const char* what) {
  const uint32_t now = io.NowMs();
  if (wait.what == nullptr) {
    wait = UpdateWait{};
    wait.moved = now;
  } else if (std::strcmp(wait.what, what) == 0) {
    return;
  } else if (wait.labelShown && io.IsTerminal()) {
    Printf(io, "\r\n");
  }
  wait.what = what;
  wait.since = now;
  wait.labelShown = false;
}

// A wait of the update steps themselves: shown by Update_WaitTick while it
// lasts.
void WaitFor(DeviceUpdate& update, const char* what) {
  // Whatever way the job ended, its progress line and its waits are over now.
  if (update.progress.open) {
    update.progress.open = false;
    update.wait = UpdateWait{};
  }
  WaitFor(*update.io, update.wait, what);
}

void EndWait(UpdateIo& io, UpdateWait& wait) {
  if (wait.what != nullptr && wait.labelShown && io.IsTerminal()) Printf(io, "\r\n");
  wait = UpdateWait{};
}

void EndWait(DeviceUpdate& update) { EndWait(*update.io, update.wait); }

void WaitTick(UpdateIo& io, UpdateWait& wait) {
  if (wait.what == nullptr) return;
  const uint32_t now = io.NowMs();
  if (!io.IsTerminal()) {
    if (now - wait.moved < kWaitLineMs) return;
    Printf(io, "Waiting for %s (%u s)\r\n", wait.what,
           static_cast<unsigned>(Seconds(now - wait.since)));
    wait.labelShown = true;
  } else if (!wait.labelShown) {
    if (now - wait.moved < kShowWaitAfterMs) return;
    Printf(io, "Waiting for %s", wait.what);
    wait.labelShown = true;
  } else {
    if (now - wait.moved < kWaitDotMs) return;
    Printf(io, ".");
  }
  wait.moved = now;
}

// Whether the station at the record's address runs its application as this
// device: the same serial number, and the same model number or the
// bootloader's placeholder for it (an update may leave the placeholder in
// the identity, which the identity restore then repairs).
bool AnswersAtItsAddress(UpdateIo& io, const DeviceRecord& record) {
  DeviceRecord found[1];
  if (io.ScanRange(record.portName, record.address, record.address, found, 1) != 1) return false;
  const DeviceRecord& f = found[0];
  if (f.inBootloader == 1 || f.serialNumber != record.serialNumber) return false;
  if (std::strcmp(f.modelNumber, record.modelNumber) == 0) return true;
  return HasCapitalX(f.modelNumber) && BootModelFits(f.modelNumber, record.modelNumber);
}

// Looks for the device over its search range; a device found there keeps
// the address it was found at.
bool Relocate(UpdateIo& io, DeviceRecord* device) {
  const uint8_t address =
      io.Relocate(device->portName, Image_SearchRangeLow(device->hardwareId),
                    Image_SearchRangeHigh(device->hardwareId),
                    Image_ModbusSelectRegister(device->hardwareId), device->modelNumber,
                    device->serialNumber);
  if (address == 255) return false;
  device->address = address;
  return true;
}

std::size_t AppendValue(uint8_t* message, std::size_t at, std::size_t capacity, uint8_t member,
                        const TypedValue& value) {
  if (at >= capacity) return 0;
  message[at] = member;
  const std::size_t written = TypedValue_Encode(value, message + at + 1, capacity - at - 1);
  return written == 0 ? 0 : written + 1;
}

bool WriteIdentityLock(UpdateIo& io, const DeviceRecord& record, const uint8_t code[2]) {
  const uint8_t message[] = {0x01, 0x04, 0x01, 0x0F, 0x01, 0x03, code[0], code[1]};
  return io.Exchange(record.portName, record.address, message, sizeof message);
}

void WriteIdentity(UpdateIo& io, const DeviceRecord& record) {
  uint8_t message[ClientMaxMessage] = {0x01, 0x0A, 0x01, 0x01, 0x03};
  std::size_t length = 5;
  TypedValue model;
  model.type = 9;
  model.text = record.modelNumber;
  TypedValue name;
  name.type = 9;
  name.text = record.deviceName;
  TypedValue serial;
  serial.type = 6;
  serial.value = static_cast<uint32_t>(record.serialNumber);
  for (const auto& [member, value] : {std::pair<uint8_t, const TypedValue&>{0x09, model},
                                      {0x0B, name},
                                      {0x07, serial}}) {
    const std::size_t added = AppendValue(message, length, sizeof message, member, value);
    if (added == 0) return;
    length += added;
  }
  io.Exchange(record.portName, record.address, message, static_cast<uint16_t>(length));
}

void RestartApplication(UpdateIo& io, const DeviceRecord& record) {
  uint8_t message[6] = {0x01, 0xEF};
  std::memcpy(message + 2, ApplicationRestartCode, sizeof ApplicationRestartCode);
  io.Exchange(record.portName, record.address, message, sizeof message);
}

// The version the device runs now, for the summary.
void NoteVersion(DeviceUpdate* update, const DeviceRecord& read) {
  update->release = read.release;
  update->prototype = read.prototype;
  update->build = read.build;
}

}  // namespace

void Update_WaitFor(UpdateIo& io, UpdateWait* wait, const char* what) {
  WaitFor(io, *wait, what);
}

void Update_WaitTick(UpdateIo& io, UpdateWait* wait) { WaitTick(io, *wait); }

void Update_EndWait(UpdateIo& io, UpdateWait* wait) { EndWait(io, *wait); }

void Update_WaitTick() {
  DeviceUpdate* update = t_step;
  // The progress line shows the job's waits itself.
  if (update == nullptr || update->progress.open) return;
  WaitTick(*update->io, update->wait);
}

DeviceRecord* Update_Occupant(const DeviceUpdate& update) {
  DeviceRecord* discovered = update.discovered;
  const uint32_t count = update.discoveredCount;
  const DeviceRecord& device = *update.device;
  const uint8_t standard = Image_StandardAddress(device.hardwareId);
  if (count == 1 || device.address == standard || device.matchedByModel == 1) return nullptr;
  // Only a device on the same bus can hold the address: another port's
  // device at the same number is no obstacle, and a request for it would go
  // out on this bus to nobody.
  for (uint32_t i = 0; i < count; ++i) {
    if (discovered[i].address == standard &&
        std::strcmp(discovered[i].portName, device.portName) == 0) {
      return &discovered[i];
    }
  }
  return nullptr;
}

int Update_ClearStandardAddress(DeviceUpdate* update) {
  const StepScope step(update);
  UpdateIo& io = *update->io;
  DeviceRecord* discovered = update->discovered;
  const uint32_t count = update->discoveredCount;
  const DeviceRecord& device = *update->device;
  AddressChange& change = update->change;
  change = AddressChange{};
  change.savedAddress = Image_StandardAddress(device.hardwareId);
  DeviceRecord* occupant = Update_Occupant(*update);
  if (occupant == nullptr) return 1;

  const uint8_t low = Image_SearchRangeLow(device.hardwareId);
  const uint8_t high = Image_SearchRangeHigh(device.hardwareId);
  for (unsigned address = low; address <= high; ++address) {
    const uint8_t free = static_cast<uint8_t>(address);
    if (AddressTaken(discovered, count, free)) continue;
    // Written down before it is sent: should the program end before the
    // device is moved back, the next run finds the move and undoes it.
    AddressMove move;
    std::snprintf(move.port, sizeof move.port, "%s", device.portName);
    move.serialNumber = occupant->serialNumber;
    std::snprintf(move.modelNumber, sizeof move.modelNumber, "%s", occupant->modelNumber);
    move.from = occupant->address;
    move.to = free;
    char why[256];
    if (!io.RecordMove(move, why, sizeof why)) {
      Printf(io,
             "Can't write the address move of the device at zone %d to the journal in %s: %s. "
             "It is not moved, so this device is not updated. Free the backup folder or name "
             "another one with BREVANE_BACKUPS, then run the tool again.\r\n",
             ZoneOfAddress(occupant->address), BackupFolder_Shown(), why);
      return -1;
    }
    if (io.SetZoneAddress(device.portName, occupant->address, free) != 1) {
      // The request may have reached the device all the same: the journal
      // keeps the move until the device is seen back at its address.
      Printf(io, "Failed to change address\r\n");
      return 0;
    }
    change.moved = true;
    change.displaced = occupant;
    change.savedAddress = occupant->address;
    occupant->address = free;
    return 1;
  }
  return 0;
}

int Update_RestoreDisplaced(DeviceUpdate* update) {
  const StepScope step(update);
  if (!update->change.moved) return 1;
  UpdateIo& io = *update->io;
  // Done with, whatever the outcome: the record is not to be touched again
  // once the device that displaced it is finished.
  const AddressChange change = update->change;
  update->change = AddressChange{};
  DeviceRecord& displaced = *change.displaced;
  if (io.SetZoneAddress(displaced.portName, displaced.address, change.savedAddress) != 1) {
    Printf(io, "Failed to change back address.\r\n");
    Printf(io,
           "The device stays at zone %d; the next run of the tool moves it back to zone %d.\r\n",
           ZoneOfAddress(displaced.address), ZoneOfAddress(change.savedAddress));
    return 0;
  }
  displaced.address = change.savedAddress;
  char why[256];
  if (!io.ClearMove(displaced.portName, displaced.serialNumber, why, sizeof why)) {
    Printf(io,
           "The device at zone %d is back, but its move could not be struck from the journal: "
           "%s.\r\n",
           ZoneOfAddress(displaced.address), why);
  }
  return 1;
}

int Update_RestoreIdentity(DeviceUpdate* update, const char* modelRead) {
  const StepScope step(update);
  if (!HasCapitalX(modelRead)) return 1;
  UpdateIo& io = *update->io;
  DeviceRecord* record = update->device;
  if (record->inBootloader == 1 && io.LoadDevice(record) == 0) {
    io.Close(record->portName);
    return 0;
  }
  if (!WriteIdentityLock(io, *record, IdentityUnlockCode)) return 1;
  WriteIdentity(io, *record);
  const uint8_t locked[2] = {0, 0};
  WriteIdentityLock(io, *record, locked);
  return 1;
}

bool Update_RefreshIdentity(DeviceUpdate* update, DeviceRecord* read) {
  const StepScope step(update);
  UpdateIo& io = *update->io;
  DeviceRecord* record = update->device;
  io.Open(record->portName);
  DeviceRecord found[1];
  if (io.ScanRange(record->portName, record->address, record->address, found, 1) != 1) {
    return false;
  }
  if (read != nullptr) *read = found[0];
  if (HasCapitalX(found[0].modelNumber)) {
    Update_RestoreIdentity(update, found[0].modelNumber);
  } else {
    std::memcpy(record->modelNumber, found[0].modelNumber, sizeof record->modelNumber);
  }
  WaitFor(*update, kSettling);
  io.WaitSettled(record->portName, record->address);
  return true;
}

bool Update_AnswersAt(DeviceUpdate* update, uint8_t address) {
  const StepScope step(update);
  DeviceRecord at = *update->device;
  at.address = address;
  return AnswersAtItsAddress(*update->io, at);
}

UpdateNext Update_StartProgramming(DeviceUpdate* update) {
  const StepScope step(update);
  UpdateIo& io = *update->io;
  DeviceRecord& device = *update->device;
  // An open port counts as opened; one that fails to open fails the job.
  io.Open(device.portName);
  // Programming goes ahead also when the address could not be freed, but
  // never with a move that the journal does not know of. When several
  // devices of the port are updated in turn, the occupant is moved once for
  // all of them by whoever runs the turns.
  if (!update->occupantMovedForUs && Update_ClearStandardAddress(update) < 0) {
    update->moveNotRecorded = true;
    return UpdateNext::FinishDevice;
  }
  io.StartProgramming(update);
  update->started = true;
  OpenProgressLine(*update);
  return UpdateNext::ProgressAgain;
}

UpdateNext Update_PollProgress(DeviceUpdate* update) {
  const StepScope step(update);
  UpdateIo& io = *update->io;
  ProgressLine& progress = update->progress;
  Result ending;
  if (!io.WaitProgramming(update, kProgressSliceMs, &ending)) {
    if (io.Interrupted()) io.AbortProgramming(update);
    ShowProgress(*update, io.Progress(*update));
    ShowJobWait(*update);
    return UpdateNext::ProgressAgain;
  }
  // A progress line of its own tells where the job ended, between two steps;
  // after a programming error the percentage stays as it was, above the error.
  const bool programmingError = ending.outcome == Outcome::ProgrammingError;
  const uint32_t last = io.Progress(*update);
  if (!progress.inPlace && !programmingError && last != progress.shown) {
    progress.shown = last;
    Printf(io, "Programming: %u%%\r\n", static_cast<unsigned>(last));
  }
  ClearNote(*update);
  progress.open = false;
  update->wait = UpdateWait{};
  update->programming = ending.outcome;
  const int status = Update_JobStatus(*update);
  if (status != 0) {
    char line[64];
    std::snprintf(line, sizeof line, "Programming failed: job status %d", status);
    io.Log(line);
  }
  if (programmingError) {
    // The unit needs a power cycle: it is not spoken to again.
    Printf(io, "\r\n");
    Printf(io, "PROGRAMMING ERROR (0x%02X)\r\n", kCodeProgrammingError);
    Printf(io, "Please Power Cycle The Unit and Restart This Application.\r\n");
    return UpdateNext::FinishDevice;
  }
  Printf(io, status != 0 ? "FAILED\r\n" : "\r\n");
  return UpdateNext::AfterProgramming;
}

void Update_StopProgramming(DeviceUpdate* update, uint32_t waitMs) {
  if (!update->started || update->programming.has_value()) return;
  const StepScope step(update);
  update->io->AbortProgramming(update);
  Result ending;
  update->programming =
      update->io->WaitProgramming(update, waitMs, &ending) ? ending.outcome : Outcome::Stopped;
}

bool Update_EntrySent(const DeviceUpdate& update) {
  return update.started && update.io->EntrySent(update);
}

int Update_JobStatus(const DeviceUpdate& update) {
  if (!update.programming.has_value()) return UpdateNotProgrammed;
  switch (*update.programming) {
    case Outcome::Done: return 0;
    case Outcome::PortNotOpened: return 2;
    case Outcome::EntryFailed: return 3;
    case Outcome::NotFound: return 4;
    case Outcome::Stopped: return 5;
    case Outcome::ProgrammingError: return 6;
    // No job ends with any other outcome.
    default: return 1;
  }
}

namespace {

// Update_Reconnect inside its wait.
UpdateNext Reconnect(DeviceUpdate* update) {
  UpdateIo& io = *update->io;
  DeviceRecord& device = *update->device;
  if (device.inBootloader == 1 && io.LoadDevice(&device) == 0) {
    // Without its identity the device cannot be told from another one, and
    // its identity and settings are left alone; whether it now runs the new
    // firmware is read at its address.
    update->identityUnknown = true;
    DeviceRecord read[1];
    if (io.ScanRange(device.portName, device.address, device.address, read, 1) == 1 &&
        read[0].inBootloader != 1) {
      update->foundAgain = true;
      update->versionRead = true;
      // What the running device says of itself, placeholder model and all.
      device.serialNumber = read[0].serialNumber;
      std::memcpy(device.modelNumber, read[0].modelNumber, sizeof device.modelNumber);
      std::memcpy(device.deviceName, read[0].deviceName, sizeof device.deviceName);
      NoteVersion(update, read[0]);
    }
    return UpdateNext::RestoreSettings;
  }

  if (AnswersAtItsAddress(io, device) || Relocate(io, &device)) {
    DeviceRecord read;
    update->foundAgain = true;
    update->versionRead = Update_RefreshIdentity(update, &read);
    if (update->versionRead) NoteVersion(update, read);
    return UpdateNext::RestoreSettings;
  }

  EndWait(*update);
  io.Log("The programmed device answers neither at its address nor in its search range");
  Printf(io, "Error: Communication Failure.\r\n");
  Printf(io,
         "Please Power Cycle the Device and Ensure that it is in Standard Bus Address %d.\r\n",
         ZoneOfAddress(device.address));
  Printf(io, "Press any key to continue...");
  const int key = io.ReadKey();
  Printf(io, "\r\n");
  // An interrupt ends the wait for the key: the front end stops.
  if (key < 0 && io.Interrupted()) return UpdateNext::AfterProgramming;
  if (key < 0) {
    Printf(io,
           "Input has ended, so no key can be pressed: the device at zone %d is left as it is. "
           "Power cycle it and run the update for it again.\r\n",
           ZoneOfAddress(device.address));
    update->givenUp = true;
    return UpdateNext::FinishDevice;
  }
  return UpdateNext::AfterProgramming;
}

}  // namespace

UpdateNext Update_Reconnect(DeviceUpdate* update) {
  const StepScope step(update);
  WaitFor(*update, kAnswering);
  const UpdateNext next = Reconnect(update);
  EndWait(*update);
  return next;
}

UpdateNext Update_Finish(DeviceUpdate* update, const std::function<void()>& found) {
  const StepScope step(update);
  UpdateIo& io = *update->io;
  DeviceRecord& device = *update->device;
  if (!update->occupantMovedForUs) Update_RestoreDisplaced(update);
  // A device given up as lost is not spoken to: each request would only
  // wait for its time-out. One that was never programmed was not changed,
  // and one that reported a programming error waits for a power cycle.
  if (!update->givenUp && update->started &&
      update->programming != Outcome::ProgrammingError) {
    // Restoring the communication settings may have moved the device back
    // to the address it had before the update.
    WaitFor(*update, kAnswering);
    if (!AnswersAtItsAddress(io, device)) Relocate(io, &device);
    if (found) found();
    WaitFor(*update, kSettling);
    io.WaitSettled(device.portName, device.address);
    EndWait(*update);
    RestartApplication(io, device);
  }
  io.Close(device.portName);
  return UpdateNext::NextDevice;
}
