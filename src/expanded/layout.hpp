// SPDX-License-Identifier: MIT
// The expanded layout: unit s holds the s-th ciphertext byte followed by
// pad[i] filler symbols, i running 1..20000 and round again. Placing bytes
// among fillers and picking them back out, on memory only: the descriptor
// transfer and the streaming encoder and decoder both build on it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "keys/keyset.hpp"
#include "tavsdk.h"

namespace tav::expanded {

// The filler source of the encoder: the system's random source unless the
// caller names one.
struct Filler {
  tav_fill_fn fn = nullptr;
  void* context = nullptr;
};

// Fills n bytes with filler symbols of the alphabet. False (errno set) when
// the random source fails.
bool FillFillers(Kind kind, const Filler& filler, uint8_t* out, size_t n, uint32_t* random_words, size_t word_count);

// A 32-bit random word below this is four uniform base-151 digits, the
// symbols of four text fillers; the few above are dropped rather than folded
// in, which would bias the low digits.
inline constexpr uint32_t kTextWordRange = 151u * 151u * 151u * 151u * 8u;

// Turns the random words in out[0..n) into the symbols of their digits, low
// digit first, in place from out on (a kept word's symbols go where it stood
// or before); returns the end of them. On the active engine path, or on the
// portable one; the AVX-512 one takes n a multiple of 64 and a CPU that has
// it.
uint8_t* SymbolsInPlace(uint8_t* out, size_t n);
uint8_t* SymbolsInPlacePortable(uint8_t* out, size_t n);
uint8_t* SymbolsInPlaceAvx512(uint8_t* out, size_t n);

// The pad index of the unit before unit `units` (0 before the first).
inline int32_t PadIndexAfter(uint64_t units) { return static_cast<int32_t>(units % kPadEntries); }

inline int64_t UnitBytes(const tav_keys& keys, int32_t pad_index) { return 1 + int64_t{keys.pad[pad_index]}; }

// The expanded bytes of the units first .. first+count-1.
uint64_t UnitsBytes(const tav_keys& keys, uint64_t first, uint64_t count);

// Where unit s starts.
inline int64_t UnitStart(const tav_keys& keys, uint64_t s) { return static_cast<int64_t>(UnitsBytes(keys, 0, s)); }

// How many units start within the first `bytes` expanded bytes.
uint64_t UnitsWithin(const tav_keys& keys, int64_t bytes);

// Writes symbols[0..n) at the unit starts from `out` on, over the fillers
// already there; `pad` is the pad index of the unit before and ends at the
// last one placed. Returns the bytes of those units.
size_t Place(const tav_keys& keys, int32_t& pad, const uint8_t* symbols, size_t n, uint8_t* out);

// Where the decoder stands between pieces of expanded input.
struct Picker {
  int32_t pad = 0;    // pad index of the last unit picked
  uint64_t skip = 0;  // filler bytes before the next unit starts
};

// Copies the unit starts in in[0..n) to out, at most `capacity` of them, and
// returns how many; `consumed` receives the input bytes passed over, all of
// them unless out filled up first.
size_t Pick(const tav_keys& keys, Picker& picker, const uint8_t* in, size_t n, uint8_t* out, size_t capacity,
            size_t& consumed);

}  // namespace tav::expanded
