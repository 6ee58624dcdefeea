// The token-passing side of an emulated controller: an MS/TP master station
// that takes and passes the token, polls for successors, answers polls,
// creates a token after silence and sends the answers its device prepares.
// Time comes only from the caller.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "sim/mstp_frame.h"
#include "sim/node.h"

namespace sim {

struct StationTiming {
  Micros noToken = 500'000;      // silence after which the token is lost
  Micros slot = 10'000;          // per-address step of token creation
  Micros usageTimeout = 50'000;  // wait for a successor to use the token
  Micros turnaround = 1'000;     // quiet time before this station sends
  uint8_t maxMaster = 127;
  uint8_t maxInfoFrames = 1;
};

class MasterStation {
 public:
  enum class State { kIdle, kNoToken, kPollForMaster, kPassToken };

  // Called for a data frame (type 5 to this station, type 6 to this station
  // or broadcast); the device answers through Reply() or Defer().
  using DataHandler = std::function<void(const Frame&, Micros now)>;

  MasterStation(uint8_t address, StationTiming timing, uint32_t baud);

  void SetHandler(DataHandler handler) { handler_ = std::move(handler); }

  // As after power-on: forgets successor and queued frames, starts in IDLE.
  void Restart(uint8_t address, Micros now);

  void OnOctet(uint8_t octet, Micros now);
  void OnTime(Micros now);
  Micros NextWake() const;
  bool TakeOctet(uint8_t* octet);

  // Sends a frame no earlier than `due` (an answer, a Reply Postponed).
  void Reply(uint8_t type, uint8_t dest, std::vector<uint8_t> data, Micros due);
  // Sends data as Data Not Expecting Reply the next time this station holds
  // the token (the answer to a postponed request).
  void Defer(uint8_t dest, std::vector<uint8_t> data);

  // True while this station has frames waiting or octets on the line.
  bool Busy(Micros now) const;

  uint8_t address() const { return ts_; }
  State state() const { return state_; }
  uint8_t nextStation() const { return ns_; }
  bool soleMaster() const { return soleMaster_; }
  uint64_t frames() const { return frames_; }
  uint64_t badFrames() const { return badFrames_; }
  uint64_t tokens() const { return tokens_; }

 private:
  struct Outgoing {
    Micros due;
    std::vector<uint8_t> octets;
  };

  static constexpr unsigned kPollInterval = 50;
  static constexpr unsigned kMinOctets = 4;

  uint8_t After(uint8_t a) const {
    return static_cast<uint8_t>((a + 1u) % (timing_.maxMaster + 1u));
  }
  void Send(uint8_t type, uint8_t dest, Micros now);
  void HandleFrame(const Frame& f, Micros now);
  void UseToken(Micros now);
  void DoneWithToken(Micros now);
  void PollNext(Micros now);
  void Run(Micros now);
  void Release(Micros now);
  Micros OctetTime() const { return 10'000'000 / static_cast<Micros>(baud_); }

  StationTiming timing_;
  uint32_t baud_;
  DataHandler handler_;
  FrameReceiver rx_;

  State state_ = State::kIdle;
  uint8_t ts_;
  uint8_t ns_;
  uint8_t ps_;
  unsigned tokenCount_ = kPollInterval;
  unsigned retryCount_ = 0;
  unsigned eventCount_ = 0;
  bool soleMaster_ = false;

  Micros now_ = 0;
  Micros lastActivity_ = 0;  // end of the last octet on the line
  std::deque<Outgoing> outbox_;
  std::deque<uint8_t> tx_;
  std::deque<Frame> deferred_;

  uint64_t frames_ = 0;
  uint64_t badFrames_ = 0;
  uint64_t tokens_ = 0;
};

}  // namespace sim
