#include "client/request_queue.h"

#include <new>

namespace {

int32_t Next(int32_t index, int32_t capacity) { return index + 1 == capacity ? 0 : index + 1; }

void Lock(RequestQueue* queue) { plat::sem_wait(queue->guard, plat::kWaitForever); }
void Unlock(RequestQueue* queue) { plat::sem_release(queue->guard); }

}  // namespace

RequestQueue* RequestQueue_Create(int32_t capacity) {
  if (capacity < 5) return nullptr;
  auto* queue = new (std::nothrow) RequestQueue;
  if (queue == nullptr) return nullptr;
  queue->guard = plat::sem_create(1, 1);
  queue->slots = new (std::nothrow) void*[static_cast<std::size_t>(capacity)];
  if (queue->guard == nullptr || queue->slots == nullptr) {
    RequestQueue_Destroy(queue);
    return nullptr;
  }
  queue->capacity = capacity;
  return queue;
}

void RequestQueue_Destroy(RequestQueue* queue) {
  if (queue == nullptr) return;
  delete[] queue->slots;
  plat::sem_close(queue->guard);
  delete queue;
}

Result RequestQueue_Put(void* element, RequestQueue* queue) {
  return RequestQueue_TryPut(element, queue) == 1 ? Result() : Result(Outcome::Refused);
}

int RequestQueue_TryPut(void* element, RequestQueue* queue) {
  Lock(queue);
  const bool room = queue->count.load() < queue->capacity;
  if (room) {
    queue->tail = Next(queue->tail, queue->capacity);
    queue->slots[queue->tail] = element;
    queue->count.fetch_add(1);
  }
  Unlock(queue);
  return room ? 1 : 0;
}

int RequestQueue_Remove(void* element, RequestQueue* queue) {
  Lock(queue);
  const int32_t count = queue->count.load();
  int32_t from = queue->head;
  int32_t to = queue->head;
  bool found = false;
  for (int32_t i = 0; i < count; ++i) {
    if (!found && queue->slots[from] == element) {
      found = true;
    } else {
      queue->slots[to] = queue->slots[from];
      to = Next(to, queue->capacity);
    }
    from = Next(from, queue->capacity);
  }
  if (found) {
    // `to` is one past the last element kept.
    queue->tail = to == 0 ? queue->capacity - 1 : to - 1;
    queue->count.fetch_sub(1);
  }
  Unlock(queue);
  return found ? 1 : 0;
}

void* RequestQueue_Get(RequestQueue* queue) {
  // Looked at under the guard: a test before it could race another taker.
  Lock(queue);
  void* element = nullptr;
  if (queue->count.load() > 0) {
    element = queue->slots[queue->head];
    queue->count.fetch_sub(1);
    queue->head = Next(queue->head, queue->capacity);
  }
  Unlock(queue);
  return element;
}

Result RequestQueue_Drop(RequestQueue* queue) {
  Lock(queue);
  const bool had = queue->count.load() > 0;
  if (had) {
    queue->count.fetch_sub(1);
    queue->head = Next(queue->head, queue->capacity);
  }
  Unlock(queue);
  return had ? Result() : Result(Outcome::Refused);
}

void* RequestQueue_Peek(RequestQueue* queue) {
  // The guard orders this read after the Put that filled the slot.
  Lock(queue);
  void* element = queue->count.load() > 0 ? queue->slots[queue->head] : nullptr;
  Unlock(queue);
  return element;
}

int RequestQueue_IsEmpty(const RequestQueue* queue) { return queue->count.load() == 0 ? 1 : 0; }

int RequestQueue_IsFull(const RequestQueue* queue) {
  return queue->count.load() == queue->capacity ? 1 : 0;
}
