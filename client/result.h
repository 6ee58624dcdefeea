// What became of something the client, the update engine or the backup
// engine was asked to do: one outcome, and the system's own words when the
// system (a port, a file, the registry) is what failed. Only the front end
// turns a result into sentences.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

enum class Outcome : uint8_t {
  Done,
  // The port could not be opened, or was lost on the way (`text`: why).
  PortNotOpened,
  PortLost,
  // The port opened, but every station address the PC may take on its bus
  // (0 to 3) is in use.
  NoFreeStation,
  // The device did not answer, or answered with a refusal or garbage.
  NoAnswer,
  Refused,
  // The device was not found on the bus (again).
  NotFound,
  // The device did not enter its bootloader.
  EntryFailed,
  // The device answered a block with its programming error: nothing more
  // may be sent to it; the unit needs a person's hands.
  ProgrammingError,
  // The backup folder takes no file, or a file could not be written, read,
  // renamed or removed (`text`: why).
  FileFailed,
  // A backup file is not a whole backup (`text`: what is wrong with it).
  FileDamaged,
  // No backup file where one was expected.
  FileMissing,
  // A setting could not be read or was not taken by the device.
  SettingFailed,
  // The journal of address moves could not be written (`text`: why).
  JournalFailed,
  // The registry could not give what was asked (`text`: why).
  RegistryFailed,
  // Asked to stop (an interrupt): it ended at a safe point.
  Stopped,
};

struct Result {
  Outcome outcome = Outcome::Done;
  std::string text;

  Result() = default;
  Result(Outcome o, std::string why = {}) : outcome(o), text(std::move(why)) {}  // NOLINT

  bool Ok() const { return outcome == Outcome::Done; }
  explicit operator bool() const { return Ok(); }
};
