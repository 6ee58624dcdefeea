// Runs a bus in step with the real clock: bus time advances with the
// monotonic clock, octets the PC writes into a port enter the bus when they
// are read, and octets for the PC are written when their stop bit ends.
//
// Between events the runner sleeps (poll on the ports the PC has open, or an
// absolute sleep when none is open), so an idle or lightly used bus costs
// little. While no program has a port open nobody can watch the timing, and
// the runner then catches up on the bus in slices of a few milliseconds
// instead of waking for every octet.
#pragma once

#include <atomic>
#include <poll.h>

#include <functional>
#include <vector>

#include "sim/bus.h"
#include "sim/node.h"
#include "sim/pty_endpoint.h"

namespace sim {

class Runner {
 public:
  // How long the runner may leave the bus unattended when no port is open.
  static constexpr Micros kUnwatchedSlice = 5'000;
  // How often it looks whether a program opened or closed a port.
  static constexpr Micros kAttachCheck = 10'000;
  // Real-time (FIFO) priority of the runner's thread, when it may have one;
  // low, so that it never stands in the way of the system's own threads.
  static constexpr int kPriority = 10;

  Runner(Bus& bus, std::vector<PtyEndpoint*> endpoints);

  // `task` runs about every `period` of bus time on the runner's thread
  // (used to flush the capture file).
  void Every(Micros period, std::function<void()> task);

  // Runs until `stop` is set or bus time reaches `until`. `stop` is looked
  // at least every kAttachCheck; a signal that interrupts the sleep ends it
  // at once.
  void Run(const std::atomic<bool>& stop, Micros until = kNever);

 private:
  Micros Clock() const;
  void RefreshAttached(Micros now);
  // Sleeps until `until` or until a port has input; marks the ports to read.
  void Sleep(Micros until);

  Bus& bus_;
  std::vector<PtyEndpoint*> endpoints_;
  std::vector<pollfd> polled_;          // the open ports, in the last sleep
  std::vector<PtyEndpoint*> readable_;  // ports that have input to read
  Micros origin_ = 0;  // monotonic microseconds at bus time 0
  Micros next_check_ = 0;
  bool any_attached_ = false;
  Micros period_ = kNever;
  Micros next_task_ = kNever;
  std::function<void()> task_;
};

}  // namespace sim
