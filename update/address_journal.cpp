#include "update/address_journal.h"

#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "client/port_name.h"
#include "client/typed_value.h"
#include "platform/file.h"
#include "platform/serial.h"
#include "update/backup_folder.h"

namespace {

constexpr uint32_t kLargestJournal = 64 * 1024;

bool Fail(const char* what, const char* path, char* why, std::size_t size) {
  char text[160];
  plat::error_text(plat::last_error(), text, sizeof text);
  std::snprintf(why, size, "%s %s failed: %s", what, path, text);
  return false;
}

bool JournalPath(char* path, std::size_t size) {
  return BackupFolder_Path(AddressJournalName, path, size);
}

// A field up to the next tab or line end; false when the line ends first
// and a field must follow.
bool NextField(const char*& at, char* field, std::size_t size, bool last) {
  const char* end = at;
  while (*end != '\0' && *end != '\t' && *end != '\n' && *end != '\r') ++end;
  if (!last && *end != '\t') return false;
  const std::size_t length = static_cast<std::size_t>(end - at);
  if (length == 0 || length >= size) return false;
  std::memcpy(field, at, length);
  field[length] = '\0';
  at = *end == '\t' ? end + 1 : end;
  return true;
}

bool ParseAddress(const char* text, uint8_t* address) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 0 || value > 254) return false;
  *address = static_cast<uint8_t>(value);
  return true;
}

bool ParseLine(const char* line, AddressMove* move) {
  char serial[16];
  char from[8];
  char to[8];
  const char* at = line;
  if (!NextField(at, move->port, sizeof move->port, false) ||
      !NextField(at, serial, sizeof serial, false) ||
      !NextField(at, move->modelNumber, sizeof move->modelNumber, false) ||
      !NextField(at, from, sizeof from, false) || !NextField(at, to, sizeof to, true)) {
    return false;
  }
  char* end = nullptr;
  const long long number = std::strtoll(serial, &end, 10);
  if (*end != '\0' || number < INT32_MIN || number > INT32_MAX) return false;
  move->serialNumber = static_cast<int32_t>(number);
  return ParseAddress(from, &move->from) && ParseAddress(to, &move->to);
}

// Writes the journal whole under a temporary name and puts it in place; an
// empty journal is removed.
bool Store(const AddressMove* moves, uint32_t count, char* why, std::size_t size) {
  char path[BackupPathMax + 40];
  char partial[BackupPathMax + 48];
  if (!JournalPath(path, sizeof path)) {
    std::snprintf(why, size, "the backup folder's name is too long");
    return false;
  }
  if (count == 0) {
    if (!plat::file_exists(path) || plat::file_delete(path)) return true;
    return Fail("Removing", path, why, size);
  }
  std::snprintf(partial, sizeof partial, "%s.tmp", path);
  std::string text;
  for (uint32_t i = 0; i < count; ++i) {
    char line[128];
    std::snprintf(line, sizeof line, "%s\t%d\t%s\t%u\t%u\n", moves[i].port,
                  static_cast<int>(moves[i].serialNumber), moves[i].modelNumber,
                  static_cast<unsigned>(moves[i].from), static_cast<unsigned>(moves[i].to));
    text += line;
  }
  plat::FileHandle file = plat::file_open(partial, plat::FileMode::CreateAlways);
  if (file == nullptr) return Fail("Creating", partial, why, size);
  uint32_t done = 0;
  const bool written = plat::file_write(file, text.data(), static_cast<uint32_t>(text.size()), &done) &&
                       done == text.size() && plat::file_flush(file);
  if (!written) {
    Fail("Writing", partial, why, size);
    plat::file_close(file);
    plat::file_delete(partial);
    return false;
  }
  if (!plat::file_close(file)) {
    Fail("Closing", partial, why, size);
    plat::file_delete(partial);
    return false;
  }
  if (!plat::file_replace(partial, path)) {
    Fail("Renaming the journal to", path, why, size);
    plat::file_delete(partial);
    return false;
  }
  return true;
}

// Removes the move of the device with `serialNumber` on `port`; the number left.
uint32_t DropMove(AddressMove* moves, uint32_t count, const char* port, int32_t serialNumber) {
  uint32_t kept = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const bool same = std::strcmp(moves[i].port, port) == 0 && moves[i].serialNumber == serialNumber;
    if (!same) moves[kept++] = moves[i];
  }
  return kept;
}

}  // namespace

namespace {

// The ports updated at once each write the one journal: a read, change and
// write of it is one step.
std::recursive_mutex g_journalLock;

}  // namespace

bool Journal_Load(AddressMove* moves, uint32_t capacity, uint32_t* count, char* why,
                  std::size_t size) {
  const std::lock_guard<std::recursive_mutex> hold(g_journalLock);
  *count = 0;
  char path[BackupPathMax + 40];
  if (!JournalPath(path, sizeof path)) {
    std::snprintf(why, size, "the backup folder's name is too long");
    return false;
  }
  if (!plat::file_exists(path)) return true;
  plat::FileHandle file = plat::file_open(path, plat::FileMode::OpenRead);
  if (file == nullptr) return Fail("Opening", path, why, size);
  static char text[kLargestJournal + 1];
  uint32_t done = 0;
  const bool read = plat::file_read(file, text, kLargestJournal, &done);
  if (!read) Fail("Reading", path, why, size);
  plat::file_close(file);
  if (!read) return false;
  text[done] = '\0';
  for (const char* line = text; *line != '\0' && *count < capacity;) {
    const char* end = std::strchr(line, '\n');
    std::string one(line, end == nullptr ? std::strlen(line) : static_cast<std::size_t>(end - line));
    AddressMove move;
    if (ParseLine(one.c_str(), &move)) moves[(*count)++] = move;
    if (end == nullptr) break;
    line = end + 1;
  }
  return true;
}

bool Journal_Add(const AddressMove& move, char* why, std::size_t size) {
  const std::lock_guard<std::recursive_mutex> hold(g_journalLock);
  AddressMove moves[AddressJournalCapacity];
  uint32_t count = 0;
  if (!Journal_Load(moves, AddressJournalCapacity, &count, why, size)) return false;
  uint32_t kept = DropMove(moves, count, move.port, move.serialNumber);
  if (kept == AddressJournalCapacity) {
    std::snprintf(why, size, "the journal already holds %u open moves",
                  static_cast<unsigned>(AddressJournalCapacity));
    return false;
  }
  moves[kept++] = move;
  return Store(moves, kept, why, size);
}

bool Journal_Remove(const char* port, int32_t serialNumber, char* why, std::size_t size) {
  const std::lock_guard<std::recursive_mutex> hold(g_journalLock);
  AddressMove moves[AddressJournalCapacity];
  uint32_t count = 0;
  if (!Journal_Load(moves, AddressJournalCapacity, &count, why, size)) return false;
  const uint32_t kept = DropMove(moves, count, port, serialNumber);
  if (kept == count) return true;
  return Store(moves, kept, why, size);
}

void Journal_Describe(const AddressMove& move, char* text, std::size_t size) {
  std::snprintf(text, size, "%s %d on %s, moved from zone %d (address %u) to zone %d (address %u)",
                move.modelNumber, static_cast<int>(move.serialNumber), ShownPortName(move.port),
                ZoneOfAddress(move.from), static_cast<unsigned>(move.from), ZoneOfAddress(move.to),
                static_cast<unsigned>(move.to));
}
