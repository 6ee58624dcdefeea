// The multimedia timer: millisecond clock, timer resolution and the periodic
// event that drives the link's millisecond counters.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <mmsystem.h>

#include <map>
#include <mutex>

#include "platform/clock.h"

namespace plat {
namespace {

struct PeriodicTimer {
  TimerCallback callback;
  void* arg;
};

// The record each running timer's callback reads; it is freed only after
// timeKillEvent has made sure the callback is no longer running.
std::mutex timers_lock;
std::map<TimerId, PeriodicTimer*> timers;

void CALLBACK on_timer(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  const auto* timer = reinterpret_cast<const PeriodicTimer*>(user);
  timer->callback(timer->arg);
}

}  // namespace

uint32_t now_ms() { return timeGetTime(); }

void sleep_ms(uint32_t ms) { Sleep(ms); }

bool local_time(int64_t seconds, std::tm* out) {
  const __time64_t when = static_cast<__time64_t>(seconds);
  return _localtime64_s(out, &when) == 0;
}

bool timer_caps(TimerCaps* caps) {
  TIMECAPS values{};
  if (timeGetDevCaps(&values, sizeof values) != TIMERR_NOERROR) {
    return false;
  }
  caps->min_period_ms = values.wPeriodMin;
  caps->max_period_ms = values.wPeriodMax;
  return true;
}

bool timer_begin_period(uint32_t period_ms) { return timeBeginPeriod(period_ms) == TIMERR_NOERROR; }

bool timer_end_period(uint32_t period_ms) { return timeEndPeriod(period_ms) == TIMERR_NOERROR; }

TimerId timer_start_periodic(uint32_t delay_ms, uint32_t resolution_ms, TimerCallback callback,
                             void* arg) {
  if (callback == nullptr) {
    return 0;
  }
  auto* timer = new PeriodicTimer{callback, arg};
  const TimerId id =
      timeSetEvent(delay_ms, resolution_ms, on_timer, reinterpret_cast<DWORD_PTR>(timer),
                   TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
  if (id == 0) {
    delete timer;
    return 0;
  }
  const std::lock_guard<std::mutex> guard(timers_lock);
  timers[id] = timer;
  return id;
}

bool timer_kill(TimerId id) {
  // Held throughout so that a timer started meanwhile, which may be given the
  // same id once this one is gone, cannot have its record mixed up with ours.
  // The callback never takes the lock, so waiting for it here cannot deadlock.
  const std::lock_guard<std::mutex> guard(timers_lock);
  const auto found = timers.find(id);
  if (found == timers.end()) {
    return false;
  }
  // TIME_KILL_SYNCHRONOUS: once timeKillEvent returns, the callback has
  // finished and will not be called again, so its record can go. A kill that
  // fails leaves the record alone, since the callback may still use it.
  if (timeKillEvent(id) != TIMERR_NOERROR) {
    return false;
  }
  delete found->second;
  timers.erase(found);
  return true;
}

}  // namespace plat
