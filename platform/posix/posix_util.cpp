#include "platform/posix/posix_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/serial.h"

namespace plat {

namespace {
thread_local uint32_t t_last_error = 0;
}  // namespace

uint32_t last_error() { return t_last_error; }

namespace {
// strerror_r comes in two forms; both are caught here.
[[maybe_unused]] const char* message_of(int result, const char* buffer) {
  return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char* message_of(const char* result, const char*) { return result; }
}  // namespace

void error_text(uint32_t code, char* text, std::size_t size) {
  if (text == nullptr || size == 0) return;
  char buffer[256] = {};
  const char* message = message_of(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
  std::snprintf(text, size, "%s", message);
}

namespace posix {

void set_error(int err) { t_last_error = static_cast<uint32_t>(err); }

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string runtime_base() {
  const std::string xdg = env_or_empty("XDG_RUNTIME_DIR");
  if (!xdg.empty()) return xdg + "/brevane";
  return "/tmp/brevane-" + std::to_string(getuid());
}

bool make_dirs(const std::string& path, unsigned mode) {
  if (path.empty()) return fail(ENOENT);
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string prefix = path.substr(0, pos);
    if (mkdir(prefix.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
      return fail_errno();
    }
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return fail_errno();
  if (!S_ISDIR(st.st_mode)) return fail(ENOTDIR);
  return true;
}

bool make_private_dir(const std::string& path) {
  if (!make_dirs(path, 0700)) return false;
  // Only the last component can have been planted by another user under /tmp;
  // the base it sits in is our own or a system directory.
  const std::string base = runtime_base();
  std::string walk = path;
  while (walk.size() >= base.size()) {
    struct stat st {};
    if (lstat(walk.c_str(), &st) != 0) return fail_errno();
    if (S_ISLNK(st.st_mode) || st.st_uid != getuid()) return fail(EACCES);
    const std::size_t slash = walk.rfind('/');
    if (slash == std::string::npos || slash == 0) break;
    walk.resize(slash);
  }
  return true;
}

std::string escape_name(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (const char c : name) {
    const auto octet = static_cast<unsigned char>(c);
    if (octet >= 'A' && octet <= 'Z') {
      out += static_cast<char>(octet - 'A' + 'a');
    } else if ((octet >= 'a' && octet <= 'z') || (octet >= '0' && octet <= '9') || octet == '-' ||
               octet == '_') {
      out += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", octet);
      out += hex;
    }
  }
  return out;
}

}  // namespace posix
}  // namespace plat
