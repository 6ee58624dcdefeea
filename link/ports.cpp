#include "link/ports.h"

#include <cstring>
#include <mutex>

namespace tarnix {
namespace {

// Registration and slot allocation may run on any thread (Init is serialised by
// its named semaphore, UnInit and the lookups of the other functions are not),
// so the tables' bookkeeping is kept under one lock.
std::mutex gTableLock;

PortNameEntry gNames[kPortSlots];
LinkPort gLinkPorts[kPortSlots];
NodeState gNodeStates[kPortSlots];
SerialChannel gSerialChannels[kPortSlots];
uint8_t gLinkPortCount = 0;
uint8_t gNodeStateCount = 0;
uint8_t gSerialChannelCount = 0;

size_t BoundedLength(const char* name) {
  size_t length = 0;
  while (length <= static_cast<size_t>(kNameLength) && name[length] != '\0') {
    ++length;
  }
  return length;
}

bool IdTaken(uint8_t id) {
  for (const PortNameEntry& entry : gNames) {
    if (entry.PortId == id) {
      return true;
    }
  }
  return false;
}

uint8_t LookupLocked(const char* name) {
  for (const PortNameEntry& entry : gNames) {
    if (entry.PortId != 0 && std::strcmp(entry.Name, name) == 0) {
      return entry.PortId;
    }
  }
  return 0;
}

template <typename Slot>
Slot* FindSlot(Slot (&slots)[kPortSlots], uint8_t id) {
  if (id == 0) {
    return nullptr;
  }
  for (Slot& slot : slots) {
    if (slot.PortId.load() == id) {
      return &slot;
    }
  }
  return nullptr;
}

}  // namespace

uint8_t RegisterPortName(const char* name, bool* added) {
  *added = false;
  if (name == nullptr) {
    return 0;
  }
  const size_t length = BoundedLength(name);
  if (length == 0 || length > static_cast<size_t>(kNameLength)) {
    return 0;
  }
  std::lock_guard<std::mutex> guard(gTableLock);
  if (const uint8_t known = LookupLocked(name); known != 0) {
    return known;
  }
  uint8_t id = 255;
  while (id != 0 && IdTaken(id)) {
    --id;
  }
  if (id == 0) {
    return 0;
  }
  for (PortNameEntry& entry : gNames) {
    if (entry.PortId == 0) {
      entry.PortId = id;
      std::memcpy(entry.Name, name, length);
      entry.Name[length] = '\0';
      *added = true;
      return id;
    }
  }
  return 0;
}

void UnregisterPortName(uint8_t id) {
  if (id == 0) {
    return;
  }
  std::lock_guard<std::mutex> guard(gTableLock);
  for (PortNameEntry& entry : gNames) {
    if (entry.PortId == id) {
      entry = PortNameEntry{};
      return;
    }
  }
}

void ClearPortNames() {
  std::lock_guard<std::mutex> guard(gTableLock);
  for (PortNameEntry& entry : gNames) {
    entry = PortNameEntry{};
  }
}

uint8_t PortIdOf(const char* name) {
  if (name == nullptr || name[0] == '\0') {
    return 0;
  }
  std::lock_guard<std::mutex> guard(gTableLock);
  return LookupLocked(name);
}

const char* PortNameOf(uint8_t id) {
  if (id == 0) {
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(gTableLock);
  for (const PortNameEntry& entry : gNames) {
    if (entry.PortId == id) {
      return entry.Name;
    }
  }
  return nullptr;
}

LinkPort* FindLinkPort(uint8_t id) { return FindSlot(gLinkPorts, id); }
NodeState* FindNodeState(uint8_t id) { return FindSlot(gNodeStates, id); }
SerialChannel* FindSerialChannel(uint8_t id) { return FindSlot(gSerialChannels, id); }

LinkPort* AllocateLinkPort(uint8_t id) {
  std::lock_guard<std::mutex> guard(gTableLock);
  for (LinkPort& port : gLinkPorts) {
    if (port.Running.load() == 0) {
      port.PortId = id;
      port.StopRequested = 0;
      port.MasterDone = 0;
      port.JamActive = 0;
      port.JamStop = 0;
      port.MasterReady = 0;
      port.CorruptNextDataCrc = 0;
      port.MasterServicesDisabled = 0;
      port.FramingDisabled = 0;
      port.TokenDropAddress = kNoStation;
      ++gLinkPortCount;
      return &port;
    }
  }
  return nullptr;
}

NodeState* AllocateNodeState(uint8_t id) {
  std::lock_guard<std::mutex> guard(gTableLock);
  for (NodeState& node : gNodeStates) {
    if (node.Active.load() == 0) {
      node.PortId = id;
      node.WatchForActivity = 0;
      node.Answering = 0;
      node.TokenFresh = 0;
      node.ReceiveState = kRxIdle;
      node.MaxRequestResend = 0;
      // A new port does not inherit the immediate mode or a pending resend of
      // whichever port used the slot before it.
      node.ImmediateUpcall = 0;
      node.ResendCount = 0;
      node.ResendPending = 0;
      node.NoReplyPending = 1;
      node.MoreToSend = 1;
      node.MasterState = kMsIdle;
      node.TokenSeenFrom = kNoStation;
      node.ReplyTimeout = 125;
  node.SilenceTimer = 0;
  node.ReplyDelayTimer = 0;
  node.TokenAgeTimer = 0;
      node.FrameAbortTimeout = 125;
      ++gNodeStateCount;
      return &node;
    }
  }
  return nullptr;
}

SerialChannel* AllocateSerialChannel(uint8_t id) {
  std::lock_guard<std::mutex> guard(gTableLock);
  for (SerialChannel& channel : gSerialChannels) {
    if (channel.Active.load() == 0) {
      channel.PortId = id;
      ++gSerialChannelCount;
      return &channel;
    }
  }
  return nullptr;
}

void ReleaseLinkPort(LinkPort& port) {
  std::lock_guard<std::mutex> guard(gTableLock);
  port.PortId = 0;
  port.Running = 0;
  --gLinkPortCount;
}

void ReleaseNodeState(NodeState& node) {
  std::lock_guard<std::mutex> guard(gTableLock);
  node.PortId = 0;
  node.Active = 0;
  --gNodeStateCount;
}

void ReleaseSerialChannel(SerialChannel& channel) {
  std::lock_guard<std::mutex> guard(gTableLock);
  channel.PortId = 0;
  channel.Active = 0;
  --gSerialChannelCount;
}

uint8_t LinkPortCount() {
  std::lock_guard<std::mutex> guard(gTableLock);
  return gLinkPortCount;
}

uint8_t NodeStateCount() {
  std::lock_guard<std::mutex> guard(gTableLock);
  return gNodeStateCount;
}

uint8_t SerialChannelCount() {
  std::lock_guard<std::mutex> guard(gTableLock);
  return gSerialChannelCount;
}

NodeState* NodeStateSlots() { return gNodeStates; }

}  // namespace tarnix
