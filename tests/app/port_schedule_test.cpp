// The rules of one port's pipeline, run by a greedy runner on a tick clock:
// at every tick the runner starts whatever the rules allow, and the test
// checks what must never happen (two controllers on the bus, a moved
// controller in the middle of its own update, a turn while a controller
// holds a standard address) and that every run ends with everything ended
// and nothing left moved, in the expected order and time.
#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "app/port_schedule.h"

namespace {

struct Durations {
  int backup = 2;
  int bus = 10;
  int after = 5;
};

struct Event {
  int tick;
  std::string what;
};

struct PipelineCase {
  std::string name;
  std::vector<ScheduledDevice> devices;
  uint32_t ahead;
  // Device that comes back at a standard address after its turn and holds
  // it for `holdTicks` of its after-phase; -1: none.
  int holder;
  // Device left in its bootloader by its turn; -1: none.
  int stuck;
  std::string busOrder;  // the turns, as device indexes
  int lastTick;          // when the last controller ended
};

void PrintTo(const PipelineCase& c, std::ostream* os) { *os << c.name; }

class Runner {
 public:
  Runner(PortSchedule& schedule, const PipelineCase& c) : s_(schedule), c_(c) {
    left_.assign(s_.Count(), 0);
  }

  void Run() {
    for (tick_ = 0; tick_ < 1000 && !s_.Finished(); ++tick_) {
      Advance();
      Start();
      CheckInvariants();
    }
  }

  std::string busOrder;
  int endTick = -1;
  std::vector<std::string> violations;

 private:
  void Advance() {
    for (std::size_t i = 0; i < s_.Count(); ++i) {
      if (left_[i] == 0 || --left_[i] > 0) continue;
      switch (s_.Stage(i)) {
        case FlowStage::BackingUp:
          s_.SetStage(i, FlowStage::ReadyForBus);
          break;
        case FlowStage::OnBus:
          s_.SetStage(i, FlowStage::AfterBus);
          if (static_cast<int>(i) == c_.stuck) {
            stuckSeen_ = true;
            s_.LeftInBootloader(i);
            s_.SetStage(i, FlowStage::Ended);
            endTick = tick_;
          } else {
            left_[i] = kDurations.after;
            if (static_cast<int>(i) == c_.holder) {
              s_.HoldsStandardAddress(i);
              holdLeft_ = 3;
            }
          }
          break;
        case FlowStage::AfterBus:
          s_.SetStage(i, FlowStage::Ended);
          endTick = tick_;
          break;
        default:
          break;
      }
    }
    if (holdLeft_ > 0 && --holdLeft_ == 0) s_.LeftStandardAddress(static_cast<std::size_t>(c_.holder));
  }

  void Start() {
    for (std::size_t o = 0; o < s_.Count(); ++o) {
      if (!s_.MayMoveBack(o)) continue;
      s_.Moved(o, false);
      if (stuckSeen_) {
        violations.push_back("tick " + std::to_string(tick_) + ": device " + std::to_string(o) +
                             " moved back onto the address a bootloader may answer at");
      }
    }
    for (std::size_t i = 0; i < s_.Count(); ++i) {
      if (s_.Stranded(i)) {
        s_.SetStage(i, FlowStage::Ended);
        endTick = tick_;
      } else if (s_.MayTakeBus(i)) {
        const int o = s_.MoveBefore(i);
        if (o >= 0) s_.Moved(static_cast<std::size_t>(o), true);
        s_.SetStage(i, FlowStage::OnBus);
        left_[i] = kDurations.bus;
        busOrder += std::to_string(i);
      } else if (s_.MayBackUp(i)) {
        s_.SetStage(i, FlowStage::BackingUp);
        left_[i] = kDurations.backup;
      }
    }
  }

  void CheckInvariants() {
    int onBus = 0;
    for (std::size_t i = 0; i < s_.Count(); ++i) {
      const FlowStage stage = s_.Stage(i);
      if (stage == FlowStage::OnBus) ++onBus;
      const bool busy = stage != FlowStage::Waiting && stage != FlowStage::Ended;
      if (s_.IsMoved(i) && busy) {
        violations.push_back("tick " + std::to_string(tick_) + ": device " + std::to_string(i) +
                             " is moved in the middle of its own update");
      }
      const int o = c_.devices[i].occupant;
      if (stage == FlowStage::OnBus && o >= 0 && !s_.IsMoved(static_cast<std::size_t>(o))) {
        violations.push_back("tick " + std::to_string(tick_) + ": device " + std::to_string(i) +
                             " is on the bus with its standard address taken");
      }
    }
    if (onBus > 1) violations.push_back("tick " + std::to_string(tick_) + ": two on the bus");
  }

  static constexpr Durations kDurations{};
  PortSchedule& s_;
  const PipelineCase& c_;
  std::vector<int> left_;
  int holdLeft_ = 0;
  int tick_ = 0;
  bool stuckSeen_ = false;
};

ScheduledDevice Chosen(int occupant = -1) { return ScheduledDevice{true, occupant}; }
ScheduledDevice Bystander() { return ScheduledDevice{false, -1}; }

// Five controllers take 5 x 17 = 85 ticks one after another; pipelined, the
// turns follow each other and only the first backup and the last
// after-phase stand outside them: 2 + 5 x 10 + 5 = 57.
const PipelineCase kCases[] = {
    {"OneController", {Chosen()}, 1, -1, -1, "0", 17},
    {"FiveInTurn", {Chosen(), Chosen(), Chosen(), Chosen(), Chosen()}, 1, -1, -1, "01234", 57},
    // The controller at the standard address goes last: the others' turns
    // find it moved, it is moved back once the last of them is past its
    // turn, and backed up while that one's after-phase runs.
    {"OccupantChosenGoesLast",
     {Chosen(), Chosen(2), Chosen(), Chosen(2), Chosen(2)}, 1, -1, -1, "01342", 59},
    {"BystanderOccupantMovedOnceForAll",
     {Bystander(), Chosen(0), Chosen(0), Chosen(0)}, 1, -1, -1, "123", 37},
    {"HolderDelaysTheNextTurn", {Chosen(), Chosen(), Chosen()}, 1, 0, -1, "012", 39},
    {"StuckInBootloaderStopsTheRest", {Chosen(), Chosen(), Chosen()}, 1, -1, 0, "0", 12},
    // Its bootloader answers at the standard address: the occupant stays
    // where it was moved (the journal keeps the move), and the run ends.
    {"StuckLeavesTheOccupantMoved", {Bystander(), Chosen(0), Chosen()}, 1, -1, 1, "1", 12},
    {"OccupantOfAnOccupantGoesAfterIt", {Chosen(1), Chosen(2), Chosen()}, 1, -1, -1, "012", 41},
    {"RingOfTwoEndsAsOneAfterTheOther", {Chosen(1), Chosen(0)}, 1, -1, -1, "01", 32},
    {"TwoAheadStillOneTurnAtATime", {Chosen(), Chosen(), Chosen()}, 2, -1, -1, "012", 37},
};

class PortScheduleTest : public ::testing::TestWithParam<PipelineCase> {};

TEST_P(PortScheduleTest, RunsEveryControllerSafelyInTurn) {
  const PipelineCase& c = GetParam();
  PortSchedule schedule(c.devices, c.ahead);
  Runner runner(schedule, c);
  runner.Run();
  EXPECT_TRUE(schedule.Finished());
  for (const std::string& v : runner.violations) ADD_FAILURE() << v;
  EXPECT_EQ(c.busOrder, runner.busOrder);
  EXPECT_EQ(c.lastTick, runner.endTick);
}

std::string CaseName(const ::testing::TestParamInfo<PipelineCase>& param) {
  return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(Pipelines, PortScheduleTest, ::testing::ValuesIn(kCases), CaseName);

}  // namespace
