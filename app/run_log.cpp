#include "app/run_log.h"

#include <chrono>
#include <cstdio>

#include "platform/file.h"
#include "platform/sync.h"

namespace {

// Guards everything below it: the console tee runs on every thread that
// prints. Made by RunLog_Open; `g_lockMade` is the main thread's alone.
plat::CriticalSection g_lock;
bool g_lockMade = false;
plat::FileHandle g_file = nullptr;
RunLogLines g_lines;
std::string g_path;

// UTC, to the millisecond: "2026-12-09T06:23:48.123Z".
std::string Stamp() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

// Under the lock: false when the file took less than all of it.
bool WriteLocked(const std::string& lines) {
  if (lines.empty()) return true;
  uint32_t done = 0;
  return plat::file_write(g_file, lines.data(), static_cast<uint32_t>(lines.size()), &done) &&
         done == lines.size();
}

// Under the lock: stops logging after a failed write; the caller warns.
void GiveUpLocked() {
  plat::con_set_tee(nullptr);
  plat::file_close(g_file);
  g_file = nullptr;
}

void WarnWriteFailed() {
  plat::con_printf("Warning: the run log %s cannot be written; the run goes on without it.\r\n",
                   g_path.c_str());
}

void Tee(const char* text, std::size_t length, plat::ConTee kind) {
  plat::cs_enter(&g_lock);
  bool failed = false;
  if (g_file != nullptr) {
    std::string lines;
    g_lines.Add(std::string_view(text, length), kind, Stamp(), &lines);
    failed = !WriteLocked(lines);
    if (failed) GiveUpLocked();
  }
  plat::cs_leave(&g_lock);
  if (failed) WarnWriteFailed();
}

}  // namespace

void RunLogLines::Finish(std::string* out) {
  *out += stamp_ + "  " + line_;
  *out += '\n';
  line_.clear();
  open_ = false;
}

void RunLogLines::Add(std::string_view text, plat::ConTee kind, const std::string& stamp,
                      std::string* out) {
  std::string plain = plat::con_filter(text, plat::ConOutput::Stream);
  if (kind == plat::ConTee::Rewrite) {
    const std::size_t end = plain.find('\n');
    plain.erase(0, end == std::string::npos ? plain.size() : end);
  }
  if (kind == plat::ConTee::Note) {
    if (open_) Finish(out);
    std::size_t from = 0;
    while (from < plain.size()) {
      std::size_t end = plain.find('\n', from);
      if (end == std::string::npos) end = plain.size();
      *out += stamp + " * " + plain.substr(from, end - from) + "\n";
      from = end + 1;
    }
    return;
  }
  for (const char c : plain) {
    if (!open_) {
      stamp_ = stamp;
      open_ = true;
    }
    if (c == '\n') {
      Finish(out);
    } else {
      line_ += c;
    }
  }
}

void RunLogLines::Flush(std::string* out) {
  if (open_) Finish(out);
}

void RunLog_Open(const char* path, int argc, char** argv) {
  if (!g_lockMade) plat::cs_init(&g_lock);
  g_lockMade = true;
  g_path = path;
  plat::FileHandle file = plat::file_open(path, plat::file_exists(path)
                                                    ? plat::FileMode::OpenReadWrite
                                                    : plat::FileMode::CreateAlways);
  uint64_t end = 0;
  if (file != nullptr && !plat::file_seek(file, 0, plat::SeekFrom::End, &end)) {
    plat::file_close(file);
    file = nullptr;
  }
  if (file == nullptr) {
    plat::con_printf("Warning: the run log %s cannot be opened; the run goes on without it.\r\n",
                     path);
    return;
  }
  g_file = file;
  plat::con_set_tee(Tee);
  std::string command = "Run started:";
  for (int i = 0; i < argc; ++i) command += std::string(" ") + argv[i];
  plat::con_note("%s", command.c_str());
}

void RunLog_Close(int exitStatus) {
  if (!g_lockMade) return;
  plat::con_note("Run ended with exit status %d", exitStatus);
  plat::cs_enter(&g_lock);
  bool failed = false;
  if (g_file != nullptr) {
    std::string rest;
    g_lines.Flush(&rest);
    failed = !WriteLocked(rest);
    plat::con_set_tee(nullptr);
    plat::file_close(g_file);
    g_file = nullptr;
  }
  plat::cs_leave(&g_lock);
  if (failed) WarnWriteFailed();
}
