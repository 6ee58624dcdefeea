// The console on a POSIX terminal, or on plain streams when redirected.
// Cursor positions are asked of the terminal itself (ESC [6n) rather than
// counted from our own output, so they stay right after the screen scrolls
// or another program writes to it.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/console.h"
#include "platform/console_shared.h"
#include "platform/interrupt.h"
#include "platform/posix/posix_util.h"

namespace plat {

namespace {

using posix::fail;

constexpr std::size_t kMaxLine = 4096;
constexpr int kReplyWaitMs = 300;

std::atomic<bool> g_input_ended{false};

bool is_blank(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Parses a whole line as one decimal number with optional sign and blanks
// around it.
bool parse_int(const std::string& line, int* value) {
  std::size_t pos = 0;
  while (pos < line.size() && is_blank(line[pos])) ++pos;
  std::size_t end = line.size();
  while (end > pos && is_blank(line[end - 1])) --end;
  if (pos == end) return false;
  const std::string text = line.substr(pos, end - pos);
  errno = 0;
  char* stop = nullptr;
  const long parsed = std::strtol(text.c_str(), &stop, 10);
  if (stop != text.c_str() + text.size() || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) {
    return false;
  }
  *value = static_cast<int>(parsed);
  return true;
}

// Reads the terminal's answer to a cursor query: ESC [ row ; column R.
bool read_cursor_reply(int fd, int* column, int* row) {
  std::string reply;
  while (reply.size() < 32) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, kReplyWaitMs) <= 0) return false;
    char c = 0;
    if (read(fd, &c, 1) != 1) return false;
    if (reply.empty() && c != '\x1b') continue;  // typed-ahead keys before the answer
    reply += c;
    if (c == 'R') break;
  }
  int r = 0;
  int col = 0;
  if (std::sscanf(reply.c_str(), "\x1b[%d;%dR", &r, &col) != 2 || r < 1 || col < 1) return false;
  *row = r - 1;
  *column = col - 1;
  return true;
}

// One octet from standard input, or EOF. A read cut short by a signal is
// tried again, unless the signal was an interrupt: then `interrupted` is set
// and EOF returned, and the stream is left as it was (not at its end).
int read_octet(bool* interrupted) {
  for (;;) {
    errno = 0;
    const int c = std::getc(stdin);
    if (c != EOF || std::ferror(stdin) == 0 || errno != EINTR) return c;
    std::clearerr(stdin);
    if (interrupt_requested()) {
      *interrupted = true;
      return EOF;
    }
  }
}

// Decided once: where standard output goes does not change while the
// program runs.
ConOutput output_kind() {
  static const ConOutput kind = [] {
    if (isatty(STDOUT_FILENO) == 0) return ConOutput::Stream;
    return con_locale_is_utf8(std::getenv("LC_ALL"), std::getenv("LC_CTYPE"), std::getenv("LANG"))
               ? ConOutput::Utf8Terminal
               : ConOutput::Terminal;
  }();
  return kind;
}

}  // namespace

void con_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = con_vformat(format, args);
  va_end(args);
  con_write(text.data(), text.size(), output_kind());
}

bool con_read_int(int* value) {
  if (value == nullptr) return fail(EINVAL);
  if (interrupt_requested()) return fail(EINTR);
  std::string line;
  int c = 0;
  bool any = false;
  bool overlong = false;
  bool interrupted = false;
  // The whole line is one answer, however long; an overlong one holds no
  // number, and its rest must not be taken for the next answer.
  while ((c = read_octet(&interrupted)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line.size() < kMaxLine) {
      line += static_cast<char>(c);
    } else {
      overlong = true;
    }
  }
  // An interrupted answer is dropped; whatever follows is the next one.
  if (interrupted) return fail(EINTR);
  if (c == EOF) g_input_ended = true;
  if (!any) return fail(EIO);
  return (!overlong && parse_int(line, value)) || fail(EINVAL);
}

bool con_at_end() { return g_input_ended.load(); }

int con_read_key() {
  std::fflush(stdout);
  if (interrupt_requested()) {
    posix::set_error(EINTR);
    return -1;
  }
  int key = EOF;
  bool interrupted = false;
  termios saved{};
  if (isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved) == 0) {
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    key = read_octet(&interrupted);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  } else {
    key = read_octet(&interrupted);
  }
  if (interrupted) {
    posix::set_error(EINTR);
    return -1;
  }
  if (key == EOF) {
    g_input_ended = true;
    return -1;
  }
  return key;
}

bool con_is_terminal() { return isatty(STDOUT_FILENO) != 0; }

bool con_get_cursor(int* column, int* row) {
  if (column == nullptr || row == nullptr) return fail(EINVAL);
  if (!con_is_terminal()) return fail(ENOTTY);
  std::fflush(stdout);
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return fail(errno);
  termios saved{};
  bool ok = false;
  if (tcgetattr(fd, &saved) == 0) {
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &raw) == 0) {
      static constexpr char kQuery[] = "\x1b[6n";
      ok = write(fd, kQuery, sizeof kQuery - 1) == static_cast<ssize_t>(sizeof kQuery - 1) &&
           read_cursor_reply(fd, column, row);
      tcsetattr(fd, TCSANOW, &saved);
    }
  }
  close(fd);
  return ok || fail(EIO);
}

bool con_set_cursor(int column, int row) {
  if (column < 0 || row < 0) return fail(EINVAL);
  if (!con_is_terminal()) return fail(ENOTTY);
  std::printf("\x1b[%d;%dH", row + 1, column + 1);
  std::fflush(stdout);
  con_note_cursor_moved();
  return true;
}

}  // namespace plat
