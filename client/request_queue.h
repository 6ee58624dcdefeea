// A bounded first-in-first-out ring of pointers to pending requests, one per
// open port. Application threads append; the port's master thread looks at,
// removes and completes the oldest element. The queue never owns or looks at
// its elements, which are never null.
//
// Misuse (a capacity below 5, Put on a full queue, Get/Drop/Peek on an empty
// one) is a programming error; it changes nothing and fails the call, so that
// the request concerned fails instead of the process. Callers test
// IsFull/IsEmpty first.
#pragma once

#include <atomic>
#include <cstdint>

#include "client/result.h"
#include "platform/sync.h"

struct RequestQueue {
  int32_t capacity = 0;
  int32_t head = 1;  // slot to be read next
  int32_t tail = 0;  // slot last written
  // Read without the guard by the full and empty tests, so it is atomic; it
  // is only changed under the guard.
  std::atomic<int32_t> count{0};
  void** slots = nullptr;
  plat::SemHandle guard = nullptr;
};

// nullptr for a capacity below 5 or when memory is exhausted.
RequestQueue* RequestQueue_Create(int32_t capacity);
void RequestQueue_Destroy(RequestQueue* queue);
// Refused (and nothing appended) when the queue is full.
Result RequestQueue_Put(void* element, RequestQueue* queue);
// Appends unless the queue is full, in one step under the guard, so producers
// on several threads never race past the last free slot. 1 = appended, 0 = full.
int RequestQueue_TryPut(void* element, RequestQueue* queue);
// Takes `element` out wherever it stands, keeping the order of the others.
// 1 = it was there and is gone, 0 = it was not there.
int RequestQueue_Remove(void* element, RequestQueue* queue);
// The oldest element, taken out (Get) or left in place (Peek); nullptr when
// the queue is empty.
void* RequestQueue_Get(RequestQueue* queue);
void* RequestQueue_Peek(RequestQueue* queue);
// Takes the oldest element out: Refused when the queue is empty.
Result RequestQueue_Drop(RequestQueue* queue);
int RequestQueue_IsEmpty(const RequestQueue* queue);
int RequestQueue_IsFull(const RequestQueue* queue);
