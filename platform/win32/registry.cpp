// The registry under HKEY_LOCAL_MACHINE. The registry functions return their
// error code instead of setting the thread's last error; it is stored there
// so that last_error() tells why a call failed, as for every other call.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/registry.h"

struct plat::RegistryKey {
  HKEY handle;
};

namespace plat {
namespace {

HKEY parent_of(RegKey parent) { return parent == nullptr ? HKEY_LOCAL_MACHINE : parent->handle; }

bool succeeded(LSTATUS status) {
  if (status != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(status));
    return false;
  }
  return true;
}

bool invalid(RegKey key) {
  if (key == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return true;
  }
  return false;
}

}  // namespace

RegKey reg_create_key(RegKey parent, const char* subkey) {
  HKEY key = nullptr;
  if (!succeeded(RegCreateKeyExA(parent_of(parent), subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, nullptr, &key, nullptr))) {
    return nullptr;
  }
  return new RegistryKey{key};
}

RegKey reg_open_key(RegKey parent, const char* subkey) {
  HKEY key = nullptr;
  if (!succeeded(RegOpenKeyExA(parent_of(parent), subkey, 0, KEY_READ, &key))) {
    return nullptr;
  }
  return new RegistryKey{key};
}

bool reg_set_value(RegKey key, const char* name, RegType type, const void* data, uint32_t size) {
  if (invalid(key)) {
    return false;
  }
  return succeeded(RegSetValueExA(key->handle, name, 0, static_cast<DWORD>(type),
                                  static_cast<const BYTE*>(data), size));
}

bool reg_query_value(RegKey key, const char* name, RegType* type, void* data, uint32_t* size) {
  if (invalid(key)) {
    return false;
  }
  // The system may scribble over a buffer that turns out too small, and the
  // caller's must stay as it was; so the value goes through a copy.
  const DWORD room = *size;
  std::vector<BYTE> copy(data == nullptr ? 0 : room);
  DWORD stored_type = 0;
  DWORD stored_size = room;
  LSTATUS status = RegQueryValueExA(key->handle, name, nullptr, &stored_type,
                                    copy.empty() ? nullptr : copy.data(), &stored_size);
  // Without a buffer the query only reports the size and succeeds whatever it
  // is; a caller who gave a buffer, even one of no room, needs the value to fit.
  if (status == ERROR_SUCCESS && data != nullptr && stored_size > room) {
    status = ERROR_MORE_DATA;
  }
  if (status == ERROR_MORE_DATA) {
    *size = stored_size;
  }
  if (!succeeded(status)) {
    return false;
  }
  if (data != nullptr && stored_size > 0) {
    std::memcpy(data, copy.data(), stored_size);
  }
  *size = stored_size;
  if (type != nullptr) {
    *type = static_cast<RegType>(stored_type);
  }
  return true;
}

bool reg_close(RegKey key) {
  if (invalid(key)) {
    return false;
  }
  const bool closed = succeeded(RegCloseKey(key->handle));
  delete key;
  return closed;
}

}  // namespace plat
