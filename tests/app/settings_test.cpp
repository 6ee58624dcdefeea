#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/settings.h"

namespace {

// Runs ParseCommandLine over the arguments, with a program name in front.
void Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "brevane-flash");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  ParseCommandLine(static_cast<int>(argv.size()), argv.data());
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
