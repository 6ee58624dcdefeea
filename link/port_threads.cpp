#include "link/port_threads.h"

#include "link/ports.h"
#include "link/serial_port.h"
#include "link/transmit.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace tarnix {

PortLink::PortLink(uint8_t id, NodeState& node, LinkPort& port)
    : id_(id), node_(node), port_(port), name_(PortNameOf(id)) {}

uint8_t PortLink::Transmit(uint8_t frameType, uint8_t destination, const uint8_t* data,
                           uint16_t length) {
  return TransmitFrame(id_, frameType, destination, data, length);
}

void PortLink::DiscardInput() { tarnix::DiscardInput(id_); }

void PortLink::DiscardOutput() { tarnix::DiscardOutput(id_); }

const char* PortLink::PortName() { return name_; }

void PortLink::RunMaster() { MasterRun(node_, port_, *this); }

void ReceiverThread(void* arg) {
  const uint8_t id = static_cast<SerialChannel*>(arg)->PortId;
  LinkPort* port = FindLinkPort(id);
  SerialChannel* channel = FindSerialChannel(id);
  if (port == nullptr || channel == nullptr || port->StopRequested.load() != 0) {
    return;
  }
  do {
    if (channel->Active.load() == 0) {
      plat::sleep_ms(1);
      continue;
    }
    LockPort(id);
    uint8_t octet = 0;
    const bool got = ReadOctetNow(id, &octet);
    UnlockPort(id);
    if (got) {
      channel->RxByte = octet;
      channel->RxAvailable = 1;
      channel->RxError = ReadErrorFlag(id);
      channel->RxTaken = 0;
      plat::sem_release(port->ByteReady);
      // The master thread raises ByteConsumed after every pass, also after the
      // idle ones; one of those may still be pending when the read took long
      // (a packet jam holds IoLock), so wait for the pass that took the octet.
      do {
        plat::sem_wait(port->ByteConsumed, plat::kWaitForever);
      } while (channel->RxTaken.load() == 0 && port->StopRequested.load() == 0);
    } else {
      // Parked until the master thread's next pass: when the line is quiet
      // that is its 5 ms wait, which paces this loop.
      plat::sem_wait(port->ByteConsumed, plat::kWaitForever);
    }
  } while (port->StopRequested.load() == 0);
}

void MasterThread(void* arg) {
  const uint8_t id = static_cast<NodeState*>(arg)->PortId;
  LinkPort* port = FindLinkPort(id);
  SerialChannel* channel = FindSerialChannel(id);
  NodeState* node = FindNodeState(id);
  if (port == nullptr || channel == nullptr || node == nullptr) {
    return;
  }
  PortLink link(id, *node, *port);
  MasterReset(*node, link);
  port->MasterReady = 1;
  while (port->StopRequested.load() == 0) {
    if (channel->Active.load() == 0) {
      plat::sleep_ms(1);
      continue;
    }
    const plat::WaitResult result = plat::sem_wait(port->ByteReady, kMasterWaitMs);
    if (result == plat::WaitResult::Signaled) {
      ReceiveStep(*node, *channel, link);
      channel->RxTaken = 1;
    } else if (result == plat::WaitResult::TimedOut) {
      link.RunMaster();
    } else {
      continue;
    }
    plat::sem_release(port->ByteConsumed);
  }
}

}  // namespace tarnix
