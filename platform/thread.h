// Threads with priorities.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

struct Thread;
using ThreadHandle = Thread*;  // nullptr: none
using ThreadEntry = void (*)(void* arg);

enum class Priority { Normal, AboveNormal, TimeCritical };

// Starts `entry(arg)` on a new thread. The stack size is a request: the
// backend raises it to what the system and the sanitizers need.
ThreadHandle thread_start(ThreadEntry entry, void* arg, std::size_t stack_size);

// TimeCritical asks for the best the process may have; a process without
// real-time rights keeps the thread at the best ordinary priority and this
// still succeeds.
bool thread_set_priority(ThreadHandle thread, Priority priority);

// True once the thread has ended, waiting at most `timeout_ms` (kWaitForever).
bool thread_wait(ThreadHandle thread, uint32_t timeout_ms);

// Gives up the handle. A thread that still runs goes on, detached.
bool thread_close(ThreadHandle thread);

}  // namespace plat
