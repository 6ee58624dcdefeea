// A fake of everything the programming engine reaches outside itself: the
// device behind the port (answering like a controller's bootloader and
// application), the searches, the three semaphores and the pauses, on
// virtual time. Requests stay outstanding until the test delivers them, in
// the order they were queued, as the link would.
//
// Single-threaded use: a wait that nothing can end returns at once as timed
// out, adding its time-out to the virtual clock; the wait for a control
// reply delivers the outstanding requests first, as the master thread would.
// Threaded use (`threaded = true`): waits block until another thread
// signals, and a device thread calls DeliverOne.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "update/image_package.h"
#include "update/programmer.h"

namespace programmer_test {

using Bytes = std::vector<uint8_t>;

struct Request {
  uint8_t destination = 0;
  Bytes data;
  bool expectReply = false;
  CompletionCallback completion = nullptr;
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

class FakeDevice : public ProgrammerIo {
 public:
  // The device's answer to a request, or nothing for a request that fails
  // (no answer within the link's time-out). The default answers as a
  // controller that accepts everything and comes back in its application.
  using Answerer = std::function<std::optional<Bytes>(const Request&)>;

  static std::optional<Bytes> GoodDevice(const Request& request) {
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
  bool threaded = false;
  int openResult = 0;
  int queueResult = 0;
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
  std::vector<Request> sent;
  std::vector<uint32_t> sleeps;
  uint64_t clockMs = 0;
  int jobEndReleases = 0;
  int overReleases = 0;  // releases beyond a semaphore's maximum
  int halts = 0;
  std::string printed;
  std::size_t maxOutstandingBlocks = 0;
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
    threaded = false;
    openResult = queueResult = 0;
    bootloaderAt = 16;
    startsInBootloader = false;
    stuckBootloaders.clear();
    relocateAnswers.clear();
    relocateAnswer = 255;
    sent.clear();
    sleeps.clear();
    clockMs = 0;
    jobEndReleases = overReleases = halts = 0;
    printed.clear();
    maxOutstandingBlocks = 0;
    scans.clear();
    relocations.clear();
    scanResult.clear();
    outstanding_.clear();
    jobEnded_ = replies_ = 0;
    permits_ = static_cast<long>(ProgrammerWindow);
  }

  // Completes the oldest outstanding request; false when there is none.
  bool DeliverOne() {
    Request request;
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
    Request request;
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
  const Request& OldestOutstanding() {
    std::lock_guard<std::mutex> guard(lock_);
    return outstanding_.front();
  }
  std::vector<const Request*> SentWithCode(uint8_t code) const {
    std::vector<const Request*> found;
    for (const Request& r : sent) {
      if (r.data.size() > 1 && r.data[1] == code) found.push_back(&r);
    }
    return found;
  }
  long Permits() {
    std::lock_guard<std::mutex> guard(lock_);
    return permits_;
  }

  int Open(const char*) override { return openResult; }
  int Close(const char*) override { return 0; }
  int RequestAsync(const char*, uint8_t destination, const uint8_t* data, uint16_t length,
                   uint8_t expectReply, CompletionCallback completion) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (queueResult != 0) return queueResult;
    Request request{destination, Bytes(data, data + length), expectReply != 0, completion};
    sent.push_back(request);
    if (request.expectReply) {
      outstanding_.push_back(request);
      std::size_t blocks = 0;
      for (const Request& r : outstanding_) blocks += r.IsBlock() ? 1u : 0u;
      if (blocks > maxOutstandingBlocks) maxOutstandingBlocks = blocks;
    }
    return 0;
  }
  // The stations from `first` to `last`, in address order: the records of
  // scanResult, the stuck bootloaders, and the device once in its bootloader.
  uint8_t ScanRange(const char*, uint8_t first, uint8_t last, DeviceRecord* records,
                    std::size_t capacity) override {
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
    clockMs += 60000;
    if (relocateAnswers.empty()) return relocateAnswer;
    const uint8_t found = relocateAnswers.front();
    relocateAnswers.pop_front();
    return found;
  }
  void Sleep(uint32_t ms) override {
    std::lock_guard<std::mutex> guard(lock_);
    sleeps.push_back(ms);
    clockMs += ms;
  }
  bool WaitJobEnded(uint32_t timeoutMs) override { return Take(jobEnded_, timeoutMs, false); }
  void SignalJobEnded() override {
    std::lock_guard<std::mutex> guard(lock_);
    ++jobEndReleases;
    Give(jobEnded_, 1);
  }
  void WaitReply() override {
    if (!threaded) {
      bool signalled;
      {
        std::lock_guard<std::mutex> guard(lock_);
        signalled = replies_ > 0;
      }
      if (!signalled) DeliverAll();
    }
    ASSERT_TRUE(Take(replies_, 0, true)) << "a control reply was awaited that never came";
  }
  void SignalReply() override {
    std::lock_guard<std::mutex> guard(lock_);
    Give(replies_, 1);
  }
  bool TakePermit(uint32_t timeoutMs) override { return Take(permits_, timeoutMs, false); }
  void GivePermit() override {
    std::lock_guard<std::mutex> guard(lock_);
    Give(permits_, static_cast<long>(ProgrammerWindow));
  }
  void Print(const char* text) override {
    std::lock_guard<std::mutex> guard(lock_);
    printed += text;
  }
  void Halt() override { ++halts; }

 private:
  void Complete(const Request& request, const std::optional<Bytes>& reply) {
    const uint8_t* data = reply ? reply->data() : nullptr;
    const auto length = static_cast<uint32_t>(reply ? reply->size() : 0);
    request.completion("Com1", 4, data, request.destination, length,
                       reply ? static_cast<uint32_t>(Delivered)
                             : static_cast<uint32_t>(ReplyTimeout));
  }
  // Under lock_.
  void Give(long& count, long maximum) {
    if (count >= maximum) {
      ++overReleases;
      return;
    }
    ++count;
    changed_.notify_all();
  }
  bool Take(long& count, uint32_t timeoutMs, bool forever) {
    std::unique_lock<std::mutex> guard(lock_);
    if (threaded) {
      auto ready = [&] { return count > 0; };
      if (forever) {
        changed_.wait(guard, ready);
      } else if (!changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), ready)) {
        return false;
      }
    } else if (count == 0) {
      clockMs += timeoutMs;
      return false;
    }
    --count;
    return true;
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Request> outstanding_;
  long jobEnded_ = 0;
  long replies_ = 0;
  long permits_ = static_cast<long>(ProgrammerWindow);
};

}  // namespace programmer_test
