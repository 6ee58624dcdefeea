/*
 * Tarnix bus link: joins a serial port to a token-passing Tarnix bus as one
 * master station and carries frames for its user.
 *
 * Every function names its port by the port name given to TarnixLink_Init
 * ("Com3", "\\.\Com12", ...). A name that is null, empty or not open makes a
 * function do nothing and return its failure value.
 *
 * Results: 0 is success everywhere; failure is 1, except TarnixLink_Init,
 * which returns -1, and TarnixLink_GetAddress, which returns 255.
 *
 * Callbacks run on the port's master thread, one at a time; a data pointer
 * handed to the upcall is valid only during the call.
 */
#ifndef TARNIX_LINK_H
#define TARNIX_LINK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum UpcallStatus {
  Delivered = 0,       /* a reply, a frame for this station, or one octet in immediate mode */
  ReplyTimeout = 1,    /* no reply after the last resend */
  InvalidFrame = 2,    /* a damaged frame while a reply was awaited */
  ReplyPostponed = 3,  /* the station answered Reply Postponed */
  UnexpectedFrame = 4  /* another frame while a reply was awaited */
} UpcallStatus;

/* Called when the station holds the token and may send one frame; nonzero asks
 * to be called again in this token hold. */
typedef uint8_t (*TokenObtainedDelegate)(const char* portName);

/* Delivers a frame or the outcome of a request. The result is ignored. */
typedef int32_t (*UpcallDelegate)(const char* portName, const uint8_t* data, uint32_t source,
                                  uint32_t length, UpcallStatus status);

typedef struct LinkConfig {
  const char* PortName;  /* 1 to 32 characters */
  int32_t BaudRate;      /* 9600, 19200 or 38400 */
  int32_t MaxMaster;     /* 0 to 127 */
  int32_t MaxInfoFrames; /* 1 or more */
  int32_t StationAddress; /* 0 to 127 */
  TokenObtainedDelegate TokenObtained;
  UpcallDelegate Upcall;
} LinkConfig;

/* Stores 0, 4 and 5 (the interface version); null pointers are skipped. */
void TarnixLink_GetVersion(int32_t* major, int32_t* minor, int32_t* revision);

/* Opens the port and starts its threads: 0, or -1 for a busy "InitSem" (10 s),
 * a bad or over-long name, a full table of eight ports, a port already running,
 * a field out of range, a tick timer or port that cannot be had. Nothing is
 * printed: after -1, TarnixLink_GetAddress answering other than 255 tells that
 * the port was already running (and still is, unchanged). */
int8_t TarnixLink_Init(const LinkConfig* config);

/* Stops the port's threads and closes it: 0, or 1 for an unknown name or a
 * handle that failed to close. */
uint8_t TarnixLink_UnInit(const char* portName);

/* Sends one frame (Data Expecting Reply when expectReply is nonzero, else Data
 * Not Expecting Reply): 0 sent, 1 not sent (unknown port, more than 501 data
 * octets, or a transmit gate refused it). The Ex form sets the reply wait to
 * 125 ms for each started 500 of `timeout`; the plain form uses 512. */
uint8_t TarnixLink_SendFrame(const char* portName, uint8_t destination, const uint8_t* data,
                             uint16_t length, uint8_t expectReply);
uint8_t TarnixLink_SendFrameEx(const char* portName, uint8_t destination, const uint8_t* data,
                               uint16_t length, uint8_t expectReply, uint16_t timeout);

/* 0 set, 1 no such port. */
uint8_t TarnixLink_SetMaxRequestResend(const char* portName, uint8_t count);
/* The station's own address, or 255 for no such port. */
uint8_t TarnixLink_GetAddress(const char* portName);

void TarnixLink_DisableMasterServices(const char* portName, uint8_t disable);
void TarnixLink_DisableMSTPFraming(const char* portName, uint8_t disable);
void TarnixLink_EnableImmediateUpcall(const char* portName, uint8_t enable);
void TarnixLink_SetUpcallDelegate(const char* portName, UpcallDelegate upcall);
void TarnixLink_SetTokenObtainedDelegate(const char* portName, TokenObtainedDelegate tokenObtained);

/* Whether the port's device has gone: a read or write of the port failed (an
 * adapter pulled, a driver that gave up). 1 lost, with the system's message in
 * `text` (cut to `size` characters with its NUL; text may be null); 0 working;
 * 255 no such port. When the port is lost, one upcall with ReplyTimeout and no
 * data is made at once, whether or not a request was waiting for its reply, so
 * that requests still queued by the user can be failed without waiting for a
 * token; nothing more is sent or received, and the port is to be closed with
 * TarnixLink_UnInit. This tells a lost port from a silent station, which gives
 * ReplyTimeout too. */
uint8_t TarnixLink_PortLost(const char* portName, char* text, uint32_t size);

/* Bus test switches. */
void TarnixLink_CheckSumError(const char* portName);
void TarnixLink_TokenDrop(const char* portName, uint8_t station);
void TarnixLink_SetBaud(const char* portName, uint32_t baudRate);
void TarnixLink_PacketJam(const char* portName);
void TarnixLink_StopPacketJam(const char* portName);

#ifdef __cplusplus
}
#endif

#endif /* TARNIX_LINK_H */
