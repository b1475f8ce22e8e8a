// SPDX-License-Identifier: MIT
// The only place where the library takes memory from the heap: the objects
// of the core interface (key sets, encoders, decoders), when they are made.
#pragma once

#include <cstddef>
#include <new>

namespace tav::core {

// 64-byte aligned, zero-filled storage; null when none is to be had.
void* Allocate(size_t bytes);

// Overwrites the storage and gives it back.
void Release(void* p, size_t bytes);

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
