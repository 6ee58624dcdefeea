// The registry under HKEY_LOCAL_MACHINE. On POSIX hosts the same keys and
// values live in a store of files under $BREVANE_REGISTRY (default:
// "${XDG_STATE_HOME:-$HOME/.local/state}/brevane/registry"), each value written
// atomically; names compare without case, as on Windows, and values larger
// than 4 KiB are refused there.
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
// the room fails, leaves `data` untouched and sets *size to the room needed.
// With `data` nullptr only the type and the size are reported.
bool reg_query_value(RegKey key, const char* name, RegType* type, void* data, uint32_t* size);
bool reg_close(RegKey key);

}  // namespace plat
