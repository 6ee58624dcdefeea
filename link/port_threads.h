// The two threads of an open port and the product's wiring of the master
// machine to the port.
//
// The receiver thread reads the port one octet at a time and parks until the
// master thread has dealt with that octet completely; the master thread runs
// the receive state machine for each octet and the master node machine after
// every 5 ms without one. All protocol decisions and all delegate calls happen
// on the master thread.
#pragma once

#include <cstdint>

#include "link/master_node.h"
#include "link/receiver.h"
#include "link/records.h"

namespace tarnix {

// The port as the master machine and the receive step see it: transmissions go
// through the transmit procedure, purges and the master run act on port `id`.
class PortLink final : public MasterIo, public ReceiverHost {
 public:
  PortLink(uint8_t id, NodeState& node, LinkPort& port);

  uint8_t Transmit(uint8_t frameType, uint8_t destination, const uint8_t* data,
                   uint16_t length) override;
  void DiscardInput() override;
  void DiscardOutput() override;
  const char* PortName() override;
  void RunMaster() override;

 private:
  uint8_t id_;
  NodeState& node_;
  LinkPort& port_;
  const char* name_;
};

// Thread entries; the argument is the port's SerialChannel (receiver) or
// NodeState (master), whose first field names the port.
void ReceiverThread(void* arg);
void MasterThread(void* arg);

// The master thread's wait for an octet; also the longest the line goes
// unpolled when it is quiet.
inline constexpr uint32_t kMasterWaitMs = 5;

}  // namespace tarnix
