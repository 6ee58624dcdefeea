// The discovery against an emulated bus, through the real client and link.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/discovery.h"
#include "client/bus.h"
#include "client/client.h"
#include "tests/support/emulated_bus.h"

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

bool CountTick(void* ticks) {
  ++*static_cast<int*>(ticks);
  return true;
}

bool GiveUp(void*) { return false; }

struct Found {
  Result result;
  uint32_t count = 0;
  int ticks = 0;
  DeviceRecord records[8];
};

Found Discovery(DiscoveryPort after, uint32_t capacity = 8) {
  Found found;
  found.result = Discover(Client_Bus(), "Com1", after, 50, CountTick, &found.ticks,
                          found.records, capacity, &found.count);
  return found;
}

TEST(DiscoveryOnABus, IdentifiesEveryStationInAddressOrderAndClosesThePort) {
  test_support::EmulatedBus bus(kScenario);
  const Found found = Discovery(DiscoveryPort::Close);
  ASSERT_TRUE(found.result.Ok());
  // The console was called while the scan went on.
  EXPECT_GT(found.ticks, 0);
  ASSERT_EQ(found.count, 3u);
  const DeviceRecord* records = found.records;
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
  // A bootloader reports no version, serial or name of its own.
  EXPECT_EQ(records[2].build, 0);
  EXPECT_EQ(records[2].serialNumber, 0);
  EXPECT_STREQ(records[2].deviceName, "");
  EXPECT_EQ(Client_Find("Com1"), nullptr);

  // A shorter destination takes the first records only; the port, closed at
  // the end of the last discovery, is opened again.
  const Found two = Discovery(DiscoveryPort::Close, 2);
  ASSERT_TRUE(two.result.Ok());
  ASSERT_EQ(two.count, 2u);
  EXPECT_EQ(two.records[1].address, 17);
}

TEST(DiscoveryOnABus, KeepsThePortOpenWhenAskedTo) {
  test_support::EmulatedBus bus(kScenario);
  const Found found = Discovery(DiscoveryPort::KeepOpen);
  ASSERT_TRUE(found.result.Ok());
  EXPECT_EQ(found.count, 3u);
  EXPECT_NE(Client_Find("Com1"), nullptr);
  EXPECT_EQ(Client_Close("Com1"), 0);
}

// Given up by the console (an interrupt), the discovery says so at once and
// finishes its scan on its own thread, closing the port.
TEST(DiscoveryOnABus, GivenUpItReturnsAtOnceAndTheScanEndsOnItsOwn) {
  test_support::EmulatedBus bus(kScenario);
  DeviceRecord records[8];
  uint32_t count = 7;
  const Result result =
      Discover(Client_Bus(), "Com1", DiscoveryPort::Close, 50, GiveUp, nullptr, records, 8, &count);
  EXPECT_EQ(result.outcome, Outcome::Stopped);
  EXPECT_EQ(count, 0u);
  // The port is opened (own-address listening first), scanned, then closed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool opened = false;
  while (!opened && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    opened = Client_Find("Com1") != nullptr;
  }
  ASSERT_TRUE(opened);
  while (opened && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    opened = Client_Find("Com1") != nullptr;
  }
  EXPECT_FALSE(opened);
}

TEST(DiscoveryOnABus, PortThatDoesNotOpenFindsNothing) {
  test_support::EmulatedBus bus(kScenario);
  DeviceRecord records[8];
  uint32_t count = 7;
  int ticks = 0;
  const Result result = Discover(Client_Bus(), "Com9", DiscoveryPort::Close, 50, CountTick,
                                 &ticks, records, 8, &count);
  EXPECT_EQ(result.outcome, Outcome::PortNotOpened);
  EXPECT_EQ(count, 0u);
}

}  // namespace
