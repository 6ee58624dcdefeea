// Interrupts as console control events. The system calls the handler on a
// thread of its own: Ctrl-C and Ctrl-Break are only recorded; for the close,
// log-off and shutdown events the process ends soon after the handler
// returns, so the handler holds on until the program has finished its stop.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>

#include "platform/interrupt.h"

namespace plat {
namespace {

enum Kind : int { kNone = 0, kCtrlC, kCtrlBreak, kClosed };

// The system gives the handler of a close event 5 s before it ends the
// process; this leaves a little of it for the handler's own return.
constexpr DWORD kStopWaitMs = 4500;

// The first interrupt's kind; kNone until one comes. Claimed with a
// compare-and-swap, so of two interrupts arriving together exactly one is
// the first.
std::atomic<int> g_kind{kNone};

// Set by interrupt_stopped(); manual reset, made once by interrupt_install().
std::atomic<HANDLE> g_stopped{nullptr};

const char* name_of(int kind) {
  switch (kind) {
    case kCtrlC: return "Ctrl-C";
    case kCtrlBreak: return "Ctrl-Break";
    case kClosed: return "the console window was closed";
    default: return "";
  }
}

// True when this was the first interrupt.
bool record(int kind) {
  int none = kNone;
  return g_kind.compare_exchange_strong(none, kind, std::memory_order_acq_rel);
}

[[noreturn]] void end_at_once() {
  static constexpr char kLine[] = "Interrupted again: ending at once.\r\n";
  DWORD written = 0;
  static_cast<void>(WriteFile(GetStdHandle(STD_ERROR_HANDLE), kLine, sizeof kLine - 1, &written,
                              nullptr));
  // Not ExitProcess: a stuck thread may hold a runtime lock that the
  // runtime's own clean-up would wait for.
  TerminateProcess(GetCurrentProcess(), InterruptExitStatus);
  ExitProcess(InterruptExitStatus);
}

BOOL WINAPI on_control(DWORD event) {
  int kind = kNone;
  switch (event) {
    case CTRL_C_EVENT: kind = kCtrlC; break;
    case CTRL_BREAK_EVENT: kind = kCtrlBreak; break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: kind = kClosed; break;
    default: return FALSE;
  }
  if (!record(kind)) end_at_once();
  if (kind == kClosed) {
    const HANDLE stopped = g_stopped.load();
    if (stopped != nullptr) static_cast<void>(WaitForSingleObject(stopped, kStopWaitMs));
  }
  return TRUE;
}

}  // namespace

void interrupt_install() {
  if (g_stopped.load() == nullptr) g_stopped.store(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  static_cast<void>(SetConsoleCtrlHandler(on_control, TRUE));
}

bool interrupt_requested() { return g_kind.load(std::memory_order_acquire) != kNone; }

const char* interrupt_name() { return name_of(g_kind.load(std::memory_order_acquire)); }

void interrupt_stopped() {
  const HANDLE stopped = g_stopped.load();
  if (stopped != nullptr) static_cast<void>(SetEvent(stopped));
}

// A test's interrupt never ends the process: when one is already recorded,
// it stays.
void interrupt_raise_for_test() { static_cast<void>(record(kCtrlC)); }

void interrupt_reset_for_test() {
  g_kind.store(kNone, std::memory_order_release);
  const HANDLE stopped = g_stopped.load();
  if (stopped != nullptr) static_cast<void>(ResetEvent(stopped));
}

}  // namespace plat
