// The master node machine of a Tarnix bus station: token passing, polling for
// masters, token creation, and the request/reply exchange with resends. It is
// a core that sees the world only through the port's records and MasterIo, so
// that tests can step it with set timers and recorded transmissions.
//
// Everything here runs on the port's master thread: the receiver announces a
// finished frame by setting ReceivedValidFrame or ReceivedInvalidFrame and
// then calls MasterRun; the master thread also calls it after every quiet
// 5 ms wait. The machine reads the timers and delegates from NodeState's
// atomics and never blocks.
#pragma once

#include <cstdint>

#include "link/records.h"

namespace tarnix {

// What the machine needs of the rest of the link. The product wires it to the
// transmit procedure and the serial port; tests wire it to a recorder.
class MasterIo {
 public:
  virtual ~MasterIo() = default;
  // The transmit procedure with its gates: 0 sent, 1 refused. On a resend,
  // `data` points into the node's own RequestBuffer, which the procedure
  // saves a type 5 frame into, so that copy must allow source and target to
  // be the same octets.
  virtual uint8_t Transmit(uint8_t frameType, uint8_t destination, const uint8_t* data,
                           uint16_t length) = 0;
  // Drops the octets waiting in the port's input buffer.
  virtual void DiscardInput() = 0;
  // Drops the octets not yet written out.
  virtual void DiscardOutput() = 0;
  // The name handed to the delegates.
  virtual const char* PortName() = 0;
};

// Forgets the successor and all pending work; the station then behaves like
// one that has just started. MasterState and ReceiveState are left alone.
void MasterReset(NodeState& node, MasterIo& io);

// How many milliseconds may pass before the machine has to run again with no
// octet arriving: the time until its next time-out (the lost token, a token
// slot, the usage time-out, the reply time-out). 0 when it must run now.
uint32_t MasterDueInMs(const NodeState& node);

// The port's device has gone: one upcall with ReplyTimeout is made at once,
// whether or not a request waits for its reply (no resend: nothing can go
// out any more), so that a user with requests still queued learns of the loss
// without waiting for a token that will never come. The machine then rests in
// IDLE and is not run again on a lost port.
void MasterPortLost(NodeState& node, MasterIo& io);

// Whether the station holds the token: it is using it, waiting for the answer
// to a request or a poll, or holding back its pass.
bool MasterHoldsToken(const NodeState& node);

// Runs the machine from its current state until it has to wait: it stops in
// IDLE (never with a received frame still to deal with), NO_TOKEN,
// POLL_FOR_MASTER, PASS_TOKEN or WAIT_FOR_REPLY. While the
// port's MasterServicesDisabled is set it stays in IDLE (after finishing a
// reply wait already under way), answering polls and delivering frames only.
// Once the port's StopRequested is set, a station that holds the token asks
// the token-obtained delegate for nothing more and, when the exchange under
// way is over, passes the token to its successor, or without one to the
// station last heard passing a token, so that the bus does not have to wait
// for a new token after the port has closed.
void MasterRun(NodeState& node, LinkPort& port, MasterIo& io);

}  // namespace tarnix
