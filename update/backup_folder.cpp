#include "update/backup_folder.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/file.h"
#include "platform/serial.h"

namespace {

char g_folder[BackupPathMax] = {};

constexpr const char* kProbeName = "brevane-write-check.tmp";

std::string SystemText() {
  char text[160] = "";
  plat::error_text(plat::last_error(), text, sizeof text);
  return text;
}

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

Result BackupFolder_Probe(plat::Files& files, FolderCheckStep* failed) {
  // Controllers updated at once each check the folder, with the one file
  // name: one check at a time, or one would remove the other's file.
  static std::mutex probing;
  const std::lock_guard<std::mutex> hold(probing);
  char path[BackupPathMax + 32];
  if (!BackupFolder_Path(kProbeName, path, sizeof path)) {
    *failed = FolderCheckStep::NameTooLong;
    return Outcome::FileFailed;
  }
  plat::FileHandle file = files.Open(path, plat::FileMode::CreateAlways);
  if (file == nullptr) {
    *failed = FolderCheckStep::Create;
    return {Outcome::FileFailed, SystemText()};
  }
  // The first step that fails is the one told, with its own words.
  const char probe[] = "settings backup write check\n";
  uint32_t done = 0;
  const bool written = files.Write(file, probe, sizeof probe - 1, &done) && done == sizeof probe - 1;
  std::string text;
  if (!written) text = SystemText();
  const bool flushed = written && files.Flush(file);
  if (written && !flushed) text = SystemText();
  const bool closed = files.Close(file);
  if (written && flushed && !closed) text = SystemText();
  const bool removed = files.Delete(path);
  if (written && flushed && closed && !removed) text = SystemText();
  if (written && flushed && closed && removed) return {};
  *failed = !written  ? FolderCheckStep::Write
            : !flushed ? FolderCheckStep::Flush
            : !closed  ? FolderCheckStep::Close
                       : FolderCheckStep::Remove;
  return {Outcome::FileFailed, text};
}
