// Semaphores and critical sections, through the platform interface only.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>

#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

// A name no other run of this suite (another build's, at the same time) uses.
std::string unique_name(const char* stem) {
  std::random_device random;
  return std::string("brevane-test-") + stem + "-" + std::to_string(random()) + "-" +
         std::to_string(plat::now_ms());
}

// Starts `fn(arg)` on a platform thread; tests end it with finish().
plat::ThreadHandle start(plat::ThreadEntry fn, void* arg) {
  plat::ThreadHandle thread = plat::thread_start(fn, arg, 0);
  EXPECT_NE(thread, nullptr);
  return thread;
}

void finish(plat::ThreadHandle thread) {
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(plat::thread_wait(thread, 10000));
  EXPECT_TRUE(plat::thread_close(thread));
}

TEST(Semaphore, CountNeverPassesItsMaximum) {
  plat::SemHandle sem = plat::sem_create(1, 2);
  ASSERT_NE(sem, nullptr);
  EXPECT_TRUE(plat::sem_release(sem));
  EXPECT_FALSE(plat::sem_release(sem));     // would be 3
  EXPECT_FALSE(plat::sem_release(sem, 2));  // a refused release changes nothing
  EXPECT_EQ(plat::sem_wait(sem, 0), plat::WaitResult::Signaled);
  EXPECT_EQ(plat::sem_wait(sem, 0), plat::WaitResult::Signaled);
  EXPECT_EQ(plat::sem_wait(sem, 0), plat::WaitResult::TimedOut);

  EXPECT_FALSE(plat::sem_release(sem, 3));
  EXPECT_EQ(plat::sem_wait(sem, 0), plat::WaitResult::TimedOut);
  EXPECT_TRUE(plat::sem_release(sem, 2));
  EXPECT_EQ(plat::sem_wait(sem, 0), plat::WaitResult::Signaled);
  EXPECT_EQ(plat::sem_wait(sem, 0), plat::WaitResult::Signaled);
  EXPECT_TRUE(plat::sem_close(sem));
}

TEST(Semaphore, ImpossibleCountsAreRefused) {
  EXPECT_EQ(plat::sem_create(2, 1), nullptr);
  EXPECT_EQ(plat::sem_create(0, 0), nullptr);
  EXPECT_EQ(plat::sem_create(-1, 1), nullptr);
}

TEST(Semaphore, TimedWaitGivesUpAfterItsTimeout) {
  plat::SemHandle sem = plat::sem_create(0, 1, "label");
  ASSERT_NE(sem, nullptr);
  const uint32_t start = plat::now_ms();
  EXPECT_EQ(plat::sem_wait(sem, 100), plat::WaitResult::TimedOut);
  const uint32_t waited = plat::now_ms() - start;
  EXPECT_GE(waited, 90u);
  EXPECT_LT(waited, 2000u);
  EXPECT_TRUE(plat::sem_close(sem));
}

TEST(Semaphore, SameLabelInOneProcessGivesSeparateSemaphores) {
  plat::SemHandle first = plat::sem_create(0, 1, "Backup");
  plat::SemHandle second = plat::sem_create(0, 1, "Backup");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(plat::sem_release(first));
  EXPECT_EQ(plat::sem_wait(second, 0), plat::WaitResult::TimedOut);
  EXPECT_EQ(plat::sem_wait(first, 0), plat::WaitResult::Signaled);
  EXPECT_TRUE(plat::sem_close(first));
  EXPECT_TRUE(plat::sem_close(second));
}

struct Relay {
  plat::SemHandle to_worker = nullptr;
  plat::SemHandle to_main = nullptr;
  std::atomic<int> rounds{0};
};

TEST(Semaphore, ReleaseOnAnotherThreadWakesTheWaiter) {
  Relay relay;
  relay.to_worker = plat::sem_create(0, 1);
  relay.to_main = plat::sem_create(0, 1);
  ASSERT_NE(relay.to_worker, nullptr);
  ASSERT_NE(relay.to_main, nullptr);
  // Ping-pong: each side waits for the other's release, 200 times.
  plat::ThreadHandle worker = start(
      [](void* arg) {
        auto* r = static_cast<Relay*>(arg);
        for (int i = 0; i < 200; ++i) {
          if (plat::sem_wait(r->to_worker, 5000) != plat::WaitResult::Signaled) return;
          r->rounds.fetch_add(1);
          plat::sem_release(r->to_main);
        }
      },
      &relay);
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(plat::sem_release(relay.to_worker));
    ASSERT_EQ(plat::sem_wait(relay.to_main, 5000), plat::WaitResult::Signaled) << "round " << i;
  }
  finish(worker);
  EXPECT_EQ(relay.rounds.load(), 200);
  EXPECT_TRUE(plat::sem_close(relay.to_worker));
  EXPECT_TRUE(plat::sem_close(relay.to_main));
}

TEST(GlobalSemaphore, HandlesOfOneNameShareOneCount) {
  const std::string name = unique_name("share");
  plat::SemHandle first = plat::sem_open_global(name.c_str(), 1, 1);
  plat::SemHandle second = plat::sem_open_global(name.c_str(), 1, 1);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);

  EXPECT_EQ(plat::sem_wait(first, 0), plat::WaitResult::Signaled);
  EXPECT_EQ(plat::sem_wait(second, 50), plat::WaitResult::TimedOut);
  EXPECT_TRUE(plat::sem_release(second));
  EXPECT_FALSE(plat::sem_release(first));  // already at its maximum of 1
  EXPECT_EQ(plat::sem_wait(second, 1000), plat::WaitResult::Signaled);
  EXPECT_TRUE(plat::sem_release(first));
  EXPECT_TRUE(plat::sem_close(first));
  EXPECT_TRUE(plat::sem_close(second));
}

struct Guarded {
  plat::SemHandle sem = nullptr;
  plat::CriticalSection* cs = nullptr;
  long plain_counter = 0;  // protected by the semaphore or the section under test
  std::atomic<bool> failed{false};
};

constexpr int kIncrements = 2000;

TEST(GlobalSemaphore, ExcludesThreadsOfOneProcess) {
  const std::string name = unique_name("mutex");
  Guarded shared;
  shared.sem = plat::sem_open_global(name.c_str(), 1, 1);
  ASSERT_NE(shared.sem, nullptr);
  const plat::ThreadEntry body = [](void* arg) {
    auto* g = static_cast<Guarded*>(arg);
    for (int i = 0; i < kIncrements; ++i) {
      if (plat::sem_wait(g->sem, 10000) != plat::WaitResult::Signaled) {
        g->failed = true;
        return;
      }
      const long seen = g->plain_counter;
      g->plain_counter = seen + 1;
      if (!plat::sem_release(g->sem)) g->failed = true;
    }
  };
  plat::ThreadHandle a = start(body, &shared);
  plat::ThreadHandle b = start(body, &shared);
  finish(a);
  finish(b);
  EXPECT_FALSE(shared.failed.load());
  EXPECT_EQ(shared.plain_counter, 2L * kIncrements);
  EXPECT_TRUE(plat::sem_close(shared.sem));
}

TEST(CriticalSection, ExcludesOtherThreadsAndMayBeEnteredAgainByItsOwner) {
  plat::CriticalSection cs;
  plat::cs_init(&cs);
  Guarded shared;
  shared.cs = &cs;
  const plat::ThreadEntry body = [](void* arg) {
    auto* g = static_cast<Guarded*>(arg);
    for (int i = 0; i < kIncrements * 10; ++i) {
      plat::cs_enter(g->cs);
      plat::cs_enter(g->cs);  // nested entry by the owner must not deadlock
      ++g->plain_counter;
      plat::cs_leave(g->cs);
      plat::cs_leave(g->cs);
    }
  };
  plat::ThreadHandle a = start(body, &shared);
  plat::ThreadHandle b = start(body, &shared);
  finish(a);
  finish(b);
  EXPECT_EQ(shared.plain_counter, 20L * kIncrements);
  plat::cs_destroy(&cs);
}

struct Holder {
  plat::CriticalSection cs;
  std::atomic<bool> other_got_in{false};
};

TEST(CriticalSection, HeldSectionKeepsAnotherThreadWaitingUntilLeft) {
  Holder h;
  plat::cs_init(&h.cs);
  plat::cs_enter(&h.cs);
  plat::ThreadHandle other = start(
      [](void* arg) {
        auto* holder = static_cast<Holder*>(arg);
        plat::cs_enter(&holder->cs);
        holder->other_got_in = true;
        plat::cs_leave(&holder->cs);
      },
      &h);
  EXPECT_FALSE(plat::thread_wait(other, 100));
  EXPECT_FALSE(h.other_got_in.load());
  plat::cs_leave(&h.cs);
  finish(other);
  EXPECT_TRUE(h.other_got_in.load());
  plat::cs_destroy(&h.cs);
}

}  // namespace
