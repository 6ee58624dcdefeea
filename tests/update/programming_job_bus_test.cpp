// Whole programming jobs against an emulated controller, through the real
// client, link and pty, judged by the emulator's report of the controller.
// Each case takes the tool's real pauses and a full image at 38400 baud
// (well over a minute), so every case is a CTest entry of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "client/bus.h"
#include "client/client.h"
#include "platform/clock.h"
#include "tests/support/emulated_bus.h"
#include "update/image_package.h"
#include "update/programmer.h"

namespace {

using test_support::EmulatedBus;
using test_support::LineFrame;

// The frame types that carry a message (the rest are the link's own).
constexpr uint8_t kDataExpectingReply = 5;
constexpr uint8_t kDataNotExpectingReply = 6;

// A clean job takes about 140 s. With 1 % of the frames lost and 0.05 % of
// the octets garbled about one block exchange in ten fails, and each failure
// costs the window of blocks already queued behind it (go-back-N): such a job
// takes about three times as long. A restart mid-transfer repeats the blocks
// sent so far.
constexpr auto kCleanJobLimit = std::chrono::seconds(170);
constexpr auto kRestartJobLimit = std::chrono::seconds(300);
constexpr auto kFaultyLineJobLimit = std::chrono::seconds(600);

std::string Scenario(const std::string& bus, const std::string& controller) {
  return bus +
         "\n[controller]\n"
         "address = 16\nhardware_id = 28\nversion = 14.00.172\nserial = 4410021\n"
         "model = QD4010A-6AC1100\nname = Boiler 1\nmax_master = 20\n" +
         controller;
}

struct JobOutcome {
  bool ended = false;
  Outcome outcome = Outcome::Done;
  DeviceRecord record;
  std::string output;
};

// Runs one programming job for the controller at 16 on a thread of its own,
// as the update steps do, until it ends or the limit passes (then it is
// stopped).
JobOutcome RunJob(std::chrono::seconds limit) {
  JobOutcome outcome;
  std::strcpy(outcome.record.portName, "Com1");
  outcome.record.address = 16;
  outcome.record.hardwareId = 28;
  outcome.record.serialNumber = 4410021;
  std::strcpy(outcome.record.modelNumber, "QD4010A-6AC1100");

  testing::internal::CaptureStdout();
  ProgrammingJob job(Client_Bus(), plat::system_clock(), &outcome.record);
  Result ending;
  std::thread runner([&job, &ending] { ending = job.Run(); });
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!job.Ended() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  outcome.ended = job.Ended();
  const ProgrammerState state = job.State();
  const uint32_t progress = job.Progress();
  job.Abort();
  runner.join();
  outcome.outcome = ending.outcome;
  outcome.output = testing::internal::GetCapturedStdout();
  if (!outcome.ended) {
    ADD_FAILURE() << "the job did not end within the limit; state " << static_cast<int>(state)
                  << ", progress " << progress;
  }
  return outcome;
}

// The end state every sound job leaves: the new firmware runs, at the
// address the device had.
void ExpectProgrammed(const std::string& scenario,
                      std::chrono::seconds limit = kCleanJobLimit) {
  EmulatedBus bus(scenario, test_support::BusOptions().ExpectedImage(BREVANE_TEST_IMAGE_FILE));
  const JobOutcome job = RunJob(limit);
  EXPECT_TRUE(job.ended);
  EXPECT_EQ(job.outcome, Outcome::Done);
  EXPECT_EQ(job.record.address, 16);
  EXPECT_EQ(Client_Close("Com1"), 0);
  bus.Stop();
  const std::string report = bus.controller(0).ReportJson();
  EXPECT_NE(report.find("\"mode\": \"application\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"protocol\": \"tarnix\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"version\": \"14.00.180\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"flash_matches_expected\": true"), std::string::npos) << report;
  EXPECT_NE(report.find("\"serial\": 4410021"), std::string::npos) << report;
}

TEST(ProgrammingJobOnABus, LeavesTheControllerRunningTheCarriedFirmware) {
  ExpectProgrammed(Scenario("", ""));
}

TEST(ProgrammingJobOnABus, SurvivesLostAndCorruptedFramesSeed1) {
  ExpectProgrammed(Scenario("[bus]\nseed = 1\nloss_rate = 0.01\ncorrupt_rate = 0.0005\n", ""),
                   kFaultyLineJobLimit);
}

TEST(ProgrammingJobOnABus, SurvivesLostAndCorruptedFramesSeed2) {
  ExpectProgrammed(Scenario("[bus]\nseed = 2\nloss_rate = 0.01\ncorrupt_rate = 0.0005\n", ""),
                   kFaultyLineJobLimit);
}

TEST(ProgrammingJobOnABus, SurvivesLostAndCorruptedFramesSeed3) {
  ExpectProgrammed(Scenario("[bus]\nseed = 3\nloss_rate = 0.01\ncorrupt_rate = 0.0005\n", ""),
                   kFaultyLineJobLimit);
}

TEST(ProgrammingJobOnABus, StartsOverAfterAPowerCutMidTransfer) {
  ExpectProgrammed(Scenario("", "power_cut_at = block 500\n"), kRestartJobLimit);
}

TEST(ProgrammingJobOnABus, StartsOverAfterARestartMidTransfer) {
  ExpectProgrammed(Scenario("", "reboot_at = block 1200\n"), kRestartJobLimit);
}

TEST(ProgrammingJobOnABus, BringsBackAControllerThatComesUpSpeakingModbus) {
  ExpectProgrammed(Scenario("", "after_update_protocol = modbus\n"));
}

// The job ends with the error, prints nothing, and nothing more goes to the
// station: the blocks queued behind the refused one are taken back before the
// link could send them. The port stays open, so the PC keeps its place in the
// token ring: token passes and polls are the link's, no message is.
TEST(ProgrammingJobOnABus, ProgrammingErrorEndsTheJobAndNothingMoreGoesToTheStation) {
  EmulatedBus bus(Scenario("", "program_error_block = 100\n"),
                  test_support::BusOptions().ExpectedImage(BREVANE_TEST_IMAGE_FILE));
  const JobOutcome job = RunJob(kCleanJobLimit);
  ASSERT_TRUE(job.ended);
  EXPECT_EQ(job.outcome, Outcome::ProgrammingError);
  EXPECT_EQ(job.output, "");
  // The bus goes on; the PC stays silent towards the station, and then
  // closes its port, handing the token on.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(Client_Close("Com1"), 0);
  bus.Stop();

  const std::vector<LineFrame> frames = bus.Frames();
  std::size_t error = frames.size();
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (frames[i].good && frames[i].src == 16 && frames[i].service == 0x8A) {
      error = i;
      break;
    }
  }
  ASSERT_LT(error, frames.size()) << "no programming error answer on the line";
  const uint8_t pc = frames[error].dest;
  std::size_t blocksBefore = 0;
  for (std::size_t i = 0; i < error; ++i) {
    blocksBefore += frames[i].src == pc && frames[i].service == 0xED ? 1u : 0u;
  }
  EXPECT_GE(blocksBefore, 101u);
  for (std::size_t i = error + 1; i < frames.size(); ++i) {
    const bool message = frames[i].type == kDataExpectingReply ||
                         frames[i].type == kDataNotExpectingReply;
    EXPECT_FALSE(frames[i].src == pc && frames[i].dest == 16 && message)
        << "frame type " << int{frames[i].type} << " to the station after its error answer";
  }
}

}  // namespace
