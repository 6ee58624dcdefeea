// A programming job against a fake device on virtual time: every row of the
// reply table, the transfer window and go-back, the job's end.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "tests/update/fake_device.h"
#include "update/image_package.h"
#include "update/programmer.h"

namespace {

using programmer_test::BlockAnswer;
using programmer_test::BlockIndex;
using programmer_test::Bytes;
using programmer_test::FakeDevice;
using programmer_test::Request;

constexpr uint32_t kBlocks = 1904;
constexpr uint32_t kFirstBlock = 0x08003000;

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    device.Reset();
    visited.clear();
    job.reset();
    record = DeviceRecord{};
    Image_SetPolicy(YesNoSetting::Unset, YesNoSetting::Unset);
    std::strcpy(record.portName, "Com1");
    record.address = 16;
    record.hardwareId = 28;
    record.serialNumber = 4410021;
    std::strcpy(record.modelNumber, "QD4010A-6AC1100");
  }
  void TearDown() override { Image_SetPolicy(YesNoSetting::Unset, YesNoSetting::Unset); }

  // A new job for the record, as the update steps make one.
  void Start(bool defaultsWrite = true) {
    job = std::make_unique<ProgrammingJob>(device, device, &record, defaultsWrite);
    visited.clear();
  }
  ProgrammerState State() const { return job->State(); }
  // One step, then the device answers everything outstanding (unless told not to).
  void Step(bool deliver = true) {
    job->Step();
    if (deliver) device.DeliverAll();
    const ProgrammerState state = State();
    if (visited.empty() || visited.back() != state) visited.push_back(state);
  }
  // Steps until the job is in `state`; false when it did not get there.
  bool StepUntil(ProgrammerState state, int maxSteps = 20000, bool deliver = true) {
    for (int i = 0; i < maxSteps && State() != state; ++i) Step(deliver);
    return State() == state;
  }
  // Steps until the job has ended; false when it did not.
  bool StepToTheEnd(int maxSteps = 20000) {
    for (int i = 0; i < maxSteps && !job->Ended(); ++i) Step();
    return job->Ended();
  }
  Outcome Ending() const { return job->Ending().outcome; }
  // Starts a programming job and brings it to its first transfer step.
  void StartTransfer() {
    Start();
    ASSERT_TRUE(StepUntil(ProgrammerState::Transfer, 50));
  }
  std::size_t Sent(uint8_t code) const { return device.SentWithCode(code).size(); }
  const Request& LastSent() const { return device.sent.back(); }

  FakeDevice device;
  DeviceRecord record;
  std::unique_ptr<ProgrammingJob> job;
  std::vector<ProgrammerState> visited;
};

TEST_F(Engine, DeviceThatAnswersEveryBlockInOrderIsProgrammedFromEntryToDone) {
  Start();
  uint32_t lastProgress = 0;
  bool sawFull = false;
  for (int i = 0; i < 5000 && !job->Ended(); ++i) {
    Step();
    const uint32_t progress = job->Progress();
    EXPECT_GE(progress, lastProgress);
    lastProgress = progress;
    sawFull = sawFull || progress == 100;
  }
  EXPECT_TRUE(sawFull);
  ASSERT_TRUE(job->Ended());
  EXPECT_EQ(Ending(), Outcome::Done);
  // Ended once and for all: a further step does nothing.
  EXPECT_FALSE(job->Step());

  using S = ProgrammerState;
  const std::vector<S> expected{S::OpenPort,        S::EnterBootloader,    S::FindBootloader,
                                S::Prepare,         S::ReadyCheck,         S::Transfer,
                                S::TransferDone,    S::LeaveBootloader,    S::ConfirmApplication,
                                S::DefaultsWrite,   S::Done};
  // The first tick already leaves OpenPort.
  EXPECT_EQ(visited, std::vector<S>(expected.begin() + 1, expected.end()));

  // Entry message with the configured code and no answer expected, then 1 s.
  const Request& entry = device.sent.at(0);
  EXPECT_EQ(entry.data, (Bytes{0x01, 0xEA, 0x42, 0x52, 0x56, 0x4E}));
  EXPECT_FALSE(entry.expectReply);
  EXPECT_EQ(device.sleeps, (std::vector<uint32_t>{1000, 10000, 10000}));

  // Every block once, in order, 136 bytes with its address most significant first.
  const auto blocks = device.SentWithCode(0xED);
  ASSERT_EQ(blocks.size(), kBlocks);
  for (uint32_t i = 0; i < kBlocks; ++i) ASSERT_EQ(blocks[i]->BlockAddress(), kFirstBlock + 128 * i);
  EXPECT_EQ(blocks[0]->data.size(), 136u);
  EXPECT_EQ(blocks[0]->data[6], 0x00);
  EXPECT_EQ(blocks[0]->data[7], 128);
  EXPECT_EQ(blocks[1903]->BlockAddress(), 0x0803E780u);
  EXPECT_EQ(Sent(0xEF), 1u);
  EXPECT_EQ(device.SentWithCode(0x04).at(0)->data,
            (Bytes{0x01, 0x04, 0x01, 0x0D, 0x01, 0x07, 0x01, 0x1F}));
  for (const Request& r : device.sent) EXPECT_EQ(r.destination, 16);
  EXPECT_EQ(device.Outstanding(), 0u);
  EXPECT_EQ(device.withdrawn, 0u);
}

TEST_F(Engine, AnswerNamingALaterBlockIsIgnoredAndSendingRestartsAtAckedOnceTwentyAhead) {
  StartTransfer();
  for (int i = 0; i < 20; ++i) Step(false);
  ASSERT_EQ(device.Outstanding(), 20u);
  // The window is full: the next steps send nothing.
  Step(false);
  Step(false);
  EXPECT_EQ(Sent(0xED), 20u);

  // Block 0 is answered with block 1's address, the rest with their own.
  device.DeliverOneWith(BlockAnswer(kFirstBlock + 128));
  while (device.Outstanding() > 0) device.DeliverOne();
  EXPECT_EQ(job->Progress(), 0u);
  // next (20) is not more than 20 ahead of acked (0): block 20 still goes out.
  Step(false);
  EXPECT_EQ(BlockIndex(LastSent().BlockAddress()), 20u);
  // Now it is: back to block 0.
  Step(false);
  EXPECT_EQ(BlockIndex(LastSent().BlockAddress()), 0u);
  Step(false);
  EXPECT_EQ(BlockIndex(LastSent().BlockAddress()), 1u);
}

TEST_F(Engine, FailedOrRefusedBlockSendsNextBackToAckedWhileOthersAreOutstanding) {
  struct Case {
    const char* name;
    std::optional<Bytes> outcome;
  };
  for (const Case& c : {Case{"failed", std::nullopt}, Case{"refused", Bytes{0x01, 0x8C}}}) {
    SCOPED_TRACE(c.name);
    SetUp();
    StartTransfer();
    for (int i = 0; i < 6; ++i) Step(false);
    device.DeliverOne();  // block 0 acknowledged
    device.DeliverOne();  // block 1 acknowledged
    device.DeliverOneWith(c.outcome);  // block 2 lost
    ASSERT_EQ(device.Outstanding(), 3u);
    Step(false);
    EXPECT_EQ(BlockIndex(LastSent().BlockAddress()), 2u);
    // The blocks behind it are answered, but nothing past block 2 counts.
    for (int i = 0; i < 3; ++i) device.DeliverOne();
    Step(false);
    EXPECT_EQ(BlockIndex(LastSent().BlockAddress()), 3u);
    device.DeliverAll();
    EXPECT_EQ(job->Progress(), 4u * 100 / kBlocks);
    EXPECT_EQ(job->Transfer().acked, 4u);
  }
}

TEST_F(Engine, BlockAnswerAfterTheLastBlockWasAcknowledgedChangesNothing) {
  StartTransfer();
  for (uint32_t i = 0; i < kBlocks; ++i) Step();
  ASSERT_EQ(job->Progress(), 100u);
  ASSERT_EQ(State(), ProgrammerState::Transfer);
  // A late duplicate: the last block answered a second time (queued again,
  // so that the job counts it as one of its own on its way).
  const Bytes late = BlockAnswer(kFirstBlock + 128 * (kBlocks - 1));
  const Request again = device.sent.back();
  ASSERT_TRUE(device.RequestAsync("Com1", again.destination, again.data.data(),
                                  static_cast<uint16_t>(again.data.size()), true,
                                  ProgrammingJob::OnBlockReply, job.get())
                  .Ok());
  device.DeliverOneWith(late);
  EXPECT_EQ(job->Progress(), 100u);
  EXPECT_EQ(job->Transfer().acked, kBlocks);
  Step();
  EXPECT_EQ(State(), ProgrammerState::TransferDone);
  EXPECT_EQ(Sent(0xED), kBlocks + 1);
}

TEST_F(Engine, ControlAnswersMoveTheJobAsTheirTableSays) {
  using S = ProgrammerState;
  struct Row {
    const char* name;
    S state;
    std::optional<Bytes> answer;
    S after;
    bool relocates;
  };
  const Row rows[] = {
      {"prepare answered", S::Prepare, Bytes{0x01, 0xEC}, S::ReadyCheck, false},
      {"prepare refused", S::Prepare, Bytes{0x01, 0x86}, S::Prepare, false},
      {"prepare unanswered", S::Prepare, std::nullopt, S::ReadyCheck, false},
      {"ready", S::ReadyCheck, Bytes{0x01, 0xED}, S::Transfer, false},
      {"still erasing", S::ReadyCheck, Bytes{0x01, 0xEE}, S::Prepare, false},
      {"ready check unanswered", S::ReadyCheck, std::nullopt, S::ReadyCheck, true},
      {"restart answered", S::LeaveBootloader, Bytes{0x01, 0x83}, S::ConfirmApplication, false},
      {"restart unanswered", S::LeaveBootloader, std::nullopt, S::LeaveBootloader, true},
      {"application runs", S::ConfirmApplication, Bytes{0x01, 0x01, 0x1C, 0x00}, S::DefaultsWrite,
       false},
      {"still in bootloader", S::ConfirmApplication, Bytes{0x01, 0x01, 0x1C, 0xCC},
       S::LeaveBootloader, false},
      {"probe unanswered", S::ConfirmApplication, std::nullopt, S::ConfirmApplication, true},
      {"defaults written", S::DefaultsWrite, Bytes{0x01, 0x04, 0x01, 0x0D, 0x01}, S::Done, false},
      {"defaults refused", S::DefaultsWrite, Bytes{0x01, 0x82}, S::DefaultsWrite, false},
      {"defaults unanswered", S::DefaultsWrite, std::nullopt, S::Done, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    Start();
    if (row.state == S::DefaultsWrite || row.state == S::LeaveBootloader ||
        row.state == S::ConfirmApplication) {
      ASSERT_TRUE(StepUntil(row.state));
    } else {
      ASSERT_TRUE(StepUntil(row.state, 50));
    }
    Step(false);  // sends the state's message
    ASSERT_EQ(device.Outstanding(), 1u);
    device.relocateAnswer = 20;
    device.DeliverOneWith(row.answer);
    EXPECT_EQ(State(), row.after);
    const std::size_t searches = device.relocations.size();
    Step(false);  // takes the reply; relocates where it has to
    EXPECT_EQ(device.relocations.size() - searches, row.relocates ? 1u : 0u);
    if (row.relocates) {
      const FakeDevice::Search& search = device.relocations.back();
      EXPECT_EQ(search.first, 16);
      EXPECT_EQ(search.last, 31);
      EXPECT_EQ(search.selectRegister, 2492);
      EXPECT_EQ(search.model, "QD4010A-6AC1100");
      EXPECT_EQ(search.serial, 4410021);
      // Found at 20: the record follows, and the message goes there again.
      EXPECT_EQ(record.address, 20);
      EXPECT_EQ(LastSent().destination, 20);
      EXPECT_EQ(LastSent().data, device.sent.at(device.sent.size() - 2).data);
    }
    record.address = 16;
  }
}

TEST_F(Engine, ReadyCheckAnsweredStillErasingPreparesAgainAndCountsAfresh) {
  int readyChecks = 0;
  device.answer = [&](const Request& r) -> std::optional<Bytes> {
    if (r.data[1] == 0xEE) return ++readyChecks == 1 ? Bytes{0x01, 0xEE} : Bytes{0x01, 0xED};
    return FakeDevice::GoodDevice(r);
  };
  StartTransfer();
  EXPECT_EQ(Sent(0xEC), 2u);
  EXPECT_EQ(Sent(0xEE), 2u);
  // Each ready check waited 10 s for the erase before it went out.
  EXPECT_EQ(device.sleeps, (std::vector<uint32_t>{1000, 10000, 10000}));
}

// A device that falls silent at a control message is searched for: found by
// the last pass allowed, at a new address, the job goes on there to its end;
// not found, the job ends as lost after that pass instead of searching for
// ever, and the update steps take over.
TEST_F(Engine, DeviceSilentAtAControlMessageIsSearchedForALimitedNumberOfPasses) {
  struct Case {
    const char* name;
    uint8_t code;  // the message it stops answering
  };
  const uint32_t passes = ProgrammerRelocationPasses;
  for (const Case& c : {Case{"ready check", 0xEE}, Case{"restart", 0xEF},
                        Case{"presence probe", 0x01}}) {
    for (const bool comesBack : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (comesBack ? ", comes back" : ", never comes back"));
      SetUp();
      uint64_t silentFrom = 0;
      device.answer = [&](const Request& r) -> std::optional<Bytes> {
        const bool found = device.relocations.size() == passes && comesBack;
        if (r.data[1] != c.code || found) return FakeDevice::GoodDevice(r);
        if (silentFrom == 0) silentFrom = device.clockMs;
        return std::nullopt;
      };
      device.relocateAnswers.assign(passes - 1, 255);
      device.relocateAnswer = comesBack ? 21 : 255;
      Start();
      ASSERT_TRUE(StepToTheEnd());
      EXPECT_EQ(device.relocations.size(), passes);
      if (comesBack) {
        EXPECT_EQ(Ending(), Outcome::Done);
        EXPECT_EQ(record.address, 21);
        EXPECT_EQ(LastSent().destination, 21);
        EXPECT_EQ(Sent(0x04), 1u);
      } else {
        EXPECT_EQ(Ending(), Outcome::NotFound);
        // Sent once, and again after every pass but the last.
        EXPECT_EQ(Sent(c.code), passes);
        EXPECT_EQ(Sent(0x04), 0u);
        // The passes' time, and the 10 s erase wait before a ready check.
        EXPECT_LE(device.clockMs - silentFrom, passes * 60000u + 10000u);
      }
      const std::size_t sent = device.sent.size();
      for (int i = 0; i < 5; ++i) Step();
      EXPECT_EQ(device.sent.size(), sent);
      EXPECT_EQ(device.relocations.size(), passes);
    }
  }
}

TEST_F(Engine, SilencesThatTheDeviceAnswersBetweenAreCountedAfresh) {
  // Every other presence probe goes unanswered and the relocation never finds
  // the device: each silence costs one pass, but none follows another.
  int probes = 0;
  device.answer = [&](const Request& r) -> std::optional<Bytes> {
    if (r.data[1] != 0x01) return FakeDevice::GoodDevice(r);
    ++probes;
    if (probes % 2 == 1) return std::nullopt;
    return probes < 2 * static_cast<int>(ProgrammerRelocationPasses) + 2
               ? Bytes{0x01, 0x01, 0x1C, 0xCC}
               : Bytes{0x01, 0x01, 0x1C, 0x00};
  };
  Start();
  ASSERT_TRUE(StepToTheEnd());
  EXPECT_EQ(device.relocations.size(), ProgrammerRelocationPasses + 1u);
  EXPECT_EQ(Ending(), Outcome::Done);
}

TEST_F(Engine, DeviceThatAnswersAgainIsNotSearchedForBeforeEveryLaterStep) {
  int readyChecks = 0;
  device.answer = [&](const Request& r) -> std::optional<Bytes> {
    if (r.data[1] == 0xEE && ++readyChecks == 1) return std::nullopt;
    return FakeDevice::GoodDevice(r);
  };
  Start();
  ASSERT_TRUE(StepToTheEnd());
  // One search after the silent ready check, which finds nothing (a device in
  // its bootloader never shows in one); the answer to the next ready check
  // ends the searching, for the transfer and for the idle engine after it.
  EXPECT_EQ(device.relocations.size(), 1u);
  EXPECT_EQ(Ending(), Outcome::Done);
  for (int i = 0; i < 5; ++i) Step();
  EXPECT_EQ(device.relocations.size(), 1u);
}

TEST_F(Engine, FiftyTwoFailedProbesInARowEndTheJobAsDoneAfterFiftyOneRelocations) {
  int probes = 0;
  device.answer = [&](const Request& r) -> std::optional<Bytes> {
    if (r.data[1] == 0x01) return ++probes == 1 ? Bytes{0x01, 0x01, 0x1C, 0xCC} : std::optional<Bytes>{};
    return FakeDevice::GoodDevice(r);
  };
  device.relocateAnswer = 16;
  Start();
  ASSERT_TRUE(StepToTheEnd());
  // The first probe found the bootloader: the restart went out again.
  EXPECT_EQ(Sent(0xEF), 2u);
  EXPECT_EQ(probes, 1 + 52);
  EXPECT_EQ(device.relocations.size(), 51u);
  EXPECT_EQ(Sent(0x04), 0u);
  EXPECT_EQ(Ending(), Outcome::Done);
}

TEST_F(Engine, DefaultsWriteIsLeftOutWhenTheSettingSaysNo) {
  Image_SetPolicy(YesNoSetting::Unset, YesNoSetting::No);
  Start();
  ASSERT_TRUE(StepToTheEnd());
  EXPECT_EQ(Sent(0x04), 0u);
  EXPECT_EQ(Ending(), Outcome::Done);
  EXPECT_EQ(visited.at(visited.size() - 2), ProgrammerState::DefaultsWrite);
}

// A device chosen in its bootloader whose settings could not be put back
// keeps them: the front end starts its job without the factory settings.
TEST_F(Engine, DefaultsWriteIsLeftOutWhenTheJobIsStartedWithoutIt) {
  Start(false);
  ASSERT_TRUE(StepToTheEnd());
  EXPECT_EQ(Sent(0x04), 0u);
  EXPECT_EQ(Ending(), Outcome::Done);
  // The next job writes them again.
  Start();
  ASSERT_TRUE(StepToTheEnd());
  EXPECT_EQ(Sent(0x04), 1u);
}

// An interrupt stops the job at its next step wherever it is; whether the
// device may sit in its bootloader depends on whether the entry went out.
TEST_F(Engine, StoppedJobEndsAtItsNextStepAndSaysWhetherTheEntryWentOut) {
  struct Case {
    const char* name;
    ProgrammerState stopIn;
    bool entrySent;
  };
  const Case cases[] = {
      {"before the entry", ProgrammerState::EnterBootloader, false},
      {"in the transfer", ProgrammerState::Transfer, true},
      {"after the restart", ProgrammerState::ConfirmApplication, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Start();
    ASSERT_TRUE(StepUntil(c.stopIn));
    const std::size_t sent = device.sent.size();
    job->Abort();
    EXPECT_FALSE(job->Ended());
    Step();
    ASSERT_TRUE(job->Ended());
    EXPECT_EQ(Ending(), Outcome::Stopped);
    EXPECT_EQ(job->EntrySent(), c.entrySent);
    EXPECT_EQ(device.sent.size(), sent);
  }
}

// Stopped in the middle of the transfer, the job takes back the blocks still
// queued, and ends only once the one already on the bus has come back: no
// reply can then reach a job that its owner has let go.
TEST_F(Engine, StoppedJobTakesBackItsQueuedBlocksAndEndsOnceNothingIsOnItsWay) {
  StartTransfer();
  for (int i = 0; i < 6; ++i) Step(false);
  ASSERT_EQ(device.Outstanding(), 6u);
  device.oldestOnTheBus = true;
  job->Abort();
  EXPECT_TRUE(job->Step());
  EXPECT_EQ(device.withdrawn, 5u);
  EXPECT_EQ(State(), ProgrammerState::Failed);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(job->Step());
  EXPECT_FALSE(job->Ended());
  ASSERT_TRUE(device.DeliverOne());
  EXPECT_FALSE(job->Step());
  ASSERT_TRUE(job->Ended());
  EXPECT_EQ(Ending(), Outcome::Stopped);
  EXPECT_EQ(Sent(0xED), 6u);
}

TEST_F(Engine, PortThatDoesNotOpenEndsTheJobWithItsReasonAndNothingSent) {
  device.openFails = true;
  Start();
  EXPECT_FALSE(job->Step());
  ASSERT_TRUE(job->Ended());
  EXPECT_EQ(State(), ProgrammerState::Failed);
  EXPECT_EQ(Ending(), Outcome::PortNotOpened);
  EXPECT_EQ(job->Ending().text, "no such port");
  EXPECT_FALSE(job->EntrySent());
  EXPECT_TRUE(device.sent.empty());
}

TEST_F(Engine, EntryMessageThatCannotBeQueuedEndsTheJobAsEntryFailed) {
  device.queueFails = true;
  Start();
  ASSERT_TRUE(StepToTheEnd(5));
  EXPECT_EQ(Ending(), Outcome::EntryFailed);
}

// Each job owns its state: one that failed leaves nothing behind for the
// next, and two jobs alive at once on two ports keep their own counters.
TEST_F(Engine, JobsKeepTheirOwnStateWhetherOneAfterTheOtherOrSideBySide) {
  device.openFails = true;
  Start();
  ASSERT_TRUE(StepToTheEnd(5));
  ASSERT_EQ(Ending(), Outcome::PortNotOpened);
  device.openFails = false;
  Start();
  ASSERT_TRUE(StepToTheEnd());
  EXPECT_EQ(Ending(), Outcome::Done);

  SetUp();
  FakeDevice other;
  DeviceRecord otherRecord = record;
  std::strcpy(otherRecord.portName, "Com2");
  ProgrammingJob second(other, other, &otherRecord);
  StartTransfer();
  for (int i = 0; i < 20 && second.State() != ProgrammerState::Transfer; ++i) {
    second.Step();
    other.DeliverAll();
  }
  ASSERT_EQ(second.State(), ProgrammerState::Transfer);
  for (int i = 0; i < 10; ++i) Step();
  for (int i = 0; i < 3; ++i) {
    second.Step();
    other.DeliverAll();
  }
  EXPECT_EQ(job->Transfer().acked, 10u);
  EXPECT_EQ(second.Transfer().acked, 3u);
  job->Abort();
  ASSERT_TRUE(StepToTheEnd());
  EXPECT_EQ(Ending(), Outcome::Stopped);
  EXPECT_FALSE(second.Ended());
  for (int i = 0; i < 20000 && !second.Ended(); ++i) {
    second.Step();
    other.DeliverAll();
  }
  ASSERT_TRUE(second.Ended());
  EXPECT_EQ(second.Ending().outcome, Outcome::Done);
  EXPECT_EQ(other.SentWithCode(0xED).size(), kBlocks);
}

TEST_F(Engine, BootloaderIsLookedForAtTheDevicesAddressThenInTheSearchRangeWithTheEntryRepeated) {
  device.bootloaderAt = 255;
  Start();
  for (int i = 0; i < 6; ++i) Step();
  EXPECT_EQ(State(), ProgrammerState::FindBootloader);
  // The range as it was before the entry message, then two searches: the
  // device's address, then the range.
  ASSERT_EQ(device.scans.size(), 5u);
  for (std::size_t i : {0u, 2u, 4u}) {
    EXPECT_EQ(device.scans[i].first, 16);
    EXPECT_EQ(device.scans[i].last, 31);
  }
  EXPECT_EQ(device.scans[1].first, 16);
  EXPECT_EQ(device.scans[1].last, 16);
  // A lost entry message is never reported: it goes out again, 1 s before
  // every search.
  EXPECT_EQ(Sent(0xEA), 3u);
  EXPECT_EQ(device.sleeps, (std::vector<uint32_t>{1000, 1000, 1000}));
  device.bootloaderAt = 25;
  Step();
  EXPECT_EQ(State(), ProgrammerState::Prepare);
  Step();
  EXPECT_EQ(State(), ProgrammerState::ReadyCheck);
  EXPECT_EQ(LastSent().data, (Bytes{0x01, 0xEC}));
  EXPECT_EQ(LastSent().destination, 25);
}

TEST_F(Engine, DeviceNotInItsBootloaderAfterTheLastSearchAllowedIsLost) {
  // It hears the entry message only in time for search `heardAt`.
  for (const uint32_t heardAt : {ProgrammerBootloaderSearches, ProgrammerBootloaderSearches + 1}) {
    SCOPED_TRACE(heardAt);
    SetUp();
    device.bootloaderAt = 255;
    Start();
    for (int i = 0; i < 40 && !job->Ended() && State() != ProgrammerState::Prepare; ++i) {
      if (Sent(0xEA) == heardAt) device.bootloaderAt = 16;
      Step();
    }
    const bool inTime = heardAt <= ProgrammerBootloaderSearches;
    EXPECT_EQ(Sent(0xEA), std::min(heardAt, ProgrammerBootloaderSearches));
    if (inTime) {
      EXPECT_EQ(State(), ProgrammerState::Prepare);
      ASSERT_TRUE(StepToTheEnd());
      EXPECT_EQ(Ending(), Outcome::Done);
    } else {
      ASSERT_TRUE(job->Ended());
      EXPECT_EQ(Ending(), Outcome::NotFound);
      EXPECT_EQ(Sent(0xEC), 0u);
    }
  }
}

// Another unit of the same kind that was stuck in its bootloader before the
// job began fits the job's model number too: the search over the range must
// not take it for the job's device and program it in its place.
TEST_F(Engine, BootloaderThatWasThereBeforeTheEntryMessageIsNotTakenForTheDevice) {
  struct Case {
    const char* name;
    uint8_t address;              // the job's device, as chosen
    bool chosenInBootloader;
    uint32_t missedEntries;       // entry messages it misses
    uint8_t entersAt;             // where it is in its bootloader afterwards
    std::vector<uint8_t> stuck;   // others in their bootloader all along
    uint8_t prepared;             // where the prepare message goes
  };
  const Case cases[] = {
      {"missed the first entry, 19 stuck", 16, false, 1, 16, {19}, 16},
      {"came up elsewhere, 17 and 19 stuck", 16, false, 0, 23, {17, 19}, 23},
      {"chosen in its bootloader at 19, 17 stuck", 19, true, 0, 19, {17}, 19},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    record.address = c.address;
    record.inBootloader = c.chosenInBootloader ? 1 : 0;
    device.startsInBootloader = c.chosenInBootloader;
    device.stuckBootloaders = c.stuck;
    device.bootloaderAt = c.missedEntries > 0 ? 255 : c.entersAt;
    Start();
    for (int i = 0; i < 20 && State() != ProgrammerState::ReadyCheck; ++i) {
      if (Sent(0xEA) > c.missedEntries) device.bootloaderAt = c.entersAt;
      Step();
    }
    ASSERT_EQ(State(), ProgrammerState::ReadyCheck);
    EXPECT_EQ(Sent(0xEA), c.missedEntries + 1);
    for (const Request* prepare : device.SentWithCode(0xEC)) {
      EXPECT_EQ(prepare->destination, c.prepared);
    }
    ASSERT_TRUE(StepToTheEnd());
    EXPECT_EQ(Ending(), Outcome::Done);
    for (const Request* block : device.SentWithCode(0xED)) {
      ASSERT_EQ(block->destination, c.prepared);
    }
  }
}

TEST_F(Engine, WindowNeverHoldsMoreThanTwentyBlocksWhateverThePace) {
  // The device answers every k-th tick and loses every 37th block.
  for (int pace : {1, 2, 5, 30}) {
    SCOPED_TRACE(pace);
    SetUp();
    int blockAnswers = 0;
    device.answer = [&](const Request& r) -> std::optional<Bytes> {
      if (r.IsBlock() && ++blockAnswers % 37 == 0) return std::nullopt;
      return FakeDevice::GoodDevice(r);
    };
    StartTransfer();
    for (int tick = 0; tick < 40000 && State() == ProgrammerState::Transfer; ++tick) {
      Step(false);
      if (tick % pace == 0) {
        for (int i = 0; i < pace && device.DeliverOne(); ++i) {
        }
      }
      ASSERT_LE(device.Outstanding(), ProgrammerWindow);
    }
    EXPECT_EQ(State(), ProgrammerState::TransferDone);
    EXPECT_LE(device.maxOutstandingBlocks, 20u);
    if (pace >= 30) {
      EXPECT_EQ(device.maxOutstandingBlocks, 20u);
    }
  }
}

// A device that restarts after `rebootAfter` blocks comes back in its
// bootloader with its flash no longer prepared: it refuses every block until
// it is prepared again.
struct RebootingDevice {
  uint32_t rebootAfter;
  std::optional<Bytes> refusal;  // what a block gets while unprepared
  uint32_t received = 0;
  bool prepared = false;
  bool rebooted = false;
  std::vector<uint32_t> writtenAfterReboot;

  std::optional<Bytes> operator()(const Request& r) {
    if (r.data[1] == 0xEC) {
      prepared = true;
      return Bytes{0x01, 0xEC};
    }
    if (!r.IsBlock()) return FakeDevice::GoodDevice(r);
    if (!rebooted && ++received > rebootAfter) {
      rebooted = true;
      prepared = false;
    }
    if (!prepared) return refusal;
    if (rebooted) writtenAfterReboot.push_back(BlockIndex(r.BlockAddress()));
    return BlockAnswer(r.BlockAddress());
  }
};

TEST_F(Engine, DeviceThatRestartsMidTransferIsPreparedAgainAndProgrammedFromBlock0) {
  for (const std::optional<Bytes>& refusal : {std::optional<Bytes>{Bytes{0x01, 0x8C}},
                                              std::optional<Bytes>{}}) {
    SCOPED_TRACE(refusal ? "refused" : "silent");
    SetUp();
    RebootingDevice rebooting{500, refusal, 0, false, false, {}};
    device.answer = [&](const Request& r) { return rebooting(r); };
    Start();
    for (int i = 0; i < 20000 && !job->Ended(); ++i) {
      Step(false);
      device.DeliverOne();
    }
    EXPECT_EQ(Ending(), Outcome::Done);
    EXPECT_EQ(Sent(0xEC), 2u);
    EXPECT_EQ(Sent(0xEE), 2u);
    ASSERT_EQ(rebooting.writtenAfterReboot.size(), kBlocks);
    for (uint32_t i = 0; i < kBlocks; ++i) ASSERT_EQ(rebooting.writtenAfterReboot[i], i);
    EXPECT_EQ(device.Outstanding(), 0u);
  }
}

TEST_F(Engine, FewerFailuresInARowThanTheLimitOnlyGoBack) {
  // Nineteen blocks in a row fail, then the device answers again.
  int failures = 0;
  device.answer = [&](const Request& r) -> std::optional<Bytes> {
    if (r.IsBlock() && BlockIndex(r.BlockAddress()) == 300 &&
        failures < static_cast<int>(ProgrammerStallLimit) - 1) {
      ++failures;
      return Bytes{0x01, 0x8C};
    }
    return FakeDevice::GoodDevice(r);
  };
  Start();
  ASSERT_TRUE(StepToTheEnd());
  EXPECT_EQ(failures, 19);
  EXPECT_EQ(Sent(0xEC), 1u);
  EXPECT_EQ(Ending(), Outcome::Done);
}

// The device answers block 100 with its programming error while the window
// is full: the blocks queued behind it are taken back before anything else
// goes out, the job ends with the error, and nothing more is sent. The job
// prints nothing: the update steps say it.
TEST_F(Engine, ProgrammingErrorEndsTheJobAndNothingMoreGoesToTheDevice) {
  std::size_t sentAtTheError = 0;
  device.answer = [&](const Request& r) -> std::optional<Bytes> {
    if (r.IsBlock() && BlockIndex(r.BlockAddress()) == 100) {
      sentAtTheError = device.sent.size();
      return Bytes{0x01, 0x8A};
    }
    return FakeDevice::GoodDevice(r);
  };
  StartTransfer();
  for (int i = 0; i < 400 && !job->Ended(); ++i) {
    Step(false);
    if (i % 2 == 1) device.DeliverOne();
  }
  ASSERT_TRUE(job->Ended());
  EXPECT_EQ(Ending(), Outcome::ProgrammingError);
  EXPECT_EQ(State(), ProgrammerState::Failed);
  EXPECT_EQ(job->Transfer().acked, 100u);
  ASSERT_GT(sentAtTheError, 0u);
  EXPECT_EQ(device.sent.size(), sentAtTheError);
  EXPECT_EQ(device.withdrawn, ProgrammerWindow - 1);
  EXPECT_EQ(device.Outstanding(), 0u);
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(job->Step());
  EXPECT_EQ(device.sent.size(), sentAtTheError);
}

// The job on a thread of its own (Run), the device's completions on another
// and the console following the progress on a third, as in the product: the
// job runs its course (run under the thread sanitizer, this checks the words
// they share).
TEST_F(Engine, JobRunOnItsThreadWithRepliesAndConsoleOnTheirOwnRunsToItsEnd) {
  Start();
  std::atomic<bool> stop{false};
  Result result;
  std::thread runner([&] { result = job->Run(); });
  std::thread master([&] {
    while (!stop.load()) {
      if (!device.DeliverOne()) std::this_thread::yield();
    }
  });
  uint32_t lastProgress = 0;
  while (!job->Ended()) {
    const uint32_t progress = job->Progress();
    EXPECT_GE(progress, lastProgress);
    lastProgress = progress;
    std::this_thread::yield();
  }
  runner.join();
  stop = true;
  master.join();
  ASSERT_TRUE(job->Ended());
  EXPECT_EQ(result.outcome, Outcome::Done);
  EXPECT_EQ(Ending(), Outcome::Done);
  EXPECT_EQ(job->Progress(), 100u);
  EXPECT_EQ(Sent(0xED), kBlocks);
  EXPECT_EQ(device.Outstanding(), 0u);
}

}  // namespace
