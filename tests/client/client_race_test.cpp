// Requests from several threads against a port that is being closed, producers
// racing for the last free places of a queue, and blocking requests that
// outlast their wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "link/tarnix_link.h"
#include "tests/client/client_scopes.h"
#include "tests/support/emulated_bus.h"

namespace {

using client_test::WaitLimit;
using test_support::EmulatedBus;

constexpr const char* kPort = "Com1";
const uint8_t kProbe[] = {0x01, 0x01};

std::atomic<int> g_completions{0};
uint8_t CountCompletion(const char*, int32_t, const uint8_t*, uint32_t, uint32_t, uint32_t) {
  ++g_completions;
  return 0;
}

int32_t Queued() {
  PortConnection* connection = Client_Find(kPort);
  return connection == nullptr || connection->queue == nullptr ? -1 : connection->queue->count.load();
}

TEST(ConcurrentClose, RequestsInFlightFailCleanlyAndLaterOnesFindNoPort) {
  EmulatedBus bus("[controller]\naddress = 9\nmax_master = 20\nhardware_id = 25\n");
  ASSERT_EQ(Client_Open(kPort), 0);
  g_completions = 0;
  std::mutex lock;
  std::vector<std::string> wrong;
  std::atomic<int> delivered{0};
  std::atomic<int> accepted{0};
  auto note = [&](const std::string& what) {
    std::lock_guard<std::mutex> guard(lock);
    wrong.push_back(what);
  };
  // Each thread asks until the port is gone, or gives up after 20 s.
  auto blocking = [&] {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      uint8_t reply[16] = {};
      uint8_t source = 0;
      uint16_t length = 0;
      uint8_t status = 99;
      const int r = Client_Request(kPort, 9, kProbe, 2, 1, &source, reply, sizeof reply, &length, &status);
      if (r == -1) return;
      if (r != 0) {
        note("result " + std::to_string(r));
      } else if (status == Delivered) {
        if (source != 9 || length != 4 || reply[2] != 25) note("someone else's reply");
        ++delivered;
      } else if (status != ReplyTimeout) {
        note("status " + std::to_string(status));
      }
    }
    note("the port never went away");
  };
  auto queued = [&] {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      const int r = Client_RequestAsync(kPort, 9, kProbe, 2, 1, CountCompletion);
      if (r == -1) return;
      if (r != 0 && r != -3) note("queued result " + std::to_string(r));
      if (r == 0) ++accepted;
      // About the pace the bus serves them at, so the queue stays short.
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    note("the port never went away");
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back(blocking);
  threads.emplace_back(queued);
  // Close while the requests flow.
  const auto flowing = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (delivered.load() < 5 && std::chrono::steady_clock::now() < flowing) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GE(delivered.load(), 5);
  EXPECT_EQ(Client_Close(kPort), 0);
  for (std::thread& t : threads) t.join();
  EXPECT_TRUE(wrong.empty()) << wrong.front();
  // Queued requests still waiting at the close are dropped without a call.
  EXPECT_LE(g_completions.load(), accepted.load());

  // The slot is whole again: the port opens and answers.
  ASSERT_EQ(Client_Open(kPort), 0);
  uint8_t status = 99;
  EXPECT_EQ(Client_Request(kPort, 9, kProbe, 2, 1, nullptr, nullptr, 0, nullptr, &status), 0);
  EXPECT_EQ(status, Delivered);
  EXPECT_EQ(Client_Close(kPort), 0);
}

TEST(FullQueue, ProducersRacingForTheLastPlacesGetExactlyTheRoomThereIs) {
  EmulatedBus bus("[controller]\naddress = 9\nmax_master = 20\n");
  ASSERT_EQ(Client_Open(kPort), 0);
  // Nothing leaves the queue.
  TarnixLink_SetTokenObtainedDelegate(kPort, nullptr);
  for (int i = 0; i < ClientQueueCapacity - 8; ++i) {
    ASSERT_EQ(Client_RequestAsync(kPort, 9, kProbe, 2, 1, nullptr), 0);
  }
  std::atomic<int> accepted{0};
  std::atomic<int> other{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        const int r = Client_RequestAsync(kPort, 9, kProbe, 2, 1, nullptr);
        if (r == 0) {
          ++accepted;
        } else if (r != -3) {
          ++other;
        }
      }
    });
  }
  for (std::thread& p : producers) p.join();
  EXPECT_EQ(accepted.load(), 8);
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(Queued(), ClientQueueCapacity);
  EXPECT_EQ(Client_Request(kPort, 9, kProbe, 2, 1, nullptr, nullptr, 0, nullptr, nullptr), -3);
  EXPECT_EQ(Client_Close(kPort), 0);
}

TEST(RequestWait, AnUnsentRequestThatOutlastsItIsTakenBackFromBehindOthers) {
  EmulatedBus bus("[controller]\naddress = 9\nmax_master = 20\n");
  ASSERT_EQ(Client_Open(kPort), 0);
  TarnixLink_SetTokenObtainedDelegate(kPort, nullptr);
  g_completions = 0;
  ASSERT_EQ(Client_RequestAsync(kPort, 9, kProbe, 2, 1, CountCompletion), 0);
  {
    WaitLimit limit(100);
    EXPECT_EQ(Client_Request(kPort, 9, kProbe, 2, 1, nullptr, nullptr, 0, nullptr, nullptr), -2);
  }
  ASSERT_EQ(Client_RequestAsync(kPort, 9, kProbe, 2, 1, CountCompletion), 0);
  EXPECT_EQ(Queued(), 2);
  // Sending again: the two queued requests go out and complete.
  TarnixLink_SetTokenObtainedDelegate(kPort, Client_OnTokenObtained);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (g_completions.load() < 2 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(g_completions.load(), 2);
  EXPECT_EQ(Queued(), 0);
  EXPECT_EQ(Client_Close(kPort), 0);
}

TEST(RequestWait, AReplyToARequestTakenBackFromTheBusCompletesNothingElse) {
  // Station 9 answers 200 ms late, inside the link's reply wait but after the
  // caller has given up.
  EmulatedBus bus("[controller]\naddress = 9\nmax_master = 20\nhardware_id = 25\nlatency_ms = 200\n"
                  "[controller]\naddress = 5\nmax_master = 20\nhardware_id = 23\n");
  ASSERT_EQ(Client_Open(kPort), 0);
  {
    WaitLimit limit(60);
    EXPECT_EQ(Client_Request(kPort, 9, kProbe, 2, 1, nullptr, nullptr, 0, nullptr, nullptr), -2);
  }
  uint8_t reply[16] = {};
  uint8_t source = 0;
  uint16_t length = 0;
  uint8_t status = 99;
  EXPECT_EQ(Client_Request(kPort, 5, kProbe, 2, 1, &source, reply, sizeof reply, &length, &status), 0);
  EXPECT_EQ(status, Delivered);
  EXPECT_EQ(source, 5);
  ASSERT_EQ(length, 4);
  EXPECT_EQ(reply[2], 23);
  EXPECT_EQ(Queued(), 0);
  EXPECT_EQ(Client_Close(kPort), 0);
}

}  // namespace
