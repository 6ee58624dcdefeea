#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/menus.h"

namespace {

DeviceRecord Device(uint8_t address, int32_t build, const char* port) {
  DeviceRecord record;
  std::snprintf(record.portName, sizeof record.portName, "%s", port);
  record.address = address;
  record.hardwareId = 28;
  record.release = 14;
  record.build = build;
  record.serialNumber = 4410021;
  std::snprintf(record.modelNumber, sizeof record.modelNumber, "QD4010A-6AC1100");
  std::snprintf(record.deviceName, sizeof record.deviceName, "Boiler 1");
  return record;
}

// The table as printed, with carriage returns dropped: on Windows the capture
// reads standard output back in text mode, which drops them itself. The line
// ends are checked byte for byte by the end-to-end tests. The capture is a
// file, so the upgrade mark comes as "^".
std::string Table(const FrontEndState& state) {
  ::testing::internal::CaptureStdout();
  PrintDeviceTable(state);
  std::string table = ::testing::internal::GetCapturedStdout();
  std::erase(table, '\r');
  return table;
}

TEST(DeviceTable, HeaderRuleAndRowsLineUpWithTheMarkAfterAnOlderVersion) {
  static FrontEndState state;
  state.devices[0] = Device(16, 172, "Com3");
  state.devices[1] = Device(31, 180, "\\\\.\\Com12");
  state.devices[2] = Device(17, 181, "Com3");
  state.deviceCount = 3;
  const std::string expected =
      "\n"
      "     ZONE              Name      Model Number          SN    Version Port\n"
      "     --------------------------------------------------------------------\n"
      "[ 1]    1          Boiler 1   QD4010A-6AC1100     4410021  14.00.172^ Com3\n"
      "[ 2]   16          Boiler 1   QD4010A-6AC1100     4410021  14.00.180  Com12\n"
      "[ 3]    2          Boiler 1   QD4010A-6AC1100     4410021  14.00.181  Com3\n";
  EXPECT_EQ(Table(state), expected);
}

}  // namespace
