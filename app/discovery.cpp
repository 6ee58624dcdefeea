#include "app/discovery.h"

#include <cstdio>
#include <memory>

#include "platform/thread.h"

namespace {

constexpr uint32_t kRoom = DiscoveryHigh - DiscoveryLow + 1;

// One discovery's work, shared by the console thread and the scan's thread:
// whichever lets go of it last frees it, so that a discovery given up by the
// console can still finish its scan.
struct Scan {
  Bus* bus = nullptr;
  char port[sizeof DeviceRecord{}.portName] = {};
  DiscoveryPort after = DiscoveryPort::Close;
  // Written by the scan's thread; read by the console thread only once that
  // thread has ended.
  Result result;
  uint8_t found = 0;
  DeviceRecord records[kRoom];
};

void Run(Scan& scan) {
  scan.result = scan.bus->Open(scan.port);
  if (!scan.result) return;
  scan.found = scan.bus->ScanRange(scan.port, DiscoveryLow, DiscoveryHigh, scan.records,
                                   static_cast<uint8_t>(kRoom));
  if (scan.after == DiscoveryPort::Close) scan.bus->Close(scan.port);
}

void ScanThread(void* held) {
  const std::unique_ptr<std::shared_ptr<Scan>> scan(static_cast<std::shared_ptr<Scan>*>(held));
  Run(**scan);
}

}  // namespace

Result Discover(Bus& bus, const char* port, DiscoveryPort after, uint32_t sliceMs,
                DiscoveryTick tick, void* context, DeviceRecord* records, uint32_t capacity,
                uint32_t* count) {
  *count = 0;
  auto scan = std::make_shared<Scan>();
  scan->bus = &bus;
  std::snprintf(scan->port, sizeof scan->port, "%s", port);
  scan->after = after;
  auto* held = new std::shared_ptr<Scan>(scan);
  plat::ThreadHandle thread = plat::thread_start(ScanThread, held, 0);
  if (thread == nullptr) {
    // Without a thread of its own the scan runs here.
    ScanThread(held);
  } else {
    while (!plat::thread_wait(thread, sliceMs)) {
      if (!tick(context)) {
        plat::thread_close(thread);
        return Outcome::Stopped;
      }
    }
    plat::thread_close(thread);
  }
  if (!scan->result) return scan->result;
  const uint32_t found = scan->found < capacity ? scan->found : capacity;
  for (uint32_t i = 0; i < found; ++i) records[i] = scan->records[i];
  *count = found;
  return {};
}
