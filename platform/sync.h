// Semaphores and critical sections.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

inline constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

struct Semaphore;
using SemHandle = Semaphore*;  // nullptr: none

enum class WaitResult { Signaled, TimedOut, Failed };

// A semaphore private to this process. `name` is only a label: two processes
// creating the same label never share an object, so two copies of the program
// on one PC cannot wake each other.
SemHandle sem_create(long initial, long maximum, const char* name = nullptr);

// A semaphore shared by every process that opens the same name; created with
// `initial` by the first. On POSIX hosts only a binary semaphore (initial 1,
// maximum 1) is offered, and a process that dies holding it gives it back: it
// is an flock() on "<runtime>/sem/NAME.lock", where <runtime> is
// "${XDG_RUNTIME_DIR}/brevane" or "/tmp/brevane-<uid>". There a process can
// release only what it holds itself.
SemHandle sem_open_global(const char* name, long initial, long maximum);

WaitResult sem_wait(SemHandle sem, uint32_t timeout_ms);
// False when the release would raise the count above the maximum.
bool sem_release(SemHandle sem, long count = 1);
bool sem_close(SemHandle sem);

// Storage for a critical section inside fixed records; no heap.
struct CriticalSection {
  alignas(16) unsigned char opaque[64];
};

void cs_init(CriticalSection* cs);
void cs_enter(CriticalSection* cs);
void cs_leave(CriticalSection* cs);
void cs_destroy(CriticalSection* cs);

}  // namespace plat
