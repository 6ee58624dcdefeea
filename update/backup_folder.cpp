#include "update/backup_folder.h"

#include <cstdio>
#include <cstring>

#include "platform/file.h"
#include "platform/serial.h"

namespace {

char g_folder[BackupPathMax] = {};

constexpr const char* kProbeName = "brevane-write-check.tmp";

void SystemText(char* text, std::size_t size) { plat::error_text(plat::last_error(), text, size); }

}  // namespace

void BackupFolder_Set(const char* folder) {
  std::snprintf(g_folder, sizeof g_folder, "%s", folder == nullptr ? "" : folder);
}

const char* BackupFolder_Get() { return g_folder; }

const char* BackupFolder_Shown() {
  return g_folder[0] == '\0' ? "the working directory" : g_folder;
}

bool BackupFolder_Path(const char* name, char* path, std::size_t size) {
  if (g_folder[0] == '\0') {
    return std::snprintf(path, size, "%s", name) < static_cast<int>(size);
  }
  const std::size_t length = std::strlen(g_folder);
  const char last = g_folder[length - 1];
  const char* separator = last == '/' || last == '\\' ? "" : "/";
  return std::snprintf(path, size, "%s%s%s", g_folder, separator, name) < static_cast<int>(size);
}

bool BackupFolder_Probe(char* why, std::size_t size) {
  char path[BackupPathMax + 32];
  if (!BackupFolder_Path(kProbeName, path, sizeof path)) {
    std::snprintf(why, size, "the folder's name is longer than %u characters",
                  static_cast<unsigned>(BackupPathMax - 32));
    return false;
  }
  char text[160];
  plat::FileHandle file = plat::file_open(path, plat::FileMode::CreateAlways);
  if (file == nullptr) {
    SystemText(text, sizeof text);
    std::snprintf(why, size, "creating a file there failed: %s", text);
    return false;
  }
  const char probe[] = "settings backup write check\n";
  uint32_t done = 0;
  const bool written = plat::file_write(file, probe, sizeof probe - 1, &done) && done == sizeof probe - 1;
  if (!written) SystemText(text, sizeof text);
  const bool flushed = written && plat::file_flush(file);
  if (written && !flushed) SystemText(text, sizeof text);
  const bool closed = plat::file_close(file);
  if (written && flushed && !closed) SystemText(text, sizeof text);
  const bool removed = plat::file_delete(path);
  if (written && flushed && closed && !removed) SystemText(text, sizeof text);
  if (written && flushed && closed && removed) return true;
  const char* step = !written ? "writing to a file there"
                     : !flushed ? "flushing a file there to the disk"
                     : !closed  ? "closing a file there"
                                : "removing a file there";
  std::snprintf(why, size, "%s failed: %s", step, text);
  return false;
}
