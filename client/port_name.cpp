#include "client/port_name.h"

#include <cstring>

const char* ShownPortName(const char* name) {
  const char* last = std::strrchr(name, '\\');
  return last != nullptr ? last + 1 : name;
}
