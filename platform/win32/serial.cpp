// Serial ports through the Windows communications API. The port is used
// synchronously: no overlapped I/O, the time-outs decide how long a read waits.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>
#include <string>

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

bool is_bare_com_name(const char* name) {
  const std::size_t length = std::strlen(name);
  if (length < 4 || length > 6) {
    return false;
  }
  const char prefix[] = {'c', 'o', 'm'};
  for (std::size_t i = 0; i < 3; ++i) {
    if ((name[i] | 0x20) != prefix[i]) {
      return false;
    }
  }
  return true;
}

// "Com3" becomes "\\.\Com3": the device namespace is the only way to reach
// ports from 10 on, and works for all of them. Anything else is already a path.
std::string device_path(const char* name) {
  if (is_bare_com_name(name)) {
    return std::string("\\\\.\\") + name;
  }
  return name;
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
  HANDLE handle =
      CreateFileA(device_path(name).c_str(), rights, 0, nullptr, OPEN_EXISTING, 0, nullptr);
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
  const bool ok = ReadFile(port->handle, buffer, length, &moved, nullptr) != FALSE;
  *done = moved;
  return ok;
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
  static_cast<void>(name);
  if (text != nullptr && size != 0) text[0] = '\0';
  return false;
}

const char* port_directory() { return ""; }

uint32_t last_error() { return GetLastError(); }

}  // namespace plat
