#include "sim/pty_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

namespace sim {

namespace {

struct SpeedCode {
  speed_t code;
  uint32_t baud;
};

constexpr std::array kSpeeds{
    SpeedCode{B300, 300},       SpeedCode{B600, 600},       SpeedCode{B1200, 1200},
    SpeedCode{B2400, 2400},     SpeedCode{B4800, 4800},     SpeedCode{B9600, 9600},
    SpeedCode{B19200, 19200},   SpeedCode{B38400, 38400},   SpeedCode{B57600, 57600},
    SpeedCode{B115200, 115200}, SpeedCode{B230400, 230400},
};

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Makes a raw pseudo-terminal at `baud`; returns its master side (or -1
// with a message) and the path of its slave side.
int OpenPty(uint32_t baud, std::string* slave_path, std::string* error) {
  speed_t code = B0;
  for (const SpeedCode& speed : kSpeeds) {
    if (speed.baud == baud) code = speed.code;
  }
  if (code == B0) {
    *error = "unsupported line speed " + std::to_string(baud);
    return -1;
  }
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0) {
    *error = Errno("posix_openpt");
    return -1;
  }
  std::array<char, 128> name{};
  if (grantpt(master) != 0 || unlockpt(master) != 0 ||
      ptsname_r(master, name.data(), name.size()) != 0) {
    *error = Errno("pseudo-terminal setup");
    close(master);
    return -1;
  }
  // Open the slave once to give it raw line settings (they stay with the
  // terminal) and close it again: from then on the master reports a hang-up
  // exactly while no program has the slave open.
  const int slave = open(name.data(), O_RDWR | O_NOCTTY);
  termios settings{};
  if (slave < 0 || tcgetattr(slave, &settings) != 0) {
    *error = Errno(std::string("opening ") + name.data());
    if (slave >= 0) close(slave);
    close(master);
    return -1;
  }
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&settings, code);
  cfsetospeed(&settings, code);
  const bool set = tcsetattr(slave, TCSANOW, &settings) == 0;
  close(slave);
  if (!set) {
    *error = Errno(std::string("setting up ") + name.data());
    close(master);
    return -1;
  }
  *slave_path = name.data();
  return master;
}

bool HungUp(int master) {
  pollfd fd{master, 0, 0};
  return poll(&fd, 1, 0) > 0 && (fd.revents & POLLHUP) != 0;
}

// Whether a terminal nobody has open still carries the exclusive-use flag.
// Without privileges the open itself is refused for it; with them, the flag
// is read.
bool ExclusiveLeft(const std::string& slave_path) {
  const int fd = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno == EBUSY;
  int exclusive = 0;
  const bool left = ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
  close(fd);
  return left;
}

}  // namespace

uint32_t BaudOfSpeedCode(speed_t code) {
  for (const SpeedCode& speed : kSpeeds) {
    if (speed.code == code) return speed.baud;
  }
  return 0;
}

std::unique_ptr<PtyEndpoint> PtyEndpoint::Create(const std::string& link_path, uint32_t baud,
                                                 std::string* error) {
  std::string slave_path;
  const int master = OpenPty(baud, &slave_path, error);
  if (master < 0) return nullptr;
  return std::unique_ptr<PtyEndpoint>(new PtyEndpoint(master, slave_path, link_path, baud));
}

PtyEndpoint::PtyEndpoint(int master, std::string slave_path, std::string link_path, uint32_t baud)
    : master_(master),
      slave_path_(std::move(slave_path)),
      link_path_(std::move(link_path)),
      fallback_baud_(baud) {}

PtyEndpoint::~PtyEndpoint() {
  if (published_) {
    std::error_code ec;
    if (std::filesystem::read_symlink(link_path_, ec) == slave_path_) {
      std::filesystem::remove(link_path_, ec);
    }
  }
  close(master_);
}

bool PtyEndpoint::Publish(std::string* error) {
  if (!Link(slave_path_, error)) return false;
  published_ = true;
  return true;
}

bool PtyEndpoint::Link(const std::string& slave_path, std::string* error) const {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path link(link_path_);
  if (link.has_parent_path()) fs::create_directories(link.parent_path(), ec);
  if (ec) {
    *error = "cannot create " + link.parent_path().string() + ": " + ec.message();
    return false;
  }
  const fs::path temporary = link_path_ + ".new" + std::to_string(getpid());
  fs::remove(temporary, ec);
  fs::create_symlink(slave_path, temporary, ec);
  if (!ec) fs::rename(temporary, link, ec);
  if (ec) {
    fs::remove(temporary, ec);
    *error = "cannot link " + link_path_ + " to " + slave_path;
    return false;
  }
  return true;
}

bool PtyEndpoint::RefreshAttached() {
  attached_ = !HungUp(master_);
  // Nobody to hand them to: octets gathered for the PC are not kept.
  if (!attached_) {
    packet_.clear();
    packet_due_ = kNever;
  }
  // Only a flag left behind calls for a fresh terminal: a program that closed
  // the port properly may be about to open it again (the tool listens to a bus
  // before it starts its link), and must find the same terminal.
  if (!attached_ && published_ && ExclusiveLeft(slave_path_)) Renew();
  return attached_;
}

bool PtyEndpoint::Renew() {
  // A serial port forgets its exclusive-use flag at its last close. A
  // pseudo-terminal whose master stays open does not, so a program that died
  // holding the port exclusively would lock everyone out of it; a fresh
  // terminal behind the same link is what the next opener finds instead.
  std::string error;
  std::string slave_path;
  const int master = OpenPty(Baud(), &slave_path, &error);
  if (master < 0) return false;
  if (!Link(slave_path, &error)) {
    close(master);
    return false;
  }
  // A program that followed the old link just before it was replaced has the
  // old terminal open now: it keeps it, and the new one is given up.
  if (!HungUp(master_)) {
    if (Link(slave_path_, &error)) {
      close(master);
      attached_ = true;
      return false;
    }
  }
  close(master_);
  master_ = master;
  slave_path_ = std::move(slave_path);
  input_.clear();
  packet_.clear();
  packet_due_ = kNever;
  ++renewals_;
  return true;
}

size_t PtyEndpoint::ReadInput() {
  std::array<uint8_t, 512> buffer{};
  size_t total = 0;
  for (;;) {
    const ssize_t got = read(master_, buffer.data(), buffer.size());
    if (got <= 0) break;
    input_.insert(input_.end(), buffer.begin(), buffer.begin() + got);
    total += static_cast<size_t>(got);
  }
  octets_in_ += total;
  return total;
}

uint32_t PtyEndpoint::Baud() const {
  termios settings{};
  if (tcgetattr(master_, &settings) != 0) return fallback_baud_;
  const uint32_t baud = BaudOfSpeedCode(cfgetospeed(&settings));
  return baud != 0 ? baud : fallback_baud_;
}

void PtyEndpoint::SetBatching(const AdapterBatching& batching) {
  latency_ = static_cast<Micros>(batching.latencyMs) * 1000;
  packet_size_ = latency_ > 0 ? std::max<size_t>(batching.packet, 1) : 1;
}

void PtyEndpoint::Deliver(const uint8_t* octets, size_t count) {
  const ssize_t written = write(master_, octets, count);
  const size_t taken = written > 0 ? static_cast<size_t>(written) : 0;
  octets_out_ += taken;
  octets_dropped_ += count - taken;
  if (taken > 0) ++packets_out_;
}

void PtyEndpoint::OnOctet(uint8_t octet, Micros now) {
  if (!attached_) return;
  if (packet_size_ == 1) {
    Deliver(&octet, 1);
    return;
  }
  if (packet_.empty()) packet_due_ = now + latency_;
  packet_.push_back(octet);
  if (packet_.size() >= packet_size_) HandOver();
}

void PtyEndpoint::OnTime(Micros now) {
  if (!packet_.empty() && now >= packet_due_) HandOver();
}

void PtyEndpoint::HandOver() {
  if (attached_) Deliver(packet_.data(), packet_.size());
  packet_.clear();
  packet_due_ = kNever;
}

Micros PtyEndpoint::NextWake() const { return packet_due_; }

bool PtyEndpoint::TakeOctet(uint8_t* octet) {
  if (input_.empty()) return false;
  *octet = input_.front();
  input_.pop_front();
  return true;
}

}  // namespace sim
