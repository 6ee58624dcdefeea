// Millisecond clock and periodic timers on CLOCK_MONOTONIC.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "platform/clock.h"
#include "platform/posix/posix_util.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace plat {

namespace {

using posix::fail;

constexpr uint32_t kMinPeriodMs = 1;
constexpr uint32_t kMaxPeriodMs = 1000000;
constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerSecond = 1000000000;
// A timer that falls this far behind (a suspended machine, a stopped
// debugger) starts afresh instead of firing all the missed periods at once.
constexpr int64_t kResyncNs = 1000 * kNsPerMs;

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

timespec to_timespec(int64_t ns) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
  ts.tv_nsec = static_cast<long>(ns % kNsPerSecond);
  return ts;
}

// One periodic timer. The thread sleeps on a condition variable that waits
// on CLOCK_MONOTONIC to absolute deadlines, so periods do not add up errors
// and timer_kill() can wake it at once however long the period is.
struct PeriodicTimer {
  TimerCallback callback = nullptr;
  void* arg = nullptr;
  int64_t period_ns = 0;
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t wake{};
  bool stop = false;  // guarded by lock
  ThreadHandle runner = nullptr;

  PeriodicTimer() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&wake, &attr);
    pthread_condattr_destroy(&attr);
  }
  ~PeriodicTimer() {
    pthread_cond_destroy(&wake);
    pthread_mutex_destroy(&lock);
  }
  PeriodicTimer(const PeriodicTimer&) = delete;
  PeriodicTimer& operator=(const PeriodicTimer&) = delete;

  // Sleeps until `deadline_ns`; false when the timer is being stopped.
  bool sleep_until(int64_t deadline_ns) {
    const timespec deadline = to_timespec(deadline_ns);
    pthread_mutex_lock(&lock);
    while (!stop) {
      if (pthread_cond_timedwait(&wake, &lock, &deadline) == ETIMEDOUT) break;
    }
    const bool go_on = !stop;
    pthread_mutex_unlock(&lock);
    return go_on;
  }

  void run() {
    t_current = this;
    int64_t next = monotonic_ns() + period_ns;
    while (sleep_until(next)) {
      callback(arg);
      next += period_ns;
      const int64_t now = monotonic_ns();
      if (now - next > kResyncNs) next = now + period_ns;
    }
  }

  static void entry(void* self) { static_cast<PeriodicTimer*>(self)->run(); }

  static thread_local const PeriodicTimer* t_current;
};

thread_local const PeriodicTimer* PeriodicTimer::t_current = nullptr;

struct TimerTable {
  std::mutex lock;
  std::map<TimerId, std::unique_ptr<PeriodicTimer>> timers;  // guarded by lock
  TimerId next_id = 1;                                       // guarded by lock
};

// Never destroyed: a timer still running when the process exits keeps calling
// its callback until the very end, so its record must outlive static
// destruction.
TimerTable& timer_table() {
  static TimerTable* const table = new TimerTable;
  return *table;
}

}  // namespace

uint32_t now_ms() { return static_cast<uint32_t>(monotonic_ns() / kNsPerMs); }

bool local_time(int64_t seconds, std::tm* out) {
  const time_t when = static_cast<time_t>(seconds);
  return localtime_r(&when, out) != nullptr;
}

void sleep_ms(uint32_t ms) {
  const timespec deadline = to_timespec(monotonic_ns() + static_cast<int64_t>(ms) * kNsPerMs);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

bool timer_caps(TimerCaps* caps) {
  if (caps == nullptr) return fail(EINVAL);
  caps->min_period_ms = kMinPeriodMs;
  caps->max_period_ms = kMaxPeriodMs;
  return true;
}

// The system timer already runs at a fine resolution; nothing to raise.
bool timer_begin_period(uint32_t period_ms) {
  static_cast<void>(period_ms);
  return true;
}

bool timer_end_period(uint32_t period_ms) {
  static_cast<void>(period_ms);
  return true;
}

TimerId timer_start_periodic(uint32_t delay_ms, uint32_t resolution_ms, TimerCallback callback,
                             void* arg) {
  static_cast<void>(resolution_ms);
  if (callback == nullptr || delay_ms < kMinPeriodMs || delay_ms > kMaxPeriodMs) {
    posix::set_error(EINVAL);
    return 0;
  }
  auto timer = std::make_unique<PeriodicTimer>();
  timer->callback = callback;
  timer->arg = arg;
  timer->period_ns = static_cast<int64_t>(delay_ms) * kNsPerMs;

  TimerTable& table = timer_table();
  std::lock_guard<std::mutex> guard(table.lock);
  timer->runner = thread_start(&PeriodicTimer::entry, timer.get(), 0);
  if (timer->runner == nullptr) return 0;
  // Ticks drive the link's time-outs; give them the best priority we may have.
  thread_set_priority(timer->runner, Priority::TimeCritical);
  TimerId id = table.next_id++;
  if (id == 0) id = table.next_id++;
  table.timers.emplace(id, std::move(timer));
  return id;
}

bool timer_kill(TimerId id) {
  std::unique_ptr<PeriodicTimer> timer;
  {
    TimerTable& table = timer_table();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto found = table.timers.find(id);
    if (found == table.timers.end()) return fail(EINVAL);
    // A callback cannot wait for its own end.
    if (found->second.get() == PeriodicTimer::t_current) return fail(EDEADLK);
    timer = std::move(found->second);
    table.timers.erase(found);
  }
  pthread_mutex_lock(&timer->lock);
  timer->stop = true;
  pthread_cond_signal(&timer->wake);
  pthread_mutex_unlock(&timer->lock);
  thread_wait(timer->runner, kWaitForever);
  thread_close(timer->runner);
  return true;
}

}  // namespace plat
