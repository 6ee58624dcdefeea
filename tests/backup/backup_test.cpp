// The backup worker's rules against a fake device, with the engine's clock in
// the test's hands and the backup files in a temporary working directory.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/backup/fake_device.h"

namespace backup_test {
namespace {

using BackupRun = BackupTest;

// The record a read-instance reply gives.
Bytes Saved(const Bytes& reply) {
  const Bytes payload(reply.begin() + 2, reply.end());
  return BackupTest::Record(payload);
}
using RestoreRun = BackupTest;
using Handlers = BackupTest;

TEST_F(BackupRun, SavesEveryInstanceInClassOrderAndNeverTheLiveStatusClass) {
  device_.classes = {1, 16, 3};
  device_.instances = {{1, {1}}, {16, {1}}, {3, {2, 1}}};
  ASSERT_EQ(StartBackup("Com1", 16), 1);
  EXPECT_EQ(RunToEnd(), 0);
  const Bytes expected = Cat({Saved(FakeDevice::MadeUpInstance(1, 1)),
                              Saved(FakeDevice::MadeUpInstance(3, 2)),
                              Saved(FakeDevice::MadeUpInstance(3, 1))});
  EXPECT_EQ(Hex(ReadAll(FileName())), Hex(expected));
  for (const Bytes& m : device_.sent) EXPECT_FALSE(m.size() == 4 && m[3] == 16) << Hex(m);
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
  EXPECT_EQ(device_.settleWaits, 1);
}

TEST_F(BackupRun, ClassWithoutInstancesWritesNothingAndTheNextClassFollows) {
  device_.classes = {2, 3};
  device_.instances = {{2, {}}, {3, {1}}};
  ASSERT_EQ(StartBackup("Com1", 16), 1);
  EXPECT_EQ(RunToEnd(), 0);
  const Bytes reply = FakeDevice::MadeUpInstance(3, 1);
  EXPECT_EQ(Hex(ReadAll(FileName())), Hex(Record(Bytes(reply.begin() + 2, reply.end()))));
}

TEST_F(BackupRun, RecordHoldsTheReplyFromItsThirdByteWithItsLengthLittleEndian) {
  device_.classes = {2};
  device_.instances = {{2, {1}}};
  Bytes reply = {0x01, 0x05, 2, 1, 1, 7, 0x0A, 32};
  for (uint8_t i = 0; i < 32; ++i) reply.push_back(i);
  ASSERT_EQ(reply.size(), 40u);
  device_.instanceReplies[{2, 1}] = reply;
  ASSERT_EQ(StartBackup("Com1", 16), 1);
  EXPECT_EQ(RunToEnd(), 0);
  const Bytes file = ReadAll(FileName());
  ASSERT_EQ(file.size(), 40u);
  EXPECT_EQ(file[0], 38);
  EXPECT_EQ(file[1], 0);
  EXPECT_EQ(Hex(Bytes(file.begin() + 2, file.end())), Hex(Bytes(reply.begin() + 2, reply.end())));
}

TEST_F(BackupRun, SecondBackupLeavesTheFirstFileUntouchedAndReportsComplete) {
  ASSERT_EQ(StartBackup("Com1", 16), 1);
  ASSERT_EQ(RunToEnd(), 0);
  const Bytes first = ReadAll(FileName());
  ASSERT_FALSE(first.empty());
  device_.instanceReplies[{3, 1}] = {0x01, 0x05, 3, 1, 0};
  ASSERT_EQ(StartBackup("Com1", 16), 1);
  EXPECT_EQ(RunToEnd(), 0);
  EXPECT_EQ(Hex(ReadAll(FileName())), Hex(first));
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
}

TEST_F(BackupRun, UnansweredRequestIsSentFourTimesEachAfterASearchThenLeftOut) {
  device_.classes = {3};
  device_.instances = {{3, {1, 2}}};
  const Bytes lost = {0x01, 0x05, 3, 1};
  device_.failTimes[lost] = 4;
  ASSERT_EQ(StartBackup("Com1", 16), 1);
  EXPECT_EQ(RunToEnd(), 2);
  const std::string send = "send " + Hex(lost);
  const std::string search = "search 16-31 2492";
  std::vector<std::string> around;
  for (const std::string& entry : device_.log) {
    if (entry == send || entry == search) around.push_back(entry);
  }
  EXPECT_EQ(around, (std::vector<std::string>{send, search, send, search, send, search, send,
                                              search}));
  // A backup with an instance left out would pass for a whole one later.
  EXPECT_EQ(Backup_Worker().recordsWritten, 1u);
  EXPECT_FALSE(Backup_Worker().saved);
  EXPECT_FALSE(Exists(FileName()));
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
}

TEST_F(BackupRun, ClassListThatFailsFourTimesEndsTheRunWithoutAFile) {
  device_.failTimes[{0x01, 0x02, 0x02}] = 4;
  ASSERT_EQ(StartBackup("Com1", 16), 1);
  EXPECT_EQ(RunToEnd(), 2);
  EXPECT_FALSE(Exists(FileName()));
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
}

TEST_F(BackupRun, StartFailsWhenTheIdentityCannotBeRead) {
  device_.identityFails = true;
  EXPECT_EQ(StartBackup("Com1", 16), 0);
  EXPECT_EQ(Backup_Worker().state.load(), BackupState::WorkerIdle);
}

// Replies that claim more than they hold are used as far as they go.
TEST_F(BackupRun, ShortRepliesAreNeverReadPastTheirEndAndFailTheRun) {
  struct Case {
    const char* name;
    Bytes request;
    Bytes reply;
    size_t records;
  };
  const Case cases[] = {
      {"class list claims 5 holds 1", {0x01, 0x02, 0x02}, {0x01, 0x02, 0x02, 5, 3}, 2},
      {"class list without count", {0x01, 0x02, 0x02}, {0x01, 0x02}, 0},
      {"instance list claims 9 holds 1", {0x01, 0x02, 0x03, 3}, {0x01, 0x02, 0x03, 3, 9, 2}, 1},
      {"instance refused", {0x01, 0x05, 3, 1}, {0x01, 0x81}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(FileName());
    device_.classes = {3};
    device_.instances = {{3, {1, 2}}};
    device_.replyOverride = {{c.request, c.reply}};
    ASSERT_EQ(StartBackup("Com1", 16), 1);
    EXPECT_EQ(RunToEnd(), 2);
    EXPECT_EQ(Backup_Worker().recordsWritten, c.records);
    EXPECT_FALSE(Exists(FileName()));
  }
}

TEST_F(BackupRun, DeviceThatNeverAnswersAgainEndsTheRunAsFailedAfterThreeMinutes) {
  device_.classes = {3};
  device_.instances = {{3, {1, 2}}};
  device_.failTimes[{0x01, 0x05, 3, 2}] = 1;
  device_.foundAt = 255;
  device_.searchCostMs = 60000;
  ASSERT_EQ(StartBackup("Com1", 16), 1);
  EXPECT_EQ(RunToEnd(), 2);
  EXPECT_EQ(device_.searches, 3);
  EXPECT_GE(device_.clock, BackupLostDeviceMs);
  EXPECT_NE(device_.console.find("ERROR: Lost Communication with the device\r\n"), std::string::npos);
  EXPECT_EQ(device_.settleWaits, 0);
  EXPECT_FALSE(Exists(FileName()));
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
}

TEST_F(BackupRun, DeviceFoundAgainAtAnotherAddressIsAskedThere) {
  device_.classes = {3};
  device_.instances = {{3, {1}}};
  device_.failTimes[{0x01, 0x05, 3, 1}] = 1;
  device_.foundAt = 21;
  ASSERT_EQ(StartBackup("Com1", 16), 1);
  EXPECT_EQ(RunToEnd(), 0);
  EXPECT_EQ(Backup_Worker().address, 21);
  EXPECT_EQ(ReadAll(FileName()).size(), 2u + 10u);
}

// A run cut short (the program killed or the machine off) leaves only the
// partial file, never one under the final name; the next run replaces it.
TEST_F(BackupRun, UnfinishedBackupNeverCarriesTheFinalNameAndIsReplacedByTheNext) {
  ASSERT_EQ(StartBackup("Com1", 16), 1);
  for (int i = 0; i < 6; ++i) {
    BackupStep();
    device_.DeliverAll();
  }
  ASSERT_EQ(Backup_Worker().state.load(), BackupState::ReadInstances);
  EXPECT_FALSE(Exists(FileName()));
  EXPECT_TRUE(Exists(FileName() + ".tmp"));

  // The program ends there (the system closes its files) and starts again.
  plat::file_close(Backup_Worker().file);
  Backup_Init();
  Backup_SetSeam(&seam_);
  WriteAll(FileName() + ".tmp", Bytes(700, 0xEE));
  ASSERT_EQ(StartBackup("Com1", 16), 1);
  EXPECT_EQ(RunToEnd(), 0);
  EXPECT_EQ(ReadAll(FileName()).size(), 3u * 12u);
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
}

TEST_F(BackupRun, FailedFileWriteKeepsTheBackupFromItsFinalNameAndFailsTheRun) {
  seam_.fileWrite = [](plat::FileHandle, const void*, uint32_t, uint32_t* done) {
    *done = 0;
    return false;
  };
  ASSERT_EQ(StartBackup("Com1", 16), 1);
  EXPECT_EQ(RunToEnd(), 2);
  EXPECT_FALSE(Exists(FileName()));
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
  EXPECT_NE(device_.console.find("Can't save the settings backup " + FileName()), std::string::npos);
}

// What stands under the backup's name when a backup is finished: a whole
// earlier backup stays and is the one to restore, with the fresh one kept
// beside it; anything else is moved aside, never deleted or overwritten.
TEST_F(BackupRun, WhatStandsUnderTheNameIsNeverThrownAway) {
  const Bytes earlier = Cat({Record({2, 1, 1, 1, 0x01, 9}), Record({2, 2, 1, 1, 0x01, 8})});
  struct Case {
    const char* name;
    Bytes content;  // written under the name; empty with `directory`
    bool directory;
    bool earlierKept;
  };
  const Case cases[] = {
      {"a whole earlier backup", earlier, false, true},
      {"garbage", Bytes{'n', 'o', 't', ' ', 'a', ' ', 'b', 'a', 'c', 'k', 'u', 'p'}, false, false},
      {"an empty file", Bytes{}, false, false},
      {"a record cut short", Bytes(earlier.begin(), earlier.end() - 2), false, false},
      {"a directory", Bytes{}, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
      std::filesystem::remove_all(entry.path());
    }
    if (c.directory) {
      std::filesystem::create_directory(FileName());
    } else {
      WriteAll(FileName(), c.content);
    }
    Backup_Reset();
    ASSERT_EQ(StartBackup("Com1", 16), 1);
    EXPECT_EQ(RunToEnd(), 0);
    const BackupWorker& w = Backup_Worker();
    EXPECT_TRUE(w.saved);
    EXPECT_EQ(w.earlierKept, c.earlierKept);
    ASSERT_NE(w.keptName[0], '\0');
    const std::string kept = w.keptName;
    const std::string tag = c.earlierKept ? ".fresh-" : ".unreadable-";
    EXPECT_NE(kept.find(tag), std::string::npos) << kept;
    EXPECT_EQ(kept.rfind(".qsv"), kept.size() - 4) << kept;
    // The earlier backup, or the fresh one, under the name; the other beside.
    const std::string aside = c.earlierKept ? FileName() : kept;
    const std::string fresh = c.earlierKept ? kept : FileName();
    if (c.directory) {
      EXPECT_TRUE(std::filesystem::is_directory(aside));
    } else {
      EXPECT_EQ(Hex(ReadAll(aside)), Hex(c.content));
    }
    EXPECT_EQ(ReadAll(fresh).size(), 3u * 12u);
    EXPECT_FALSE(Exists(FileName() + ".tmp"));
  }
}

Bytes Payload(uint8_t cls, uint8_t instance, const Bytes& items, uint8_t count) {
  Bytes p = {cls, instance, count};
  p.insert(p.end(), items.begin(), items.end());
  return p;
}

Bytes WriteOf(const Bytes& payload) {
  Bytes m = {0x01, 0x0A};
  m.insert(m.end(), payload.begin(), payload.end());
  return m;
}

// The restore writes back what the file holds whole and says how much that
// was; only a file restored completely goes.
TEST_F(RestoreRun, CountsTheRecordsItWroteAndKeepsAFileItCouldNotFinish) {
  const Bytes a = Payload(2, 1, {1, 0x01, 5}, 1);
  const Bytes b = Payload(2, 2, {1, 0x01, 6}, 1);
  struct Case {
    const char* name;
    Bytes file;
    uint32_t total;
    uint32_t restored;
    bool kept;
  };
  const Bytes whole = Cat({Record(a), Record(b)});
  const Case cases[] = {
      {"whole", whole, 2, 2, false},
      {"cut inside its second record", Bytes(whole.begin(), whole.end() - 1), 1, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(FileName(), c.file);
    Backup_Reset();
    ASSERT_EQ(StartRestore("Com1", 16, 2492, true), 1);
    EXPECT_EQ(RunToEnd(), c.kept ? 2 : 0);
    EXPECT_EQ(Backup_Worker().recordsTotal, c.total);
    EXPECT_EQ(Backup_Worker().recordsRestored, c.restored);
    EXPECT_EQ(Exists(FileName()), c.kept);
  }
}

TEST_F(RestoreRun, RecordsGoBackInFileOrderAndTheFileIsDeleted) {
  const Bytes a = Payload(2, 1, {1, 0x01, 5}, 1);
  const Bytes b = Payload(2, 2, {1, 0x01, 6}, 1);
  const Bytes c = Payload(5, 4, {3, 0x03, 0x12, 0x34}, 1);
  WriteAll(FileName(), Cat({Record(a), Record(b), Record(c)}));
  ASSERT_EQ(StartRestore("Com1", 16, 28, true), 1);
  EXPECT_EQ(RunToEnd(), 0);
  const std::vector<Bytes> sent = WriteInstances();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(Hex(sent[0]), Hex(WriteOf(a)));
  EXPECT_EQ(Hex(sent[1]), Hex(WriteOf(b)));
  EXPECT_EQ(Hex(sent[2]), Hex(WriteOf(c)));
  EXPECT_FALSE(Exists(FileName()));
  EXPECT_EQ(device_.settleWaits, 1);
}

TEST_F(RestoreRun, EmptyFileSendsNothingAndIsDeleted) {
  WriteAll(FileName(), {});
  ASSERT_EQ(StartRestore("Com1", 16, 28, true), 1);
  EXPECT_EQ(RunToEnd(), 0);
  EXPECT_TRUE(WriteInstances().empty());
  EXPECT_FALSE(Exists(FileName()));
  EXPECT_TRUE(Backup_Worker().fileOpened);
}

TEST_F(RestoreRun, WithoutABackupInThisRunTheFileIsNotRead) {
  WriteAll(FileName(), Record(Payload(2, 1, {}, 0)));
  ASSERT_EQ(StartRestore("Com1", 16, 28, false), 1);
  EXPECT_EQ(RunToEnd(), 0);
  EXPECT_TRUE(WriteInstances().empty());
  EXPECT_TRUE(Exists(FileName()));
}

TEST_F(RestoreRun, InputRecordLosesItsReadOnlyCalibrationMember) {
  // member 1 type 1; member 7 type 13 (3 bytes); member 9 the text "C"
  const Bytes items = {1, 0x01, 9, 7, 0x0D, 1, 2, 3, 9, 0x09, 2, 'C', 0};
  const Bytes withoutCalibration = {1, 0x01, 9, 9, 0x09, 2, 'C', 0};
  WriteAll(FileName(), Cat({Record(Payload(3, 2, items, 3)), Record(Payload(2, 1, items, 3)),
                            Record(Payload(3, 1, withoutCalibration, 2))}));
  ASSERT_EQ(StartRestore("Com1", 16, 28, true), 1);
  EXPECT_EQ(RunToEnd(), 0);
  const std::vector<Bytes> sent = WriteInstances();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(Hex(sent[0]), Hex(WriteOf(Payload(3, 2, withoutCalibration, 2))));
  EXPECT_EQ(sent[0].size(), WriteOf(Payload(3, 2, items, 3)).size() - 5);
  EXPECT_EQ(Hex(sent[1]), Hex(WriteOf(Payload(2, 1, items, 3))));
  EXPECT_EQ(Hex(sent[2]), Hex(WriteOf(Payload(3, 1, withoutCalibration, 2))));
}

TEST(DropMember, LeavesMessagesItCannotWalkUnchanged) {
  struct Case {
    const char* name;
    Bytes message;
    Bytes expected;
  };
  const Case cases[] = {
      {"first item", {1, 10, 3, 1, 2, 7, 0x01, 5, 9, 0x01, 6}, {1, 10, 3, 1, 1, 9, 0x01, 6}},
      {"last item", {1, 10, 3, 1, 2, 1, 0x01, 5, 7, 0x05, 0, 0, 0, 1}, {1, 10, 3, 1, 1, 1, 0x01, 5}},
      {"no items", {1, 10, 3, 1, 0}, {1, 10, 3, 1, 0}},
      {"no such member", {1, 10, 3, 1, 1, 9, 0x01, 5}, {1, 10, 3, 1, 1, 9, 0x01, 5}},
      {"count beyond the items", {1, 10, 3, 1, 4, 9, 0x01, 5}, {1, 10, 3, 1, 4, 9, 0x01, 5}},
      {"value runs past the end", {1, 10, 3, 1, 2, 9, 0x05, 0, 7, 0x01, 5},
       {1, 10, 3, 1, 2, 9, 0x05, 0, 7, 0x01, 5}},
      {"no count byte", {1, 10, 3, 1}, {1, 10, 3, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buffer = c.message;
    buffer.resize(64, 0xAA);
    uint16_t length = static_cast<uint16_t>(c.message.size());
    DropMember(buffer.data(), &length, 7);
    EXPECT_EQ(Hex(Bytes(buffer.begin(), buffer.begin() + length)), Hex(c.expected));
  }
}

TEST_F(RestoreRun, RecordThatFailsFourTimesIsSkippedAndTheFileKept) {
  const Bytes a = Payload(2, 1, {1, 0x01, 5}, 1);
  const Bytes b = Payload(5, 3, {1, 0x01, 6}, 1);
  WriteAll(FileName(), Cat({Record(a), Record(b)}));
  device_.failTimes[WriteOf(a)] = 4;
  ASSERT_EQ(StartRestore("Com1", 16, 28, true), 1);
  EXPECT_EQ(RunToEnd(), 2);
  const std::vector<Bytes> sent = WriteInstances();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(Hex(sent[4]), Hex(WriteOf(b)));
  EXPECT_EQ(device_.searches, 4);
  EXPECT_NE(device_.console.find("Restoring Class 2 Instance 1 Timed Out\r\n"), std::string::npos);
  EXPECT_TRUE(Exists(FileName()));
}

TEST_F(RestoreRun, RecordsThatCannotBeSentAreSkippedOrEndTheFileKeepingIt) {
  const Bytes good = Record(Payload(2, 1, {1, 0x01, 5}, 1));
  Bytes tooLong = Record(Payload(2, 2, Bytes(BackupLongestRecord - 2, 0), 0));
  ASSERT_EQ(tooLong.size(), 2u + BackupLongestRecord + 1);
  struct Case {
    const char* name;
    Bytes file;
    size_t sent;
    const char* message;
  };
  const Case cases[] = {
      {"longer than a message", Cat({tooLong, good}), 1, "is not that of a settings record"},
      {"too short for a record", Cat({Record({2, 1}), good}), 1, "is not that of a settings record"},
      {"payload cut short", Cat({good, Bytes{9, 0, 2, 1, 1}}), 1, "could not be read to its end"},
      {"length cut short", Cat({good, Bytes{9}}), 1, "could not be read to its end"},
      {"nothing behind the length", Cat({good, Bytes{9, 0}}), 1, "could not be read to its end"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device_.sent.clear();
    device_.console.clear();
    WriteAll(FileName(), c.file);
    ASSERT_EQ(StartRestore("Com1", 16, 28, true), 1);
    EXPECT_EQ(RunToEnd(), 2);
    const std::vector<Bytes> sent = WriteInstances();
    ASSERT_EQ(sent.size(), c.sent);
    EXPECT_EQ(Hex(sent[0]), Hex(WriteOf(Payload(2, 1, {1, 0x01, 5}, 1))));
    EXPECT_NE(device_.console.find(c.message), std::string::npos) << device_.console;
    EXPECT_EQ(ReadAll(FileName()), c.file);
  }
}

TEST_F(RestoreRun, SettleWaitReadsUntilTheValueHoldsAndReportsALostDevice) {
  ASSERT_EQ(StartRestore("Com1", 16, 28, true), 1);
  device_.settleValues = {4, 5, 5};
  const uint32_t before = device_.clock;
  WaitSettledValue(3);
  EXPECT_EQ(device_.clock - before, 3000u);
  EXPECT_EQ(Backup_Worker().result, 0);

  device_.settleReadFailures = 1;
  device_.foundAt = 255;
  WaitSettledValue(5);
  EXPECT_EQ(Backup_Worker().result, 2);
  EXPECT_EQ(Backup_Worker().address, 255);
  EXPECT_NE(device_.console.find("ERROR: Lost Communication with the device\r\n"), std::string::npos);
}

TEST_F(RestoreRun, SettleWaitThatNeverHoldsStillEndsAtItsLimitWithoutFailingTheRun) {
  struct Case {
    const char* name;
    bool readsFail;  // found by every search, but no read answered
  };
  for (const Case& c : {Case{"value keeps changing", false}, Case{"reads fail", true}}) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(StartRestore("Com1", 16, 28, true), 1);
    device_.settleValues.clear();
    for (uint32_t v = 1; v < 1000; ++v) device_.settleValues.push_back(v);
    device_.settleReadFailures = c.readsFail ? 1000 : 0;
    device_.foundAt = 16;
    device_.searchCostMs = 5000;
    const uint32_t before = device_.clock;
    WaitSettledValue(0);
    const uint32_t waited = device_.clock - before;
    EXPECT_GE(waited, BackupSettleLimitMs);
    // At most one more poll, with its search, after the limit.
    EXPECT_LE(waited, BackupSettleLimitMs + 1000u + device_.searchCostMs);
    EXPECT_EQ(Backup_Worker().result, 0);
    EXPECT_EQ(device_.console.find("Lost Communication"), std::string::npos);
  }
}

// The handlers block on the main thread while a worker steps the engine.
class HandlerTest : public BackupTest {
 protected:
  static RestorePlan Plan(bool foundInBootloader, bool backupTaken) {
    RestorePlan plan;
    plan.foundInBootloader = foundInBootloader;
    plan.backupTaken = backupTaken;
    return plan;
  }
  void SetUp() override {
    BackupTest::SetUp();
    worker_ = std::thread([this] {
      while (!stop_.load()) {
        BackupStep();
        device_.DeliverAll();
        std::this_thread::yield();
      }
    });
  }
  void TearDown() override {
    stop_.store(true);
    worker_.join();
    BackupTest::TearDown();
  }
  DeviceRecord Device(int32_t inBootloader = 0) const {
    DeviceRecord d;
    std::snprintf(d.portName, sizeof d.portName, "Com1");
    d.address = 16;
    d.hardwareId = 28;
    d.inBootloader = inBootloader;
    d.serialNumber = device_.serial;
    std::snprintf(d.modelNumber, sizeof d.modelNumber, "%s", device_.model.c_str());
    return d;
  }
  std::atomic<bool> stop_{false};
  std::thread worker_;
};

TEST_F(HandlerTest, BackupIsTakenUnlessInBootloaderOrSwitchedOff) {
  struct Case {
    const char* name;
    int32_t inBootloader;
    YesNoSetting backup;
    SettingsOutcome outcome;
    const char* console;
  };
  const Case cases[] = {
      {"taken", 0, YesNoSetting::Unset, SettingsOutcome::Complete,
       "Backing up Device Settings...Complete\r\n"},
      {"bootloader", 1, YesNoSetting::Unset, SettingsOutcome::NotTaken, ""},
      {"-bNO", 0, YesNoSetting::No, SettingsOutcome::NotTaken, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(FileName());
    {
      std::lock_guard<std::recursive_mutex> guard(device_.lock);
      device_.console.clear();
      device_.sent.clear();
    }
    Image_SetPolicy(c.backup, YesNoSetting::Unset);
    DeviceRecord d = Device(c.inBootloader);
    SettingsOutcome outcome = SettingsOutcome::Failed;
    EXPECT_EQ(BackupDevice(&d, &outcome), MenuState::StartProgramming);
    EXPECT_EQ(outcome, c.outcome);
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    EXPECT_EQ(device_.console, c.console);
    EXPECT_EQ(Exists(FileName()), c.outcome == SettingsOutcome::Complete);
  }
}

// A backup that was wanted but could not be taken is a failed one: the
// summary must not call the device updated once the factory settings are
// written over its own.
TEST_F(HandlerTest, BackupThatCannotStartIsReportedAsFailed) {
  device_.identityFails = true;
  DeviceRecord d = Device();
  SettingsOutcome outcome = SettingsOutcome::Complete;
  // The device is then left as it was: no programming follows.
  EXPECT_EQ(BackupDevice(&d, &outcome), MenuState::FinishDevice);
  EXPECT_EQ(outcome, SettingsOutcome::Failed);
  std::lock_guard<std::recursive_mutex> guard(device_.lock);
  EXPECT_EQ(device_.console.rfind("Can't create backup for device settings.\r\n", 0), 0u);
  EXPECT_FALSE(Exists(FileName()));
}

// One identity read lost on the line does not cost the device its backup.
TEST_F(HandlerTest, BackupStartsAgainAfterAFailedIdentityRead) {
  device_.identityFailures = 1;
  DeviceRecord d = Device();
  SettingsOutcome outcome = SettingsOutcome::Failed;
  EXPECT_EQ(BackupDevice(&d, &outcome), MenuState::StartProgramming);
  EXPECT_EQ(outcome, SettingsOutcome::Complete);
  EXPECT_TRUE(Exists(FileName()));
}

TEST_F(HandlerTest, BackupUpdatesTheAddressOfADeviceThatMoved) {
  DeviceRecord d = Device();
  {
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    device_.foundAt = 22;
  }
  SettingsOutcome outcome = SettingsOutcome::Failed;
  BackupDevice(&d, &outcome);
  EXPECT_EQ(d.address, 22);
}

TEST_F(HandlerTest, BackupThenRestoreWritesTheSettingsBackAfterTheDefaultsWrite) {
  DeviceRecord d = Device();
  SettingsOutcome outcome = SettingsOutcome::Failed;
  BackupDevice(&d, &outcome);
  ASSERT_EQ(outcome, SettingsOutcome::Complete);
  EXPECT_EQ(RestoreDevice(&d, Plan(false, true), &outcome), MenuState::FinishDevice);
  EXPECT_EQ(outcome, SettingsOutcome::Complete);
  std::lock_guard<std::recursive_mutex> guard(device_.lock);
  ASSERT_EQ(device_.memberWrites.size(), 1u);
  EXPECT_EQ(Hex(device_.memberWrites[0]), Hex({1, 13, 1, 7, 31}));
  EXPECT_EQ(WriteInstances().size(), 3u);
  EXPECT_FALSE(Exists(FileName()));
  EXPECT_NE(device_.console.find("Restoring Device Settings...Complete\r\n"), std::string::npos);
}

TEST_F(HandlerTest, RestoreFollowsTheBackupAndDefaultsSettings) {
  struct Case {
    const char* name;
    YesNoSetting backup;
    YesNoSetting defaults;
    size_t defaultsWrites;
    SettingsOutcome outcome;
  };
  const Case cases[] = {
      {"-fNO", YesNoSetting::Unset, YesNoSetting::No, 0, SettingsOutcome::Complete},
      {"-bNO", YesNoSetting::No, YesNoSetting::Unset, 1, SettingsOutcome::NotTaken},
      {"both NO", YesNoSetting::No, YesNoSetting::No, 0, SettingsOutcome::NotTaken},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(FileName(), Record(Payload(2, 1, {1, 0x01, 5}, 1)));
    {
      std::lock_guard<std::recursive_mutex> guard(device_.lock);
      device_.memberWrites.clear();
      device_.sent.clear();
    }
    Image_SetPolicy(c.backup, c.defaults);
    DeviceRecord d = Device();
    SettingsOutcome outcome = SettingsOutcome::Failed;
    EXPECT_EQ(RestoreDevice(&d, Plan(true, false), &outcome), MenuState::FinishDevice);
    EXPECT_EQ(outcome, c.outcome);
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    EXPECT_EQ(device_.memberWrites.size(), c.defaultsWrites);
    EXPECT_EQ(WriteInstances().size(), c.outcome == SettingsOutcome::Complete ? 1u : 0u);
    EXPECT_EQ(Exists(FileName()), c.outcome != SettingsOutcome::Complete);
  }
}

TEST_F(HandlerTest, RecoveredDeviceGetsTheSettingsOfAnEarlierProgramRun) {
  WriteAll(FileName(), Record(Payload(2, 1, {1, 0x01, 5}, 1)));
  DeviceRecord d = Device(1);
  std::snprintf(d.modelNumber, sizeof d.modelNumber, "QD4XXXX-XXXXXXX");  // as the bootloader says
  d.serialNumber = 0;
  SettingsOutcome outcome = SettingsOutcome::Failed;
  EXPECT_EQ(RestoreDevice(&d, Plan(true, false), &outcome), MenuState::FinishDevice);
  EXPECT_EQ(outcome, SettingsOutcome::Complete);
  std::lock_guard<std::recursive_mutex> guard(device_.lock);
  EXPECT_EQ(device_.scans, 1);  // the record was refreshed before the defaults write
  EXPECT_EQ(WriteInstances().size(), 1u);
  EXPECT_FALSE(Exists(FileName()));
}

TEST_F(HandlerTest, WithoutBackupOrRecoveryThereIsNothingToRestore) {
  WriteAll(FileName(), Record(Payload(2, 1, {1, 0x01, 5}, 1)));
  DeviceRecord d = Device();
  SettingsOutcome outcome = SettingsOutcome::Failed;
  RestoreDevice(&d, Plan(false, false), &outcome);
  EXPECT_EQ(outcome, SettingsOutcome::NotTaken);
  EXPECT_TRUE(Exists(FileName()));
  std::lock_guard<std::recursive_mutex> guard(device_.lock);
  EXPECT_NE(device_.console.find("Restoring Device Settings...nothing restored"), std::string::npos);
}

TEST_F(HandlerTest, OperatorIsAskedUntilTheDeviceIsBackAndEndOfInputGivesUp) {
  WriteAll(FileName(), Record(Payload(2, 1, {1, 0x01, 5}, 1)));
  {
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    device_.foundAt = 255;
    device_.keys = {0, 0, 'x'};
  }
  DeviceRecord d = Device();
  d.address = 20;
  SettingsOutcome outcome = SettingsOutcome::Complete;
  EXPECT_EQ(AwaitDeviceOnBus(&d), 255);
  {
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    EXPECT_EQ(device_.searches, 2);  // again after the key, not after the zero codes
    const std::string prompt =
        "Please change 'PCoL' to 'Std' and 'Ad.S' to 5 in the SEt->CoM menu.\r\n"
        "Press any key when ready.\r\n";
    EXPECT_EQ(device_.console, prompt + prompt);
    device_.console.clear();
  }
  EXPECT_EQ(RestoreDevice(&d, Plan(true, false), &outcome), MenuState::FinishDevice);
  EXPECT_EQ(outcome, SettingsOutcome::Failed);
  EXPECT_TRUE(Exists(FileName()));
  std::lock_guard<std::recursive_mutex> guard(device_.lock);
  EXPECT_TRUE(WriteInstances().empty());
  EXPECT_NE(device_.console.find("Standard input ended"), std::string::npos);
}

TEST_F(HandlerTest, RestoreThatCannotStartGivesUpAfterFiveAttempts) {
  WriteAll(FileName(), Record(Payload(2, 1, {1, 0x01, 5}, 1)));
  {
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    device_.identityFails = true;
  }
  DeviceRecord d = Device();
  SettingsOutcome outcome = SettingsOutcome::Complete;
  EXPECT_EQ(RestoreDevice(&d, Plan(true, false), &outcome), MenuState::FinishDevice);
  EXPECT_EQ(outcome, SettingsOutcome::Failed);
  std::lock_guard<std::recursive_mutex> guard(device_.lock);
  EXPECT_EQ(device_.searches, RestoreStartAttempts);
  EXPECT_TRUE(Exists(FileName()));
  EXPECT_NE(device_.console.find("Can't restore device settings"), std::string::npos);
}

}  // namespace
}  // namespace backup_test
