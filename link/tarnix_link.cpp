// The exported TarnixLink_* functions.
#include "link/tarnix_link.h"

#include <mutex>

#include "link/capture.h"
#include "link/ports.h"
#include "link/port_threads.h"
#include "link/records.h"
#include "link/serial_port.h"
#include "link/transmit.h"
#include "platform/serial.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace tarnix {
namespace {

constexpr int8_t kInitFailed = -1;
constexpr uint32_t kInitSemWaitMs = 10000;
constexpr size_t kThreadStack = 1024;
constexpr uint16_t kSendFrameTimeout = 512;
// A link thread leaves its loop within one pass (5 ms) unless a delegate holds
// it or the master thread still passes on a token it holds (kHandOffWaitMs);
// this bounds how long UnInit waits for a delegate that does not return.
constexpr uint32_t kThreadStopWaitMs = 2000;
constexpr uint32_t kMasterReadyWaitMs = 2000;

std::mutex gInitSemLock;
plat::SemHandle gInitSem = nullptr;

// Shared with other processes that drive ports, so that their starts do not
// interleave either.
plat::SemHandle InitSemaphore() {
  std::lock_guard<std::mutex> guard(gInitSemLock);
  if (gInitSem == nullptr) {
    gInitSem = plat::sem_open_global("InitSem", 1, 1);
  }
  return gInitSem;
}

bool ValidBaud(int32_t baud) { return baud == 9600 || baud == 19200 || baud == 38400; }

// Ends the port's threads: the master thread sees StopRequested at its next
// pass and ends once it holds no token; the receiver is then parked on
// ByteConsumed, or about to be, and one release lets it see the flags too.
// True when both have ended (or never ran); their handles are then given up,
// and *closed tells whether that worked.
bool StopPortThreads(LinkPort& port, bool* closed) {
  port.StopRequested = 1;
  bool ended = true;
  if (port.MasterThread != nullptr) {
    ended = plat::thread_wait(port.MasterThread, kThreadStopWaitMs);
  }
  // The receiver has kept reading for the master thread until now.
  port.MasterDone = 1;
  if (port.ReceiverThread != nullptr) {
    plat::sem_release(port.ByteConsumed);
    ended = plat::thread_wait(port.ReceiverThread, kThreadStopWaitMs) && ended;
  }
  if (!ended) {
    return false;
  }
  *closed = true;
  for (plat::ThreadHandle* thread : {&port.MasterThread, &port.ReceiverThread}) {
    if (*thread != nullptr) {
      *closed = plat::thread_close(*thread) && *closed;
      *thread = nullptr;
    }
  }
  return true;
}

void CloseSemaphores(LinkPort& port) {
  for (plat::SemHandle* sem : {&port.ByteReady, &port.ByteConsumed}) {
    if (*sem != nullptr) {
      plat::sem_close(*sem);
      *sem = nullptr;
    }
  }
}

// What a start has taken so far, so that a failed start gives all of it back
// and leaves the tables as they were.
struct StartClaim {
  uint8_t id = 0;
  bool nameAdded = false;
  LinkPort* port = nullptr;
  NodeState* node = nullptr;
  SerialChannel* channel = nullptr;
  bool tickHeld = false;

  int8_t Fail() {
    if (port != nullptr) {
      bool threadsClosed = true;  // the start fails whatever the closes say
      if (StopPortThreads(*port, &threadsClosed)) {
        CloseSemaphores(*port);
      } else {
        // A thread that does not end may still use the records; they stay taken.
        return kInitFailed;
      }
    }
    if (channel != nullptr) {
      ClosePort(id);
    }
    if (tickHeld) {
      ReleaseTick();
    }
    if (channel != nullptr) {
      ReleaseSerialChannel(*channel);
    }
    if (node != nullptr) {
      ReleaseNodeState(*node);
    }
    if (port != nullptr) {
      ReleaseLinkPort(*port);
    }
    if (nameAdded) {
      UnregisterPortName(id);
    }
    if (LinkPortCount() == 0) {
      CaptureStop();
    }
    return kInitFailed;
  }
};

bool StartThread(plat::ThreadEntry entry, void* arg, plat::ThreadHandle* handle) {
  *handle = plat::thread_start(entry, arg, kThreadStack);
  return *handle != nullptr && plat::thread_set_priority(*handle, plat::Priority::TimeCritical);
}

int8_t InitSteps(const LinkConfig& config) {
  if (LinkPortCount() == 0) {
    ClearPortNames();
  }
  StartClaim claim;
  claim.id = RegisterPortName(config.PortName, &claim.nameAdded);
  if (claim.id == 0) {
    return kInitFailed;
  }
  // A port already running keeps running: TarnixLink_GetAddress tells the
  // caller that this is why the start failed.
  if (LinkPort* existing = FindLinkPort(claim.id); existing != nullptr && existing->Running.load() != 0) {
    return claim.Fail();
  }
  claim.port = AllocateLinkPort(claim.id);
  if (claim.port == nullptr) {
    return claim.Fail();
  }
  claim.node = AllocateNodeState(claim.id);
  claim.channel = claim.node == nullptr ? nullptr : AllocateSerialChannel(claim.id);
  if (claim.node == nullptr || claim.channel == nullptr) {
    return claim.Fail();
  }
  LinkPort& port = *claim.port;
  NodeState& node = *claim.node;
  if (config.MaxMaster < 0 || config.MaxMaster > 127) {
    return claim.Fail();
  }
  node.MaxMaster = static_cast<uint8_t>(config.MaxMaster);
  if (config.MaxInfoFrames < 1) {
    return claim.Fail();
  }
  node.MaxInfoFrames = static_cast<uint8_t>(config.MaxInfoFrames & 0xFF);
  node.TokenObtained = config.TokenObtained;
  node.Upcall = config.Upcall;
  if (config.StationAddress < 0 || config.StationAddress > 127) {
    return claim.Fail();
  }
  node.ThisStation = static_cast<uint8_t>(config.StationAddress);
  claim.channel->ThisStation = node.ThisStation;
  node.Capture = RxCapture{};
  node.CaptureOn = CaptureStart() ? 1 : 0;
  if (AcquireTick() != 0) {
    return claim.Fail();
  }
  claim.tickHeld = true;
  if (!ValidBaud(config.BaudRate) ||
      OpenPort(config.PortName, claim.id, static_cast<uint32_t>(config.BaudRate)) != 0) {
    return claim.Fail();
  }
  port.ByteReady = plat::sem_create(0, 1);
  port.ByteConsumed = plat::sem_create(0, 1);
  if (port.ByteReady == nullptr || port.ByteConsumed == nullptr) {
    return claim.Fail();
  }
  if (!StartThread(ReceiverThread, claim.channel, &port.ReceiverThread) ||
      !StartThread(MasterThread, claim.node, &port.MasterThread)) {
    return claim.Fail();
  }
  // The master thread's reset purges the port; a frame that the user sends as
  // soon as Init has returned must not fall into that purge.
  for (uint32_t waited = 0; port.MasterReady.load() == 0 && waited < kMasterReadyWaitMs; ++waited) {
    plat::sleep_ms(1);
  }
  claim.channel->Active = 1;
  node.Active = 1;
  port.Running = 1;
  return 0;
}

// The records an exported function works on; all null for an unknown name.
struct Records {
  uint8_t id = 0;
  LinkPort* port = nullptr;
  NodeState* node = nullptr;
  SerialChannel* channel = nullptr;
};

Records Lookup(const char* name) {
  Records records;
  records.id = PortIdOf(name);
  records.port = FindLinkPort(records.id);
  records.node = FindNodeState(records.id);
  records.channel = FindSerialChannel(records.id);
  return records;
}

}  // namespace
}  // namespace tarnix

using namespace tarnix;

void TarnixLink_GetVersion(int32_t* major, int32_t* minor, int32_t* revision) {
  if (major != nullptr) {
    *major = 0;
  }
  if (minor != nullptr) {
    *minor = 4;
  }
  if (revision != nullptr) {
    *revision = 5;
  }
}

int8_t TarnixLink_Init(const LinkConfig* config) {
  plat::SemHandle initSem = InitSemaphore();
  if (config == nullptr || initSem == nullptr ||
      plat::sem_wait(initSem, kInitSemWaitMs) != plat::WaitResult::Signaled) {
    return kInitFailed;
  }
  const int8_t result = InitSteps(*config);
  plat::sem_release(initSem);
  return result;
}

uint8_t TarnixLink_UnInit(const char* portName) {
  const Records r = Lookup(portName);
  if (r.port == nullptr || r.node == nullptr || r.channel == nullptr || r.port->Running.load() == 0) {
    return 1;
  }
  if (r.port->JamActive.load() != 0) {
    StopJam(*r.port, *r.channel);
  }
  const bool receiverKnown = r.port->ReceiverThread != nullptr;
  bool threadsClosed = true;
  if (!StopPortThreads(*r.port, &threadsClosed)) {
    // A thread that does not end may still use the records: keep them, and
    // let a later UnInit finish the job.
    return 1;
  }
  CloseSemaphores(*r.port);
  const bool portClosed = ClosePort(r.id);
  ReleaseLinkPort(*r.port);
  ReleaseSerialChannel(*r.channel);
  ReleaseNodeState(*r.node);
  UnregisterPortName(r.id);
  ReleaseTick();
  if (LinkPortCount() == 0) {
    CaptureStop();
  }
  return receiverKnown && threadsClosed && portClosed ? 0 : 1;
}

uint8_t TarnixLink_SendFrameEx(const char* portName, uint8_t destination, const uint8_t* data,
                               uint16_t length, uint8_t expectReply, uint16_t timeout) {
  const Records r = Lookup(portName);
  if (r.node == nullptr) {
    return 1;
  }
  // A receiver takes no more than this, and the resend copy has no room for it.
  if (length > kMaxDataLength || (length > 0 && data == nullptr)) {
    return 1;
  }
  if (expectReply == 0) {
    return TransmitFrame(r.id, kFrameDataNotExpectingReply, destination, data, length);
  }
  const uint8_t result = TransmitFrame(r.id, kFrameDataExpectingReply, destination, data, length);
  const uint16_t wait = ReplyWaitFor(timeout);
  r.node->ReplyTimeout = wait;
  r.node->FrameAbortTimeout = wait;
  return result;
}

uint8_t TarnixLink_SendFrame(const char* portName, uint8_t destination, const uint8_t* data,
                             uint16_t length, uint8_t expectReply) {
  return TarnixLink_SendFrameEx(portName, destination, data, length, expectReply, kSendFrameTimeout);
}

uint8_t TarnixLink_SetMaxRequestResend(const char* portName, uint8_t count) {
  const Records r = Lookup(portName);
  if (r.node == nullptr) {
    return 1;
  }
  r.node->MaxRequestResend = count;
  return 0;
}

uint8_t TarnixLink_GetAddress(const char* portName) {
  const Records r = Lookup(portName);
  return r.node == nullptr ? kNoStation : r.node->ThisStation;
}

void TarnixLink_DisableMasterServices(const char* portName, uint8_t disable) {
  if (const Records r = Lookup(portName); r.port != nullptr) {
    r.port->MasterServicesDisabled = disable != 0 ? 1 : 0;
  }
}

void TarnixLink_DisableMSTPFraming(const char* portName, uint8_t disable) {
  if (const Records r = Lookup(portName); r.port != nullptr) {
    r.port->FramingDisabled = disable != 0 ? 1 : 0;
  }
}

void TarnixLink_EnableImmediateUpcall(const char* portName, uint8_t enable) {
  if (const Records r = Lookup(portName); r.node != nullptr) {
    r.node->ImmediateUpcall = enable != 0 ? 1 : 0;
  }
}

void TarnixLink_SetUpcallDelegate(const char* portName, UpcallDelegate upcall) {
  if (const Records r = Lookup(portName); r.node != nullptr) {
    r.node->Upcall = upcall;
  }
}

void TarnixLink_SetTokenObtainedDelegate(const char* portName, TokenObtainedDelegate tokenObtained) {
  if (const Records r = Lookup(portName); r.node != nullptr) {
    r.node->TokenObtained = tokenObtained;
  }
}

void TarnixLink_CheckSumError(const char* portName) {
  if (const Records r = Lookup(portName); r.port != nullptr) {
    r.port->CorruptNextDataCrc = 1;
  }
}

void TarnixLink_TokenDrop(const char* portName, uint8_t station) {
  if (const Records r = Lookup(portName); r.port != nullptr) {
    r.port->TokenDropAddress = station;
  }
}

void TarnixLink_SetBaud(const char* portName, uint32_t baudRate) {
  if (const Records r = Lookup(portName); r.channel != nullptr) {
    SetPortBaud(r.id, baudRate);
  }
}

void TarnixLink_PacketJam(const char* portName) {
  if (const Records r = Lookup(portName); r.port != nullptr && r.channel != nullptr) {
    StartJam(*r.port, *r.channel);
  }
}

uint8_t TarnixLink_PortLost(const char* portName, char* text, uint32_t size) {
  const Records r = Lookup(portName);
  if (text != nullptr && size > 0) {
    text[0] = '\0';
  }
  if (r.channel == nullptr || r.port == nullptr || r.port->Running.load() == 0) {
    return kNoStation;
  }
  if (r.channel->Lost.load() == 0) {
    return 0;
  }
  if (text != nullptr && size > 0) {
    plat::error_text(r.channel->LostError.load(), text, size);
  }
  return 1;
}

void TarnixLink_StopPacketJam(const char* portName) {
  if (const Records r = Lookup(portName); r.port != nullptr && r.channel != nullptr) {
    StopJam(*r.port, *r.channel);
  }
}
