// What the closing summary says of each device and the exit status it gives.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/summary.h"
#include "image/carried_image.h"

namespace {

struct OutcomeCase {
  const char* name;
  std::optional<Outcome> programming;  // nothing: the job never ended
  bool foundAgain;
  SettingsOutcome backup;
  SettingsOutcome restore;
  DeviceOutcome outcome;
};

DeviceReport Report(const OutcomeCase& c) {
  DeviceReport r;
  r.before.hardwareId = CarriedImageHardwareId;
  r.update.programming = c.programming;
  r.update.foundAgain = c.foundAgain;
  r.backup = c.backup;
  r.restore = c.restore;
  return r;
}

TEST(Summary, OutcomeOfEachDeviceAndTheExitStatusItGives) {
  using S = SettingsOutcome;
  using O = DeviceOutcome;
  constexpr Outcome kDone = Outcome::Done;
  const std::vector<OutcomeCase> cases = {
      {"backed up and restored", kDone, true, S::Complete, S::Complete, O::Updated},
      {"no backup (-bNO or bootloader)", kDone, true, S::NotTaken, S::NotTaken, O::Updated},
      {"earlier backup restored", kDone, true, S::NotTaken, S::Complete, O::Updated},
      {"restore of an earlier backup failed", kDone, true, S::NotTaken, S::Failed,
       O::RestoreIncomplete},
      {"backup failed: the device was left alone", kDone, true, S::Failed, S::NotTaken,
       O::BackupNotSaved},
      {"restore failed", kDone, true, S::Complete, S::Failed, O::RestoreIncomplete},
      {"backup taken, nothing restored", kDone, true, S::Complete, S::NotTaken, O::RestoreIncomplete},
      {"port did not open", Outcome::PortNotOpened, true, S::NotTaken, S::NotTaken, O::ProgrammingFailed},
      {"entry not queued", Outcome::EntryFailed, false, S::Complete, S::Complete, O::ProgrammingFailed},
      {"programming error", Outcome::ProgrammingError, false, S::Complete, S::NotTaken,
       O::ProgrammingFailed},
      {"job never ended", std::nullopt, false, S::NotTaken, S::NotTaken,
       O::ProgrammingFailed},
      {"not found again", kDone, false, S::Complete, S::NotTaken, O::NotFound},
      {"lost by the job, not found again", Outcome::NotFound, false, S::NotTaken,
       S::NotTaken, O::NotFound},
      {"lost by the job, found without its version", Outcome::NotFound, true, S::NotTaken,
       S::NotTaken, O::ProgrammingFailed},
  };
  for (const OutcomeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const DeviceReport report = Report(c);
    EXPECT_EQ(OutcomeOf(report), c.outcome);
    EXPECT_EQ(ExitStatusOf(&report, 1), c.outcome == O::Updated ? ExitDone : ExitDeviceFailed);
  }
  // Found again with the carried version: updated; with any other: the
  // programming did not reach it.
  DeviceReport read = Report(cases[0]);
  read.update.versionRead = true;
  read.update.release = CarriedImageRelease;
  read.update.prototype = CarriedImagePrototype;
  read.update.build = CarriedImageBuild;
  EXPECT_EQ(OutcomeOf(read), DeviceOutcome::Updated);
  read.update.build = CarriedImageBuild - 8;
  EXPECT_EQ(OutcomeOf(read), DeviceOutcome::ProgrammingFailed);
  read.update.build = CarriedImageBuild;
  read.update.release = CarriedImageRelease + 1;
  EXPECT_EQ(OutcomeOf(read), DeviceOutcome::ProgrammingFailed);
  // A device the job lost, found again after a power cycle with the carried
  // version, was updated after all.
  read.update.release = CarriedImageRelease;
  read.update.programming = Outcome::NotFound;
  EXPECT_EQ(OutcomeOf(read), DeviceOutcome::Updated);

  // What happened on the PC's side, each a reason why the device is not
  // (or not wholly) updated.
  struct Mend {
    const char* name;
    void (*apply)(DeviceReport&);
    DeviceOutcome outcome;
  };
  const Mend mends[] = {
      {"interrupted during the backup",
       [](DeviceReport& r) {
         r.backup = S::Failed;
         r.interrupted = true;
       },
       O::Interrupted},
      {"interrupted before the bootloader entry",
       [](DeviceReport& r) {
         r.update.started = true;
         r.update.programming = Outcome::Stopped;
       },
       O::Interrupted},
      {"interrupted during the transfer",
       [](DeviceReport& r) {
         r.update.started = true;
         r.update.programming = Outcome::Stopped;
         r.entrySent = true;
       },
       O::InterruptedInBootloader},
      {"address move not written to the journal",
       [](DeviceReport& r) { r.update.moveNotRecorded = true; }, O::MoveNotRecorded},
      {"identity unknown", [](DeviceReport& r) { r.update.identityUnknown = true; },
       O::IdentityNotRestored},
      {"bootloader device without a backup", [](DeviceReport& r) { r.restore = S::Missing; },
       O::NoBackupToRestore},
  };
  for (const Mend& m : mends) {
    SCOPED_TRACE(m.name);
    DeviceReport report = Report(cases[0]);
    m.apply(report);
    EXPECT_EQ(OutcomeOf(report), m.outcome);
    EXPECT_EQ(ExitStatusOf(&report, 1), ExitDeviceFailed);
  }
  DeviceReport unknown = Report(cases[0]);
  unknown.update.identityUnknown = true;
  std::snprintf(unknown.backupFile, sizeof unknown.backupFile, "QD4010A-6AC11004410021-31.qsv");
  char text[256];
  OutcomeText(unknown, text, sizeof text);
  EXPECT_STREQ(text, "identity not restored (backup QD4010A-6AC11004410021-31.qsv kept)");

  // One failed device among updated ones fails the run; none processed is done.
  std::vector<DeviceReport> run = {Report(cases[0]), Report(cases[10]), Report(cases[1])};
  EXPECT_EQ(ExitStatusOf(run.data(), 3), ExitDeviceFailed);
  EXPECT_EQ(ExitStatusOf(run.data(), 0), ExitDone);
}

TEST(Summary, OneLinePerDeviceWithTheVersionsBeforeAndAfter) {
  DeviceRecord devices[2];
  DeviceReport reports[2];
  std::snprintf(devices[0].modelNumber, sizeof devices[0].modelNumber, "QD4010A-6AC1100");
  devices[0].address = 16;
  devices[0].serialNumber = 4410021;
  reports[0].before = devices[0];
  reports[0].before.release = 14;
  reports[0].before.build = 172;
  reports[0].update.programming = Outcome::Done;
  reports[0].update.foundAgain = true;
  reports[0].update.versionRead = true;
  reports[0].update.release = CarriedImageRelease;
  reports[0].update.prototype = CarriedImagePrototype;
  reports[0].update.build = CarriedImageBuild;
  devices[1] = devices[0];
  devices[1].address = 20;
  reports[1].before = reports[0].before;
  reports[1].update.programming = Outcome::Done;

  ::testing::internal::CaptureStdout();
  PrintSummary(reports, devices, 2);
  std::string shown = ::testing::internal::GetCapturedStdout();
  std::erase(shown, '\r');
  char carried[16];
  std::snprintf(carried, sizeof carried, "%02d.%02d.%02d", CarriedImageRelease,
                CarriedImagePrototype, CarriedImageBuild);
  EXPECT_EQ(shown, std::string("\nSummary:\n"
                               "ZONE  1   QD4010A-6AC1100     4410021  14.00.172 -> ") +
                       carried +
                       "  updated\n"
                       "ZONE  5   QD4010A-6AC1100     4410021  14.00.172 -> --.--.--  not found "
                       "after programming\n");

  ::testing::internal::CaptureStdout();
  PrintSummary(reports, devices, 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

  // What a run with lists could not take up follows the devices, each with
  // its port, in the columns of the devices' lines.
  RunGaps gaps;
  gaps.gaps[0] = RunGap{GapKind::NotFound, "Com1", 21, ""};
  gaps.gaps[1] = RunGap{GapKind::PortNotOpened, "\\\\.\\Com12", 0, "No such file or directory"};
  gaps.gaps[2] = RunGap{GapKind::NoRoom, "Com2", 30, ""};
  gaps.count = 3;
  ::testing::internal::CaptureStdout();
  PrintSummary(reports, devices, 1, &gaps);
  shown = ::testing::internal::GetCapturedStdout();
  std::erase(shown, '\r');
  EXPECT_EQ(shown, std::string("\nSummary:\n"
                               "ZONE  1   QD4010A-6AC1100     4410021  14.00.172 -> ") +
                       carried +
                       "  updated\n"
                       "ZONE  6                                --.--.-- -> --.--.--  not found at "
                       "discovery (Com1)\n"
                       "Com12                                  --.--.-- -> --.--.--  not updated: "
                       "the port could not be opened (No such file or directory)\n"
                       "ZONE 15                                --.--.-- -> --.--.--  not updated: "
                       "more controllers chosen than one run takes (Com2)\n");
}

// Anything asked for and not taken up fails a run whose devices were all
// updated; without gaps the devices alone decide.
TEST(Summary, GapsOfARunWithListsFailItLikeADeviceNotUpdated) {
  DeviceReport updated;
  updated.update.programming = Outcome::Done;
  updated.update.foundAgain = true;
  ASSERT_EQ(OutcomeOf(updated), DeviceOutcome::Updated);
  const struct {
    GapKind kind;
    uint8_t address;
  } cases[] = {{GapKind::NotFound, 21}, {GapKind::NoRoom, 30}, {GapKind::PortNotOpened, 0}};
  for (const auto& c : cases) {
    RunGaps gaps;
    gaps.gaps[0].kind = c.kind;
    gaps.gaps[0].address = c.address;
    gaps.count = 1;
    EXPECT_EQ(ExitStatusOf(&updated, 1, &gaps), ExitDeviceFailed) << to_string(c.kind);
  }
  RunGaps none;
  EXPECT_EQ(ExitStatusOf(&updated, 1, &none), ExitDone);
  EXPECT_EQ(ExitStatusOf(&updated, 1), ExitDone);
}

}  // namespace
