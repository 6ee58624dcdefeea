// Port connections: a serial port joined to the bus through the link, with a
// queue of pending requests. Requests are queued by application threads and
// sent by the port's master thread when the station holds the token; every
// upcall completes the oldest request that is on the bus.
//
// Results: 0 success; -1 port name or request data missing or unusable (a
// request longer than ClientMaxMessage), port not open; -2 waiting for a
// blocking request failed or outlasted its limit; -3 the port's queue is full;
// -4 the link could not be started or stopped (or, for Client_Close, the port
// is not open); -5 no free own station address 0 to 3, or all eight
// connections in use.
#pragma once

#include <cstdint>

#include "client/request_queue.h"
#include "client/result.h"
#include "link/tarnix_link.h"
#include "platform/sync.h"

inline constexpr int ClientPortSlots = 8;
inline constexpr int ClientQueueCapacity = 244;
// Longest port name a connection holds; a longer one is refused by Client_Open.
inline constexpr int ClientPortNameMax = 20;
// The longest message a frame carries, request or reply. A longer request is
// refused at once: the link would never send it and it would block the queue.
inline constexpr uint16_t ClientMaxMessage = 501;
// The longest a blocking request waits for its outcome. On a working bus one
// request ends within about 15 s at worst: the token comes round (a lost token
// is recreated within 0.6 s here; fifteen other masters each using it for three
// exchanges of the longest frames, 0.27 s apiece, take about 12 s), then the
// reply wait of 250 ms, and that again for each resend set with
// TarnixLink_SetMaxRequestResend. A minute leaves room for a request queued
// ahead and a few resends, and still ends a wait on a link that has stopped
// serving the port.
inline constexpr uint32_t ClientRequestWaitMs = 60000;

// Called on the port's master thread when an asynchronous request completes;
// the reply bytes are valid only during the call. The result is ignored.
using CompletionCallback = uint8_t (*)(const char* portName, int32_t portNameLength,
                                       const uint8_t* reply, uint32_t source, uint32_t length,
                                       uint32_t status);

// What an asynchronous request's handler is handed when the request
// completes: the reply (null with length 0 for a request that failed) is
// valid only during the call.
struct AsyncReply {
  const char* portName = nullptr;
  const uint8_t* data = nullptr;
  uint32_t source = 0;
  uint32_t length = 0;
  uint32_t status = 0;
};
// Runs on the port's master thread with the `context` the request was queued
// with, so that each of several requesters on one port gets its own replies.
using ReplyHandler = void (*)(void* context, const AsyncReply& reply);

struct PortConnection {
  int32_t free = 1;
  char name[ClientPortNameMax + 1] = "None";
  RequestQueue* queue = nullptr;
};

struct PendingRequest {
  uint8_t destination = 0;
  const uint8_t* data = nullptr;
  uint16_t length = 0;
  uint8_t expectReply = 0;
  uint8_t replySource = 0;
  uint8_t* replyBuffer = nullptr;
  uint16_t replyCapacity = 0;
  uint16_t replyLength = 0;
  uint8_t replyStatus = 0;
  int32_t blocking = 0;
  CompletionCallback completion = nullptr;
  ReplyHandler handler = nullptr;
  void* context = nullptr;
  plat::SemHandle done = nullptr;
  // Set by the master thread once the link has taken the frame: only then can
  // an upcall be this request's answer.
  bool sent = false;
};

int Client_Open(const char* portName);
int Client_Close(const char* portName);
// Why the last Client_Open of `portName` failed: PortNotOpened with the
// system's words (or what was missing: a connection slot, memory, the link's
// start), NoFreeStation; Done when it worked or was never tried. The next
// successful open forgets a failure.
Result Client_OpenFailure(const char* portName);
PortConnection* Client_Find(const char* portName);

// Sends one request and waits for its outcome, at most ClientRequestWaitMs.
// 0 means only that the exchange ended: the caller tests *status
// (0 = Delivered) and the reply. A request that outlasts the limit is taken
// back from the queue and returns -2; a port closed meanwhile completes it with
// ReplyTimeout, and so does a lost port (see Client_PortLost). A reply longer
// than `replyCapacity` is not copied and ends as InvalidFrame with length 0.
// A request without reply expectation completes once the link has taken it.
int Client_Request(const char* portName, uint8_t destination, const uint8_t* data, uint16_t length,
                   uint8_t expectReply, uint8_t* source, uint8_t* reply, uint16_t replyCapacity,
                   uint16_t* replyLength, uint8_t* status);

// Queues a copy of the request and returns at once; `completion` (may be null)
// runs on the master thread when a request that expects a reply completes.
int Client_RequestAsync(const char* portName, uint8_t destination, const uint8_t* data,
                        uint16_t length, uint8_t expectReply, CompletionCallback completion);
// The same with a handler that is handed `context` back.
int Client_RequestAsync(const char* portName, uint8_t destination, const uint8_t* data,
                        uint16_t length, uint8_t expectReply, ReplyHandler handler,
                        void* context);
// Takes every asynchronous request queued on the port with `context` that has
// not gone out yet back out of the queue, keeping the order of the others:
// none of them is sent, and no completion runs for them. May be called from a
// completion. Returns how many of them expected a reply (0 for a null
// context, which names no requester).
uint32_t Client_Withdraw(const char* portName, void* context);

// Whether the port's device went away (an adapter pulled, a driver that gave
// up) since the port was last opened: 1 with the system's message in `text`
// (cut to `size` characters with its NUL; text may be null), else 0. The
// answer outlives Client_Close, so that whoever reports a failed job can say
// why; the next successful Client_Open of the name forgets it.
//
// On a lost port every request completes at once as failed, with the status
// ReplyTimeout, whether it was on the bus, still queued, or made afterwards;
// this call tells such a failure from a silent station. Completion callbacks
// of requests failed that way may run on the thread that queued the request
// or on the port's master thread, never on both for one port at a time.
int Client_PortLost(const char* portName, char* text, uint32_t size);

// Longest system message Client_PortLost keeps, with its NUL.
inline constexpr uint32_t ClientLostTextMax = 128;

// Sets the limit of a blocking request's wait (ClientRequestWaitMs unless set);
// tests shorten it.
void Client_SetRequestWaitLimit(uint32_t ms);

// The link's delegates.
uint8_t Client_OnTokenObtained(const char* portName);
int32_t Client_OnUpcall(const char* portName, const uint8_t* data, uint32_t source, uint32_t length,
                        UpcallStatus status);
