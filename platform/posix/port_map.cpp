#include "platform/posix/port_map.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "platform/posix/posix_util.h"

namespace plat::posix {

namespace {

constexpr unsigned kHighestPort = 255;   // the port numbers the tool tries
constexpr std::size_t kMaxField = 48;    // longest maker, product or serial shown
constexpr int kUsbLevelsUp = 4;          // from a tty's device to its USB device
constexpr int kLockAttempts = 100;       // taking the directory's lock ...
constexpr useconds_t kLockPauseUs = 10000;  // ... with these pauses between tries

// The path with every link resolved; empty when it leads nowhere.
std::string resolved(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return {};
  std::string out(real);
  std::free(real);
  return out;
}

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  DIR* listing = opendir(path.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(listing);
  return names;
}

// The number that `text` holds from `from` on: decimal digits only, without a
// leading zero, at most 9 of them; -1 otherwise.
long number_after(const std::string& text, std::size_t from) {
  const std::size_t length = text.size() - from;
  if (from >= text.size() || length > 9 || (text[from] == '0' && length > 1)) return -1;
  long value = 0;
  for (std::size_t i = from; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// The port number an entry named `name` answers to ("com3", "COM3"), or -1.
long port_number(const std::string& name) {
  if (strncasecmp(name.c_str(), "com", 3) != 0) return -1;
  return number_after(name, 3);
}

// Paths go into a line-based record, one per line.
bool fits_record(const std::string& path) { return path.find('\n') == std::string::npos; }

// Nodes "<prefix><number>" in `names`, in number order.
std::vector<std::string> numbered(const std::vector<std::string>& names, const char* prefix) {
  std::vector<std::pair<long, std::string>> found;
  const std::size_t length = std::strlen(prefix);
  for (const std::string& name : names) {
    if (name.compare(0, length, prefix) != 0) continue;
    const long number = number_after(name, length);
    if (number >= 0) found.emplace_back(number, name);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> out;
  for (auto& entry : found) out.push_back(std::move(entry.second));
  return out;
}

// A sysfs attribute as text: trailing white space cut, anything but
// printable ASCII shown as '?', at most kMaxField characters.
std::string attribute(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char buffer[256];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  close(fd);
  if (n <= 0) return {};
  std::string text(buffer, static_cast<std::size_t>(n));
  while (!text.empty() && std::strchr(" \t\r\n", text.back()) != nullptr) text.pop_back();
  if (text.size() > kMaxField) text.resize(kMaxField);
  for (char& c : text) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  return text;
}

// A ttyS node has a UART behind it: a device in sysfs that is not one of the
// serial8250 driver's placeholders (port type 0, "unknown").
bool real_uart(const std::string& class_dir) {
  if (!exists(class_dir + "/device")) return false;
  if (!exists(class_dir + "/type")) return true;
  return attribute(class_dir + "/type") != "0";
}

struct AutoEntry {
  ino_t inode = 0;
  std::string target;
};

using AutoRecord = std::map<std::string, AutoEntry>;

AutoRecord read_record(const std::string& path) {
  AutoRecord record;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return record;
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  // Lines "name inode target"; the target runs to the end of its line.
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // a cut-off last line is not trusted
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos) continue;
    const long long inode = std::atoll(line.substr(first + 1, second - first - 1).c_str());
    if (inode <= 0) continue;
    record[line.substr(0, first)] = AutoEntry{static_cast<ino_t>(inode), line.substr(second + 1)};
  }
  return record;
}

bool write_record(const std::string& dir, const AutoRecord& record) {
  std::string text;
  for (const auto& [name, entry] : record) {
    text += name + " " + std::to_string(entry.inode) + " " + entry.target + "\n";
  }
  // Written aside and renamed over the old one, so that a reader never sees
  // half a record.
  const std::string path = dir + "/" + kAutoRecordName;
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return fail_errno();
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : EIO;
      close(fd);
      unlink(temporary.c_str());
      return fail(err);
    }
    written += static_cast<std::size_t>(n);
  }
  if (close(fd) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
    const int err = errno;
    unlink(temporary.c_str());
    return fail(err);
  }
  return true;
}

std::string link_text(const std::string& path) {
  char buffer[4096];
  const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

// An exclusive flock() on a directory, held for the life of the object.
class DirLock {
 public:
  explicit DirLock(const std::string& dir)
      : fd_(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0) {
      set_error(errno);
      return;
    }
    // A holder maps in milliseconds; one that keeps the lock far longer (a
    // stopped process) must not hang the port listing, so give up after a
    // second and let the lookup use the entries as they are.
    int result = -1;
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
      result = flock(fd_, LOCK_EX | LOCK_NB);
      if (result == 0 || (errno != EWOULDBLOCK && errno != EINTR)) break;
      usleep(kLockPauseUs);
    }
    if (result != 0) {
      set_error(errno);
      close(fd_);
      fd_ = -1;
    }
  }
  ~DirLock() {
    if (fd_ >= 0) close(fd_);
  }
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

}  // namespace

std::vector<SerialDevice> find_serial_devices(const DeviceRoot& root) {
  std::vector<SerialDevice> devices;
  std::set<std::string> seen;
  const auto add = [&](const std::string& target) {
    const std::string device = resolved(target);
    if (device.empty() || !fits_record(target) || !seen.insert(device).second) return;
    devices.push_back(SerialDevice{target, device});
  };

  const std::string by_id = root.dev + "/serial/by-id";
  std::vector<std::string> ids = list_dir(by_id);
  std::sort(ids.begin(), ids.end());
  for (const std::string& id : ids) add(by_id + "/" + id);

  const std::vector<std::string> nodes = list_dir(root.dev);
  for (const char* prefix : {"ttyUSB", "ttyACM"}) {
    for (const std::string& node : numbered(nodes, prefix)) add(root.dev + "/" + node);
  }

  const std::string tty_class = root.sys + "/class/tty";
  for (const std::string& node : numbered(list_dir(tty_class), "ttyS")) {
    if (real_uart(tty_class + "/" + node)) add(root.dev + "/" + node);
  }
  return devices;
}

bool map_serial_devices(const std::string& port_dir, const DeviceRoot& root) {
  const DirLock lock(port_dir);
  if (!lock.held()) return false;

  const AutoRecord old_record = read_record(port_dir + "/" + kAutoRecordName);
  AutoRecord record;
  std::set<long> taken;               // port numbers that have an entry
  std::set<std::string> linked;       // devices some entry leads to

  for (const std::string& name : list_dir(port_dir)) {
    const long number = port_number(name);
    if (number < 0) continue;
    const std::string path = port_dir + "/" + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    const auto mine = old_record.find(name);
    const bool automatic = mine != old_record.end() && S_ISLNK(st.st_mode) &&
                           st.st_ino == mine->second.inode &&
                           link_text(path) == mine->second.target;
    const std::string device = resolved(path);
    if (automatic && device.empty()) {
      // Its device is gone; the number is free again.
      if (unlink(path.c_str()) == 0) continue;
    }
    taken.insert(number);
    if (!device.empty()) linked.insert(device);
    if (automatic) record[name] = mine->second;
  }

  long next = 1;
  for (const SerialDevice& device : find_serial_devices(root)) {
    if (linked.count(device.device) != 0) continue;
    for (; next <= static_cast<long>(kHighestPort); ++next) {
      if (taken.count(next) != 0) continue;
      const std::string name = "com" + std::to_string(next);
      const std::string path = port_dir + "/" + name;
      // Someone may have made the entry since the listing; then try the next.
      if (symlink(device.target.c_str(), path.c_str()) != 0) continue;
      struct stat st {};
      if (lstat(path.c_str(), &st) == 0) record[name] = AutoEntry{st.st_ino, device.target};
      taken.insert(next);
      linked.insert(device.device);
      break;
    }
  }
  return write_record(port_dir, record);
}

std::string describe_serial_device(const std::string& path, const DeviceRoot& root) {
  const std::string node = resolved(path);
  if (node.empty()) return {};
  const std::string class_dir = root.sys + "/class/tty/" + node.substr(node.rfind('/') + 1);
  const std::string device = resolved(class_dir + "/device");
  if (device.empty()) return {};

  // The USB device is the nearest ancestor with a vendor id: the interface
  // for ttyACM, the interface's port child for ttyUSB.
  std::string maker;
  std::string product;
  std::string serial;
  const std::string sys = resolved(root.sys);
  std::string walk = device;
  for (int level = 0; level <= kUsbLevelsUp && walk.size() > sys.size(); ++level) {
    if (exists(walk + "/idVendor")) {
      maker = attribute(walk + "/manufacturer");
      product = attribute(walk + "/product");
      serial = attribute(walk + "/serial");
      break;
    }
    walk.resize(walk.rfind('/'));
  }

  // Products often repeat their maker's name; say it once.
  std::string text = product.compare(0, maker.size(), maker) == 0 ? product
                     : product.empty()                           ? maker
                                                                 : maker + " " + product;
  if (!serial.empty()) text += (text.empty() ? "serial " : ", serial ") + serial;
  return text.empty() ? node : text + " (" + node + ")";
}

AdapterLatency adapter_latency(const std::string& path, const DeviceRoot& root) {
  AdapterLatency out;
  const std::string node = resolved(path);
  if (node.empty()) return out;
  const std::string name = node.substr(node.rfind('/') + 1);
  std::string timer = root.sys + "/bus/usb-serial/devices/" + name + "/latency_timer";
  if (!exists(timer)) timer = root.sys + "/class/tty/" + name + "/device/latency_timer";
  const long ms = number_after(attribute(timer), 0);
  if (ms < 0) return out;
  out.timer_ms = static_cast<uint32_t>(ms);
  if (ms <= 1) {
    out.state = LatencyState::Fine;
    return out;
  }
  // O_TRUNC as a shell's redirection has it: sysfs ignores it, a plain file
  // standing in for the attribute needs it.
  const int fd = open(timer.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  int err = fd < 0 ? errno : 0;
  if (fd >= 0) {
    ssize_t n = -1;
    do {
      n = write(fd, "1", 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1) err = n < 0 ? errno : EIO;
    close(fd);
  }
  out.state = err == 0 ? LatencyState::Lowered : LatencyState::Slow;
  out.error = static_cast<uint32_t>(err);
  return out;
}

}  // namespace plat::posix
