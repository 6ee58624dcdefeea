// A station of the emulated bus as the bus sees it: it hears octets, it is
// given the time, and it hands over the octets it wants to send. Bus time is
// virtual microseconds that the bus keeps in step with the real clock.
#pragma once

#include <cstdint>
#include <limits>

namespace sim {

using Micros = int64_t;
inline constexpr Micros kNever = std::numeric_limits<Micros>::max();

class Node {
 public:
  virtual ~Node() = default;

  // Line speed the node listens and sends at; an octet sent at another speed
  // reaches it garbled.
  virtual uint32_t Baud() const = 0;

  // One octet heard on the line, complete at `now` (the end of its stop bit).
  virtual void OnOctet(uint8_t octet, Micros now) = 0;

  // Time has reached `now`. Called after every octet the bus carries and at
  // the node's own NextWake(); the node may queue octets to send.
  virtual void OnTime(Micros now) = 0;

  // The earliest time at which the node needs OnTime() with no octet heard
  // before it (a silence time-out, a delayed answer); kNever when none.
  virtual Micros NextWake() const = 0;

  // The next octet the node has queued, if any. The bus takes one octet per
  // octet time while the node has some queued.
  virtual bool TakeOctet(uint8_t* octet) = 0;

  // How long the node's line driver stays on after its last octet has left
  // the line. Another station that starts sending sooner drives against it.
  virtual Micros DriverRelease() const { return 0; }
};

}  // namespace sim
