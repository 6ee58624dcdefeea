// The console: formatted output, number and key input, and the cursor for
// progress lines that rewrite themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

// printf-style output to standard output, flushed at once.
void con_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reads one whole-number answer. False when the line holds no number or input
// has ended (see con_at_end()).
bool con_read_int(int* value);
bool con_at_end();

// One key without echo; -1 when input has ended.
int con_read_key();

// Both reads return early, false and -1, when an interrupt is requested
// (platform/interrupt.h), whether it came before the call or while it
// waited; input has not ended then (con_at_end() stays false) and callers
// ask interrupt_requested() to tell the two apart.

// True when standard output is a terminal (cursor moves are possible). When it
// is not, the cursor calls print nothing and return false. Columns and rows
// count from 0; POSIX terminals are asked for the position (ESC [6n).
bool con_is_terminal();
bool con_get_cursor(int* column, int* row);
bool con_set_cursor(int column, int row);

// plat::now_ms() when con_printf last wrote something (0 before it first did),
// so that a wait can show itself once nothing has been written for a while.
uint32_t con_last_output_ms();

// Where standard output goes, as far as the texts' form is concerned.
enum class ConOutput {
  Console,       // the Windows console: texts as they are
  Terminal,      // a POSIX terminal whose locale is not UTF-8
  Utf8Terminal,  // a POSIX terminal whose locale is UTF-8
  Stream,        // a pipe or a file, lines ending in LF
  CrLfStream,    // a pipe or a file, lines ending in CR LF
};

// The texts carry "\r\n" line ends and code 24 as the upgrade mark (the
// Windows console's up arrow). The Windows console takes them as they are; on
// a POSIX terminal the mark becomes "^", or the arrow in UTF-8; in a stream
// the mark becomes "^" and every control octet but the line end and TAB is
// dropped, so that scripts and log files get plain lines.
std::string con_filter(std::string_view text, ConOutput to);
// Whether the locale the environment names is UTF-8: the first of LC_ALL,
// LC_CTYPE and LANG that is set and not empty decides (null: not set).
bool con_locale_is_utf8(const char* lc_all, const char* lc_ctype, const char* lang);

// What the tee is handed.
enum class ConTee {
  Shown,    // a text written as it came
  Rewrite,  // written right after a cursor move (con_set_cursor): it
            // overwrites what the screen showed
  Note,     // given to con_note: for the tee alone, nothing is shown
};
// Receives every text con_printf writes, as given before con_filter, once it
// is written, and every note. Called on the thread that printed; nullptr
// stops it.
using ConsoleTee = void (*)(const char* text, std::size_t length, ConTee kind);
void con_set_tee(ConsoleTee tee);
// printf-style text for the tee only (a log line of a decision the screen
// does not show); nothing when no tee is set.
void con_note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The console as the front end's flows reach it: the program's is the calls
// above, a test's a screen and a keyboard of its own.
class Console {
 public:
  virtual ~Console() = default;
  virtual void Print(std::string_view text) = 0;
  // A line for the run log alone.
  virtual void Note(std::string_view text) = 0;
  virtual int ReadKey() = 0;  // -1 once input has ended or on an interrupt
  virtual bool IsTerminal() = 0;
  virtual bool GetCursor(int* column, int* row) = 0;
  virtual bool SetCursor(int column, int row) = 0;
};

Console& system_console();

// printf-style output to `console`.
void con_say(Console& console, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace plat
