// The console: C runtime output and input, the console API for the cursor.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <conio.h>
#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/console.h"
#include "platform/console_shared.h"
#include "platform/interrupt.h"

namespace plat {
namespace {

// The messages carry their own "\r\n"; in text mode the runtime would make
// that "\r\r\n" in a file or a pipe. The console itself starts a new line on
// a bare "\n" either way.
void write_as_given() {
  static std::once_flag once;
  std::call_once(once, [] { _setmode(_fileno(stdout), _O_BINARY); });
}

bool input_is_console() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE;
}

// How often a wait for console input looks for an interrupt.
constexpr DWORD kSliceMs = 100;
// A line read that Ctrl-C cut short returns before the system has run the
// handler (on a thread of its own); this is how long it is given.
constexpr int kHandlerWaitMs = 250;

// Waits, in slices, until the console holds a key press that _getch would
// take; false when an interrupt came first. Other input events (mouse,
// focus, key releases) would keep the handle signalled, so the ones in front
// of the queue are dropped.
bool wait_for_key() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  while (!interrupt_requested()) {
    if (_kbhit() != 0) {
      return true;
    }
    INPUT_RECORD record{};
    DWORD count = 0;
    if (!PeekConsoleInputA(input, &record, 1, &count)) {
      return true;  // the read itself reports what is wrong
    }
    if (count == 0) {
      static_cast<void>(WaitForSingleObject(input, kSliceMs));
      continue;
    }
    // A key press that arrived after the _kbhit above is kept for the read.
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown && _kbhit() != 0) {
      return true;
    }
    static_cast<void>(ReadConsoleInputA(input, &record, 1, &count));
  }
  return false;
}

// After a console line read came back empty: true when an interrupt caused
// it (then the stream is not at its end).
bool cut_short_by_interrupt() {
  for (int waited = 0; !interrupt_requested() && waited < kHandlerWaitMs; waited += 10) {
    Sleep(10);
  }
  if (!interrupt_requested()) {
    return false;
  }
  std::clearerr(stdin);
  return true;
}

bool screen_info(CONSOLE_SCREEN_BUFFER_INFO* info) {
  return GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), info) != FALSE;
}

// A console shows the texts as they are, code page arrow and all; a pipe or
// a file gets plain lines with the Windows line end.
ConOutput output_kind() {
  static const ConOutput kind = [] {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    return screen_info(&info) ? ConOutput::Console : ConOutput::CrLfStream;
  }();
  return kind;
}

}  // namespace

void con_printf(const char* format, ...) {
  write_as_given();
  va_list args;
  va_start(args, format);
  const std::string text = con_vformat(format, args);
  va_end(args);
  con_write(text.data(), text.size(), output_kind());
}

bool con_read_int(int* value) {
  const bool console = input_is_console();
  if (interrupt_requested() || (console && !wait_for_key())) {
    return false;
  }
  char line[128];
  if (std::fgets(line, sizeof line, stdin) == nullptr) {
    if (console || interrupt_requested()) {
      static_cast<void>(cut_short_by_interrupt());
    }
    return false;
  }
  std::size_t length = std::strlen(line);
  // An overlong line is one answer, and no number: its rest must not be taken
  // for the next answer.
  if (length == sizeof line - 1 && line[length - 1] != '\n') {
    int c = 0;
    do {
      c = std::getchar();
    } while (c != EOF && c != '\n');
    return false;
  }
  while (length > 0 && std::isspace(static_cast<unsigned char>(line[length - 1])) != 0) {
    line[--length] = '\0';
  }
  const char* text = line;
  while (std::isspace(static_cast<unsigned char>(*text)) != 0) {
    ++text;
  }
  // The whole answer must be the number: "3x" is a typing error, not a 3.
  char* stop = nullptr;
  errno = 0;
  const long number = std::strtol(text, &stop, 10);
  if (*text == '\0' || *stop != '\0' || errno == ERANGE || number < INT_MIN || number > INT_MAX) {
    return false;
  }
  *value = static_cast<int>(number);
  return true;
}

bool con_at_end() { return std::feof(stdin) != 0; }

int con_read_key() {
  if (interrupt_requested()) {
    return -1;
  }
  if (input_is_console()) {
    if (!wait_for_key()) {
      return -1;
    }
    const int key = _getch();
    // Arrow and function keys come as a lead-in code and a key code; both
    // belong to this one key press, or the next wait for a key would end at once.
    if (key == 0 || key == 0xE0) {
      _getch();
    }
    return key;
  }
  const int c = std::getchar();
  if (c == EOF && interrupt_requested()) {
    std::clearerr(stdin);
  }
  return c == EOF ? -1 : c;
}

bool con_is_terminal() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  return screen_info(&info);
}

bool con_get_cursor(int* column, int* row) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!screen_info(&info)) {
    return false;
  }
  *column = info.dwCursorPosition.X;
  *row = info.dwCursorPosition.Y;
  return true;
}

bool con_set_cursor(int column, int row) {
  if (column < 0 || row < 0 || column > SHRT_MAX || row > SHRT_MAX) {
    return false;
  }
  std::fflush(stdout);
  const COORD position{static_cast<SHORT>(column), static_cast<SHORT>(row)};
  if (SetConsoleCursorPosition(GetStdHandle(STD_OUTPUT_HANDLE), position) == FALSE) {
    return false;
  }
  con_note_cursor_moved();
  return true;
}

}  // namespace plat
