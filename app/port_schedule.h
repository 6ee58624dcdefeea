// The order in which the controllers of one port go through their updates
// when several are chosen. Only one controller at a time may be in the part
// of its update that needs the bus and its standard bus address to itself
// (the move of a controller off that address, the bootloader entry, the
// erase pause, the transfer, the pause after it and leaving the bootloader);
// the others may meanwhile be backed up, found again, restored, settled and
// restarted. These are the rules alone, without threads or time: the fleet
// runner asks them before each step and tells them what each step did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Where one controller of the port stands.
enum class FlowStage : uint8_t {
  Waiting,      // nothing done yet
  BackingUp,    // its settings are being saved
  ReadyForBus,  // backed up (or nothing to back up): waits for its turn on the bus
  OnBus,        // its turn: the address move, the bootloader, the transfer
  AfterBus,     // found again, restored, settled, restarted: the bus is shared again
  Ended,        // nothing more will be done with it, whatever became of it
};

// A controller the schedule knows: one chosen for an update, or a bystander
// that stands at the standard bus address of a chosen one.
struct ScheduledDevice {
  bool chosen = true;
  // The device (an index of the schedule) that must be moved off this one's
  // standard bus address while this one is on the bus; -1: none.
  int occupant = -1;
};

class PortSchedule {
 public:
  // `ahead`: how many controllers may have started their backup without
  // having taken their turn on the bus yet (a backup long before the
  // programming would hold settings the technician may still change).
  explicit PortSchedule(std::vector<ScheduledDevice> devices, uint32_t ahead = 1);

  std::size_t Count() const { return devices_.size(); }
  FlowStage Stage(std::size_t i) const { return stages_[i]; }

  // The runner's questions, asked before it starts the step for device `i`.
  // A controller that must be moved off a standard address goes last: its
  // own update begins only once it is back where it was and no other
  // controller needs it moved any more.
  bool MayBackUp(std::size_t i) const;
  bool MayTakeBus(std::size_t i) const;
  // The occupant that the runner must move off before device `i` goes on
  // the bus (-1: none, or already moved).
  int MoveBefore(std::size_t i) const;
  // Whether the moved occupant `o` may be moved back now: every controller
  // that needed its address is past its turn and off the standard address,
  // and none may sit in its bootloader.
  bool MayMoveBack(std::size_t o) const;
  // Whether the runner has nothing more to start: every chosen controller
  // is Ended and no occupant is still moved (or may be moved back, when a
  // controller may sit in its bootloader: those moves stay for a later run).
  bool Finished() const;

  // What the runner tells.
  void SetStage(std::size_t i, FlowStage stage);
  // Device `i` ended its turn on the bus but answers at a standard bus
  // address (it came back with its standard configuration): the next turn
  // waits until it has left that address (`LeftStandardAddress`) or ended.
  void HoldsStandardAddress(std::size_t i);
  void LeftStandardAddress(std::size_t i);
  // Device `i` may still sit in its bootloader after its turn: no further
  // controller of the port enters its bootloader, as two would answer at
  // the same address.
  void LeftInBootloader(std::size_t i);
  bool Blocked() const { return blocked_; }
  // The run is stopped (an interrupt): no backup or turn starts any more.
  void Stop() { stopped_ = true; }
  bool Stopped() const { return stopped_; }
  // Device `i` will never get its turn: a controller of the port was left
  // in its bootloader before it did, or the run was stopped.
  bool Stranded(std::size_t i) const;
  void Moved(std::size_t occupant, bool moved);
  bool IsMoved(std::size_t occupant) const { return moved_[occupant]; }

 private:
  // Whether some chosen controller that is not yet Ended needs `o` moved.
  bool Needed(std::size_t o) const;
  // The chosen controllers in the order they take the bus: those that no
  // other needs moved first, in the order given, then the occupants.
  std::vector<std::size_t> order_;
  std::vector<ScheduledDevice> devices_;
  std::vector<FlowStage> stages_;
  std::vector<bool> moved_;
  std::vector<bool> holding_;
  uint32_t ahead_;
  bool blocked_ = false;
  bool stopped_ = false;
};
