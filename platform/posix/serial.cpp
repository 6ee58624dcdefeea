// Serial ports on POSIX hosts. The port is a tty in raw mode with VMIN=0 and
// VTIME=0 and O_NONBLOCK, so that every read and write returns at once; the
// Windows read and write time-outs are then built with poll() on top.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/posix/port_map.h"
#include "platform/posix/posix_util.h"
#include "platform/serial.h"

namespace plat {

struct SerialPort {
  int fd = -1;
  // Settings may change on one thread while another reads or writes (a jam
  // thread writes beside the receiver), so they sit behind a lock.
  std::mutex lock;
  // The terminal settings as last read; fields that LineSettings does not
  // carry (flow control, modem lines) are written back from here unchanged.
  termios base{};           // guarded by lock
  Timeouts timeouts{};      // guarded by lock
  bool discard_null = false;    // guarded by lock
  bool abort_on_error = false;  // guarded by lock
  uint32_t octet_us = 0;        // guarded by lock: one octet's time at the line's speed
};

namespace {

using posix::fail;
using posix::fail_errno;
using Clock = std::chrono::steady_clock;

struct BaudEntry {
  uint32_t rate;
  speed_t code;
};

constexpr BaudEntry kBaudRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#if defined(B460800)
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
#endif
};

bool baud_code(uint32_t rate, speed_t* code) {
  for (const BaudEntry& entry : kBaudRates) {
    if (entry.rate == rate) {
      *code = entry.code;
      return true;
    }
  }
  return false;
}

uint32_t baud_rate(speed_t code) {
  for (const BaudEntry& entry : kBaudRates) {
    if (entry.code == code) return entry.rate;
  }
  return 0;
}

// Ten bit times (start, eight data, stop) in microseconds; 0 when unknown.
uint32_t octet_micros(speed_t code) {
  const uint32_t rate = baud_rate(code);
  return rate == 0 ? 0 : (10u * 1000000u + rate - 1) / rate;
}

// "Com12" or "\\.\Com12" (any letter case of "com") gives "12"; anything else
// gives an empty string.
std::string com_number(const char* name) {
  if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (strncasecmp(name, "com", 3) != 0) return {};
  const char* digits = name + 3;
  if (*digits == '\0') return {};
  for (const char* p = digits; *p != '\0'; ++p) {
    if (std::isdigit(static_cast<unsigned char>(*p)) == 0) return {};
  }
  return digits;
}

// Without $BREVANE_PORTS the port directory is the tool's own, and the serial
// devices present are given entries there. One listing of the ports tries 255
// names in a row, so the devices are looked at again only after a pause.
void map_devices_present(const std::string& dir) {
  constexpr auto kRemapPause = std::chrono::seconds(1);
  static std::mutex lock;
  static bool mapped = false;     // guarded by lock
  static Clock::time_point last;  // guarded by lock
  std::lock_guard<std::mutex> guard(lock);
  const Clock::time_point now = Clock::now();
  if (mapped && now - last < kRemapPause) return;
  mapped = true;
  last = now;
  // A directory that cannot be made or written leaves the lookup to find
  // whatever entries are there, as with a directory of the user's own.
  if (posix::make_private_dir(dir)) static_cast<void>(posix::map_serial_devices(dir, {}));
}

// The port directory's entry for `name`, or empty with the error recorded.
std::string find_port(const char* name) {
  if (std::strchr(name, '/') != nullptr) return name;
  const std::string number = com_number(name);
  if (number.empty()) {
    posix::set_error(ENOENT);
    return {};
  }
  const std::string dir = port_directory();
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) {
    posix::set_error(errno);
    return {};
  }
  const std::string wanted = "com" + number;
  std::string found;
  while (const dirent* entry = readdir(listing)) {
    if (strcasecmp(entry->d_name, wanted.c_str()) == 0) {
      found = dir + "/" + entry->d_name;
      break;
    }
  }
  closedir(listing);
  if (found.empty()) posix::set_error(ENOENT);
  return found;
}

// The path to open for `name`, or empty with the error recorded.
std::string resolve_port(const char* name) {
  if (std::strchr(name, '/') == nullptr && posix::env_or_empty("BREVANE_PORTS").empty()) {
    map_devices_present(port_directory());
  }
  return find_port(name);
}

// Asks the driver to hand over received octets without its usual batching
// delay. Ptys and many USB adapters do not know the request; that is fine.
void request_low_latency(int fd) {
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
  constexpr int kLowLatency = static_cast<int>(ASYNC_LOW_LATENCY);
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) == 0 && (info.flags & kLowLatency) == 0) {
    info.flags |= kLowLatency;
    static_cast<void>(ioctl(fd, TIOCSSERIAL, &info));
  }
#else
  static_cast<void>(fd);
#endif
}

int remaining_ms(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  // Round up so that a wait never ends before its deadline, nor a wait of
  // less than a millisecond at once.
  const auto ms = (left + 999) / 1000;
  return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

// Waits for `events` on `fd` until `deadline` (or for ever when `forever`).
// Returns 1 when ready, 0 on time-out, -1 on failure.
int wait_ready(int fd, short events, bool forever, Clock::time_point deadline) {
  for (;;) {
    int wait = -1;
    if (!forever) {
      wait = remaining_ms(deadline);
      if (wait == 0) return 0;
    }
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (ready == 0) continue;  // re-check the deadline after rounding
    if ((entry.revents & POLLNVAL) != 0) {
      errno = EBADF;
      return -1;
    }
    // A hung-up line (an adapter pulled, the far end of a pty closed) also
    // reports itself readable; it must not pass for an empty one.
    if ((entry.revents & (POLLERR | POLLHUP)) != 0) {
      errno = EIO;
      return -1;
    }
    return 1;
  }
}

// Removes NUL octets from the `count` octets at `data`; returns what is left.
uint32_t drop_nulls(unsigned char* data, uint32_t count) {
  uint32_t kept = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (data[i] != 0) data[kept++] = data[i];
  }
  return kept;
}

bool valid(SerialHandle port) { return port != nullptr && port->fd >= 0; }

// Reads what has arrived, or waits up to `wait_ms` for the first octets and
// returns with them. A line that reports data but gives none has hung up.
bool read_first_octets(int fd, unsigned char* out, uint32_t length, bool discard_null,
                       uint32_t wait_ms, uint32_t* done) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  bool waited = false;
  for (;;) {
    const ssize_t n = read(fd, out, length);
    if (n > 0) {
      const uint32_t got = static_cast<uint32_t>(n);
      *done = discard_null ? drop_nulls(out, got) : got;
      if (*done > 0 || Clock::now() >= deadline) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return fail_errno();
    if (n == 0 && waited) return fail(EIO);
    const int ready = wait_ready(fd, POLLIN, false, deadline);
    if (ready == 0) return true;
    if (ready < 0) return fail_errno();
    waited = true;
  }
}

}  // namespace

const char* port_directory() {
  thread_local std::string dir;
  dir = posix::env_or_empty("BREVANE_PORTS");
  if (dir.empty()) dir = posix::runtime_base() + "/ports";
  return dir.c_str();
}

bool serial_describe(const char* name, char* text, std::size_t size) {
  if (text == nullptr || size == 0) return fail(EINVAL);
  text[0] = '\0';
  if (name == nullptr) return fail(EINVAL);
  const std::string path = find_port(name);
  if (path.empty()) return false;
  const std::string description = posix::describe_serial_device(path, {});
  if (description.empty()) return false;
  std::snprintf(text, size, "%s", description.c_str());
  return true;
}

AdapterLatency serial_latency(const char* name) {
  if (name == nullptr) return {};
  const std::string path = find_port(name);
  if (path.empty()) return {};
  return posix::adapter_latency(path, {});
}

SerialHandle serial_open(const char* name, Access access) {
  if (name == nullptr) {
    posix::set_error(EINVAL);
    return nullptr;
  }
  char named[512];
  device_path(name, named, sizeof named);
  const std::string path = resolve_port(named);
  if (path.empty()) return nullptr;

  const int flags = (access == Access::Read ? O_RDONLY : O_RDWR) | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  const int fd = open(path.c_str(), flags);
  if (fd < 0) {
    posix::set_error(errno);
    return nullptr;
  }
  const auto give_up = [fd](int err) {
    close(fd);
    posix::set_error(err);
    return nullptr;
  };

  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return give_up(ENOTTY);
  // TIOCEXCL keeps other programs out, but not a privileged one (which we may
  // be), nor ourselves: so also look whether someone has set it, and take a
  // lock that turns away a second open from any process that asks for it.
#if defined(TIOCGEXCL)
  int exclusive = 0;
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) return give_up(EBUSY);
#endif
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return give_up(errno == EWOULDBLOCK ? EBUSY : errno);
  static_cast<void>(ioctl(fd, TIOCEXCL));
  request_low_latency(fd);
  // The request above does not reach the adapter's own timer; that one is set
  // through sysfs, and serial_latency() tells whether it could be.
  static_cast<void>(posix::adapter_latency(path, {}));

  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  // No flow control of either kind: a CTS line that nobody drives, or an
  // XOFF octet in the data, would hold every write back.
  settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return give_up(errno);

  auto* port = new SerialPort;
  port->fd = fd;
  port->base = settings;
  port->octet_us = octet_micros(cfgetospeed(&settings));
  return port;
}

bool serial_close(SerialHandle port) {
  if (!valid(port)) return fail(EBADF);
  // Exclusive mode stays on the tty after the last close; clear it so that the
  // next program may open the port.
  static_cast<void>(ioctl(port->fd, TIOCNXCL));
  const int result = close(port->fd);
  const int err = errno;
  delete port;
  return result == 0 || fail(err);
}

bool serial_get_line(SerialHandle port, LineSettings* settings) {
  if (!valid(port) || settings == nullptr) return fail(EINVAL);
  std::lock_guard<std::mutex> guard(port->lock);
  termios current{};
  if (tcgetattr(port->fd, &current) != 0) return fail_errno();
  port->base = current;

  LineSettings out;
  out.baud_rate = baud_rate(cfgetospeed(&current));
  switch (current.c_cflag & CSIZE) {
    case CS5: out.byte_size = 5; break;
    case CS6: out.byte_size = 6; break;
    case CS7: out.byte_size = 7; break;
    default: out.byte_size = 8; break;
  }
  if ((current.c_cflag & PARENB) == 0) {
    out.parity = 0;
#if defined(CMSPAR)
  } else if ((current.c_cflag & CMSPAR) != 0) {
    out.parity = (current.c_cflag & PARODD) != 0 ? 3 : 4;
#endif
  } else {
    out.parity = (current.c_cflag & PARODD) != 0 ? 1 : 2;
  }
  if ((current.c_cflag & CSTOPB) == 0) {
    out.stop_bits = 0;
  } else {
    out.stop_bits = out.byte_size == 5 ? 1 : 2;
  }
  out.binary = true;
  out.parity_check = (current.c_iflag & INPCK) != 0;
  out.discard_null = port->discard_null;
  out.abort_on_error = port->abort_on_error;
  *settings = out;
  return true;
}

bool serial_set_line(SerialHandle port, const LineSettings& settings) {
  if (!valid(port)) return fail(EINVAL);
  std::lock_guard<std::mutex> guard(port->lock);
  termios next = port->base;

  speed_t speed = B0;
  if (!baud_code(settings.baud_rate, &speed)) return fail(EINVAL);
  if (cfsetispeed(&next, speed) != 0 || cfsetospeed(&next, speed) != 0) return fail_errno();

  tcflag_t size = CS8;
  switch (settings.byte_size) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return fail(EINVAL);
  }
  next.c_cflag = (next.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | size;

  tcflag_t parity_bits = PARENB | PARODD;
#if defined(CMSPAR)
  parity_bits |= CMSPAR;
#endif
  next.c_cflag &= ~parity_bits;
  switch (settings.parity) {
    case 0: break;
    case 1: next.c_cflag |= PARENB | PARODD; break;
    case 2: next.c_cflag |= PARENB; break;
#if defined(CMSPAR)
    case 3: next.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: next.c_cflag |= PARENB | CMSPAR; break;
#endif
    default: return fail(EINVAL);
  }

  // One and a half stop bits exist only with five data bits, as on Windows.
  switch (settings.stop_bits) {
    case 0: next.c_cflag &= ~static_cast<tcflag_t>(CSTOPB); break;
    case 1:
      if (settings.byte_size != 5) return fail(EINVAL);
      next.c_cflag |= CSTOPB;
      break;
    case 2:
      if (settings.byte_size == 5) return fail(EINVAL);
      next.c_cflag |= CSTOPB;
      break;
    default: return fail(EINVAL);
  }

  // Raw mode is always binary. Parity errors, when checked, arrive as NUL
  // octets; nothing else about line errors is reported on these hosts.
  if (!settings.binary) return fail(EINVAL);
  if (settings.parity_check) {
    next.c_iflag |= INPCK;
  } else {
    next.c_iflag &= ~static_cast<tcflag_t>(INPCK);
  }

  if (tcsetattr(port->fd, TCSANOW, &next) != 0) return fail_errno();
  port->base = next;
  port->octet_us = octet_micros(speed);
  port->discard_null = settings.discard_null;
  port->abort_on_error = settings.abort_on_error;
  return true;
}

bool serial_get_timeouts(SerialHandle port, Timeouts* timeouts) {
  if (!valid(port) || timeouts == nullptr) return fail(EINVAL);
  std::lock_guard<std::mutex> guard(port->lock);
  *timeouts = port->timeouts;
  return true;
}

bool serial_set_timeouts(SerialHandle port, const Timeouts& timeouts) {
  if (!valid(port)) return fail(EINVAL);
  std::lock_guard<std::mutex> guard(port->lock);
  port->timeouts = timeouts;
  return true;
}

bool serial_read(SerialHandle port, void* buffer, uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  if (!valid(port) || done == nullptr || (buffer == nullptr && length != 0)) return fail(EINVAL);
  auto* out = static_cast<unsigned char*>(buffer);
  Timeouts t;
  bool discard_null = false;
  uint32_t octet_us = 0;
  {
    std::lock_guard<std::mutex> guard(port->lock);
    t = port->timeouts;
    discard_null = port->discard_null;
    octet_us = port->octet_us;
  }
  const bool immediate =
      t.read_interval == kMaxDword && t.read_total_multiplier == 0 && t.read_total_constant == 0;
  const bool first_octets = t.read_interval == kMaxDword && t.read_total_multiplier == kMaxDword &&
                            t.read_total_constant != 0 && t.read_total_constant != kMaxDword;
  if (first_octets) return read_first_octets(port->fd, out, length, discard_null,
                                             t.read_total_constant, done);

  const Clock::time_point start = Clock::now();
  const uint64_t total_ms = static_cast<uint64_t>(t.read_total_multiplier) * length +
                            t.read_total_constant;
  const bool has_total = !immediate && total_ms != 0;
  const Clock::time_point total_deadline = start + std::chrono::milliseconds(total_ms);
  const bool has_interval = !immediate && t.read_interval != 0;
  Clock::time_point last_octet = start;
  // Octets still to come arrive one per octet time: a read with only a total
  // limit sleeps through the time they take and then takes them all at once,
  // one wake-up where waiting for each would cost one per octet. Only when
  // that sleep brought nothing does it wait for the line.
  const bool nap_for_rest = has_total && !has_interval && octet_us > 0;
  bool napped = false;

  uint32_t got = 0;
  while (got < length) {
    const ssize_t n = read(port->fd, out + got, length - got);
    if (n > 0) {
      uint32_t kept = static_cast<uint32_t>(n);
      if (discard_null) kept = drop_nulls(out + got, kept);
      got += kept;
      last_octet = Clock::now();
      napped = false;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      *done = got;
      return fail_errno();
    }
    if (immediate) break;
    if (nap_for_rest && !napped) {
      napped = true;
      const auto rest = std::chrono::microseconds(static_cast<uint64_t>(length - got) * octet_us);
      const auto left = total_deadline - Clock::now();
      if (left <= Clock::duration::zero()) break;
      std::this_thread::sleep_for(std::min<Clock::duration>(rest, left));
      continue;
    }

    // Nothing more has arrived yet: wait for the nearer of the two limits.
    bool forever = true;
    Clock::time_point deadline = Clock::time_point::max();
    if (has_total) {
      forever = false;
      deadline = total_deadline;
    }
    if (has_interval && got > 0) {
      forever = false;
      const Clock::time_point interval_end = last_octet + std::chrono::milliseconds(t.read_interval);
      if (interval_end < deadline) deadline = interval_end;
    }
    const int ready = wait_ready(port->fd, POLLIN, forever, deadline);
    if (ready == 0) break;
    if (ready < 0) {
      *done = got;
      return fail_errno();
    }
  }
  *done = got;
  return true;
}

bool serial_write(SerialHandle port, const void* buffer, uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  if (!valid(port) || done == nullptr || (buffer == nullptr && length != 0)) return fail(EINVAL);
  const auto* data = static_cast<const unsigned char*>(buffer);
  Timeouts t;
  {
    std::lock_guard<std::mutex> guard(port->lock);
    t = port->timeouts;
  }
  const uint64_t total_ms = static_cast<uint64_t>(t.write_total_multiplier) * length +
                            t.write_total_constant;
  const bool forever = total_ms == 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(total_ms);

  uint32_t sent = 0;
  while (sent < length) {
    const ssize_t n = write(port->fd, data + sent, length - sent);
    if (n > 0) {
      sent += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      *done = sent;
      return fail_errno();
    }
    // The driver's buffer is full: a write with a time-out ends with what went.
    const int ready = wait_ready(port->fd, POLLOUT, forever, deadline);
    if (ready == 0) break;
    if (ready < 0) {
      *done = sent;
      return fail_errno();
    }
  }
  *done = sent;
  return true;
}

bool serial_purge(SerialHandle port, unsigned what) {
  if (!valid(port) || (what & ~(kPurgeRx | kPurgeTx)) != 0) return fail(EINVAL);
  int queue = 0;
  if (what == (kPurgeRx | kPurgeTx)) {
    queue = TCIOFLUSH;
  } else if (what == kPurgeRx) {
    queue = TCIFLUSH;
  } else if (what == kPurgeTx) {
    queue = TCOFLUSH;
  } else {
    return true;
  }
  return tcflush(port->fd, queue) == 0 || fail_errno();
}

bool serial_get_event_mask(SerialHandle port, uint32_t* mask) {
  if (!valid(port) || mask == nullptr) return fail(EINVAL);
  // Line-status errors are not surfaced on these hosts, so none is ever set;
  // a device that has gone shows in the reads and writes instead.
  *mask = 0;
  return true;
}

}  // namespace plat
