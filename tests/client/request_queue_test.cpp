#include "client/request_queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

void* Element(std::vector<int>& storage, std::size_t i) { return &storage[i]; }

TEST(RequestQueue, CapacityBelowFiveMakesNoQueue) {
  EXPECT_EQ(RequestQueue_Create(4), nullptr);
  EXPECT_EQ(RequestQueue_Create(0), nullptr);
  EXPECT_EQ(RequestQueue_Create(-1), nullptr);
  RequestQueue* smallest = RequestQueue_Create(5);
  ASSERT_NE(smallest, nullptr);
  EXPECT_EQ(smallest->capacity, 5);
  RequestQueue_Destroy(smallest);
}

// A misuse fails the call, changes nothing, and the process goes on: the
// queue keeps working with what it held.
TEST(RequestQueue, MisuseFailsTheCallAndLeavesTheQueueAsItWas) {
  enum class Misuse { PutOnFull, GetOnEmpty, DropOnEmpty, PeekOnEmpty };
  const struct {
    Misuse misuse;
    std::size_t wrap;  // elements put and taken first, so the ring wraps
  } cases[] = {
      {Misuse::PutOnFull, 0},  {Misuse::PutOnFull, 3},   {Misuse::GetOnEmpty, 0},
      {Misuse::GetOnEmpty, 7}, {Misuse::DropOnEmpty, 0}, {Misuse::DropOnEmpty, 4},
      {Misuse::PeekOnEmpty, 0}, {Misuse::PeekOnEmpty, 6},
  };
  for (const auto& c : cases) {
    const int which = static_cast<int>(c.misuse);
    std::vector<int> storage(16);
    RequestQueue* queue = RequestQueue_Create(5);
    for (std::size_t i = 0; i < c.wrap; ++i) {
      ASSERT_TRUE(RequestQueue_Put(Element(storage, 15), queue).Ok());
      ASSERT_EQ(RequestQueue_Get(queue), Element(storage, 15));
    }
    const std::size_t held = c.misuse == Misuse::PutOnFull ? 5 : 0;
    for (std::size_t i = 0; i < held; ++i) {
      ASSERT_TRUE(RequestQueue_Put(Element(storage, i), queue).Ok());
    }
    switch (c.misuse) {
      case Misuse::PutOnFull:
        EXPECT_EQ(RequestQueue_Put(Element(storage, 9), queue).outcome, Outcome::Refused) << which;
        EXPECT_EQ(RequestQueue_IsFull(queue), 1) << which;
        break;
      case Misuse::GetOnEmpty:
        EXPECT_EQ(RequestQueue_Get(queue), nullptr) << which;
        break;
      case Misuse::DropOnEmpty:
        EXPECT_EQ(RequestQueue_Drop(queue).outcome, Outcome::Refused) << which;
        break;
      case Misuse::PeekOnEmpty:
        EXPECT_EQ(RequestQueue_Peek(queue), nullptr) << which;
        break;
    }
    // A count or index moved by the failed call would show here: what was
    // held comes out in order, then one more put and take work as ever.
    for (std::size_t i = 0; i < held; ++i) {
      EXPECT_EQ(RequestQueue_Get(queue), Element(storage, i)) << which;
    }
    EXPECT_EQ(RequestQueue_IsEmpty(queue), 1) << which;
    EXPECT_TRUE(RequestQueue_Put(Element(storage, 8), queue).Ok()) << which;
    EXPECT_EQ(RequestQueue_Peek(queue), Element(storage, 8)) << which;
    EXPECT_TRUE(RequestQueue_Drop(queue).Ok()) << which;
    EXPECT_EQ(RequestQueue_IsEmpty(queue), 1) << which;
    RequestQueue_Destroy(queue);
  }
}

TEST(RequestQueue, KeepsOrderAcrossManyWrapArounds) {
  std::vector<int> storage(100);
  RequestQueue* queue = RequestQueue_Create(5);
  std::size_t next_in = 0;
  std::size_t next_out = 0;
  // Fill levels vary so that head and tail wrap at different moments.
  for (int round = 0; round < 20; ++round) {
    const std::size_t burst = 1 + static_cast<std::size_t>(round) % 5;
    for (std::size_t i = 0; i < burst; ++i) RequestQueue_Put(Element(storage, next_in++ % 100), queue);
    for (std::size_t i = 0; i < burst; ++i) {
      ASSERT_EQ(RequestQueue_Get(queue), Element(storage, next_out++ % 100)) << "round " << round;
    }
    EXPECT_EQ(RequestQueue_IsEmpty(queue), 1);
  }
  RequestQueue_Destroy(queue);
}

TEST(RequestQueue, FullAndEmptyFollowTheCount) {
  std::vector<int> storage(244);
  RequestQueue* queue = RequestQueue_Create(244);
  EXPECT_EQ(RequestQueue_IsEmpty(queue), 1);
  EXPECT_EQ(RequestQueue_IsFull(queue), 0);
  for (std::size_t i = 0; i < 243; ++i) RequestQueue_Put(Element(storage, i), queue);
  EXPECT_EQ(RequestQueue_IsFull(queue), 0);
  RequestQueue_Put(Element(storage, 243), queue);
  EXPECT_EQ(RequestQueue_IsFull(queue), 1);
  EXPECT_EQ(RequestQueue_IsEmpty(queue), 0);
  RequestQueue_Drop(queue);
  EXPECT_EQ(RequestQueue_IsFull(queue), 0);
  RequestQueue_Destroy(queue);
}

TEST(RequestQueue, PeekLeavesTheOldestAndDropRemovesExactlyIt) {
  int first = 1;
  int second = 2;
  RequestQueue* queue = RequestQueue_Create(5);
  RequestQueue_Put(&first, queue);
  RequestQueue_Put(&second, queue);
  EXPECT_EQ(RequestQueue_Peek(queue), &first);
  EXPECT_EQ(RequestQueue_Peek(queue), &first);
  RequestQueue_Drop(queue);
  EXPECT_EQ(RequestQueue_Peek(queue), &second);
  EXPECT_EQ(RequestQueue_Get(queue), &second);
  EXPECT_EQ(RequestQueue_IsEmpty(queue), 1);
  RequestQueue_Destroy(queue);
}

// One producer and one consumer, as on a port: the consumer sees every element
// once and in order.
TEST(RequestQueue, ProducerAndConsumerThreadsKeepOrder) {
  constexpr std::size_t kCount = 20000;
  std::vector<int> storage(kCount);
  RequestQueue* queue = RequestQueue_Create(7);
  std::thread producer([&] {
    for (std::size_t i = 0; i < kCount; ++i) {
      while (RequestQueue_IsFull(queue) == 1) std::this_thread::yield();
      RequestQueue_Put(Element(storage, i), queue);
    }
  });
  std::size_t out_of_order = 0;
  for (std::size_t i = 0; i < kCount; ++i) {
    while (RequestQueue_IsEmpty(queue) == 1) std::this_thread::yield();
    if (RequestQueue_Peek(queue) != Element(storage, i)) ++out_of_order;
    if (RequestQueue_Get(queue) != Element(storage, i)) ++out_of_order;
  }
  producer.join();
  EXPECT_EQ(out_of_order, 0u);
  EXPECT_EQ(RequestQueue_IsEmpty(queue), 1);
  RequestQueue_Destroy(queue);
}

// Producers on several threads racing for the last slots: each slot is taken
// once, the surplus is refused, and nobody ends the process.
TEST(RequestQueue, TryPutFromSeveralThreadsFillsExactlyToCapacity) {
  constexpr std::size_t kThreads = 4;
  constexpr std::size_t kEach = 100;
  std::vector<int> storage(kThreads * kEach);
  for (int round = 0; round < 20; ++round) {
    RequestQueue* queue = RequestQueue_Create(244);
    std::vector<std::size_t> taken(kThreads, 0);
    std::vector<std::thread> producers;
    for (std::size_t t = 0; t < kThreads; ++t) {
      producers.emplace_back([&, t] {
        for (std::size_t i = 0; i < kEach; ++i) {
          taken[t] += static_cast<std::size_t>(RequestQueue_TryPut(Element(storage, t * kEach + i), queue));
        }
      });
    }
    for (std::thread& p : producers) p.join();
    std::size_t total = 0;
    for (std::size_t n : taken) total += n;
    ASSERT_EQ(total, 244u) << "round " << round;
    ASSERT_EQ(RequestQueue_IsFull(queue), 1);
    RequestQueue_Destroy(queue);
  }
}

TEST(RequestQueue, RemoveTakesOneElementAnywhereAndKeepsTheOthersInOrder) {
  struct Case {
    const char* what;
    std::size_t wrap;     // elements put and taken first, so the ring wraps
    std::size_t removed;  // index among the five queued; 5 = one not queued
  };
  const Case cases[] = {
      {"head", 0, 0}, {"middle", 0, 2}, {"tail", 0, 4}, {"head, wrapped", 5, 0},
      {"middle, wrapped", 4, 2}, {"tail, wrapped", 3, 4}, {"absent", 2, 5},
  };
  for (const Case& c : cases) {
    std::vector<int> storage(16);
    RequestQueue* queue = RequestQueue_Create(6);
    for (std::size_t i = 0; i < c.wrap; ++i) {
      RequestQueue_Put(Element(storage, 10), queue);
      RequestQueue_Get(queue);
    }
    for (std::size_t i = 0; i < 5; ++i) RequestQueue_Put(Element(storage, i), queue);
    EXPECT_EQ(RequestQueue_Remove(Element(storage, c.removed), queue), c.removed < 5 ? 1 : 0) << c.what;
    // Room again for what was taken out, and the order holds through it.
    RequestQueue_Put(Element(storage, 6), queue);
    std::vector<std::size_t> order;
    while (RequestQueue_IsEmpty(queue) == 0) {
      order.push_back(static_cast<std::size_t>(static_cast<int*>(RequestQueue_Get(queue)) - storage.data()));
    }
    std::vector<std::size_t> expected;
    for (std::size_t i = 0; i < 5; ++i) {
      if (i != c.removed) expected.push_back(i);
    }
    expected.push_back(6);
    EXPECT_EQ(order, expected) << c.what;
    RequestQueue_Destroy(queue);
  }
}

}  // namespace
