#include "link/link_clock.h"

#include <chrono>

namespace tarnix {
namespace {

int64_t SystemMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::atomic<LinkClockFn> gClock{SystemMicros};

}  // namespace

int64_t LinkMicros() { return gClock.load(std::memory_order_relaxed)(); }

void SetLinkClock(LinkClockFn clock) { gClock = clock == nullptr ? SystemMicros : clock; }

}  // namespace tarnix
