#include "client/client.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "client/own_address.h"

namespace {

struct ConnectionTable {
  PortConnection slots[ClientPortSlots];
  // Master threads of other ports look names up while a port is opened or
  // closed; the lock keeps each lookup and each slot change whole.
  plat::CriticalSection lock;
  // One per slot, held by whoever works on that slot's queue: a request
  // putting itself in or taking itself out, the port's delegates, and closing,
  // which empties and destroys the queue under it. A slot's lock is taken
  // before the table lock, never after it.
  plat::CriticalSection use[ClientPortSlots];
  // Ports found lost, with the system's message; guarded by lock.
  struct LostPort {
    bool used = false;
    char name[ClientPortNameMax + 1] = "";
    char text[ClientLostTextMax] = "";
  };
  LostPort lost[ClientPortSlots];
  int nextLost = 0;  // guarded by lock: the entry a full table gives up next
  // Ports whose last open failed, with why; guarded by lock.
  struct FailedOpen {
    bool used = false;
    char name[ClientPortNameMax + 1] = "";
    Outcome outcome = Outcome::Done;
    char text[ClientLostTextMax] = "";
  };
  FailedOpen failedOpen[ClientPortSlots];
  int nextFailedOpen = 0;  // guarded by lock

  ConnectionTable() {
    plat::cs_init(&lock);
    for (plat::CriticalSection& u : use) plat::cs_init(&u);
  }
};

ConnectionTable& Table() {
  static ConnectionTable table;
  return table;
}

class TableLock {
 public:
  TableLock() { plat::cs_enter(&Table().lock); }
  ~TableLock() { plat::cs_leave(&Table().lock); }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;
};

std::atomic<uint32_t> g_requestWaitMs{ClientRequestWaitMs};

bool NameFits(const char* portName) {
  return portName != nullptr && portName[0] != '\0' &&
         std::strlen(portName) <= static_cast<std::size_t>(ClientPortNameMax);
}

int SlotIndex(const PortConnection* connection) {
  return static_cast<int>(connection - Table().slots);
}

// A slot held for work on its queue. The queue it yields stays alive while the
// hold lasts: closing must wait for the hold to end before it destroys it.
class HeldQueue {
 public:
  // Holds the slot of the open connection named `portName`, if there is one.
  explicit HeldQueue(const char* portName) {
    if (portName == nullptr) return;
    int slot = -1;
    {
      TableLock guard;
      for (int i = 0; i < ClientPortSlots; ++i) {
        const PortConnection& c = Table().slots[i];
        if (c.free == 0 && std::strcmp(c.name, portName) == 0) {
          slot = i;
          break;
        }
      }
    }
    if (slot < 0) return;
    Hold(slot);
    // The slot may have been closed, or given to another port, between the
    // lookup and the hold.
    TableLock guard;
    const PortConnection& c = Table().slots[slot];
    if (c.free == 0 && std::strcmp(c.name, portName) == 0) queue_ = c.queue;
  }
  // Holds slot `slot` and yields its queue only if it is still `expected`.
  HeldQueue(int slot, const RequestQueue* expected) {
    Hold(slot);
    TableLock guard;
    const PortConnection& c = Table().slots[slot];
    if (c.free == 0 && c.queue == expected) queue_ = c.queue;
  }
  ~HeldQueue() {
    if (slot_ >= 0) plat::cs_leave(&Table().use[slot_]);
  }
  HeldQueue(const HeldQueue&) = delete;
  HeldQueue& operator=(const HeldQueue&) = delete;

  RequestQueue* queue() const { return queue_; }
  int slot() const { return slot_; }

 private:
  void Hold(int slot) {
    slot_ = slot;
    plat::cs_enter(&Table().use[slot]);
  }

  int slot_ = -1;
  RequestQueue* queue_ = nullptr;
};

void FreeAsync(PendingRequest* request) {
  delete[] request->data;
  delete request;
}

void CompleteBlocking(PendingRequest* request, const uint8_t* data, uint32_t source,
                      uint32_t length, UpcallStatus status) {
  request->replySource = static_cast<uint8_t>(source);
  if (data == nullptr) length = 0;
  if (length > request->replyCapacity) {
    // Copying would overrun the caller's buffer: the exchange failed.
    request->replyLength = 0;
    request->replyStatus = InvalidFrame;
  } else {
    if (length > 0) std::memcpy(request->replyBuffer, data, length);
    request->replyLength = static_cast<uint16_t>(length);
    request->replyStatus = static_cast<uint8_t>(status);
  }
  // The caller's storage may be gone once `done` is released.
  plat::sem_release(request->done);
}

// Gives a slot back after its link has stopped. Requests still queued will
// never be answered: asynchronous ones belong to the connection and are freed,
// a blocking caller is woken with a time-out rather than left waiting. The
// slot stays held until the queue is gone, so no request can be putting
// itself into it or taking itself out meanwhile.
void CompleteAsyncFailed(const char* portName, PendingRequest* request);

// Every request still queued completes as failed: a blocking caller wakes, an
// asynchronous requester's completion runs (once the slot is free again, so
// that it may make further calls), as none of them will ever be answered.
void ReleaseSlot(PortConnection* connection) {
  const int slot = SlotIndex(connection);
  plat::cs_enter(&Table().use[slot]);
  RequestQueue* queue = nullptr;
  char name[ClientPortNameMax + 1];
  {
    TableLock guard;
    queue = connection->queue;
    std::snprintf(name, sizeof name, "%s", connection->name);
    connection->queue = nullptr;
    connection->free = 1;
    std::strcpy(connection->name, "None");
  }
  PendingRequest* async[ClientQueueCapacity];
  int count = 0;
  if (queue != nullptr) {
    while (auto* request = static_cast<PendingRequest*>(RequestQueue_Get(queue))) {
      if (request->blocking == 1) {
        CompleteBlocking(request, nullptr, 0, 0, ReplyTimeout);
      } else {
        async[count++] = request;
      }
    }
    RequestQueue_Destroy(queue);
  }
  plat::cs_leave(&Table().use[slot]);
  for (int i = 0; i < count; ++i) CompleteAsyncFailed(name, async[i]);
}

bool LinkLost(const char* portName) { return TarnixLink_PortLost(portName, nullptr, 0) == 1; }

// Notes that the port is lost, with the link's account of why.
void RecordLost(const char* portName) {
  char text[ClientLostTextMax];
  TarnixLink_PortLost(portName, text, sizeof text);
  TableLock guard;
  ConnectionTable& table = Table();
  ConnectionTable::LostPort* entry = nullptr;
  for (ConnectionTable::LostPort& l : table.lost) {
    if (l.used && std::strcmp(l.name, portName) == 0) entry = &l;
  }
  for (ConnectionTable::LostPort& l : table.lost) {
    if (entry == nullptr && !l.used) entry = &l;
  }
  if (entry == nullptr) {
    entry = &table.lost[table.nextLost];
    table.nextLost = (table.nextLost + 1) % ClientPortSlots;
  }
  entry->used = true;
  std::snprintf(entry->name, sizeof entry->name, "%s", portName);
  std::snprintf(entry->text, sizeof entry->text, "%s", text);
}

void ForgetLost(const char* portName) {
  TableLock guard;
  for (ConnectionTable::LostPort& l : Table().lost) {
    if (l.used && std::strcmp(l.name, portName) == 0) l.used = false;
  }
}

// Hands an asynchronous request's outcome to whichever completion it was
// queued with.
void CompleteAsync(const char* portName, const PendingRequest& request, const uint8_t* data,
                   uint32_t source, uint32_t length, uint32_t status) {
  if (request.handler != nullptr) {
    request.handler(request.context, AsyncReply{portName, data, source, length, status});
  } else if (request.completion != nullptr) {
    request.completion(portName, static_cast<int32_t>(std::strlen(portName)), data, source,
                       length, status);
  }
}

void CompleteAsyncFailed(const char* portName, PendingRequest* request) {
  if (request->expectReply != 0) {
    CompleteAsync(portName, *request, nullptr, 0, 0, static_cast<uint32_t>(ReplyTimeout));
  }
  FreeAsync(request);
}

// The port is lost: no request of its queue will ever be answered, so every
// one completes now as failed, in queue order. Asynchronous callbacks run
// after the hold, so that they may queue requests (which then fail at once).
void FailLostPort(const char* portName) {
  RecordLost(portName);
  PendingRequest* async[ClientQueueCapacity];
  int count = 0;
  {
    HeldQueue held(portName);
    RequestQueue* queue = held.queue();
    if (queue == nullptr) return;
    while (auto* request = static_cast<PendingRequest*>(RequestQueue_Get(queue))) {
      if (request->blocking == 1) {
        CompleteBlocking(request, nullptr, 0, 0, ReplyTimeout);
      } else {
        async[count++] = request;
      }
    }
  }
  for (int i = 0; i < count; ++i) CompleteAsyncFailed(portName, async[i]);
}

// Notes why the last open of `portName` failed, or forgets it (Done).
void RecordOpen(const char* portName, const Result& result) {
  TableLock guard;
  ConnectionTable& table = Table();
  ConnectionTable::FailedOpen* entry = nullptr;
  for (ConnectionTable::FailedOpen& f : table.failedOpen) {
    if (f.used && std::strcmp(f.name, portName) == 0) entry = &f;
  }
  if (result.Ok()) {
    if (entry != nullptr) entry->used = false;
    return;
  }
  for (ConnectionTable::FailedOpen& f : table.failedOpen) {
    if (entry == nullptr && !f.used) entry = &f;
  }
  if (entry == nullptr) {
    entry = &table.failedOpen[table.nextFailedOpen];
    table.nextFailedOpen = (table.nextFailedOpen + 1) % ClientPortSlots;
  }
  entry->used = true;
  entry->outcome = result.outcome;
  std::snprintf(entry->name, sizeof entry->name, "%s", portName);
  std::snprintf(entry->text, sizeof entry->text, "%s", result.text.c_str());
}

// Client_Open's work; the result says why a port did not open.
Result OpenPort(const char* portName, int* code) {
  *code = -5;
  uint8_t station = 255;
  Result found = Client_FindFreeStation(portName, 0, 3, &station);
  if (!found) return found;

  PortConnection* connection = nullptr;
  RequestQueue* stale = nullptr;
  {
    TableLock guard;
    for (PortConnection& slot : Table().slots) {
      if (slot.free == 1) {
        connection = &slot;
        break;
      }
    }
    if (connection == nullptr) {
      return {Outcome::PortNotOpened, "all eight port connections in use"};
    }
    stale = connection->queue;
    connection->queue = RequestQueue_Create(ClientQueueCapacity);
    if (connection->queue != nullptr) {
      connection->free = 0;
      std::strcpy(connection->name, portName);
    }
  }
  RequestQueue_Destroy(stale);
  if (connection->queue == nullptr) {
    return {Outcome::PortNotOpened, "no memory for the request queue"};
  }

  LinkConfig config{};
  config.PortName = portName;
  config.BaudRate = 38400;
  config.MaxMaster = 15;
  config.MaxInfoFrames = 3;
  config.StationAddress = station;
  config.TokenObtained = Client_OnTokenObtained;
  config.Upcall = Client_OnUpcall;
  if (TarnixLink_Init(&config) == -1) {
    ReleaseSlot(connection);
    *code = -4;
    return {Outcome::PortNotOpened, "the link could not be started on it"};
  }
  ForgetLost(portName);
  *code = 0;
  return {};
}

}  // namespace

Result Client_OpenFailure(const char* portName) {
  if (portName == nullptr) return {};
  TableLock guard;
  for (const ConnectionTable::FailedOpen& f : Table().failedOpen) {
    if (f.used && std::strcmp(f.name, portName) == 0) return {f.outcome, f.text};
  }
  return {};
}

int Client_PortLost(const char* portName, char* text, uint32_t size) {
  if (text != nullptr && size > 0) text[0] = '\0';
  if (portName == nullptr) return 0;
  TableLock guard;
  for (const ConnectionTable::LostPort& l : Table().lost) {
    if (l.used && std::strcmp(l.name, portName) == 0) {
      if (text != nullptr && size > 0) std::snprintf(text, size, "%s", l.text);
      return 1;
    }
  }
  return 0;
}

void Client_SetRequestWaitLimit(uint32_t ms) { g_requestWaitMs.store(ms, std::memory_order_relaxed); }

PortConnection* Client_Find(const char* portName) {
  if (portName == nullptr) return nullptr;
  TableLock guard;
  for (PortConnection& slot : Table().slots) {
    if (slot.free == 0 && std::strcmp(slot.name, portName) == 0) return &slot;
  }
  return nullptr;
}

int Client_Open(const char* portName) {
  if (!NameFits(portName)) return -1;
  if (Client_Find(portName) != nullptr) return 0;
  int code = 0;
  RecordOpen(portName, OpenPort(portName, &code));
  return code;
}

int Client_Close(const char* portName) {
  PortConnection* connection = Client_Find(portName);
  if (connection == nullptr) return -4;
  if (TarnixLink_UnInit(portName) == 1) return -4;
  ReleaseSlot(connection);
  return 0;
}

int Client_Request(const char* portName, uint8_t destination, const uint8_t* data, uint16_t length,
                   uint8_t expectReply, uint8_t* source, uint8_t* reply, uint16_t replyCapacity,
                   uint16_t* replyLength, uint8_t* status) {
  if (data == nullptr || length > ClientMaxMessage) return -1;

  uint8_t scratch[512];
  PendingRequest request;
  request.destination = destination;
  request.data = data;
  request.length = length;
  request.expectReply = expectReply;
  request.blocking = 1;
  if (reply != nullptr) {
    request.replyBuffer = reply;
    request.replyCapacity = replyCapacity;
  } else {
    request.replyBuffer = scratch;
    request.replyCapacity = sizeof scratch;
  }

  int slot = -1;
  RequestQueue* queue = nullptr;
  bool lost = false;
  {
    HeldQueue held(portName);
    if (held.queue() == nullptr) return -1;
    // Looked at under the hold: a loss after it fails this request together
    // with the rest of the queue.
    lost = LinkLost(portName);
    if (!lost) {
      // A signal of its own: nothing but this request's completion can wake it.
      request.done = plat::sem_create(0, 1, "SemBlocking");
      if (request.done == nullptr) return -2;
      if (RequestQueue_TryPut(&request, held.queue()) == 0) {
        plat::sem_close(request.done);
        return -3;
      }
      slot = held.slot();
      queue = held.queue();
    }
  }
  if (lost) {
    RecordLost(portName);
    if (source != nullptr) *source = 0;
    if (replyLength != nullptr) *replyLength = 0;
    if (status != nullptr) *status = ReplyTimeout;
    return 0;
  }

  plat::WaitResult waited = plat::sem_wait(request.done, g_requestWaitMs.load(std::memory_order_relaxed));
  if (waited != plat::WaitResult::Signaled) {
    // Take the request back before its storage goes. If it is no longer
    // queued, whoever took it out completed it under the hold just ended, and
    // `done` is already released.
    bool withdrawn = false;
    {
      HeldQueue held(slot, queue);
      withdrawn = held.queue() != nullptr && RequestQueue_Remove(&request, held.queue()) == 1;
    }
    if (!withdrawn) waited = plat::sem_wait(request.done, plat::kWaitForever);
  }
  plat::sem_close(request.done);
  if (waited != plat::WaitResult::Signaled) return -2;

  if (source != nullptr) *source = request.replySource;
  if (replyLength != nullptr) *replyLength = request.replyLength;
  if (status != nullptr) *status = request.replyStatus;
  return 0;
}

namespace {

// Queues a copy of an asynchronous request with one of the two kinds of
// completion.
int QueueAsync(const char* portName, uint8_t destination, const uint8_t* data, uint16_t length,
               uint8_t expectReply, CompletionCallback completion, ReplyHandler handler,
               void* context) {
  if (data == nullptr || length > ClientMaxMessage) return -1;
  auto* copy = new uint8_t[length > 0 ? length : 1];
  if (length > 0) std::memcpy(copy, data, length);
  auto* request = new PendingRequest;
  request->destination = destination;
  request->data = copy;
  request->length = length;
  request->expectReply = expectReply;
  request->blocking = 0;
  request->completion = completion;
  request->handler = handler;
  request->context = context;
  {
    HeldQueue held(portName);
    if (held.queue() == nullptr) {
      FreeAsync(request);
      return -1;
    }
    // Looked at under the hold: a loss after it fails this request together
    // with the rest of the queue.
    if (!LinkLost(portName)) {
      if (RequestQueue_TryPut(request, held.queue()) == 0) {
        FreeAsync(request);
        return -3;
      }
      return 0;
    }
  }
  RecordLost(portName);
  CompleteAsyncFailed(portName, request);
  return 0;
}

}  // namespace

int Client_RequestAsync(const char* portName, uint8_t destination, const uint8_t* data,
                        uint16_t length, uint8_t expectReply, CompletionCallback completion) {
  return QueueAsync(portName, destination, data, length, expectReply, completion, nullptr,
                    nullptr);
}

int Client_RequestAsync(const char* portName, uint8_t destination, const uint8_t* data,
                        uint16_t length, uint8_t expectReply, ReplyHandler handler,
                        void* context) {
  return QueueAsync(portName, destination, data, length, expectReply, nullptr, handler, context);
}

uint32_t Client_Withdraw(const char* portName, void* context) {
  // Requests queued without a requester belong to nobody in particular.
  if (context == nullptr) return 0;
  PendingRequest* taken[ClientQueueCapacity];
  int count = 0;
  {
    HeldQueue held(portName);
    RequestQueue* queue = held.queue();
    if (queue == nullptr) return 0;
    // One full turn of the queue: each request is taken out and, unless it is
    // one to withdraw, put back behind the others, which keeps their order.
    const int32_t queued = queue->count.load();
    for (int32_t i = 0; i < queued; ++i) {
      auto* request = static_cast<PendingRequest*>(RequestQueue_Get(queue));
      if (request->blocking == 0 && request->context == context && !request->sent) {
        taken[count++] = request;
      } else {
        RequestQueue_Put(request, queue);
      }
    }
  }
  uint32_t expectingReply = 0;
  for (int i = 0; i < count; ++i) {
    if (taken[i]->expectReply != 0) ++expectingReply;
    FreeAsync(taken[i]);
  }
  return expectingReply;
}

uint8_t Client_OnTokenObtained(const char* portName) {
  HeldQueue held(portName);
  RequestQueue* queue = held.queue();
  if (queue == nullptr) return 0;
  auto* request = static_cast<PendingRequest*>(RequestQueue_Peek(queue));
  if (request == nullptr) return 0;
  if (request->sent) {
    // Still on the bus: the link is waiting for its reply.
    return 0;
  }
  if (request->expectReply == 0) {
    // No upcall will come for it: it leaves the queue once it has gone out. A
    // frame the link refused stays at the head and goes out at the next token.
    if (TarnixLink_SendFrame(portName, request->destination, request->data, request->length, 0) !=
        0) {
      return 1;
    }
    RequestQueue_Drop(queue);
    if (request->blocking == 1) {
      CompleteBlocking(request, nullptr, 0, 0, Delivered);
    } else {
      FreeAsync(request);
    }
    return 1;
  }
  // A refused frame brings no upcall; the request stays at the head and goes
  // out again at the next token.
  request->sent = TarnixLink_SendFrame(portName, request->destination, request->data,
                                       request->length, 1) == 0;
  return 1;
}

int32_t Client_OnUpcall(const char* portName, const uint8_t* data, uint32_t source, uint32_t length,
                        UpcallStatus status) {
  // The link's word that the port has gone: nothing queued will be answered.
  if (status == ReplyTimeout && LinkLost(portName)) {
    FailLostPort(portName);
    return 0;
  }
  PendingRequest* request = nullptr;
  {
    HeldQueue held(portName);
    RequestQueue* queue = held.queue();
    if (queue == nullptr) return 0;
    request = static_cast<PendingRequest*>(RequestQueue_Peek(queue));
    if (request == nullptr) return 0;
    // A frame that arrives while nothing of ours is on the bus (a broadcast, a
    // request from another master) answers nothing.
    if (!request->sent) return 0;
    RequestQueue_Drop(queue);
    if (request->blocking == 1) {
      CompleteBlocking(request, data, source, length, status);
      return 0;
    }
  }
  // Out of the queue, the asynchronous request is ours alone; its callback
  // runs without the hold, so that it may queue further requests.
  CompleteAsync(portName, *request, data, source, data == nullptr ? 0 : length,
                static_cast<uint32_t>(status));
  FreeAsync(request);
  return 0;
}
