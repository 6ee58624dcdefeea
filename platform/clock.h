// Millisecond clock, sleeping, and the periodic timer that drives the link's
// millisecond counters.
#pragma once

#include <cstdint>
#include <ctime>

namespace plat {

// Milliseconds since an arbitrary start; wraps after 49.7 days.
uint32_t now_ms();
void sleep_ms(uint32_t ms);

// The local calendar time of `seconds` since 1970-01-01 UTC, safe on any
// thread (the C library's localtime shares one buffer). False when the system
// cannot tell.
bool local_time(int64_t seconds, std::tm* out);

struct TimerCaps {
  uint32_t min_period_ms = 0;
  uint32_t max_period_ms = 0;
};

bool timer_caps(TimerCaps* caps);
bool timer_begin_period(uint32_t period_ms);
bool timer_end_period(uint32_t period_ms);

using TimerId = uint32_t;  // 0: none
using TimerCallback = void (*)(void* arg);

// Calls `callback` every `delay_ms` on a thread of its own, with at least
// `resolution_ms` accuracy, until timer_kill(). Returns 0 on failure.
TimerId timer_start_periodic(uint32_t delay_ms, uint32_t resolution_ms, TimerCallback callback,
                             void* arg);
// Stops the timer; once it returns, the callback is not running and will not run again.
bool timer_kill(TimerId id);

// Time as the engines see it: the program's is the monotonic clock and a real
// sleep, a test's runs on virtual time.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint32_t NowMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
};

Clock& system_clock();

}  // namespace plat
