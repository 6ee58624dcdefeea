// A fake of everything a programming job reaches outside itself: the bus
// with the device behind the port (answering like a controller's bootloader
// and application) and the searches, and the clock, on virtual time.
// Requests stay outstanding until the test delivers them, in the order they
// were queued, as the link would; DeliverOne may run on a thread of its own
// (the port's master thread), beside the thread that steps the job.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "update/image_package.h"
#include "client/bus.h"
#include "platform/clock.h"
#include "update/programmer.h"

namespace programmer_test {

using Bytes = std::vector<uint8_t>;

struct Request {
  uint8_t destination = 0;
  Bytes data;
  bool expectReply = false;
  ReplyHandler handler = nullptr;
  void* context = nullptr;
  bool IsBlock() const { return data.size() > 1 && data[1] == 0xED; }
  uint32_t BlockAddress() const {
    return uint32_t{data[2]} << 24 | uint32_t{data[3]} << 16 | uint32_t{data[4]} << 8 | data[5];
  }
};

// The block index of a flash address of the carried image.
inline uint32_t BlockIndex(uint32_t address) { return (address - 0x08003000u) / 128u; }
inline Bytes BlockAnswer(uint32_t address) {
  return {0x01, 0xED, static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
          static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
}

class FakeDevice : public Bus, public plat::Clock {
 public:
  // The device's answer to a request, or nothing for a request that fails
  // (no answer within the link's time-out). The default answers as a
  // controller that accepts everything and comes back in its application.
  using Answerer = std::function<std::optional<Bytes>(const programmer_test::Request&)>;

  static std::optional<Bytes> GoodDevice(const programmer_test::Request& request) {
    switch (request.data[1]) {
      case 0xEC: return Bytes{0x01, 0xEC};
      case 0xEE: return Bytes{0x01, 0xED};
      case 0xED: return BlockAnswer(request.BlockAddress());
      case 0xEF: return Bytes{0x01, 0xEF};
      case 0x01: return Bytes{0x01, 0x01, 0x1C, 0x00};
      case 0x04: return Bytes{0x01, 0x04, 0x01, 0x0D, 0x01};
      default: return std::nullopt;
    }
  }

  Answerer answer = GoodDevice;
  bool openFails = false;
  bool queueFails = false;
  // The oldest outstanding request is on the bus: it cannot be taken back.
  bool oldestOnTheBus = false;
  // Where a scan sees the device in its bootloader once an entry message
  // went out (from the start with `startsInBootloader`); 255: nowhere.
  uint8_t bootloaderAt = 16;
  bool startsInBootloader = false;
  // Other units in their bootloader all along, answering with the model mask
  // of a hardware-id-28 bootloader (which fits the job's model number).
  std::vector<uint8_t> stuckBootloaders;
  // What the relocation passes find, in turn; once used up, relocateAnswer.
  // Each pass takes its 60 s of the clock.
  std::deque<uint8_t> relocateAnswers;
  uint8_t relocateAnswer = 255;

  // What happened.
  std::vector<programmer_test::Request> sent;
  // The pauses: a run of sleeps with nothing else between them is one pause.
  std::vector<uint32_t> sleeps;
  uint64_t clockMs = 0;
  std::size_t maxOutstandingBlocks = 0;
  std::size_t withdrawn = 0;  // requests taken back out of the queue
  struct Search {
    uint8_t first, last;
    std::string model;
    uint16_t selectRegister = 0;
    int32_t serial = 0;
  };
  std::vector<Search> scans;
  std::vector<Search> relocations;
  std::vector<DeviceRecord> scanResult;

  // Back to a fresh device with nothing sent, for the next case of a table.
  void Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    answer = GoodDevice;
    openFails = queueFails = oldestOnTheBus = false;
    bootloaderAt = 16;
    startsInBootloader = false;
    stuckBootloaders.clear();
    relocateAnswers.clear();
    relocateAnswer = 255;
    sent.clear();
    sleeps.clear();
    clockMs = 0;
    sleeping_ = false;
    maxOutstandingBlocks = 0;
    withdrawn = 0;
    scans.clear();
    relocations.clear();
    scanResult.clear();
    outstanding_.clear();
  }

  // Completes the oldest outstanding request; false when there is none.
  bool DeliverOne() {
    programmer_test::Request request;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (outstanding_.empty()) return false;
      request = outstanding_.front();
      outstanding_.pop_front();
    }
    Complete(request, answer(request));
    return true;
  }
  // Completes the oldest outstanding request with the given outcome.
  void DeliverOneWith(const std::optional<Bytes>& reply) {
    programmer_test::Request request;
    {
      std::lock_guard<std::mutex> guard(lock_);
      ASSERT_FALSE(outstanding_.empty());
      request = outstanding_.front();
      outstanding_.pop_front();
    }
    Complete(request, reply);
  }
  void DeliverAll() {
    while (DeliverOne()) {
    }
  }
  std::size_t Outstanding() {
    std::lock_guard<std::mutex> guard(lock_);
    return outstanding_.size();
  }
  const programmer_test::Request& OldestOutstanding() {
    std::lock_guard<std::mutex> guard(lock_);
    return outstanding_.front();
  }
  std::vector<const programmer_test::Request*> SentWithCode(uint8_t code) const {
    std::vector<const programmer_test::Request*> found;
    for (const programmer_test::Request& r : sent) {
      if (r.data.size() > 1 && r.data[1] == code) found.push_back(&r);
    }
    return found;
  }
  Result Open(const char*) override {
    if (openFails) return {Outcome::PortNotOpened, "no such port"};
    return {};
  }
  Result Close(const char*) override { return {}; }
  Result PortState(const char*) override { return {}; }
  Result Request(const char*, uint8_t, const uint8_t*, uint16_t, uint8_t*, uint16_t,
                 uint16_t*) override {
    ADD_FAILURE() << "a programming job makes no blocking request";
    return Outcome::NoAnswer;
  }
  Result RequestAsync(const char*, uint8_t destination, const uint8_t* data, uint16_t length,
                      bool expectReply, ReplyHandler handler, void* context) override {
    std::lock_guard<std::mutex> guard(lock_);
    sleeping_ = false;
    if (queueFails) return Outcome::NoAnswer;
    programmer_test::Request request{destination, Bytes(data, data + length), expectReply,
                                     handler, context};
    sent.push_back(request);
    if (request.expectReply) {
      outstanding_.push_back(request);
      std::size_t blocks = 0;
      for (const programmer_test::Request& r : outstanding_) blocks += r.IsBlock() ? 1u : 0u;
      if (blocks > maxOutstandingBlocks) maxOutstandingBlocks = blocks;
    }
    return {};
  }
  uint32_t Withdraw(const char*, void* context) override {
    std::lock_guard<std::mutex> guard(lock_);
    uint32_t expecting = 0;
    std::deque<programmer_test::Request> kept;
    for (const programmer_test::Request& r : outstanding_) {
      const bool onTheBus = oldestOnTheBus && kept.empty() && &r == &outstanding_.front();
      if (r.context == context && !onTheBus) {
        ++expecting;
        ++withdrawn;
      } else {
        kept.push_back(r);
      }
    }
    outstanding_ = std::move(kept);
    return expecting;
  }
  Result ReadMember(const char*, uint8_t, uint8_t, uint8_t, uint8_t, TypedValue*) override {
    ADD_FAILURE() << "a programming job reads no member";
    return Outcome::NoAnswer;
  }
  Result WriteMember(const char*, uint8_t, uint8_t, uint8_t, uint8_t, TypedValue) override {
    ADD_FAILURE() << "a programming job writes no member";
    return Outcome::NoAnswer;
  }
  Result WaitSettled(const char*, uint8_t) override { return {}; }
  Result SetZoneAddress(const char*, uint8_t, uint8_t) override {
    ADD_FAILURE() << "a programming job moves no device";
    return Outcome::NoAnswer;
  }
  uint8_t FindDevice(const char*, uint8_t, uint8_t, const char*, int32_t) override {
    return BusNoStation;
  }
  // The stations from `first` to `last`, in address order: the records of
  // scanResult, the stuck bootloaders, and the device once in its bootloader.
  uint8_t ScanRange(const char*, uint8_t first, uint8_t last, DeviceRecord* records,
                    uint8_t capacity) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      sleeping_ = false;
    }
    scans.push_back({first, last, ""});
    std::vector<DeviceRecord> present;
    for (const DeviceRecord& r : scanResult) present.push_back(r);
    auto bootloader = [&](uint8_t address, const char* mask) {
      DeviceRecord r;
      r.address = address;
      r.inBootloader = 1;
      r.hardwareId = 28;
      std::strcpy(r.modelNumber, mask);
      present.push_back(r);
    };
    for (uint8_t address : stuckBootloaders) bootloader(address, "QD4XXXX-XXXXXXX");
    if (bootloaderAt != 255 && (startsInBootloader || !SentWithCode(0xEA).empty())) {
      bootloader(bootloaderAt, "QD4XXXX-XXXXXXX");
    }
    std::sort(present.begin(), present.end(),
              [](const DeviceRecord& a, const DeviceRecord& b) { return a.address < b.address; });
    std::size_t n = 0;
    for (const DeviceRecord& r : present) {
      if (r.address >= first && r.address <= last && n < capacity) records[n++] = r;
    }
    return static_cast<uint8_t>(n);
  }
  uint8_t Relocate(const char*, uint8_t first, uint8_t last, uint16_t selectRegister,
                   const char* modelNumber, int32_t serialNumber) override {
    relocations.push_back({first, last, modelNumber, selectRegister, serialNumber});
    std::lock_guard<std::mutex> guard(lock_);
    sleeping_ = false;
    clockMs += 60000;
    if (relocateAnswers.empty()) return relocateAnswer;
    const uint8_t found = relocateAnswers.front();
    relocateAnswers.pop_front();
    return found;
  }
  uint32_t NowMs() override {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<uint32_t>(clockMs);
  }
  void SleepMs(uint32_t ms) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (sleeping_ && !sleeps.empty()) {
      sleeps.back() += ms;
    } else {
      sleeps.push_back(ms);
    }
    sleeping_ = true;
    clockMs += ms;
  }

 private:
  void Complete(const programmer_test::Request& request, const std::optional<Bytes>& reply) {
    AsyncReply completion;
    completion.portName = "Com1";
    completion.data = reply ? reply->data() : nullptr;
    completion.length = static_cast<uint32_t>(reply ? reply->size() : 0);
    completion.source = request.destination;
    completion.status = reply ? static_cast<uint32_t>(Delivered)
                              : static_cast<uint32_t>(ReplyTimeout);
    request.handler(request.context, completion);
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<programmer_test::Request> outstanding_;
  bool sleeping_ = false;  // the last thing that happened was a sleep
};

}  // namespace programmer_test
