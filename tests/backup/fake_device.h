// A device behind the bus the backup engine sees: it answers the directory,
// read and write messages from tables, fails requests on demand and keeps a
// log of what the engine did. It also owns the engine's clock (virtual time:
// a pause moves it and hands the queued requests their completions, as the
// master thread would meanwhile) and the console the front end talks to.
// Files are real, in a temporary working directory of the test, with writes
// that can be made to fail.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/backup_steps.h"
#include "backup/backup_run.h"
#include "client/bus.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "update/image_package.h"

namespace backup_test {

using Bytes = std::vector<uint8_t>;

inline std::string Hex(const Bytes& b) {
  std::string s;
  char part[4];
  for (uint8_t x : b) {
    std::snprintf(part, sizeof part, "%02X ", x);
    s += part;
  }
  return s;
}

class FakeDevice final : public Bus {
 public:
  std::recursive_mutex lock;
  std::string model = "QD4010A-6AC1100";
  int32_t serial = 4410021;
  int32_t hardwareId = 28;
  Bytes classes = {1, 3};
  std::map<uint8_t, Bytes> instances = {{1, {1}}, {3, {1, 2}}};
  // Whole read-instance replies by class and instance; others are made up.
  std::map<std::pair<uint8_t, uint8_t>, Bytes> instanceReplies;
  std::map<Bytes, Bytes> replyOverride;  // request -> reply
  std::map<Bytes, int> failTimes;        // request -> completions still to fail
  bool identityFails = false;
  int identityFailures = 0;  // identity reads still to fail
  uint8_t foundAt = 16;       // what a search answers
  uint32_t searchCostMs = 0;  // time one search takes
  uint32_t searchRealMs = 0;  // real time one search holds its caller
  std::deque<int> keys;       // -1 once they are used up
  std::deque<uint32_t> settleValues;
  int settleReadFailures = 0;
  std::string lostPort;  // PortState's words once set
  bool terminal = true;

  uint32_t clock = 0;
  struct Queued {
    Bytes request;
    ReplyHandler handler = nullptr;
    void* context = nullptr;
  };
  std::deque<Queued> queued;  // requests on the bus, in order
  std::vector<std::string> log;
  std::vector<Bytes> sent;
  std::vector<Bytes> memberWrites;
  int searches = 0;
  int settleWaits = 0;
  int scans = 0;
  std::string console;

  static Bytes MadeUpInstance(uint8_t cls, uint8_t instance) {
    return {0x01, 0x05, cls, instance, 2, 1, 0x01, instance, 2, 0x03, cls, 0x10};
  }

  Bytes Answer(const Bytes& request) const {
    if (auto it = replyOverride.find(request); it != replyOverride.end()) return it->second;
    if (request.size() == 3 && request[1] == 0x02) {
      Bytes reply = {0x01, 0x02, 0x02, static_cast<uint8_t>(classes.size())};
      reply.insert(reply.end(), classes.begin(), classes.end());
      return reply;
    }
    if (request.size() == 4 && request[1] == 0x02) {
      const auto it = instances.find(request[3]);
      const Bytes list = it == instances.end() ? Bytes{} : it->second;
      Bytes reply = {0x01, 0x02, 0x03, request[3], static_cast<uint8_t>(list.size())};
      reply.insert(reply.end(), list.begin(), list.end());
      return reply;
    }
    if (request[1] == 0x05) {
      const auto it = instanceReplies.find({request[2], request[3]});
      return it != instanceReplies.end() ? it->second : MadeUpInstance(request[2], request[3]);
    }
    return {0x01, request[1], request[2], request[3]};
  }

  // Completes every queued request, as the master thread would.
  void DeliverAll() {
    for (;;) {
      Queued next;
      Bytes reply;
      uint32_t status = 0;
      {
        std::lock_guard<std::recursive_mutex> guard(lock);
        if (queued.empty()) return;
        next = queued.front();
        queued.pop_front();
        int& failing = failTimes[next.request];
        if (failing > 0) {
          --failing;
          status = 1;  // ReplyTimeout
        } else {
          reply = Answer(next.request);
        }
      }
      AsyncReply done;
      done.portName = "Com1";
      done.data = status == 0 ? reply.data() : nullptr;
      done.source = 16;
      done.length = status == 0 ? static_cast<uint32_t>(reply.size()) : 0;
      done.status = status;
      next.handler(next.context, done);
    }
  }

  // The bus.
  Result Open(const char*) override { return {}; }
  Result Close(const char*) override { return {}; }
  Result PortState(const char*) override {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (lostPort.empty()) return {};
    return {Outcome::PortLost, lostPort};
  }
  Result Request(const char*, uint8_t, const uint8_t*, uint16_t, uint8_t*, uint16_t,
                 uint16_t*) override {
    ADD_FAILURE() << "the backup asks nothing with a blocking request";
    return Outcome::NoAnswer;
  }
  Result RequestAsync(const char*, uint8_t, const uint8_t* data, uint16_t length, bool,
                      ReplyHandler handler, void* context) override {
    std::lock_guard<std::recursive_mutex> guard(lock);
    Bytes request(data, data + length);
    queued.push_back({request, handler, context});
    sent.push_back(request);
    log.push_back("send " + Hex(request));
    return {};
  }
  uint32_t Withdraw(const char*, void* context) override {
    std::lock_guard<std::recursive_mutex> guard(lock);
    const auto taken = std::erase_if(queued, [context](const auto& q) { return q.context == context; });
    return static_cast<uint32_t>(taken);
  }
  // Each station is a device of its own: the serial number grows with the
  // address from `serial` at 16.
  Result ReadMember(const char*, uint8_t station, uint8_t cls, uint8_t member, uint8_t,
                    TypedValue* value) override {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (cls == 16) {
      if (settleReadFailures > 0) {
        --settleReadFailures;
        return Outcome::NoAnswer;
      }
      if (!settleValues.empty()) {
        value->value = settleValues.front();
        if (settleValues.size() > 1) settleValues.pop_front();
      }
      return {};
    }
    if (identityFails) return Outcome::NoAnswer;
    if (identityFailures > 0) {
      --identityFailures;
      return Outcome::NoAnswer;
    }
    if (member == 9) std::snprintf(value->buffer, value->bufferSize, "%s", model.c_str());
    if (member == 7) value->value = static_cast<uint32_t>(serial + (station - 16));
    if (member == 1) value->value = static_cast<uint32_t>(hardwareId);
    return {};
  }
  Result WriteMember(const char*, uint8_t, uint8_t cls, uint8_t member, uint8_t instance,
                     TypedValue value) override {
    std::lock_guard<std::recursive_mutex> guard(lock);
    memberWrites.push_back({cls, member, instance, static_cast<uint8_t>(value.type),
                            static_cast<uint8_t>(value.value >> 24)});
    return {};
  }
  Result WaitSettled(const char*, uint8_t) override {
    std::lock_guard<std::recursive_mutex> guard(lock);
    ++settleWaits;
    return {};
  }
  Result SetZoneAddress(const char*, uint8_t, uint8_t) override {
    ADD_FAILURE() << "the backup moves no device";
    return Outcome::NoAnswer;
  }
  uint8_t ScanRange(const char* port, uint8_t first, uint8_t, DeviceRecord* records,
                    uint8_t) override {
    std::lock_guard<std::recursive_mutex> guard(lock);
    ++scans;
    DeviceRecord r;
    std::snprintf(r.portName, sizeof r.portName, "%s", port);
    r.address = first;
    r.hardwareId = hardwareId;
    r.serialNumber = serial;
    std::snprintf(r.modelNumber, sizeof r.modelNumber, "%s", model.c_str());
    records[0] = r;
    return 1;
  }
  uint8_t FindDevice(const char*, uint8_t first, uint8_t, const char*, int32_t) override {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return foundAt == first ? first : BusNoStation;
  }
  uint8_t Relocate(const char*, uint8_t first, uint8_t last, uint16_t reg, const char*,
                   int32_t) override {
    uint32_t holdMs = 0;
    {
      std::lock_guard<std::recursive_mutex> guard(lock);
      holdMs = searchRealMs;
    }
    if (holdMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    std::lock_guard<std::recursive_mutex> guard(lock);
    ++searches;
    clock += searchCostMs;
    log.push_back("search " + std::to_string(first) + "-" + std::to_string(last) + " " +
                  std::to_string(reg));
    return foundAt;
  }
};

// Virtual time: a pause moves the clock and lets the bus complete what is queued.
class FakeClock final : public plat::Clock {
 public:
  explicit FakeClock(FakeDevice& device) : device_(device) {}
  uint32_t NowMs() override {
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    return device_.clock;
  }
  void SleepMs(uint32_t ms) override {
    {
      std::lock_guard<std::recursive_mutex> guard(device_.lock);
      device_.clock += ms;
    }
    device_.DeliverAll();
  }

 private:
  FakeDevice& device_;
};

// The system's files, with writes that fail on demand: every write to a
// file whose path holds the text given to FailWritesTo.
class FakeFiles final : public plat::Files {
 public:
  void FailWritesTo(const std::string& part) {
    std::lock_guard<std::mutex> guard(lock_);
    failWritesTo_ = part;
  }

  plat::FileHandle Open(const char* path, plat::FileMode mode) override {
    plat::FileHandle file = Real().Open(path, mode);
    std::lock_guard<std::mutex> guard(lock_);
    if (file != nullptr && !failWritesTo_.empty() && std::string(path).find(failWritesTo_) != std::string::npos) {
      failing_.insert(file);
    }
    return file;
  }
  bool Read(plat::FileHandle file, void* buffer, uint32_t length, uint32_t* done) override {
    return Real().Read(file, buffer, length, done);
  }
  bool Write(plat::FileHandle file, const void* buffer, uint32_t length, uint32_t* done) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (failing_.count(file) != 0) {
        *done = 0;
        return false;
      }
    }
    return Real().Write(file, buffer, length, done);
  }
  bool Seek(plat::FileHandle file, int64_t offset, plat::SeekFrom from, uint64_t* position) override {
    return Real().Seek(file, offset, from, position);
  }
  bool Flush(plat::FileHandle file) override { return Real().Flush(file); }
  bool Close(plat::FileHandle file) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      failing_.erase(file);
    }
    return Real().Close(file);
  }
  bool Delete(const char* path) override { return Real().Delete(path); }
  bool Replace(const char* from, const char* to) override { return Real().Replace(from, to); }
  bool RenameNew(const char* from, const char* to) override { return Real().RenameNew(from, to); }
  bool Exists(const char* path) override { return Real().Exists(path); }
  bool IsRegular(const char* path) override { return Real().IsRegular(path); }
  bool ModifiedTime(const char* path, int64_t* seconds) override {
    return Real().ModifiedTime(path, seconds);
  }

 private:
  static plat::Files& Real() { return plat::system_files(); }

  std::mutex lock_;
  std::string failWritesTo_;
  std::set<plat::FileHandle> failing_;
};

// What the front end says goes to the device's console; keys come from its list.
class FakeConsole final : public plat::Console {
 public:
  explicit FakeConsole(FakeDevice& device) : device_(device) {}
  void Print(std::string_view text) override {
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    device_.console += text;
  }
  void Note(std::string_view) override {}
  int ReadKey() override {
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    if (device_.keys.empty()) return -1;
    const int key = device_.keys.front();
    device_.keys.pop_front();
    device_.log.push_back("key " + std::to_string(key));
    return key;
  }
  bool IsTerminal() override {
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    return device_.terminal;
  }
  bool GetCursor(int*, int*) override { return false; }
  bool SetCursor(int, int) override { return false; }

 private:
  FakeDevice& device_;
};

// The notices of a run, in order.
class NoticeLog final : public BackupNotices {
 public:
  void Notice(const BackupNotice& notice, const BackupFacts&) override {
    std::lock_guard<std::mutex> guard(lock_);
    notices_.push_back(notice);
  }
  std::vector<BackupNotice> All() {
    std::lock_guard<std::mutex> guard(lock_);
    return notices_;
  }
  std::vector<BackupEvent> Events() {
    std::vector<BackupEvent> events;
    for (const BackupNotice& n : All()) events.push_back(n.event);
    return events;
  }
  bool Has(BackupEvent event) {
    for (const BackupNotice& n : All()) {
      if (n.event == event) return true;
    }
    return false;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    notices_.clear();
  }

 private:
  std::mutex lock_;
  std::vector<BackupNotice> notices_;
};

// A fresh fake device, engine and working directory for every test.
class BackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() /
           ("brevane-backup-" + std::to_string(random()) + std::to_string(random()));
    ASSERT_TRUE(std::filesystem::create_directories(dir_));
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    Image_SetPolicy(YesNoSetting::Unset, YesNoSetting::Unset);
    interrupted_.store(false);
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Steps the run, completing each request at once, until it ends; its
  // result. A run that does not end within `steps` fails the test.
  Result RunToEnd(BackupRun& run, int steps = 10000) {
    for (int i = 0; i < steps; ++i) {
      const bool ended = run.Step();
      device_.DeliverAll();
      if (ended) return run.RunResult();
    }
    ADD_FAILURE() << "the run did not end";
    return Outcome::Stopped;
  }
  Result RunToEnd(int steps = 10000) { return RunToEnd(run_, steps); }

  static std::string FileName() { return "QD4010A-6AC11004410021-31.qsv"; }
  static bool Exists(const std::string& name) { return std::filesystem::exists(name); }
  static Bytes ReadAll(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void WriteAll(const std::string& name, const Bytes& bytes) {
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

 public:
  // A backup record: the length, little-endian, then the payload.
  static Bytes Record(const Bytes& payload) {
    Bytes r = {static_cast<uint8_t>(payload.size() & 0xFF), static_cast<uint8_t>(payload.size() >> 8)};
    r.insert(r.end(), payload.begin(), payload.end());
    return r;
  }
  static Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  }

 protected:
  // The write-instance messages the engine sent.
  std::vector<Bytes> WriteInstances() {
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    std::vector<Bytes> out;
    for (const Bytes& m : device_.sent) {
      if (m.size() >= 2 && m[1] == 0x0A) out.push_back(m);
    }
    return out;
  }
  // The interrupt flag is the test's own: the handlers' flag is a plain function.
  static inline std::atomic<bool> interrupted_{false};
  static bool Interrupted() { return interrupted_.load(); }
  BackupWorld World() { return BackupWorld{device_, clock_, files_, console_, Interrupted}; }

  FakeDevice device_;
  FakeClock clock_{device_};
  FakeFiles files_;
  FakeConsole console_{device_};
  NoticeLog notices_;
  BackupRun run_{device_, clock_, files_, notices_};
  std::filesystem::path dir_;
  std::filesystem::path previous_;
};

}  // namespace backup_test
