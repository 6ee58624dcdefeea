#include "app/fleet.h"

#include <memory>

#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

// How often the main thread shows the board and looks for an interrupt.
constexpr uint32_t kShowEveryMs = 250;

struct PortThread {
  FleetPort* port = nullptr;
  std::atomic<bool>* stop = nullptr;
  std::atomic<bool> ended{false};
  plat::ThreadHandle handle = nullptr;
};

void RunPortThread(void* arg) {
  auto& self = *static_cast<PortThread*>(arg);
  RunPort(*self.port->schedule, self.port->steps, *self.port->moves, self.stop);
  self.ended.store(true, std::memory_order_release);
}

}  // namespace

void RunFleet(std::vector<FleetPort>& ports, FleetBoard& board, std::atomic<bool>& stop,
              bool (*interrupted)()) {
  std::vector<std::unique_ptr<PortThread>> threads;
  for (FleetPort& port : ports) {
    auto thread = std::make_unique<PortThread>();
    thread->port = &port;
    thread->stop = &stop;
    thread->handle = plat::thread_start(RunPortThread, thread.get(), 0);
    // Without a thread of its own the port runs here, before the others are
    // shown: slower, but every controller still goes through its update.
    if (thread->handle == nullptr) RunPortThread(thread.get());
    threads.push_back(std::move(thread));
  }
  for (;;) {
    bool running = false;
    for (const std::unique_ptr<PortThread>& thread : threads) {
      running = running || !thread->ended.load(std::memory_order_acquire);
    }
    board.Show();
    if (!running) break;
    if (!stop.load(std::memory_order_acquire) && interrupted != nullptr && interrupted()) {
      stop.store(true, std::memory_order_release);
      board.CloseQuestions();
    }
    plat::sleep_ms(kShowEveryMs);
  }
  for (const std::unique_ptr<PortThread>& thread : threads) {
    if (thread->handle == nullptr) continue;
    plat::thread_wait(thread->handle, plat::kWaitForever);
    plat::thread_close(thread->handle);
  }
}
