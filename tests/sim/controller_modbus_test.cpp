// A controller switched to Modbus RTU and the request that brings it back.
#include <gtest/gtest.h>

#include <memory>

#include "sim/controller.h"
#include "tests/sim/controller_test_harness.h"

namespace {

using sim::Micros;
using simtest::TestBus;
using Bytes = std::vector<uint8_t>;

Bytes WithCrc(Bytes pdu) {
  uint16_t crc = simtest::TestModbusCrc(pdu);
  pdu.push_back(uint8_t(crc & 0xFF));
  pdu.push_back(uint8_t(crc >> 8));
  return pdu;
}

class ModbusTest : public ::testing::Test {
 protected:
  void Start(uint8_t hardwareId = 28) {
    sim::ControllerConfig config;
    config.address = 18;
    config.hardwareId = hardwareId;
    config.startInModbus = true;
    controller = std::make_unique<sim::Controller>(config, protocol);
    bus.Attach(controller.get());
  }

  // Sends a request at 9600 and returns what came back before `wait` ended.
  Bytes Request(const Bytes& frame, Micros wait = 100'000) {
    size_t before = bus.raw(0).size();
    bus.Send(frame, 9600);
    bus.RunFor(wait);
    Bytes out;
    for (size_t i = before; i < bus.raw(0).size(); ++i) out.push_back(bus.raw(0)[i].first);
    return out;
  }

  sim::DeviceProtocol protocol;
  std::unique_ptr<sim::Controller> controller;
  TestBus bus;
};

TEST_F(ModbusTest, ListensAt9600AndIgnoresTheTarnixBus) {
  Start();
  EXPECT_EQ(controller->Baud(), 9600u);
  EXPECT_FALSE(bus.Exchange(5, 18, 3, {0x01, 0x01}, 200'000));
  bus.RunFor(2'000'000);
  EXPECT_TRUE(bus.frames().empty());
}

TEST_F(ModbusTest, ProtocolSelectWriteIsEchoedThenTheControllerReturnsToTheTarnixBus) {
  Start();
  Bytes request{0x01, 0x06, 0x09, 0xBC, 0x05, 0x06, 0xC8, 0xE0};
  EXPECT_EQ(Request(request), request);
  EXPECT_FALSE(controller->modbus());
  EXPECT_EQ(controller->Baud(), 38400u);
  std::optional<simtest::Heard> probe = bus.Exchange(5, 18, 3, {0x01, 0x01});
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->data[1], 0x01);
  // Alone on the bus it goes on to create a token.
  bus.RunFor(1'000'000);
  bool polled = false;
  for (const simtest::Heard& h : bus.frames()) polled |= h.type == sim::kPollForMaster && h.src == 18;
  EXPECT_TRUE(polled);
  EXPECT_EQ(controller->Value(17, 1, 2), sim::U8Value(1, 0));
}

TEST_F(ModbusTest, HardwareId23UsesRegister2832) {
  Start(23);
  Bytes other{0x01, 0x06, 0x09, 0xBC, 0x05, 0x06, 0xC8, 0xE0};
  EXPECT_EQ(Request(other), WithCrc({0x01, 0x86, 0x02}));
  EXPECT_TRUE(controller->modbus());
  Bytes request{0x01, 0x06, 0x0B, 0x10, 0x05, 0x06, 0x09, 0x79};
  EXPECT_EQ(Request(request), request);
  EXPECT_FALSE(controller->modbus());
}

TEST_F(ModbusTest, OtherRequestsGetExceptionReplies) {
  Start();
  // Read holding registers: not offered.
  EXPECT_EQ(Request(WithCrc({0x01, 0x03, 0x09, 0xBC, 0x00, 0x01})), WithCrc({0x01, 0x83, 0x01}));
  // The select register with another value.
  EXPECT_EQ(Request(WithCrc({0x01, 0x06, 0x09, 0xBC, 0x00, 0x01})), WithCrc({0x01, 0x86, 0x03}));
  // A write of the right value to another register.
  EXPECT_EQ(Request(WithCrc({0x01, 0x06, 0x00, 0x10, 0x05, 0x06})), WithCrc({0x01, 0x86, 0x02}));
  EXPECT_TRUE(controller->modbus());
}

TEST_F(ModbusTest, BadChecksumOtherSlaveAndBroadcastGetNoReply) {
  Start();
  EXPECT_TRUE(Request({0x01, 0x06, 0x09, 0xBC, 0x05, 0x06, 0xC8, 0xE1}).empty());
  EXPECT_TRUE(Request(WithCrc({0x02, 0x06, 0x09, 0xBC, 0x05, 0x06})).empty());
  EXPECT_TRUE(controller->modbus());
  EXPECT_TRUE(Request(WithCrc({0x00, 0x06, 0x09, 0xBC, 0x05, 0x06})).empty());
  EXPECT_FALSE(controller->modbus());
}

TEST_F(ModbusTest, RequestAmidGarbageFromTheFasterBusIsStillRecognised) {
  Start();
  Bytes garbage{0xF3, 0x00, 0x7E, 0x01, 0x06, 0xFF, 0x9C, 0x41};
  Bytes damaged{0x01, 0x06, 0x09, 0xBC, 0x05, 0x06, 0xC8, 0xE1};
  Bytes heard = garbage;
  heard.insert(heard.end(), damaged.begin(), damaged.end());
  heard.insert(heard.end(), garbage.begin(), garbage.end());
  EXPECT_TRUE(Request(heard).empty());
  EXPECT_TRUE(controller->modbus());

  Bytes request{0x01, 0x06, 0x09, 0xBC, 0x05, 0x06, 0xC8, 0xE0};
  heard = garbage;
  heard.insert(heard.end(), request.begin(), request.end());
  heard.insert(heard.end(), garbage.begin(), garbage.end());
  EXPECT_EQ(Request(heard), request);
  EXPECT_FALSE(controller->modbus());
}

TEST_F(ModbusTest, ProtocolSettingWrittenOverTheBusSwitchesToModbusAfterTheAnswer) {
  sim::ControllerConfig config;
  config.address = 18;
  controller = std::make_unique<sim::Controller>(config, protocol);
  bus.Attach(controller.get());
  std::optional<simtest::Heard> a = bus.Exchange(5, 18, 3, {0x01, 0x04, 0x11, 0x02, 0x01, 0x01, 0x01});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->data[1], 0x04);
  bus.RunFor(10'000);
  EXPECT_TRUE(controller->modbus());
  EXPECT_EQ(controller->Baud(), 9600u);
}

}  // namespace
