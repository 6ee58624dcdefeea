// Runs the chosen controllers of one port through their updates in the order
// the port's schedule allows: each controller's update on a thread of its
// own, the moves of a controller off a standard bus address and back on the
// calling thread. The steps themselves (the backup, the programming, the
// restore...) are the caller's; this only orders them.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <vector>

#include "app/port_schedule.h"

// What the schedule must know of a controller's turn on the bus.
struct TurnEnd {
  // The controller may still sit in its bootloader: nothing more of this
  // port may enter one.
  bool mayBeInBootloader = false;
  // It came back at a standard bus address: the next turn waits until it
  // has left it.
  bool atStandardAddress = false;
};

// Why a controller's update ended before its turn on the bus.
enum class NoTurn : uint8_t {
  OccupantNotMoved,    // the controller on its standard address could not be moved
  BootloaderOccupied,  // a controller of the port was left in its bootloader
  OccupantNotBack,     // it had been moved for others and could not be moved back
  Stopped,             // the run was interrupted
  NoThread,            // the system gave no thread to run it on
};

// One controller's update, in the parts the schedule orders. All but Skip
// run on the controller's thread.
class ControllerSteps {
 public:
  virtual ~ControllerSteps() = default;
  // Saves the settings; false ends the update with NoTurn::BackupNotSaved
  // (Skip is not called for it).
  virtual bool BackUp() = 0;
  // The bootloader entry, the transfer and leaving the bootloader.
  virtual TurnEnd TakeTurn() = 0;
  // Finding it again, its identity, the restore, the settle wait and the
  // restart. `leftStandardAddress` is to be called once it no longer answers
  // at a standard address (only when TakeTurn said it did).
  virtual void Finish(const std::function<void()>& leftStandardAddress) = 0;
  // The update ends without a turn (not for a backup that was not saved).
  virtual void Skip(NoTurn why) = 0;
};

// Moving a controller off a standard bus address and back (the journal of
// address moves is written by whoever implements it).
class AddressMoves {
 public:
  virtual ~AddressMoves() = default;
  struct Off {
    bool moved = false;  // it is now elsewhere
    bool goOn = true;    // the turn may go on (false: the move could not be recorded)
  };
  virtual Off MoveOff(std::size_t occupant) = 0;
  // True when it is back where it was.
  virtual bool MoveBack(std::size_t occupant) = 0;
};

// Runs the port until every controller has ended and no controller is left
// moved. `steps[i]` is null for a bystander. `stop` (may be null) ends the
// run at the next safe point: no further backup or turn starts, the
// controllers already in their turn or after it go on to their end.
void RunPort(PortSchedule& schedule, const std::vector<ControllerSteps*>& steps,
             AddressMoves& moves, const std::atomic<bool>* stop);
