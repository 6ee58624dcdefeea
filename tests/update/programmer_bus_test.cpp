// The scan job against an emulated bus, through the real client and link.
#include <gtest/gtest.h>

#include "tests/support/emulated_bus.h"
#include "update/programmer.h"

namespace {

constexpr const char* kScenario = R"(
[controller]
address = 16
version = 14.00.172
serial = 4410021
name = Boiler 1

[controller]
address = 17
serial = 4410388
name = Boiler 2

[controller]
address = 19
version = 14.00.164
start = bootloader
)";

int RunScan(uint8_t low, uint8_t high) {
  Programmer_StartScan("Com1", low, high);
  Programmer_Tick();
  return Programmer_Wait(0);
}

TEST(ScanJobOnABus, IdentifiesEveryStationOfTheBandInAddressOrder) {
  test_support::EmulatedBus bus(kScenario);
  ASSERT_EQ(Programmer_Init(), 1);
  ASSERT_EQ(RunScan(15, 20), ProgrammerOk);
  DeviceRecord records[ProgrammerScanRecords];
  ASSERT_EQ(Programmer_FetchScan(records, ProgrammerScanRecords), 3);
  EXPECT_EQ(records[0].address, 16);
  EXPECT_EQ(records[0].build, 172);
  EXPECT_EQ(records[0].serialNumber, 4410021);
  EXPECT_STREQ(records[0].deviceName, "Boiler 1");
  EXPECT_STREQ(records[0].portName, "Com1");
  EXPECT_EQ(records[1].address, 17);
  EXPECT_EQ(records[1].inBootloader, 0);
  EXPECT_EQ(records[2].address, 19);
  EXPECT_EQ(records[2].inBootloader, 1);
  EXPECT_EQ(records[2].hardwareId, 28);

  // A shorter destination takes the first records only.
  DeviceRecord two[2];
  EXPECT_EQ(Programmer_FetchScan(two, 2), 2);
  EXPECT_EQ(two[1].address, 17);

  // The port was closed at the end of the job, so the next one opens it again.
  ASSERT_EQ(RunScan(17, 17), ProgrammerOk);
  EXPECT_EQ(Programmer_FetchScan(records, ProgrammerScanRecords), 1);
}

TEST(ScanJobOnABus, BootloaderRecordDoesNotInheritTheVersionOfAnEarlierScan) {
  test_support::EmulatedBus bus(kScenario);
  ASSERT_EQ(Programmer_Init(), 1);
  ASSERT_EQ(RunScan(17, 17), ProgrammerOk);
  ASSERT_EQ(RunScan(19, 19), ProgrammerOk);
  DeviceRecord record;
  ASSERT_EQ(Programmer_FetchScan(&record, 1), 1);
  EXPECT_EQ(record.inBootloader, 1);
  EXPECT_EQ(record.build, 0);
  EXPECT_EQ(record.serialNumber, 0);
  EXPECT_STREQ(record.deviceName, "");
}

}  // namespace
