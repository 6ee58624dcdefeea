#include "app/run_report.h"

#include <cstdio>
#include <ctime>

#include "app/settings.h"
#include "app/summary.h"
#include "client/port_name.h"
#include "client/typed_value.h"
#include "image/descriptor.h"
#include "platform/file.h"
#include "platform/serial.h"

namespace {

// Touched by the main thread only: the start, and the menu loop's timing.
int64_t g_startSeconds = 0;
uint32_t g_phaseMs[MaxDevices][RunPhaseCount] = {};

int64_t NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

const char* const kPhaseNames[RunPhaseCount] = {"backup", "programming", "finding_again",
                                                "restore"};

bool PhaseOf(MenuState state, RunPhase* phase) {
  switch (state) {
    case MenuState::BackupSettings:
      *phase = RunPhase::Backup;
      return true;
    case MenuState::StartProgramming:
    case MenuState::ProgrammingProgress:
      *phase = RunPhase::Programming;
      return true;
    case MenuState::AfterProgramming:
      *phase = RunPhase::FindingAgain;
      return true;
    case MenuState::RestoreSettings:
      *phase = RunPhase::Restore;
      return true;
    default:
      return false;
  }
}

// A JSON string. Octets above 127 (the console's code page, not UTF-8) are
// written as the code points of the same numbers, so that the file stays
// valid UTF-8 whatever a device calls itself.
std::string Quoted(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string VersionText(int release, int prototype, int build) {
  char text[40];
  std::snprintf(text, sizeof text, "%02d.%02d.%02d", release, prototype, build);
  return Quoted(text);
}

const char* SettingsWords(SettingsOutcome outcome) {
  switch (outcome) {
    case SettingsOutcome::NotTaken:
      return "not taken";
    case SettingsOutcome::Complete:
      return "complete";
    case SettingsOutcome::Failed:
      return "failed";
    case SettingsOutcome::Missing:
      return "no backup";
  }
  return "";
}

const char* ProgrammingWords(const DeviceUpdate& update) {
  if (!update.started) return "not started";
  if (!update.programming.has_value()) return "not finished";
  switch (*update.programming) {
    case Outcome::Done:
      return "done";
    case Outcome::NotFound:
      return "device lost";
    case Outcome::Stopped:
      return "interrupted";
    case Outcome::ProgrammingError:
      return "programming error";
    default:
      return "failed";
  }
}

std::string PhaseJson(RunPhase phase, const char* outcome, uint32_t ms) {
  // Tenths of a second, whatever decimal point the C locale would print.
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%u.%u", static_cast<unsigned>(ms / 1000),
                static_cast<unsigned>(ms % 1000 / 100));
  return std::string("\"") + kPhaseNames[static_cast<int>(phase)] + "\": {\"outcome\": " +
         Quoted(outcome) + ", \"seconds\": " + seconds + "}";
}

std::string DeviceJson(const DeviceReport& report, uint32_t index) {
  const DeviceRecord& device = report.before;
  const DeviceUpdate& update = report.update;
  const uint32_t findingMs = RunReport_PhaseMs(index, RunPhase::FindingAgain);
  const char* finding = update.foundAgain ? "found" : findingMs > 0 ? "not found" : "not reached";
  std::string json = "    {\"port\": " + Quoted(ShownPortName(device.portName));
  json += ", \"address\": " + std::to_string(device.address);
  json += ", \"zone\": " + std::to_string(ZoneOfAddress(device.address));
  json += ", \"model\": " + Quoted(device.modelNumber);
  json += ", \"serial\": " + std::to_string(device.serialNumber);
  json += ", \"name\": " + Quoted(device.deviceName);
  json += ",\n     \"version_before\": " +
          VersionText(device.release, device.prototype, device.build);
  json += ", \"version_after\": " + (update.versionRead
                                         ? VersionText(update.release, update.prototype,
                                                       update.build)
                                         : std::string("null"));
  json += ", \"outcome\": " + Quoted(to_string(OutcomeOf(report)));
  const bool backupNamed = report.backupFile[0] != '\0';
  json += ", \"backup_file\": " + (backupNamed ? Quoted(report.backupFile) : std::string("null"));
  // A backup restored whole, or of a device left unchanged, is removed.
  json += ", \"backup_kept\": ";
  json += backupNamed && plat::file_exists(report.backupFile) ? "true" : "false";
  json += ",\n     \"phases\": {" +
          PhaseJson(RunPhase::Backup, SettingsWords(report.backup),
                    RunReport_PhaseMs(index, RunPhase::Backup)) +
          ", " +
          PhaseJson(RunPhase::Programming, ProgrammingWords(update),
                    RunReport_PhaseMs(index, RunPhase::Programming)) +
          ", " + PhaseJson(RunPhase::FindingAgain, finding, findingMs) + ", " +
          PhaseJson(RunPhase::Restore, SettingsWords(report.restore),
                    RunReport_PhaseMs(index, RunPhase::Restore)) +
          "}}";
  return json;
}

// A station address asked for and not taken up: where it was looked for and
// why, and every phase not reached.
std::string GapJson(const RunGap& gap) {
  std::string json = "    {\"port\": " + Quoted(ShownPortName(gap.port));
  json += ", \"address\": " + std::to_string(gap.address);
  json += ", \"zone\": " + std::to_string(ZoneOfAddress(gap.address));
  json += ", \"model\": null, \"serial\": null, \"name\": null";
  json += ",\n     \"version_before\": null, \"version_after\": null";
  json += ", \"outcome\": " + Quoted(to_string(gap.kind));
  json += ", \"backup_file\": null, \"backup_kept\": false";
  json += ",\n     \"phases\": {" + PhaseJson(RunPhase::Backup, "not taken", 0) + ", " +
          PhaseJson(RunPhase::Programming, "not started", 0) + ", " +
          PhaseJson(RunPhase::FindingAgain, "not reached", 0) + ", " +
          PhaseJson(RunPhase::Restore, "not taken", 0) + "}}";
  return json;
}

}  // namespace

void RunReport_Start() {
  g_startSeconds = NowSeconds();
  for (auto& device : g_phaseMs) {
    for (uint32_t& ms : device) ms = 0;
  }
}

void RunReport_AddTime(uint32_t device, MenuState state, uint32_t ms) {
  RunPhase phase{};
  if (device < MaxDevices && PhaseOf(state, &phase)) g_phaseMs[device][static_cast<int>(phase)] += ms;
}

uint32_t RunReport_PhaseMs(uint32_t device, RunPhase phase) {
  return device < MaxDevices ? g_phaseMs[device][static_cast<int>(phase)] : 0;
}

std::string UtcText(int64_t seconds) {
  // Days since 1970-01-01 to a civil date (proleptic Gregorian calendar),
  // counted in eras of 400 years; the C library's gmtime is not thread-safe.
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  const int64_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(year),
                static_cast<int>(month), static_cast<int>(day), static_cast<int>(rest / 3600),
                static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return text;
}

std::string RunReport_Json(const FrontEndState& state, int exitStatus, int64_t endSeconds) {
  char tool[32];
  std::snprintf(tool, sizeof tool, "%d.%02d.%02d", ToolVersionMajor, ToolVersionMinor,
                ToolVersionPatch);
  std::string json = "{\n  \"tool_version\": " + Quoted(tool);
  json += ",\n  \"image_version\": " +
          VersionText(CarriedImageRelease, CarriedImagePrototype, CarriedImageBuild);
  json += ",\n  \"start\": " + Quoted(UtcText(g_startSeconds).c_str());
  json += ",\n  \"end\": " + Quoted(UtcText(endSeconds).c_str());
  json += ",\n  \"exit_status\": " + std::to_string(exitStatus);
  json += ",\n  \"interrupted\": ";
  json += state.interrupted ? "true" : "false";
  json += ",\n  \"unattended\": ";
  json += state.unattended ? "true" : "false";
  json += ",\n  \"devices\": [";
  uint32_t entries = 0;
  for (uint32_t i = 0; i < state.reportCount && i < MaxDevices; ++i) {
    json += (entries++ == 0 ? "\n" : ",\n") + DeviceJson(state.reports[i], i);
  }
  std::string portsNotOpened;
  for (uint32_t i = 0; i < state.gaps.count; ++i) {
    const RunGap& gap = state.gaps.gaps[i];
    if (gap.kind != GapKind::PortNotOpened) {
      json += (entries++ == 0 ? "\n" : ",\n") + GapJson(gap);
      continue;
    }
    portsNotOpened += portsNotOpened.empty() ? "\n" : ",\n";
    portsNotOpened += "    {\"port\": " + Quoted(ShownPortName(gap.port)) +
                      ", \"why\": " + Quoted(gap.why) + "}";
  }
  json += entries > 0 ? "\n  ]" : "]";
  // Only a run with lists has ports that did not open beside others.
  if (!portsNotOpened.empty()) json += ",\n  \"ports_not_opened\": [" + portsNotOpened + "\n  ]";
  json += "\n}\n";
  return json;
}

bool RunReport_Write(const char* path, const FrontEndState& state, int exitStatus, char* why,
                     std::size_t size) {
  const std::string text = RunReport_Json(state, exitStatus, NowSeconds());
  const std::string temporary = std::string(path) + ".tmp";
  auto failed = [&](const char* what, const char* name) {
    char system[160];
    plat::error_text(plat::last_error(), system, sizeof system);
    std::snprintf(why, size, "%s %s: %s", what, name, system);
    return false;
  };
  plat::FileHandle file = plat::file_open(temporary.c_str(), plat::FileMode::CreateAlways);
  if (file == nullptr) return failed("creating", temporary.c_str());
  uint32_t written = 0;
  const bool whole = plat::file_write(file, text.data(), static_cast<uint32_t>(text.size()),
                                      &written) &&
                     written == text.size() && plat::file_flush(file);
  if (!whole) {
    failed("writing", temporary.c_str());
    plat::file_close(file);
    plat::file_delete(temporary.c_str());
    return false;
  }
  if (!plat::file_close(file)) return failed("closing", temporary.c_str());
  if (!plat::file_replace(temporary.c_str(), path)) {
    failed(("renaming " + temporary + " to").c_str(), path);
    plat::file_delete(temporary.c_str());
    return false;
  }
  return true;
}
