// Interrupts as POSIX signals: SIGINT (Ctrl-C at the terminal), SIGTERM and
// SIGHUP. The handler runs on the main thread (thread_start() blocks the
// three signals in every thread it starts) and does only async-signal-safe
// things: lock-free atomics, write() and _exit().
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/interrupt.h"

namespace plat {

namespace {

enum Kind : int { kNone = 0, kCtrlC, kCtrlBreak, kSigterm, kSighup, kClosed };

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

// The first interrupt's kind; kNone until one comes. Claimed with a
// compare-and-swap, so of two interrupts arriving together exactly one is
// the first.
std::atomic<int> g_kind{kNone};

const char* name_of(int kind) {
  switch (kind) {
    case kCtrlC: return "Ctrl-C";
    case kCtrlBreak: return "Ctrl-Break";
    case kSigterm: return "SIGTERM";
    case kSighup: return "SIGHUP";
    case kClosed: return "the console window was closed";
    default: return "";
  }
}

[[noreturn]] void end_at_once() {
  static constexpr char kLine[] = "Interrupted again: ending at once.\n";
  static_cast<void>(write(STDERR_FILENO, kLine, sizeof kLine - 1));
  _exit(InterruptExitStatus);
}

// True when this was the first interrupt.
bool record(int kind) {
  int none = kNone;
  return g_kind.compare_exchange_strong(none, kind, std::memory_order_acq_rel);
}

void on_signal(int signal_number) {
  const int saved_errno = errno;
  int kind = kSigterm;
  if (signal_number == SIGINT) kind = kCtrlC;
  if (signal_number == SIGHUP) kind = kSighup;
  if (!record(kind)) end_at_once();
  errno = saved_errno;
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

void interrupt_install() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  // No SA_RESTART: a blocking read of the main thread returns EINTR, so the
  // console waits notice the interrupt. While the handler runs, the other
  // two signals wait, so one handler never interrupts another.
  action.sa_flags = 0;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kSignals) sigaddset(&action.sa_mask, signal_number);
  for (const int signal_number : kSignals) static_cast<void>(sigaction(signal_number, &action, nullptr));
}

bool interrupt_requested() { return g_kind.load(std::memory_order_acquire) != kNone; }

const char* interrupt_name() { return name_of(g_kind.load(std::memory_order_acquire)); }

// Nothing waits for the stop on POSIX: the process ends when it is ready.
void interrupt_stopped() {}

// A test's interrupt never ends the process: when one is already recorded,
// it stays.
void interrupt_raise_for_test() { static_cast<void>(record(kCtrlC)); }

void interrupt_reset_for_test() { g_kind.store(kNone, std::memory_order_release); }

}  // namespace plat
