// The console as the front end's steps reach it: the program's writes to
// standard output and reads the keyboard, a test's records what is said and
// hands over the keys it was given.
#pragma once

#include <cstdint>

class ConsoleIo {
 public:
  virtual ~ConsoleIo() = default;
  // Writes `text` as it is (its "\r\n" line ends included). Any thread.
  virtual void Print(const char* text) = 0;
  // One key without echo: 0 while none is pressed, -1 once input has ended.
  virtual int ReadKey() = 0;
  // Whether standard output is a terminal (else a pipe or a file).
  virtual bool IsTerminal() = 0;
  // The clock's milliseconds when something was last written, 0 before.
  virtual uint32_t LastOutputMs() = 0;
  // Whether the operator asked the program to stop (Ctrl-C and the like).
  virtual bool InterruptRequested() = 0;
};

// con_printf, con_read_key, con_is_terminal, con_last_output_ms and
// interrupt_requested.
ConsoleIo& System_ConsoleIo();
