// The registry under HKEY_LOCAL_MACHINE. On POSIX hosts the same keys and
// values live in a store of files under $BREVANE_REGISTRY (default: a per-user
// state directory), each value written atomically.
#pragma once

#include <cstdint>

namespace plat {

struct RegistryKey;
using RegKey = RegistryKey*;  // nullptr: none; as a parent: HKEY_LOCAL_MACHINE

enum class RegType : uint32_t { String = 1, Dword = 4 };

// Paths use '\' between key names, as on Windows.
RegKey reg_create_key(RegKey parent, const char* subkey);
RegKey reg_open_key(RegKey parent, const char* subkey);
bool reg_set_value(RegKey key, const char* name, RegType type, const void* data, uint32_t size);
// *size: room in `data` on entry, octets stored on return. A value larger than
// the room fails and leaves `data` untouched.
bool reg_query_value(RegKey key, const char* name, RegType* type, void* data, uint32_t* size);
bool reg_close(RegKey key);

}  // namespace plat
