// SPDX-License-Identifier: MIT
// AVX2 kernel of the wheel cipher. This file alone is compiled for AVX2; the
// kernel runs only after Avx2Supported() said yes.
//
// Each byte lane of a ymm register carries one symbol; a group of up to 96
// consecutive symbols is three vectors, run interleaved so that their forty
// dependent lookups overlap and share the table loads. (With two, a step
// waits on the latency of the lookup chain; four gain nothing more.)
//
// A lookup in a row uses vpshufb, which reads 16-byte tables and gives 0
// where bit 7 of the index is set. With the row cut into chunks C[k] of 16
// entries, index y - 16j has bit 7 clear exactly for j = y/16 - 7 .. y/16.
// So nine indexes y - 16j (j = 0..8) serve both halves of the row, the
// chunks stored as XOR differences that make the shuffles hit by each y
// XOR to entry y: for the first half L[j] = C[j] ^ C[j - 1] (a prefix), for
// the second U[j] = C[j + 7] ^ C[j + 8] (a suffix, U[8] = C[15]); bit 7 of y
// picks the half. The 151 entries of the text alphabet need only U[1] and
// U[2] (C[8] ^ C[9] and C[9]).
//
// Text offsets are added mod 151 with a compare: values between steps are kept
// with bit 7 flipped, so that a signed compare orders them as unsigned.
// Binary offsets wrap for free in a byte add.
//
// The wheel order may rotate inside a group, as in the AVX-512 kernel: a
// symbol of segment k (k rotations after the group's first symbol) takes part
// in steps k .. k + 39 of the group, step t reading wheel (rot + t) mod 20, and
// keeps its value in the others. Per vector and wheel, the per-lane offsets
// ("lines") are built once per group.
#include "engine/cipher.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <utility>

#include "common/wipe.hpp"

namespace tav::engine {

namespace {

constexpr int kLanes = 32;
constexpr int kVectors = 3;
constexpr int kGroup = kVectors * kLanes;  // symbols transformed together
// Lane numbers are compared as signed bytes.
static_assert(kGroup + kLanes <= 128);

// A group ends early after this many wheel orders (each costs one step more).
// Key generation makes dwells of at least 10, which need at most 8.
constexpr int kMaxSegments = 16;

// Multiples of the turns: symbols 0 .. kGroup, rounded up to whole vectors.
constexpr int kMultWidth = kGroup + kLanes;

// The stepping of a group of symbols, split into segments of one wheel order.
struct Group {
  uint32_t rot;  // wheel order at the group's first symbol
  int segments;
  uint32_t symbols;
  int start[kMaxSegments + 1];  // first symbol of each segment; start[segments] = symbols
  // Per segment and position, the offset of the wheel there extended back to
  // symbol 0 of the group along the segment's line (symbol g reads
  // base + g * delta): binary base, text 151 - base. Positions 20 .. 39
  // repeat 0 .. 19, as the rows of Tables::mult do.
  alignas(32) uint8_t base[kMaxSegments][64];
};

struct Work {
  // The wheels' offsets by position in the current wheel order, twice over,
  // so that the next order's are a load one byte further on.
  alignas(32) uint8_t offsets[64];
  __m256i lines[kVectors][kWheels];
  Group group;
};

using MultRows = const uint8_t (*)[sizeof(Tables::mult[0])];
static_assert(kMultWidth <= static_cast<int>(sizeof(Tables::mult_by_symbol) / sizeof(Tables::mult_by_symbol[0])));

// Keeps the compiler from rewriting the chains of XORs: as XOR trees, the
// lookups need more registers than there are and every step spills. (The
// indexes stay free, so that it may form each as y minus a constant from
// memory, with no register held for the constant.)
inline __m256i Opaque(__m256i v) {
  __asm__("" : "+x"(v));
  return v;
}

inline __m256i Chunk(const uint8_t (*rows)[16], int k) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(rows[k])));
}

// Looks up V index vectors in one chunked row, with the indexes y - 16j.
template <bool kText, int V>
inline void Lookup(const uint8_t (*row)[16], const __m256i* y, __m256i* out) {
  const __m256i sixteen = _mm256_set1_epi8(16);
  const __m256i thirty_two = _mm256_set1_epi8(32);
  __m256i even[V], odd[V], lo[V], hi[V];
  {
    const __m256i l0 = Chunk(row, 0), l1 = Chunk(row, 1), u1 = Chunk(row, 8);
    for (int v = 0; v < V; ++v) {
      even[v] = y[v];
      odd[v] = _mm256_sub_epi8(y[v], sixteen);
      lo[v] = Opaque(_mm256_xor_si256(_mm256_shuffle_epi8(l0, even[v]), _mm256_shuffle_epi8(l1, odd[v])));
      hi[v] = _mm256_shuffle_epi8(u1, odd[v]);
    }
  }
  for (int j = 2; j < 8; ++j) {
    const __m256i l = Chunk(row, j);
    const bool has_u = !kText || j == 2;
    const __m256i u = has_u ? Chunk(row, j + 7) : l;
    for (int v = 0; v < V; ++v) {
      __m256i& idx = j % 2 == 0 ? even[v] : odd[v];
      idx = _mm256_sub_epi8(idx, thirty_two);
      lo[v] = Opaque(_mm256_xor_si256(lo[v], _mm256_shuffle_epi8(l, idx)));
      if (has_u) hi[v] = Opaque(_mm256_xor_si256(hi[v], _mm256_shuffle_epi8(u, idx)));
    }
  }
  // Bit 7 of y picks the half. (Binary's last index is y - 128.)
  for (int v = 0; v < V; ++v) {
    if constexpr (!kText) {
      even[v] = _mm256_sub_epi8(even[v], thirty_two);
      hi[v] = _mm256_xor_si256(hi[v], _mm256_shuffle_epi8(Chunk(row, 15), even[v]));
    }
    out[v] = _mm256_blendv_epi8(lo[v], hi[v], y[v]);
  }
}

// Text: (x - a) mod 151 for x and a in 0..151, both with bit 7 flipped; the
// result is plain.
inline __m256i SubMod151(__m256i x, __m256i a) {
  const __m256i below = _mm256_cmpgt_epi8(a, x);
  return _mm256_add_epi8(_mm256_sub_epi8(x, a), _mm256_and_si256(below, _mm256_set1_epi8(static_cast<char>(kTextSize))));
}

// (a - b) mod n for bytes below n.
template <bool kText>
inline __m256i SubModN(__m256i a, __m256i b) {
  const __m256i d = _mm256_sub_epi8(a, b);
  if constexpr (!kText) return d;
  const __m256i ge = _mm256_cmpeq_epi8(_mm256_max_epu8(a, b), a);
  return _mm256_add_epi8(d, _mm256_andnot_si256(ge, _mm256_set1_epi8(static_cast<char>(kTextSize))));
}

// Charts up to len (<= kGroup) next symbols and advances the stream and the
// offsets by position past them.
template <bool kText>
void Chart(const Cipher& c, Work& work, Stepping& s, uint32_t len, Group& group) {
  const __m256i n = _mm256_set1_epi8(static_cast<char>(kText ? kTextSize : 0));
  auto row = [&](uint32_t g) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(c.t->mult_by_symbol[g])); };
  group.rot = s.rot;
  int k = 0;
  uint32_t g = 0;
  __m256i off = _mm256_load_si256(reinterpret_cast<const __m256i*>(work.offsets));
  for (; g < len && k < kMaxSegments; ++k) {
    const uint32_t run = std::min(RunLeft(s), len - g);
    const __m256i base = SubModN<kText>(off, row(g));
    const __m256i key = kText ? _mm256_sub_epi8(n, base) : base;
    _mm256_store_si256(reinterpret_cast<__m256i*>(group.base[k]), key);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(group.base[k] + kWheels), key);
    // off + run * delta = off - (n - run * delta).
    off = SubModN<kText>(off, _mm256_sub_epi8(n, row(run)));
    group.start[k] = static_cast<int>(g);
    const uint32_t rot = s.rot;
    CountSymbols(c, s, run);
    g += run;
    if (s.rot != rot) {
      // Position p now holds the wheel that was at p + 1.
      _mm256_store_si256(reinterpret_cast<__m256i*>(work.offsets), off);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(work.offsets + kWheels), off);
      off = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(work.offsets + 1));
    }
  }
  _mm256_store_si256(reinterpret_cast<__m256i*>(work.offsets), off);
  group.segments = k;
  group.symbols = g;
  group.start[k] = static_cast<int>(g);
}

// The per-lane value a step takes for one wheel on the line "base + g * delta"
// (mult holds g * delta mod n, key is the group's base byte). Binary: the
// offset. Text encryption: 151 - offset, text decryption: the offset, both with
// bit 7 flipped.
template <bool kText, bool kDecrypt>
inline __m256i Line(uint8_t key, __m256i mult) {
  const __m256i k = _mm256_set1_epi8(static_cast<char>(key));
  if constexpr (!kText) {
    return _mm256_add_epi8(k, mult);
  } else {
    const __m256i n = _mm256_set1_epi8(static_cast<char>(kTextSize));
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    // mult >= key, as unsigned bytes.
    const __m256i ge = _mm256_cmpeq_epi8(_mm256_max_epu8(mult, k), mult);
    if constexpr (kDecrypt) {
      // mult - key, plus 151 where mult < key: the offset, 0..150.
      const __m256i t = _mm256_add_epi8(_mm256_sub_epi8(mult, k), _mm256_andnot_si256(ge, n));
      return _mm256_xor_si256(t, flip);
    } else {
      // key - mult, plus 151 where mult >= key: 151 - offset, 1..151.
      const __m256i t = _mm256_add_epi8(_mm256_sub_epi8(k, mult), _mm256_and_si256(ge, n));
      return _mm256_xor_si256(t, flip);
    }
  }
}

// Lanes l of the vector with lo <= first + l < hi, as a byte mask.
inline __m256i LaneMask(int first, int lo, int hi) {
  const __m256i lane = _mm256_add_epi8(_mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                                                        18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31),
                                       _mm256_set1_epi8(static_cast<char>(first)));
  // All values are below 128: signed compares suffice.
  const __m256i below_hi = _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(hi)), lane);
  const __m256i below_lo = _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(lo)), lane);
  return _mm256_andnot_si256(below_lo, below_hi);
}

// Calls f(r) for every wheel r = 0 .. 19, with r a constant.
template <class F>
inline void ForWheels(F f) {
  [&]<uint32_t... R>(std::integer_sequence<uint32_t, R...>) {
    (f(R), ...);
  }(std::make_integer_sequence<uint32_t, kWheels>{});
}

// The Line() of every wheel for each vector of the group. In wheel order rot,
// wheel r stands at position r + 20 - rot of the repeated rows and bases, so
// the loop over the wheels has fixed bounds and no wrap test.
template <bool kText, bool kDecrypt>
void Lines(const Group& group, MultRows mult, int vectors, __m256i (*out)[kWheels]) {
  int first = 0;
  for (int v = 0; v < vectors; ++v) {
    const int lane0 = v * kLanes;
    while (group.start[first + 1] <= lane0) ++first;
    // The segment that holds lane 0 fills every lane, each later one its own.
    for (int k = first; k < group.segments && group.start[k] < lane0 + kLanes; ++k) {
      const uint32_t at = kWheels - (group.rot + static_cast<uint32_t>(k)) % kWheels;
      const uint8_t* base = &group.base[k][at];
      const uint8_t* m = &mult[at][lane0];
      if (k == first) {
        ForWheels([&](uint32_t r) {
          const __m256i row = _mm256_load_si256(reinterpret_cast<const __m256i*>(m + r * sizeof mult[0]));
          out[v][r] = Line<kText, kDecrypt>(base[r], row);
        });
      } else {
        const __m256i lanes = LaneMask(lane0, group.start[k], kGroup);
        ForWheels([&](uint32_t r) {
          const __m256i row = _mm256_load_si256(reinterpret_cast<const __m256i*>(m + r * sizeof mult[0]));
          out[v][r] = _mm256_blendv_epi8(out[v][r], Line<kText, kDecrypt>(base[r], row), lanes);
        });
      }
    }
  }
}

// One step through wheel r for V vectors.
template <bool kText, bool kDecrypt, int V>
inline void Step(const uint8_t (*row)[16], const __m256i (*lines)[kWheels], uint32_t r, __m256i* x) {
  __m256i y[V];
  if constexpr (!kDecrypt) {
    for (int v = 0; v < V; ++v) {
      y[v] = kText ? SubMod151(x[v], lines[v][r]) : _mm256_add_epi8(x[v], lines[v][r]);
    }
    Lookup<kText, V>(row, y, x);
  } else {
    Lookup<kText, V>(row, x, y);
    for (int v = 0; v < V; ++v) {
      x[v] = kText ? SubMod151(y[v], lines[v][r]) : _mm256_sub_epi8(y[v], lines[v][r]);
    }
  }
}

// Runs V vectors through their forty wheel steps. Step t reads wheel
// (rot + t) mod 20 for all of them; a symbol of segment k takes part in steps
// k .. k + 39.
template <bool kText, bool kDecrypt, int V>
void Steps(const Cipher& c, const Work& work, __m256i* x) {
  const auto rows = c.t->chunked_rows[kDecrypt ? 1 : 0];
  const Group& group = work.group;
  const int segments = group.segments;
  const int steps = 2 * kWheels - 1 + segments;
  // Steps where every symbol takes part.
  const int full_lo = segments - 1, full_hi = 2 * kWheels - 1;

  auto masked = [&](int t) {
    const uint32_t r = (group.rot + static_cast<uint32_t>(t)) % kWheels;
    // Symbols of segments t - 39 .. t take part.
    const int hi = group.start[std::min(t + 1, segments)];
    const int lo = t < 2 * kWheels ? 0 : group.start[t - 2 * kWheels + 1];
    __m256i y[V];
    for (int v = 0; v < V; ++v) y[v] = x[v];
    Step<kText, kDecrypt, V>(rows[r], work.lines, r, y);
    for (int v = 0; v < V; ++v) x[v] = _mm256_blendv_epi8(x[v], y[v], LaneMask(v * kLanes, lo, hi));
  };
  auto full = [&](int t) {
    const uint32_t r = (group.rot + static_cast<uint32_t>(t)) % kWheels;
    Step<kText, kDecrypt, V>(rows[r], work.lines, r, x);
  };
  if constexpr (!kDecrypt) {
    for (int t = 0; t < std::min(full_lo, steps); ++t) masked(t);
    for (int t = full_lo; t <= full_hi; ++t) full(t);
    for (int t = std::max(full_lo, full_hi + 1); t < steps; ++t) masked(t);
  } else {
    for (int t = steps - 1; t >= std::max(full_lo, full_hi + 1); --t) masked(t);
    for (int t = full_hi; t >= full_lo; --t) full(t);
    for (int t = std::min(full_lo, steps) - 1; t >= 0; --t) masked(t);
  }
}

// A symbol's value as the steps take it. Text: its alphabet index, bit 7
// flipped for encryption (see SubMod151); keep marks bytes outside the
// alphabet, which pass through.
template <bool kText, bool kDecrypt>
inline __m256i EnterSteps(const Tables& t, __m256i in, __m256i& keep) {
  keep = _mm256_setzero_si256();
  if constexpr (!kText) return in;
  __m256i x;
  Lookup<false, 1>(t.chunked_to_index, &in, &x);
  keep = _mm256_cmpeq_epi8(x, _mm256_set1_epi8(static_cast<char>(kNotInAlphabet)));
  return kDecrypt ? x : _mm256_xor_si256(x, _mm256_set1_epi8(static_cast<char>(0x80)));
}

// The byte for a value the steps gave, the inverse of EnterSteps.
template <bool kText, bool kDecrypt>
inline __m256i LeaveSteps(const Tables& t, __m256i x, __m256i in, __m256i keep) {
  if constexpr (!kText) return x;
  if constexpr (!kDecrypt) x = _mm256_xor_si256(x, _mm256_set1_epi8(static_cast<char>(0x80)));
  Lookup<true, 1>(t.chunked_to_symbol, &x, &x);
  return _mm256_blendv_epi8(x, in, keep);
}

// Flattened: GCC otherwise leaves the lookups of this small-call path out of
// line once the file holds the round-apart kernel too, and a short call then
// pays a call per lookup.
template <bool kText, bool kDecrypt>
[[gnu::flatten]] void Transform(Cipher& c, uint8_t* data, size_t len, Work& work) {
  Stepping s = c.s;
  for (uint32_t p = 0, r = s.rot; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
    work.offsets[p] = static_cast<uint8_t>(s.off[r]);
  }
  alignas(32) uint8_t tail[kGroup];
  while (len > 0) {
    Chart<kText>(c, work, s, static_cast<uint32_t>(std::min<size_t>(len, kGroup)), work.group);
    const uint32_t block = work.group.symbols;
    const int vectors = static_cast<int>((block + kLanes - 1) / kLanes);
    Lines<kText, kDecrypt>(work.group, c.t->mult, vectors, work.lines);
    // A short block goes through a copy, so that whole vectors can be loaded.
    uint8_t* io = data;
    if (block < static_cast<uint32_t>(vectors * kLanes)) {
      std::memset(tail, 0, sizeof tail);
      std::memcpy(tail, data, block);
      io = tail;
    }
    __m256i in[kVectors], x[kVectors], keep[kVectors];
    for (int v = 0; v < vectors; ++v) {
      in[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(io + v * kLanes));
      x[v] = EnterSteps<kText, kDecrypt>(*c.t, in[v], keep[v]);
    }
    if (vectors == 1) {
      Steps<kText, kDecrypt, 1>(c, work, x);
    } else if (vectors == 2) {
      Steps<kText, kDecrypt, 2>(c, work, x);
    } else {
      Steps<kText, kDecrypt, 3>(c, work, x);
    }
    for (int v = 0; v < vectors; ++v) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(io + v * kLanes), LeaveSteps<kText, kDecrypt>(*c.t, x[v], in[v], keep[v]));
    }
    if (io != data) std::memcpy(data, tail, block);
    data += block;
    len -= block;
  }
  SecureZeroObject(tail);
  for (uint32_t p = 0, r = s.rot; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) s.off[r] = work.offsets[p];
  c.s = s;
}

// Large calls: lanes a schedule round apart -------------------------------
//
// As in the AVX-512 kernel: one round of the schedule (R symbols) brings the
// wheel order and the schedule entry back and turns wheel r by T_r wherever it
// starts, so 32*R symbols are cut into 32 stretches of R and a column vector
// holds symbol j of every stretch. All its lanes share one wheel order, and
// wheel r's offset in lane l is the column's offset plus l * T_r: no segments,
// masks or partial steps. Tiles of 32 columns are moved between the
// stretches' rows and the column vectors by a 32x32 byte transpose.

// Four columns run through the steps together, sharing each table chunk's
// load; with five and more the lookups outgrow the registers and spill. No
// stretches run in scalar code beside the column vectors: their values spill
// at every step, and what that costs depends on where the stack falls.
constexpr int kColumnVectors = 4;

struct RoundsWork {
  alignas(32) uint8_t tile[kLanes][kLanes];  // the tile, column by column
  alignas(32) uint8_t part[kLanes][kLanes];  // the rows of a tile narrower than 32 columns
  __m256i moving[2][kLanes];                 // the transpose's stages
  // Per wheel, every stretch's offset at the next column, and n minus the
  // turn from one column to the next in the current wheel order (the offsets
  // move on by subtracting it).
  __m256i offsets[kWheels];
  __m256i advance[kWheels];
  __m256i lines[kColumnVectors][kWheels];
};

// Row l of a tile goes into register (l << 1 | l >> 4) mod 32: each unpack
// stage rotates the register number's bits and bits 0-3 of the byte number's
// by one, and the last stage swaps the registers' top bit with the bytes'
// (the 128-bit halves), which leaves register j holding column j.
inline void Transpose(const __m256i* in, __m256i (*moving)[kLanes], __m256i* out) {
  const __m256i* a = in;
  for (int stage = 0; stage < 4; ++stage) {
    __m256i* b = moving[stage & 1];
    for (int i = 0; i < kLanes / 2; ++i) {
      b[2 * i] = _mm256_unpacklo_epi8(a[i], a[i + kLanes / 2]);
      b[2 * i + 1] = _mm256_unpackhi_epi8(a[i], a[i + kLanes / 2]);
    }
    a = b;
  }
  for (int j = 0; j < kLanes / 2; ++j) {
    out[j] = _mm256_permute2x128_si256(a[j], a[j + kLanes / 2], 0x20);
    out[j + kLanes / 2] = _mm256_permute2x128_si256(a[j], a[j + kLanes / 2], 0x31);
  }
}

constexpr int TileRow(int p) { return (p >> 1) | ((p & 1) << 4); }

// Moves the first w (<= 32) columns of the 32 rows (row l at data + l * stride)
// into work.tile transposed, or back.
template <bool kLoad>
void MoveTile(uint8_t* data, size_t stride, int w, RoundsWork& work) {
  __m256i in[kLanes], out[kLanes];
  const bool whole = w == kLanes;
  for (int p = 0; p < kLanes; ++p) {
    const int l = TileRow(p);
    const uint8_t* from = kLoad ? data + static_cast<size_t>(l) * stride : work.tile[l];
    if (kLoad && !whole) {
      std::memcpy(work.part[l], from, static_cast<size_t>(w));
      from = work.part[l];
    }
    in[p] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
    // 32 streams at once: more than the hardware prefetcher follows.
    if constexpr (kLoad) _mm_prefetch(reinterpret_cast<const char*>(from) + 2 * kLanes, _MM_HINT_T0);
  }
  Transpose(in, work.moving, out);
  for (int j = 0; j < kLanes; ++j) {
    if constexpr (kLoad) {
      _mm256_store_si256(reinterpret_cast<__m256i*>(work.tile[j]), out[j]);
    } else if (whole) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(data + static_cast<size_t>(j) * stride), out[j]);
    } else {
      _mm256_store_si256(reinterpret_cast<__m256i*>(work.part[j]), out[j]);
      std::memcpy(data + static_cast<size_t>(j) * stride, work.part[j], static_cast<size_t>(w));
    }
  }
}

// The Line() of a column from its offsets (see Line).
template <bool kText, bool kDecrypt>
inline __m256i LineOf(__m256i offset) {
  if constexpr (!kText) return offset;
  // (151 - offset) ^ 0x80 is 279 - offset, 23 mod 256.
  if constexpr (!kDecrypt) return _mm256_sub_epi8(_mm256_set1_epi8(23), offset);
  return _mm256_xor_si256(offset, _mm256_set1_epi8(static_cast<char>(0x80)));
}

// A step of all V columns. Binary runs four as two pairs, one after the
// other, with a compiler barrier between them (so that the second pair loads
// its table chunks again rather than the compiler weaving the pairs back
// together): the pairs' steps then end apart, and one pair's next step starts
// while the other finishes. Text, whose steps are longer, keeps the four
// woven: split, it runs slower.
template <bool kText, bool kDecrypt, int V>
inline void FullStep(const uint8_t (*row)[16], const __m256i (*lines)[kWheels], uint32_t r, __m256i* x) {
  if constexpr (V == 4 && !kText) {
    Step<kText, kDecrypt, 2>(row, lines, r, x);
    __asm__ volatile("" ::: "memory");
    Step<kText, kDecrypt, 2>(row, lines + 2, r, x + 2);
  } else {
    Step<kText, kDecrypt, V>(row, lines, r, x);
  }
}

// Runs V columns from work.tile[first], with their lines in work.lines. The
// columns from `lag` on (none when lag == V) are one wheel order on from the
// first, rot + 1: they take each wheel one step after the others, so the
// group runs 41 steps, and in the first and the last only some columns move.
template <bool kText, bool kDecrypt, int V>
void ColumnSteps(const Cipher& c, RoundsWork& work, int first, uint32_t rot, int lag) {
  const auto rows = c.t->chunked_rows[kDecrypt ? 1 : 0];
  __m256i in[V], x[V], keep[V];
  for (int v = 0; v < V; ++v) {
    in[v] = _mm256_load_si256(reinterpret_cast<const __m256i*>(work.tile[first + v]));
    x[v] = EnterSteps<kText, kDecrypt>(*c.t, in[v], keep[v]);
  }
  // A step of the columns lo .. hi - 1 alone.
  auto some = [&](uint32_t r, int lo, int hi) {
    __m256i y[V];
    for (int v = 0; v < V; ++v) y[v] = x[v];
    Step<kText, kDecrypt, V>(rows[r], work.lines, r, y);
    for (int v = lo; v < hi; ++v) x[v] = y[v];
  };
  const bool straddles = lag < V;
  const int full = straddles ? 2 * kWheels - 1 : 2 * kWheels;
  if constexpr (!kDecrypt) {
    uint32_t r = rot;
    if (straddles) {
      some(r, 0, lag);
      r = r + 1 == kWheels ? 0 : r + 1;
    }
    for (int t = 0; t < full; ++t, r = r + 1 == kWheels ? 0 : r + 1) FullStep<kText, kDecrypt, V>(rows[r], work.lines, r, x);
    if (straddles) some(r, lag, V);
  } else {
    if (straddles) some(rot, lag, V);
    uint32_t r = rot == 0 ? kWheels - 1 : rot - 1;
    for (int t = 0; t < full; ++t, r = r == 0 ? kWheels - 1 : r - 1) FullStep<kText, kDecrypt, V>(rows[r], work.lines, r, x);
    if (straddles) some(rot, 0, lag);
  }
  for (int v = 0; v < V; ++v) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(work.tile[first + v]), LeaveSteps<kText, kDecrypt>(*c.t, x[v], in[v], keep[v]));
  }
}

// Transforms whole blocks of 32 rounds (at least one) from the front of data;
// returns the bytes done. The stream moves on by whole rounds, so only the
// offsets change.
template <bool kText, bool kDecrypt>
size_t Rounds(Cipher& c, uint8_t* data, size_t len, RoundsWork& work) {
  constexpr uint32_t N = kText ? kTextSize : kBinarySize;
  const Tables& t = *c.t;
  const size_t round = t.round_length;
  alignas(32) uint8_t multiples[kWheels][kLanes];
  std::array<uint16_t, kWheels> turn = RoundTurns(c, &multiples[0][0], kLanes);
  const size_t block = kLanes * round;
  // The turns from one column to the next in wheel order rot.
  auto set_advance = [&](uint32_t rot) {
    for (uint32_t r = 0; r < kWheels; ++r) {
      const uint32_t d = t.delta_by_wheel[rot][r];
      work.advance[r] = _mm256_set1_epi8(static_cast<char>(N - d));
    }
  };
  size_t done = 0;
  for (; len - done >= block; done += block) {
    uint8_t* at = data + done;
    Stepping s = c.s;
    for (uint32_t r = 0; r < kWheels; ++r) {
      alignas(32) uint8_t start[kLanes];
      for (int l = 0; l < kLanes; ++l) start[l] = static_cast<uint8_t>((s.off[r] + multiples[r][l]) % N);
      work.offsets[r] = _mm256_load_si256(reinterpret_cast<const __m256i*>(start));
      SecureZeroObject(start);
    }
    uint32_t advance_rot = s.rot;
    set_advance(advance_rot);
    for (size_t c0 = 0; c0 < round; c0 += kLanes) {
      const int w = static_cast<int>(std::min<size_t>(kLanes, round - c0));
      MoveTile<true>(at + c0, round, w, work);
      // Groups of up to kColumnVectors columns that span at most one change
      // of wheel order; the stream steps one symbol per column.
      for (int j = 0; j < w;) {
        const uint32_t rot = s.rot;
        const int most = std::min(w - j, kColumnVectors);
        int n = 0, lag = most;
        for (; n < most; ++n) {
          if (s.rot != advance_rot) {
            if (n > 0) {
              if (lag < most) break;  // a second change
              lag = n;
            }
            advance_rot = s.rot;
            set_advance(advance_rot);
          }
          ForWheels([&](uint32_t r) {
            work.lines[n][r] = LineOf<kText, kDecrypt>(work.offsets[r]);
            work.offsets[r] = SubModN<kText>(work.offsets[r], work.advance[r]);
          });
          CountSymbols(c, s, 1);
        }
        [&]<int... V>(std::integer_sequence<int, V...>) {
          (void)((n == V + 1 && (ColumnSteps<kText, kDecrypt, V + 1>(c, work, j, rot, lag), true)) || ...);
        }(std::make_integer_sequence<int, kColumnVectors>{});
        j += n;
      }
      MoveTile<false>(at + c0, round, w, work);
    }
    // 32 rounds on: the same entry and order, each wheel turned 32 * T_r.
    SkipRounds(c, turn, kLanes);
  }
  SecureZeroObject(turn);
  SecureZeroObject(multiples);
  SecureZeroObject(work);
  return done;
}

}  // namespace

void Avx2Transform(Cipher& c, uint8_t* data, size_t len, bool decrypt) {
  // Some 8 KiB: kept in the cipher rather than on the caller's stack, and
  // apart for each copy of the cipher that a worker thread runs.
  static_assert(sizeof(Work) <= sizeof c.work && alignof(Work) <= 64);
  static_assert(sizeof(RoundsWork) <= sizeof c.work && alignof(RoundsWork) <= 64);
  // Small calls go straight to the kernel above. (One dispatch for each: with
  // both kernels in one, the compiler inlines the small calls' path less well,
  // and short calls pay for it.)
  size_t done = 0;
  if (c.t->round_length > 0 && len / kLanes >= c.t->round_length) {
    Dispatch(c, decrypt, [&](auto text, auto dec) { done = Rounds<text(), dec()>(c, data, len, *new (c.work) RoundsWork); });
  }
  Dispatch(c, decrypt, [&](auto text, auto dec) { Transform<text(), dec()>(c, data + done, len - done, *new (c.work) Work); });
  SecureZero(c.work, sizeof(Work));  // the tables and offsets follow from the key
}

}  // namespace tav::engine

#endif
