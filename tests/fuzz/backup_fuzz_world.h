// The backup engine's world for the fuzz targets: a device whose completions
// the target hands over one at a time, a clock that only sleeps move, and
// files kept in memory, so that one input runs a whole backup or restore in
// well under a millisecond and leaves nothing behind.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backup/backup.h"
#include "backup/backup_worker.h"

namespace backup_fuzz {

using Bytes = std::vector<uint8_t>;

inline void Check(bool condition) {
  if (!condition) __builtin_trap();
}

inline constexpr const char* kModel = "QD4010A-6AC1100";
inline constexpr int32_t kSerial = 4410021;
inline constexpr uint8_t kAddress = 16;

struct OpenFile {
  std::string name;
  uint64_t at = 0;
  bool writable = false;
};

struct World {
  std::deque<Bytes> queued;  // requests waiting for their completion, in order
  std::vector<Bytes> sent;
  std::map<std::string, Bytes> files;
  std::vector<std::unique_ptr<OpenFile>> handles;
  int openHandles = 0;
  uint32_t clock = 0;
  uint32_t settleValue = 0;

  void Clear() {
    queued.clear();
    sent.clear();
    files.clear();
    handles.clear();
    openHandles = 0;
    clock = 0;
  }
};

inline World& TheWorld() {
  static World* const world = new World;
  return *world;
}

inline OpenFile* FileOf(plat::FileHandle handle) { return reinterpret_cast<OpenFile*>(handle); }

inline BackupSeam MakeSeam() {
  BackupSeam seam = BackupRealSeam;
  seam.open = [](const char*) { return 0; };
  seam.requestAsync = [](const char*, uint8_t destination, const uint8_t* data, uint16_t length,
                         uint8_t expectReply, CompletionCallback completion) {
    // The engine keeps at most one request on the bus, always to its device,
    // always waiting for the answer that moves it on.
    Check(TheWorld().queued.empty());
    Check(destination == kAddress && expectReply == 1 && completion == OnBackupReply);
    Check(length >= 3 && length <= ClientMaxMessage);
    TheWorld().queued.emplace_back(data, data + length);
    TheWorld().sent.emplace_back(data, data + length);
    return 0;
  };
  seam.readMember = [](const char*, uint8_t, uint8_t cls, uint8_t member, uint8_t,
                       TypedValue* value) {
    if (cls == 16) {
      value->value = TheWorld().settleValue;
    } else if (member == 9) {
      std::snprintf(value->buffer, value->bufferSize, "%s", kModel);
    } else if (member == 7) {
      value->value = static_cast<uint32_t>(kSerial);
    } else {
      value->value = 28;
    }
    return 0;
  };
  seam.writeMember = [](const char*, uint8_t, uint8_t, uint8_t, uint8_t, TypedValue) { return 0; };
  seam.waitSettled = [](const char*, uint8_t) { return 1; };
  seam.scanRange = [](const char*, uint8_t, uint8_t, DeviceRecord*, std::size_t) -> uint8_t { return 0; };
  seam.findDevice = [](const char*, uint8_t, uint8_t, const char*, int32_t) -> uint8_t { return kAddress; };
  seam.relocate = [](const char*, uint8_t, uint8_t, uint16_t, const char*, int32_t) -> uint8_t {
    return kAddress;
  };
  seam.nowMs = []() { return TheWorld().clock; };
  seam.sleepMs = [](uint32_t ms) { TheWorld().clock += ms; };
  seam.readKey = []() { return -1; };
  seam.print = [](const char*) {};
  seam.fileOpen = [](const char* path, plat::FileMode mode) -> plat::FileHandle {
    World& w = TheWorld();
    const bool exists = w.files.count(path) != 0;
    if (mode != plat::FileMode::CreateAlways && !exists) return nullptr;
    if (mode == plat::FileMode::CreateAlways) w.files[path].clear();
    w.handles.push_back(std::make_unique<OpenFile>());
    OpenFile* file = w.handles.back().get();
    file->name = path;
    file->writable = mode != plat::FileMode::OpenRead;
    ++w.openHandles;
    return reinterpret_cast<plat::FileHandle>(file);
  };
  seam.fileRead = [](plat::FileHandle handle, void* buffer, uint32_t length, uint32_t* done) {
    OpenFile* file = FileOf(handle);
    Check(file != nullptr && !file->name.empty());
    const Bytes& bytes = TheWorld().files.at(file->name);
    uint32_t n = 0;
    if (file->at < bytes.size()) {
      n = static_cast<uint32_t>(std::min<uint64_t>(length, bytes.size() - file->at));
      std::memcpy(buffer, bytes.data() + file->at, n);
    }
    file->at += n;
    *done = n;
    return true;
  };
  seam.fileWrite = [](plat::FileHandle handle, const void* buffer, uint32_t length, uint32_t* done) {
    OpenFile* file = FileOf(handle);
    Check(file != nullptr && !file->name.empty() && file->writable);
    Bytes& bytes = TheWorld().files.at(file->name);
    if (bytes.size() < file->at + length) bytes.resize(file->at + length);
    std::memcpy(bytes.data() + file->at, buffer, length);
    file->at += length;
    *done = length;
    return true;
  };
  seam.fileSeek = [](plat::FileHandle handle, int64_t offset, plat::SeekFrom from, uint64_t* position) {
    OpenFile* file = FileOf(handle);
    Check(file != nullptr && !file->name.empty() && from == plat::SeekFrom::Begin && offset >= 0);
    file->at = static_cast<uint64_t>(offset);
    if (position != nullptr) *position = file->at;
    return true;
  };
  seam.fileFlush = [](plat::FileHandle handle) {
    Check(FileOf(handle) != nullptr && !FileOf(handle)->name.empty());
    return true;
  };
  seam.fileClose = [](plat::FileHandle handle) {
    OpenFile* file = FileOf(handle);
    Check(file != nullptr && !file->name.empty());  // closed once only
    file->name.clear();
    --TheWorld().openHandles;
    return true;
  };
  seam.fileDelete = [](const char* path) { return TheWorld().files.erase(path) == 1; };
  seam.fileExists = [](const char* path) { return TheWorld().files.count(path) != 0; };
  // Every file of the world is a plain file.
  seam.fileIsRegular = [](const char* path) { return TheWorld().files.count(path) != 0; };
  seam.fileRenameNew = [](const char* from, const char* to) {
    World& w = TheWorld();
    if (w.files.count(to) != 0 || w.files.count(from) == 0) return false;
    w.files[to] = w.files[from];
    w.files.erase(from);
    return true;
  };
  return seam;
}

// The engine at rest with this world behind it, "Backup" drained.
inline void ResetEngine(const BackupSeam* seam) {
  static const bool ready = [] {
    Check(Backup_Init() == 1);
    return true;
  }();
  (void)ready;
  TheWorld().Clear();
  Backup_SetSeam(seam);
  Backup_Reset();
  while (WaitBackupDone(0) != 1) {
  }
}

inline std::string BackupFileName() {
  char name[64];
  std::snprintf(name, sizeof name, BackupFileFormat, (std::string(kModel) + std::to_string(kSerial)).c_str(),
                BackupFileNumber);
  return name;
}

inline bool ValidState(BackupState state) {
  return static_cast<uint8_t>(state) <= static_cast<uint8_t>(BackupState::FinishRun);
}

}  // namespace backup_fuzz
