// Kernel semaphores and critical sections.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <new>

#include "platform/sync.h"

struct plat::Semaphore {
  HANDLE handle;
};

namespace plat {

static_assert(kWaitForever == INFINITE);
static_assert(sizeof(CRITICAL_SECTION) <= sizeof(CriticalSection::opaque));
static_assert(alignof(CRITICAL_SECTION) <= alignof(CriticalSection));

namespace {

SemHandle wrap(HANDLE handle) { return handle == nullptr ? nullptr : new Semaphore{handle}; }

bool invalid(SemHandle sem) {
  if (sem == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return true;
  }
  return false;
}

CRITICAL_SECTION* section(CriticalSection* cs) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION*>(cs->opaque));
}

}  // namespace

// The label is not given to the kernel object. A named object would be open
// to any process that knows the name, and two copies of the program on one PC
// would hand each other their job-done signals; an unnamed one belongs to this
// process alone, and each call makes an object of its own, as on POSIX hosts.
SemHandle sem_create(long initial, long maximum, const char*) {
  return wrap(CreateSemaphoreA(nullptr, initial, maximum, nullptr));
}

SemHandle sem_open_global(const char* name, long initial, long maximum) {
  return wrap(CreateSemaphoreA(nullptr, initial, maximum, name));
}

WaitResult sem_wait(SemHandle sem, uint32_t timeout_ms) {
  if (invalid(sem)) {
    return WaitResult::Failed;
  }
  switch (WaitForSingleObject(sem->handle, timeout_ms)) {
    case WAIT_OBJECT_0:
      return WaitResult::Signaled;
    case WAIT_TIMEOUT:
      return WaitResult::TimedOut;
    default:
      return WaitResult::Failed;
  }
}

bool sem_release(SemHandle sem, long count) {
  if (invalid(sem)) {
    return false;
  }
  return ReleaseSemaphore(sem->handle, count, nullptr) != FALSE;
}

bool sem_close(SemHandle sem) {
  if (invalid(sem)) {
    return false;
  }
  const bool closed = CloseHandle(sem->handle) != FALSE;
  delete sem;
  return closed;
}

void cs_init(CriticalSection* cs) { InitializeCriticalSection(new (cs->opaque) CRITICAL_SECTION); }

void cs_enter(CriticalSection* cs) { EnterCriticalSection(section(cs)); }

void cs_leave(CriticalSection* cs) { LeaveCriticalSection(section(cs)); }

void cs_destroy(CriticalSection* cs) { DeleteCriticalSection(section(cs)); }

}  // namespace plat
