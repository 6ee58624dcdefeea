// Replies the controllers would never send, and frames that answer nothing:
// the client must neither read past a reply nor hand a caller someone else's
// frame.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "client/client.h"
#include "client/scan.h"
#include "client/services.h"
#include "link/tarnix_link.h"
#include "tests/client/client_scopes.h"
#include "tests/support/emulated_bus.h"
#include "tests/support/scripted_station.h"

namespace {

using client_test::OpenPort;
using test_support::CannedReplies;
using test_support::BusOptions;
using test_support::EmulatedBus;
using test_support::ScriptedStation;

constexpr const char* kPort = "Com1";
constexpr uint8_t kCanned = 6;
// A controller that keeps the token going round.
const char* kRing = "[controller]\naddress = 9\nmax_master = 20\n";


TEST(ShortReplies, AreFailedExchangesNeverStaleBytes) {
  ScriptedStation canned;
  canned.AnswerAs(kCanned, CannedReplies(kCanned, {
                                {0x01, {0x01, 0x01, 0x1C}},  // probe without byte 3
                                {0x03, {0x01, 0x03, 0x01, 0x02, 0x02, 0x01, 0x05, 0x00}},
                                {0x04, {0x01}},  // write answer cut
                                {0x05, {0x01, 0x05, 0x01, 0x01, 0x02, 0x01, 0x05, 0x00}},
                                {0xEB, {0x01, 0xEB}},
                            }));
  EmulatedBus bus(kRing, BusOptions().Station(&canned));
  OpenPort port;
  ASSERT_EQ(port.result(), 0);

  // A full probe reply first: a short one read by position could pick up
  // what such a reply left in the buffer.
  EXPECT_EQ(Client_Probe(kPort, 9), 1);
  EXPECT_EQ(Client_Probe(kPort, kCanned), ProbeUnreadable);

  TypedValue value;
  value.value = 0x11223344u;
  EXPECT_EQ(Client_ReadMember(kPort, kCanned, 2, 2, 1, &value), InvalidFrame);
  EXPECT_EQ(value.value, 0x11223344u);

  TypedValue write;
  write.type = 3;
  write.value = 1u << 16;
  EXPECT_EQ(Client_WriteMember(kPort, kCanned, 2, 2, 1, write), -7);

  DeviceRecord record;
  std::strcpy(record.modelNumber, "before");
  record.serialNumber = 12;
  EXPECT_EQ(Client_ReadIdentity(kPort, kCanned, 1, &record), 0);
  EXPECT_EQ(Client_ReadBootIdentity(kPort, kCanned, &record), 0);
  EXPECT_STREQ(record.modelNumber, "before");
  EXPECT_EQ(record.serialNumber, 12);

  // Nothing that answers in pieces is listed by a scan.
  DeviceRecord found[4];
  ASSERT_EQ(Client_ScanRange(kPort, 6, 9, found, 4), 1);
  EXPECT_EQ(found[0].address, 9);
}

TEST(BootIdentity, CutsAModelTextLongerThanTheRecord) {
  std::vector<uint8_t> reply = {0x01, 0xEB, 0x17};
  for (int i = 0; i < 60; ++i) reply.push_back(static_cast<uint8_t>('A' + i % 26));
  ScriptedStation canned;
  canned.AnswerAs(kCanned, CannedReplies(kCanned, {{0x01, {0x01, 0x01, 0x17, 0xCC}}, {0xEB, reply}}));
  EmulatedBus bus(kRing, BusOptions().Station(&canned));
  OpenPort port;
  ASSERT_EQ(port.result(), 0);
  DeviceRecord record;
  ASSERT_EQ(Client_ReadBootIdentity(kPort, kCanned, &record), 1);
  EXPECT_EQ(record.hardwareId, 0x17);
  EXPECT_EQ(std::strlen(record.modelNumber), sizeof record.modelNumber - 1);
  EXPECT_EQ(std::memcmp(record.modelNumber, reply.data() + 3, 32), 0);
  EXPECT_EQ(Client_FindBootloader(kPort, kCanned, kCanned, "ABCDEF"), kCanned);
  EXPECT_EQ(Client_FindBootloader(kPort, kCanned, kCanned, "ABD"), 255);
}

// A scripted station answering by service code that counts the requests it
// receives; by service code, `damaged` first answers go out with a bit of their
// data check flipped, as a line fault would leave them, and `unheard` first
// requests go unanswered, as if lost. Counts are read once the bus stopped.
struct CountingStation {
  CountingStation(uint8_t address, std::map<uint8_t, std::vector<uint8_t>> replies,
                  std::map<uint8_t, int> damaged = {}, std::map<uint8_t, int> unheard = {})
      : damaged_(std::move(damaged)), unheard_(std::move(unheard)) {
    station.AnswerAs(address, [this, address, replies = std::move(replies)](const sim::Frame& request) {
      const uint8_t service = request.data.size() > 1 ? request.data[1] : 0;
      ++requests_[service];
      const auto reply = replies.find(service);
      if (reply == replies.end()) return std::vector<uint8_t>{};
      if (int& toDrop = unheard_[service]; toDrop > 0) {
        --toDrop;
        return std::vector<uint8_t>{};
      }
      std::vector<uint8_t> frame =
          sim::EncodeFrame(sim::kDataNotExpectingReply, request.src, address, reply->second);
      if (int& toDamage = damaged_[service]; toDamage > 0) {
        --toDamage;
        frame.back() ^= 0x01;
      }
      return frame;
    });
  }
  int Requests(uint8_t service) const {
    const auto it = requests_.find(service);
    return it == requests_.end() ? 0 : it->second;
  }

  ScriptedStation station;

 private:
  std::map<uint8_t, int> damaged_;
  std::map<uint8_t, int> unheard_;
  std::map<uint8_t, int> requests_;
};

// A damaged answer proves that a station is there: the scan asks it again,
// through the real link, as often as its rules allow and no more. A silent
// station is asked once, or twice in the band where controllers live up to
// one above the highest station that answered, which finds a controller whose
// first probe was lost.
TEST(ScanOnANoisyLine, AsksAgainWhatAnsweredDamagedAndTheFootOfTheBand) {
  const std::vector<uint8_t> probeReply = {0x01, 0x01, 0x1C, 0x00};
  const std::vector<uint8_t> identityReply = {0x01, 0x05, 0x01, 0x01, 1,    7,
                                              6,    0x00, 0x43, 0x4B, 0x25};
  const std::map<uint8_t, std::vector<uint8_t>> answers = {{0x01, probeReply},
                                                           {0x05, identityReply}};
  CountingStation twiceDamaged(kCanned, answers, {{0x01, 2}, {0x05, 2}});
  CountingStation alwaysDamaged(7, answers, {{0x01, 1000}});
  CountingStation silent(8, {});
  CountingStation firstProbeLost(16, answers, {}, {{0x01, 1}});
  CountingStation silentAboveIt(17, {});
  CountingStation silentHigher(18, {});
  EmulatedBus bus(kRing, BusOptions()
                             .Station(&twiceDamaged.station)
                             .Station(&alwaysDamaged.station)
                             .Station(&silent.station)
                             .Station(&firstProbeLost.station)
                             .Station(&silentAboveIt.station)
                             .Station(&silentHigher.station));
  {
    OpenPort port;
    ASSERT_EQ(port.result(), 0);
    DeviceRecord found[13];
    ASSERT_EQ(Client_ScanRange(kPort, kCanned, 18, found, 13), 3);
    EXPECT_EQ(found[0].address, kCanned);
    EXPECT_EQ(found[0].serialNumber, 0x00434B25);
    EXPECT_EQ(found[1].address, 9);
    EXPECT_EQ(found[2].address, 16);
    EXPECT_STREQ(found[2].portName, kPort);
  }
  bus.Stop();
  EXPECT_EQ(twiceDamaged.Requests(0x01), 3);
  EXPECT_EQ(twiceDamaged.Requests(0x05), 3);
  EXPECT_EQ(alwaysDamaged.Requests(0x01), ScanProbeAttempts);
  EXPECT_EQ(alwaysDamaged.Requests(0x05), 0);
  EXPECT_EQ(silent.Requests(0x01), 1);
  EXPECT_EQ(firstProbeLost.Requests(0x01), 2);
  EXPECT_EQ(firstProbeLost.Requests(0x05), 1);
  EXPECT_EQ(silentAboveIt.Requests(0x01), 2);
  EXPECT_EQ(silentHigher.Requests(0x01), 1);
}

std::atomic<int> g_completed{0};
std::atomic<uint32_t> g_source{0};

uint8_t Count(const char*, int32_t, const uint8_t*, uint32_t source, uint32_t, uint32_t) {
  g_source = source;
  ++g_completed;
  return 0;
}

// A frame that reaches the client while its oldest request has not gone out
// (a broadcast, another master's request) is no answer to it: the request
// stays queued, and a blocking caller stays asleep until its own reply.
TEST(StrayFrames, DoNotCompleteRequestsThatAreNotOnTheBus) {
  EmulatedBus bus(kRing);
  OpenPort port;
  ASSERT_EQ(port.result(), 0);
  // Hold the requests back: the link no longer asks for frames to send.
  TarnixLink_SetTokenObtainedDelegate(kPort, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  g_completed = 0;
  const uint8_t probe[] = {0x01, 0x01};
  ASSERT_EQ(Client_RequestAsync(kPort, 9, probe, 2, 1, Count), 0);
  std::atomic<bool> returned{false};
  uint8_t status = 99;
  uint8_t source = 0;
  std::thread caller([&] {
    Client_Request(kPort, 9, probe, 2, 1, &source, nullptr, 0, nullptr, &status);
    returned = true;
  });

  const uint8_t stray[] = {0x01, 0x99};
  for (int i = 0; i < 3; ++i) Client_OnUpcall(kPort, stray, 40, sizeof stray, Delivered);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(g_completed.load(), 0);
  EXPECT_FALSE(returned.load());

  TarnixLink_SetTokenObtainedDelegate(kPort, Client_OnTokenObtained);
  caller.join();
  EXPECT_EQ(g_completed.load(), 1);
  EXPECT_EQ(g_source.load(), 9u);
  EXPECT_EQ(status, Delivered);
  EXPECT_EQ(source, 9);
}

// Blocking requests from several threads: each caller is woken by its own
// reply, never by another's.
TEST(BlockingRequests, FromSeveralThreadsEachGetTheirOwnReply) {
  EmulatedBus bus("[controller]\naddress = 5\nmax_master = 20\nhardware_id = 23\n"
                  "[controller]\naddress = 9\nmax_master = 20\nhardware_id = 25\n");
  OpenPort port;
  ASSERT_EQ(port.result(), 0);
  std::atomic<int> wrong{0};
  auto ask = [&](uint8_t station, uint8_t hardware) {
    const uint8_t probe[] = {0x01, 0x01};
    for (int i = 0; i < 10; ++i) {
      uint8_t reply[8] = {};
      uint8_t source = 0;
      uint16_t length = 0;
      uint8_t status = 99;
      const int r =
          Client_Request(kPort, station, probe, 2, 1, &source, reply, sizeof reply, &length, &status);
      if (r != 0 || status != Delivered || source != station || length != 4 || reply[2] != hardware) {
        ++wrong;
      }
    }
  };
  std::thread a(ask, 5, 23);
  std::thread b(ask, 9, 25);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

namespace {

// Requests still queued when the port is closed are never answered: a caller
// blocked on one is woken with a time-out instead of waiting for ever.
void CountFailure(void* context, const AsyncReply& reply) {
  if (reply.status == static_cast<uint32_t>(ReplyTimeout) && reply.data == nullptr) {
    ++*static_cast<std::atomic<int>*>(context);
  }
}

// A requester's engine waits for the completion of what it queued: a close
// that dropped its requests silently would leave it waiting for ever.
TEST(ClosingAPort, WakesCallersOfRequestsThatCanNoLongerBeAnswered) {
  EmulatedBus bus(kRing);
  ASSERT_EQ(Client_Open(kPort), 0);
  TarnixLink_SetTokenObtainedDelegate(kPort, nullptr);
  const uint8_t probe[] = {0x01, 0x01};
  std::atomic<int> failed{0};
  ASSERT_EQ(Client_RequestAsync(kPort, 9, probe, 2, 1, CountFailure, &failed), 0);
  int result = 99;
  uint8_t status = 99;
  std::thread caller([&] {
    result = Client_Request(kPort, 9, probe, 2, 1, nullptr, nullptr, 0, nullptr, &status);
  });
  RequestQueue* queue = Client_Find(kPort)->queue;
  while (queue->count.load() < 2) std::this_thread::yield();
  EXPECT_EQ(Client_Close(kPort), 0);
  caller.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(status, ReplyTimeout);
  EXPECT_EQ(failed.load(), 1);
}

}  // namespace

namespace {

struct Requester {
  std::atomic<int> replies{0};
};

void CountReply(void* context, const AsyncReply& reply) {
  if (reply.status == static_cast<uint32_t>(Delivered)) ++static_cast<Requester*>(context)->replies;
}

// Taking a requester's queued requests back leaves the other requesters' in
// the queue, in their order: only theirs go out and are answered, and no
// handler runs for what was taken back.
TEST(WithdrawnRequests, NeverGoOutAndLeaveOtherRequestersAlone) {
  EmulatedBus bus(kRing);
  OpenPort port;
  ASSERT_EQ(port.result(), 0);
  TarnixLink_SetTokenObtainedDelegate(kPort, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  Requester mine;
  Requester other;
  const uint8_t probe[] = {0x01, 0x01};
  ASSERT_EQ(Client_RequestAsync(kPort, 9, probe, 2, 1, CountReply, &mine), 0);
  ASSERT_EQ(Client_RequestAsync(kPort, 9, probe, 2, 1, CountReply, &other), 0);
  ASSERT_EQ(Client_RequestAsync(kPort, 9, probe, 2, 0, nullptr, &mine), 0);
  ASSERT_EQ(Client_RequestAsync(kPort, 9, probe, 2, 1, CountReply, &mine), 0);
  ASSERT_EQ(Client_RequestAsync(kPort, 9, probe, 2, 1, CountReply, &other), 0);

  // Two of the three expected a reply.
  EXPECT_EQ(Client_Withdraw(kPort, &mine), 2u);
  EXPECT_EQ(Client_Find(kPort)->queue->count.load(), 2);
  EXPECT_EQ(Client_Withdraw(kPort, &mine), 0u);

  TarnixLink_SetTokenObtainedDelegate(kPort, Client_OnTokenObtained);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (other.replies.load() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(other.replies.load(), 2);
  EXPECT_EQ(mine.replies.load(), 0);
  EXPECT_EQ(Client_Find(kPort)->queue->count.load(), 0);
  EXPECT_EQ(Client_Withdraw("Com7", &mine), 0u);
}

}  // namespace
