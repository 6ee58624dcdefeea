// The client against an emulated bus, through the real link and a pty.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/bus.h"
#include "client/client.h"
#include "client/own_address.h"
#include "client/scan.h"
#include "client/services.h"
#include "link/tarnix_link.h"
#include "tests/client/client_scopes.h"
#include "tests/support/emulated_bus.h"

namespace {

using client_test::OpenPort;
using test_support::BusOptions;
using test_support::EmulatedBus;

constexpr const char* kPort = "Com1";

// Controllers poll up to 20, so the highest wraps round to the PC's 0 to 3
// within a second.
std::string Controller(int address, const std::string& extra = "") {
  return "[controller]\naddress = " + std::to_string(address) + "\nmax_master = 20\n" + extra;
}

TEST(ClientOpen, TakesTheLowestAddressNobodyUses) {
  EmulatedBus bus(Controller(0) + Controller(2) + Controller(9));
  {
    OpenPort port;
    ASSERT_EQ(port.result(), 0);
    EXPECT_EQ(TarnixLink_GetAddress(kPort), 1);
    // Already open: nothing happens, the link keeps its address.
    EXPECT_EQ(Client_Open(kPort), 0);
    EXPECT_EQ(TarnixLink_GetAddress(kPort), 1);
    ASSERT_NE(Client_Find(kPort), nullptr);
  }
  EXPECT_EQ(Client_Find(kPort), nullptr);
  EXPECT_EQ(Client_Close(kPort), -4);
}

TEST(ClientOpen, AnswersMinus5WhenStations0To3AreAllInUse) {
  EmulatedBus bus(Controller(0) + Controller(1) + Controller(2) + Controller(3) + Controller(9));
  EXPECT_EQ(Client_Open(kPort), -5);
  EXPECT_EQ(Client_Find(kPort), nullptr);
  EXPECT_EQ(Client_OpenFailure(kPort).outcome, Outcome::NoFreeStation);
  EXPECT_EQ(Client_Bus().Open(kPort).outcome, Outcome::NoFreeStation);
}

TEST(ClientOpen, SilentBusEndsTheListeningEarlyWithTheLowestCandidate) {
  EmulatedBus bus(Controller(5, "silent = yes\n"));
  const auto start = std::chrono::steady_clock::now();
  uint8_t station = 255;
  EXPECT_TRUE(Client_FindFreeStation(kPort, 1, 3, &station).Ok());
  EXPECT_EQ(station, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
}

TEST(ClientOpen, RefusesNamesItCannotHoldOrFind) {
  EXPECT_EQ(Client_Open("Com1-with-a-much-too-long-name"), -1);
  EXPECT_EQ(Client_Open(""), -1);
  EXPECT_EQ(Client_Open(nullptr), -1);
  const char exactly20[] = "ABCDEFGHIJKLMNOPQRST";
  static_assert(sizeof exactly20 == ClientPortNameMax + 1);
  // Fits the slot, but no such port: the own-address search cannot open it,
  // and the failure keeps the system's words for whoever reports it.
  EXPECT_EQ(Client_Open(exactly20), -5);
  const Result why = Client_OpenFailure(exactly20);
  EXPECT_EQ(why.outcome, Outcome::PortNotOpened);
  EXPECT_FALSE(why.text.empty());
  const Result viaBus = Client_Bus().Open(exactly20);
  EXPECT_EQ(viaBus.outcome, Outcome::PortNotOpened);
  EXPECT_EQ(viaBus.text, why.text);
}

TEST(ClientRequest, RefusesUnopenedPortsAndMissingData) {
  const uint8_t probe[] = {0x01, 0x01};
  uint8_t status = 0;
  EXPECT_EQ(Client_Request("Com9", 5, probe, 2, 1, nullptr, nullptr, 0, nullptr, &status), -1);
  EXPECT_EQ(Client_RequestAsync("Com9", 5, probe, 2, 1, nullptr), -1);
  EXPECT_EQ(Client_Request(nullptr, 5, probe, 2, 1, nullptr, nullptr, 0, nullptr, &status), -1);
}

struct Completion {
  int order;
  uint32_t source;
  uint32_t length;
  uint32_t status;
  std::vector<uint8_t> reply;
};

std::mutex g_completions_lock;
std::vector<Completion> g_completions;

uint8_t Record(int order, const uint8_t* reply, uint32_t source, uint32_t length,
               uint32_t status) {
  std::lock_guard<std::mutex> guard(g_completions_lock);
  std::vector<uint8_t> bytes;
  if (reply != nullptr) bytes.assign(reply, reply + length);
  g_completions.push_back({order, source, length, status, bytes});
  return 0;
}

uint8_t First(const char*, int32_t, const uint8_t* reply, uint32_t source, uint32_t length,
              uint32_t status) {
  return Record(1, reply, source, length, status);
}
uint8_t Second(const char*, int32_t, const uint8_t* reply, uint32_t source, uint32_t length,
               uint32_t status) {
  return Record(2, reply, source, length, status);
}
uint8_t Third(const char*, int32_t, const uint8_t* reply, uint32_t source, uint32_t length,
              uint32_t status) {
  return Record(3, reply, source, length, status);
}

TEST(ClientRequest, BlockingAndQueuedRequestsCompleteInOrderWithTheirOwnStatus) {
  EmulatedBus bus(Controller(5, "hardware_id = 23\n") + Controller(9));
  OpenPort port;
  ASSERT_EQ(port.result(), 0);
  {
    std::lock_guard<std::mutex> guard(g_completions_lock);
    g_completions.clear();
  }
  const uint8_t probe[] = {0x01, 0x01};
  ASSERT_EQ(Client_RequestAsync(kPort, 5, probe, 2, 1, First), 0);
  ASSERT_EQ(Client_RequestAsync(kPort, 7, probe, 2, 1, Second), 0);
  // Expects no reply: sent once, never reported.
  ASSERT_EQ(Client_RequestAsync(kPort, 9, probe, 2, 0, First), 0);
  ASSERT_EQ(Client_RequestAsync(kPort, 9, probe, 2, 1, Third), 0);

  // Queued behind the three: it completes only after them.
  uint8_t reply[512];
  uint8_t source = 0;
  uint16_t length = 0;
  uint8_t status = 99;
  ASSERT_EQ(Client_Request(kPort, 5, probe, 2, 1, &source, reply, sizeof reply, &length, &status),
            0);
  EXPECT_EQ(status, Delivered);
  EXPECT_EQ(source, 5);
  ASSERT_EQ(length, 4);
  EXPECT_EQ(reply[2], 23);

  // Without reply expectation a blocking request ends once the link has it,
  // rather than waiting for an answer that never comes.
  status = 99;
  length = 99;
  ASSERT_EQ(Client_Request(kPort, 9, probe, 2, 0, nullptr, reply, sizeof reply, &length, &status),
            0);
  EXPECT_EQ(status, Delivered);
  EXPECT_EQ(length, 0);

  std::lock_guard<std::mutex> guard(g_completions_lock);
  ASSERT_EQ(g_completions.size(), 3u);
  EXPECT_EQ(g_completions[0].order, 1);
  EXPECT_EQ(g_completions[0].status, static_cast<uint32_t>(Delivered));
  EXPECT_EQ(g_completions[0].source, 5u);
  EXPECT_EQ(g_completions[0].reply, (std::vector<uint8_t>{0x01, 0x01, 23, 0x00}));
  EXPECT_EQ(g_completions[1].order, 2);
  EXPECT_EQ(g_completions[1].status, static_cast<uint32_t>(ReplyTimeout));
  EXPECT_EQ(g_completions[1].length, 0u);
  EXPECT_TRUE(g_completions[1].reply.empty());
  EXPECT_EQ(g_completions[2].order, 3);
  EXPECT_EQ(g_completions[2].status, static_cast<uint32_t>(Delivered));
  EXPECT_EQ(g_completions[2].source, 9u);
}

// Completions of requests made around a pulled adapter, with their time.
struct Timed {
  uint32_t status;
  std::chrono::steady_clock::time_point at;
};
std::mutex g_timed_lock;
std::vector<Timed> g_timed;

uint8_t RecordTimed(const char*, int32_t, const uint8_t*, uint32_t, uint32_t, uint32_t status) {
  std::lock_guard<std::mutex> guard(g_timed_lock);
  g_timed.push_back({status, std::chrono::steady_clock::now()});
  return 0;
}

std::vector<Timed> TimedSoFar() {
  std::lock_guard<std::mutex> guard(g_timed_lock);
  return g_timed;
}

// The adapter pulled in the middle of a request loop: the request on the bus
// and those queued behind it fail at once instead of after the client's
// minute, later requests fail at once too, and the port is reported lost, with
// the system's reason, until it is opened again.
TEST(ClientLostPort, PulledAdapterFailsEveryRequestAtOnceAndIsReported) {
  using Clock = std::chrono::steady_clock;
  // Answers come 200 ms late, so a request is nearly always on the bus.
  EmulatedBus bus(Controller(5, "latency_ms = 200\n"));
  OpenPort port;
  ASSERT_EQ(port.result(), 0);
  char text[ClientLostTextMax] = "untouched";
  EXPECT_EQ(Client_PortLost(kPort, text, sizeof text), 0);
  EXPECT_STREQ(text, "");
  {
    std::lock_guard<std::mutex> guard(g_timed_lock);
    g_timed.clear();
  }
  const uint8_t probe[] = {0x01, 0x01};
  std::atomic<bool> stop{false};
  std::atomic<int> delivered{0};
  std::mutex loopLock;
  std::vector<Timed> loopEnds;
  std::thread loop([&] {
    while (!stop.load()) {
      uint8_t status = 99;
      const int result = Client_Request(kPort, 5, probe, 2, 1, nullptr, nullptr, 0, nullptr, &status);
      std::lock_guard<std::mutex> guard(loopLock);
      loopEnds.push_back({result == 0 ? status : 99u, Clock::now()});
      if (status == Delivered) ++delivered;
    }
  });
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (delivered.load() < 2 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(delivered.load(), 2);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Client_RequestAsync(kPort, 5, probe, 2, 1, RecordTimed), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  size_t endsBefore = 0;
  {
    std::lock_guard<std::mutex> guard(loopLock);
    endsBefore = loopEnds.size();
  }
  const Clock::time_point pulled = Clock::now();
  bus.PullAdapter();
  while (TimedSoFar().size() < 3 && Clock::now() < pulled + std::chrono::seconds(2)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop = true;
  loop.join();

  {
    std::lock_guard<std::mutex> guard(loopLock);
    ASSERT_GT(loopEnds.size(), endsBefore);
    EXPECT_EQ(loopEnds[endsBefore].status, static_cast<uint32_t>(ReplyTimeout));
    EXPECT_LT(loopEnds[endsBefore].at - pulled, std::chrono::milliseconds(100));
  }
  const std::vector<Timed> queued = TimedSoFar();
  ASSERT_EQ(queued.size(), 3u);
  for (const Timed& t : queued) {
    EXPECT_EQ(t.status, static_cast<uint32_t>(ReplyTimeout));
    EXPECT_LT(t.at - pulled, std::chrono::milliseconds(100));
  }
  EXPECT_EQ(Client_PortLost(kPort, text, sizeof text), 1);
  EXPECT_STRNE(text, "");

  // Made after the loss: failed at once, on the caller's own thread.
  uint8_t status = 99;
  uint16_t length = 99;
  const Clock::time_point asked = Clock::now();
  EXPECT_EQ(Client_Request(kPort, 5, probe, 2, 1, nullptr, nullptr, 0, &length, &status), 0);
  EXPECT_EQ(status, ReplyTimeout);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(Client_RequestAsync(kPort, 5, probe, 2, 1, RecordTimed), 0);
  EXPECT_EQ(TimedSoFar().size(), 4u);
  EXPECT_LT(Clock::now() - asked, std::chrono::milliseconds(100));

  EXPECT_EQ(Client_Close(kPort), 0);
  EXPECT_EQ(Client_PortLost(kPort, text, sizeof text), 1) << "forgotten before a new open";
  EXPECT_STRNE(text, "");
}

TEST(ClientRequest, ReplyLongerThanTheCallersBufferIsAFailedExchange) {
  EmulatedBus bus(Controller(5, "name = A rather long device name\n"));
  OpenPort port;
  ASSERT_EQ(port.result(), 0);
  // The identity instance answers with some 80 bytes.
  const uint8_t read_identity[] = {0x01, 0x05, 0x01, 0x01};
  uint8_t reply[16 + 8];
  std::memset(reply, 0xEE, sizeof reply);
  uint16_t length = 99;
  uint8_t status = 0;
  ASSERT_EQ(Client_Request(kPort, 5, read_identity, sizeof read_identity, 1, nullptr, reply, 16,
                           &length, &status),
            0);
  EXPECT_EQ(status, InvalidFrame);
  EXPECT_EQ(length, 0);
  for (uint8_t octet : reply) EXPECT_EQ(octet, 0xEE);
  // The next exchange is not disturbed.
  EXPECT_EQ(Client_Probe(kPort, 5), 1);
}

TEST(ClientRequest, FullQueueAnswersMinus3AndQueuesNothing) {
  EmulatedBus bus(Controller(9));
  OpenPort port;
  ASSERT_EQ(port.result(), 0);
  // Requests to an absent station: the first waits out its reply time-out
  // while the rest are queued behind it.
  const uint8_t probe[] = {0x01, 0x01};
  for (int i = 0; i < ClientQueueCapacity; ++i) {
    ASSERT_EQ(Client_RequestAsync(kPort, 40, probe, 2, 1, nullptr), 0) << i;
  }
  EXPECT_EQ(Client_RequestAsync(kPort, 40, probe, 2, 1, nullptr), -3);
  uint8_t status = 0;
  EXPECT_EQ(Client_Request(kPort, 40, probe, 2, 1, nullptr, nullptr, 0, nullptr, &status), -3);
  // Closing discards the pending requests; the slot is free for another name.
  EXPECT_EQ(Client_Close(kPort), 0);
  EXPECT_EQ(Client_Find(kPort), nullptr);
}

TEST(ClientServices, ProbeTellsApplicationBootloaderAndSilence) {
  EmulatedBus bus(Controller(5) + Controller(12, "start = bootloader\n"));
  OpenPort port;
  ASSERT_EQ(port.result(), 0);
  EXPECT_EQ(Client_Probe(kPort, 5), 1);
  EXPECT_EQ(Client_Probe(kPort, 12), 2);
  EXPECT_EQ(Client_Probe(kPort, 7), 0);
}

TEST(ClientServices, ReadAndWriteMembers) {
  EmulatedBus bus(Controller(5));
  OpenPort port;
  ASSERT_EQ(port.result(), 0);

  char text[32] = {};
  TypedValue loop_tag;
  loop_tag.buffer = text;
  loop_tag.bufferSize = sizeof text;
  ASSERT_EQ(Client_ReadMember(kPort, 5, 2, 7, 1, &loop_tag), 0);
  EXPECT_EQ(loop_tag.type, 9);
  EXPECT_STREQ(text, "Supply");

  TypedValue proportional;
  ASSERT_EQ(Client_ReadMember(kPort, 5, 2, 2, 1, &proportional), 0);
  EXPECT_EQ(proportional.type, 3);
  EXPECT_EQ(proportional.value, 120u << 16);

  TypedValue wider = proportional;
  wider.value = 135u << 16;
  EXPECT_EQ(Client_WriteMember(kPort, 5, 2, 2, 1, wider), 0);
  TypedValue back;
  ASSERT_EQ(Client_ReadMember(kPort, 5, 2, 2, 1, &back), 0);
  EXPECT_EQ(back.value, 135u << 16);

  // Longer than any frame carries: refused before it could block the queue.
  const std::vector<uint8_t> oversized(ClientMaxMessage + 1, 0x01);
  uint8_t status = 0;
  EXPECT_EQ(Client_Request(kPort, 5, oversized.data(), ClientMaxMessage + 1, 1, nullptr, nullptr,
                           0, nullptr, &status),
            -1);
  EXPECT_EQ(Client_RequestAsync(kPort, 5, oversized.data(), ClientMaxMessage + 1, 1, nullptr), -1);
  EXPECT_EQ(Client_Probe(kPort, 5), 1);

  // The hardware id is read-only: refused.
  TypedValue hardware;
  hardware.type = 5;
  hardware.value = 1;
  EXPECT_EQ(Client_WriteMember(kPort, 5, 1, 1, 1, hardware), -8);
  // Nobody at 7.
  EXPECT_EQ(Client_WriteMember(kPort, 7, 2, 2, 1, wider), -7);
  TypedValue nothing;
  EXPECT_EQ(Client_ReadMember(kPort, 7, 2, 2, 1, &nothing), ReplyTimeout);
}

// A request that expects no reply (the bootloader entry is one) goes out
// whole even when the link refuses it at first or the token pass follows it
// at once: each write is carried out by the controller.
TEST(ClientRequest, RequestsWithoutReplyReachTheController) {
  EmulatedBus bus(Controller(5));
  OpenPort port;
  ASSERT_EQ(port.result(), 0);
  for (uint16_t value = 121; value <= 126; ++value) {
    const uint8_t write[] = {0x01, 0x04, 0x02, 0x02, 0x01, 0x03, static_cast<uint8_t>(value >> 8),
                             static_cast<uint8_t>(value & 0xFF)};
    ASSERT_EQ(Client_RequestAsync(kPort, 5, write, sizeof write, 0, nullptr), 0);
    TypedValue back;
    ASSERT_EQ(Client_ReadMember(kPort, 5, 2, 2, 1, &back), 0);
    EXPECT_EQ(back.value, uint32_t{value} << 16) << "write of " << value;
  }
}

TEST(ClientServices, AddressSettingMovesTheControllerToItsNewStation) {
  EmulatedBus bus(Controller(5) + Controller(20));
  {
    OpenPort port;
    ASSERT_EQ(port.result(), 0);
    EXPECT_EQ(Client_SetZoneAddress(kPort, 20, 22), 1);
    // Nobody answers at 30: the setting fails.
    EXPECT_EQ(Client_SetZoneAddress(kPort, 30, 23), 0);
  }
  // The emulated controller moves once the PC has left the ring; found again
  // at its new station after the port is opened anew.
  {
    OpenPort port;
    ASSERT_EQ(port.result(), 0);
    EXPECT_EQ(Client_Probe(kPort, 22), 1);
    EXPECT_EQ(Client_Probe(kPort, 20), 0);
  }
  bus.Stop();
  EXPECT_EQ(bus.controller(1).address(), 22);
}

const char* kScanBus =
    "[controller]\naddress = 5\nmax_master = 20\nhardware_id = 23\nsoftware_id = 4\n"
    "version = 9.02.41\nserial = 4410021\nmodel = QM2200B-4AA0100\nname = Chiller loop\n"
    "[controller]\naddress = 12\nmax_master = 20\nhardware_id = 28\nserial = 77\n"
    "model = QD4020A-6AD1200\nstart = bootloader\n"
    "[controller]\naddress = 20\nmax_master = 20\nhardware_id = 25\nsoftware_id = 2\n"
    "version = 11.01.77\nserial = -5\nmodel = QT1100C-2BA0010\nname = Tank level\n";

TEST(ClientScan, FillsRecordsInAddressOrderWithWhatTheControllersHold) {
  EmulatedBus bus(kScanBus);
  OpenPort port;
  ASSERT_EQ(port.result(), 0);
  DeviceRecord records[29];
  std::strcpy(records[1].deviceName, "untouched");
  ASSERT_EQ(Client_ScanRange(kPort, 4, 32, records, 29), 3);

  const DeviceRecord& chiller = records[0];
  EXPECT_STREQ(chiller.portName, kPort);
  EXPECT_EQ(chiller.address, 5);
  EXPECT_EQ(chiller.inBootloader, 0);
  EXPECT_EQ(chiller.hardwareId, 23);
  EXPECT_EQ(chiller.softwareId, 4);
  EXPECT_EQ(chiller.release, 9);
  EXPECT_EQ(chiller.prototype, 2);
  EXPECT_EQ(chiller.build, 41);
  EXPECT_EQ(chiller.serialNumber, 4410021);
  EXPECT_STREQ(chiller.modelNumber, "QM2200B-4AA0100");
  EXPECT_STREQ(chiller.deviceName, "Chiller loop");

  const DeviceRecord& boot = records[1];
  EXPECT_EQ(boot.address, 12);
  EXPECT_EQ(boot.inBootloader, 1);
  EXPECT_EQ(boot.hardwareId, 28);
  EXPECT_STREQ(boot.modelNumber, sim::BootModelOf("QD4020A-6AD1200").c_str());
  EXPECT_STREQ(boot.deviceName, "untouched");

  const DeviceRecord& tank = records[2];
  EXPECT_EQ(tank.address, 20);
  EXPECT_EQ(tank.inBootloader, 0);
  EXPECT_EQ(tank.serialNumber, -5);
  EXPECT_EQ(tank.release, 11);
  EXPECT_STREQ(tank.deviceName, "Tank level");

  // Fewer records than devices: the scan stops at the caller's array.
  DeviceRecord one[1];
  EXPECT_EQ(Client_ScanRange(kPort, 4, 32, one, 1), 1);
  EXPECT_EQ(one[0].address, 5);
}

TEST(ClientScan, SearchesFindExactlyTheirStations) {
  EmulatedBus bus(kScanBus);
  OpenPort port;
  ASSERT_EQ(port.result(), 0);
  EXPECT_EQ(Client_FindBootloader(kPort, 4, 20, "QD4020A-6AD1200"), 12);
  EXPECT_EQ(Client_FindBootloader(kPort, 4, 20, ""), 12);
  EXPECT_EQ(Client_FindBootloader(kPort, 4, 20, "QM2200B-4AA0100"), 255);
  EXPECT_EQ(Client_FindBootloader(kPort, 13, 20, "QD4020A-6AD1200"), 255);

  EXPECT_EQ(Client_FindDevice(kPort, 4, 20, "QT1100C-2BA0010", -5), 20);
  EXPECT_EQ(Client_FindDevice(kPort, 4, 20, "QM2200B-4AA0100", 4410021), 5);
  EXPECT_EQ(Client_FindDevice(kPort, 4, 20, "QT1100C-2BA0010", 5), 255);
  // A bootloader is never the device searched for, whatever it reports.
  EXPECT_EQ(Client_FindDevice(kPort, 4, 20, sim::BootModelOf("QD4020A-6AD1200").c_str(), 0), 255);
}

}  // namespace

namespace {

// Each read comes 5 s after the one before, so this takes some 15 s.
TEST(ClientWaitSettled, ReportsSettledOnceTheValueHoldsAndFailsWithoutAnswer) {
  EmulatedBus bus(Controller(5, "settle_ms = 3000\n"));
  OpenPort port;
  ASSERT_EQ(port.result(), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Client_WaitSettled(kPort, 5), 1);
  const auto took = std::chrono::steady_clock::now() - start;
  // The first read still sees the value moving (it differs from the request
  // word anyway); the second sees it held.
  EXPECT_GE(took, std::chrono::milliseconds(9900));
  EXPECT_LT(took, std::chrono::milliseconds(14000));
  EXPECT_EQ(Client_WaitSettled(kPort, 7), 0);
}

}  // namespace

namespace {

TEST(ClientOpen, NinthPortWhileEightAreOpenAnswersMinus5) {
  std::vector<std::unique_ptr<EmulatedBus>> buses;
  for (int i = 1; i <= 9; ++i) {
    buses.push_back(std::make_unique<EmulatedBus>(Controller(9),
                                                  BusOptions().Port("com" + std::to_string(i))));
  }
  for (int i = 1; i <= 8; ++i) {
    EXPECT_EQ(Client_Open(("Com" + std::to_string(i)).c_str()), 0) << i;
  }
  EXPECT_EQ(Client_Open("Com9"), -5);
  EXPECT_EQ(Client_Close("Com3"), 0);
  // The freed slot takes another name.
  EXPECT_EQ(Client_Open("Com9"), 0);
  EXPECT_NE(Client_Find("Com9"), nullptr);
  for (int i : {1, 2, 4, 5, 6, 7, 8, 9}) {
    EXPECT_EQ(Client_Close(("Com" + std::to_string(i)).c_str()), 0) << i;
  }
}

}  // namespace
