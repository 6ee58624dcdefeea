// The run log (-lFILE): every line the console shows and the notes of the
// decisions behind them (plat::con_note), each with the time it began,
// appended to one file that a technician can send to support. The bus frames
// are not in it: the bus capture is for those.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/console.h"

// Cuts what the console writes into the run log's lines. Texts come as given
// to the console (see plat::ConsoleTee); each finished line is "STAMP  text",
// a note's "STAMP * text", with the stamp of the moment its first octet came.
// A rewrite in place (a progress field, a note behind it) is the screen's
// alone: the log takes it from its first line end on.
class RunLogLines {
 public:
  // Appends the finished lines to `out`, each ending in "\n".
  void Add(std::string_view text, plat::ConTee kind, const std::string& stamp, std::string* out);
  // The unfinished line, finished.
  void Flush(std::string* out);

 private:
  void Finish(std::string* out);
  std::string line_;
  std::string stamp_;
  bool open_ = false;
};

// Opens `path` to append to (it is created when missing) and logs from now
// on; the command line is its first note. Both calls are the main thread's. When the file cannot be opened or
// a write fails, the console says so once and the run goes on without a log.
void RunLog_Open(const char* path, int argc, char** argv);
// Logs how the run ends and closes the file; nothing when no log is open.
void RunLog_Close(int exitStatus);
