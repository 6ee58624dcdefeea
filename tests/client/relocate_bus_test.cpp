// The relocation search against an emulated bus: a device already where it is
// looked for, and one that sits in Modbus mode until the switch brings it back.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/relocate.h"
#include "sim/node.h"
#include "tests/support/emulated_bus.h"

namespace {

using test_support::BusOptions;
using test_support::EmulatedBus;

constexpr const char* kPort = "Com1";
const std::vector<uint8_t> kSwitchRequest{0x01, 0x06, 0x09, 0xBC, 0x05, 0x06, 0xC8, 0xE0};

// Listens to the line at 9600 baud and keeps every octet it hears (octets sent
// at the token bus's speed arrive garbled). Read it after the bus has stopped.
class ModbusListener : public sim::Node {
 public:
  uint32_t Baud() const override { return 9600; }
  void OnOctet(uint8_t octet, sim::Micros) override { heard.push_back(octet); }
  void OnTime(sim::Micros) override {}
  sim::Micros NextWake() const override { return sim::kNever; }
  bool TakeOctet(uint8_t*) override { return false; }

  bool HeardSwitchRequest() const {
    return std::search(heard.begin(), heard.end(), kSwitchRequest.begin(), kSwitchRequest.end()) !=
           heard.end();
  }

  std::vector<uint8_t> heard;
};

const char* kDevice =
    "[controller]\naddress = 18\nmax_master = 20\nhardware_id = 28\nserial = 4410021\n"
    "model = QD4010A-6AC1100\n";

TEST(ClientRelocate, DeviceFoundByTheFirstScanIsReturnedWithoutAModbusRequest) {
  ModbusListener listener;
  EmulatedBus bus(std::string(kDevice) + "[controller]\naddress = 17\nmax_master = 20\nserial = 7\n",
                  BusOptions().Station(&listener));
  ASSERT_EQ(Client_Open(kPort), 0);
  const uint8_t own = TarnixLink_GetAddress(kPort);
  EXPECT_EQ(Client_Relocate(kPort, 16, 19, 2492, "QD4010A-6AC1100", 4410021), 18);
  // The connection was never closed for a switch.
  EXPECT_EQ(TarnixLink_GetAddress(kPort), own);
  EXPECT_EQ(Client_Close(kPort), 0);
  bus.Stop();
  EXPECT_FALSE(listener.HeardSwitchRequest());
}

TEST(ClientRelocate, DeviceInModbusModeIsSwitchedBackAndFound) {
  ModbusListener listener;
  // No look at the controller while the bus runs (its thread owns it): the
  // switch request heard and the address found show it started in Modbus.
  EmulatedBus bus(std::string(kDevice) + "protocol = modbus\n", BusOptions().Station(&listener));
  ASSERT_EQ(Client_Open(kPort), 0);
  EXPECT_EQ(Client_Relocate(kPort, 16, 19, 2492, "QD4010A-6AC1100", 4410021), 18);
  // The search leaves the connection open again.
  EXPECT_NE(Client_Find(kPort), nullptr);
  EXPECT_EQ(Client_Close(kPort), 0);
  bus.Stop();
  EXPECT_TRUE(listener.HeardSwitchRequest());
  EXPECT_FALSE(bus.controller(0).modbus());
}

}  // namespace
