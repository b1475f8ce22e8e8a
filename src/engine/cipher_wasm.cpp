// SPDX-License-Identifier: MIT
// WebAssembly SIMD kernel of the wheel cipher (128-bit vectors), compiled
// only into the WebAssembly build when it targets SIMD; a module either has
// it or was built without it, so there is no run-time check.
//
// Each byte lane of a v128 carries one symbol, as in the NEON kernel, whose
// shape this follows: the symbols of one wheel order are taken 128 at a time,
// up to eight vectors that read the same row at each step, and a wheel's
// offsets for the group are its first offset plus g * delta, mod n.
//
// A lookup is 16 byte shuffles of XOR differences of the row's 16-entry
// chunks, with five indexes (see CutRow), in the manner of the AVX2 kernel;
// text values between steps are kept with bit 7 flipped, as there, so that a
// signed compare orders them.
//
// Calls of at least 16 rounds of the master schedule put the lanes of a
// vector a round apart instead (see Rounds), so that every group has its
// eight vectors whole; shorter calls, and what is left of long ones, go
// through the groups above.
//
// Built twice: with the plain byte shuffle and with the relaxed one
// (-mrelaxed-simd), which x64 engines run as one instruction instead of two.
// Every index is either below 16 or has bit 7 set, where both agree on every
// engine.
#include "engine/cipher.hpp"

#if defined(__wasm_simd128__)

#include <wasm_simd128.h>

#include <algorithm>
#include <new>

#include "common/wipe.hpp"
#include "engine/lanes.hpp"

namespace tav::engine {

namespace {

using lanes::kLanes;
// Vectors of a group: up to 128 symbols of one wheel order, more than the
// NEON kernel's four, so that the vectors of a step hide each other's
// latency in most groups (a wheel order lasts some 65 symbols on average).
constexpr uint32_t kVectors = 8;

// One byte shuffle of a 16-entry table: an index below 16 reads that entry,
// one with bit 7 set gives 0. Every index used here is one or the other, so
// the relaxed form (one instruction on x64, where the plain one needs a
// saturating add first) gives the same bytes on every engine.
inline v128_t Shuffle(v128_t table, v128_t index) {
#if defined(__wasm_relaxed_simd__)
  return __builtin_wasm_relaxed_swizzle_i8x16(table, index);
#else
  return wasm_i8x16_swizzle(table, index);
#endif
}

// Lanes of a where the mask is all ones, of b where it is 0 (every mask here
// is one or the other, where the relaxed form agrees on every engine).
inline v128_t Select(v128_t a, v128_t b, v128_t mask) {
#if defined(__wasm_relaxed_simd__)
  return __builtin_wasm_laneselect_i8x16(a, b, mask);
#else
  return wasm_v128_bitselect(a, b, mask);
#endif
}

// The lookups' constants, made once per call.
struct Constants {
  v128_t low_and_sign;  // 0x8f
  v128_t sixteen;
  v128_t thirty_two;
  v128_t flip;  // 0x80
  v128_t text_size;
  v128_t zero;
};

// A row cut for Lookup. With C[k] the k-th 16 entries and y = 32q + 16b + l,
// the lookup uses indexes y - 32j (j = 0..4) masked with 0x8f: bit 7 is
// clear exactly for j = q - 3 .. q, and there the index reads entry l. Each
// index serves four tables, for even (b = 0) and odd chunks and for the two
// halves of the row:
//   first half, prefix differences (y < 128 hits j = 0 .. q):
//     t[2j] = C[2j] ^ C[2j - 2],   t[2j + 1] = C[2j + 1] ^ C[2j - 1]   (j = 0..3)
//   second half, suffix differences (y >= 128 hits j = q - 3 .. 4):
//     t[6 + 2j] = C[2j + 6] ^ C[2j + 8],   t[7 + 2j] = C[2j + 7] ^ C[2j + 9]   (j = 1..4)
// (chunks past the row are 0), so the hits of each table XOR to C[y / 16]
// where y lies in its half and b agrees; the sign of y and then b pick the
// result. The text alphabet's 151 entries use t[0..9]: t[10..15] are 0.
using ChunkedRow = uint8_t[16][16];

// Cuts the n entries at row (each XOR flip) as above; out holds `tables`.
inline void CutRow(const uint8_t* row, uint32_t n, v128_t flip, ChunkedRow& out, int tables) {
  v128_t c[18];
  for (uint32_t k = 0; k < 18; ++k) {
    // Rows hold at least 256 entries; those past n are never read.
    c[k] = 16 * k < n ? wasm_v128_xor(wasm_v128_load(row + 16 * k), flip) : wasm_i8x16_splat(0);
  }
  for (int j = 0; j < 4; ++j) {
    wasm_v128_store(out[2 * j], j == 0 ? c[0] : wasm_v128_xor(c[2 * j], c[2 * j - 2]));
    wasm_v128_store(out[2 * j + 1], j == 0 ? c[1] : wasm_v128_xor(c[2 * j + 1], c[2 * j - 1]));
  }
  for (int j = 1; 6 + 2 * j < tables; ++j) {
    wasm_v128_store(out[6 + 2 * j], wasm_v128_xor(c[2 * j + 6], c[2 * j + 8]));
    wasm_v128_store(out[7 + 2 * j], wasm_v128_xor(c[2 * j + 7], c[2 * j + 9]));
  }
}

template <bool kText>
inline v128_t Lookup(const ChunkedRow& t, v128_t y, const Constants& k) {
  auto table = [&](int i) { return wasm_v128_load(t[i]); };
  auto index = [&](v128_t v) { return wasm_v128_and(v, k.low_and_sign); };
  v128_t i = index(y);
  v128_t even = Shuffle(table(0), i);
  v128_t odd = Shuffle(table(1), i);
  v128_t up_even, up_odd;
  v128_t at = y;
#pragma clang loop unroll(full)
  for (int j = 1; j < 4; ++j) {
    at = wasm_i8x16_sub(at, k.thirty_two);
    i = index(at);
    even = wasm_v128_xor(even, Shuffle(table(2 * j), i));
    odd = wasm_v128_xor(odd, Shuffle(table(2 * j + 1), i));
    if (j == 1) {
      up_even = Shuffle(table(8), i);
      up_odd = Shuffle(table(9), i);
    } else if (!kText) {
      up_even = wasm_v128_xor(up_even, Shuffle(table(6 + 2 * j), i));
      up_odd = wasm_v128_xor(up_odd, Shuffle(table(7 + 2 * j), i));
    }
  }
  if constexpr (!kText) {
    i = index(wasm_v128_xor(y, k.flip));  // y - 128
    up_even = wasm_v128_xor(up_even, Shuffle(table(14), i));
    up_odd = wasm_v128_xor(up_odd, Shuffle(table(15), i));
  }
  const v128_t upper = wasm_i8x16_lt(y, k.zero);
  even = Select(up_even, even, upper);
  odd = Select(up_odd, odd, upper);
  return Select(odd, even, wasm_i8x16_eq(wasm_v128_and(y, k.sixteen), k.sixteen));
}

// Text values between steps have bit 7 flipped (as the chunked rows hold
// them), so that a signed compare orders them: (x - a) mod 151 for flipped x
// and a in 0..151, plain.
inline v128_t SubMod151(v128_t x, v128_t a, const Constants& k) {
  return wasm_i8x16_add(wasm_i8x16_sub(x, a), wasm_v128_and(wasm_i8x16_gt(a, x), k.text_size));
}

// What a step through position p takes per lane, for the lanes' offsets
// base + mult: binary, the offset; text encryption, 151 - offset; text
// decryption, the offset; text flipped.
template <bool kText, bool kDecrypt>
inline v128_t Line(uint32_t base, v128_t mult, const Constants& k) {
  if constexpr (!kText) {
    return wasm_i8x16_add(mult, wasm_i8x16_splat(static_cast<int8_t>(base)));
  } else {
    // key = 151 - base; mult >= key (unsigned) where the sum wraps.
    const v128_t key = wasm_i8x16_splat(static_cast<int8_t>(kTextSize - base));
    const v128_t wraps = wasm_i8x16_eq(wasm_u8x16_max(mult, key), mult);
    v128_t t;
    if constexpr (kDecrypt) {
      t = wasm_i8x16_add(wasm_i8x16_sub(mult, key), wasm_v128_andnot(k.text_size, wraps));
    } else {
      t = wasm_i8x16_add(wasm_i8x16_sub(key, mult), wasm_v128_and(wraps, k.text_size));
    }
    return wasm_v128_xor(t, k.flip);
  }
}

// The rows of one direction and the text mappings, cut for Lookup at every
// call (some 800 vector operations) in the cipher's working storage.
struct Work {
  ChunkedRow rows[kWheels];
  ChunkedRow to_index;
  ChunkedRow to_symbol;
  alignas(16) uint8_t gathered[kLanes];  // one vector's lanes, gathered a round apart
};

// Text: the symbols' indexes, with bit 7 flipped for encryption (see
// SubMod151), and where a byte is not in the alphabet, to pass it through.
template <bool kText, bool kDecrypt>
inline v128_t EnterSteps(const Work& w, v128_t in, v128_t& keep, const Constants& k) {
  if constexpr (!kText) return in;
  v128_t x = Lookup<false>(w.to_index, in, k);
  keep = wasm_i8x16_eq(x, wasm_i8x16_splat(static_cast<int8_t>(kNotInAlphabet)));
  return kDecrypt ? x : wasm_v128_xor(x, k.flip);
}

template <bool kText, bool kDecrypt>
inline v128_t LeaveSteps(const Work& w, v128_t x, v128_t in, v128_t keep, const Constants& k) {
  if constexpr (!kText) return x;
  if constexpr (!kDecrypt) x = wasm_v128_xor(x, k.flip);
  return wasm_v128_bitselect(in, Lookup<true>(w.to_symbol, x, k), keep);
}

// What a group's steps take per position and vector (see Line).
using Lines = v128_t[kWheels][kVectors];

// The forty steps of x[0 .. vectors) in wheel order rot. The vectors of a
// step go one after another in a loop that is not unrolled: an engine that
// sees them in one block interleaves their lookups and runs out of
// registers; the processor overlaps the loop's iterations by itself. One
// copy for both layouts (the module stays smaller); the vectors and lines
// are the caller's locals, restrict so that the compiler keeps the rows'
// chunks out of the vector loop (in the working storage it could not tell
// that the vectors' stores leave them alone, and would load them again for
// every vector).
template <bool kText, bool kDecrypt>
[[gnu::noinline]] void RunSteps(const Work& w, uint32_t rot, v128_t* __restrict x, const v128_t (*__restrict line)[kVectors],
                                uint32_t vectors, const Constants& k) {
  lanes::Steps<kDecrypt>([&](uint32_t p) {
    const uint32_t wheel = p + rot;
    const ChunkedRow& row = w.rows[wheel < kWheels ? wheel : wheel - kWheels];
#pragma clang loop unroll(disable)
    for (uint32_t v = 0; v < vectors; ++v) {
      if constexpr (!kDecrypt) {
        const v128_t y = kText ? SubMod151(x[v], line[p][v], k) : wasm_i8x16_add(x[v], line[p][v]);
        x[v] = Lookup<kText>(row, y, k);
      } else {
        const v128_t y = Lookup<kText>(row, x[v], k);
        x[v] = kText ? SubMod151(y, line[p][v], k) : wasm_i8x16_sub(y, line[p][v]);
      }
    }
  });
}

// One group of `vectors` whole vectors at io, of one wheel order.
template <bool kText, bool kDecrypt>
void Group(const Cipher& c, const Work& w, uint8_t* io, uint32_t vectors, const Constants& k) {
  const Stepping& s = c.s;
  Lines line;
  v128_t x[kVectors], keep[kVectors];
  uint32_t r = s.rot;
  for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
    for (uint32_t v = 0; v < vectors; ++v) {
      line[p][v] = Line<kText, kDecrypt>(s.off[r], wasm_v128_load(&c.t->mult[p][v * kLanes]), k);
    }
  }
  for (uint32_t v = 0; v < vectors; ++v) x[v] = EnterSteps<kText, kDecrypt>(w, wasm_v128_load(io + v * kLanes), keep[v], k);
  RunSteps<kText, kDecrypt>(w, s.rot, x, line, vectors, k);
  for (uint32_t v = 0; v < vectors; ++v) {
    wasm_v128_store(io + v * kLanes, LeaveSteps<kText, kDecrypt>(w, x[v], wasm_v128_load(io + v * kLanes), keep[v], k));
  }
  // They follow from the key.
  SecureZeroObject(line);
  SecureZeroObject(x);
}

// Large calls: lanes a schedule round apart. One round (R symbols) brings
// the wheel order and the schedule entry back and turns wheel r by T_r
// wherever it starts, so 16 * R symbols are cut into 16 stretches of R and a
// vector holds symbol j of every stretch: all its lanes share one wheel order
// and wheel r's offset in lane l is column j's plus l * T_r. Every group then
// has kVectors whole vectors (a wheel order's symbols, some 65 on average,
// would fill five vectors of 16 at four fifths). Lanes are gathered and
// scattered byte by byte through w.gathered: some 64 operations per vector
// against some 1800 for its steps.
template <bool kText, bool kDecrypt>
size_t Rounds(Cipher& c, Work& w, uint8_t* data, size_t len, const Constants& k) {
  constexpr uint32_t N = kText ? kTextSize : kBinarySize;
  const Tables& t = *c.t;
  const size_t round = t.round_length;
  alignas(16) uint8_t multiples[kWheels][kLanes];
  std::array<uint16_t, kWheels> turn = RoundTurns(c, &multiples[0][0], kLanes);
  Lines line;
  v128_t x[kVectors], keep[kVectors], in[kVectors];
  size_t done = 0;
  for (; len - done >= kLanes * round; done += kLanes * round) {
    uint8_t* const at = data + done;
    Stepping s = c.s;
    for (size_t j = 0; j < round;) {
      const auto vectors = static_cast<uint32_t>(std::min<size_t>({RunLeft(s), kVectors, round - j}));
      const uint16_t* delta = t.delta_by_wheel[s.rot];
      for (uint32_t v = 0; v < vectors; ++v) {
        uint32_t r = s.rot;
        for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
          line[p][v] = Line<kText, kDecrypt>(s.off[r], wasm_v128_load(multiples[r]), k);
        }
        for (uint32_t r = 0; r < kWheels; ++r) {
          const uint32_t o = s.off[r] + delta[r];
          s.off[r] = static_cast<uint16_t>(o >= N ? o - N : o);
        }
        const uint8_t* from = at + j + v;
        for (uint32_t l = 0; l < kLanes; ++l) w.gathered[l] = from[l * round];
        in[v] = wasm_v128_load(w.gathered);
        x[v] = EnterSteps<kText, kDecrypt>(w, in[v], keep[v], k);
      }
      RunSteps<kText, kDecrypt>(w, s.rot, x, line, vectors, k);
      for (uint32_t v = 0; v < vectors; ++v) {
        wasm_v128_store(w.gathered, LeaveSteps<kText, kDecrypt>(w, x[v], in[v], keep[v], k));
        uint8_t* to = at + j + v;
        for (uint32_t l = 0; l < kLanes; ++l) to[l * round] = w.gathered[l];
      }
      CountSymbols(c, s, vectors);
      j += vectors;
    }
    // 16 rounds on: the same entry and order, each wheel turned 16 * T_r.
    SkipRounds(c, turn, kLanes);
    SecureZeroObject(s);
  }
  SecureZeroObject(turn);
  SecureZeroObject(multiples);
  SecureZeroObject(line);
  SecureZeroObject(x);
  SecureZeroObject(in);
  return done;
}

template <bool kText, bool kDecrypt>
void Transform(Cipher& c, uint8_t* data, size_t len) {
  constexpr uint32_t N = kText ? kTextSize : kBinarySize;
  alignas(16) static constexpr uint8_t kConstants[5][16] = {
      {0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f},
      {16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16},
      {32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32},
      {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80},
      {151, 151, 151, 151, 151, 151, 151, 151, 151, 151, 151, 151, 151, 151, 151, 151}};
  const Constants k{wasm_v128_load(kConstants[0]), wasm_v128_load(kConstants[1]),
                    wasm_v128_load(kConstants[2]), wasm_v128_load(kConstants[3]),
                    wasm_v128_load(kConstants[4]), wasm_i8x16_splat(0)};
  static_assert(sizeof(Work) <= sizeof c.work && alignof(Work) <= 64);
  Work& w = *new (c.work) Work;
  const Tables& t = *c.t;
  const v128_t flip = kText ? k.flip : k.zero;  // as text values between steps
  for (uint32_t r = 0; r < kWheels; ++r) CutRow(kDecrypt ? t.inv[r] : t.fwd[r], N, flip, w.rows[r], kText ? 10 : 16);
  if constexpr (kText) {
    CutRow(t.to_index.data(), 256, k.zero, w.to_index, 16);
    CutRow(t.to_symbol.data(), kTextSize, k.zero, w.to_symbol, 10);
  }
  size_t done = 0;
  if (t.round_length > 0 && len / kLanes >= t.round_length) done = Rounds<kText, kDecrypt>(c, w, data, len, k);
  lanes::ForEachGroup<N, kVectors * kLanes>(c, data + done, len - done, [&](uint8_t* io, uint32_t vectors) {
    Group<kText, kDecrypt>(c, w, io, vectors, k);
  });
  SecureZero(c.work, sizeof(Work));  // the rows follow from the key
}

}  // namespace

void WasmSimdTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt) {
  Dispatch(c, decrypt, [&](auto text, auto dec) { Transform<text(), dec()>(c, data, len); });
}

}  // namespace tav::engine

#endif
