// The link's per-port records, kept in fixed tables of eight slots (ports.h).
// Fields touched by more than one thread are atomics: the three timers are
// read from the clock (link_clock.h) and set by the master thread and by
// passive-mode senders; the exported setters write flags and delegates that
// the master thread reads at its next step.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "link/link_clock.h"
#include "link/tarnix_link.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace tarnix {

inline constexpr int kPortSlots = 8;
inline constexpr int kNameLength = 32;
inline constexpr uint16_t kMaxDataLength = 501;
inline constexpr uint8_t kNoStation = 255;

struct PortNameEntry {
  uint8_t PortId = 0;  // 0: entry free
  char Name[kNameLength + 1] = {};
};

struct LinkPort {
  std::atomic<uint8_t> PortId{0};
  std::atomic<uint32_t> Running{0};
  std::atomic<uint8_t> StopRequested{0};
  // Set once the master thread has ended: the receiver keeps reading until
  // then, so that a token held at the stop can still be passed on.
  std::atomic<uint8_t> MasterDone{0};
  plat::SemHandle ByteReady = nullptr;
  plat::SemHandle ByteConsumed = nullptr;
  plat::ThreadHandle ReceiverThread = nullptr;
  plat::ThreadHandle MasterThread = nullptr;
  plat::ThreadHandle JamThread = nullptr;
  std::atomic<uint8_t> JamActive{0};
  std::atomic<uint8_t> CorruptNextDataCrc{0};
  std::atomic<uint8_t> TokenDropAddress{kNoStation};
  std::atomic<uint32_t> MasterServicesDisabled{0};
  std::atomic<uint32_t> FramingDisabled{0};
  // Asks the jam thread to end; it is joined, never killed.
  std::atomic<uint8_t> JamStop{0};
  // The thread that took IoLock for the jam, the only one that may leave it.
  std::atomic<std::thread::id> JamOwner{};
  // Set by the master thread once its reset (which purges the port) is done.
  std::atomic<uint8_t> MasterReady{0};
};

// Longest block the receiver thread reads at once.
inline constexpr uint16_t kReadBlockSize = 512;

struct SerialChannel {
  std::atomic<uint8_t> PortId{0};
  std::atomic<uint32_t> Active{0};
  // The octet the receive step is working on, taken from Block.
  uint8_t RxByte = 0;
  uint8_t RxAvailable = 0;
  uint8_t RxError = 0;
  // The block the receiver thread read last, handed to the master thread
  // through ByteReady / ByteConsumed, which order the accesses. Octets from
  // BlockNext on have not been through the receive step yet: they are the
  // port's pending input as far as the transmit gates are concerned.
  uint8_t Block[kReadBlockSize] = {};
  // The master thread, the only one that may look at the block.
  std::atomic<std::thread::id> MasterThreadId{};
  uint16_t BlockLength = 0;
  uint16_t BlockNext = 0;
  uint8_t BlockError = 0;  // the port reported a line error with the block
  // Set by the master thread before it hands the receiver back its turn: how
  // many octets finish the frame under way (0: none is), so that the next
  // read waits for all of them at once.
  uint16_t Expect = 0;
  // Also set by the master thread: how long the next read may wait for the
  // first octets before the master machine has to run.
  uint32_t WaitMs = 1;
  // Also set by the master thread: frames addressed to other stations may be
  // held back until the next frame has come (the machine is only listening).
  uint8_t MayLinger = 0;
  uint8_t ThisStation = 0;  // the station's address, for that look at headers
  // Microseconds one octet takes on the line at the port's speed.
  std::atomic<uint32_t> OctetMicros{0};
  // Monotonic microseconds at which this station's last frame has left the
  // line (as far as its length and the speed tell).
  std::atomic<int64_t> LineBusyUntil{0};
  // The port failed a read or write: the device has gone. LostError is the
  // system's code, written before Lost is set.
  std::atomic<uint8_t> Lost{0};
  std::atomic<uint32_t> LostError{0};
  plat::CriticalSection IoLock{};
  bool IoLockReady = false;  // IoLock initialised and not yet destroyed
  plat::SerialHandle Handle = nullptr;
};

struct SavedRequest {
  uint8_t Data[kMaxDataLength + 1] = {};
  uint16_t Length = 0;
  uint8_t Destination = 0;
  uint8_t FrameType = 0;
};

// The frame the receiver is taking in, kept for the capture file: the octets
// from the preamble on, and for a frame addressed to another station (whose
// data the receiver does not take) how many of its octets are still to come.
struct RxCapture {
  uint8_t Octets[8 + kMaxDataLength + 2] = {};
  uint16_t Count = 0;
  uint16_t Trailing = 0;
  int64_t StartMicros = 0;  // when the frame's first octet was read
};

enum ReceiveStates : uint8_t {
  kRxIdle = 0,
  kRxPreamble = 1,
  kRxHeader = 2,
  kRxHeaderCrc = 3,
  kRxData = 4,
  kRxDataCrc = 5,
};

enum MasterStates : uint8_t {
  kMsIdle = 1,
  kMsNoToken = 2,
  kMsPollForMaster = 3,
  kMsPassToken = 4,
  kMsUseToken = 5,
  kMsWaitForReply = 6,
  kMsDoneWithToken = 7,
};

enum FrameTypes : uint8_t {
  kFrameToken = 0,
  kFramePollForMaster = 1,
  kFrameReplyToPoll = 2,
  kFrameTestRequest = 3,
  kFrameTestResponse = 4,
  kFrameDataExpectingReply = 5,
  kFrameDataNotExpectingReply = 6,
  kFrameReplyPostponed = 7,
};

struct NodeState {
  std::atomic<uint8_t> PortId{0};
  std::atomic<uint32_t> Active{0};
  std::atomic<TokenObtainedDelegate> TokenObtained{nullptr};
  std::atomic<UpcallDelegate> Upcall{nullptr};
  uint8_t MaxMaster = 0;
  uint8_t MaxInfoFrames = 1;
  MsTimer SilenceTimer;
  MsTimer ReplyDelayTimer;
  MsTimer TokenAgeTimer;
  uint8_t ThisStation = 0;
  uint16_t DataCrc = 0;
  uint16_t DataLength = 0;
  uint8_t DestinationAddress = 0;
  uint16_t EventCount = 0;
  uint8_t FrameType = 0;
  uint8_t FrameCount = 0;
  uint8_t HeaderCrc = 0;
  uint16_t Index = 0;
  uint8_t InputBuffer[kMaxDataLength] = {};
  uint8_t NextStation = 0;
  uint8_t PollStation = 0;
  uint8_t ReceivedInvalidFrame = 0;
  uint8_t ReceivedValidFrame = 0;
  uint8_t RetryCount = 0;
  std::atomic<uint16_t> ReplyTimeout{125};
  std::atomic<uint16_t> FrameAbortTimeout{125};
  uint8_t SoleMaster = 0;
  uint8_t SourceAddress = 0;
  uint8_t TokenCount = 0;
  uint8_t WatchForActivity = 0;
  uint8_t NoReplyPending = 1;
  uint8_t Answering = 0;
  uint8_t MoreToSend = 1;
  uint8_t TokenFresh = 0;
  uint8_t ReceiveState = kRxIdle;
  uint8_t MasterState = kMsIdle;
  // The station last heard passing a token to another (kNoStation: none yet),
  // to whom a station without a successor hands the token when its port closes.
  uint8_t TokenSeenFrom = kNoStation;
  // The station holds the token but its last frame was refused: it tries
  // again once the line is quiet, for at most the usage time-out since the
  // first refusal (PassHeldTimer).
  uint8_t PassHeldBack = 0;
  MsTimer PassHeldTimer;
  std::atomic<uint8_t> ImmediateUpcall{0};
  std::atomic<uint8_t> MaxRequestResend{0};
  uint8_t ResendCount = 0;
  uint32_t ResendPending = 0;
  SavedRequest RequestBuffer;
  // Set at Init when the process writes a capture file; only then is
  // RxCapture filled.
  uint8_t CaptureOn = 0;
  RxCapture Capture;
};

}  // namespace tarnix
