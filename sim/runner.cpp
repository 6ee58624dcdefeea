#include "sim/runner.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <utility>

namespace sim {

namespace {

Micros Monotonic() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Micros>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

timespec ToTimespec(Micros micros) {
  timespec spec{};
  spec.tv_sec = static_cast<time_t>(micros / 1'000'000);
  spec.tv_nsec = static_cast<long>(micros % 1'000'000) * 1000;
  return spec;
}

}  // namespace

Runner::Runner(Bus& bus, std::vector<PtyEndpoint*> endpoints)
    : bus_(bus), endpoints_(std::move(endpoints)) {}

void Runner::Every(Micros period, std::function<void()> task) {
  period_ = std::max<Micros>(period, 1);
  task_ = std::move(task);
  next_task_ = bus_.Now() + period_;
}

Micros Runner::Clock() const { return Monotonic() - origin_; }

void Runner::RefreshAttached(Micros now) {
  any_attached_ = false;
  for (PtyEndpoint* endpoint : endpoints_) any_attached_ |= endpoint->RefreshAttached();
  next_check_ = now + kAttachCheck;
}

void Runner::Run(const std::atomic<bool>& stop, Micros until) {
  // Octets at 38400 baud are 260 us apart; the default timer slack of 50 us
  // would smear that visibly, and so would waiting behind busy processes for
  // a time slice. Real-time priority is asked for, not required: without
  // the right to it the bus still runs, only less punctually on a busy host.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  const sched_param priority{.sched_priority = kPriority};
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
  origin_ = Monotonic() - bus_.Now();
  RefreshAttached(bus_.Now());
  while (!stop.load(std::memory_order_relaxed)) {
    const Micros now = std::min(Clock(), until);
    bus_.RunUntil(now);
    if (now >= until) break;
    if (now >= next_check_) RefreshAttached(now);
    if (now >= next_task_) {
      task_();
      next_task_ = now + period_;
    }
    bool fed = false;
    for (PtyEndpoint* endpoint : readable_) {
      if (endpoint->ReadInput() > 0) fed = true;
    }
    readable_.clear();
    if (fed) bus_.Service();

    Micros wake = bus_.NextEvent();
    if (!any_attached_) wake = std::max(wake, now + kUnwatchedSlice);
    wake = std::min({wake, next_check_, next_task_, until});
    Sleep(wake);
  }
}

void Runner::Sleep(Micros until) {
  polled_.clear();
  for (PtyEndpoint* endpoint : endpoints_) {
    // A port nobody has open reports a hang-up all the time; polling it
    // would never sleep.
    if (endpoint->Attached()) polled_.push_back(pollfd{endpoint->MasterFd(), POLLIN, 0});
  }
  if (polled_.empty()) {
    const timespec deadline = ToTimespec(origin_ + until);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    return;
  }
  const Micros left = std::max<Micros>(until - Clock(), 0);
  const timespec timeout = ToTimespec(left);
  if (ppoll(polled_.data(), polled_.size(), &timeout, nullptr) <= 0) return;
  bool hung_up = false;
  size_t index = 0;
  for (PtyEndpoint* endpoint : endpoints_) {
    if (!endpoint->Attached()) continue;
    const short events = polled_[index++].revents;
    if ((events & POLLIN) != 0) readable_.push_back(endpoint);
    hung_up |= (events & POLLHUP) != 0;
  }
  // The program on a port closed it: stop polling that port at once rather
  // than at the next check, as its hang-up would keep waking the runner.
  if (hung_up) RefreshAttached(Clock());
}

}  // namespace sim
