// The backup engine's rules against a fake device, with the engine's clock in
// the test's hands and the backup files in a temporary working directory.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/backup/fake_device.h"

namespace backup_test {
namespace {

using Backup = BackupTest;

// The record a read-instance reply gives.
Bytes Saved(const Bytes& reply) {
  const Bytes payload(reply.begin() + 2, reply.end());
  return BackupTest::Record(payload);
}
using RestoreRun = BackupTest;

Bytes Payload(uint8_t cls, uint8_t instance, const Bytes& items, uint8_t count) {
  Bytes p = {cls, instance, count};
  p.insert(p.end(), items.begin(), items.end());
  return p;
}

TEST_F(Backup, SavesEveryInstanceInClassOrderAndNeverTheLiveStatusClass) {
  device_.classes = {1, 16, 3};
  device_.instances = {{1, {1}}, {16, {1}}, {3, {2, 1}}};
  ASSERT_TRUE(run_.StartBackup("Com1", 16).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::Done);
  const Bytes expected = Cat({Saved(FakeDevice::MadeUpInstance(1, 1)),
                              Saved(FakeDevice::MadeUpInstance(3, 2)),
                              Saved(FakeDevice::MadeUpInstance(3, 1))});
  EXPECT_EQ(Hex(ReadAll(FileName())), Hex(expected));
  for (const Bytes& m : device_.sent) EXPECT_FALSE(m.size() == 4 && m[3] == 16) << Hex(m);
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
  EXPECT_EQ(device_.settleWaits, 1);
}

// Two runs alive at once on one port, for two devices, each stepped in turn:
// every reply reaches the run that asked, so each saves its own device whole.
TEST_F(Backup, TwoRunsOnOnePortEachGetTheirOwnReplies) {
  BackupRun other(device_, clock_, files_, notices_);
  ASSERT_TRUE(run_.StartBackup("Com1", 16).Ok());
  ASSERT_TRUE(other.StartBackup("Com1", 17).Ok());
  bool firstEnded = false;
  bool otherEnded = false;
  for (int i = 0; i < 1000 && !(firstEnded && otherEnded); ++i) {
    firstEnded = run_.Step();
    otherEnded = other.Step();
    device_.DeliverAll();
  }
  ASSERT_TRUE(firstEnded && otherEnded);
  EXPECT_TRUE(run_.RunResult().Ok());
  EXPECT_TRUE(other.RunResult().Ok());
  EXPECT_EQ(run_.Facts().recordsWritten, 3u);
  EXPECT_EQ(other.Facts().recordsWritten, 3u);
  EXPECT_EQ(ReadAll(FileName()).size(), 3u * 12u);
  EXPECT_EQ(ReadAll("QD4010A-6AC11004410022-31.qsv").size(), 3u * 12u);
  EXPECT_EQ(device_.settleWaits, 2);
}

TEST_F(Backup, ClassWithoutInstancesWritesNothingAndTheNextClassFollows) {
  device_.classes = {2, 3};
  device_.instances = {{2, {}}, {3, {1}}};
  ASSERT_TRUE(run_.StartBackup("Com1", 16).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::Done);
  const Bytes reply = FakeDevice::MadeUpInstance(3, 1);
  EXPECT_EQ(Hex(ReadAll(FileName())), Hex(Record(Bytes(reply.begin() + 2, reply.end()))));
}

TEST_F(Backup, RecordHoldsTheReplyFromItsThirdByteWithItsLengthLittleEndian) {
  device_.classes = {2};
  device_.instances = {{2, {1}}};
  Bytes reply = {0x01, 0x05, 2, 1, 1, 7, 0x0A, 32};
  for (uint8_t i = 0; i < 32; ++i) reply.push_back(i);
  ASSERT_EQ(reply.size(), 40u);
  device_.instanceReplies[{2, 1}] = reply;
  ASSERT_TRUE(run_.StartBackup("Com1", 16).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::Done);
  const Bytes file = ReadAll(FileName());
  ASSERT_EQ(file.size(), 40u);
  EXPECT_EQ(file[0], 38);
  EXPECT_EQ(file[1], 0);
  EXPECT_EQ(Hex(Bytes(file.begin() + 2, file.end())), Hex(Bytes(reply.begin() + 2, reply.end())));
}

TEST_F(Backup, SecondBackupLeavesTheFirstFileUntouchedAndReportsComplete) {
  ASSERT_TRUE(run_.StartBackup("Com1", 16).Ok());
  ASSERT_EQ(RunToEnd().outcome, Outcome::Done);
  const Bytes first = ReadAll(FileName());
  ASSERT_FALSE(first.empty());
  device_.instanceReplies[{3, 1}] = {0x01, 0x05, 3, 1, 0};
  ASSERT_TRUE(run_.StartBackup("Com1", 16).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::Done);
  EXPECT_EQ(Hex(ReadAll(FileName())), Hex(first));
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
}

TEST_F(Backup, UnansweredRequestIsSentFourTimesEachAfterASearchThenLeftOut) {
  device_.classes = {3};
  device_.instances = {{3, {1, 2}}};
  const Bytes lost = {0x01, 0x05, 3, 1};
  device_.failTimes[lost] = 4;
  ASSERT_TRUE(run_.StartBackup("Com1", 16).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::SettingFailed);
  const std::string send = "send " + Hex(lost);
  const std::string search = "search 16-31 2492";
  std::vector<std::string> around;
  for (const std::string& entry : device_.log) {
    if (entry == send || entry == search) around.push_back(entry);
  }
  EXPECT_EQ(around, (std::vector<std::string>{send, search, send, search, send, search, send,
                                              search}));
  // A backup with an instance left out would pass for a whole one later.
  EXPECT_EQ(run_.Facts().recordsWritten, 1u);
  EXPECT_FALSE(run_.Facts().saved);
  EXPECT_EQ(notices_.Events(), std::vector<BackupEvent>{BackupEvent::Incomplete});
  EXPECT_FALSE(Exists(FileName()));
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
}

TEST_F(Backup, ClassListThatFailsFourTimesEndsTheRunWithoutAFile) {
  device_.failTimes[{0x01, 0x02, 0x02}] = 4;
  ASSERT_TRUE(run_.StartBackup("Com1", 16).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::SettingFailed);
  EXPECT_FALSE(Exists(FileName()));
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
}

TEST_F(Backup, StartFailsWhenTheIdentityCannotBeRead) {
  device_.identityFails = true;
  EXPECT_EQ(run_.StartBackup("Com1", 16).outcome, Outcome::NoAnswer);
  EXPECT_EQ(run_.State(), BackupState::Idle);
  EXPECT_TRUE(run_.Step());
  EXPECT_TRUE(device_.sent.empty());
}

// Replies that claim more than they hold are used as far as they go.
TEST_F(Backup, ShortRepliesAreNeverReadPastTheirEndAndFailTheRun) {
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
    ASSERT_TRUE(run_.StartBackup("Com1", 16).Ok());
    EXPECT_EQ(RunToEnd().outcome, Outcome::SettingFailed);
    EXPECT_EQ(run_.Facts().recordsWritten, c.records);
    EXPECT_FALSE(Exists(FileName()));
  }
}

TEST_F(Backup, DeviceThatNeverAnswersAgainEndsTheRunAsFailedAfterThreeMinutes) {
  device_.classes = {3};
  device_.instances = {{3, {1, 2}}};
  device_.failTimes[{0x01, 0x05, 3, 2}] = 1;
  device_.foundAt = 255;
  device_.searchCostMs = 60000;
  ASSERT_TRUE(run_.StartBackup("Com1", 16).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::NotFound);
  EXPECT_EQ(device_.searches, 3);
  EXPECT_GE(device_.clock, BackupLostDeviceMs);
  EXPECT_TRUE(run_.Facts().deviceLost);
  EXPECT_EQ(notices_.Events(), std::vector<BackupEvent>{BackupEvent::DeviceLost});
  EXPECT_EQ(device_.settleWaits, 0);
  EXPECT_FALSE(Exists(FileName()));
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
}

// A stop ends the run only once the request on the bus has completed, and
// then without the settle wait: a backup leaves no file, a restore keeps its.
TEST_F(Backup, StopEndsTheRunAfterTheRequestOnTheBus) {
  struct Case {
    const char* name;
    bool restore;
  };
  for (const Case& c : {Case{"backup", false}, Case{"restore", true}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(FileName());
    const Bytes file = Cat({Record(Payload(2, 1, {1, 0x01, 5}, 1)), Record(Payload(2, 2, {1, 0x01, 6}, 1))});
    if (c.restore) WriteAll(FileName(), file);
    device_.settleWaits = 0;
    ASSERT_TRUE(c.restore ? run_.StartRestore("Com1", 16, 28, true).Ok() : run_.StartBackup("Com1", 16).Ok());
    // Up to the first request that moves the run into its file.
    for (int i = 0; i < 3; ++i) {
      ASSERT_FALSE(run_.Step());
      if (i < 2) device_.DeliverAll();
    }
    ASSERT_EQ(device_.queued.size(), 1u);
    const size_t sentBefore = device_.sent.size();
    run_.Stop();
    EXPECT_FALSE(run_.Step());  // the request is still on the bus
    EXPECT_EQ(device_.sent.size(), sentBefore);
    EXPECT_EQ(RunToEnd().outcome, Outcome::Stopped);
    EXPECT_EQ(device_.sent.size(), sentBefore);
    EXPECT_TRUE(run_.Facts().stopped);
    EXPECT_EQ(device_.settleWaits, 0);
    EXPECT_EQ(Exists(FileName()), c.restore);
    if (c.restore) {
      EXPECT_EQ(ReadAll(FileName()), file);
    }
    EXPECT_FALSE(Exists(FileName() + ".tmp"));
  }
}

TEST_F(Backup, DeviceFoundAgainAtAnotherAddressIsAskedThere) {
  device_.classes = {3};
  device_.instances = {{3, {1}}};
  device_.failTimes[{0x01, 0x05, 3, 1}] = 1;
  device_.foundAt = 21;
  ASSERT_TRUE(run_.StartBackup("Com1", 16).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::Done);
  EXPECT_EQ(run_.Facts().address, 21);
  EXPECT_EQ(ReadAll(FileName()).size(), 2u + 10u);
}

// A run cut short (the program killed or the machine off) leaves only the
// partial file, never one under the final name; the next run replaces it.
TEST_F(Backup, UnfinishedBackupNeverCarriesTheFinalNameAndIsReplacedByTheNext) {
  {
    BackupRun cut(device_, clock_, files_, notices_);
    ASSERT_TRUE(cut.StartBackup("Com1", 16).Ok());
    for (int i = 0; i < 6; ++i) {
      cut.Step();
      device_.DeliverAll();
    }
    ASSERT_EQ(cut.State(), BackupState::ReadInstances);
    EXPECT_FALSE(Exists(FileName()));
    EXPECT_TRUE(Exists(FileName() + ".tmp"));
    // The program ends there (the system closes its files) and starts again.
  }
  EXPECT_TRUE(Exists(FileName() + ".tmp"));
  WriteAll(FileName() + ".tmp", Bytes(700, 0xEE));
  ASSERT_TRUE(run_.StartBackup("Com1", 16).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::Done);
  EXPECT_EQ(ReadAll(FileName()).size(), 3u * 12u);
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
}

TEST_F(Backup, FailedFileWriteKeepsTheBackupFromItsFinalNameAndFailsTheRun) {
  files_.FailWritesTo(".qsv");
  ASSERT_TRUE(run_.StartBackup("Com1", 16).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::FileFailed);
  EXPECT_FALSE(run_.Facts().saved);
  EXPECT_FALSE(Exists(FileName()));
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
  const std::vector<BackupNotice> told = notices_.All();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].event, BackupEvent::NotSaved);
  EXPECT_EQ(told[0].step, BackupSaveStep::Write);
  EXPECT_EQ(told[0].text, run_.RunResult().text);
}

// What stands under the backup's name when a backup is finished: a whole
// earlier backup stays and is the one to restore, with the fresh one kept
// beside it; anything else is moved aside, never deleted or overwritten.
TEST_F(Backup, WhatStandsUnderTheNameIsNeverThrownAway) {
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
    notices_.Clear();
    ASSERT_TRUE(run_.StartBackup("Com1", 16).Ok());
    EXPECT_EQ(RunToEnd().outcome, Outcome::Done);
    const BackupFacts& w = run_.Facts();
    EXPECT_TRUE(w.saved);
    EXPECT_EQ(notices_.Events(), std::vector<BackupEvent>{c.earlierKept ? BackupEvent::EarlierRestored
                                                                        : BackupEvent::MovedAside});
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
    ASSERT_TRUE(run_.StartRestore("Com1", 16, 2492, true).Ok());
    EXPECT_EQ(RunToEnd().outcome, c.kept ? Outcome::FileDamaged : Outcome::Done);
    EXPECT_EQ(run_.Facts().recordsTotal, c.total);
    EXPECT_EQ(run_.Facts().recordsRestored, c.restored);
    EXPECT_EQ(Exists(FileName()), c.kept);
  }
}

TEST_F(RestoreRun, RecordsGoBackInFileOrderAndTheFileIsDeleted) {
  const Bytes a = Payload(2, 1, {1, 0x01, 5}, 1);
  const Bytes b = Payload(2, 2, {1, 0x01, 6}, 1);
  const Bytes c = Payload(5, 4, {3, 0x03, 0x12, 0x34}, 1);
  WriteAll(FileName(), Cat({Record(a), Record(b), Record(c)}));
  ASSERT_TRUE(run_.StartRestore("Com1", 16, 28, true).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::Done);
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
  ASSERT_TRUE(run_.StartRestore("Com1", 16, 28, true).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::Done);
  EXPECT_TRUE(WriteInstances().empty());
  EXPECT_FALSE(Exists(FileName()));
  EXPECT_TRUE(run_.Facts().fileOpened);
}

TEST_F(RestoreRun, WithoutABackupInThisRunTheFileIsNotRead) {
  WriteAll(FileName(), Record(Payload(2, 1, {}, 0)));
  ASSERT_TRUE(run_.StartRestore("Com1", 16, 28, false).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::Done);
  EXPECT_TRUE(WriteInstances().empty());
  EXPECT_TRUE(Exists(FileName()));
}

TEST_F(RestoreRun, InputRecordLosesItsReadOnlyCalibrationMember) {
  // member 1 type 1; member 7 type 13 (3 bytes); member 9 the text "C"
  const Bytes items = {1, 0x01, 9, 7, 0x0D, 1, 2, 3, 9, 0x09, 2, 'C', 0};
  const Bytes withoutCalibration = {1, 0x01, 9, 9, 0x09, 2, 'C', 0};
  WriteAll(FileName(), Cat({Record(Payload(3, 2, items, 3)), Record(Payload(2, 1, items, 3)),
                            Record(Payload(3, 1, withoutCalibration, 2))}));
  ASSERT_TRUE(run_.StartRestore("Com1", 16, 28, true).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::Done);
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
  ASSERT_TRUE(run_.StartRestore("Com1", 16, 28, true).Ok());
  EXPECT_EQ(RunToEnd().outcome, Outcome::SettingFailed);
  const std::vector<Bytes> sent = WriteInstances();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(Hex(sent[4]), Hex(WriteOf(b)));
  EXPECT_EQ(device_.searches, 4);
  const std::vector<BackupNotice> told = notices_.All();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].event, BackupEvent::RecordTimedOut);
  EXPECT_EQ(told[0].cls, 2);
  EXPECT_EQ(told[0].instance, 1);
  EXPECT_EQ(run_.Facts().recordsRestored, 1u);
  EXPECT_EQ(run_.Facts().recordsTotal, 2u);
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
    BackupEvent event;
    uint32_t offset;  // of the record told about
  };
  const uint32_t second = static_cast<uint32_t>(good.size());
  const Case cases[] = {
      {"longer than a message", Cat({tooLong, good}), 1, BackupEvent::RecordSkipped, 0},
      {"too short for a record", Cat({Record({2, 1}), good}), 1, BackupEvent::RecordSkipped, 0},
      {"payload cut short", Cat({good, Bytes{9, 0, 2, 1, 1}}), 1, BackupEvent::FileCutShort, second},
      {"length cut short", Cat({good, Bytes{9}}), 1, BackupEvent::FileCutShort, second},
      {"nothing behind the length", Cat({good, Bytes{9, 0}}), 1, BackupEvent::FileCutShort, second},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device_.sent.clear();
    notices_.Clear();
    WriteAll(FileName(), c.file);
    ASSERT_TRUE(run_.StartRestore("Com1", 16, 28, true).Ok());
    EXPECT_EQ(RunToEnd().outcome, Outcome::FileDamaged);
    const std::vector<Bytes> sent = WriteInstances();
    ASSERT_EQ(sent.size(), c.sent);
    EXPECT_EQ(Hex(sent[0]), Hex(WriteOf(Payload(2, 1, {1, 0x01, 5}, 1))));
    const std::vector<BackupNotice> told = notices_.All();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].event, c.event);
    EXPECT_EQ(told[0].offset, c.offset);
    EXPECT_EQ(ReadAll(FileName()), c.file);
  }
}

TEST_F(RestoreRun, SettleWaitReadsUntilTheValueHoldsAndReportsALostDevice) {
  ASSERT_TRUE(run_.StartRestore("Com1", 16, 28, true).Ok());
  device_.settleValues = {4, 5, 5};
  const uint32_t before = device_.clock;
  run_.WaitSettledValue(3);
  EXPECT_EQ(device_.clock - before, 3000u);
  EXPECT_FALSE(run_.Facts().deviceLost);
  EXPECT_TRUE(notices_.All().empty());

  device_.settleReadFailures = 1;
  device_.foundAt = 255;
  run_.WaitSettledValue(5);
  EXPECT_TRUE(run_.Facts().deviceLost);
  EXPECT_EQ(run_.Facts().address, 255);
  EXPECT_EQ(notices_.Events(), std::vector<BackupEvent>{BackupEvent::DeviceLost});
}

TEST_F(RestoreRun, SettleWaitThatNeverHoldsStillEndsAtItsLimitWithoutFailingTheRun) {
  struct Case {
    const char* name;
    bool readsFail;  // found by every search, but no read answered
  };
  for (const Case& c : {Case{"value keeps changing", false}, Case{"reads fail", true}}) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(run_.StartRestore("Com1", 16, 28, true).Ok());
    device_.settleValues.clear();
    for (uint32_t v = 1; v < 1000; ++v) device_.settleValues.push_back(v);
    device_.settleReadFailures = c.readsFail ? 1000 : 0;
    device_.foundAt = 16;
    device_.searchCostMs = 5000;
    const uint32_t before = device_.clock;
    run_.WaitSettledValue(0);
    const uint32_t waited = device_.clock - before;
    EXPECT_GE(waited, BackupSettleLimitMs);
    // At most one more poll, with its search, after the limit.
    EXPECT_LE(waited, BackupSettleLimitMs + 1000u + device_.searchCostMs);
    EXPECT_FALSE(run_.Facts().deviceLost);
    EXPECT_TRUE(notices_.All().empty());
  }
}

}  // namespace
}  // namespace backup_test
