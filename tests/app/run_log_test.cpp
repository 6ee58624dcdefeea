// The run log: how the console's texts become its lines, and a run appended
// to the file a technician sends.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/run_log.h"
#include "platform/console.h"

namespace {

using plat::ConTee;

struct Piece {
  const char* text;
  ConTee kind;
  const char* stamp;
};

TEST(RunLogLines, ScreenTextBecomesStampedPlainLines) {
  struct Case {
    const char* name;
    std::vector<Piece> pieces;
    const char* lines;
  };
  const Case cases[] = {
      {"a line in pieces keeps the stamp of its start",
       {{"Backing up Device Settings...", ConTee::Shown, "T1"},
        {".", ConTee::Shown, "T2"},
        {"Complete\r\n\r\n", ConTee::Shown, "T3"}},
       "T1  Backing up Device Settings....Complete\nT3  \n"},
      {"the upgrade mark and control octets",
       {{"[ 1]  1 Boiler \x18\x1b[K\r\n", ConTee::Shown, "T1"}},
       "T1  [ 1]  1 Boiler ^[K\n"},
      {"a rewrite in place is the screen's alone",
       {{"Programming:   0%", ConTee::Shown, "T1"},
        {" 45%", ConTee::Rewrite, "T2"},
        {"100%", ConTee::Rewrite, "T3"},
        {"\r\n", ConTee::Shown, "T4"}},
       "T1  Programming:   0%\n"},
      {"a rewrite's line end still ends the line",
       {{"Programming:   0%", ConTee::Shown, "T1"},
        {"FAILED\r\nError\r\n", ConTee::Rewrite, "T2"}},
       "T1  Programming:   0%\nT2  Error\n"},
      {"a note finishes the open line and stands on its own",
       {{"Select: ", ConTee::Shown, "T1"},
        {"Device 16 chosen\nBackup skipped", ConTee::Note, "T2"},
        {"3\r\n", ConTee::Shown, "T3"}},
       "T1  Select: \nT2 * Device 16 chosen\nT2 * Backup skipped\nT3  3\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunLogLines lines;
    std::string out;
    for (const Piece& p : c.pieces) lines.Add(p.text, p.kind, p.stamp, &out);
    lines.Flush(&out);
    EXPECT_EQ(out, c.lines);
  }
}

TEST(RunLog, ARunIsAppendedWithStampedLines) {
  const std::string path = ::testing::TempDir() + "run_log_test.log";
  {
    std::ofstream before(path, std::ios::binary | std::ios::trunc);
    before << "an earlier run\n";
  }
  char program[] = "brevane-flash";
  char option[] = "-cCom1";
  char* argv[] = {program, option};
  RunLog_Open(path.c_str(), 2, argv);
  plat::con_printf("ZONE: %d\r\n", 1);
  plat::con_note("Backup skipped");
  RunLog_Close(3);
  plat::con_printf("after the log\r\n");

  std::ifstream after(path, std::ios::binary);
  std::stringstream text;
  text << after.rdbuf();
  const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)";
  const std::regex expected("an earlier run\n" +
                            stamp + R"( \* Run started: brevane-flash -cCom1\n)" +
                            stamp + "  ZONE: 1\n" +
                            stamp + R"( \* Backup skipped\n)" +
                            stamp + R"( \* Run ended with exit status 3\n)");
  EXPECT_TRUE(std::regex_match(text.str(), expected)) << text.str();
  std::remove(path.c_str());
}

}  // namespace
