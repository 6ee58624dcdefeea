// The two threads of an open port, the product's wiring of the master machine
// to the port, and the sending of frames (the transmit rules of transmit.h
// with the port's I/O around them).
//
// The receiver thread blocks in a read until octets arrive (at most
// kReadWaitMs), hands whatever came over as one block and parks until the
// master thread has dealt with it completely; the master thread runs the
// receive state machine over every octet of the block, and the master node
// machine when the block is empty. All protocol decisions and all delegate
// calls happen on the master thread. When the master thread is done it tells
// the receiver how many octets finish the frame under way, so that the next
// read takes them all in one go.
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

// Sends one frame on port `id`: 0 sent, 1 not sent. Unless master services
// are disabled the bus gates decide first (DecideGates); the frame is then
// written in one call. Not sent also when the port is unknown or lost, the
// data is missing or longer than 501 octets, or the write failed or timed
// out. A Data Expecting Reply frame is kept in the RequestBuffer for
// resending, whether it went or not.
uint8_t TransmitFrame(uint8_t id, uint8_t frameType, uint8_t destination, const uint8_t* data,
                      uint16_t length);

// Runs the receive step over the octets of the block the receiver thread
// handed over (channel.Block), one by one; the gates may discard the rest of
// it. `skip` carries, from one block to the next, how many data octets of a
// frame for another station are still to come.
void ReceiveBlock(NodeState& node, SerialChannel& channel, ReceiverHost& host, uint16_t* skip);

// How many octets finish the frame the receiver is in (0: it is between
// frames), given `skip` as kept by ReceiveBlock.
uint16_t OctetsToFrameEnd(const NodeState& node, uint16_t skip);

// Thread entries; the argument is the port's SerialChannel (receiver) or
// NodeState (master), whose first field names the port.
void ReceiverThread(void* arg);
void MasterThread(void* arg);

// The longest a read waits for the first octets, whatever the master machine
// is waiting for: it bounds how long a stop takes to be seen.
inline constexpr uint32_t kLongestReadWaitMs = 100;
// The master thread's longest wait for a block; the receiver hands one over
// at least every kLongestReadWaitMs, so this only bounds how long a stop takes
// to be seen when the receiver is held up (a packet jam, a lost port).
inline constexpr uint32_t kMasterWaitMs = 250;
// How long a stop lets the master thread finish the exchange under way and
// pass on a token it holds; well below the time a stop waits for the thread.
inline constexpr uint32_t kHandOffWaitMs = 1000;
// Fewer octets than this are no frame yet: a read that brings fewer while
// the receiver is between frames waits for the rest of a frame's header.
inline constexpr uint16_t kShortestFrame = 8;

}  // namespace tarnix
