#include "link/receiver.h"

#include "link/capture.h"
#include "link/crc.h"

namespace tarnix {
namespace {

constexpr uint8_t kPreamble1 = 0x55;
constexpr uint8_t kPreamble2 = 0xFF;
constexpr uint8_t kBroadcast = 0xFF;
// EventCount of the octet that carries the source address of a frame heard
// after the master machine cleared the count: the line has come alive.
constexpr uint16_t kActivityEvents = 5;

struct Step {
  NodeState& node;
  SerialChannel& channel;

  bool SilenceExpired() const { return node.SilenceTimer.load() > node.FrameAbortTimeout.load(); }

  // Consuming an octet of the preamble or header also counts it as line activity.
  uint8_t Consume(bool countEvent) {
    channel.RxAvailable = 0;
    node.SilenceTimer = 0;
    if (countEvent) {
      ++node.EventCount;
    }
    return channel.RxByte;
  }

  // An octet that came with a line error is passed over unread.
  void Eat(bool countEvent) {
    channel.RxError = 0;
    node.SilenceTimer = 0;
    if (countEvent) {
      ++node.EventCount;
    }
  }

  uint8_t Idle() {
    if (channel.RxError != 0) {
      Eat(true);
      return kRxIdle;
    }
    if (channel.RxAvailable != 0) {
      return Consume(true) == kPreamble1 ? kRxPreamble : kRxIdle;
    }
    return kRxIdle;
  }

  uint8_t Preamble() {
    if (SilenceExpired()) {
      return kRxIdle;
    }
    if (channel.RxError != 0) {
      Eat(true);
      return kRxIdle;
    }
    if (channel.RxAvailable == 0) {
      return kRxPreamble;
    }
    const uint8_t octet = Consume(true);
    if (octet == kPreamble1) {
      return kRxPreamble;
    }
    if (octet != kPreamble2) {
      return kRxIdle;
    }
    node.Index = 0;
    node.HeaderCrc = kHeaderCrcInit;
    return kRxHeader;
  }

  uint8_t Header() {
    if (SilenceExpired()) {
      node.ReceivedInvalidFrame = 1;
      return kRxIdle;
    }
    if (channel.RxError != 0) {
      Eat(true);
      node.ReceivedInvalidFrame = 1;
      return kRxIdle;
    }
    if (channel.RxAvailable == 0) {
      return kRxHeader;
    }
    const uint8_t octet = Consume(true);
    node.HeaderCrc = HeaderCrcUpdate(node.HeaderCrc, octet);
    switch (node.Index) {
      case 0:
        node.FrameType = octet;
        break;
      case 1:
        node.DestinationAddress = octet;
        break;
      case 2:
        node.SourceAddress = octet;
        break;
      case 3:
        node.DataLength = static_cast<uint16_t>(octet * 256);
        break;
      case 4:
        node.DataLength = static_cast<uint16_t>(node.DataLength + octet);
        break;
      default:
        return kRxHeaderCrc;
    }
    ++node.Index;
    return kRxHeader;
  }

  // Returns the next state and whether the master machine must run now.
  uint8_t HeaderCrc(bool* runMaster) {
    if (node.HeaderCrc != kHeaderCrcGood) {
      node.ReceivedInvalidFrame = 1;
      return kRxIdle;
    }
    if (node.FrameType == kFrameToken && node.DestinationAddress != kBroadcast &&
        node.SourceAddress != node.ThisStation) {
      node.TokenSeenFrom = node.SourceAddress;
    }
    if (node.DestinationAddress != node.ThisStation && node.DestinationAddress != kBroadcast) {
      return kRxIdle;
    }
    if (node.DataLength > kMaxDataLength) {
      node.ReceivedInvalidFrame = 1;
      return kRxIdle;
    }
    if (node.DataLength == 0) {
      node.ReceivedValidFrame = 1;
      *runMaster = true;
      return kRxIdle;
    }
    node.Index = 0;
    node.DataCrc = kDataCrcInit;
    return kRxData;
  }

  uint8_t Data() {
    if (SilenceExpired()) {
      node.ReceivedInvalidFrame = 1;
      return kRxIdle;
    }
    if (channel.RxError != 0) {
      Eat(false);
      node.ReceivedInvalidFrame = 1;
      return kRxIdle;
    }
    if (channel.RxAvailable == 0) {
      return kRxData;
    }
    const uint8_t octet = Consume(false);
    node.DataCrc = DataCrcUpdate(node.DataCrc, octet);
    if (node.Index < node.DataLength) {
      node.InputBuffer[node.Index] = octet;
    } else if (node.Index != node.DataLength) {
      return kRxDataCrc;
    }
    ++node.Index;
    return kRxData;
  }

  void DataCrc() {
    const bool good = node.DataCrc == kDataCrcGood;
    node.ReceivedValidFrame = good ? 1 : 0;
    node.ReceivedInvalidFrame = good ? 0 : 1;
  }
};

}  // namespace

void ReceiveStep(NodeState& node, SerialChannel& channel, ReceiverHost& host) {
  const bool capture = node.CaptureOn != 0;
  if (node.SilenceTimer.load() > node.FrameAbortTimeout.load()) {
    if (capture) {
      CaptureBrokenOff(node);
    }
    node.ReceiveState = kRxIdle;
  }
  if (node.ImmediateUpcall.load() != 0 && channel.RxAvailable != 0) {
    node.ResendPending = 0;
    node.ResendCount = 0;
    if (UpcallDelegate upcall = node.Upcall.load(); upcall != nullptr) {
      upcall(host.PortName(), &channel.RxByte, node.SourceAddress, 1, Delivered);
    }
  }
  const uint8_t before = node.ReceiveState;
  const uint8_t octet = channel.RxByte;
  const bool octetSeen = channel.RxAvailable != 0 || channel.RxError != 0;
  // Recorded before the master machine runs on a finished frame, so that a
  // frame it sends in answer follows this one in the capture.
  const auto record = [&] {
    if (capture && octetSeen) {
      CaptureReceived(node, octet, before, node.ReceiveState);
    }
  };
  Step step{node, channel};
  switch (node.ReceiveState) {
    case kRxIdle:
      node.ReceiveState = step.Idle();
      record();
      break;
    case kRxPreamble:
      node.ReceiveState = step.Preamble();
      record();
      break;
    case kRxHeader: {
      const uint8_t next = step.Header();
      node.ReceiveState = next;
      if (node.WatchForActivity != 0 && node.EventCount == kActivityEvents) {
        host.RunMaster();
        node.WatchForActivity = 0;
      }
      bool runMaster = false;
      if (next == kRxHeaderCrc) {
        node.ReceiveState = step.HeaderCrc(&runMaster);
      }
      record();
      if (runMaster) {
        host.RunMaster();
      }
      break;
    }
    case kRxData:
      node.ReceiveState = step.Data();
      if (node.ReceiveState == kRxDataCrc) {
        step.DataCrc();
        node.ReceiveState = kRxIdle;
        record();
        host.RunMaster();
      } else {
        record();
      }
      break;
    default:
      // States 3 and 5 never outlive the octet that leads into them; anything
      // else is not a state of this machine.
      node.ReceiveState = kRxIdle;
      break;
  }
}

}  // namespace tarnix
