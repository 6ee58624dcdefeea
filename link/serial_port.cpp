#include "link/serial_port.h"

#include <cstring>
#include <mutex>

#include "link/ports.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace tarnix {
namespace {

constexpr size_t kJamStack = 1024;
constexpr uint32_t kJamIntervalMs = 10;
constexpr uint32_t kJamJoinMs = 1000;
constexpr uint8_t kJamOctet = 0xFF;

plat::SerialHandle HandleOf(uint8_t id) {
  SerialChannel* channel = FindSerialChannel(id);
  return channel == nullptr ? nullptr : channel->Handle;
}

bool ConfigureLine(plat::SerialHandle handle, uint32_t baudRate) {
  plat::LineSettings line;
  if (!plat::serial_get_line(handle, &line)) {
    return false;
  }
  line.baud_rate = baudRate;
  line.byte_size = 8;
  line.parity = 0;
  line.stop_bits = 0;
  line.binary = true;
  line.parity_check = false;
  line.discard_null = false;
  line.abort_on_error = false;
  if (!plat::serial_set_line(handle, line)) {
    return false;
  }
  plat::Timeouts timeouts;
  if (!plat::serial_get_timeouts(handle, &timeouts)) {
    return false;
  }
  timeouts.read_interval = plat::kMaxDword;
  timeouts.read_total_multiplier = 0;
  timeouts.read_total_constant = 0;
  timeouts.write_total_multiplier = kWriteMsPerOctet;
  timeouts.write_total_constant = kWriteConstantMs;
  return plat::serial_set_timeouts(handle, timeouts);
}

uint32_t OctetMicrosAt(uint32_t baudRate) {
  // Ten bit times: start bit, eight data bits, stop bit.
  return baudRate == 0 ? 0 : static_cast<uint32_t>((10ull * 1000000ull + baudRate - 1) / baudRate);
}

// Sets the read time-outs unless they are set already.
bool SetReadTimeouts(plat::SerialHandle handle, uint32_t interval, uint32_t multiplier,
                     uint32_t constant) {
  plat::Timeouts timeouts;
  if (!plat::serial_get_timeouts(handle, &timeouts)) {
    return false;
  }
  if (timeouts.read_interval == interval && timeouts.read_total_multiplier == multiplier &&
      timeouts.read_total_constant == constant) {
    return true;
  }
  timeouts.read_interval = interval;
  timeouts.read_total_multiplier = multiplier;
  timeouts.read_total_constant = constant;
  return plat::serial_set_timeouts(handle, timeouts);
}

// How many open ports hold the timer resolution, and the period asked for.
std::mutex gTickLock;
int gTickUsers = 0;
uint32_t gTickPeriod = 0;

void JamThread(void* arg) {
  LinkPort* port = static_cast<LinkPort*>(arg);
  const uint8_t id = port->PortId;
  while (port->JamStop.load() == 0) {
    plat::sleep_ms(kJamIntervalMs);
    if (port->JamStop.load() != 0) {
      break;
    }
    WriteOctets(id, &kJamOctet, 1);
  }
}

}  // namespace

uint8_t OpenPort(const char* name, uint8_t id, uint32_t baudRate) {
  SerialChannel* channel = FindSerialChannel(id);
  if (FindLinkPort(id) == nullptr || channel == nullptr) {
    return kOpenFailed;
  }
  plat::cs_init(&channel->IoLock);
  channel->IoLockReady = true;
  channel->Lost = 0;
  channel->LostError = 0;
  channel->LineBusyUntil = 0;
  channel->BlockLength = 0;
  channel->BlockNext = 0;
  channel->Expect = 0;
  channel->MayLinger = 0;
  channel->Handle = plat::serial_open(name, plat::Access::ReadWrite);
  if (channel->Handle == nullptr || !ConfigureLine(channel->Handle, baudRate)) {
    ClosePort(id);
    return kOpenFailed;
  }
  channel->OctetMicros = OctetMicrosAt(baudRate);
  return 0;
}

bool ClosePort(uint8_t id) {
  SerialChannel* channel = FindSerialChannel(id);
  if (channel == nullptr) {
    return true;
  }
  bool closed = true;
  if (channel->Handle != nullptr) {
    closed = plat::serial_close(channel->Handle);
    channel->Handle = nullptr;
  }
  if (channel->IoLockReady) {
    plat::cs_destroy(&channel->IoLock);
    channel->IoLockReady = false;
  }
  return closed;
}

void MarkLost(SerialChannel& channel, uint32_t error) {
  if (channel.Lost.load() != 0) {
    return;
  }
  channel.LostError = error;
  channel.Lost = 1;
}

bool WriteOctets(uint8_t id, const uint8_t* octets, uint32_t count) {
  SerialChannel* channel = FindSerialChannel(id);
  if (channel == nullptr || channel->Handle == nullptr || channel->Lost.load() != 0) {
    return false;
  }
  uint32_t done = 0;
  if (!plat::serial_write(channel->Handle, octets, count, &done)) {
    MarkLost(*channel, plat::last_error());
    return false;
  }
  return done == count;
}

bool ReadOctetNow(uint8_t id, uint8_t* octet) {
  plat::SerialHandle handle = HandleOf(id);
  if (handle == nullptr || !SetReadTimeouts(handle, plat::kMaxDword, 0, 0)) {
    return false;
  }
  uint32_t done = 0;
  return plat::serial_read(handle, octet, 1, &done) && done == 1;
}

bool ReadBlock(uint8_t id, uint8_t* buffer, uint16_t size, uint16_t expect, uint32_t waitMs,
               uint16_t* count) {
  *count = 0;
  SerialChannel* channel = FindSerialChannel(id);
  if (channel == nullptr || channel->Handle == nullptr) {
    return false;
  }
  bool set = false;
  uint32_t length = size;
  if (expect == 0) {
    set = SetReadTimeouts(channel->Handle, plat::kMaxDword, plat::kMaxDword, waitMs);
  } else {
    length = expect < size ? expect : size;
    const uint32_t lineMs = (length * channel->OctetMicros.load() + 999) / 1000;
    set = SetReadTimeouts(channel->Handle, 0, 0, lineMs + kReadWaitMs);
  }
  uint32_t done = 0;
  if (!set || !plat::serial_read(channel->Handle, buffer, length, &done)) {
    MarkLost(*channel, plat::last_error());
    return false;
  }
  *count = static_cast<uint16_t>(done);
  return true;
}

uint8_t ReadErrorFlag(uint8_t id) {
  plat::SerialHandle handle = HandleOf(id);
  uint32_t mask = 0;
  if (handle == nullptr || !plat::serial_get_event_mask(handle, &mask)) {
    return 1;
  }
  return (mask & plat::kEvErr) != 0 ? 1 : 0;
}

void DiscardInput(uint8_t id) {
  if (plat::SerialHandle handle = HandleOf(id); handle != nullptr) {
    plat::serial_purge(handle, plat::kPurgeRx);
  }
}

void DiscardOutput(uint8_t id) {
  if (plat::SerialHandle handle = HandleOf(id); handle != nullptr) {
    plat::serial_purge(handle, plat::kPurgeTx);
  }
}

void LockPort(uint8_t id) {
  SerialChannel* channel = FindSerialChannel(id);
  if (channel != nullptr && channel->IoLockReady) {
    plat::cs_enter(&channel->IoLock);
  }
}

void UnlockPort(uint8_t id) {
  SerialChannel* channel = FindSerialChannel(id);
  if (channel != nullptr && channel->IoLockReady) {
    plat::cs_leave(&channel->IoLock);
  }
}

void SetPortBaud(uint8_t id, uint32_t baudRate) {
  plat::SerialHandle handle = HandleOf(id);
  plat::LineSettings line;
  if (handle == nullptr || !plat::serial_get_line(handle, &line)) {
    return;
  }
  line.baud_rate = baudRate;
  if (plat::serial_set_line(handle, line)) {
    if (SerialChannel* channel = FindSerialChannel(id); channel != nullptr) {
      channel->OctetMicros = OctetMicrosAt(baudRate);
    }
  }
}

bool ChooseTickPeriod(const plat::TimerCaps& caps, uint32_t* period) {
  if (caps.min_period_ms > kTickMs || caps.max_period_ms == 0 ||
      caps.max_period_ms < caps.min_period_ms) {
    return false;
  }
  *period = caps.max_period_ms > kTickMs ? kTickMs : caps.max_period_ms;
  return true;
}

uint8_t AcquireTick() {
  std::lock_guard<std::mutex> guard(gTickLock);
  if (gTickUsers > 0) {
    ++gTickUsers;
    return 0;
  }
  plat::TimerCaps caps;
  uint32_t period = 0;
  if (!plat::timer_caps(&caps) || !ChooseTickPeriod(caps, &period) ||
      !plat::timer_begin_period(period)) {
    return kTickFailed;
  }
  gTickPeriod = period;
  gTickUsers = 1;
  return 0;
}

void ReleaseTick() {
  std::lock_guard<std::mutex> guard(gTickLock);
  if (gTickUsers == 0 || --gTickUsers > 0) {
    return;
  }
  plat::timer_end_period(gTickPeriod);
}

bool TickRunning() {
  std::lock_guard<std::mutex> guard(gTickLock);
  return gTickUsers > 0;
}

void StartJam(LinkPort& port, SerialChannel& channel) {
  if (port.JamActive.load() != 0 || !channel.IoLockReady) {
    return;
  }
  port.JamStop = 0;
  plat::ThreadHandle thread = plat::thread_start(JamThread, &port, kJamStack);
  if (thread == nullptr) {
    return;
  }
  plat::thread_set_priority(thread, plat::Priority::AboveNormal);
  port.JamThread = thread;
  plat::cs_enter(&channel.IoLock);
  port.JamOwner = std::this_thread::get_id();
  port.JamActive = 1;
}

void StopJam(LinkPort& port, SerialChannel& channel) {
  if (port.JamActive.load() == 0 || port.JamOwner.load() != std::this_thread::get_id()) {
    return;
  }
  port.JamStop = 1;
  plat::thread_wait(port.JamThread, kJamJoinMs);
  plat::thread_close(port.JamThread);
  port.JamThread = nullptr;
  port.JamActive = 0;
  port.JamOwner = std::thread::id{};
  plat::cs_leave(&channel.IoLock);
}

}  // namespace tarnix
