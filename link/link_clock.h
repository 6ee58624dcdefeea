// The link's clock and its millisecond timers. The timers are not ticked: each
// remembers when it was last set and reads the time passed since from the
// monotonic clock, so a timer is exact at every step of the machines and no
// thread wakes up to advance it. Tests put a clock of their own in place to
// step the machines at set times.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarnix {

using LinkClockFn = int64_t (*)();

// Monotonic microseconds.
int64_t LinkMicros();
// Replaces the clock (nullptr: the system's monotonic clock again). Only while
// no port runs.
void SetLinkClock(LinkClockFn clock);

// Milliseconds since the timer was last set (to 0, or to a value: then as if
// set to 0 that long ago).
class MsTimer {
 public:
  MsTimer() = default;
  MsTimer(const MsTimer&) = delete;
  MsTimer& operator=(const MsTimer&) = delete;

  uint32_t load() const {
    const int64_t elapsed = LinkMicros() - start_.load(std::memory_order_relaxed);
    if (elapsed <= 0) {
      return 0;
    }
    const int64_t ms = elapsed / 1000;
    return ms > static_cast<int64_t>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(ms);
  }
  MsTimer& operator=(uint32_t ms) {
    start_.store(LinkMicros() - static_cast<int64_t>(ms) * 1000, std::memory_order_relaxed);
    return *this;
  }
  operator uint32_t() const { return load(); }
  // Microseconds until the timer reads `ms` (0 once it does); exact where
  // load() rounds down and reads 0 for a start that lies ahead.
  int64_t MicrosUntil(uint32_t ms) const {
    const int64_t left =
        static_cast<int64_t>(ms) * 1000 - (LinkMicros() - start_.load(std::memory_order_relaxed));
    return left > 0 ? left : 0;
  }
  // Microseconds since the timer was last set, 0 while its start lies ahead;
  // saturates at UINT32_MAX.
  uint32_t ElapsedMicros() const {
    const int64_t elapsed = LinkMicros() - start_.load(std::memory_order_relaxed);
    if (elapsed <= 0) {
      return 0;
    }
    return elapsed > static_cast<int64_t>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(elapsed);
  }
  // Counts from the monotonic microsecond `micros`, which may lie ahead: the
  // timer reads 0 until then.
  void StartAt(int64_t micros) { start_.store(micros, std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> start_{0};
};

}  // namespace tarnix
