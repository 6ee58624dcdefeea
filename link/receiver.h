// The receive state machine: turns the octets read from a port into frames and
// announces each finished frame to the master machine through the
// ReceivedValidFrame / ReceivedInvalidFrame flags of the NodeState.
//
// It is a pure step over the port's records, run on the master thread once for
// every octet the receiver thread hands over, so tests can feed it byte streams
// without threads.
#pragma once

#include "link/records.h"

namespace tarnix {

// What a receive step needs beyond the records.
class ReceiverHost {
 public:
  virtual ~ReceiverHost() = default;
  // Runs the master node machine (a frame is complete, or the line came alive).
  virtual void RunMaster() = 0;
  // The name handed to the upcall in immediate-upcall mode.
  virtual const char* PortName() = 0;
};

// Processes the octet in channel.RxByte (RxAvailable set) or the error octet
// (RxError set).
void ReceiveStep(NodeState& node, SerialChannel& channel, ReceiverHost& host);

}  // namespace tarnix
