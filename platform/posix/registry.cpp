// The registry as a tree of files. A key is a directory; each value is a file
// "<name>.v" holding its type (4 octets, little-endian) and then its data.
// Names are escaped (see escape_name), so they compare without case as on
// Windows, and since an escaped name holds no '.', key directories, value
// files ("….v") and temporary files (".tmp…") can never be mistaken for one
// another.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/posix/posix_util.h"
#include "platform/registry.h"

namespace plat {

struct RegistryKey {
  std::string path;
};

namespace {

using posix::fail;
using posix::fail_errno;

constexpr uint32_t kMaxValueSize = 4096;
constexpr std::size_t kHeaderSize = 4;

// The directory standing for HKEY_LOCAL_MACHINE.
std::string store_root() {
  std::string root = posix::env_or_empty("BREVANE_REGISTRY");
  if (!root.empty()) return root;
  std::string state = posix::env_or_empty("XDG_STATE_HOME");
  if (state.empty()) {
    const std::string home = posix::env_or_empty("HOME");
    if (home.empty()) return {};
    state = home + "/.local/state";
  }
  return state + "/brevane/registry";
}

// The directory of `subkey` under `parent`, or empty with the error recorded.
// An empty subkey names the parent itself; an empty part between two
// backslashes is refused, as Windows refuses such a path.
std::string key_path(RegKey parent, const char* subkey) {
  if (subkey == nullptr) {
    posix::set_error(EINVAL);
    return {};
  }
  std::string path = parent != nullptr ? parent->path : store_root();
  if (path.empty()) {
    posix::set_error(ENOENT);
    return {};
  }
  if (*subkey == '\0') return path;
  const char* part = subkey;
  for (;;) {
    const char* end = std::strchr(part, '\\');
    const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - part) : std::strlen(part);
    if (length == 0) {
      posix::set_error(EINVAL);
      return {};
    }
    path += '/';
    path += posix::escape_name(std::string(part, length));
    if (end == nullptr) break;
    part = end + 1;
  }
  return path;
}

bool is_directory(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return fail_errno();
  return S_ISDIR(st.st_mode) || fail(ENOTDIR);
}

std::string value_path(RegKey key, const char* name) {
  return key->path + "/" + posix::escape_name(name) + ".v";
}

// Leaves errno set when it fails.
bool write_all(int fd, const unsigned char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

void sync_directory(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  static_cast<void>(fsync(fd));
  close(fd);
}

}  // namespace

RegKey reg_create_key(RegKey parent, const char* subkey) {
  const std::string path = key_path(parent, subkey);
  if (path.empty() || !posix::make_dirs(path, 0700)) return nullptr;
  return new RegistryKey{path};
}

RegKey reg_open_key(RegKey parent, const char* subkey) {
  const std::string path = key_path(parent, subkey);
  if (path.empty() || !is_directory(path)) return nullptr;
  return new RegistryKey{path};
}

bool reg_set_value(RegKey key, const char* name, RegType type, const void* data, uint32_t size) {
  if (key == nullptr || name == nullptr || (data == nullptr && size != 0)) return fail(EINVAL);
  if (size > kMaxValueSize) return fail(E2BIG);

  unsigned char record[kHeaderSize + kMaxValueSize];
  const auto code = static_cast<uint32_t>(type);
  for (std::size_t i = 0; i < kHeaderSize; ++i) record[i] = static_cast<unsigned char>(code >> (8 * i));
  if (size != 0) std::memcpy(record + kHeaderSize, data, size);

  // Written aside and renamed into place: a reader (or a crash) sees the old
  // value or the new one, never a part of either.
  std::string temp = key->path + "/.tmpXXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return fail_errno();
  int err = 0;
  if (!write_all(fd, record, kHeaderSize + size)) {
    err = errno;
  } else if (fsync(fd) != 0) {
    err = errno;
  }
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temp.c_str(), value_path(key, name).c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temp.c_str());
    return fail(err);
  }
  sync_directory(key->path);
  return true;
}

bool reg_query_value(RegKey key, const char* name, RegType* type, void* data, uint32_t* size) {
  if (key == nullptr || name == nullptr || (data != nullptr && size == nullptr)) return fail(EINVAL);
  const int fd = open(value_path(key, name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return fail_errno();

  unsigned char record[kHeaderSize + kMaxValueSize + 1];
  std::size_t got = 0;
  while (got < sizeof record) {
    const ssize_t n = read(fd, record + got, sizeof record - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  // Shorter than its header or longer than any value we write: not ours.
  if (got < kHeaderSize || got > kHeaderSize + kMaxValueSize) return fail(EIO);

  uint32_t code = 0;
  for (std::size_t i = 0; i < kHeaderSize; ++i) code |= static_cast<uint32_t>(record[i]) << (8 * i);
  const auto length = static_cast<uint32_t>(got - kHeaderSize);
  if (data != nullptr) {
    if (length > *size) {
      *size = length;  // what it would take, as Windows reports it
      return fail(ERANGE);
    }
    std::memcpy(data, record + kHeaderSize, length);
  }
  if (size != nullptr) *size = length;
  if (type != nullptr) *type = static_cast<RegType>(code);
  return true;
}

bool reg_close(RegKey key) {
  if (key == nullptr) return fail(EINVAL);
  delete key;
  return true;
}

}  // namespace plat
