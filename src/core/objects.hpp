// SPDX-License-Identifier: MIT
// The only place where the library takes memory from the heap: the objects
// of the core interface (key sets, encoders, decoders), when they are made;
// and the one place that maps memory for the span of a call.
#pragma once

#include <cstddef>
#include <new>

namespace tav::core {

// 64-byte aligned, zero-filled storage; null when none is to be had.
void* Allocate(size_t bytes);

// Overwrites the storage and gives it back.
void Release(void* p, size_t bytes);

// A private anonymous mapping of `bytes` for one call, kept out of core
// dumps; its pages are only taken as they are first written. Null when none
// is to be had.
void* MapArea(size_t bytes);

// Gives the area back. The caller has overwritten what it stored there: only
// it knows how much of the area it touched.
void UnmapArea(void* p, size_t bytes);

template <class T>
T* Make() {
  void* p = Allocate(sizeof(T));
  return p == nullptr ? nullptr : new (p) T();
}

template <class T>
void Destroy(T* object) {
  if (object == nullptr) return;
  object->~T();
  Release(object, sizeof(T));
}

}  // namespace tav::core
