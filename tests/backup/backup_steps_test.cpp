// The front end's backup and restore handlers against a fake device: what
// they say, what they leave on the disk and the outcome they report.
#include <gtest/gtest.h>

#include "tests/backup/fake_device.h"

namespace backup_test {
namespace {

Bytes Payload(uint8_t cls, uint8_t instance, const Bytes& items, uint8_t count) {
  Bytes p = {cls, instance, count};
  p.insert(p.end(), items.begin(), items.end());
  return p;
}

// The handlers on the console thread, each run on a thread of its own on
// the fake device's virtual time.
class HandlerTest : public BackupTest {
 protected:
  static RestorePlan Plan(bool foundInBootloader, bool backupTaken) {
    RestorePlan plan;
    plan.foundInBootloader = foundInBootloader;
    plan.backupTaken = backupTaken;
    return plan;
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
  std::string Console() {
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    return device_.console;
  }
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
    BackupFacts facts;
    SettingsOutcome outcome = SettingsOutcome::Failed;
    EXPECT_EQ(BackupDevice(World(), &d, &outcome, &facts), MenuState::StartProgramming);
    EXPECT_EQ(outcome, c.outcome);
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    EXPECT_EQ(device_.console, c.console);
    EXPECT_EQ(Exists(FileName()), c.outcome == SettingsOutcome::Complete);
    EXPECT_EQ(std::string(facts.fileName), c.outcome == SettingsOutcome::Complete ? FileName() : "");
  }
}

// What the run tells on the way is said between the run's opening words and
// its end, and a backup that is not on the disk leaves the device alone.
TEST_F(HandlerTest, BackupThatCannotBeSavedSaysWhyAndFails) {
  files_.FailWritesTo(".qsv");
  DeviceRecord d = Device();
  BackupFacts facts;
  SettingsOutcome outcome = SettingsOutcome::Complete;
  EXPECT_EQ(BackupDevice(World(), &d, &outcome, &facts), MenuState::FinishDevice);
  EXPECT_EQ(outcome, SettingsOutcome::Failed);
  const std::string said = Console();
  const std::string opening = "Backing up Device Settings...\r\nCan't save the settings backup " +
                              FileName() + ": writing it to the disk failed: ";
  const std::string closing =
      ". The device is not updated and its settings are left as they are. Make room in the "
      "working directory or give it write access, name another folder with BREVANE_BACKUPS, or "
      "run with -bNO to update without a backup.\r\nFailed\r\n";
  ASSERT_GE(said.size(), opening.size() + closing.size()) << said;
  EXPECT_EQ(said.substr(0, opening.size()), opening) << said;
  EXPECT_EQ(said.substr(said.size() - closing.size()), closing) << said;
  EXPECT_FALSE(Exists(FileName()));
}

// Nothing is asked of the device before the backup folder has taken a file.
TEST_F(HandlerTest, BackupFolderThatTakesNoFileLeavesTheDeviceAlone) {
  files_.FailWritesTo("brevane-write-check");
  DeviceRecord d = Device();
  BackupFacts facts;
  SettingsOutcome outcome = SettingsOutcome::Complete;
  EXPECT_EQ(BackupDevice(World(), &d, &outcome, &facts), MenuState::FinishDevice);
  EXPECT_EQ(outcome, SettingsOutcome::Failed);
  const std::string said = Console();
  const std::string opening = "Can't save a settings backup in the working directory: writing to a file there failed: ";
  const std::string closing =
      ". The device is not updated and its settings are left as they are. Name a writable folder "
      "with BREVANE_BACKUPS, or run with -bNO to update without a backup.\r\n";
  ASSERT_GE(said.size(), opening.size() + closing.size()) << said;
  EXPECT_EQ(said.substr(0, opening.size()), opening) << said;
  EXPECT_EQ(said.substr(said.size() - closing.size()), closing) << said;
  std::lock_guard<std::recursive_mutex> guard(device_.lock);
  EXPECT_TRUE(device_.sent.empty());
  EXPECT_TRUE(std::filesystem::is_empty("."));
}

TEST_F(HandlerTest, RestoreSaysWhatItCouldNotWriteBackAndKeepsTheFile) {
  const Bytes a = Payload(2, 1, {1, 0x01, 5}, 1);
  const Bytes b = Payload(5, 3, {1, 0x01, 6}, 1);
  const std::string file = FileName();
  struct Case {
    const char* name;
    Bytes content;  // written under the name; a directory when `directory`
    bool directory;
    bool backupTaken;
    Bytes failing;  // a write-instance message the device never answers
    SettingsOutcome outcome;
    std::string said;
  };
  const Case cases[] = {
      {"a record not taken", Cat({Record(a), Record(b)}), false, true, {0x01, 0x0A, 2, 1, 1, 1, 0x01, 5},
       SettingsOutcome::Failed,
       "Restoring Device Settings...Restoring Class 2 Instance 1 Timed Out\r\nFailed (1 of 2 "
       "records written; " + file + " kept)\r\n"},
      {"a record of impossible length", Cat({Record({2, 1}), Record(b)}), false, true, {},
       SettingsOutcome::Failed,
       "Restoring Device Settings...Restoring the record at offset 0 skipped: its length of 2 "
       "bytes is not that of a settings record. The backup file " + file + " is kept.\r\nFailed "
       "(1 of 0 records written; " + file + " kept)\r\n"},
      {"a directory", {}, true, true, {}, SettingsOutcome::Failed,
       "Restoring Device Settings...\r\n" + file + " is not a settings backup (it is not a "
       "regular file): nothing is restored from it.\r\nFailed (0 of 0 records written; " + file +
       " kept)\r\n"},
      {"no file after a backup", {}, false, true, {}, SettingsOutcome::Failed,
       "Restoring Device Settings...nothing restored: there is no backup file " + file + "\r\n"},
      {"no file for a device from its bootloader", {}, false, false, {}, SettingsOutcome::Missing,
       "Restoring Device Settings...nothing restored: there is no backup file " + file + "\r\n"},
  };
  Image_SetPolicy(YesNoSetting::Unset, YesNoSetting::No);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(file);
    if (c.directory) {
      std::filesystem::create_directory(file);
    } else if (!c.content.empty()) {
      WriteAll(file, c.content);
    }
    {
      std::lock_guard<std::recursive_mutex> guard(device_.lock);
      device_.console.clear();
      device_.failTimes.clear();
      if (!c.failing.empty()) device_.failTimes[c.failing] = 4;
    }
    DeviceRecord d = Device();
    SettingsOutcome outcome = SettingsOutcome::Complete;
    EXPECT_EQ(RestoreDevice(World(), &d, Plan(!c.backupTaken, c.backupTaken), &outcome),
              MenuState::FinishDevice);
    EXPECT_EQ(outcome, c.outcome);
    EXPECT_EQ(Console(), c.said);
    EXPECT_EQ(Exists(file), c.directory || !c.content.empty());
  }
}

// An interrupt while a run goes on stops it after the request on the bus;
// the dots go on until then and the device is left as it was.
TEST_F(HandlerTest, InterruptStopsTheBackupAndLeavesNoFile) {
  interrupted_.store(true);
  {
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    device_.failTimes[{0x01, 0x05, 3, 1}] = 1;
    device_.searchRealMs = 1500;  // the search outlasts a dot
  }
  DeviceRecord d = Device();
  BackupFacts facts;
  SettingsOutcome outcome = SettingsOutcome::Complete;
  EXPECT_EQ(BackupDevice(World(), &d, &outcome, &facts), MenuState::FinishDevice);
  EXPECT_EQ(outcome, SettingsOutcome::Failed);
  EXPECT_TRUE(facts.stopped);
  const std::string said = Console();
  const std::string opening = "Backing up Device Settings...";
  const std::string closing = "Stopped\r\n";
  ASSERT_GT(said.size(), opening.size() + closing.size()) << said;
  EXPECT_EQ(said.substr(0, opening.size()), opening);
  EXPECT_EQ(said.substr(said.size() - closing.size()), closing);
  const std::string dots = said.substr(opening.size(), said.size() - opening.size() - closing.size());
  EXPECT_EQ(dots.find_first_not_of('.'), std::string::npos) << said;
  EXPECT_FALSE(Exists(FileName()));
  EXPECT_FALSE(Exists(FileName() + ".tmp"));
}

// A backup that was wanted but could not be taken is a failed one: the
// summary must not call the device updated once the factory settings are
// written over its own.
TEST_F(HandlerTest, BackupThatCannotStartIsReportedAsFailed) {
  device_.identityFails = true;
  DeviceRecord d = Device();
  BackupFacts facts;
  SettingsOutcome outcome = SettingsOutcome::Complete;
  // The device is then left as it was: no programming follows.
  EXPECT_EQ(BackupDevice(World(), &d, &outcome, &facts), MenuState::FinishDevice);
  EXPECT_EQ(outcome, SettingsOutcome::Failed);
  std::lock_guard<std::recursive_mutex> guard(device_.lock);
  EXPECT_EQ(device_.console.rfind("Can't create backup for device settings.\r\n", 0), 0u);
  EXPECT_FALSE(Exists(FileName()));
}

// One identity read lost on the line does not cost the device its backup.
TEST_F(HandlerTest, BackupStartsAgainAfterAFailedIdentityRead) {
  device_.identityFailures = 1;
  DeviceRecord d = Device();
  BackupFacts facts;
  SettingsOutcome outcome = SettingsOutcome::Failed;
  EXPECT_EQ(BackupDevice(World(), &d, &outcome, &facts), MenuState::StartProgramming);
  EXPECT_EQ(outcome, SettingsOutcome::Complete);
  EXPECT_TRUE(Exists(FileName()));
}

TEST_F(HandlerTest, BackupUpdatesTheAddressOfADeviceThatMoved) {
  DeviceRecord d = Device();
  {
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    device_.foundAt = 22;
  }
  BackupFacts facts;
  SettingsOutcome outcome = SettingsOutcome::Failed;
  BackupDevice(World(), &d, &outcome, &facts);
  EXPECT_EQ(d.address, 22);
}

TEST_F(HandlerTest, BackupThenRestoreWritesTheSettingsBackAfterTheDefaultsWrite) {
  DeviceRecord d = Device();
  BackupFacts facts;
  SettingsOutcome outcome = SettingsOutcome::Failed;
  BackupDevice(World(), &d, &outcome, &facts);
  ASSERT_EQ(outcome, SettingsOutcome::Complete);
  EXPECT_EQ(RestoreDevice(World(), &d, Plan(false, true), &outcome), MenuState::FinishDevice);
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
    EXPECT_EQ(RestoreDevice(World(), &d, Plan(true, false), &outcome), MenuState::FinishDevice);
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
  EXPECT_EQ(RestoreDevice(World(), &d, Plan(true, false), &outcome), MenuState::FinishDevice);
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
  RestoreDevice(World(), &d, Plan(false, false), &outcome);
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
  EXPECT_EQ(AwaitDeviceOnBus(World(), &d), 255);
  {
    std::lock_guard<std::recursive_mutex> guard(device_.lock);
    EXPECT_EQ(device_.searches, 2);  // again after the key, not after the zero codes
    const std::string prompt =
        "Please change 'PCoL' to 'Std' and 'Ad.S' to 5 in the SEt->CoM menu.\r\n"
        "Press any key when ready.\r\n";
    EXPECT_EQ(device_.console, prompt + prompt);
    device_.console.clear();
  }
  EXPECT_EQ(RestoreDevice(World(), &d, Plan(true, false), &outcome), MenuState::FinishDevice);
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
  EXPECT_EQ(RestoreDevice(World(), &d, Plan(true, false), &outcome), MenuState::FinishDevice);
  EXPECT_EQ(outcome, SettingsOutcome::Failed);
  std::lock_guard<std::recursive_mutex> guard(device_.lock);
  EXPECT_EQ(device_.searches, RestoreStartAttempts);
  EXPECT_TRUE(Exists(FileName()));
  EXPECT_NE(device_.console.find("Can't restore device settings"), std::string::npos);
}

}  // namespace
}  // namespace backup_test
