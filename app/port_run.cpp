#include "app/port_run.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/sync.h"
#include "platform/thread.h"

namespace {

// What the port's thread and its controllers' threads share: the schedule,
// guarded by `lock`; `changed` wakes whoever waits for a rule to allow a
// step.
struct PortShared {
  PortSchedule& schedule;
  AddressMoves& moves;
  const std::atomic<bool>* stop;
  std::mutex lock;
  std::condition_variable changed;
};

// Called with `lock` held: a stop that was asked for reaches the schedule
// before anyone asks it whether a step may start.
void TakeStop(PortShared& port) {
  if (port.stop != nullptr && port.stop->load(std::memory_order_acquire) &&
      !port.schedule.Stopped()) {
    port.schedule.Stop();
    port.changed.notify_all();
  }
}

struct ControllerThread {
  PortShared* port = nullptr;
  ControllerSteps* steps = nullptr;
  std::size_t index = 0;
  plat::ThreadHandle handle = nullptr;
};

void SetStage(PortShared& port, std::size_t i, FlowStage stage) {
  std::lock_guard<std::mutex> hold(port.lock);
  port.schedule.SetStage(i, stage);
  port.changed.notify_all();
}

// One controller's update, from its backup to its end.
void RunController(void* arg) {
  auto& self = *static_cast<ControllerThread*>(arg);
  PortShared& port = *self.port;
  PortSchedule& schedule = port.schedule;
  const std::size_t i = self.index;
  if (!self.steps->BackUp()) {
    SetStage(port, i, FlowStage::Ended);
    return;
  }
  int occupant = -1;
  {
    std::unique_lock<std::mutex> hold(port.lock);
    schedule.SetStage(i, FlowStage::ReadyForBus);
    port.changed.notify_all();
    port.changed.wait(hold, [&] {
      TakeStop(port);
      return schedule.MayTakeBus(i) || schedule.Stranded(i);
    });
    if (!schedule.MayTakeBus(i)) {
      const NoTurn why = schedule.Stopped() ? NoTurn::Stopped : NoTurn::BootloaderOccupied;
      schedule.SetStage(i, FlowStage::Ended);
      port.changed.notify_all();
      hold.unlock();
      self.steps->Skip(why);
      return;
    }
    schedule.SetStage(i, FlowStage::OnBus);
    occupant = schedule.MoveBefore(i);
  }
  if (occupant >= 0) {
    const AddressMoves::Off off = port.moves.MoveOff(static_cast<std::size_t>(occupant));
    std::unique_lock<std::mutex> hold(port.lock);
    if (off.moved) schedule.Moved(static_cast<std::size_t>(occupant), true);
    if (!off.goOn) {
      schedule.SetStage(i, FlowStage::Ended);
      port.changed.notify_all();
      hold.unlock();
      self.steps->Skip(NoTurn::OccupantNotMoved);
      return;
    }
  }
  const TurnEnd turn = self.steps->TakeTurn();
  {
    std::lock_guard<std::mutex> hold(port.lock);
    schedule.SetStage(i, FlowStage::AfterBus);
    if (turn.mayBeInBootloader) schedule.LeftInBootloader(i);
    if (turn.atStandardAddress) schedule.HoldsStandardAddress(i);
    port.changed.notify_all();
  }
  self.steps->Finish([&port, i] {
    std::lock_guard<std::mutex> hold(port.lock);
    port.schedule.LeftStandardAddress(i);
    port.changed.notify_all();
  });
  SetStage(port, i, FlowStage::Ended);
}

}  // namespace

void RunPort(PortSchedule& schedule, const std::vector<ControllerSteps*>& steps,
             AddressMoves& moves, const std::atomic<bool>* stop) {
  PortShared port{schedule, moves, stop, {}, {}};
  std::vector<std::unique_ptr<ControllerThread>> threads;
  std::unique_lock<std::mutex> hold(port.lock);
  for (;;) {
    TakeStop(port);
    bool acted = false;
    for (std::size_t o = 0; o < schedule.Count(); ++o) {
      if (!schedule.MayMoveBack(o)) continue;
      hold.unlock();
      const bool back = moves.MoveBack(o);
      hold.lock();
      // Not back, it stays in the journal of address moves for a later run;
      // its own update must not start from where the records do not have it.
      schedule.Moved(o, false);
      if (!back && steps[o] != nullptr && schedule.Stage(o) == FlowStage::Waiting) {
        schedule.SetStage(o, FlowStage::Ended);
        hold.unlock();
        steps[o]->Skip(NoTurn::OccupantNotBack);
        hold.lock();
      }
      acted = true;
    }
    for (std::size_t i = 0; i < schedule.Count(); ++i) {
      if (steps[i] == nullptr) continue;
      if (schedule.Stranded(i) && schedule.Stage(i) == FlowStage::Waiting) {
        const NoTurn why = schedule.Stopped() ? NoTurn::Stopped : NoTurn::BootloaderOccupied;
        schedule.SetStage(i, FlowStage::Ended);
        hold.unlock();
        steps[i]->Skip(why);
        hold.lock();
        acted = true;
      } else if (schedule.MayBackUp(i)) {
        schedule.SetStage(i, FlowStage::BackingUp);
        auto thread = std::make_unique<ControllerThread>();
        thread->port = &port;
        thread->steps = steps[i];
        thread->index = i;
        thread->handle = plat::thread_start(RunController, thread.get(), 0);
        if (thread->handle == nullptr) {
          // No thread for it: it is left as it was.
          schedule.SetStage(i, FlowStage::Ended);
          hold.unlock();
          steps[i]->Skip(NoTurn::NoThread);
          hold.lock();
        } else {
          threads.push_back(std::move(thread));
        }
        acted = true;
      }
    }
    if (schedule.Finished()) break;
    if (!acted) {
      // An interrupt is looked at between waits as well.
      port.changed.wait_for(hold, std::chrono::milliseconds(100));
    }
  }
  hold.unlock();
  for (const std::unique_ptr<ControllerThread>& thread : threads) {
    plat::thread_wait(thread->handle, plat::kWaitForever);
    plat::thread_close(thread->handle);
  }
}
