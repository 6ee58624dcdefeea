// The master node machine of a Tarnix bus station: token passing, polling for
// masters, token creation, and the request/reply exchange with resends. It is
// a core that sees the world only through the port's records and MasterIo, so
// that tests can step it with set timers and recorded transmissions.
#pragma once

#include <cstdint>

#include "link/records.h"

namespace tarnix {

// What the machine needs of the rest of the link. The product wires it to the
// transmit procedure and the serial port; tests wire it to a recorder.
class MasterIo {
 public:
  virtual ~MasterIo() = default;
  // The transmit procedure: 0 sent, 1 refused.
  virtual uint8_t Transmit(uint8_t frameType, uint8_t destination, const uint8_t* data,
                           uint16_t length) = 0;
  virtual void DiscardInput() = 0;
  virtual void DiscardOutput() = 0;
  // The name handed to the delegates.
  virtual const char* PortName() = 0;
};

// Forgets the successor and all pending work; the station then behaves like
// one that has just started.
void MasterReset(NodeState& node, MasterIo& io);

// Runs the machine from its current state until it has to wait.
void MasterRun(NodeState& node, LinkPort& port, MasterIo& io);

}  // namespace tarnix
