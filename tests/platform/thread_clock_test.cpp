// Threads, the millisecond clock and periodic timers, through the platform
// interface only.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

struct Gate {
  plat::SemHandle open = plat::sem_create(0, 1);
  plat::SemHandle finished = plat::sem_create(0, 1);
  std::atomic<int> value{0};
  ~Gate() {
    plat::sem_close(open);
    plat::sem_close(finished);
  }
};

// Waits at the gate, then records that it went through.
void wait_at_gate(void* arg) {
  auto* gate = static_cast<Gate*>(arg);
  if (plat::sem_wait(gate->open, 10000) != plat::WaitResult::Signaled) return;
  gate->value = 42;
  plat::sem_release(gate->finished);
}

TEST(Thread, RunsItsEntryWithItsArgument) {
  std::atomic<int> value{0};
  plat::ThreadHandle thread = plat::thread_start(
      [](void* arg) { static_cast<std::atomic<int>*>(arg)->store(7); }, &value, 0);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(plat::thread_wait(thread, plat::kWaitForever));
  EXPECT_EQ(value.load(), 7);
  // Waiting again on an ended thread answers at once.
  EXPECT_TRUE(plat::thread_wait(thread, 0));
  EXPECT_TRUE(plat::thread_close(thread));
}

TEST(Thread, WaitTimesOutWhileTheThreadRuns) {
  Gate gate;
  plat::ThreadHandle thread = plat::thread_start(wait_at_gate, &gate, 0);
  ASSERT_NE(thread, nullptr);
  const uint32_t start = plat::now_ms();
  EXPECT_FALSE(plat::thread_wait(thread, 80));
  EXPECT_GE(plat::now_ms() - start, 70u);
  plat::sem_release(gate.open);
  EXPECT_TRUE(plat::thread_wait(thread, 10000));
  EXPECT_EQ(gate.value.load(), 42);
  EXPECT_TRUE(plat::thread_close(thread));
}

TEST(Thread, ClosedHandleLeavesTheThreadRunning) {
  Gate gate;
  plat::ThreadHandle thread = plat::thread_start(wait_at_gate, &gate, 0);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(plat::thread_close(thread));
  plat::sem_release(gate.open);
  EXPECT_EQ(plat::sem_wait(gate.finished, 10000), plat::WaitResult::Signaled);
  EXPECT_EQ(gate.value.load(), 42);
}

TEST(Thread, TinyStackRequestStillGivesARealStack) {
  // The link asks for 1024 bytes; the thread must still be able to work.
  std::atomic<int> sum{0};
  plat::ThreadHandle thread = plat::thread_start(
      [](void* arg) {
        volatile unsigned char scratch[64 * 1024];
        for (unsigned i = 0; i < sizeof scratch; ++i) scratch[i] = static_cast<unsigned char>(i);
        int total = 0;
        for (unsigned i = 0; i < sizeof scratch; i += 4096) total += scratch[i + 1];
        static_cast<std::atomic<int>*>(arg)->store(total);
      },
      &sum, 1024);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(plat::thread_wait(thread, 10000));
  EXPECT_EQ(sum.load(), 16);
  EXPECT_TRUE(plat::thread_close(thread));
}

TEST(Thread, EveryPrioritySucceedsWithOrWithoutRealTimeRights) {
  Gate gate;
  plat::ThreadHandle thread = plat::thread_start(wait_at_gate, &gate, 1024);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(plat::thread_set_priority(thread, plat::Priority::TimeCritical)) << plat::last_error();
  EXPECT_TRUE(plat::thread_set_priority(thread, plat::Priority::AboveNormal));
  EXPECT_TRUE(plat::thread_set_priority(thread, plat::Priority::Normal));
  plat::sem_release(gate.open);
  EXPECT_TRUE(plat::thread_wait(thread, 10000));
  EXPECT_TRUE(plat::thread_close(thread));
}

TEST(Clock, AdvancesInMillisecondsAcrossASleep) {
  const uint32_t before = plat::now_ms();
  plat::sleep_ms(60);
  const uint32_t slept = plat::now_ms() - before;
  EXPECT_GE(slept, 55u);
  EXPECT_LT(slept, 2000u);
}

TEST(Clock, TimerCapsAllowTheLinksTwoMillisecondTick) {
  plat::TimerCaps caps;
  ASSERT_TRUE(plat::timer_caps(&caps));
  EXPECT_LE(caps.min_period_ms, 2u);
  EXPECT_GT(caps.max_period_ms, 2u);
  EXPECT_TRUE(plat::timer_begin_period(2));
  EXPECT_TRUE(plat::timer_end_period(2));
}

struct TickCounter {
  std::atomic<int> ticks{0};
  std::atomic<bool> inside{false};
  std::atomic<bool> overlap{false};
  uint32_t busy_ms = 0;
};

void count_tick(void* arg) {
  auto* counter = static_cast<TickCounter*>(arg);
  if (counter->inside.exchange(true)) counter->overlap = true;
  counter->ticks.fetch_add(1);
  if (counter->busy_ms != 0) plat::sleep_ms(counter->busy_ms);
  counter->inside = false;
}

TEST(PeriodicTimer, CallsBackAtItsPeriod) {
  TickCounter counter;
  plat::TimerId id = plat::timer_start_periodic(5, 2, count_tick, &counter);
  ASSERT_NE(id, 0u);
  plat::sleep_ms(250);
  EXPECT_TRUE(plat::timer_kill(id));
  // 50 periods; wide bounds for a loaded machine and coarse host timers.
  EXPECT_GE(counter.ticks.load(), 20);
  EXPECT_LE(counter.ticks.load(), 65);
  EXPECT_FALSE(counter.overlap.load());
}

TEST(PeriodicTimer, KilledTimerIsNotRunningAndNeverRunsAgain) {
  TickCounter counter;
  counter.busy_ms = 15;  // long callbacks, so the kill is likely to meet one
  plat::TimerId id = plat::timer_start_periodic(2, 1, count_tick, &counter);
  ASSERT_NE(id, 0u);
  while (counter.ticks.load() < 3) plat::sleep_ms(1);
  ASSERT_TRUE(plat::timer_kill(id));
  EXPECT_FALSE(counter.inside.load());
  const int after_kill = counter.ticks.load();
  plat::sleep_ms(60);
  EXPECT_EQ(counter.ticks.load(), after_kill);
  EXPECT_FALSE(plat::timer_kill(id));
}

TEST(PeriodicTimer, PeriodOutsideTheCapsIsRefused) {
  TickCounter counter;
  EXPECT_EQ(plat::timer_start_periodic(0, 0, count_tick, &counter), 0u);
  EXPECT_EQ(plat::timer_start_periodic(2000000, 1, count_tick, &counter), 0u);
}

}  // namespace
