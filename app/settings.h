// The command line and the settings it gives. Options are written with their
// value directly behind the letter (-cCom3, -a16, -bNO, -fyes, -vYES; -c and
// -a also take comma-separated lists, and -a ALL or UPGRADE); the first
// argument that starts with an option's two characters decides, and an empty
// value counts as the option being absent. CheckCommandLine looks at the
// whole command line first: it finds a request for help, refuses a value that
// can never be right, and warns of a misspelt option; a command line it lets
// through is parsed by ParseCommandLine as it always was.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/image_package.h"

// Longest -c value kept; a longer one is refused rather than cut to the name
// of another port (ParseCommandLine on its own leaves the port empty).
inline constexpr int CommandPortMax = 19;
// Longest text ParseYesNo looks at; a longer one names neither YES nor NO.
inline constexpr int YesNoTextMax = 31;

// The tool's own version (the banner, the help, the run report).
inline constexpr int ToolVersionMajor = 0;
inline constexpr int ToolVersionMinor = 14;
inline constexpr int ToolVersionPatch = 16;

// The station addresses -a takes: those a controller can have on the bus
// (the range unattended mode scans), and 255, which turns unattended mode off.
inline constexpr int StationAddressLow = 4;
inline constexpr int StationAddressHigh = 32;
inline constexpr int UnattendedOffAddress = 255;

// Most ports -c takes: one port connection each.
inline constexpr int MaxUnattendedPorts = 8;

// How -a chooses the controllers of an unattended run.
enum class AddressChoice : uint8_t {
  One,      // commandAddress (0: the port's one fitting controller; 255: no unattended mode)
  List,     // every address of commandAddresses, on every port
  All,      // every controller the carried firmware fits (-aALL)
  Upgrade,  // those of them whose firmware is older than the carried one (-aUPGRADE)
};

// Exit status of a command line that was refused (a line on standard error
// says which argument and what it takes).
inline constexpr int ExitCommandLineRefused = 2;

struct StartupSettings {
  // The first port of -c; commandPorts holds every port of it, in order.
  char commandPort[CommandPortMax + 1] = {};
  std::vector<std::string> commandPorts;
  uint8_t commandAddress = 0;  // 255: unattended mode off
  AddressChoice addressChoice = AddressChoice::One;
  std::vector<uint8_t> commandAddresses;  // AddressChoice::List, in the order given
  YesNoSetting defaultsWriteSetting = YesNoSetting::Unset;
  YesNoSetting backupSetting = YesNoSetting::Unset;
  YesNoSetting versionSetting = YesNoSetting::Unset;
  // -r and -l: files named on the command line; empty when not given.
  std::string reportFile;
  std::string logFile;
};

enum class CommandLineVerdict : uint8_t {
  Run,      // parse it and run
  Help,     // -h, -? or --help: print UsageText() and end with status 0
  Refused,  // end with ExitCommandLineRefused, after the refusal line
};

struct CommandLineCheck {
  CommandLineVerdict verdict = CommandLineVerdict::Run;
  // Refused: one line (no line end) naming the argument and what it takes.
  std::string refusal;
  // Arguments ignored that look like a misspelt option, one line each.
  std::vector<std::string> warnings;
};

// Looks at the arguments before anything else happens: help first, then the
// values of the options in order, then the misspelt forms. Touches no setting.
CommandLineCheck CheckCommandLine(int argc, const char* const* argv);
// The text printed for -h, -? and --help (lines end in '\n').
const char* UsageText();

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
// Unattended with a list: several ports, several addresses, ALL or UPGRADE.
// The single forms (-cPORT, -cPORT -aADDRESS) are not.
bool IsFleetRun();
const char* PreselectedPort();  // nullptr unless IsPreselected()
uint8_t PreselectedAddress();
YesNoSetting BackupSetting();
YesNoSetting DefaultsWriteSetting();
YesNoSetting VersionSetting();
// The file the run report (-r) and the log (-l) go to; nullptr when not given.
const char* ReportFileSetting();
const char* LogFileSetting();
