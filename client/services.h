// Service messages: a request is the data of one frame, 0x01 then the service
// code then its bytes; a device answers with one reply whose byte 1 is the
// code of the answer. Parameters are addressed by class, member and instance.
// Every request here is a blocking request that expects a reply.
#pragma once

#include <cstdint>

#include "client/typed_value.h"

// Reply byte 3 of a presence probe when the station runs its bootloader.
inline constexpr uint8_t ProbeBootloaderMark = 0xCC;

// Results of Client_Probe.
inline constexpr int ProbeSilent = 0;       // no answer within the reply wait
inline constexpr int ProbeApplication = 1;  // the application answered
inline constexpr int ProbeBootloader = 2;   // the bootloader answered
// Something answered that cannot be read: a damaged frame, a reply too short
// to tell, or Reply Postponed. A station is there; asking again may tell which.
inline constexpr int ProbeUnreadable = 3;

// One of the Probe* results above.
int Client_Probe(const char* portName, uint8_t station);

// 0 = read into `value` (point value->buffer at a buffer to read a text); 1 to
// 4 = the status of a failed exchange, 4 also when the request could not be
// made; a reply too short to hold the value counts as InvalidFrame (2).
int Client_ReadMember(const char* portName, uint8_t station, uint8_t cls, uint8_t member,
                      uint8_t instance, TypedValue* value);

// 0 = accepted; -1, -2, -3 from Client_Request (-1 also for a value that cannot
// be encoded); -7 = the exchange failed; -8 = refused.
int Client_WriteMember(const char* portName, uint8_t station, uint8_t cls, uint8_t member,
                       uint8_t instance, TypedValue value);

// Asks the device to report when its settings have settled and reads the
// settle value every 5 s until it stops changing: 1 = settled, 0 = not within
// 60 s or a read failed.
int Client_WaitSettled(const char* portName, uint8_t station);

// Writes the device's address setting as the zone number of `newAddress`;
// 1 = written, 0 = failed. The device then answers at its new address.
int Client_SetZoneAddress(const char* portName, uint8_t station, uint8_t newAddress);

// Called by the waits for a device on the calling thread, often (at each
// probe of a station, every 100 ms of a settle wait, around the pause of a
// search), so that the front end can show that the wait goes on. Each thread
// has its own; nullptr (the default): none.
using ClientWaitTick = void (*)();
// Returns the tick it replaces.
ClientWaitTick Client_SetWaitTick(ClientWaitTick tick);
void Client_WaitTick();
