// Serial ports through the Windows communications API. The port is used
// synchronously: no overlapped I/O, the time-outs decide how long a read waits.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/serial.h"

struct plat::SerialPort {
  HANDLE handle;
  // The driver's settings as last read; fields the system does not set
  // (flow control, modem lines, special characters) are written back as read.
  DCB line;
};

namespace plat {

static_assert(kEvErr == EV_ERR);
static_assert(kMaxDword == MAXDWORD);

namespace {

// Where the devices present are listed, one key per device instance
// (Enum\<enumerator>\<device id>\<instance>); a port's instance holds its
// name among the device parameters.
constexpr char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum";
constexpr char kParametersKey[] = "Device Parameters";
// A latency timer of this much or less does not slow a transfer noticeably.
constexpr DWORD kFineTimerMs = 2;
constexpr DWORD kKeyNameSize = 256;  // longest key name and its end

// A registry key closed with the object.
struct Key {
  HKEY handle = nullptr;
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  Key(Key&& other) noexcept : handle(other.handle) { other.handle = nullptr; }
  ~Key() {
    if (handle != nullptr) RegCloseKey(handle);
  }
};

// The subkeys of `key`, one at a time: false after the last.
bool subkey(HKEY key, DWORD index, char* name) {
  DWORD length = kKeyNameSize;
  return RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS;
}

// A string value; false when there is none or it does not fit in `size`.
bool read_string(HKEY key, const char* name, char* out, DWORD size) {
  DWORD type = 0;
  DWORD length = size - 1;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &length) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return false;
  }
  out[length] = '\0';
  return true;
}

// "COM5" for "Com5" or "\\.\com5": the name a port's device parameters
// hold. Empty for any other name.
void com_name(const char* name, char* out, std::size_t size) {
  out[0] = '\0';
  if (name == nullptr) return;
  if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (_strnicmp(name, "com", 3) != 0 || name[3] == '\0') return;
  for (const char* digit = name + 3; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') return;
  }
  std::snprintf(out, size, "COM%s", name + 3);
}

// The instance key of the device whose device parameters name the port
// `name`; no handle when there is none.
Key port_device(const char* name) {
  char wanted[16];
  com_name(name, wanted, sizeof wanted);
  Key found;
  Key all;
  if (wanted[0] == '\0' ||
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEnumKey, 0, KEY_READ, &all.handle) != ERROR_SUCCESS) {
    return found;
  }
  char enumerator[kKeyNameSize];
  for (DWORD e = 0; subkey(all.handle, e, enumerator); ++e) {
    Key devices;
    if (RegOpenKeyExA(all.handle, enumerator, 0, KEY_READ, &devices.handle) != ERROR_SUCCESS) {
      continue;
    }
    char device[kKeyNameSize];
    for (DWORD d = 0; subkey(devices.handle, d, device); ++d) {
      Key instances;
      if (RegOpenKeyExA(devices.handle, device, 0, KEY_READ, &instances.handle) != ERROR_SUCCESS) {
        continue;
      }
      char instance[kKeyNameSize];
      for (DWORD i = 0; subkey(instances.handle, i, instance); ++i) {
        Key candidate;
        Key parameters;
        char port[16];
        if (RegOpenKeyExA(instances.handle, instance, 0, KEY_READ, &candidate.handle) ==
                ERROR_SUCCESS &&
            RegOpenKeyExA(candidate.handle, kParametersKey, 0, KEY_QUERY_VALUE,
                          &parameters.handle) == ERROR_SUCCESS &&
            read_string(parameters.handle, "PortName", port, sizeof port) &&
            _stricmp(port, wanted) == 0) {
          return candidate;
        }
      }
    }
  }
  return found;
}

bool invalid(SerialHandle port) {
  if (port == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return true;
  }
  return false;
}

}  // namespace

SerialHandle serial_open(const char* name, Access access) {
  if (name == nullptr || name[0] == '\0') {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  const DWORD rights = access == Access::ReadWrite ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  char path[MAX_PATH];
  device_path(name, path, sizeof path);
  HANDLE handle = CreateFileA(path, rights, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  DCB line{};
  line.DCBlength = sizeof line;
  // A path that opens but has no line settings is a plain file or some other
  // device; callers rely on a handle meaning a serial port.
  if (!GetCommState(handle, &line)) {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    return nullptr;
  }
  return new SerialPort{handle, line};
}

bool serial_close(SerialHandle port) {
  if (invalid(port)) {
    return false;
  }
  const bool closed = CloseHandle(port->handle) != FALSE;
  delete port;
  return closed;
}

bool serial_get_line(SerialHandle port, LineSettings* settings) {
  if (invalid(port)) {
    return false;
  }
  DCB line{};
  line.DCBlength = sizeof line;
  if (!GetCommState(port->handle, &line)) {
    return false;
  }
  port->line = line;
  settings->baud_rate = line.BaudRate;
  settings->byte_size = line.ByteSize;
  settings->parity = line.Parity;
  settings->stop_bits = line.StopBits;
  settings->binary = line.fBinary != 0;
  settings->parity_check = line.fParity != 0;
  settings->discard_null = line.fNull != 0;
  settings->abort_on_error = line.fAbortOnError != 0;
  return true;
}

bool serial_set_line(SerialHandle port, const LineSettings& settings) {
  if (invalid(port)) {
    return false;
  }
  DCB line = port->line;
  line.DCBlength = sizeof line;
  line.BaudRate = settings.baud_rate;
  line.ByteSize = settings.byte_size;
  line.Parity = settings.parity;
  line.StopBits = settings.stop_bits;
  line.fBinary = settings.binary ? 1u : 0u;
  line.fParity = settings.parity_check ? 1u : 0u;
  line.fNull = settings.discard_null ? 1u : 0u;
  line.fAbortOnError = settings.abort_on_error ? 1u : 0u;
  if (!SetCommState(port->handle, &line)) {
    return false;
  }
  port->line = line;
  return true;
}

bool serial_get_timeouts(SerialHandle port, Timeouts* timeouts) {
  if (invalid(port)) {
    return false;
  }
  COMMTIMEOUTS values{};
  if (!GetCommTimeouts(port->handle, &values)) {
    return false;
  }
  timeouts->read_interval = values.ReadIntervalTimeout;
  timeouts->read_total_multiplier = values.ReadTotalTimeoutMultiplier;
  timeouts->read_total_constant = values.ReadTotalTimeoutConstant;
  timeouts->write_total_multiplier = values.WriteTotalTimeoutMultiplier;
  timeouts->write_total_constant = values.WriteTotalTimeoutConstant;
  return true;
}

bool serial_set_timeouts(SerialHandle port, const Timeouts& timeouts) {
  if (invalid(port)) {
    return false;
  }
  COMMTIMEOUTS values{};
  values.ReadIntervalTimeout = timeouts.read_interval;
  values.ReadTotalTimeoutMultiplier = timeouts.read_total_multiplier;
  values.ReadTotalTimeoutConstant = timeouts.read_total_constant;
  values.WriteTotalTimeoutMultiplier = timeouts.write_total_multiplier;
  values.WriteTotalTimeoutConstant = timeouts.write_total_constant;
  return SetCommTimeouts(port->handle, &values) != FALSE;
}

bool serial_read(SerialHandle port, void* buffer, uint32_t length, uint32_t* done) {
  *done = 0;
  if (invalid(port)) {
    return false;
  }
  DWORD moved = 0;
  if (!ReadFile(port->handle, buffer, length, &moved, nullptr)) {
    return false;
  }
  *done = moved;
  if (moved == 0) {
    // A read that brought nothing may be a quiet line or a device that has
    // gone; only the latter fails the status query.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port->handle, &errors, &status)) {
      return false;
    }
  }
  return true;
}

bool serial_write(SerialHandle port, const void* buffer, uint32_t length, uint32_t* done) {
  *done = 0;
  if (invalid(port)) {
    return false;
  }
  DWORD moved = 0;
  const bool ok = WriteFile(port->handle, buffer, length, &moved, nullptr) != FALSE;
  *done = moved;
  return ok;
}

bool serial_purge(SerialHandle port, unsigned what) {
  if (invalid(port)) {
    return false;
  }
  if (what == 0 || (what & ~(kPurgeRx | kPurgeTx)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DWORD flags = 0;
  if ((what & kPurgeRx) != 0) {
    flags |= PURGE_RXCLEAR;
  }
  if ((what & kPurgeTx) != 0) {
    flags |= PURGE_TXCLEAR;
  }
  return PurgeComm(port->handle, flags) != FALSE;
}

bool serial_get_event_mask(SerialHandle port, uint32_t* mask) {
  if (invalid(port)) {
    return false;
  }
  DWORD value = 0;
  if (!GetCommMask(port->handle, &value)) {
    return false;
  }
  *mask = value;
  return true;
}

bool serial_describe(const char* name, char* text, std::size_t size) {
  if (text == nullptr || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  text[0] = '\0';
  const Key device = port_device(name);
  char friendly[256];
  if (device.handle == nullptr || !read_string(device.handle, "FriendlyName", friendly, sizeof friendly) ||
      friendly[0] == '\0') {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  // The name comes from the device's driver; no control character of it
  // reaches the console.
  for (char* c = friendly; *c != '\0'; ++c) {
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) *c = '?';
  }
  std::snprintf(text, size, "%s", friendly);
  return true;
}

AdapterLatency serial_latency(const char* name) {
  AdapterLatency out;
  const Key device = port_device(name);
  Key parameters;
  if (device.handle == nullptr ||
      RegOpenKeyExA(device.handle, kParametersKey, 0, KEY_QUERY_VALUE, &parameters.handle) !=
          ERROR_SUCCESS) {
    return out;
  }
  DWORD type = 0;
  DWORD timer = 0;
  DWORD length = sizeof timer;
  if (RegQueryValueExA(parameters.handle, "LatencyTimer", nullptr, &type,
                       reinterpret_cast<BYTE*>(&timer), &length) != ERROR_SUCCESS ||
      type != REG_DWORD || length != sizeof timer) {
    return out;
  }
  out.timer_ms = timer;
  // The driver reads the value when the device starts; only the device's own
  // settings page changes it for good, so it is reported, not written.
  out.state = timer <= kFineTimerMs ? LatencyState::Fine : LatencyState::Slow;
  return out;
}

const char* port_directory() { return ""; }

uint32_t last_error() { return GetLastError(); }

void error_text(uint32_t code, char* text, std::size_t size) {
  if (text == nullptr || size == 0) return;
  char message[512] = {};
  DWORD end = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, message, sizeof message, nullptr);
  while (end > 0 && (message[end - 1] == '\r' || message[end - 1] == '\n' || message[end - 1] == ' ')) {
    --end;
  }
  message[end] = '\0';
  if (end == 0) {
    std::snprintf(text, size, "system error %lu", static_cast<unsigned long>(code));
  } else {
    std::snprintf(text, size, "%s", message);
  }
}

}  // namespace plat
