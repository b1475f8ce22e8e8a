// SPDX-License-Identifier: MIT
// WebAssembly SIMD kernel of the wheel cipher (128-bit vectors), compiled
// only into the WebAssembly build when it targets SIMD; a module either has
// it or was built without it, so there is no run-time check.
//
// Each byte lane of a v128 carries one symbol, as in the NEON kernel, whose
// shape this follows: the symbols of one wheel order are taken 64 at a time,
// four vectors in flight that read the same row at each step, and a wheel's
// offsets for the group are its first offset plus g * delta, mod n.
//
// A lookup cuts the row into chunks of 16 entries. i8x16.swizzle gives 0 for
// an index of 16 or more, so chunk k, indexed with y ^ 16k, contributes
// entry y exactly when y / 16 is k: the lookup ORs one swizzle per chunk,
// sixteen for the binary alphabet, ten for the 151 text symbols.
#include "engine/cipher.hpp"

#if defined(__wasm_simd128__)

#include <wasm_simd128.h>

#include <algorithm>
#include <cstring>

#include "common/wipe.hpp"
#include "engine/lanes.hpp"

namespace tav::engine {

namespace {

using lanes::kGroup;
using lanes::kLanes;
using lanes::kVectors;

// The first kChunks * 16 entries of a row.
template <int kChunks>
struct Row {
  v128_t t[kChunks];
  explicit Row(const uint8_t* row) {
    for (int k = 0; k < kChunks; ++k) t[k] = wasm_v128_load(row + 16 * k);
  }
  v128_t Lookup(v128_t y) const {
    v128_t r = wasm_i8x16_swizzle(t[0], y);
    for (int k = 1; k < kChunks; ++k) {
      r = wasm_v128_or(r, wasm_i8x16_swizzle(t[k], wasm_v128_xor(y, wasm_i8x16_splat(static_cast<int8_t>(16 * k)))));
    }
    return r;
  }
};

constexpr int kBinaryChunks = 16;
constexpr int kTextChunks = (kTextSize + 15) / 16;

// (x - y) mod 151 for x, y with |x - y| < 151.
inline v128_t SubMod151(v128_t x, v128_t y) {
  const v128_t d = wasm_i8x16_sub(x, y);
  return wasm_i8x16_add(d, wasm_v128_and(wasm_u8x16_lt(x, y), wasm_i8x16_splat(static_cast<int8_t>(kTextSize))));
}

template <bool kText, bool kDecrypt>
void Transform(Cipher& c, uint8_t* data, size_t len, lanes::Multiples& mult) {
  constexpr uint32_t N = kText ? kTextSize : kBinarySize;
  constexpr int kChunks = kText ? kTextChunks : kBinaryChunks;
  lanes::FillMultiples(c, N, len, mult);
  const uint8_t* rows = kDecrypt ? &c.t->inv[0][0] : &c.t->fwd[0][0];
  const Stepping& s = c.s;
  lanes::ForEachGroup<N>(c, data, len, [&](uint8_t* io, uint32_t vectors) {
    // What each step adds or subtracts, per position and vector. Binary:
    // the offset. Text encryption: 151 - offset, in 1..151, to subtract;
    // text decryption: the offset, in 0..150.
    v128_t add[kWheels][kVectors];
    uint32_t r = s.rot;
    for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
      const auto base = static_cast<int8_t>(s.off[r]);
      for (uint32_t v = 0; v < vectors; ++v) {
        const v128_t m = wasm_v128_load(&mult[p][v * kLanes]);
        if constexpr (!kText) {
          add[p][v] = wasm_i8x16_add(m, wasm_i8x16_splat(base));
        } else {
          // (base + m) mod 151 = m - (151 - base), wrapped.
          const v128_t off = SubMod151(m, wasm_i8x16_splat(static_cast<int8_t>(N - s.off[r])));
          add[p][v] = kDecrypt ? off : wasm_i8x16_sub(wasm_i8x16_splat(static_cast<int8_t>(N)), off);
        }
      }
    }
    v128_t in[kVectors], x[kVectors], keep[kVectors];
    for (uint32_t v = 0; v < kVectors; ++v) {
      in[v] = wasm_v128_load(io + v * kLanes);
      x[v] = in[v];
      if constexpr (kText) {
        x[v] = Row<kBinaryChunks>(c.t->to_index.data()).Lookup(in[v]);
        // Not in the alphabet: passes through.
        keep[v] = wasm_i8x16_eq(x[v], wasm_i8x16_splat(static_cast<int8_t>(kNotInAlphabet)));
      }
    }
    auto step = [&](uint32_t p) {
      const Row<kChunks> row(rows + ((p + s.rot) % kWheels) * 512);
      for (uint32_t v = 0; v < vectors; ++v) {
        if constexpr (!kText) {
          x[v] = kDecrypt ? wasm_i8x16_sub(row.Lookup(x[v]), add[p][v]) : row.Lookup(wasm_i8x16_add(x[v], add[p][v]));
        } else {
          x[v] = kDecrypt ? SubMod151(row.Lookup(x[v]), add[p][v]) : row.Lookup(SubMod151(x[v], add[p][v]));
        }
      }
    };
    lanes::Steps<kDecrypt>(step);
    for (uint32_t v = 0; v < vectors; ++v) {
      v128_t out = x[v];
      if constexpr (kText) out = wasm_v128_bitselect(in[v], Row<kTextChunks>(c.t->to_symbol.data()).Lookup(out), keep[v]);
      wasm_v128_store(io + v * kLanes, out);
    }
  });
}

}  // namespace

void WasmSimdTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt) {
  lanes::Multiples mult;
  const bool text = c.t->kind == Kind::text;
  if (text && !decrypt) Transform<true, false>(c, data, len, mult);
  if (text && decrypt) Transform<true, true>(c, data, len, mult);
  if (!text && !decrypt) Transform<false, false>(c, data, len, mult);
  if (!text && decrypt) Transform<false, true>(c, data, len, mult);
  SecureZeroObject(mult);  // the turns follow from the key
}

}  // namespace tav::engine

#endif
