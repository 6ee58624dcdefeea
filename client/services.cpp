#include "client/services.h"

#include "client/client.h"
#include "link/tarnix_link.h"
#include "platform/clock.h"
#include "platform/interrupt.h"

namespace {

constexpr uint8_t kServiceHeader = 0x01;
constexpr uint8_t kServiceProbe = 0x01;
constexpr uint8_t kServiceReadMember = 0x03;
constexpr uint8_t kServiceWriteMember = 0x04;
constexpr uint8_t kRefusedFrom = 0x80;

constexpr uint32_t kSettleLimitMs = 60000;
constexpr uint32_t kSettlePauseMs = 5000;
constexpr uint32_t kSettleSliceMs = 100;

thread_local ClientWaitTick t_waitTick = nullptr;

}  // namespace

ClientWaitTick Client_SetWaitTick(ClientWaitTick tick) {
  const ClientWaitTick before = t_waitTick;
  t_waitTick = tick;
  return before;
}

void Client_WaitTick() {
  if (t_waitTick != nullptr) t_waitTick();
}

int Client_Probe(const char* portName, uint8_t station) {
  Client_WaitTick();
  const uint8_t request[] = {kServiceHeader, kServiceProbe};
  uint8_t reply[512];
  uint16_t length = 0;
  uint8_t status = 0;
  if (Client_Request(portName, station, request, sizeof request, 1, nullptr, reply, sizeof reply,
                     &length, &status) != 0) {
    return ProbeSilent;
  }
  switch (status) {
    case Delivered:
      if (length < 4) return ProbeUnreadable;
      return reply[3] == ProbeBootloaderMark ? ProbeBootloader : ProbeApplication;
    case InvalidFrame:
    case ReplyPostponed:
      return ProbeUnreadable;
    default:
      // A time-out, or another station's frame: nothing says this one is there.
      return ProbeSilent;
  }
}

int Client_ReadMember(const char* portName, uint8_t station, uint8_t cls, uint8_t member,
                      uint8_t instance, TypedValue* value) {
  const uint8_t request[] = {kServiceHeader, kServiceReadMember, 0x01, cls, member, instance};
  uint8_t reply[512];
  uint16_t length = 0;
  uint8_t status = 0;
  if (Client_Request(portName, station, request, sizeof request, 1, nullptr, reply, sizeof reply,
                     &length, &status) != 0) {
    return 4;
  }
  if (status != Delivered) return status;
  constexpr uint16_t kValueAt = 6;
  if (length <= kValueAt || TypedValue_Decode(reply + kValueAt, length - kValueAt, value) == 0) {
    return InvalidFrame;
  }
  return 0;
}

int Client_WriteMember(const char* portName, uint8_t station, uint8_t cls, uint8_t member,
                       uint8_t instance, TypedValue value) {
  uint8_t request[ClientMaxMessage] = {kServiceHeader, kServiceWriteMember, cls, member, instance};
  constexpr std::size_t kHeader = 5;
  const std::size_t encoded = TypedValue_Encode(value, request + kHeader, sizeof request - kHeader);
  if (encoded == 0) return -1;
  uint8_t reply[64];
  uint16_t length = 0;
  uint8_t status = 0;
  const int result =
      Client_Request(portName, station, request, static_cast<uint16_t>(kHeader + encoded), 1,
                     nullptr, reply, sizeof reply, &length, &status);
  if (result != 0) return result;
  if (status != Delivered || length < 2) return -7;
  return reply[1] >= kRefusedFrom ? -8 : 0;
}

int Client_WaitSettled(const char* portName, uint8_t station) {
  const uint32_t start = plat::now_ms();
  TypedValue value;
  value.type = 7;
  value.value = uint32_t{106} << 24;
  Client_WriteMember(portName, station, 17, 51, 1, value);
  for (;;) {
    if (plat::now_ms() - start > kSettleLimitMs) return 0;
    const uint32_t previous = value.value;
    // An interrupt ends the wait: the device settles without being watched.
    for (uint32_t slept = 0; slept < kSettlePauseMs; slept += kSettleSliceMs) {
      if (plat::interrupt_requested()) return 0;
      Client_WaitTick();
      plat::sleep_ms(kSettleSliceMs);
    }
    if (Client_ReadMember(portName, station, 16, 9, 1, &value) != 0) return 0;
    if (value.value == previous) return 1;
  }
}

int Client_SetZoneAddress(const char* portName, uint8_t station, uint8_t newAddress) {
  TypedValue value;
  value.type = 1;
  value.value = uint32_t{ZoneOfAddress(newAddress)} << 24;
  return Client_WriteMember(portName, station, 17, 1, 1, value) == 0 ? 1 : 0;
}
