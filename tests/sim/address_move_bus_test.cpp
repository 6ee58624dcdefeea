// The address setting on the bus the emulator really runs.
#include <gtest/gtest.h>

#include "sim/bus.h"
#include "sim/controller.h"
#include "tests/support/scripted_station.h"

namespace {

using sim::Micros;
using test_support::MakeFrame;
using test_support::ScriptedStation;

TEST(AddressMoveOnBus, ControllerMovesWhileAClientProbesBothStations) {
  sim::ControllerConfig config;
  config.address = 20;
  sim::DeviceProtocol protocol;
  sim::Controller controller(config, protocol);
  ScriptedStation pc;
  sim::Bus bus;
  bus.Attach(&controller, true);
  bus.Attach(&pc, false);
  // Zone 7 is station 22. Then, every 300 ms, a probe of 22 and one of 20.
  pc.SendAt(1'000'000, MakeFrame(5, 20, 0, {0x01, 0x04, 0x11, 0x01, 0x01, 0x01, 0x07}));
  for (int i = 0; i < 20; ++i) {
    Micros at = 1'300'000 + i * 300'000;
    pc.SendAt(at, MakeFrame(5, 22, 0, {0x01, 0x01}));
    pc.SendAt(at + 150'000, MakeFrame(5, 20, 0, {0x01, 0x01}));
  }
  bus.RunUntil(3'000'000);
  EXPECT_EQ(controller.address(), 22);
  bus.RunUntil(8'000'000);
  EXPECT_EQ(controller.address(), 22);
}

}  // namespace
