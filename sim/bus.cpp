#include "sim/bus.h"

#include <algorithm>
#include <utility>

namespace sim {

namespace {

constexpr uint64_t kBitsPerOctet = 10;
constexpr uint64_t kMicrosPerSecond = 1'000'000;
// Below this the line would take longer than a second per bit; a station
// reporting such a speed is treated as sending at it anyway, never at zero.
constexpr uint32_t kSlowestBaud = 1;

uint32_t SaneBaud(uint32_t baud) { return std::max(baud, kSlowestBaud); }

}  // namespace

// SplitMix64: small, fast, and the same on every platform and standard
// library, which the reproducibility of the faults depends on.
class Bus::Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}

  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  bool Chance(double rate) { return rate > 0.0 && Unit() < rate; }

 private:
  uint64_t state_;
};

struct Bus::Station {
  Station(Node* n, bool d) : node(n), delayed(d), frames([](const ScannedFrame&) {}) {}

  Node* node;
  bool delayed;

  // The octet on the line (sending) or taken and waiting for its delayed
  // start (pending).
  bool sending = false;
  bool pending = false;
  uint8_t octet = 0;
  Micros start = 0;
  Micros end = 0;
  uint32_t baud = 0;
  bool collided = false;
  uint8_t clash = 0;  // the other octets it overlapped, ORed together
  bool overdriven = false;  // started while another station's driver was on
  // The release time (by its end) this station was last counted breaking into.
  Micros counted_release = -1;

  // Octets sent back to back form a run, timed from the run's first octet.
  Micros run_start = 0;
  uint64_t run_index = 0;
  uint32_t run_baud = 0;
  Micros last_end = -1;

  // Where this station's own frames begin and end, for the loss fault.
  FrameScanner frames;
  bool dropping = false;
};

Micros OctetEnd(uint64_t index, uint32_t baud) {
  const uint64_t rate = SaneBaud(baud);
  const uint64_t bits = (index + 1) * kBitsPerOctet * kMicrosPerSecond;
  return static_cast<Micros>((bits + rate / 2) / rate);
}

uint8_t Resample(uint8_t octet, uint32_t sender_baud, uint32_t listener_baud) {
  const uint64_t sender = SaneBaud(sender_baud);
  const uint64_t listener = SaneBaud(listener_baud);
  // Sender bit i covers [i, i + 1) sender bit times: 0 is the start bit,
  // 1 to 8 the data bits from the least significant, 9 the stop bit and
  // everything after it idle line (1).
  auto level = [octet](uint64_t bit) -> unsigned {
    if (bit == 0) return 0;
    if (bit <= 8) return (static_cast<unsigned>(octet) >> (bit - 1)) & 1u;
    return 1;
  };
  unsigned value = 0;
  for (uint64_t j = 1; j <= 8; ++j) {
    // Centre of the listener's bit j, in sender bit times.
    const uint64_t bit = (2 * j + 1) * sender / (2 * listener);
    value |= level(bit) << (j - 1);
  }
  return static_cast<uint8_t>(value);
}

Bus::Bus(BusFaults faults)
    : faults_(faults),
      corrupt_random_(std::make_unique<Random>(faults.seed ^ 0x636F7272757074ull)),
      loss_random_(std::make_unique<Random>(faults.seed ^ 0x6C6F7373ull)),
      delay_random_(std::make_unique<Random>(faults.seed ^ 0x64656C6179ull)),
      line_([this](const ScannedFrame& frame) {
        ++counters_.frames;
        if (!frame.Good()) ++counters_.bad_frames;
        if (sink_) sink_(frame);
      }) {}

Bus::~Bus() = default;

size_t Bus::Attach(Node* node, bool delayed) {
  stations_.push_back(std::make_unique<Station>(node, delayed));
  return stations_.size() - 1;
}

void Bus::SetFrameSink(FrameSink sink) { sink_ = std::move(sink); }

Micros Bus::NextEvent() const {
  // A station asking for a time already passed gets the earliest time still
  // open: now, unless now has had its step, so that a station that keeps
  // asking cannot stall the bus.
  const Micros earliest = last_step_ == now_ ? now_ + 1 : now_;
  Micros next = kNever;
  for (const auto& station : stations_) {
    if (station->sending) next = std::min(next, station->end);
    if (station->pending) next = std::min(next, station->start);
    const Micros wake = station->node->NextWake();
    if (wake != kNever) next = std::min(next, std::max(wake, earliest));
  }
  return next;
}

void Bus::RunUntil(Micros t) {
  for (Micros next = NextEvent(); next <= t; next = NextEvent()) Step(next);
  now_ = std::max(now_, t);
}

void Bus::Service() { StartOctets(); }

void Bus::Flush() { line_.Flush(); }

void Bus::Step(Micros t) {
  now_ = t;
  last_step_ = t;
  bool carried = false;
  for (size_t i = 0; i < stations_.size(); ++i) {
    if (stations_[i]->sending && stations_[i]->end == t) {
      Complete(i);
      carried = true;
    }
  }
  for (const auto& station : stations_) {
    if (carried || station->node->NextWake() <= t) station->node->OnTime(t);
  }
  for (const auto& station : stations_) {
    if (station->pending && station->start == t) {
      station->pending = false;
      StartOctet(*station, station->octet);
    }
  }
  StartOctets();
}

void Bus::StartOctets() {
  const bool delays = faults_.latency > 0 || faults_.jitter > 0;
  for (const auto& station : stations_) {
    if (station->sending || station->pending) continue;
    uint8_t octet = 0;
    if (!station->node->TakeOctet(&octet)) continue;
    const bool follows_on = station->last_end == now_;
    if (station->delayed && delays && !follows_on) {
      station->pending = true;
      station->octet = octet;
      station->start = now_ + Delay();
    } else {
      StartOctet(*station, octet);
    }
  }
}

void Bus::StartOctet(Station& station, uint8_t octet) {
  const uint32_t baud = SaneBaud(station.node->Baud());
  if (station.last_end == now_ && station.run_baud == baud) {
    ++station.run_index;
  } else {
    station.run_start = now_;
    station.run_index = 0;
    station.run_baud = baud;
  }
  station.sending = true;
  station.octet = octet;
  station.baud = baud;
  station.start = now_;
  station.end = station.run_start + OctetEnd(station.run_index, baud);
  station.collided = false;
  station.clash = 0;
  const Micros release_end = DriverStillOn(station);
  station.overdriven = release_end >= 0;
  if (station.overdriven && station.counted_release != release_end) {
    ++counters_.turnaround_damaged;
    station.counted_release = release_end;
  }
  for (const auto& other : stations_) {
    if (other.get() == &station || !other->sending) continue;
    other->collided = true;
    other->clash = static_cast<uint8_t>(other->clash | octet);
    station.collided = true;
    station.clash = static_cast<uint8_t>(station.clash | other->octet);
  }
}

Micros Bus::DriverStillOn(const Station& sender) const {
  Micros release_end = -1;
  for (const auto& other : stations_) {
    // A station still sending is a collision, not a late release.
    if (other.get() == &sender || other->sending || other->last_end < 0) continue;
    const Micros end = other->last_end + other->node->DriverRelease();
    if (now_ < end) release_end = std::max(release_end, end);
  }
  return release_end;
}

uint8_t Bus::LineOctet(Station& station) {
  uint8_t damage = 0;
  if (station.collided) {
    ++counters_.collided_octets;
    damage = static_cast<uint8_t>(station.clash | 0x01);
  }
  // A driver still on holds the line idle (all ones) against the octet.
  if (station.overdriven) damage = 0xFF;
  uint8_t value = static_cast<uint8_t>(station.octet ^ damage);
  if (corrupt_random_->Chance(faults_.corrupt_rate)) {
    ++counters_.corrupted_octets;
    value = static_cast<uint8_t>(value ^ (1u << (corrupt_random_->Next() >> 61)));
  }
  return value;
}

void Bus::Complete(size_t index) {
  Station& station = *stations_[index];
  station.sending = false;
  station.last_end = now_;
  ++counters_.octets;
  const uint8_t value = LineOctet(station);

  // The loss fault works on the frames the station meant to send, so it is
  // decided from its own octets, before the line damaged them.
  const uint8_t sent = station.octet;
  if (!station.frames.InFrame() && sent == 0x55) {
    station.dropping = loss_random_->Chance(faults_.loss_rate);
  }
  bool drop = station.dropping;
  if (station.frames.AwaitingSecondPreamble() && sent != 0xFF && sent != 0x55) {
    drop = false;  // the 0x55 before it did not open a frame after all
  }
  if (station.dropping && station.frames.AwaitingSecondPreamble() && sent == 0xFF) {
    ++counters_.lost_frames;
  }
  station.frames.Feed(sent, now_);
  if (!station.frames.InFrame()) station.dropping = false;
  if (drop) {
    ++counters_.lost_octets;
    return;
  }

  line_.Feed(value, now_);
  for (size_t i = 0; i < stations_.size(); ++i) {
    if (i == index) continue;
    // A half-duplex adapter does not listen while it drives the line, so a
    // station that was sending during any part of this octet misses it.
    const Station& other = *stations_[i];
    if (other.sending || other.last_end > station.start) continue;
    Node* listener = other.node;
    const uint32_t baud = SaneBaud(listener->Baud());
    if (baud == station.baud) {
      listener->OnOctet(value, now_);
    } else {
      ++counters_.misrate_octets;
      listener->OnOctet(Resample(value, station.baud, baud), now_);
    }
  }
}

Micros Bus::Delay() {
  Micros delay = faults_.latency;
  if (faults_.jitter > 0) {
    delay += static_cast<Micros>(delay_random_->Next() % static_cast<uint64_t>(faults_.jitter + 1));
  }
  return std::max<Micros>(delay, 1);
}

}  // namespace sim
