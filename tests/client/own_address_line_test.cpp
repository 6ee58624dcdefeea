// The own-address listening on a pseudo-terminal whose far end plays a bus.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "client/own_address.h"
#include "tests/platform/posix_test_util.h"

namespace {

using brevane_test::Pty;

std::string PollForMaster(uint8_t destination, uint8_t source) {
  // The listener looks at no checksum; zeros keep it from looking like a preamble.
  const char frame[] = {0x55, static_cast<char>(0xFF), 0x01, static_cast<char>(destination),
                        static_cast<char>(source), 0, 0, 0};
  return std::string(frame, sizeof frame);
}

// Stations 0, 1 and 2 poll for a successor, one after another, and never pass
// a token: a ring that is still forming.
TEST(FindFreeStation, SkipsMastersThatPollWithoutPassingAToken) {
  Pty pty;
  ASSERT_FALSE(pty.slave_path.empty());
  std::atomic<bool> stop{false};
  std::thread bus([&] {
    uint8_t next = 3;
    while (!stop) {
      for (uint8_t station = 0; station < 3; ++station) pty.send(PollForMaster(next, station));
      next = static_cast<uint8_t>(next == 15 ? 3 : next + 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  uint8_t chosen = 255;
  const Result result = Client_FindFreeStation(pty.slave_path.c_str(), 0, 3, &chosen);
  stop = true;
  bus.join();
  EXPECT_TRUE(result.Ok()) << static_cast<int>(result.outcome) << " " << result.text;
  EXPECT_EQ(chosen, 3);
}

}  // namespace
