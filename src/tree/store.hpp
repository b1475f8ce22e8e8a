// SPDX-License-Identifier: MIT
// The storage of a folder job: arrays and a table of names that grow through
// the core's allocator while the job is planned (the job is an object, and
// planning is making it), and are wiped and given back with it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/objects.hpp"

namespace tav::tree {

template <class T>
class Array {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Array() = default;
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;
  ~Array() { core::Release(data_, capacity_ * sizeof(T)); }

  // False when no memory is to be had; nothing changes then.
  bool Push(const T& value) {
    if (size_ == capacity_ && !Reserve(capacity_ < 16 ? 16 : capacity_ * 2)) return false;
    data_[size_++] = value;
    return true;
  }
  // Room for `size` in all, doubling as Push does, so that growing by
  // small steps costs linear time.
  bool Fit(size_t size) { return size <= capacity_ || Reserve(std::max(size, capacity_ * 2)); }
  bool Reserve(size_t capacity) {
    if (capacity <= capacity_) return true;
    if (capacity > SIZE_MAX / sizeof(T)) return false;
    auto* grown = static_cast<T*>(core::Allocate(capacity * sizeof(T)));
    if (grown == nullptr) return false;
    if (size_ > 0) std::memcpy(static_cast<void*>(grown), data_, size_ * sizeof(T));
    core::Release(data_, capacity_ * sizeof(T));
    data_ = grown;
    capacity_ = capacity;
    return true;
  }
  void Clear() { size_ = 0; }
  void Swap(Array& other) {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Strings by offset (an offset stays valid as the table grows; a pointer
// does not). Offset 0 is the empty string.
class Names {
 public:
  Names() { (void)bytes_.Push('\0'); }
  // SIZE_MAX when no memory is to be had. `text` may lie in the table itself.
  size_t Add(std::string_view text) { return Append(text, {}, {}); }
  // dir + "/" + name, or name alone when dir is empty.
  size_t Join(size_t dir, std::string_view name) {
    const std::string_view d = (*this)[dir];
    if (d.empty()) return Add(name);
    return Append(d, d.back() == '/' ? std::string_view{} : "/", name);
  }
  const char* c_str(size_t at) const { return &bytes_[at]; }
  std::string_view operator[](size_t at) const { return c_str(at); }

 private:
  // The parts end to end, then a 0 byte. A part inside the table is found
  // again by its offset once the table has grown.
  size_t Append(std::string_view a, std::string_view b, std::string_view c) {
    const size_t at = bytes_.size();
    const std::string_view parts[3] = {a, b, c};
    size_t offsets[3];
    for (size_t i = 0; i < 3; ++i) {
      const bool inside = !parts[i].empty() && parts[i].data() >= bytes_.begin() && parts[i].data() < bytes_.end();
      offsets[i] = inside ? static_cast<size_t>(parts[i].data() - bytes_.begin()) : SIZE_MAX;
    }
    if (!bytes_.Fit(at + a.size() + b.size() + c.size() + 1)) return SIZE_MAX;
    for (size_t i = 0; i < 3; ++i) {
      const char* from = offsets[i] != SIZE_MAX ? bytes_.begin() + offsets[i] : parts[i].data();
      for (size_t k = 0; k < parts[i].size(); ++k) (void)bytes_.Push(from[k]);
    }
    (void)bytes_.Push('\0');
    return at;
  }

  Array<char> bytes_;
};

// Numbers filed under a caller's hash, found again with the caller's test of
// equality: open addressing, at most half full.
class Index {
 public:
  // The number filed under an equal key, or SIZE_MAX.
  template <class Same>
  size_t Find(uint64_t hash, Same same) const {
    if (slots_.empty()) return SIZE_MAX;
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.value == 0) return SIZE_MAX;
      if (s.hash == hash && same(s.value - 1)) return s.value - 1;
    }
  }
  // False when no memory is to be had.
  bool Insert(uint64_t hash, size_t value) {
    if ((count_ + 1) * 2 > slots_.size() && !Grow()) return false;
    Place(slots_, hash, value + 1);
    ++count_;
    return true;
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    size_t value = 0;  // the number plus one; 0: free
  };
  static void Place(Array<Slot>& slots, uint64_t hash, size_t value) {
    const size_t mask = slots.size() - 1;
    size_t i = hash & mask;
    while (slots[i].value != 0) i = (i + 1) & mask;
    slots[i] = {hash, value};
  }
  bool Grow() {
    Array<Slot> grown;
    const size_t size = slots_.empty() ? 64 : slots_.size() * 2;
    if (!grown.Reserve(size)) return false;
    for (size_t i = 0; i < size; ++i) (void)grown.Push(Slot{});
    for (const Slot& s : slots_) {
      if (s.value != 0) Place(grown, s.hash, s.value);
    }
    slots_.Swap(grown);
    return true;
  }
  Array<Slot> slots_;
  size_t count_ = 0;
};

// FNV-1a over bytes, for the index.
inline uint64_t Hash(const void* data, size_t n, uint64_t h = 1469598103934665603ull) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

}  // namespace tav::tree
