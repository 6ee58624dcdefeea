// Threads on pthreads, with Windows-like priorities mapped onto SCHED_FIFO
// and nice levels.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/posix/posix_util.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace plat {

namespace {

using posix::fail;

// The shared part lives as long as either the handle or the thread itself, so
// that a handle closed while its thread still runs leaves nothing dangling.
struct ThreadState {
  ThreadEntry entry = nullptr;
  void* arg = nullptr;
  std::mutex lock;
  std::condition_variable ended;
  pid_t tid = 0;              // guarded by lock; 0 until the thread runs
  bool has_pending = false;   // guarded by lock
  Priority pending{};         // guarded by lock: asked for before the thread ran
  bool done = false;          // guarded by lock
};

void apply_priority(pthread_t id, pid_t tid, Priority priority);

void* trampoline(void* raw) {
  std::shared_ptr<ThreadState> state(*static_cast<std::shared_ptr<ThreadState>*>(raw));
  delete static_cast<std::shared_ptr<ThreadState>*>(raw);
  {
    std::lock_guard<std::mutex> guard(state->lock);
    state->tid = gettid();
    if (state->has_pending) apply_priority(pthread_self(), state->tid, state->pending);
  }
  state->entry(state->arg);
  {
    std::lock_guard<std::mutex> guard(state->lock);
    state->done = true;
  }
  state->ended.notify_all();
  return nullptr;
}

constexpr std::size_t kMinStack = 256 * 1024;

std::size_t stack_size_for(std::size_t requested) {
  std::size_t size = std::max({requested, kMinStack, static_cast<std::size_t>(PTHREAD_STACK_MIN)});
  const long page = sysconf(_SC_PAGESIZE);
  if (page > 0) {
    const auto page_size = static_cast<std::size_t>(page);
    size = (size + page_size - 1) / page_size * page_size;
  }
  return size;
}

// Lowest nice value this process may give its threads: RLIMIT_NICE allows
// 20 - limit; privileged processes may go to -20 whatever the limit says.
int best_allowed_nice() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const auto cur = static_cast<long long>(std::min<rlim_t>(limit.rlim_cur, 40));
    return static_cast<int>(20 - cur);
  }
  return -20;
}

// Sets the nice value of one thread, as close to `wanted` as allowed and
// never worse than it is now.
void set_nice(pid_t tid, int wanted) {
  const auto who = static_cast<id_t>(tid);
  if (setpriority(PRIO_PROCESS, who, wanted) == 0) return;
  const int fallback = std::max(wanted, best_allowed_nice());
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, who);
  if (errno == 0 && fallback >= current) return;
  static_cast<void>(setpriority(PRIO_PROCESS, who, fallback));
}

void apply_priority(pthread_t id, pid_t tid, Priority priority) {
  sched_param param{};
  if (priority == Priority::TimeCritical) {
    param.sched_priority = sched_get_priority_max(SCHED_FIFO) - 9;
    if (pthread_setschedparam(id, SCHED_FIFO, &param) == 0) return;
    // No real-time rights: the best ordinary priority will have to do.
    set_nice(tid, -20);
    return;
  }
  int policy = SCHED_OTHER;
  sched_param current{};
  if (pthread_getschedparam(id, &policy, &current) == 0 && policy != SCHED_OTHER) {
    param.sched_priority = 0;
    static_cast<void>(pthread_setschedparam(id, SCHED_OTHER, &param));
  }
  // Normal is the process's own level; above normal is a few steps better.
  errno = 0;
  int base = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
  if (errno != 0) base = 0;
  set_nice(tid, priority == Priority::AboveNormal ? std::max(base - 5, -20) : base);
}

}  // namespace

struct Thread {
  pthread_t id{};
  std::shared_ptr<ThreadState> state;
};

ThreadHandle thread_start(ThreadEntry entry, void* arg, std::size_t stack_size) {
  if (entry == nullptr) {
    posix::set_error(EINVAL);
    return nullptr;
  }
  auto state = std::make_shared<ThreadState>();
  state->entry = entry;
  state->arg = arg;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  int err = pthread_attr_setstacksize(&attr, stack_size_for(stack_size));
  auto* handoff = new std::shared_ptr<ThreadState>(state);
  pthread_t id{};
  if (err == 0) {
    // The interrupt signals belong to the main thread: a new thread inherits
    // the mask in force here, so it starts with them blocked and its own
    // blocking reads are never cut short by them. The caller's mask returns.
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    sigaddset(&interrupts, SIGHUP);
    sigset_t saved;
    err = pthread_sigmask(SIG_BLOCK, &interrupts, &saved);
    if (err == 0) {
      err = pthread_create(&id, &attr, trampoline, handoff);
      static_cast<void>(pthread_sigmask(SIG_SETMASK, &saved, nullptr));
    }
  }
  pthread_attr_destroy(&attr);
  if (err != 0) {
    delete handoff;
    posix::set_error(err);
    return nullptr;
  }
  return new Thread{id, std::move(state)};
}

bool thread_set_priority(ThreadHandle thread, Priority priority) {
  if (thread == nullptr) return fail(EINVAL);
  ThreadState& state = *thread->state;
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.done) return true;
  // Nice values are set on the kernel's thread id, which is known only once
  // the thread runs; until then the thread applies the request itself.
  if (state.tid == 0) {
    state.has_pending = true;
    state.pending = priority;
    return true;
  }
  apply_priority(thread->id, state.tid, priority);
  return true;
}

bool thread_wait(ThreadHandle thread, uint32_t timeout_ms) {
  if (thread == nullptr) return fail(EINVAL);
  ThreadState& state = *thread->state;
  std::unique_lock<std::mutex> guard(state.lock);
  if (timeout_ms == kWaitForever) {
    state.ended.wait(guard, [&state] { return state.done; });
    return true;
  }
  if (state.ended.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                           [&state] { return state.done; })) {
    return true;
  }
  return fail(ETIMEDOUT);
}

bool thread_close(ThreadHandle thread) {
  if (thread == nullptr) return fail(EINVAL);
  bool done = false;
  {
    std::lock_guard<std::mutex> guard(thread->state->lock);
    done = thread->state->done;
  }
  // A finished thread is joined so its resources go at once; a running one
  // is detached and cleans up after itself when it ends.
  const int err = done ? pthread_join(thread->id, nullptr) : pthread_detach(thread->id);
  delete thread;
  return err == 0 || fail(err);
}

}  // namespace plat
