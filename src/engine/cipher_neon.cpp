// SPDX-License-Identifier: MIT
// ARM64 NEON kernel of the wheel cipher. Every ARM64 CPU has NEON, so there
// is no run-time check.
//
// Each byte lane of a q register carries one symbol. A 256-entry row is four
// 64-byte tables of four registers each: tbl looks the index up in the first
// (an index of 64 or more gives 0), and tbx in each of the others with the
// index minus 64, 128 and 192 (out of range leaves the lane alone), so a
// lookup is four instructions. Text rows need only 151 entries, three tables.
//
// The symbols of one wheel order are taken 64 at a time: four vectors in
// flight, so that their dependent lookups overlap, all reading the same row
// at each step, loaded once for the four. Within a wheel order a wheel's
// offset grows by its turn per symbol, so the offsets of the 64 symbols are
// the group's first offset plus g * delta (the key set's Tables::mult),
// mod n: free in byte arithmetic for n = 256, one compare and add for 151.
//
// A group ends where the wheel order does: dwells of 10 to about 160 symbols
// leave a partly filled last group, on average half a group per wheel order.
// The AVX-512 kernel's segments avoid that waste by running a group across
// orders with per-lane masks; that would fit NEON too (bsl is cheap), but
// this kernel keeps to the simpler form until ARM64 hardware can say whether
// the lanes are worth the extra work.
#include "engine/cipher.hpp"

#if defined(__aarch64__)

#include <arm_neon.h>

#include <algorithm>
#include <cstring>

#include "engine/lanes.hpp"

namespace tav::engine {

bool NeonSupported() { return true; }

namespace {

using lanes::kGroup;
using lanes::kLanes;
using lanes::kVectors;

// One row, as many 64-byte tables as the alphabet needs.
template <bool kText>
struct Row {
  static constexpr int kTables = kText ? 3 : 4;
  uint8x16x4_t t[kTables];
  explicit Row(const uint8_t* row) {
    for (int i = 0; i < kTables; ++i) t[i] = vld1q_u8_x4(row + 64 * i);
  }
  uint8x16_t Lookup(uint8x16_t idx) const {
    uint8x16_t r = vqtbl4q_u8(t[0], idx);
    for (int i = 1; i < kTables; ++i) r = vqtbx4q_u8(r, t[i], vsubq_u8(idx, vdupq_n_u8(static_cast<uint8_t>(64 * i))));
    return r;
  }
};

// (x - y) mod 151 for x, y with |x - y| < 151.
inline uint8x16_t SubMod151(uint8x16_t x, uint8x16_t y) {
  const uint8x16_t d = vsubq_u8(x, y);
  return vaddq_u8(d, vandq_u8(vcltq_u8(x, y), vdupq_n_u8(kTextSize)));
}

template <bool kText, bool kDecrypt>
void Transform(Cipher& c, uint8_t* data, size_t len) {
  constexpr uint32_t N = kText ? kTextSize : kBinarySize;
  const uint8_t* rows = kDecrypt ? &c.t->inv[0][0] : &c.t->fwd[0][0];
  const Stepping& s = c.s;
  lanes::ForEachGroup<N>(c, data, len, [&](uint8_t* io, uint32_t vectors) {
    // What each step adds or subtracts, per position and vector. Binary:
    // the offset. Text encryption: 151 - offset, in 1..151, to subtract;
    // text decryption: the offset, in 0..150.
    uint8x16_t add[kWheels][kVectors];
    uint32_t r = s.rot;
    for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
      const uint8_t base = static_cast<uint8_t>(s.off[r]);
      for (uint32_t v = 0; v < vectors; ++v) {
        const uint8x16_t m = vld1q_u8(&c.t->mult[p][v * kLanes]);
        if constexpr (!kText) {
          add[p][v] = vaddq_u8(m, vdupq_n_u8(base));
        } else {
          // (base + m) mod 151 = m - (151 - base), wrapped.
          const uint8x16_t off = SubMod151(m, vdupq_n_u8(static_cast<uint8_t>(N - base)));
          add[p][v] = kDecrypt ? off : vsubq_u8(vdupq_n_u8(N), off);
        }
      }
    }
    uint8x16_t in[kVectors], x[kVectors], keep[kVectors];
    for (uint32_t v = 0; v < kVectors; ++v) {
      in[v] = vld1q_u8(io + v * kLanes);
      x[v] = in[v];
      if constexpr (kText) {
        x[v] = Row<false>(c.t->to_index.data()).Lookup(in[v]);
        keep[v] = vceqq_u8(x[v], vdupq_n_u8(kNotInAlphabet));  // not in the alphabet: passes through
      }
    }
    auto step = [&](uint32_t p) {
      const Row<kText> row(rows + ((p + s.rot) % kWheels) * 512);
      for (uint32_t v = 0; v < vectors; ++v) {
        if constexpr (!kText) {
          x[v] = kDecrypt ? vsubq_u8(row.Lookup(x[v]), add[p][v]) : row.Lookup(vaddq_u8(x[v], add[p][v]));
        } else {
          x[v] = kDecrypt ? SubMod151(row.Lookup(x[v]), add[p][v]) : row.Lookup(SubMod151(x[v], add[p][v]));
        }
      }
    };
    lanes::Steps<kDecrypt>(step);
    for (uint32_t v = 0; v < vectors; ++v) {
      uint8x16_t out = x[v];
      if constexpr (kText) out = vbslq_u8(keep[v], in[v], Row<true>(c.t->to_symbol.data()).Lookup(out));
      vst1q_u8(io + v * kLanes, out);
    }
  });
}

}  // namespace

void NeonTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt) {
  Dispatch(c, decrypt, [&](auto text, auto dec) { Transform<text(), dec()>(c, data, len); });
}

}  // namespace tav::engine

#endif
