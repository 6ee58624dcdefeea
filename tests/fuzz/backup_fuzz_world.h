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

#include "backup/backup_run.h"
#include "client/bus.h"
#include "platform/clock.h"
#include "platform/file.h"

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

struct Queued {
  Bytes request;
  ReplyHandler handler = nullptr;
  void* context = nullptr;
};

struct World {
  std::deque<Queued> queued;  // requests waiting for their completion, in order
  std::vector<Bytes> sent;
  std::map<std::string, Bytes> files;
  std::vector<std::unique_ptr<OpenFile>> handles;
  int openHandles = 0;
  uint32_t clock = 0;
  uint32_t settleValue = 0;
  const void* run = nullptr;  // the run whose requests these are

  void Clear() {
    queued.clear();
    sent.clear();
    files.clear();
    handles.clear();
    openHandles = 0;
    clock = 0;
  }

  // Completes the oldest request with `status` (0: delivered) and `reply`.
  void Complete(uint32_t status, const uint8_t* reply, uint32_t length) {
    const Queued next = queued.front();
    queued.pop_front();
    AsyncReply done;
    done.portName = "Com1";
    done.data = reply;
    done.source = kAddress;
    done.length = length;
    done.status = status;
    next.handler(next.context, done);
  }
};

inline World& TheWorld() {
  static World* const world = new World;
  return *world;
}

class FuzzBus final : public Bus {
 public:
  Result Open(const char*) override { return {}; }
  Result Close(const char*) override { return {}; }
  Result PortState(const char*) override { return {}; }
  Result Request(const char*, uint8_t, const uint8_t*, uint16_t, uint8_t*, uint16_t,
                 uint16_t*) override {
    Check(false);  // the engine asks only asynchronously
    return Outcome::NoAnswer;
  }
  Result RequestAsync(const char*, uint8_t station, const uint8_t* data, uint16_t length,
                      bool expectReply, ReplyHandler handler, void* context) override {
    // The engine keeps at most one request on the bus, always to its device,
    // always waiting for the answer that moves it on, and hands its own run
    // as the context.
    World& w = TheWorld();
    Check(w.queued.empty());
    Check(station == kAddress && expectReply && handler == &BackupRun::OnReply && context == w.run);
    Check(length >= 3 && length <= ClientMaxMessage);
    w.queued.push_back({Bytes(data, data + length), handler, context});
    w.sent.emplace_back(data, data + length);
    return {};
  }
  uint32_t Withdraw(const char*, void* context) override {
    World& w = TheWorld();
    const auto taken =
        std::erase_if(w.queued, [context](const auto& q) { return q.context == context; });
    return static_cast<uint32_t>(taken);
  }
  Result ReadMember(const char*, uint8_t, uint8_t cls, uint8_t member, uint8_t,
                    TypedValue* value) override {
    if (cls == 16) {
      value->value = TheWorld().settleValue;
    } else if (member == 9) {
      std::snprintf(value->buffer, value->bufferSize, "%s", kModel);
    } else if (member == 7) {
      value->value = static_cast<uint32_t>(kSerial);
    } else {
      value->value = 28;
    }
    return {};
  }
  Result WriteMember(const char*, uint8_t, uint8_t, uint8_t, uint8_t, TypedValue) override { return {}; }
  Result WaitSettled(const char*, uint8_t) override { return {}; }
  Result SetZoneAddress(const char*, uint8_t, uint8_t) override { return {}; }
  uint8_t ScanRange(const char*, uint8_t, uint8_t, DeviceRecord*, uint8_t) override { return 0; }
  uint8_t FindDevice(const char*, uint8_t, uint8_t, const char*, int32_t) override { return kAddress; }
  uint8_t Relocate(const char*, uint8_t, uint8_t, uint16_t, const char*, int32_t) override {
    return kAddress;
  }
};

class FuzzClock final : public plat::Clock {
 public:
  uint32_t NowMs() override { return TheWorld().clock; }
  void SleepMs(uint32_t ms) override { TheWorld().clock += ms; }
};

class FuzzFiles final : public plat::Files {
 public:
  plat::FileHandle Open(const char* path, plat::FileMode mode) override {
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
  }
  bool Read(plat::FileHandle handle, void* buffer, uint32_t length, uint32_t* done) override {
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
  }
  bool Write(plat::FileHandle handle, const void* buffer, uint32_t length, uint32_t* done) override {
    OpenFile* file = FileOf(handle);
    Check(file != nullptr && !file->name.empty() && file->writable);
    Bytes& bytes = TheWorld().files.at(file->name);
    if (bytes.size() < file->at + length) bytes.resize(file->at + length);
    std::memcpy(bytes.data() + file->at, buffer, length);
    file->at += length;
    *done = length;
    return true;
  }
  bool Seek(plat::FileHandle handle, int64_t offset, plat::SeekFrom from, uint64_t* position) override {
    OpenFile* file = FileOf(handle);
    Check(file != nullptr && !file->name.empty() && from == plat::SeekFrom::Begin && offset >= 0);
    file->at = static_cast<uint64_t>(offset);
    if (position != nullptr) *position = file->at;
    return true;
  }
  bool Flush(plat::FileHandle handle) override {
    Check(FileOf(handle) != nullptr && !FileOf(handle)->name.empty());
    return true;
  }
  bool Close(plat::FileHandle handle) override {
    OpenFile* file = FileOf(handle);
    Check(file != nullptr && !file->name.empty());  // closed once only
    file->name.clear();
    --TheWorld().openHandles;
    return true;
  }
  bool Delete(const char* path) override { return TheWorld().files.erase(path) == 1; }
  bool Replace(const char*, const char*) override {
    Check(false);  // a backup is never written over another
    return false;
  }
  bool RenameNew(const char* from, const char* to) override {
    World& w = TheWorld();
    if (w.files.count(to) != 0 || w.files.count(from) == 0) return false;
    w.files[to] = w.files[from];
    w.files.erase(from);
    return true;
  }
  bool Exists(const char* path) override { return TheWorld().files.count(path) != 0; }
  // Every file of the world is a plain file.
  bool IsRegular(const char* path) override { return TheWorld().files.count(path) != 0; }
  bool ModifiedTime(const char*, int64_t*) override { return false; }

 private:
  static OpenFile* FileOf(plat::FileHandle handle) { return reinterpret_cast<OpenFile*>(handle); }
};

// The run's notices go nowhere: the targets judge the files and messages.
class Unheard final : public BackupNotices {
 public:
  void Notice(const BackupNotice&, const BackupFacts&) override {}
};

// A fresh run in an empty world.
struct Engine {
  FuzzBus bus;
  FuzzClock clock;
  FuzzFiles files;
  Unheard notices;
  BackupRun run{bus, clock, files, notices};

  Engine() {
    TheWorld().Clear();
    TheWorld().run = &run;
  }
};

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
