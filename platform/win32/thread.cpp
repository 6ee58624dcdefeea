// Threads started through the C runtime, so that the runtime's per-thread
// state is set up and torn down with them.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <process.h>

#include <algorithm>

#include "platform/thread.h"

struct plat::Thread {
  HANDLE handle;
};

namespace plat {
namespace {

// Small requests (the jam thread asks for 1 KiB) would leave no room for the
// runtime and for formatted output; below this the system's own granule
// applies anyway.
constexpr std::size_t kMinStack = 64 * 1024;

struct StartRecord {
  ThreadEntry entry;
  void* arg;
};

unsigned __stdcall run(void* start) {
  const StartRecord record = *static_cast<StartRecord*>(start);
  delete static_cast<StartRecord*>(start);
  record.entry(record.arg);
  return 0;
}

bool invalid(ThreadHandle thread) {
  if (thread == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return true;
  }
  return false;
}

}  // namespace

ThreadHandle thread_start(ThreadEntry entry, void* arg, std::size_t stack_size) {
  if (entry == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* start = new StartRecord{entry, arg};
  const auto stack =
      static_cast<unsigned>(std::min<std::size_t>(std::max(stack_size, kMinStack), 0x7FFFFFFFu));
  const uintptr_t handle = _beginthreadex(nullptr, stack, run, start, 0, nullptr);
  if (handle == 0) {
    delete start;
    return nullptr;
  }
  return new Thread{reinterpret_cast<HANDLE>(handle)};
}

bool thread_set_priority(ThreadHandle thread, Priority priority) {
  if (invalid(thread)) {
    return false;
  }
  int level = THREAD_PRIORITY_NORMAL;
  switch (priority) {
    case Priority::Normal:
      level = THREAD_PRIORITY_NORMAL;
      break;
    case Priority::AboveNormal:
      level = THREAD_PRIORITY_ABOVE_NORMAL;
      break;
    case Priority::TimeCritical:
      level = THREAD_PRIORITY_TIME_CRITICAL;
      break;
  }
  return SetThreadPriority(thread->handle, level) != FALSE;
}

bool thread_wait(ThreadHandle thread, uint32_t timeout_ms) {
  if (invalid(thread)) {
    return false;
  }
  return WaitForSingleObject(thread->handle, timeout_ms) == WAIT_OBJECT_0;
}

bool thread_close(ThreadHandle thread) {
  if (invalid(thread)) {
    return false;
  }
  const bool closed = CloseHandle(thread->handle) != FALSE;
  delete thread;
  return closed;
}

}  // namespace plat
