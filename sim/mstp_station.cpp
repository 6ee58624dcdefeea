#include "sim/mstp_station.h"

#include <algorithm>

namespace sim {

MasterStation::MasterStation(uint8_t address, StationTiming timing, uint32_t baud)
    : timing_(timing), baud_(baud), ts_(address), ns_(address), ps_(address) {}

void MasterStation::Restart(uint8_t address, Micros now) {
  ts_ = ns_ = ps_ = address;
  state_ = State::kIdle;
  tokenCount_ = kPollInterval;
  retryCount_ = 0;
  eventCount_ = 0;
  soleMaster_ = false;
  outbox_.clear();
  tx_.clear();
  deferred_.clear();
  rx_.Clear();
  now_ = now;
  lastActivity_ = now;
}

void MasterStation::Reply(uint8_t type, uint8_t dest, std::vector<uint8_t> data, Micros due) {
  outbox_.push_back({due, EncodeFrame(type, dest, ts_, data)});
  lastActivity_ = std::max(lastActivity_, due);
}

void MasterStation::Defer(uint8_t dest, std::vector<uint8_t> data) {
  deferred_.push_back({kDataNotExpectingReply, dest, ts_, std::move(data)});
}

void MasterStation::Send(uint8_t type, uint8_t dest, Micros now) {
  // Wait out the turnaround after the last octet heard before driving the line.
  Micros due = std::max(now, lastActivity_ + timing_.turnaround);
  Reply(type, dest, {}, due);
}

bool MasterStation::Busy(Micros now) const {
  return !outbox_.empty() || !tx_.empty() || now < lastActivity_;
}

void MasterStation::Release(Micros now) {
  while (tx_.empty() && !outbox_.empty() && outbox_.front().due <= now) {
    tx_.assign(outbox_.front().octets.begin(), outbox_.front().octets.end());
    outbox_.pop_front();
  }
}

bool MasterStation::TakeOctet(uint8_t* octet) {
  if (tx_.empty()) return false;
  *octet = tx_.front();
  tx_.pop_front();
  // Silence is measured from the end of this station's own last octet too.
  lastActivity_ = std::max(lastActivity_, now_) + OctetTime();
  Release(now_);
  return true;
}

void MasterStation::OnOctet(uint8_t octet, Micros now) {
  now_ = now;
  lastActivity_ = std::max(lastActivity_, now);
  ++eventCount_;
  switch (rx_.Push(octet, now)) {
    case FrameReceiver::Result::kValid:
      ++frames_;
      HandleFrame(rx_.frame(), now);
      break;
    case FrameReceiver::Result::kInvalid:
      ++badFrames_;
      break;
    case FrameReceiver::Result::kNone:
      break;
  }
  // Another station is using the line: whatever this station waited for
  // (token creation, a successor's first frame) is settled.
  if ((state_ == State::kNoToken || state_ == State::kPassToken) && eventCount_ > kMinOctets) {
    state_ = State::kIdle;
  }
  Release(now);
}

void MasterStation::HandleFrame(const Frame& f, Micros now) {
  if (state_ == State::kPollForMaster && f.dest == ts_ && f.type == kReplyToPoll) {
    soleMaster_ = false;
    ns_ = f.src;
    eventCount_ = 0;
    Send(kToken, ns_, now);
    ps_ = ts_;
    tokenCount_ = 0;
    retryCount_ = 0;
    state_ = State::kPassToken;
    return;
  }
  state_ = State::kIdle;
  if (f.dest == ts_ && f.type == kToken) {
    ++tokens_;
    soleMaster_ = false;
    UseToken(now);
  } else if (f.dest == ts_ && f.type == kPollForMaster) {
    Send(kReplyToPoll, f.src, now);
  } else if (f.dest == ts_ && f.type == kDataExpectingReply) {
    if (handler_) handler_(f, now);
  } else if ((f.dest == ts_ || f.dest == kBroadcast) && f.type == kDataNotExpectingReply) {
    if (handler_) handler_(f, now);
  }
}

void MasterStation::UseToken(Micros now) {
  for (unsigned sent = 0; sent < timing_.maxInfoFrames && !deferred_.empty(); ++sent) {
    const Frame& f = deferred_.front();
    Reply(f.type, f.dest, f.data, std::max(now, lastActivity_ + timing_.turnaround));
    deferred_.pop_front();
  }
  DoneWithToken(now);
}

void MasterStation::DoneWithToken(Micros now) {
  // A sole master with nothing to send would hold the token for the rest of
  // the poll interval without anything happening; go straight to its poll.
  if (soleMaster_) tokenCount_ = std::max(tokenCount_, kPollInterval - 1);
  if ((tokenCount_ < kPollInterval - 1 && !soleMaster_) || ns_ == After(ts_)) {
    ++tokenCount_;
    Send(kToken, ns_, now);
    retryCount_ = 0;
    eventCount_ = 0;
    state_ = State::kPassToken;
  } else if (After(ps_) != ns_) {
    ps_ = After(ps_);
    Send(kPollForMaster, ps_, now);
    retryCount_ = 0;
    eventCount_ = 0;
    state_ = State::kPollForMaster;
  } else if (!soleMaster_) {
    ps_ = ts_;
    Send(kToken, ns_, now);
    retryCount_ = 0;
    tokenCount_ = 1;
    eventCount_ = 0;
    state_ = State::kPassToken;
  } else {
    ps_ = After(ns_);
    Send(kPollForMaster, ps_, now);
    ns_ = ts_;
    retryCount_ = 0;
    tokenCount_ = 1;
    eventCount_ = 0;
    state_ = State::kPollForMaster;
  }
}

void MasterStation::PollNext(Micros now) {
  ps_ = After(ps_);
  Send(kPollForMaster, ps_, now);
  retryCount_ = 0;
  eventCount_ = 0;
}

void MasterStation::Run(Micros now) {
  if (Busy(now)) return;
  Micros silence = now - lastActivity_;
  switch (state_) {
    case State::kIdle:
      if (silence >= timing_.noToken) {
        state_ = State::kNoToken;
        eventCount_ = 0;
        Run(now);
      }
      return;
    case State::kNoToken:
      if (silence >= timing_.noToken + timing_.slot * ts_) {
        ps_ = ts_;
        ns_ = ts_;
        tokenCount_ = 0;
        state_ = State::kPollForMaster;
        PollNext(now);
      }
      return;
    case State::kPollForMaster:
      if (silence < timing_.usageTimeout) return;
      if (soleMaster_) {
        UseToken(now);
      } else if (ns_ != ts_) {
        eventCount_ = 0;
        Send(kToken, ns_, now);
        retryCount_ = 0;
        state_ = State::kPassToken;
      } else if (After(ps_) != ts_) {
        PollNext(now);
      } else {
        soleMaster_ = true;
        UseToken(now);
      }
      return;
    case State::kPassToken:
      if (silence < timing_.usageTimeout) return;
      if (retryCount_ < 1) {
        ++retryCount_;
        Send(kToken, ns_, now);
        eventCount_ = 0;
      } else {
        ps_ = ns_;
        ns_ = ts_;
        tokenCount_ = 0;
        state_ = State::kPollForMaster;
        PollNext(now);
      }
      return;
  }
}

void MasterStation::OnTime(Micros now) {
  now_ = now;
  Release(now);
  Run(now);
  Release(now);
}

Micros MasterStation::NextWake() const {
  if (!tx_.empty()) return kNever;
  if (!outbox_.empty()) return outbox_.front().due;
  if (now_ < lastActivity_) return lastActivity_;
  switch (state_) {
    case State::kIdle:
      return lastActivity_ + timing_.noToken;
    case State::kNoToken:
      return lastActivity_ + timing_.noToken + timing_.slot * ts_;
    case State::kPollForMaster:
    case State::kPassToken:
      return lastActivity_ + timing_.usageTimeout;
  }
  return kNever;
}

}  // namespace sim
