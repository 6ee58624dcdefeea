// The bus as the engines above the client reach it: one interface, filled by
// the program with the client's calls (Client_Bus) and by the tests with a
// fake device. Every call names its port, so one object serves all of them.
#pragma once

#include <cstdint>

#include "client/client.h"
#include "client/result.h"
#include "client/scan.h"
#include "client/typed_value.h"

// A station address that no device has: what the searches return when they
// find nothing.
inline constexpr uint8_t BusNoStation = 255;

class Bus {
 public:
  virtual ~Bus() = default;

  // The port's connection (Client_Open, Client_Close).
  virtual Result Open(const char* port) = 0;
  virtual Result Close(const char* port) = 0;
  // PortLost with the system's words once the port's device went away.
  virtual Result PortState(const char* port) = 0;

  // One request expecting a reply, waited for. Done when a reply was
  // delivered (copied to `reply`, at most `capacity`; `length` may be null).
  virtual Result Request(const char* port, uint8_t station, const uint8_t* data, uint16_t length,
                         uint8_t* reply, uint16_t capacity, uint16_t* replyLength) = 0;
  // Queued and returned from at once; `handler` runs with `context` on the
  // port's master thread when a request that expects a reply completes.
  virtual Result RequestAsync(const char* port, uint8_t station, const uint8_t* data,
                              uint16_t length, bool expectReply, ReplyHandler handler,
                              void* context) = 0;
  // Takes the requests queued with `context` that have not gone out yet back
  // out of the port's queue: they are never sent and their handlers never
  // run. Returns how many of them expected a reply.
  virtual uint32_t Withdraw(const char* port, void* context) = 0;

  virtual Result ReadMember(const char* port, uint8_t station, uint8_t cls, uint8_t member,
                            uint8_t instance, TypedValue* value) = 0;
  virtual Result WriteMember(const char* port, uint8_t station, uint8_t cls, uint8_t member,
                             uint8_t instance, TypedValue value) = 0;
  virtual Result WaitSettled(const char* port, uint8_t station) = 0;
  virtual Result SetZoneAddress(const char* port, uint8_t station, uint8_t newAddress) = 0;

  // The devices answering from `first` to `last`, identified.
  virtual uint8_t ScanRange(const char* port, uint8_t first, uint8_t last, DeviceRecord* records,
                            uint8_t capacity) = 0;
  // Station of the application with this identity in the band, or
  // BusNoStation: one look (FindDevice), or the search of up to 60 s with the
  // Modbus switch back between looks (Relocate).
  virtual uint8_t FindDevice(const char* port, uint8_t first, uint8_t last,
                             const char* modelNumber, int32_t serialNumber) = 0;
  virtual uint8_t Relocate(const char* port, uint8_t first, uint8_t last, uint16_t selectRegister,
                           const char* modelNumber, int32_t serialNumber) = 0;
};

// The client's calls.
Bus& Client_Bus();
