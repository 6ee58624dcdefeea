#include "app/settings.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Written only while the command line is read, before any job is handed to
// a worker; read-only afterwards.
StartupSettings g_settings;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr const char* kProgram = "brevane-flash";

// The options the tool knows, by their letter.
constexpr const char kOptionLetters[] = "cafbvrl";

// Spellings of the options in the long form other tools use.
struct LongName {
  const char* name;
  char letter;
  const char* example;
};
constexpr LongName kLongNames[] = {
    {"port", 'c', "-cCom3"},       {"com", 'c', "-cCom3"},         {"address", 'a', "-a16"},
    {"addr", 'a', "-a16"},         {"factory", 'f', "-fNO"},       {"defaults", 'f', "-fNO"},
    {"backup", 'b', "-bNO"},       {"version", 'v', "-vYES"},      {"report", 'r', "-rreport.json"},
    {"log", 'l', "-lbrevane.log"},
};

const char* ExampleOf(char letter) {
  for (const LongName& n : kLongNames) {
    if (n.letter == letter) return n.example;
  }
  return "";
}

// The argument as it can be shown in one line: control characters as '?',
// and a long one cut.
std::string Shown(const char* argument) {
  constexpr std::size_t kShownMax = 60;
  std::string text;
  for (std::size_t i = 0; argument[i] != '\0'; ++i) {
    if (i == kShownMax) return text + "...";
    const auto c = static_cast<unsigned char>(argument[i]);
    text += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
  }
  return text;
}

// A port name: Com3, \\.\Com12, or a device path on Linux.
bool IsPortNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("\\/._-:", c) != nullptr;
}

// The items of a comma-separated list, empty ones included.
std::vector<std::string> SplitList(const char* value) {
  std::vector<std::string> items(1);
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p == ',') {
      items.emplace_back();
    } else {
      items.back() += *p;
    }
  }
  return items;
}

std::string Upper(const std::string& text) {
  std::string upper = text;
  for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  return upper;
}

// Why one port name can never be right, or nullptr.
const char* PortNameFault(const std::string& name) {
  if (name.size() > static_cast<std::size_t>(CommandPortMax)) return "longer than a port name can be";
  for (char c : name) {
    if (!IsPortNameCharacter(c)) return "not a port name";
  }
  return nullptr;
}

// The refusal of a -c value, or "": one port name, or a list of up to
// MaxUnattendedPorts names, each once (in any letter case the same port).
std::string PortRefusal(const char* argument, const char* value) {
  const std::vector<std::string> items = SplitList(value);
  char line[300];
  line[0] = '\0';
  if (items.size() == 1) {
    if (const char* why = PortNameFault(items[0])) {
      std::snprintf(line, sizeof line,
                    ": %s; -c takes a port name of at most %d letters, digits and \\ / . _ - :, "
                    "as in -cCom3",
                    why, CommandPortMax);
    }
  } else if (items.size() > static_cast<std::size_t>(MaxUnattendedPorts)) {
    std::snprintf(line, sizeof line,
                  ": %u ports; -c takes at most %d, one for each port connection",
                  static_cast<unsigned>(items.size()), MaxUnattendedPorts);
  } else {
    for (std::size_t i = 0; i < items.size() && line[0] == '\0'; ++i) {
      const std::string shown = Shown(items[i].c_str());
      const char* why = items[i].empty() ? "an empty item" : PortNameFault(items[i]);
      for (std::size_t j = 0; j < i && why == nullptr; ++j) {
        if (Upper(items[j]) == Upper(items[i])) why = "named twice";
      }
      if (why != nullptr) {
        std::snprintf(line, sizeof line,
                      ": %s%s%s; -c takes port names of at most %d letters, digits and "
                      "\\ / . _ - :, separated by commas, each once, as in -cCom3,Com4",
                      items[i].empty() ? "" : shown.c_str(), items[i].empty() ? "" : " is ", why,
                      CommandPortMax);
      }
    }
  }
  if (line[0] == '\0') return "";
  return std::string(kProgram) + ": " + Shown(argument) + line;
}

// The number an -a item holds: leading blanks and a plus sign allowed, as the
// conversion takes them; -1 when it is no whole decimal number, and a number
// past the highest address stands for all that are too high.
int AddressNumber(const char* value) {
  const char* p = value;
  while (IsBlank(*p)) ++p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  const char* digits = p;
  int number = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    // Past the highest address the size no longer matters.
    number = number > UnattendedOffAddress ? number : number * 10 + (*p - '0');
  }
  if (p == digits || *p != '\0') return -1;
  return negative ? UnattendedOffAddress + 1 : number;
}

bool IsStationAddress(int number) {
  return number >= StationAddressLow && number <= StationAddressHigh;
}

// The refusal of an -a value, or "": a station address (or 255), ALL,
// UPGRADE, or a list of station addresses, each once.
std::string AddressRefusal(const char* argument, const char* value) {
  const std::string word = Upper(value);
  if (word == "ALL" || word == "UPGRADE") return "";
  const std::vector<std::string> items = SplitList(value);
  char line[300];
  line[0] = '\0';
  if (items.size() == 1) {
    const int number = AddressNumber(value);
    if (IsStationAddress(number) || number == UnattendedOffAddress) return "";
    std::snprintf(line, sizeof line,
                  ": %s; -a takes a controller's station address, %d to %d, as in -a16, a list "
                  "of them as in -a16,17, ALL or UPGRADE (or %d: no unattended mode)",
                  number >= 0 ? "not a station address" : "not a number", StationAddressLow,
                  StationAddressHigh, UnattendedOffAddress);
  } else {
    for (std::size_t i = 0; i < items.size() && line[0] == '\0'; ++i) {
      const std::string upper = Upper(items[i]);
      const int number = AddressNumber(items[i].c_str());
      const char* why = nullptr;
      if (items[i].empty()) {
        why = "an empty item";
      } else if (upper == "ALL" || upper == "UPGRADE") {
        why = "a word that stands alone";
      } else if (number < 0) {
        why = "not a number";
      } else if (!IsStationAddress(number)) {
        why = "not a station address";
      }
      for (std::size_t j = 0; j < i && why == nullptr; ++j) {
        if (AddressNumber(items[j].c_str()) == number) why = "named twice";
      }
      if (why != nullptr) {
        const std::string shown = Shown(items[i].c_str());
        std::snprintf(line, sizeof line,
                      ": %s%s%s; a list after -a holds station addresses %d to %d, each once, as "
                      "in -a16,17 (ALL and UPGRADE stand alone)",
                      items[i].empty() ? "" : shown.c_str(), items[i].empty() ? "" : " is ", why,
                      StationAddressLow, StationAddressHigh);
      }
    }
  }
  if (line[0] == '\0') return "";
  return std::string(kProgram) + ": " + Shown(argument) + line;
}

bool IsHelp(const char* argument) {
  return std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "-?") == 0 ||
         std::strcmp(argument, "--help") == 0;
}

// The argument that FindOption takes for `option`, or nullptr.
const char* FirstMatch(const char* option, int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument != nullptr && argument[0] == option[0] && argument[1] == option[1]) return argument;
  }
  return nullptr;
}

// The warning for an argument that matches no option but looks meant as one, or "".
std::string MisspeltWarning(const char* argument) {
  if (argument[0] != '-') return "";
  const char letter = argument[1];
  if (letter >= 'A' && letter <= 'Z' &&
      std::strchr(kOptionLetters, letter - 'A' + 'a') != nullptr) {
    std::string meant = argument;
    meant[1] = static_cast<char>(letter - 'A' + 'a');
    return std::string(kProgram) + ": " + Shown(argument) +
           " is ignored: option letters are lower case (" + Shown(meant.c_str()) + ")";
  }
  if (letter != '-' || argument[2] == '\0') return "";
  const char* word = argument + 2;
  const std::size_t length = std::strcspn(word, "=");
  for (const LongName& n : kLongNames) {
    if (std::strlen(n.name) == length && std::strncmp(n.name, word, length) == 0) {
      return std::string(kProgram) + ": " + Shown(argument) +
             " is ignored: options are one letter with the value directly behind it, as in " +
             n.example + "; -h lists them";
    }
  }
  return "";
}

}  // namespace

CommandLineCheck CheckCommandLine(int argc, const char* const* argv) {
  CommandLineCheck check;
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr && IsHelp(argv[i])) {
      check.verdict = CommandLineVerdict::Help;
      return check;
    }
  }
  for (const char* letter = kOptionLetters; *letter != '\0'; ++letter) {
    const char option[3] = {'-', *letter, '\0'};
    const char* argument = FirstMatch(option, argc, argv);
    if (argument == nullptr) continue;
    const char* value = argument + 2;
    std::string refusal;
    if (*value == '\0') {
      if (*letter == 'r' || *letter == 'l') {
        refusal = std::string(kProgram) + ": " + option + ": no file name; write it directly " +
                  "behind the letter, as in " + ExampleOf(*letter);
      } else {
        check.warnings.push_back(std::string(kProgram) + ": " + option +
                                 " is ignored: it has no value; write the value directly behind "
                                 "the letter, as in " +
                                 ExampleOf(*letter));
      }
    } else if (*letter == 'c') {
      refusal = PortRefusal(argument, value);
    } else if (*letter == 'a') {
      refusal = AddressRefusal(argument, value);
    } else if (*letter != 'r' && *letter != 'l' && ParseYesNo(value) == YesNoSetting::Unset) {
      refusal = std::string(kProgram) + ": " + Shown(argument) + ": -" + *letter +
                " takes YES or NO (in any letter case)";
    }
    if (!refusal.empty()) {
      check.verdict = CommandLineVerdict::Refused;
      check.refusal = refusal;
      check.warnings.clear();
      return check;
    }
  }
  // Several ports need to be told which controllers: "the port's one
  // fitting controller" is a choice for one port alone.
  const char* ports = FirstMatch("-c", argc, argv);
  const char* addresses = FirstMatch("-a", argc, argv);
  if (ports != nullptr && std::strchr(ports, ',') != nullptr &&
      (addresses == nullptr || addresses[2] == '\0')) {
    check.verdict = CommandLineVerdict::Refused;
    check.refusal = std::string(kProgram) + ": " + Shown(ports) +
                    ": several ports need -a: station addresses (as in -a16,17), ALL or UPGRADE";
    check.warnings.clear();
    return check;
  }
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) continue;
    std::string warning = MisspeltWarning(argv[i]);
    if (!warning.empty()) check.warnings.push_back(warning);
  }
  return check;
}

const char* UsageText() {
  return "Usage: brevane-flash [-cPORT[,PORT...] [-aADDRESS[,ADDRESS...]|-aALL|-aUPGRADE]]\n"
         "                     [-bNO] [-fNO] [-vYES] [-rFILE] [-lFILE]\n"
         "Updates the firmware of the controllers on a Tarnix bus behind a serial port.\n"
         "Without -c it asks for the port and the controllers in menus.\n"
         "\n"
         "Options (the value directly behind the letter, no blank):\n"
         "  -cPORT     unattended mode: the port, as in -cCom3 or -c\\\\.\\Com12, or up to 8\n"
         "             ports separated by commas (-cCom3,Com4), discovered one after another\n"
         "  -aADDRESS  with -c: the station address of the controller to update, 4 to 32;\n"
         "             without -a the one fitting controller on the port, if there is one;\n"
         "             a list (-a16,17) on every port, ALL (every controller the carried\n"
         "             firmware fits) or UPGRADE (those with older firmware); updated one\n"
         "             after another\n"
         "  -bNO       no settings backup before programming and no restore after it\n"
         "  -fNO       no write of the factory settings after programming\n"
         "  -vYES      print the version banner\n"
         "  -rFILE     write a report of the run (JSON) to FILE when it ends\n"
         "  -lFILE     write a log of the run to FILE\n"
         "  -h, -?, --help  this text\n"
         "YES and NO may be written in any letter case.\n"
         "\n"
         "Environment:\n"
         "  BREVANE_BACKUPS   the backup folder (default: the working directory)\n"
         "  BREVANE_PORTS     the port directory on Linux (links comN to the ttys)\n"
         "  BREVANE_REGISTRY  where the device registry is kept on Linux\n"
         "  BREVANE_CAPTURE   a file that receives every frame sent or received\n"
         "\n"
         "Backups: each controller's settings are saved as MODELSERIAL-31.qsv in the backup\n"
         "folder before it is programmed, and removed once they are all restored.\n"
         "Address moves of other controllers are kept in brevane-address-moves.txt there.\n"
         "\n"
         "Exit status:\n"
         "  0    every chosen controller updated, or none chosen\n"
         "  2    a refused command line; or unattended mode found nothing at all to\n"
         "       update: no port opened, or no controller asked for was found\n"
         "  3    a chosen controller was not updated completely (the summary names it);\n"
         "       or, with lists, a port did not open or an address was not found\n"
         "  4    unattended mode: a controller reported a programming error\n"
         "  130  interrupted (Ctrl-C, Ctrl-Break, SIGTERM, SIGHUP, the console closed)\n";
}

const char* FindOption(const char* option, int argc, const char* const* argv) {
  // The index runs over the whole int range: any number of arguments ends.
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument == nullptr) continue;
    if (argument[0] == option[0] && argument[0] != '\0' && argument[1] == option[1]) {
      return argument[2] != '\0' ? argument + 2 : nullptr;
    }
  }
  return nullptr;
}

YesNoSetting ParseYesNo(const char* text) {
  char upper[YesNoTextMax + 1];
  std::size_t n = 0;
  for (; text[n] != '\0'; ++n) {
    if (n == YesNoTextMax) return YesNoSetting::Unset;
    const char c = text[n];
    upper[n] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  upper[n] = '\0';
  if (std::strcmp(upper, "YES") == 0) return YesNoSetting::Yes;
  if (std::strcmp(upper, "NO") == 0) return YesNoSetting::No;
  return YesNoSetting::Unset;
}

uint8_t ParseAddress(const char* text) {
  while (IsBlank(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  // Only the low 8 bits are kept, so the digits are summed modulo 256 and
  // no number is too long.
  unsigned value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = (value * 10 + static_cast<unsigned>(*text - '0')) & 0xFFu;
  }
  if (negative) value = (0x100u - value) & 0xFFu;
  return static_cast<uint8_t>(value);
}

void ParseCommandLine(int argc, const char* const* argv) {
  g_settings = StartupSettings{};
  if (const char* port = FindOption("-c", argc, argv)) {
    for (const std::string& item : SplitList(port)) {
      if (item.empty() || item.size() > static_cast<std::size_t>(CommandPortMax)) {
        g_settings.commandPorts.clear();
        break;
      }
      g_settings.commandPorts.push_back(item);
    }
    if (!g_settings.commandPorts.empty()) {
      std::strcpy(g_settings.commandPort, g_settings.commandPorts.front().c_str());
    }
  }
  if (const char* address = FindOption("-a", argc, argv)) {
    const std::string word = Upper(address);
    if (word == "ALL") {
      g_settings.addressChoice = AddressChoice::All;
    } else if (word == "UPGRADE") {
      g_settings.addressChoice = AddressChoice::Upgrade;
    } else if (std::strchr(address, ',') != nullptr) {
      g_settings.addressChoice = AddressChoice::List;
      for (const std::string& item : SplitList(address)) {
        g_settings.commandAddresses.push_back(ParseAddress(item.c_str()));
      }
    } else {
      g_settings.commandAddress = ParseAddress(address);
    }
  }
  if (const char* value = FindOption("-f", argc, argv)) {
    g_settings.defaultsWriteSetting = ParseYesNo(value);
  }
  if (const char* value = FindOption("-b", argc, argv)) {
    g_settings.backupSetting = ParseYesNo(value);
  }
  if (const char* value = FindOption("-v", argc, argv)) {
    g_settings.versionSetting = ParseYesNo(value);
  }
  if (const char* value = FindOption("-r", argc, argv)) g_settings.reportFile = value;
  if (const char* value = FindOption("-l", argc, argv)) g_settings.logFile = value;
  Image_SetPolicy(g_settings.backupSetting, g_settings.defaultsWriteSetting);
}

const StartupSettings& Settings() { return g_settings; }

bool IsPreselected() {
  return g_settings.commandPort[0] != '\0' &&
         (g_settings.addressChoice != AddressChoice::One || g_settings.commandAddress != 255);
}

bool IsFleetRun() {
  return IsPreselected() &&
         (g_settings.commandPorts.size() > 1 || g_settings.addressChoice != AddressChoice::One);
}

const char* PreselectedPort() { return IsPreselected() ? g_settings.commandPort : nullptr; }
uint8_t PreselectedAddress() { return g_settings.commandAddress; }
YesNoSetting BackupSetting() { return g_settings.backupSetting; }
YesNoSetting DefaultsWriteSetting() { return g_settings.defaultsWriteSetting; }
YesNoSetting VersionSetting() { return g_settings.versionSetting; }

const char* ReportFileSetting() {
  return g_settings.reportFile.empty() ? nullptr : g_settings.reportFile.c_str();
}

const char* LogFileSetting() {
  return g_settings.logFile.empty() ? nullptr : g_settings.logFile.c_str();
}
