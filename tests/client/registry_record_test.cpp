// The registry record against a store in a temporary directory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "client/registry_record.h"
#include "platform/registry.h"

namespace {

DeviceRecord Device(const char* port, uint8_t address, int32_t serial, const char* name) {
  DeviceRecord record;
  std::snprintf(record.portName, sizeof record.portName, "%s", port);
  record.address = address;
  record.hardwareId = 28;
  record.softwareId = 3;
  record.release = 14;
  record.prototype = 0;
  record.build = 172;
  record.serialNumber = serial;
  std::snprintf(record.modelNumber, sizeof record.modelNumber, "QD4010A-6AC1100");
  std::snprintf(record.deviceName, sizeof record.deviceName, "%s", name);
  return record;
}

class RegistryRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("brevane-registry-record-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    ::setenv("BREVANE_REGISTRY", dir_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("BREVANE_REGISTRY");
    std::filesystem::remove_all(dir_);
  }

  static bool KeyExists(const std::string& path) {
    plat::RegKey key = plat::reg_open_key(nullptr, (std::string(RegistryRootKey) + "\\" + path).c_str());
    if (key == nullptr) return false;
    plat::reg_close(key);
    return true;
  }

  std::filesystem::path dir_;
};

TEST_F(RegistryRecord, DiscoveryOnPort12FilesEachDeviceUnderItsShownPortAndAddress) {
  const DeviceRecord found[] = {Device("\\\\.\\Com12", 16, 4410021, "Boiler 1"),
                                Device("\\\\.\\Com12", 17, -2, "Boiler 2")};
  ASSERT_EQ(Registry_SaveDevices(found, 2), 1);
  EXPECT_TRUE(KeyExists("Com12\\16"));
  EXPECT_TRUE(KeyExists("Com12\\17"));

  plat::RegKey key = plat::reg_open_key(nullptr, "Software\\Dorvik\\Brevane\\Network\\Com12\\17");
  ASSERT_NE(key, nullptr);
  const char* const numbers[] = {"Serial Number", "Hardware Id", "Software Id",
                                 "Release",       "Prototype",   "Build"};
  for (const char* name : numbers) {
    plat::RegType type{};
    uint32_t size = 0;
    ASSERT_TRUE(plat::reg_query_value(key, name, &type, nullptr, &size)) << name;
    EXPECT_EQ(type, plat::RegType::Dword) << name;
    EXPECT_EQ(size, 4u) << name;
  }
  char text[64] = {};
  uint32_t size = sizeof text;
  plat::RegType type{};
  ASSERT_TRUE(plat::reg_query_value(key, "Device Name", &type, text, &size));
  EXPECT_EQ(type, plat::RegType::String);
  EXPECT_EQ(size, 9u);  // the terminator travels with the text
  EXPECT_STREQ(text, "Boiler 2");
  plat::reg_close(key);

  DeviceRecord loaded;
  std::snprintf(loaded.portName, sizeof loaded.portName, "Com12");
  loaded.address = 17;
  ASSERT_EQ(Registry_LoadDevice(&loaded), 1);
  EXPECT_EQ(loaded.serialNumber, -2);
  EXPECT_EQ(loaded.hardwareId, 28);
  EXPECT_EQ(loaded.softwareId, 3);
  EXPECT_EQ(loaded.release, 14);
  EXPECT_EQ(loaded.build, 172);
  EXPECT_STREQ(loaded.modelNumber, "QD4010A-6AC1100");
  EXPECT_STREQ(loaded.deviceName, "Boiler 2");
}

TEST_F(RegistryRecord, BootloaderGetsNoKeyAndLeavesAnEarlierOneUnchanged) {
  const DeviceRecord before = Device("Com3", 19, 111, "Dryer");
  ASSERT_EQ(Registry_SaveDevices(&before, 1), 1);
  DeviceRecord boot = Device("Com3", 19, 0, "");
  boot.inBootloader = 1;
  const DeviceRecord other = Device("Com3", 20, 5, "Tank");
  DeviceRecord pass[] = {boot, other};
  ASSERT_EQ(Registry_SaveDevices(pass, 2), 1);
  EXPECT_TRUE(KeyExists("Com3\\20"));

  DeviceRecord loaded;
  std::snprintf(loaded.portName, sizeof loaded.portName, "Com3");
  loaded.address = 19;
  ASSERT_EQ(Registry_LoadDevice(&loaded), 1);
  EXPECT_EQ(loaded.serialNumber, 111);
  EXPECT_STREQ(loaded.deviceName, "Dryer");

  DeviceRecord onlyBoot = boot;
  onlyBoot.address = 21;
  ASSERT_EQ(Registry_SaveDevices(&onlyBoot, 1), 1);
  EXPECT_FALSE(KeyExists("Com3\\21"));
}

TEST_F(RegistryRecord, UnknownDeviceLoadsNothing) {
  DeviceRecord record = Device("Com4", 16, 77, "Mine");
  ASSERT_EQ(Registry_LoadDevice(&record), 0);
  EXPECT_EQ(record.serialNumber, 77);
  EXPECT_STREQ(record.deviceName, "Mine");
}

TEST_F(RegistryRecord, MissingOrOverlongValuesLeaveTheirFieldsAsTheyWere) {
  plat::RegKey key = plat::reg_create_key(nullptr, "Software\\Dorvik\\Brevane\\Network\\Com5\\16");
  ASSERT_NE(key, nullptr);
  const uint32_t build = 181;
  ASSERT_TRUE(plat::reg_set_value(key, "Build", plat::RegType::Dword, &build, 4));
  const std::string tooLong(40, 'M');
  ASSERT_TRUE(plat::reg_set_value(key, "Model Number", plat::RegType::String, tooLong.c_str(),
                                  static_cast<uint32_t>(tooLong.size() + 1)));
  // 33 octets without a terminator: taken, but cut to the 32 characters a field holds.
  const std::string unterminated(33, 'N');
  ASSERT_TRUE(plat::reg_set_value(key, "Device Name", plat::RegType::String, unterminated.data(),
                                  33));
  plat::reg_close(key);

  DeviceRecord record = Device("Com5", 16, 9, "Old name");
  ASSERT_EQ(Registry_LoadDevice(&record), 1);
  EXPECT_EQ(record.build, 181);
  EXPECT_EQ(record.serialNumber, 9);
  EXPECT_STREQ(record.modelNumber, "QD4010A-6AC1100");
  EXPECT_EQ(std::string(record.deviceName), std::string(32, 'N'));
}

TEST_F(RegistryRecord, StoreThatCannotBeCreatedWritesNothingAndSaysSo) {
  // A plain file where the store's directory should be.
  std::FILE* blocker = std::fopen(dir_.c_str(), "w");
  ASSERT_NE(blocker, nullptr);
  std::fclose(blocker);
  const DeviceRecord device = Device("Com3", 16, 1, "x");
  EXPECT_EQ(Registry_SaveDevices(&device, 1), 0);
  std::filesystem::remove(dir_);
}

}  // namespace
