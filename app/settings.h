// The command line and the settings it gives. Options are written with their
// value directly behind the letter (-cCom3, -a16, -bNO, -fyes, -vYES); the first
// argument that starts with an option's two characters decides, and an empty
// value counts as the option being absent. A bad command line is never
// reported: each setting falls back to its default.
#pragma once

#include <cstdint>

#include "update/image_package.h"

// Longest -c value kept; a longer one is refused (the port stays empty and
// unattended mode off) rather than cut to the name of another port.
inline constexpr int CommandPortMax = 19;
// Longest text ParseYesNo looks at; a longer one names neither YES nor NO.
inline constexpr int YesNoTextMax = 31;

struct StartupSettings {
  char commandPort[CommandPortMax + 1] = {};
  uint8_t commandAddress = 0;  // 255: unattended mode off
  YesNoSetting defaultsWriteSetting = YesNoSetting::Unset;
  YesNoSetting backupSetting = YesNoSetting::Unset;
  YesNoSetting versionSetting = YesNoSetting::Unset;
};

// Fills the global settings from the arguments (argv[0] is the program and is
// not looked at) and hands the -b and -f settings to the image policy.
void ParseCommandLine(int argc, const char* const* argv);
// The value text of the option with the two characters `option`, or nullptr.
const char* FindOption(const char* option, int argc, const char* const* argv);
YesNoSetting ParseYesNo(const char* text);
// Decimal conversion as the C library's atoi does it (leading blanks, a sign,
// digits up to the first other character), without its overflow; the low 8 bits.
uint8_t ParseAddress(const char* text);

const StartupSettings& Settings();
bool IsPreselected();
const char* PreselectedPort();  // nullptr unless IsPreselected()
uint8_t PreselectedAddress();
YesNoSetting BackupSetting();
YesNoSetting DefaultsWriteSetting();
YesNoSetting VersionSetting();
