#include <gtest/gtest.h>

#include "update/programmer.h"

namespace {

class ScanJob : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(Programmer_Init(), 1); }
};

TEST_F(ScanJob, WaitTimesOutWhileNoJobHasEnded) {
  EXPECT_EQ(Programmer_State(), ProgrammerState::Idle);
  EXPECT_EQ(Programmer_Wait(20), ProgrammerRunning);
  EXPECT_EQ(Programmer_Progress(), 0u);
}

TEST_F(ScanJob, PortThatDoesNotOpenEndsTheJobOnceWithStatus2AndNoRecords) {
  ASSERT_EQ(Programmer_StartScan("Com254", 4, 32), 1);
  EXPECT_EQ(Programmer_State(), ProgrammerState::Scan);
  Programmer_Tick();
  EXPECT_EQ(Programmer_State(), ProgrammerState::Idle);
  EXPECT_EQ(Programmer_Wait(0), ProgrammerPortFailed);
  // Exactly one release per job: a second wait finds nothing.
  EXPECT_EQ(Programmer_Wait(20), ProgrammerRunning);
  DeviceRecord records[4];
  EXPECT_EQ(Programmer_FetchScan(records, 4), 0);
  // An idle engine does nothing at a tick.
  Programmer_Tick();
  EXPECT_EQ(Programmer_Wait(20), ProgrammerRunning);
}

}  // namespace
