// A port of the emulated bus as the PC sees it: a pseudo-terminal whose
// slave side is reached through a link such as DIR/com1. Octets the PC
// writes go onto the bus at the speed the PC set on its port; octets from
// the bus are written to the PC when their stop bit ends on the bus, or, as a
// USB-RS485 adapter hands them over, in packets (SetBatching).
//
// The link keeps working when the PC closes the port and opens it again. As
// a serial port does at its last close, the port sheds what the last program
// left on it (its exclusive-use flag above all): when the last program with
// the slave open goes away, the endpoint moves to a fresh pseudo-terminal and
// re-links the port to it, its place on the bus unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <termios.h>

#include "sim/node.h"
#include "sim/scenario.h"

namespace sim {

// Line speed in baud for a termios speed code; 0 for codes it does not know.
uint32_t BaudOfSpeedCode(speed_t code);

class PtyEndpoint : public Node {
 public:
  // Creates the pseudo-terminal in raw mode at `baud`, to be linked as
  // `link_path` by Publish(). Returns null with a message on failure.
  static std::unique_ptr<PtyEndpoint> Create(const std::string& link_path, uint32_t baud,
                                             std::string* error);
  PtyEndpoint(const PtyEndpoint&) = delete;
  PtyEndpoint& operator=(const PtyEndpoint&) = delete;
  // Removes the link (if it still points at this endpoint) and closes the
  // master side.
  ~PtyEndpoint() override;

  // Links the slave as LinkPath(), creating its directory if needed and
  // replacing a stale link in one step, so that a program waiting for the
  // link never sees it half made.
  bool Publish(std::string* error);

  const std::string& LinkPath() const { return link_path_; }
  const std::string& SlavePath() const { return slave_path_; }
  int MasterFd() const { return master_; }

  // Whether a program has the slave side open; checked anew on each call.
  // Octets from the bus are only written while one does. When the last
  // program has just closed the port, the endpoint is renewed.
  bool RefreshAttached();
  bool Attached() const { return attached_; }

  // Reads what the PC has written so far; returns the number of octets.
  size_t ReadInput();

  // Octets from the bus reach the PC in packets: once `packet` of them have
  // gathered, or the adapter's latency after the first of them arrived.
  // A latency of 0 (the default) hands over each octet as its stop bit ends.
  void SetBatching(const AdapterBatching& batching);

  uint32_t Baud() const override;
  void OnOctet(uint8_t octet, Micros now) override;
  void OnTime(Micros now) override;
  Micros NextWake() const override;
  bool TakeOctet(uint8_t* octet) override;

  uint64_t OctetsIn() const { return octets_in_; }
  uint64_t OctetsOut() const { return octets_out_; }
  // Octets from the bus that the PC did not take (its input was full).
  uint64_t OctetsDropped() const { return octets_dropped_; }
  // How many times octets were handed to the PC (once per packet).
  uint64_t PacketsOut() const { return packets_out_; }
  // How often the port was moved to a fresh pseudo-terminal.
  uint64_t Renewals() const { return renewals_; }

 private:
  PtyEndpoint(int master, std::string slave_path, std::string link_path, uint32_t baud);
  // Points the link at `slave_path` in one step.
  bool Link(const std::string& slave_path, std::string* error) const;
  // Replaces the pseudo-terminal with a fresh one and re-links the port to
  // it; false (the old one kept) when that cannot be done.
  bool Renew();
  // Writes octets to the PC and counts what it took.
  void Deliver(const uint8_t* octets, size_t count);
  // Hands the gathered packet to the PC (while a program has the port open)
  // and starts the next one.
  void HandOver();

  int master_;
  std::string slave_path_;
  std::string link_path_;
  bool published_ = false;
  bool attached_ = false;
  uint32_t fallback_baud_;
  std::deque<uint8_t> input_;
  Micros latency_ = 0;
  size_t packet_size_ = 1;
  std::vector<uint8_t> packet_;
  Micros packet_due_ = kNever;  // when the latency of the packet runs out
  uint64_t octets_in_ = 0;
  uint64_t octets_out_ = 0;
  uint64_t octets_dropped_ = 0;
  uint64_t packets_out_ = 0;
  uint64_t renewals_ = 0;
};

}  // namespace sim
