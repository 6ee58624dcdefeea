// Interrupts from the operator or the system: Ctrl-C, Ctrl-Break, SIGTERM,
// SIGHUP and, on Windows, the console window being closed, the user logging
// off or the system shutting down.
//
// The first interrupt is only recorded; the program looks at
// interrupt_requested() at its safe points and stops by itself (a blocked
// console read returns early, see console.h). A second interrupt ends the
// process at once.
#pragma once

namespace plat {

// Exit status of a process ended by an interrupt (128 + SIGINT, as shells report it).
inline constexpr int InterruptExitStatus = 130;

// Installs the handlers. The first interrupt only raises interrupt_requested().
// A second one writes "Interrupted again: ending at once." to standard error
// and ends the process with InterruptExitStatus. On POSIX the handlers do not
// restart interrupted calls, so a blocking read of the main thread returns;
// threads started through thread_start() never take these signals.
void interrupt_install();

// True once an interrupt has come (acquire load: what the interrupted code
// wrote before is visible).
bool interrupt_requested();

// What the first interrupt was: "Ctrl-C", "Ctrl-Break", "SIGTERM", "SIGHUP"
// or "the console window was closed"; "" before any.
const char* interrupt_name();

// The program has finished its stop after an interrupt and is about to exit.
// On Windows the handler of the close, log-off and shutdown events waits for
// this (at most about 4.5 s, as the system ends the process soon after the
// handler returns) before it returns.
void interrupt_stopped();

// Tests: as if one interrupt had come (raise) / back to none (reset).
void interrupt_raise_for_test();
void interrupt_reset_for_test();

}  // namespace plat
