#include "app/settings.h"

#include <cstring>

namespace {

// Written only while the command line is read, before any job is handed to
// a worker; read-only afterwards.
StartupSettings g_settings;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

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
    if (std::strlen(port) <= static_cast<std::size_t>(CommandPortMax)) {
      std::strcpy(g_settings.commandPort, port);
    }
  }
  if (const char* address = FindOption("-a", argc, argv)) {
    g_settings.commandAddress = ParseAddress(address);
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
  Image_SetPolicy(g_settings.backupSetting, g_settings.defaultsWriteSetting);
}

const StartupSettings& Settings() { return g_settings; }

bool IsPreselected() {
  return g_settings.commandPort[0] != '\0' && g_settings.commandAddress != 255;
}

const char* PreselectedPort() { return IsPreselected() ? g_settings.commandPort : nullptr; }
uint8_t PreselectedAddress() { return g_settings.commandAddress; }
YesNoSetting BackupSetting() { return g_settings.backupSetting; }
YesNoSetting DefaultsWriteSetting() { return g_settings.defaultsWriteSetting; }
YesNoSetting VersionSetting() { return g_settings.versionSetting; }
