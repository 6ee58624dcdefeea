#include "client/own_address.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Octets = std::vector<uint8_t>;

// A frame as it passes on the wire. The listener looks at neither checksum, so
// they are left as zeros (which also keeps them from looking like a preamble).
Octets BuildFrame(uint8_t type, uint8_t destination, uint8_t source, const Octets& data) {
  Octets frame = {0x55, 0xFF, type, destination, source, 0, static_cast<uint8_t>(data.size()), 0};
  frame.insert(frame.end(), data.begin(), data.end());
  if (!data.empty()) frame.insert(frame.end(), {0, 0});
  return frame;
}

std::string DevicePath(const char* name) {
  char out[64];
  MakeDevicePath(name, out, sizeof out);
  return out;
}

TEST(MakeDevicePath, PrefixesShortComNamesOnly) {
  EXPECT_EQ(DevicePath("COM3"), "\\\\.\\COM3");
  EXPECT_EQ(DevicePath("com12"), "\\\\.\\com12");
  EXPECT_EQ(DevicePath("CoM123"), "\\\\.\\CoM123");
  EXPECT_EQ(DevicePath("COM1234"), "COM1234");
  EXPECT_EQ(DevicePath("COM"), "COM");
  EXPECT_EQ(DevicePath("CON3"), "CON3");
  EXPECT_EQ(DevicePath("\\\\.\\COM12"), "\\\\.\\COM12");
  EXPECT_EQ(DevicePath("/dev/ttyS0"), "/dev/ttyS0");
}

TEST(MakeDevicePath, CutsTheResultToTheOutput) {
  char out[6];
  MakeDevicePath("COM12", out, sizeof out);
  EXPECT_EQ(std::string(out), "\\\\.\\C");
}

// Feeds a byte stream; returns the octet index at which listening stopped, or
// the stream's length.
std::size_t Listen(StationUseCounter& counter, const Octets& stream) {
  for (std::size_t i = 0; i < stream.size(); ++i) {
    if (counter.Feed(stream[i])) return i;
  }
  return stream.size();
}

Octets Token(uint8_t to, uint8_t from) { return BuildFrame(0, to, from, {}); }

Octets Concat(const std::vector<Octets>& parts) {
  Octets all;
  for (const Octets& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(StationUseCounter, StopsWhenOneStationHasHadTheTokenFourTimes) {
  StationUseCounter counter;
  const Octets bus = Concat({Token(2, 1), Token(1, 2), Token(2, 1), Token(1, 2), Token(2, 1),
                             Token(1, 2), Token(2, 1), Token(1, 2)});
  const std::size_t stopped = Listen(counter, bus);
  // The fourth token to station 2 is the seventh frame; its destination is
  // octet 3. Station 1 has had the token three times and sent it six times,
  // which does not stop the listening.
  EXPECT_EQ(stopped, 6 * 8 + 3);
  EXPECT_EQ(counter.LowestUnused(0, 3), 0);
  EXPECT_EQ(counter.LowestUnused(1, 3), 3);
}

TEST(StationUseCounter, CountsTheSourceOfEveryHeaderButNotWhomAPollAsksFor) {
  struct Case {
    const char* what;
    Octets bus;
    uint8_t lowestUnused;
  };
  const Case cases[] = {
      {"a request and a reply that expects none",
       Concat({BuildFrame(5, 20, 0, {1, 1}), BuildFrame(6, 0, 1, {1})}), 2},
      {"polls of one master", Concat({BuildFrame(1, 9, 3, {}), BuildFrame(1, 10, 3, {})}), 0},
      {"a poll answered", Concat({BuildFrame(1, 2, 0, {}), BuildFrame(2, 0, 2, {})}), 1},
      {"the last header alone", BuildFrame(6, 30, 1, {7}), 0},
  };
  for (const Case& c : cases) {
    StationUseCounter counter;
    EXPECT_EQ(Listen(counter, c.bus), c.bus.size()) << c.what;
    EXPECT_EQ(counter.LowestUnused(0, 3), c.lowestUnused) << c.what;
  }
  StationUseCounter poller;
  Listen(poller, Concat({BuildFrame(1, 9, 3, {}), BuildFrame(1, 10, 3, {})}));
  EXPECT_EQ(poller.Uses(3), 2u);
  EXPECT_EQ(poller.Uses(9), 0u);
}

// A bus whose ring is still forming: stations 0, 1 and 2 each poll for a
// successor and none has passed a token yet. None of them may be taken.
TEST(StationUseCounter, MastersPollingForASuccessorWithoutATokenAreInUse) {
  std::vector<Octets> polls;
  for (uint8_t round = 0; round < 3; ++round) {
    for (uint8_t station = 0; station < 3; ++station) {
      polls.push_back(BuildFrame(1, static_cast<uint8_t>(station + 5 + round), station, {}));
    }
  }
  const Octets bus = Concat(polls);
  StationUseCounter counter;
  EXPECT_EQ(Listen(counter, bus), bus.size());
  EXPECT_EQ(counter.LowestUnused(0, 3), 3);
}

TEST(StationUseCounter, IgnoresTokensBeyondStation15AndNoiseBetweenHeaders) {
  StationUseCounter counter;
  Octets bus = {0x00, 0x55, 0x00, 0xFF, 0x55, 0x12};
  const Octets frames = Concat({Token(16, 40), Token(200, 40), {0x55, 0x55}, Token(3, 40)});
  bus.insert(bus.end(), frames.begin(), frames.end());
  EXPECT_EQ(Listen(counter, bus), bus.size());
  EXPECT_EQ(counter.Uses(3), 1u);
  for (uint8_t s = 0; s < StationUseCounter::kStations; ++s) {
    if (s != 3) {
      EXPECT_EQ(counter.Uses(s), 0u) << int{s};
    }
  }
  // The source, 40, is no candidate.
  EXPECT_EQ(counter.LowestUnused(0, 15), 0);
}

// The header checksum and data are not looked at, so a 0x55 0xFF inside the
// data is taken for a header.
TEST(StationUseCounter, TakesAHeaderPatternInsideDataForAHeader) {
  StationUseCounter counter;
  Listen(counter, BuildFrame(6, 30, 31, {0x55, 0xFF, 0x00, 0x02, 0x07}));
  EXPECT_EQ(counter.Uses(2), 1u);
  EXPECT_EQ(counter.Uses(7), 1u);
}

TEST(StationUseCounter, AllCandidatesSeenLeavesNone) {
  StationUseCounter counter;
  Listen(counter, Concat({Token(1, 0), Token(2, 1), Token(3, 2), Token(0, 3)}));
  EXPECT_EQ(counter.LowestUnused(0, 3), 255);
  EXPECT_EQ(counter.LowestUnused(0, 4), 4);
  EXPECT_EQ(counter.LowestUnused(3, 2), 255);
}

// A range that is not one of candidates below 16 is the caller's slip: it is
// refused before the port is opened, and nothing is printed.
TEST(FindFreeStation, RefusesRangesOutsideTheCandidatesWithoutOpeningThePort) {
  const struct {
    uint8_t lowest;
    uint8_t highest;
  } cases[] = {{0, 16}, {16, 3}, {3, 2}, {16, 16}};
  for (const auto& c : cases) {
    uint8_t station = 7;
    ::testing::internal::CaptureStdout();
    const Result result = Client_FindFreeStation("Com3", c.lowest, c.highest, &station);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(result.outcome, Outcome::Refused) << int{c.lowest} << ".." << int{c.highest};
    EXPECT_EQ(station, 255);
  }
}

// A port that cannot be opened fails with the system's words, printed by
// nobody: the front end says them.
TEST(FindFreeStation, APortThatDoesNotOpenGivesTheSystemsWords) {
  uint8_t station = 7;
  ::testing::internal::CaptureStdout();
  const Result result = Client_FindFreeStation("/nonexistent/brevane-no-port", 0, 3, &station);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(result.outcome, Outcome::PortNotOpened);
  EXPECT_FALSE(result.text.empty());
  EXPECT_EQ(station, 255);
}

}  // namespace
