#include "link/port_threads.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "link/capture.h"
#include "link/crc.h"
#include "link/ports.h"
#include "link/serial_port.h"
#include "link/transmit.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace tarnix {
namespace {

constexpr uint8_t kBroadcast = 255;
// Preamble's second octet and the six header octets after the first 0x55.
constexpr uint16_t kOctetsAfterFirstPreamble = 7;
constexpr uint16_t kHeaderOctets = 6;
constexpr uint16_t kDataCrcOctets = 2;
// A turnaround (40 bit times), a frame without data, and one octet's time
// for the adapter.
constexpr uint32_t kOctetsUntilAnswerIsWhole = 4 + 8 + 1;

// The octets not yet through the receive step: the rest of the block, then
// what waits in the port. Reading them takes them off the port; the gates
// discard them in every case where they read any.
bool OnMasterThread(const SerialChannel& channel) {
  return channel.MasterThreadId.load() == std::this_thread::get_id();
}

// Another thread sending in master mode (against the rules, but possible)
// sees only what waits in the port: the block belongs to the master thread.
size_t PeekPending(uint8_t id, SerialChannel& channel, uint8_t* out, size_t wanted) {
  size_t count = 0;
  if (OnMasterThread(channel)) {
    for (uint16_t i = channel.BlockNext; i < channel.BlockLength && count < wanted; ++i) {
      out[count++] = channel.Block[i];
    }
  }
  while (count < wanted && ReadOctetNow(id, &out[count])) {
    ++count;
  }
  return count;
}

void DiscardPending(uint8_t id, SerialChannel& channel) {
  if (OnMasterThread(channel)) {
    channel.BlockNext = channel.BlockLength;
  }
  DiscardInput(id);
}

// The serial port as the sending of a frame sees it.
class PortLine final : public FrameLine {
 public:
  PortLine(uint8_t id, SerialChannel& channel, bool capture)
      : id_(id), channel_(channel), capture_(capture) {}

  size_t PeekPending(uint8_t* out, size_t wanted) override {
    return tarnix::PeekPending(id_, channel_, out, wanted);
  }
  void DiscardPending() override { tarnix::DiscardPending(id_, channel_); }
  uint32_t LineBusyMicros() override {
    const int64_t busy = channel_.LineBusyUntil.load() - LinkMicros();
    return busy > 0 ? static_cast<uint32_t>(busy) : 0;
  }
  void Wait(uint32_t micros) override {
    std::this_thread::sleep_for(std::chrono::microseconds(micros));
  }
  bool Write(const uint8_t* octets, size_t count, int64_t* leftLineAt) override {
    const int64_t sentAt = capture_ ? CaptureClock() : 0;
    LockPort(id_);
    const bool written = count == 0 || WriteOctets(id_, octets, static_cast<uint32_t>(count));
    *leftLineAt = LinkMicros() + static_cast<int64_t>(count) * channel_.OctetMicros.load();
    channel_.LineBusyUntil = *leftLineAt;
    UnlockPort(id_);
    if (written && capture_) {
      CaptureWrite(octets, count, sentAt);
    }
    return written;
  }

 private:
  uint8_t id_;
  SerialChannel& channel_;
  bool capture_;
};

// Reads into the block from `at` on: `expect` octets, or what arrives within
// the master's wait, topped up to a frame's first eight octets.
bool ReadFrameStart(uint8_t id, SerialChannel& channel, uint16_t at, uint16_t expect,
                    uint16_t* count) {
  uint16_t got = 0;
  bool readOk = ReadBlock(id, channel.Block + at, static_cast<uint16_t>(kReadBlockSize - at), expect,
                          channel.WaitMs, &got);
  if (readOk && expect == 0 && got > 0 && got < kShortestFrame) {
    // The start of a frame, most likely: take the rest of its header in the
    // same turn rather than one more hand-over for it.
    uint16_t more = 0;
    const uint16_t from = static_cast<uint16_t>(at + got);
    readOk = ReadBlock(id, channel.Block + from, static_cast<uint16_t>(kReadBlockSize - from),
                       static_cast<uint16_t>(kShortestFrame - got), 0, &more);
    got = static_cast<uint16_t>(got + more);
  }
  *count = got;
  return readOk;
}

// How many octets of data and data checksum the good header that ends the
// block announces (0: the block does not end with such a header). They are
// read in the same turn, which spares a hand-over between the threads for
// every frame with data; like the hint below, the receive step still judges
// every octet.
uint16_t DataAnnounced(const uint8_t* block, uint16_t count) {
  if (count < kShortestFrame) {
    return 0;
  }
  const uint8_t* frame = block + count - kShortestFrame;
  if (frame[0] != 0x55 || frame[1] != 0xFF) {
    return 0;
  }
  uint8_t crc = kHeaderCrcInit;
  for (int i = 2; i < kShortestFrame; ++i) {
    crc = HeaderCrcUpdate(crc, frame[i]);
  }
  const uint16_t length = static_cast<uint16_t>(frame[5] * 256 + frame[6]);
  if (crc != kHeaderCrcGood || length == 0 || length > kMaxDataLength) {
    return 0;
  }
  return static_cast<uint16_t>(length + kDataCrcOctets);
}

// A frame's start as ReadFrameStart reads it, and its data when its header
// announces some.
bool ReadFrame(uint8_t id, SerialChannel& channel, uint16_t at, uint16_t expect, uint16_t* count) {
  if (!ReadFrameStart(id, channel, at, expect, count)) {
    return false;
  }
  const uint16_t end = static_cast<uint16_t>(at + *count);
  const uint16_t rest = expect == 0 ? DataAnnounced(channel.Block, end) : 0;
  if (rest == 0 || end + rest > kReadBlockSize) {
    return true;
  }
  uint16_t more = 0;
  const bool readOk = ReadBlock(id, channel.Block + end, static_cast<uint16_t>(kReadBlockSize - end),
                                rest, 0, &more);
  *count = static_cast<uint16_t>(*count + more);
  return readOk;
}

// Tokens and polls are answered, and an answering station waits out a
// turnaround first: while the machine only listens, the receiver sleeps until
// the answer to a frame that ended at `endedAt` can be whole, which spares the
// wake-up at its first octet, but never past the master machine's next
// time-out. An answer that comes later is waited for as any frame is.
void SleepUntilAnswerCanBeWhole(const SerialChannel& channel, int64_t endedAt) {
  const int64_t wake =
      endedAt + static_cast<int64_t>(kOctetsUntilAnswerIsWhole * channel.OctetMicros.load());
  const int64_t due = static_cast<int64_t>(channel.WaitMs) * 1000;
  const int64_t left = std::min(wake - LinkMicros(), due);
  if (left > 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(left));
  }
}

// Whether the block ends with a whole frame without data addressed to another
// station (a token or poll passing by). Only a hint for when to hand over:
// the receive step still judges every octet.
bool EndsWithFrameForOthers(const uint8_t* block, uint16_t count, uint8_t thisStation) {
  if (count < kShortestFrame) {
    return false;
  }
  const uint8_t* frame = block + count - kShortestFrame;
  const uint8_t destination = frame[3];
  return frame[0] == 0x55 && frame[1] == 0xFF && frame[5] == 0 && frame[6] == 0 &&
         destination != thisStation && destination != kBroadcast;
}

}  // namespace

PortLink::PortLink(uint8_t id, NodeState& node, LinkPort& port)
    : id_(id), node_(node), port_(port), name_(PortNameOf(id)) {}

uint8_t PortLink::Transmit(uint8_t frameType, uint8_t destination, const uint8_t* data,
                           uint16_t length) {
  return TransmitFrame(id_, frameType, destination, data, length);
}

void PortLink::DiscardInput() {
  if (SerialChannel* channel = FindSerialChannel(id_); channel != nullptr) {
    DiscardPending(id_, *channel);
  }
}

void PortLink::DiscardOutput() { tarnix::DiscardOutput(id_); }

const char* PortLink::PortName() { return name_; }

void PortLink::RunMaster() { MasterRun(node_, port_, *this); }

uint8_t TransmitFrame(uint8_t id, uint8_t frameType, uint8_t destination, const uint8_t* data,
                      uint16_t length) {
  LinkPort* port = FindLinkPort(id);
  SerialChannel* channel = FindSerialChannel(id);
  NodeState* node = FindNodeState(id);
  if (port == nullptr || channel == nullptr || node == nullptr) {
    return 1;
  }
  if (length > kMaxDataLength || (length > 0 && data == nullptr)) {
    return 1;
  }
  if (channel->Lost.load() != 0) {
    KeepForResend(*node, frameType, destination, data, length);
    return 1;
  }
  // Raw octets are no frame a capture reader could decode.
  PortLine line(id, *channel, port->FramingDisabled.load() == 0 && node->CaptureOn != 0);
  return SendThroughGates(*node, *port, line, frameType, destination, data, length, nullptr) ==
                 SendOutcome::Sent
             ? 0
             : 1;
}

void ReceiveBlock(NodeState& node, SerialChannel& channel, ReceiverHost& host, uint16_t* skip) {
  while (channel.BlockNext < channel.BlockLength) {
    const uint8_t before = node.ReceiveState;
    channel.RxByte = channel.Block[channel.BlockNext++];
    channel.RxAvailable = 1;
    channel.RxError = channel.BlockError;
    ReceiveStep(node, channel, host);
    if (before == kRxIdle && *skip > 0) {
      --*skip;
    }
    // A good header for another station: its data is read in IDLE, octet by
    // octet, as octets that are not a preamble.
    if (before == kRxHeader && node.ReceiveState == kRxIdle && node.HeaderCrc == kHeaderCrcGood &&
        node.DestinationAddress != node.ThisStation && node.DestinationAddress != kBroadcast &&
        node.DataLength > 0 && node.DataLength <= kMaxDataLength) {
      *skip = static_cast<uint16_t>(node.DataLength + kDataCrcOctets);
    }
    if (node.ReceiveState != kRxIdle) {
      *skip = 0;
    }
  }
}

uint16_t OctetsToFrameEnd(const NodeState& node, uint16_t skip) {
  switch (node.ReceiveState) {
    case kRxPreamble:
      return kOctetsAfterFirstPreamble;
    case kRxHeader:
      return node.Index < kHeaderOctets ? static_cast<uint16_t>(kHeaderOctets - node.Index) : 1;
    case kRxData: {
      const uint32_t total = node.DataLength + kDataCrcOctets;
      return node.Index < total ? static_cast<uint16_t>(total - node.Index) : 1;
    }
    default:
      return skip;
  }
}

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
    uint16_t count = 0;
    bool readOk = true;
    if (port->JamActive.load() != 0) {
      // The jam holds IoLock and nothing is read; the master machine still
      // runs at the pace of a quiet line.
      plat::sleep_ms(kReadWaitMs);
    } else {
      LockPort(id);
      if (channel->MayLinger != 0 && channel->Expect == 0) {
        // The frame this station has just sent (a token pass, a reply to a
        // poll) is answered the same way.
        SleepUntilAnswerCanBeWhole(*channel, channel->LineBusyUntil.load());
      }
      readOk = ReadFrame(id, *channel, 0, channel->Expect, &count);
      // A frame for another station needs nothing of the machine while it
      // only listens: the next frame is read into the same block first, so
      // that the ring's traffic costs one hand-over for two frames.
      while (readOk && channel->MayLinger != 0 &&
             EndsWithFrameForOthers(channel->Block, count, channel->ThisStation) &&
             count + kShortestFrame <= kReadBlockSize) {
        SleepUntilAnswerCanBeWhole(*channel, LinkMicros());
        uint16_t more = 0;
        readOk = ReadFrame(id, *channel, count, 0, &more);
        if (more == 0) {
          break;
        }
        count = static_cast<uint16_t>(count + more);
      }
      UnlockPort(id);
    }
    channel->BlockLength = count;
    channel->BlockNext = 0;
    channel->BlockError = count > 0 ? ReadErrorFlag(id) : 0;
    plat::sem_release(port->ByteReady);
    if (!readOk) {
      // The device has gone; the master thread sees Lost and answers for it.
      return;
    }
    plat::sem_wait(port->ByteConsumed, plat::kWaitForever);
  } while (port->StopRequested.load() == 0 || port->MasterDone.load() == 0);
}

void MasterThread(void* arg) {
  const uint8_t id = static_cast<NodeState*>(arg)->PortId;
  LinkPort* port = FindLinkPort(id);
  SerialChannel* channel = FindSerialChannel(id);
  NodeState* node = FindNodeState(id);
  if (port == nullptr || channel == nullptr || node == nullptr) {
    return;
  }
  channel->MasterThreadId = std::this_thread::get_id();
  PortLink link(id, *node, *port);
  MasterReset(*node, link);
  port->MasterReady = 1;
  uint16_t skip = 0;
  bool lostSeen = false;
  int64_t handOffBy = 0;
  for (;;) {
    if (port->StopRequested.load() != 0) {
      // A token held at the stop is passed on once the exchange under way is
      // over (MasterRun), for at most kHandOffWaitMs.
      if (handOffBy == 0) {
        handOffBy = LinkMicros() + static_cast<int64_t>(kHandOffWaitMs) * 1000;
      }
      if (!MasterHoldsToken(*node) || channel->Lost.load() != 0 || LinkMicros() >= handOffBy) {
        break;
      }
    }
    if (channel->Active.load() == 0) {
      plat::sleep_ms(1);
      continue;
    }
    if (channel->Lost.load() != 0) {
      if (!lostSeen) {
        lostSeen = true;
        MasterPortLost(*node, link);
      }
      plat::sem_wait(port->ByteReady, kMasterWaitMs);
      continue;
    }
    if (plat::sem_wait(port->ByteReady, kMasterWaitMs) != plat::WaitResult::Signaled) {
      continue;
    }
    if (channel->Lost.load() != 0) {
      continue;
    }
    if (channel->BlockLength == 0) {
      link.RunMaster();
    } else {
      ReceiveBlock(*node, *channel, link, &skip);
    }
    channel->Expect = OctetsToFrameEnd(*node, skip);
    channel->MayLinger = (node->MasterState == kMsIdle || node->MasterState == kMsPassToken) &&
                                 node->ImmediateUpcall.load() == 0 && node->CaptureOn == 0
                             ? 1
                             : 0;
    const uint32_t due = MasterDueInMs(*node);
    channel->WaitMs = due == 0 ? 1 : (due > kLongestReadWaitMs ? kLongestReadWaitMs : due);
    plat::sem_release(port->ByteConsumed);
  }
}

}  // namespace tarnix
