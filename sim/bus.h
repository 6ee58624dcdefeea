// The emulated RS-485 line: every octet a station sends reaches every other
// station (never the sender, as on a half-duplex adapter) when its stop bit
// ends, ten bit times of the sender's speed after it started. The bus runs on
// virtual microseconds only; something else ties them to a real clock.
//
// What a listener hears:
//  - at the sender's speed, the octet as it was on the line;
//  - at another speed, what a UART at that speed samples from the sender's
//    waveform: garbage, but never silence;
//  - when two stations' octets overlap in time, both arrive garbled, and
//    neither sender hears the other's (it does not listen while sending);
//  - a station's driver stays on for its release time after its last octet
//    (Node::DriverRelease): an octet another station starts in that time is
//    driven against the idle line and arrives garbled;
//  - with faults switched on, occasional octets with one bit flipped and
//    whole frames missing. Faults come from a seeded generator, so a run with
//    the same seed and the same traffic damages the same octets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "sim/frame_scanner.h"
#include "sim/node.h"

namespace sim {

struct BusFaults {
  double corrupt_rate = 0.0;  // share of octets carried with one bit flipped
  double loss_rate = 0.0;     // share of frames that no listener hears
  Micros latency = 0;         // extra delay before a delayed station's transmission
  Micros jitter = 0;          // plus a random 0..jitter on top of `latency`
  uint64_t seed = 1;
};

struct BusCounters {
  uint64_t octets = 0;            // octets carried, lost ones included
  uint64_t collided_octets = 0;   // octets that overlapped another station's
  uint64_t corrupted_octets = 0;  // octets damaged by the corruption fault
  uint64_t lost_frames = 0;       // frames dropped by the loss fault
  uint64_t lost_octets = 0;
  uint64_t misrate_octets = 0;    // deliveries to a listener at another speed
  // Transmissions started while another station's driver was still on, each
  // counted once per release time it broke into.
  uint64_t turnaround_damaged = 0;
  uint64_t frames = 0;            // frames seen on the line, good or bad
  uint64_t bad_frames = 0;
};

// Time to send one octet (start, eight data bits, stop) at `baud`, from the
// start of the first octet of a run to the end of octet number `index`
// (counting from 0). Computed from the run's start so that rounding never
// accumulates.
Micros OctetEnd(uint64_t index, uint32_t baud);

// What a UART listening at `listener_baud` makes of one octet sent at
// `sender_baud`: it samples the sender's start bit, data bits, stop bit and
// the idle line after it at the centres of its own bit times.
uint8_t Resample(uint8_t octet, uint32_t sender_baud, uint32_t listener_baud);

class Bus {
 public:
  using FrameSink = std::function<void(const ScannedFrame&)>;

  explicit Bus(BusFaults faults = {});
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;
  ~Bus();

  // Adds a station; the bus does not own it. `delayed` stations have each
  // transmission held back by the latency and jitter faults (used for the
  // emulated controllers, not for the PC's ports). Returns its index.
  size_t Attach(Node* node, bool delayed);

  // Every frame seen on the line, good or bad, in the order its last octet
  // was carried. Frames lost to the loss fault are not seen.
  void SetFrameSink(FrameSink sink);

  // Carries out everything due up to and including `t`, then stands at `t`.
  void RunUntil(Micros t);
  // Lets idle stations start sending what they queued since the last step,
  // at the current time (used after feeding a station from outside).
  void Service();
  // Reports a frame that is still on the line as broken off.
  void Flush();

  Micros Now() const { return now_; }
  // When something is next due: an octet ends, a delayed transmission
  // starts, or a station asked to be woken. kNever when nothing is.
  Micros NextEvent() const;

  const BusCounters& Counters() const { return counters_; }

 private:
  struct Station;
  class Random;

  void Step(Micros t);
  void StartOctets();
  void StartOctet(Station& station, uint8_t octet);
  void Complete(size_t index);
  uint8_t LineOctet(Station& station);
  // The end of the release time of another station's driver that is still
  // on at the current time, or -1 when none is.
  Micros DriverStillOn(const Station& sender) const;
  Micros Delay();

  BusFaults faults_;
  std::vector<std::unique_ptr<Station>> stations_;
  std::unique_ptr<Random> corrupt_random_;
  std::unique_ptr<Random> loss_random_;
  std::unique_ptr<Random> delay_random_;
  FrameScanner line_;
  FrameSink sink_;
  BusCounters counters_;
  Micros now_ = 0;
  Micros last_step_ = -1;
};

}  // namespace sim
