// A device behind the backup engine's seam: it answers the directory, read
// and write messages from tables, fails requests on demand, keeps a log of
// what the engine did, and owns the engine's clock. Files are real, in a
// temporary working directory of the test.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "backup/backup.h"
#include "backup/backup_worker.h"
#include "update/image_package.h"

namespace backup_test {

using Bytes = std::vector<uint8_t>;

struct FakeDevice {
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
  std::deque<int> keys;       // -1 once they are used up
  std::deque<uint32_t> settleValues;
  int settleReadFailures = 0;

  uint32_t clock = 0;
  std::deque<Bytes> queued;  // requests on the bus, in order
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
      Bytes request;
      Bytes reply;
      uint32_t status = 0;
      {
        std::lock_guard<std::recursive_mutex> guard(lock);
        if (queued.empty()) return;
        request = queued.front();
        queued.pop_front();
        int& failing = failTimes[request];
        if (failing > 0) {
          --failing;
          status = 1;  // ReplyTimeout
        } else {
          reply = Answer(request);
        }
      }
      OnBackupReply("Com1", 4, status == 0 ? reply.data() : nullptr, 16,
                    static_cast<uint32_t>(reply.size()), status);
    }
  }
};

inline FakeDevice* g_device = nullptr;

inline FakeDevice& Dev() { return *g_device; }

inline std::string Hex(const Bytes& b) {
  std::string s;
  char part[4];
  for (uint8_t x : b) {
    std::snprintf(part, sizeof part, "%02X ", x);
    s += part;
  }
  return s;
}

inline BackupSeam MakeSeam() {
  BackupSeam seam = BackupRealSeam;
  seam.open = [](const char*) { return 0; };
  seam.requestAsync = [](const char*, uint8_t, const uint8_t* data, uint16_t length, uint8_t,
                         CompletionCallback) {
    std::lock_guard<std::recursive_mutex> guard(Dev().lock);
    Bytes request(data, data + length);
    Dev().queued.push_back(request);
    Dev().sent.push_back(request);
    Dev().log.push_back("send " + Hex(request));
    return 0;
  };
  seam.readMember = [](const char*, uint8_t, uint8_t cls, uint8_t member, uint8_t,
                       TypedValue* value) {
    std::lock_guard<std::recursive_mutex> guard(Dev().lock);
    FakeDevice& d = Dev();
    if (cls == 16) {
      if (d.settleReadFailures > 0) {
        --d.settleReadFailures;
        return 1;
      }
      if (!d.settleValues.empty()) {
        value->value = d.settleValues.front();
        if (d.settleValues.size() > 1) d.settleValues.pop_front();
      }
      return 0;
    }
    if (d.identityFails) return 1;
    if (d.identityFailures > 0) {
      --d.identityFailures;
      return 1;
    }
    if (member == 9) std::snprintf(value->buffer, value->bufferSize, "%s", d.model.c_str());
    if (member == 7) value->value = static_cast<uint32_t>(d.serial);
    if (member == 1) value->value = static_cast<uint32_t>(d.hardwareId);
    return 0;
  };
  seam.writeMember = [](const char*, uint8_t, uint8_t cls, uint8_t member, uint8_t instance,
                        TypedValue value) {
    std::lock_guard<std::recursive_mutex> guard(Dev().lock);
    Dev().memberWrites.push_back({cls, member, instance, static_cast<uint8_t>(value.type),
                                  static_cast<uint8_t>(value.value >> 24)});
    return 0;
  };
  seam.waitSettled = [](const char*, uint8_t) {
    std::lock_guard<std::recursive_mutex> guard(Dev().lock);
    ++Dev().settleWaits;
    return 1;
  };
  seam.scanRange = [](const char* port, uint8_t first, uint8_t, DeviceRecord* records,
                      std::size_t) -> uint8_t {
    std::lock_guard<std::recursive_mutex> guard(Dev().lock);
    ++Dev().scans;
    DeviceRecord r;
    std::snprintf(r.portName, sizeof r.portName, "%s", port);
    r.address = first;
    r.hardwareId = Dev().hardwareId;
    r.serialNumber = Dev().serial;
    std::snprintf(r.modelNumber, sizeof r.modelNumber, "%s", Dev().model.c_str());
    records[0] = r;
    return 1;
  };
  seam.findDevice = [](const char*, uint8_t first, uint8_t, const char*, int32_t) -> uint8_t {
    std::lock_guard<std::recursive_mutex> guard(Dev().lock);
    return Dev().foundAt == first ? first : 255;
  };
  seam.relocate = [](const char*, uint8_t first, uint8_t last, uint16_t reg, const char*,
                     int32_t) -> uint8_t {
    std::lock_guard<std::recursive_mutex> guard(Dev().lock);
    ++Dev().searches;
    Dev().clock += Dev().searchCostMs;
    Dev().log.push_back("search " + std::to_string(first) + "-" + std::to_string(last) + " " +
                        std::to_string(reg));
    return Dev().foundAt;
  };
  seam.nowMs = []() -> uint32_t {
    std::lock_guard<std::recursive_mutex> guard(Dev().lock);
    return Dev().clock;
  };
  seam.sleepMs = [](uint32_t ms) {
    std::lock_guard<std::recursive_mutex> guard(Dev().lock);
    Dev().clock += ms;
  };
  seam.readKey = []() -> int {
    std::lock_guard<std::recursive_mutex> guard(Dev().lock);
    if (Dev().keys.empty()) return -1;
    const int key = Dev().keys.front();
    Dev().keys.pop_front();
    Dev().log.push_back("key " + std::to_string(key));
    return key;
  };
  seam.print = [](const char* text) {
    std::lock_guard<std::recursive_mutex> guard(Dev().lock);
    Dev().console += text;
  };
  return seam;
}

// A fresh engine, fake device and working directory for every test.
class BackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() /
           ("brevane-backup-" + std::to_string(random()) + std::to_string(random()));
    ASSERT_TRUE(std::filesystem::create_directories(dir_));
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    g_device = &device_;
    seam_ = MakeSeam();
    ASSERT_EQ(Backup_Init(), 1);
    while (WaitBackupDone(0) != 1) {
    }
    Backup_SetSeam(&seam_);
    Image_SetPolicy(YesNoSetting::Unset, YesNoSetting::Unset);
  }
  void TearDown() override {
    Backup_SetSeam(nullptr);
    g_device = nullptr;
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Steps the engine, completing each request at once, until the run ends.
  // Its result, or -1 when it did not end within `steps`.
  int RunToEnd(int steps = 10000) {
    for (int i = 0; i < steps; ++i) {
      BackupStep();
      device_.DeliverAll();
      const int result = WaitBackupDone(0);
      if (result != 1) return result;
    }
    return -1;
  }

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
  std::vector<Bytes> WriteInstances() const {
    std::vector<Bytes> out;
    for (const Bytes& m : device_.sent) {
      if (m.size() >= 2 && m[1] == 0x0A) out.push_back(m);
    }
    return out;
  }

  FakeDevice device_;
  BackupSeam seam_{};
  std::filesystem::path dir_;
  std::filesystem::path previous_;
};

}  // namespace backup_test
