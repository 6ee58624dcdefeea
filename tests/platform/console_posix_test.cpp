// Console input from redirected streams and from a terminal, and output to a
// terminal or a pipe (a pty that the test drives as the operator's screen).
#include <string>

#include "platform/console.h"
#include "tests/platform/posix_test_util.h"

namespace {

using brevane_test::Pty;
using brevane_test::TempDir;

// Runs `body` in a child whose stdin reads `input`; returns what the child
// wrote to the report pipe.
template <typename Body>
std::string run_with_stdin(const std::string& input, Body&& body) {
  TempDir dir;
  const std::string path = dir.path() + "/input";
  FILE* file = std::fopen(path.c_str(), "w");
  EXPECT_NE(file, nullptr);
  if (file == nullptr) return {};
  std::fputs(input.c_str(), file);
  std::fclose(file);

  int report[2];
  EXPECT_EQ(pipe(report), 0);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(20);
    close(report[0]);
    if (std::freopen(path.c_str(), "r", stdin) == nullptr) _exit(2);
    const std::string out = body();
    static_cast<void>(write(report[1], out.data(), out.size()));
    _exit(0);
  }
  close(report[1]);
  std::string got;
  char buffer[256];
  ssize_t n = 0;
  while ((n = read(report[0], buffer, sizeof buffer)) > 0) got.append(buffer, static_cast<std::size_t>(n));
  close(report[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return got;
}

TEST(ConsoleInput, NumbersAreWholeLinesAndEndOfInputIsToldApart) {
  const std::string overlong = "7" + std::string(5000, ' ') + "8\n";
  const std::string input = " 12 \n-7\n3 4\nabc\n\n+3\n99999999999\n" + overlong + "5";
  const std::string report = run_with_stdin(input, [] {
    std::string out;
    for (int i = 0; i < 10; ++i) {
      int value = 0;
      const bool ok = plat::con_read_int(&value);
      out += ok ? std::to_string(value) : (plat::con_at_end() ? "E" : "N");
      out += ' ';
    }
    return out;
  });
  // "3 4" is not one number, nor is a line too long to hold; the last line
  // has no line end and still counts.
  EXPECT_EQ(report, "12 -7 N N N 3 N N 5 E ");
}

TEST(ConsoleInput, KeysFromRedirectedInputComeOneOctetAtATime) {
  const std::string report = run_with_stdin("y\n", [] {
    std::string out;
    for (int i = 0; i < 3; ++i) out += std::to_string(plat::con_read_key()) + " ";
    out += plat::con_at_end() ? "end" : "more";
    return out;
  });
  EXPECT_EQ(report, "121 10 -1 end");
}

// Reads from the pty master until `wanted` has been seen (or time is up);
// returns everything read.
std::string read_until(const Pty& pty, const std::string& wanted, int wait_ms = 5000) {
  std::string seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (seen.find(wanted) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd entry{pty.master, POLLIN, 0};
    if (poll(&entry, 1, 20) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(pty.master, buffer, sizeof buffer);
    if (n > 0) seen.append(buffer, static_cast<std::size_t>(n));
  }
  return seen;
}

TEST(ConsoleTerminal, CursorIsAskedOfTheTerminalAndKeysAreReadWithoutEcho) {
  Pty pty;
  ASSERT_GE(pty.master, 0);
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    // The child is the program: the pty is its controlling terminal.
    alarm(20);
    close(report[0]);
    setsid();
    const int tty = open(pty.slave_path.c_str(), O_RDWR);
    if (tty < 0) _exit(2);
    dup2(tty, STDIN_FILENO);
    dup2(tty, STDOUT_FILENO);
    int column = -1;
    int row = -1;
    const bool terminal = plat::con_is_terminal();
    const bool got = plat::con_get_cursor(&column, &row);
    const bool set = plat::con_set_cursor(3, 7);
    const int key = plat::con_read_key();
    termios after{};
    tcgetattr(STDIN_FILENO, &after);
    const bool restored = (after.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO);
    const std::string out = std::to_string(terminal) + std::to_string(got) + " " +
                            std::to_string(column) + "," + std::to_string(row) + " " +
                            std::to_string(set) + " " + std::to_string(key) + " " +
                            std::to_string(restored);
    static_cast<void>(write(report[1], out.data(), out.size()));
    _exit(0);
  }
  close(report[1]);

  // Answer the position query as a terminal would: row 5, column 12 (1-based).
  EXPECT_NE(read_until(pty, "\x1b[6n").find("\x1b[6n"), std::string::npos);
  const std::string answer = "\x1b[5;12R";
  ASSERT_EQ(write(pty.master, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
  EXPECT_NE(read_until(pty, "\x1b[8;4H").find("\x1b[8;4H"), std::string::npos);

  // Press a key only once the program has turned echo off, then make sure
  // the terminal did not echo it.
  bool raw = false;
  for (int i = 0; i < 500 && !raw; ++i) {
    raw = (pty.slave_settings().c_lflag & ECHO) == 0;
    if (!raw) usleep(10 * 1000);
  }
  EXPECT_TRUE(raw);
  ASSERT_EQ(write(pty.master, "k", 1), 1);

  std::string got;
  char buffer[128];
  ssize_t n = 0;
  while ((n = read(report[0], buffer, sizeof buffer)) > 0) got.append(buffer, static_cast<std::size_t>(n));
  close(report[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(got, "11 11,4 1 107 1");
  EXPECT_EQ(read_until(pty, "k", 100).find('k'), std::string::npos);
}

// The texts as a program's child writes them to a terminal (a raw pty, so
// that the line discipline adds nothing) or to a pipe, under its locale.
TEST(ConsoleOutput, TextsFitTheTerminalOrPipeTheyGoTo) {
  struct Case {
    const char* name;
    bool terminal;
    const char* lang;
    std::string shown;
  };
  const Case cases[] = {
      {"UTF-8 terminal", true, "en_US.UTF-8", "14.00.172\xE2\x86\x91 Com1\r\n\x1b[2;1H  5%END"},
      {"other terminal", true, "C", "14.00.172^ Com1\r\n\x1b[2;1H  5%END"},
      {"pipe", false, "en_US.UTF-8", "14.00.172^ Com1\n  5%END"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pty pty;
    ASSERT_GE(pty.master, 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(20);
      close(out[0]);
      unsetenv("LC_ALL");
      unsetenv("LC_CTYPE");
      setenv("LANG", c.lang, 1);
      if (c.terminal) {
        termios raw{};
        tcgetattr(pty.slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(pty.slave, TCSANOW, &raw);
        dup2(pty.slave, STDOUT_FILENO);
      } else {
        dup2(out[1], STDOUT_FILENO);
      }
      plat::con_printf("%s\x18 Com1\r\n", "14.00.172");
      plat::con_set_cursor(0, 1);
      plat::con_printf("%3d%%", 5);
      plat::con_printf("END");
      _exit(0);
    }
    close(out[1]);
    std::string got;
    if (c.terminal) {
      got = read_until(pty, "END");
    } else {
      char buffer[256];
      ssize_t n = 0;
      while ((n = read(out[0], buffer, sizeof buffer)) > 0) {
        got.append(buffer, static_cast<std::size_t>(n));
      }
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(got, c.shown);
  }
}

}  // namespace
