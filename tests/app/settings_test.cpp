#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/run_report.h"
#include "app/settings.h"

namespace {

// Runs ParseCommandLine over the arguments, with a program name in front.
void Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "brevane-flash");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

CommandLineCheck Check(std::vector<std::string> args) {
  args.insert(args.begin(), "brevane-flash");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  return CheckCommandLine(static_cast<int>(argv.size()), argv.data());
}

std::string Joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& a : args) text += "[" + a + "]";
  return text;
}

TEST(CommandLineCheck, ValidCommandLinesRunAndBadValuesAreRefusedInOneLine) {
  const struct {
    std::vector<std::string> args;
    CommandLineVerdict verdict;
    // Refused: what the one line must say besides the argument.
    const char* says;
  } cases[] = {
      {{}, CommandLineVerdict::Run, ""},
      {{"-cCom3", "-a16", "-bno", "-fYes", "-vNO"}, CommandLineVerdict::Run, ""},
      {{"-cCom3", "-a4"}, CommandLineVerdict::Run, ""},
      {{"-cCom3", "-a32"}, CommandLineVerdict::Run, ""},
      {{"-cCom3", "-a255"}, CommandLineVerdict::Run, ""},
      {{"-a  +016"}, CommandLineVerdict::Run, ""},
      {{"-c\\\\.\\Com12", "-c/dev/ttyUSB0"}, CommandLineVerdict::Run, ""},
      {{"-c/dev/ttyUSB0"}, CommandLineVerdict::Run, ""},
      // Empty values count as absent, and only the first -x counts.
      {{"-cCom3", "-a", "-a999", "-v", "-vmaybe"}, CommandLineVerdict::Run, ""},
      {{"-rrun.json", "-lrun.log", "x", "-", "--", "-q"}, CommandLineVerdict::Run, ""},
      {{"--help"}, CommandLineVerdict::Help, ""},
      {{"-h"}, CommandLineVerdict::Help, ""},
      {{"-cCom1", "-a999", "-?"}, CommandLineVerdict::Help, ""},
      {{"-cCom1", "-a999"}, CommandLineVerdict::Refused, "4 to 32"},
      {{"-cCom1", "-a33"}, CommandLineVerdict::Refused, "not a station address"},
      {{"-cCom1", "-a3"}, CommandLineVerdict::Refused, "not a station address"},
      {{"-cCom1", "-a0"}, CommandLineVerdict::Refused, "4 to 32"},
      {{"-cCom1", "-a-1"}, CommandLineVerdict::Refused, "not a station address"},
      // Low 8 bits 255 and 16: no longer taken for what they are not.
      {{"-cCom1", "-a511"}, CommandLineVerdict::Refused, "4 to 32"},
      {{"-a272"}, CommandLineVerdict::Refused, "4 to 32"},
      {{"-aX"}, CommandLineVerdict::Refused, "not a number"},
      {{"-a16x"}, CommandLineVerdict::Refused, "not a number"},
      {{"-a+"}, CommandLineVerdict::Refused, "not a number"},
      {{"-a99999999999999999999999"}, CommandLineVerdict::Refused, "not a station address"},
      {{"-cCom 3"}, CommandLineVerdict::Refused, "not a port name"},
      {{"-cCom3;"}, CommandLineVerdict::Refused, "at most 19"},
      {{"-c" + std::string(CommandPortMax + 1, 'C')}, CommandLineVerdict::Refused, "longer"},
      {{"-bmaybe"}, CommandLineVerdict::Refused, "-b takes YES or NO"},
      {{"-fy"}, CommandLineVerdict::Refused, "-f takes YES or NO"},
      {{"-v" + std::string(100, 'Y')}, CommandLineVerdict::Refused, "-v takes YES or NO"},
      {{"-r"}, CommandLineVerdict::Refused, "no file name"},
      {{"-lrun.log", "-l"}, CommandLineVerdict::Run, ""},
      {{"-l", "-lrun.log"}, CommandLineVerdict::Refused, "no file name"},
      // Lists of ports and addresses, ALL and UPGRADE.
      {{"-cCom1,Com2", "-a16,17"}, CommandLineVerdict::Run, ""},
      {{"-cCom1", "-aALL"}, CommandLineVerdict::Run, ""},
      {{"-cCom1,\\\\.\\Com12", "-aupgrade"}, CommandLineVerdict::Run, ""},
      {{"-cCom1", "-a4,32,+20"}, CommandLineVerdict::Run, ""},
      {{"-cC1,C2,C3,C4,C5,C6,C7,C8", "-aAll"}, CommandLineVerdict::Run, ""},
      {{"-cC1,C2,C3,C4,C5,C6,C7,C8,C9", "-aALL"}, CommandLineVerdict::Refused, "at most 8"},
      {{"-cCom1,", "-a16"}, CommandLineVerdict::Refused, "an empty item"},
      {{"-c,Com1", "-a16"}, CommandLineVerdict::Refused, "an empty item"},
      {{"-cCom1,com1", "-a16"}, CommandLineVerdict::Refused, "com1 is named twice"},
      {{"-cCom1,Com 2", "-a16"}, CommandLineVerdict::Refused, "Com 2 is not a port name"},
      {{"-cCom1," + std::string(CommandPortMax + 1, 'C'), "-a16"}, CommandLineVerdict::Refused,
       "longer"},
      {{"-cCom1,Com2"}, CommandLineVerdict::Refused, "several ports need -a"},
      {{"-cCom1,Com2", "-a"}, CommandLineVerdict::Refused, "several ports need -a"},
      {{"-cCom1", "-a16,99"}, CommandLineVerdict::Refused, "99 is not a station address"},
      {{"-cCom1", "-a16,3"}, CommandLineVerdict::Refused, "4 to 32"},
      {{"-cCom1", "-a16,255"}, CommandLineVerdict::Refused, "255 is not a station address"},
      {{"-cCom1", "-a16,,17"}, CommandLineVerdict::Refused, "an empty item"},
      {{"-cCom1", "-a16,"}, CommandLineVerdict::Refused, "an empty item"},
      {{"-cCom1", "-a16,+16"}, CommandLineVerdict::Refused, "+16 is named twice"},
      {{"-cCom1", "-a16,x"}, CommandLineVerdict::Refused, "x is not a number"},
      {{"-cCom1", "-aALL,16"}, CommandLineVerdict::Refused, "ALL is a word that stands alone"},
      {{"-cCom1", "-a16,upgrade"}, CommandLineVerdict::Refused, "stands alone"},
      {{"-cCom1", "-aEVERY"}, CommandLineVerdict::Refused, "not a number"},
  };
  for (const auto& c : cases) {
    const CommandLineCheck check = Check(c.args);
    EXPECT_EQ(check.verdict, c.verdict) << Joined(c.args);
    if (c.verdict != CommandLineVerdict::Refused) {
      EXPECT_EQ(check.refusal, "") << Joined(c.args);
      continue;
    }
    EXPECT_EQ(check.refusal.rfind("brevane-flash: -", 0), 0u) << check.refusal;
    EXPECT_NE(check.refusal.find(c.says), std::string::npos) << check.refusal;
    EXPECT_EQ(check.refusal.find_first_of("\r\n"), std::string::npos) << check.refusal;
  }
  // The argument refused is named, with what it holds that a line cannot show.
  EXPECT_NE(Check({"-cCom1", "-a999"}).refusal.find("-a999:"), std::string::npos);
  EXPECT_NE(Check({"-cCo\nm1"}).refusal.find("-cCo?m1:"), std::string::npos);
}

TEST(CommandLineCheck, MisspeltOptionsAreIgnoredWithAWarningOtherStrayArgumentsSilently) {
  const struct {
    std::vector<std::string> args;
    std::vector<const char*> warnings;  // a text each warning line holds, in order
  } cases[] = {
      {{"-cCom3", "-a16", "x", "-", "--", "-q", "--frobnicate", "/c"}, {}},
      {{"-A16"}, {"-A16 is ignored: option letters are lower case (-a16)"}},
      {{"-CCom3", "-Vyes"}, {"(-cCom3)", "(-vyes)"}},
      {{"--address=16", "--port"}, {"--address=16 is ignored", "-cCom3"}},
      {{"--version"}, {"as in -vYES"}},
      // A value written apart from its letter.
      {{"-a", "16"}, {"-a is ignored: it has no value"}},
      {{"-cCom3", "-a", "16", "-B"}, {"-a is ignored", "-B is ignored"}},
  };
  for (const auto& c : cases) {
    const CommandLineCheck check = Check(c.args);
    EXPECT_EQ(check.verdict, CommandLineVerdict::Run) << Joined(c.args);
    ASSERT_EQ(check.warnings.size(), c.warnings.size()) << Joined(c.args);
    for (std::size_t i = 0; i < c.warnings.size(); ++i) {
      EXPECT_NE(check.warnings[i].find(c.warnings[i]), std::string::npos) << check.warnings[i];
      EXPECT_EQ(check.warnings[i].find_first_of("\r\n"), std::string::npos);
    }
  }
  // A refusal stands alone: the warnings of the same command line are not said.
  EXPECT_TRUE(Check({"-A16", "-bmaybe"}).warnings.empty());
}

TEST(CommandLine, ReportAndLogFilesAreTakenAsWritten) {
  Parse({"-rout/run report.json", "-lrun.log"});
  ASSERT_NE(ReportFileSetting(), nullptr);
  EXPECT_STREQ(ReportFileSetting(), "out/run report.json");
  ASSERT_NE(LogFileSetting(), nullptr);
  EXPECT_STREQ(LogFileSetting(), "run.log");
  Parse({"-cCom3"});
  EXPECT_EQ(ReportFileSetting(), nullptr);
  EXPECT_EQ(LogFileSetting(), nullptr);
}

TEST(RunReport, TimesAreWrittenAsUtcDates) {
  const struct {
    int64_t seconds;
    const char* text;
  } cases[] = {{0, "1970-01-01T00:00:00Z"},
               {-1, "1969-12-31T23:59:59Z"},
               {951782400, "2000-02-29T00:00:00Z"},
               {1798761599, "2026-12-31T23:59:59Z"},
               {4107542399, "2100-02-28T23:59:59Z"}};
  for (const auto& c : cases) EXPECT_EQ(UtcText(c.seconds), c.text) << c.seconds;
}

TEST(CommandLine, NoArgumentsLeaveEverySettingAtItsDefault) {
  Parse({});
  EXPECT_EQ(VersionSetting(), YesNoSetting::Unset);
  EXPECT_EQ(BackupSetting(), YesNoSetting::Unset);
  EXPECT_EQ(DefaultsWriteSetting(), YesNoSetting::Unset);
  EXPECT_STREQ(Settings().commandPort, "");
  EXPECT_FALSE(IsPreselected());
  EXPECT_EQ(PreselectedPort(), nullptr);
}

TEST(CommandLine, FirstMatchingArgumentDecidesEvenWhenItsValueIsEmpty) {
  Parse({"-v", "-vYES"});
  EXPECT_EQ(VersionSetting(), YesNoSetting::Unset);
  Parse({"-vyes", "-vNO"});
  EXPECT_EQ(VersionSetting(), YesNoSetting::Yes);
  Parse({"-cCom3", "-cCom4"});
  EXPECT_STREQ(Settings().commandPort, "Com3");
}

TEST(CommandLine, OptionLettersAreCaseSensitiveAndStrayArgumentsIgnored) {
  Parse({"-CCom3", "x", "-", "--", "-Vyes"});
  EXPECT_STREQ(Settings().commandPort, "");
  EXPECT_EQ(VersionSetting(), YesNoSetting::Unset);
}

TEST(CommandLine, YesNoSettingsIgnoreCaseAndTakeOtherWordsAsUnset) {
  Parse({"-bmaybe", "-fyes", "-vYeS"});
  EXPECT_EQ(BackupSetting(), YesNoSetting::Unset);
  EXPECT_EQ(DefaultsWriteSetting(), YesNoSetting::Yes);
  EXPECT_EQ(VersionSetting(), YesNoSetting::Yes);
  Parse({"-bNO", "-fno"});
  EXPECT_EQ(BackupSetting(), YesNoSetting::No);
  EXPECT_EQ(DefaultsWriteSetting(), YesNoSetting::No);
}

TEST(CommandLine, BackupAndDefaultsSettingsReachTheImagePolicy) {
  Parse({"-bNO"});
  EXPECT_EQ(Image_BackupEnabled(28), 0);
  EXPECT_EQ(Image_DefaultsWriteEnabled(28), 1);
  Parse({"-fNo", "-bwhatever"});
  EXPECT_EQ(Image_BackupEnabled(28), 1);
  EXPECT_EQ(Image_DefaultsWriteEnabled(28), 0);
  Parse({});
}

TEST(CommandLine, AddressKeepsTheLow8BitsOfAnAtoiConversion) {
  const struct {
    const char* text;
    uint8_t address;
  } cases[] = {{"16", 16}, {"260", 4},  {"xyz", 0}, {"  +17", 17}, {"\t12abc", 12},
               {"-1", 255}, {"-256", 0}, {"1-2", 1}, {"+", 0},      {"255", 255}};
  for (const auto& c : cases) EXPECT_EQ(ParseAddress(c.text), c.address) << c.text;
  // A number far beyond 32 bits still gives its low 8 bits: 10^23 mod 256 = 0.
  EXPECT_EQ(ParseAddress("100000000000000000000000"), 0);
  EXPECT_EQ(ParseAddress("100000000000000000000001"), 1);
}

TEST(CommandLine, UnattendedModeNeedsAPortAndAnAddressOtherThan255) {
  Parse({"-a16"});
  EXPECT_FALSE(IsPreselected());
  Parse({"-cCom3"});
  EXPECT_TRUE(IsPreselected());
  EXPECT_EQ(PreselectedAddress(), 0);
  Parse({"-cCom3", "-a16"});
  EXPECT_TRUE(IsPreselected());
  EXPECT_STREQ(PreselectedPort(), "Com3");
  EXPECT_EQ(PreselectedAddress(), 16);
  Parse({"-cCom3", "-a511"});
  EXPECT_FALSE(IsPreselected());
}

TEST(CommandLine, ListsOfPortsAndAddressesMakeAFleetRunTheSingleFormsDoNot) {
  const struct {
    std::vector<std::string> args;
    bool fleet;
    std::vector<std::string> ports;
    AddressChoice choice;
    std::vector<uint8_t> addresses;
  } cases[] = {
      {{"-cCom3", "-a16"}, false, {"Com3"}, AddressChoice::One, {}},
      {{"-cCom3"}, false, {"Com3"}, AddressChoice::One, {}},
      {{"-cCom3", "-a16,17"}, true, {"Com3"}, AddressChoice::List, {16, 17}},
      {{"-cCom3,Com4", "-a17,+16"}, true, {"Com3", "Com4"}, AddressChoice::List, {17, 16}},
      {{"-cCom3,Com4", "-a20"}, true, {"Com3", "Com4"}, AddressChoice::One, {}},
      {{"-cCom3", "-aall"}, true, {"Com3"}, AddressChoice::All, {}},
      {{"-cCom3,Com4", "-aUpgrade"}, true, {"Com3", "Com4"}, AddressChoice::Upgrade, {}},
      // Without a port, no unattended run at all.
      {{"-aALL"}, false, {}, AddressChoice::All, {}},
  };
  for (const auto& c : cases) {
    Parse(c.args);
    EXPECT_EQ(IsFleetRun(), c.fleet) << Joined(c.args);
    EXPECT_EQ(IsPreselected(), !c.ports.empty()) << Joined(c.args);
    EXPECT_EQ(Settings().commandPorts, c.ports) << Joined(c.args);
    EXPECT_EQ(Settings().addressChoice, c.choice) << Joined(c.args);
    EXPECT_EQ(Settings().commandAddresses, c.addresses) << Joined(c.args);
    if (!c.ports.empty()) {
      EXPECT_STREQ(PreselectedPort(), c.ports.front().c_str());
    }
  }
}

TEST(CommandLine, OverLongValuesAreRefusedNeverCut) {
  const std::string longest(CommandPortMax, 'C');
  Parse({"-c" + longest});
  EXPECT_EQ(Settings().commandPort, longest);
  // Cutting "\\.\Com123456..." could name another port: a longer value is
  // not taken at all.
  Parse({"-c" + longest + "9", "-a16"});
  EXPECT_STREQ(Settings().commandPort, "");
  EXPECT_FALSE(IsPreselected());

  EXPECT_EQ(ParseYesNo(std::string(YesNoTextMax, 'x').c_str()), YesNoSetting::Unset);
  EXPECT_EQ(ParseYesNo(("YES" + std::string(200, ' ')).c_str()), YesNoSetting::Unset);
  Parse({"-v" + std::string(100000, 'Y')});
  EXPECT_EQ(VersionSetting(), YesNoSetting::Unset);
}

TEST(CommandLine, MoreThan255ArgumentsAreAllLookedAt) {
  std::vector<std::string> args(600, "filler");
  args.push_back("-vyes");
  Parse(args);
  EXPECT_EQ(VersionSetting(), YesNoSetting::Yes);
}

}  // namespace
