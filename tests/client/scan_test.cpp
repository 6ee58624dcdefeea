// The rules of the scan over a scripted bus: which stations are asked again,
// how often, and in which order the records come out.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <vector>

#include "client/scan.h"
#include "client/services.h"

namespace {

constexpr int S = ProbeSilent;
constexpr int A = ProbeApplication;
constexpr int B = ProbeBootloader;
constexpr int U = ProbeUnreadable;

// Each station answers its probes and identity reads as scripted, then stays
// silent (probes) or fails (reads); a station without a script is silent.
class ScriptedBus : public ScanSteps {
 public:
  void Station(uint8_t station, std::deque<int> probes, std::deque<int> reads = {1}) {
    probes_[station] = std::move(probes);
    reads_[station] = std::move(reads);
  }

  int Probe(uint8_t station) override {
    ++probeCount[station];
    return Next(probes_[station], S);
  }
  int ReadIdentity(uint8_t station, DeviceRecord* record) override {
    ++readCount[station];
    const int read = Next(reads_[station], 0);
    if (read == 1) record->serialNumber = 1000 + station;
    return read;
  }
  int ReadBootIdentity(uint8_t station, DeviceRecord* record) override {
    ++readCount[station];
    const int read = Next(reads_[station], 0);
    if (read == 1) record->hardwareId = station;
    return read;
  }

  std::map<uint8_t, int> probeCount;
  std::map<uint8_t, int> readCount;

 private:
  static int Next(std::deque<int>& script, int after) {
    if (script.empty()) return after;
    const int next = script.front();
    script.pop_front();
    return next;
  }

  std::map<uint8_t, std::deque<int>> probes_;
  std::map<uint8_t, std::deque<int>> reads_;
};

std::vector<unsigned> Addresses(const DeviceRecord* records, std::size_t count) {
  std::vector<unsigned> addresses;
  for (std::size_t i = 0; i < count; ++i) addresses.push_back(records[i].address);
  return addresses;
}

// Station 8 lies outside the band, so only the probe rule acts on it.
struct ProbeCase {
  const char* what;
  std::deque<int> probes;
  bool listed;
  int probesMade;
};

TEST(ScanRange, AskAgainAStationWhoseAnswerCouldNotBeRead) {
  const ProbeCase cases[] = {
      {"clean answer", {A}, true, 1},
      {"silent", {S}, false, 1},
      {"damaged once", {U, A}, true, 2},
      {"damaged, then bootloader", {U, B}, true, 2},
      {"damaged twice", {U, U, A}, true, 3},
      {"damaged, lost, answered", {U, S, A}, true, 3},
      {"never readable: gives up", {U, U, U, A}, false, ScanProbeAttempts},
      {"damaged, then silent", {U, S, S, S}, false, ScanProbeAttempts},
  };
  for (const ProbeCase& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedBus bus;
    bus.Station(8, c.probes);
    DeviceRecord records[1];
    const std::size_t found = Scan_Range(bus, 8, 8, records, 1);
    EXPECT_EQ(found, c.listed ? 1u : 0u);
    EXPECT_EQ(bus.probeCount[8], c.probesMade);
    if (c.listed) {
      EXPECT_EQ(records[0].address, 8);
    }
  }
}

struct ReadCase {
  const char* what;
  int probe;
  std::deque<int> reads;
  bool listed;
  int readsMade;
};

TEST(ScanRange, ReadAgainAnIdentityThatFailed) {
  const ReadCase cases[] = {
      {"application, first read", A, {1}, true, 1},
      {"application, second read", A, {0, 1}, true, 2},
      {"application, last read", A, {0, 0, 1}, true, 3},
      {"application, every read fails", A, {0, 0, 0, 1}, false, ScanIdentityAttempts},
      {"bootloader, second read", B, {0, 1}, true, 2},
      {"bootloader, every read fails", B, {0, 0, 0, 1}, false, ScanIdentityAttempts},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedBus bus;
    bus.Station(8, {c.probe}, c.reads);
    DeviceRecord records[1];
    const std::size_t found = Scan_Range(bus, 8, 8, records, 1);
    EXPECT_EQ(bus.probeCount[8], 1);
    EXPECT_EQ(bus.readCount[8], c.readsMade);
    ASSERT_EQ(found, c.listed ? 1u : 0u);
    if (!c.listed) continue;
    EXPECT_EQ(records[0].inBootloader, c.probe == B ? 1 : 0);
    if (c.probe == B) {
      EXPECT_EQ(records[0].hardwareId, 8);
    } else {
      EXPECT_EQ(records[0].serialNumber, 1008);
    }
  }
}

TEST(ScanRange, SilentAddressesOutsideTheBandAreProbedOnce) {
  ScriptedBus bus;
  bus.Station(5, {A});
  DeviceRecord records[12];
  EXPECT_EQ(Scan_Range(bus, 4, 15, records, 12), 1u);
  for (unsigned a = 4; a <= 15; ++a) EXPECT_EQ(bus.probeCount[static_cast<uint8_t>(a)], 1) << a;
}

TEST(ScanRange, BandAddressesUpToOneAboveTheHighestAnswerAreProbedTwice) {
  ScriptedBus bus;
  bus.Station(5, {A});
  bus.Station(16, {A});
  bus.Station(17, {U, U, U});  // there, never readable: still raises the reach
  bus.Station(18, {S, A});     // lost once
  bus.Station(20, {A});
  DeviceRecord records[29];
  const std::size_t found = Scan_Range(bus, 4, 32, records, 29);
  EXPECT_EQ(Addresses(records, found), (std::vector<unsigned>{5, 16, 18, 20}));
  EXPECT_EQ(records[2].serialNumber, 1018);
  EXPECT_EQ(bus.probeCount[18], 2);
  EXPECT_EQ(bus.probeCount[19], 2);
  EXPECT_EQ(bus.probeCount[21], 2);
  for (unsigned a : {4u, 15u, 22u, 31u, 32u}) {
    EXPECT_EQ(bus.probeCount[static_cast<uint8_t>(a)], 1) << a;
  }
  EXPECT_EQ(bus.probeCount[17], ScanProbeAttempts);
}

TEST(ScanRange, AStationFoundOnItsSecondTryWidensTheReach) {
  ScriptedBus bus;
  bus.Station(16, {A});
  bus.Station(17, {S, A});
  bus.Station(18, {S, B});
  DeviceRecord records[16];
  const std::size_t found = Scan_Range(bus, 16, 31, records, 16);
  EXPECT_EQ(Addresses(records, found), (std::vector<unsigned>{16, 17, 18}));
  EXPECT_EQ(records[2].inBootloader, 1);
  EXPECT_EQ(bus.probeCount[19], 2);
  EXPECT_EQ(bus.probeCount[20], 1);
}

TEST(ScanRange, AnEmptyBandAsksItsFirstScannedAddressAgainOnly) {
  struct Range {
    uint8_t first, last, askedTwice;
  };
  for (const Range r : {Range{4, 32, 16}, Range{16, 31, 16}, Range{20, 25, 20}, Range{23, 23, 23}}) {
    SCOPED_TRACE(testing::Message() << +r.first << " to " << +r.last);
    ScriptedBus bus;
    DeviceRecord records[29];
    EXPECT_EQ(Scan_Range(bus, r.first, r.last, records, 29), 0u);
    for (unsigned a = r.first; a <= r.last; ++a) {
      EXPECT_EQ(bus.probeCount[static_cast<uint8_t>(a)], a == r.askedTwice ? 2 : 1) << a;
    }
  }
}

TEST(ScanRange, SecondTriesKeepAddressOrderAndTheCallersCapacity) {
  ScriptedBus twoRoom;
  twoRoom.Station(16, {S, A});
  twoRoom.Station(17, {A});
  DeviceRecord two[2];
  EXPECT_EQ(Addresses(two, Scan_Range(twoRoom, 16, 31, two, 2)),
            (std::vector<unsigned>{16, 17}));
  EXPECT_EQ(two[1].serialNumber, 1017);

  ScriptedBus oneRoom;
  oneRoom.Station(16, {S, A});
  oneRoom.Station(17, {A});
  DeviceRecord one[1];
  EXPECT_EQ(Addresses(one, Scan_Range(oneRoom, 16, 31, one, 1)), (std::vector<unsigned>{17}));
  EXPECT_EQ(oneRoom.probeCount[16], 1);
}

}  // namespace
