// The port-name rule shared by both backends: the one place where a name
// such as "Com3" becomes the path that is opened.
#include <cstring>
#include <initializer_list>

#include "platform/serial.h"

namespace plat {
namespace {

bool is_short_com_name(const char* name) {
  const std::size_t length = std::strlen(name);
  if (length < 4 || length > 6) return false;
  const char prefix[] = {'c', 'o', 'm'};
  for (std::size_t i = 0; i < 3; ++i) {
    const char c = name[i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != prefix[i]) return false;
  }
  return true;
}

}  // namespace

void device_path(const char* name, char* path, std::size_t size) {
  if (path == nullptr || size == 0) return;
  path[0] = '\0';
  if (name == nullptr) return;
  const char* prefix = is_short_com_name(name) ? "\\\\.\\" : "";
  std::size_t used = 0;
  for (const char* part : {prefix, name}) {
    for (const char* p = part; *p != '\0' && used + 1 < size; ++p) path[used++] = *p;
  }
  path[used] = '\0';
}

}  // namespace plat
