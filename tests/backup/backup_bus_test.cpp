// Backup and restore of an emulated controller through the real client, link
// and pty, judged by the controller's own settings afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "app/backup_steps.h"
#include "client/client.h"
#include "client/services.h"
#include "platform/clock.h"
#include "tests/support/emulated_bus.h"
#include "update/image_package.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Scenario(double loss, int seed) {
  return "[bus]\nseed = " + std::to_string(seed) + "\nloss_rate = " + std::to_string(loss) +
         "\n\n[controller]\naddress = 16\nserial = 4410021\nname = Boiler 1\n";
}

// A working directory of the test's own.
class WorkingDirectory {
 public:
  WorkingDirectory() {
    dir_ = std::filesystem::temp_directory_path() /
           ("brevane-backup-bus-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(dir_);
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
  }
  ~WorkingDirectory() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

 private:
  static inline int counter_ = 0;
  std::filesystem::path dir_;
  std::filesystem::path previous_;
};

Bytes Ask(const Bytes& request) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    uint8_t reply[512];
    uint16_t length = 0;
    uint8_t status = 0xFF;
    if (Client_Request("Com1", 16, request.data(), static_cast<uint16_t>(request.size()), 1, nullptr,
                       reply, sizeof reply, &length, &status) == 0 &&
        status == 0) {
      return Bytes(reply, reply + length);
    }
  }
  ADD_FAILURE() << "no answer to a request";
  return {};
}

// The (class, instance) pairs of the controller in its own order, without
// the live status class.
std::vector<std::pair<uint8_t, uint8_t>> ControllerInstances() {
  std::vector<std::pair<uint8_t, uint8_t>> out;
  const Bytes classes = Ask({0x01, 0x02, 0x02});
  for (size_t i = 4; i < classes.size() && i < 4u + classes[3]; ++i) {
    if (classes[i] == 16) continue;
    const Bytes instances = Ask({0x01, 0x02, 0x03, classes[i]});
    for (size_t j = 5; j < instances.size() && j < 5u + instances[4]; ++j) {
      out.emplace_back(classes[i], instances[j]);
    }
  }
  return out;
}

std::vector<Bytes> Records(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<Bytes> out;
  size_t at = 0;
  while (at + 2 <= file.size()) {
    const size_t length = static_cast<size_t>(file[at] | (file[at + 1] << 8));
    EXPECT_LE(at + 2 + length, file.size());
    out.emplace_back(file.begin() + static_cast<long>(at + 2),
                     file.begin() + static_cast<long>(std::min(file.size(), at + 2 + length)));
    at += 2 + length;
  }
  EXPECT_EQ(at, file.size());
  return out;
}

DeviceRecord FindController() {
  DeviceRecord record;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (Client_ScanRange("Com1", 16, 16, &record, 1) == 1) return record;
  }
  ADD_FAILURE() << "the controller was not found";
  return record;
}

constexpr const char* kFileName = "QD4010A-6AC11004410021-31.qsv";

// The digest and change list of the controller as the scenario starts it.
uint32_t StartDigest(const std::string& scenario) {
  const sim::Scenario s = sim::ParseScenario(scenario, "start");
  const sim::Controller fresh(s.controllers.at(0), s.protocol, s.baud);
  return fresh.SettingsDigest();
}

void BackupThenRestore(double loss, int seed) {
  const std::string scenario = Scenario(loss, seed);
  test_support::EmulatedBus bus(scenario);
  WorkingDirectory cwd;
  Image_SetPolicy(YesNoSetting::Unset, YesNoSetting::Unset);
  ASSERT_EQ(Client_Open("Com1"), 0);
  DeviceRecord device = FindController();

  SettingsOutcome outcome = SettingsOutcome::NotTaken;
  BackupFacts facts;
  const uint32_t backupStart = plat::now_ms();
  EXPECT_EQ(BackupDevice(System_BackupWorld(), &device, &outcome, &facts), MenuState::StartProgramming);
  const uint32_t backupMs = plat::now_ms() - backupStart;
  EXPECT_EQ(outcome, SettingsOutcome::Complete);
  EXPECT_EQ(device.address, 16);
  EXPECT_STREQ(facts.fileName, kFileName);

  // The file holds every instance in the controller's order, each as it answers.
  const std::vector<Bytes> records = Records(kFileName);
  const auto instances = ControllerInstances();
  ASSERT_EQ(records.size(), instances.size());
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_GE(records[i].size(), 3u);
    EXPECT_EQ(records[i][0], instances[i].first);
    EXPECT_EQ(records[i][1], instances[i].second);
    const Bytes answer = Ask({0x01, 0x05, instances[i].first, instances[i].second});
    EXPECT_EQ(records[i], Bytes(answer.begin() + 2, answer.end()));
  }

  // The factory settings replace the controller's own, as after an update.
  TypedValue factory;
  factory.type = 7;
  factory.value = 31u << 24;
  ASSERT_EQ(Client_WriteMember("Com1", 16, 1, 13, 1, factory), 0);
  TypedValue setpoint;
  ASSERT_EQ(Client_ReadMember("Com1", 16, 2, 1, 1, &setpoint), 0);
  EXPECT_EQ(setpoint.value >> 16, 500u);

  const uint32_t restoreStart = plat::now_ms();
  RestorePlan plan;
  plan.backupTaken = true;
  EXPECT_EQ(RestoreDevice(System_BackupWorld(), &device, plan, &outcome), MenuState::FinishDevice);
  const uint32_t restoreMs = plat::now_ms() - restoreStart;
  EXPECT_EQ(outcome, SettingsOutcome::Complete);
  EXPECT_FALSE(std::filesystem::exists(kFileName));
  Client_Close("Com1");
  bus.Stop();

  EXPECT_EQ(bus.controller(0).SettingsDigest(), StartDigest(scenario));
  EXPECT_TRUE(bus.controller(0).ChangedSettings().empty());
  std::printf("backup %u ms (%zu records), restore %u ms\n", static_cast<unsigned>(backupMs),
              records.size(), static_cast<unsigned>(restoreMs));
}

TEST(BackupOnABus, RestoreBringsBackEverySettingTheBackupSaved) { BackupThenRestore(0.0, 1); }

class LossyBus : public ::testing::TestWithParam<int> {};

TEST_P(LossyBus, RestoreBringsBackEverySettingDespiteLostFrames) {
  BackupThenRestore(0.01, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Seeds, LossyBus, ::testing::Values(3, 5, 11));

}  // namespace
