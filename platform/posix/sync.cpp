// Semaphores and critical sections. Process-local semaphores are a mutex and
// a condition variable (so the thread sanitizer sees every hand-over); the
// global binary semaphore adds an flock() on a per-user lock file, which the
// kernel drops when its holder dies.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "platform/posix/posix_util.h"
#include "platform/sync.h"

namespace plat {

namespace {

using posix::fail;
using Clock = std::chrono::steady_clock;

// How often a waiter looks at a lock file another process holds.
constexpr auto kLockPoll = std::chrono::milliseconds(2);

Clock::time_point deadline_after(uint32_t timeout_ms) {
  return Clock::now() + std::chrono::milliseconds(timeout_ms);
}

struct Counter {
  std::mutex lock;
  std::condition_variable changed;
  long count = 0;    // guarded by lock
  long maximum = 0;  // fixed at creation

  // Takes one unit; false when none came before the deadline.
  bool take(uint32_t timeout_ms) {
    std::unique_lock<std::mutex> guard(lock);
    const auto available = [this] { return count > 0; };
    if (timeout_ms == kWaitForever) {
      changed.wait(guard, available);
    } else if (!changed.wait_until(guard, deadline_after(timeout_ms), available)) {
      return false;
    }
    --count;
    return true;
  }

  // Notifies with the lock held: a waiter woken by this release may close the
  // semaphore as soon as it returns, and must not find us still inside it.
  bool give(long units) {
    std::lock_guard<std::mutex> guard(lock);
    if (units <= 0 || units > maximum - count) return false;
    count += units;
    changed.notify_all();
    return true;
  }
};

// The process's share of one global semaphore: every handle of the same name
// in this process uses the one record, as Windows gives every opener the same
// object. `held` is true while this process owns the lock file.
struct GlobalLock {
  std::string name;
  int fd = -1;
  std::mutex lock;
  std::condition_variable changed;
  bool held = false;       // guarded by lock
  bool acquiring = false;  // guarded by lock

  GlobalLock() = default;
  GlobalLock(const GlobalLock&) = delete;
  GlobalLock& operator=(const GlobalLock&) = delete;
  ~GlobalLock() {
    if (fd >= 0) close(fd);
  }

  WaitResult take(uint32_t timeout_ms) {
    const bool forever = timeout_ms == kWaitForever;
    const Clock::time_point deadline = deadline_after(forever ? 0 : timeout_ms);
    std::unique_lock<std::mutex> guard(lock);
    const auto free = [this] { return !held && !acquiring; };
    if (forever) {
      changed.wait(guard, free);
    } else if (!changed.wait_until(guard, deadline, free)) {
      return WaitResult::TimedOut;
    }
    acquiring = true;
    guard.unlock();

    WaitResult result = WaitResult::TimedOut;
    for (;;) {
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        result = WaitResult::Signaled;
        break;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) {
        posix::set_error(errno);
        result = WaitResult::Failed;
        break;
      }
      if (!forever && Clock::now() >= deadline) break;
      std::this_thread::sleep_for(kLockPoll);
    }

    guard.lock();
    acquiring = false;
    held = result == WaitResult::Signaled;
    changed.notify_all();
    return result;
  }

  bool give() {
    std::lock_guard<std::mutex> guard(lock);
    if (!held) return fail(EOVERFLOW);
    if (flock(fd, LOCK_UN) != 0) return posix::fail_errno();
    held = false;
    changed.notify_all();
    return true;
  }
};

std::mutex g_globals_lock;
std::map<std::string, std::weak_ptr<GlobalLock>> g_globals;  // guarded by g_globals_lock

std::string lock_directory() { return posix::runtime_base() + "/sem"; }

}  // namespace

struct Semaphore {
  std::unique_ptr<Counter> local;
  std::shared_ptr<GlobalLock> global;
};

SemHandle sem_create(long initial, long maximum, const char* name) {
  // The name is only a label here: a process-local object needs no lookup.
  static_cast<void>(name);
  if (maximum <= 0 || initial < 0 || initial > maximum) {
    posix::set_error(EINVAL);
    return nullptr;
  }
  auto counter = std::make_unique<Counter>();
  counter->count = initial;
  counter->maximum = maximum;
  return new Semaphore{std::move(counter), nullptr};
}

SemHandle sem_open_global(const char* name, long initial, long maximum) {
  if (name == nullptr || *name == '\0' || initial != 1 || maximum != 1) {
    posix::set_error(EINVAL);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(g_globals_lock);
  std::shared_ptr<GlobalLock> shared = g_globals[name].lock();
  if (!shared) {
    const std::string dir = lock_directory();
    if (!posix::make_private_dir(dir)) return nullptr;
    const std::string path = dir + "/" + posix::escape_name(name) + ".lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      posix::set_error(errno);
      return nullptr;
    }
    shared = std::make_shared<GlobalLock>();
    shared->name = name;
    shared->fd = fd;
    g_globals[name] = shared;
  }
  return new Semaphore{nullptr, std::move(shared)};
}

WaitResult sem_wait(SemHandle sem, uint32_t timeout_ms) {
  if (sem == nullptr) {
    posix::set_error(EINVAL);
    return WaitResult::Failed;
  }
  if (sem->global) return sem->global->take(timeout_ms);
  return sem->local->take(timeout_ms) ? WaitResult::Signaled : WaitResult::TimedOut;
}

bool sem_release(SemHandle sem, long count) {
  if (sem == nullptr) return fail(EINVAL);
  // EOVERFLOW stands for Windows' "too many posts": the count would pass
  // its maximum, and nothing has changed.
  if (sem->global) return count == 1 ? sem->global->give() : fail(EOVERFLOW);
  return sem->local->give(count) || fail(EOVERFLOW);
}

bool sem_close(SemHandle sem) {
  if (sem == nullptr) return fail(EINVAL);
  if (sem->global) {
    std::lock_guard<std::mutex> guard(g_globals_lock);
    const std::string name = sem->global->name;
    sem->global.reset();
    const auto found = g_globals.find(name);
    if (found != g_globals.end() && found->second.expired()) g_globals.erase(found);
  }
  delete sem;
  return true;
}

// Windows critical sections may be entered again by the thread that holds
// them, hence a recursive mutex.
static_assert(sizeof(std::recursive_mutex) <= sizeof(CriticalSection::opaque));
static_assert(alignof(std::recursive_mutex) <= alignof(CriticalSection));

namespace {
std::recursive_mutex* mutex_of(CriticalSection* cs) {
  return std::launder(reinterpret_cast<std::recursive_mutex*>(cs->opaque));
}
}  // namespace

void cs_init(CriticalSection* cs) { new (cs->opaque) std::recursive_mutex; }
void cs_enter(CriticalSection* cs) { mutex_of(cs)->lock(); }
void cs_leave(CriticalSection* cs) { mutex_of(cs)->unlock(); }
void cs_destroy(CriticalSection* cs) { mutex_of(cs)->~recursive_mutex(); }

}  // namespace plat
