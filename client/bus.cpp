#include "client/bus.h"

#include "client/relocate.h"
#include "client/scan.h"
#include "client/services.h"

namespace {

Result FromRequest(const char* port, int result) {
  if (result == 0) return {};
  char why[ClientLostTextMax] = {};
  if (Client_PortLost(port, why, sizeof why) == 1) return {Outcome::PortLost, why};
  return Outcome::NoAnswer;
}

class ClientBus final : public Bus {
 public:
  Result Open(const char* port) override {
    if (Client_Open(port) == 0) return {};
    Result why = Client_OpenFailure(port);
    return why.Ok() ? Result(Outcome::PortNotOpened) : why;
  }
  Result Close(const char* port) override {
    Client_Close(port);
    return {};
  }
  Result PortState(const char* port) override {
    char why[ClientLostTextMax] = {};
    if (Client_PortLost(port, why, sizeof why) == 1) return {Outcome::PortLost, why};
    return {};
  }
  Result Request(const char* port, uint8_t station, const uint8_t* data, uint16_t length,
                 uint8_t* reply, uint16_t capacity, uint16_t* replyLength) override {
    uint8_t source = 0;
    uint8_t status = 0;
    uint16_t got = 0;
    const int result = Client_Request(port, station, data, length, 1, &source, reply, capacity,
                                      &got, &status);
    if (replyLength != nullptr) *replyLength = got;
    if (result != 0) return FromRequest(port, result);
    if (status != static_cast<uint8_t>(UpcallStatus::Delivered)) return FromRequest(port, 1);
    return {};
  }
  Result RequestAsync(const char* port, uint8_t station, const uint8_t* data, uint16_t length,
                      bool expectReply, ReplyHandler handler, void* context) override {
    return FromRequest(port, Client_RequestAsync(port, station, data, length, expectReply ? 1 : 0,
                                                 handler, context));
  }
  uint32_t Withdraw(const char* port, void* context) override {
    return Client_Withdraw(port, context);
  }
  Result ReadMember(const char* port, uint8_t station, uint8_t cls, uint8_t member,
                    uint8_t instance, TypedValue* value) override {
    return FromRequest(port, Client_ReadMember(port, station, cls, member, instance, value));
  }
  Result WriteMember(const char* port, uint8_t station, uint8_t cls, uint8_t member,
                     uint8_t instance, TypedValue value) override {
    const int result = Client_WriteMember(port, station, cls, member, instance, value);
    if (result == -8) return Outcome::Refused;
    return FromRequest(port, result);
  }
  Result WaitSettled(const char* port, uint8_t station) override {
    return FromRequest(port, Client_WaitSettled(port, station) == 1 ? 0 : 1);
  }
  Result SetZoneAddress(const char* port, uint8_t station, uint8_t newAddress) override {
    return FromRequest(port, Client_SetZoneAddress(port, station, newAddress) == 1 ? 0 : 1);
  }
  uint8_t ScanRange(const char* port, uint8_t first, uint8_t last, DeviceRecord* records,
                    uint8_t capacity) override {
    return Client_ScanRange(port, first, last, records, capacity);
  }
  uint8_t FindDevice(const char* port, uint8_t first, uint8_t last, const char* modelNumber,
                     int32_t serialNumber) override {
    return Client_FindDevice(port, first, last, modelNumber, serialNumber);
  }
  uint8_t Relocate(const char* port, uint8_t first, uint8_t last, uint16_t selectRegister,
                   const char* modelNumber, int32_t serialNumber) override {
    return Client_Relocate(port, first, last, selectRegister, modelNumber, serialNumber);
  }
};

}  // namespace

Bus& Client_Bus() {
  static ClientBus bus;
  return bus;
}
