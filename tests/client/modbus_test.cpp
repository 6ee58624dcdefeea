// The Modbus switch's request bytes and its guard of a write without a port, and the rules of
// the relocation search driven through fake steps and a fake clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/modbus.h"
#include "client/relocate.h"

namespace {

TEST(ModbusRequest, WriteSingleRegisterFramesCarryTheirCheck) {
  struct Case {
    uint16_t reg;
    uint8_t expected[8];
  };
  const Case cases[] = {
      {2492, {0x01, 0x06, 0x09, 0xBC, 0x05, 0x06, 0xC8, 0xE0}},
      {2832, {0x01, 0x06, 0x0B, 0x10, 0x05, 0x06, 0x09, 0x79}},
  };
  for (const Case& c : cases) {
    uint8_t frame[8] = {};
    Modbus_BuildWriteSingleRegister(1, c.reg, ModbusSelectTokenBus, frame);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 8), std::vector<uint8_t>(c.expected, c.expected + 8))
        << "register " << c.reg;
  }
}

TEST(ModbusCrc16, MatchesTheCheckValueAndTheEmptyInput) {
  const char* text = "123456789";
  EXPECT_EQ(Modbus_Crc16(reinterpret_cast<const uint8_t*>(text), std::strlen(text)), 0x4B37);
  EXPECT_EQ(Modbus_Crc16(nullptr, 0), 0xFFFF);
}

// Every write without an open port fails as such and prints nothing: before
// any open, after an open that failed, and after a close.
TEST(ModbusWrite, WithoutAnOpenPortFailsAsNotOpenedAndPrintsNothing) {
  ModbusPort port;
  const auto write = [&port](Result* result) {
    ::testing::internal::CaptureStdout();
    *result = port.WriteSingleRegister(1, 2492, ModbusSelectTokenBus);
    return ::testing::internal::GetCapturedStdout();
  };
  Result result;
  EXPECT_EQ(write(&result), "");
  EXPECT_EQ(result.outcome, Outcome::PortNotOpened);

  const Result opened = port.Open("Com97", 9600);
  EXPECT_EQ(opened.outcome, Outcome::PortNotOpened);
  // The system's words say why.
  EXPECT_FALSE(opened.text.empty());
  EXPECT_EQ(write(&result), "");
  EXPECT_EQ(result.outcome, Outcome::PortNotOpened);

  EXPECT_EQ(port.Close(), 0);
  EXPECT_EQ(write(&result), "");
  EXPECT_EQ(result.outcome, Outcome::PortNotOpened);
}

// A bus seen through the search's steps: each look costs `lookMs`, each switch
// `switchMs`; the device shows up from the look numbered `foundFromLook` on.
class FakeSteps : public RelocateSteps {
 public:
  FakeSteps(uint32_t lookMs, uint32_t switchMs, int foundFromLook, uint8_t station = 21)
      : lookMs_(lookMs), switchMs_(switchMs), foundFromLook_(foundFromLook), station_(station) {}

  uint8_t Look() override {
    lookStarts.push_back(now_);
    now_ += lookMs_;
    const int number = static_cast<int>(lookStarts.size());
    return foundFromLook_ > 0 && number >= foundFromLook_ ? station_ : 255;
  }
  void SwitchBack() override {
    ++switches;
    now_ += switchMs_;
  }
  uint32_t NowMs() override { return now_; }
  bool PortLost() override {
    return lostFromLook > 0 && static_cast<int>(lookStarts.size()) >= lostFromLook;
  }

  std::vector<uint32_t> lookStarts;
  int switches = 0;
  int lostFromLook = 0;  // the port is lost from this look on (0: never)

 private:
  uint32_t now_ = 0xFFFFF000u;  // the millisecond clock wraps during the search
  uint32_t lookMs_;
  uint32_t switchMs_;
  int foundFromLook_;
  uint8_t station_;
};

TEST(RelocateSearch, DeviceFoundByTheFirstLookSendsNoSwitch) {
  FakeSteps steps(700, 2200, 1);
  EXPECT_EQ(Relocate_Search(steps, RelocateSearchMs), 21);
  EXPECT_EQ(steps.switches, 0);
  EXPECT_EQ(steps.lookStarts.size(), 1u);
}

TEST(RelocateSearch, DeviceBackAfterTheSwitchIsFoundByTheSecondLook) {
  FakeSteps steps(700, 2200, 2, 30);
  EXPECT_EQ(Relocate_Search(steps, RelocateSearchMs), 30);
  EXPECT_EQ(steps.switches, 1);
  EXPECT_EQ(steps.lookStarts.size(), 2u);
}

TEST(RelocateSearch, DeviceThatNeverShowsRunsWholePassesUntilTheDeadline) {
  // A pass is look, switch, look: 700 + 2200 + 700 = 3600 ms. Passes start at
  // 0, 3600, ..., 57600 (under 60 s); the one that ends at 61200 is the last.
  FakeSteps steps(700, 2200, 0);
  EXPECT_EQ(Relocate_Search(steps, RelocateSearchMs), 255);
  EXPECT_EQ(steps.switches, 17);
  EXPECT_EQ(steps.lookStarts.size(), 34u);
  EXPECT_EQ(steps.lookStarts.back() - steps.lookStarts.front(), 16u * 3600u + 2900u);
}

// Every look of a lost port fails at once: searching on would only spin
// through looks and connection restarts for a minute.
TEST(RelocateSearch, LostPortEndsTheSearchWithoutSwitchingBack) {
  const struct {
    int lostFromLook;
    int switches;
    size_t looks;
  } cases[] = {{1, 0, 1}, {2, 1, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lostFromLook);
    FakeSteps steps(700, 2200, 0);
    steps.lostFromLook = c.lostFromLook;
    EXPECT_EQ(Relocate_Search(steps, RelocateSearchMs), 255);
    EXPECT_EQ(steps.switches, c.switches);
    EXPECT_EQ(steps.lookStarts.size(), c.looks);
  }
}

TEST(RelocateSearch, APassThatStartsJustBeforeTheDeadlineStillRuns) {
  // The first pass ends 59,999 ms after the start, inside the deadline.
  FakeSteps steps(29999, 1, 0);
  EXPECT_EQ(Relocate_Search(steps, RelocateSearchMs), 255);
  EXPECT_EQ(steps.switches, 2);
}

}  // namespace
