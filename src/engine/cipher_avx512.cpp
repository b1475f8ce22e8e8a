// SPDX-License-Identifier: MIT
// AVX-512 VBMI kernel of the wheel cipher. This file alone is compiled for
// AVX-512; the kernel runs only after Avx512Supported() said yes.
//
// Each byte lane of a zmm register carries one symbol: a group of up to 384
// consecutive symbols is six vectors, run interleaved so that their forty
// dependent lookups overlap. Four leave the permute units waiting on the
// chain's latency (add, permutes, select); with seven and more, their lanes,
// rows and temporaries outgrow the registers and spill, unrolled or not. A
// lookup in a 256-entry row is two two-table byte permutes and a select on
// bit 7 of the index.
//
// The wheel order may rotate inside a group. Its symbols fall into segments of
// one wheel order, segment k rotated k times more than the first. Step t of
// the group reads wheel (rot + t) mod 20 for every vector, so the six share
// the table loads; a symbol of segment k takes part in steps k .. k + 39 and
// keeps its value during the others. Within a segment a wheel's offset grows
// linearly with the symbol, so a wheel's offsets across a vector are one or a
// few masked "base + g * delta" lines, built once per group and used twice.
//
// Text: a line takes a subtraction, a compare and a masked add mod 151 for
// every wheel and vector, work that the steps' latency-bound permute chains
// leave room for, and the steps where only some symbols take part (those of
// the first and last segments) would branch on each vector as the wheel
// orders fall. So a text group's successor is charted and its lines built
// while the group runs its steps, one vector's lines every fourth step, and
// the partial steps run every vector under a lane mask computed for all of
// them at once, with no branch per vector. Binary lines are cheap (one add),
// so neither pays for itself there: binary builds a group's lines just before
// its steps and skips vectors a partial step does not touch.
#include "engine/cipher.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <new>
#include <type_traits>
#include <utility>

#include "common/wipe.hpp"

namespace tav::engine {

namespace {

constexpr int kLanes = 64;
constexpr int kVectors = 6;
constexpr int kGroup = kVectors * kLanes;  // symbols transformed together
static_assert(kVectors <= 8, "a partial step computes the lane masks of eight vectors");

// Whether the next group's lines are built between this group's steps, and
// partial steps mask every vector (see the header comment).
template <bool kText>
constexpr bool kLinesBetweenSteps = kText;

// A group ends early after this many wheel orders. Key generation makes
// dwells of at least 10, which need at most 40; a group cut short only costs
// a few masked steps more.
constexpr int kMaxSegments = 32;

// The stepping of a group of symbols, split into segments of one wheel order.
struct Group {
  uint32_t rot;       // wheel order at the group's first symbol
  int segments;
  uint32_t symbols;
  uint16_t start[kMaxSegments + 1];  // first symbol of each segment; start[segments] = kGroup
  // Per segment and wheel, the wheel's offset extended back to symbol 0 of
  // the group along the segment's line (symbol g reads base + g * delta), in
  // every byte of a word: binary base, text 151 - base.
  alignas(64) uint32_t base[kMaxSegments][32];
};

struct Work {
  Group groups[2];
  __m512i lines[2][kVectors][kWheels];  // of groups[0] and groups[1]
};

static_assert(kGroup <= sizeof(Tables::mult[0]) && std::extent_v<decltype(Tables::mult)> == 2 * kWheels);
constexpr uint32_t kRow = sizeof(Tables::mult[0]);
using MultRows = const uint8_t (*)[kRow];

// vpermb. (The maskz form: the plain one trips a false uninitialised warning
// in GCC 12.)
inline __m512i Permute(__m512i idx, __m512i table) { return _mm512_maskz_permutexvar_epi8(~0ull, idx, table); }

// x mod N for 16-bit lanes.
template <uint32_t N>
inline __m512i Mod(__m512i x) {
  if constexpr (N == 256) {
    return _mm512_and_si512(x, _mm512_set1_epi16(0xFF));
  } else {
    static_assert(N == 151);
    // The quotient estimate is exact or one short, which one min corrects.
    const __m512i q = _mm512_mulhi_epu16(x, _mm512_set1_epi16(static_cast<short>(65536 / N)));
    const __m512i r = _mm512_sub_epi16(x, _mm512_mullo_epi16(q, _mm512_set1_epi16(N)));
    return _mm512_min_epu16(r, _mm512_sub_epi16(r, _mm512_set1_epi16(N)));
  }
}

// Charts up to len (<= kGroup) next symbols and advances the stream past
// them; off holds the wheels' offsets in 16-bit lanes and is returned moved
// on. The offsets and the stepping stay in registers: kept behind references,
// every segment would wait on a store and a reload of each (the group's
// stores might have written them).
template <uint32_t N>
__m512i Chart(const Cipher& c, Stepping& stream, __m512i off, const __m512i* deltas, uint32_t len, Group& group) {
  Stepping s = stream;
  // Byte 2r of a 16-bit vector into every byte of word r: wheels 0-15, 16-19.
  const __m512i spread_lo = _mm512_set_epi32(0x1E1E1E1E, 0x1C1C1C1C, 0x1A1A1A1A, 0x18181818, 0x16161616, 0x14141414,
                                             0x12121212, 0x10101010, 0x0E0E0E0E, 0x0C0C0C0C, 0x0A0A0A0A, 0x08080808,
                                             0x06060606, 0x04040404, 0x02020202, 0x00000000);
  const __m512i spread_hi = _mm512_add_epi8(spread_lo, _mm512_set1_epi8(32));
  group.rot = s.rot;
  int k = 0;
  uint32_t g = 0;
  for (; g < len && k < kMaxSegments; ++k) {
    const uint32_t run = std::min(RunLeft(s), len - g);
    const __m512i delta = deltas[s.rot];
    // base = off - g * delta; g * delta < 65536.
    const __m512i back = Mod<N>(_mm512_mullo_epi16(delta, _mm512_set1_epi16(static_cast<short>(g % N))));
    const __m512i diff = _mm512_sub_epi16(off, back);
    __m512i base = diff;
    if constexpr (N != 256) base = _mm512_sub_epi16(_mm512_set1_epi16(N), _mm512_min_epu16(diff, _mm512_add_epi16(diff, _mm512_set1_epi16(N))));
    _mm512_store_si512(&group.base[k][0], Permute(spread_lo, base));
    _mm512_store_si512(&group.base[k][16], Permute(spread_hi, base));
    group.start[k] = static_cast<uint16_t>(g);
    off = Mod<N>(_mm512_add_epi16(off, _mm512_mullo_epi16(delta, _mm512_set1_epi16(static_cast<short>(run % N)))));
    CountSymbols(c, s, run);
    g += run;
  }
  group.segments = k;
  group.symbols = g;
  group.start[k] = kGroup;
  stream = s;
  return off;
}

inline uint64_t LanesBelow(int32_t lane) { return lane <= 0 ? 0 : lane >= 64 ? ~0ull : (1ull << lane) - 1; }

// The per-lane value that a step adds to or subtracts from the symbol, for one
// wheel on the line "base + g * delta" (mult holds g * delta mod n, key is
// the group's base word). Binary: the offset, mod 256 for free. Text: what a
// step adds mod 151 (TextSum): encryption the offset, in 0..150; decryption
// 151 - offset, in 1..151.
template <bool kText, bool kDecrypt>
inline __m512i Line(__m512i k, __m512i mult) {
  if constexpr (!kText) {
    return _mm512_add_epi8(k, mult);
  } else {
    const __m512i n = _mm512_set1_epi8(static_cast<char>(kTextSize));
    if constexpr (kDecrypt) {
      const __m512i t = _mm512_sub_epi8(k, mult);
      return _mm512_mask_add_epi8(t, _mm512_cmpge_epu8_mask(mult, k), t, n);
    } else {
      const __m512i t = _mm512_sub_epi8(mult, k);
      return _mm512_mask_add_epi8(t, _mm512_cmplt_epu8_mask(mult, k), t, n);
    }
  }
}

template <bool kText, bool kDecrypt>
inline __m512i Line(uint32_t key, __m512i mult) {
  return Line<kText, kDecrypt>(_mm512_set1_epi32(static_cast<int>(key)), mult);
}

// Calls f(r) for every wheel r = 0 .. 19, with r a constant: the position
// rows are reached from one pointer (see Tables::mult), so the loop has no
// wrap test and no run-time bounds.
template <class F>
inline void ForWheels(F f) {
  [&]<uint32_t... R>(std::integer_sequence<uint32_t, R...>) {
    (f(R), ...);
  }(std::make_integer_sequence<uint32_t, kWheels>{});
}

// Builds the Line() of every wheel for each vector of a group, by wheel, one
// vector at a time. In wheel order rot, wheel r stands at position r + 20 -
// rot of the repeated rows.
template <bool kText, bool kDecrypt>
struct LineBuilder {
  const Group* group = nullptr;
  MultRows mult = nullptr;
  __m512i (*out)[kWheels] = nullptr;
  int vectors = 0;
  int v = 0;
  int first = 0;  // segment of lane 0 of vector v

  bool Done() const { return v >= vectors; }
  void Next();
  void Rest() {
    while (!Done()) Next();
  }
};

template <bool kText, bool kDecrypt>
void LineBuilder<kText, kDecrypt>::Next() {
  const Group& g = *group;
  const int lane0 = v * kLanes;
  while (g.start[first + 1] <= lane0) ++first;
  int last = first;
  while (g.start[last + 1] < lane0 + kLanes) ++last;
  // The segment that holds lane 0 fills every lane, each later one its own;
  // a wheel at position p in one segment is at p - 1 in the next.
  const uint32_t rot = (g.rot + static_cast<uint32_t>(first)) % kWheels;
  __m512i* line = out[v];
  const uint32_t* base = g.base[first];
  const uint8_t* m = &mult[kWheels - rot][lane0];
  auto row = [](const uint8_t* at, uint32_t r) { return _mm512_load_si512(at + r * kRow); };
  if (last == first) {
    ForWheels([&](uint32_t r) { line[r] = Line<kText, kDecrypt>(base[r], row(m, r)); });
  } else if (last == first + 1) {
    const uint32_t* later = g.base[last];
    const __mmask64 lanes = ~LanesBelow(g.start[last] - lane0);
    const uint8_t* m_later = m - kRow;
    if constexpr (kText) {
      // Most vectors cross one change of wheel order. The two segments'
      // keys and multiples are merged first, so that each wheel takes one
      // reduction mod 151 instead of two and a select.
      ForWheels([&](uint32_t r) {
        const __m512i key = _mm512_mask_mov_epi8(_mm512_set1_epi32(static_cast<int>(base[r])), lanes,
                                                 _mm512_set1_epi32(static_cast<int>(later[r])));
        const __m512i multiples = _mm512_mask_loadu_epi8(row(m, r), lanes, m_later + r * kRow);
        line[r] = Line<kText, kDecrypt>(key, multiples);
      });
    } else {
      ForWheels([&](uint32_t r) {
        line[r] = _mm512_mask_mov_epi8(Line<kText, kDecrypt>(base[r], row(m, r)), lanes,
                                       Line<kText, kDecrypt>(later[r], row(m_later, r)));
      });
    }
  } else {
    ForWheels([&](uint32_t r) { line[r] = Line<kText, kDecrypt>(base[r], row(m, r)); });
    for (int k = first + 1; k <= last; ++k) {
      const uint32_t* later = g.base[k];
      const __mmask64 lanes = ~LanesBelow(g.start[k] - lane0);
      const uint8_t* m_later = &mult[kWheels - (rot + static_cast<uint32_t>(k - first)) % kWheels][lane0];
      ForWheels([&](uint32_t r) {
        line[r] = _mm512_mask_mov_epi8(line[r], lanes, Line<kText, kDecrypt>(later[r], row(m_later, r)));
      });
    }
  }
  ++v;
}

// 256-entry byte lookup; row holds four vectors.
inline __m512i Lookup256(const __m512i* row, __m512i idx) {
  const __m512i lo = _mm512_permutex2var_epi8(row[0], idx, row[1]);
  const __m512i hi = _mm512_permutex2var_epi8(row[2], idx, row[3]);
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(idx), lo, hi);
}

// Lookup of an index below 192.
inline __m512i Lookup192(const __m512i* row, __m512i idx) {
  const __m512i lo = _mm512_permutex2var_epi8(row[0], idx, row[1]);
  const __m512i hi = Permute(idx, row[2]);
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(idx), lo, hi);
}

// Text sums mod n of two terms below n, without a compare (whose mask costs
// more than two plain operations): below 256 the saturated sum is exact and
// the wrapped sum less n is the smaller exactly when the sum reaches n; from
// 256 on the saturated sum is 255, above the other. Either term may be n,
// standing for 0 (the sum is then the other term; n only if both are n).
// b_less_n is b - n mod 256.
inline __m512i TextSum(__m512i a, __m512i b, __m512i b_less_n) {
  return _mm512_min_epu8(_mm512_adds_epu8(a, b), _mm512_add_epi8(a, b_less_n));
}

inline __m512i TextSum(__m512i a, __m512i b) {
  const __m512i n = _mm512_set1_epi8(static_cast<char>(kTextSize));
  return _mm512_min_epu8(_mm512_adds_epu8(a, b), _mm512_sub_epi8(_mm512_add_epi8(a, b), n));
}

// One step through one wheel; row is the wheel's table (forward or inverse),
// add is its Line() for these lanes.
template <bool kText, bool kDecrypt>
inline __m512i Through(const __m512i* row, __m512i add, __m512i x) {
  if constexpr (!kText) {
    if constexpr (kDecrypt) return _mm512_sub_epi8(Lookup256(row, x), add);
    return Lookup256(row, _mm512_add_epi8(x, add));
  } else {
    if constexpr (kDecrypt) return TextSum(Lookup192(row, x), add);
    return Lookup192(row, TextSum(x, add));
  }
}

// Runs V vectors through their forty wheel steps. Step t reads wheel
// (rot + t) mod 20 for all of them; a symbol of segment k takes part in steps
// k .. k + 39.
//
// Text: at every fourth step where all symbols take part, `later` builds the
// lines of one vector of the next group.
template <bool kText, bool kDecrypt, int V>
void Steps(const Cipher& c, const Group& group, const __m512i (*lines)[kWheels], __m512i* x,
           LineBuilder<kText, kDecrypt>& later) {
  const uint8_t* rows = kDecrypt ? &c.t->inv[0][0] : &c.t->fwd[0][0];
  const int segments = group.segments;
  const int steps = 2 * kWheels - 1 + segments;
  // Steps where every symbol takes part.
  const int full_lo = segments - 1, full_hi = 2 * kWheels - 1;

  // Lane masks of every vector at once: qword v holds the lanes of vector v
  // below symbol `below` and at or past symbol `from`. A shift by 64 or more
  // gives 0, so no lane count needs a test. (The maskz forms: the plain ones
  // trip the false warning of Permute.)
  const __m512i lane0 = _mm512_set_epi64(7 * kLanes, 6 * kLanes, 5 * kLanes, 4 * kLanes, 3 * kLanes, 2 * kLanes,
                                         kLanes, 0);
  const __m512i ones = _mm512_set1_epi64(-1), zero = _mm512_setzero_si512();
  [[maybe_unused]] auto lane_masks = [&](int below, int from, uint64_t* out) {
    const __m512i hi = _mm512_maskz_max_epi64(0xFF, _mm512_sub_epi64(_mm512_set1_epi64(below), lane0), zero);
    const __m512i lo = _mm512_maskz_max_epi64(0xFF, _mm512_sub_epi64(_mm512_set1_epi64(from), lane0), zero);
    const __m512i beyond = _mm512_maskz_sllv_epi64(0xFF, ones, hi);
    _mm512_store_si512(out, _mm512_maskz_andnot_epi64(0xFF, beyond, _mm512_maskz_sllv_epi64(0xFF, ones, lo)));
  };
  auto masked = [&](int t) {
    const uint32_t r = (group.rot + t) % kWheels;
    const __m512i* row = reinterpret_cast<const __m512i*>(rows + r * 512);
    // Symbols of segments t - 39 .. t take part (start[segments] = kGroup).
    // Text: every vector runs the step under its mask; a branch per vector,
    // taken or not as the group's wheel orders fall, cost more in missed
    // predictions than the lookups it saves.
    const int hi = group.start[std::min(t + 1, segments)];
    const int lo = t < 2 * kWheels ? 0 : group.start[t - 2 * kWheels + 1];
    if constexpr (kLinesBetweenSteps<kText>) {
      alignas(64) uint64_t lanes[8];
      lane_masks(hi, lo, lanes);
      for (int v = 0; v < V; ++v) {
        x[v] = _mm512_mask_mov_epi8(x[v], _cvtu64_mask64(lanes[v]), Through<kText, kDecrypt>(row, lines[v][r], x[v]));
      }
    } else {
      // A vector without any sits the step out, one with all runs unmasked.
      for (int v = 0; v < V; ++v) {
        const int below = hi - v * kLanes, from = lo - v * kLanes;
        if (below <= 0 || from >= kLanes) continue;
        const __m512i y = Through<kText, kDecrypt>(row, lines[v][r], x[v]);
        x[v] = below >= kLanes && from <= 0 ? y : _mm512_mask_mov_epi8(x[v], LanesBelow(below) & ~LanesBelow(from), y);
      }
    }
  };
  auto full = [&](int t) {
    const uint32_t r = (group.rot + t) % kWheels;
    const __m512i* row = reinterpret_cast<const __m512i*>(rows + r * 512);
    for (int v = 0; v < V; ++v) x[v] = Through<kText, kDecrypt>(row, lines[v][r], x[v]);
    if constexpr (kLinesBetweenSteps<kText>) {
      if (t % 4 == 0 && !later.Done()) later.Next();
    }
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

template <bool kText, bool kDecrypt>
void Transform(Cipher& c, uint8_t* data, size_t len, Work& work) {
  constexpr uint32_t N = kText ? kTextSize : kBinarySize;
  const auto* deltas = reinterpret_cast<const __m512i*>(c.t->delta_by_wheel);
  const __m512i* to_index = reinterpret_cast<const __m512i*>(c.t->to_index.data());
  const __m512i* to_symbol = reinterpret_cast<const __m512i*>(c.t->to_symbol.data());
  const __m512i outside = _mm512_set1_epi8(static_cast<char>(kNotInAlphabet));
  Stepping s = c.s;
  __m512i off = _mm512_maskz_loadu_epi16((1u << kWheels) - 1, s.off.data());
  // The next group is charted a group ahead, while the previous one's
  // results are still being stored; text builds its lines then too.
  int next = 0;
  int used_vectors[2] = {0, 0};
  work.groups[0].segments = 0;
  work.groups[1].segments = 0;
  auto lines_of = [&](int g) {
    const int vectors = static_cast<int>((work.groups[g].symbols + kLanes - 1) / kLanes);
    const int b = kLinesBetweenSteps<kText> ? g : 0;
    used_vectors[b] = std::max(used_vectors[b], vectors);
    return LineBuilder<kText, kDecrypt>{&work.groups[g], c.t->mult, work.lines[b], vectors};
  };
  if (len > 0) {
    off = Chart<N>(c, s, off, deltas, static_cast<uint32_t>(std::min<size_t>(len, kGroup)), work.groups[0]);
    if constexpr (kLinesBetweenSteps<kText>) lines_of(0).Rest();
  }
  while (len > 0) {
    const int current = next;
    const Group& group = work.groups[current];
    next ^= 1;
    const uint32_t block = group.symbols;
    const int vectors = static_cast<int>((block + kLanes - 1) / kLanes);
    if constexpr (!kLinesBetweenSteps<kText>) lines_of(current).Rest();
    LineBuilder<kText, kDecrypt> later;
    if (len > block) {
      off = Chart<N>(c, s, off, deltas, static_cast<uint32_t>(std::min<size_t>(len - block, kGroup)), work.groups[next]);
      if constexpr (kLinesBetweenSteps<kText>) later = lines_of(next);
    }
    __m512i in[kVectors], x[kVectors];
    __mmask64 keep[kVectors];
    for (int v = 0; v < vectors; ++v) {
      in[v] = _mm512_maskz_loadu_epi8(LanesBelow(static_cast<int32_t>(block) - v * kLanes), data + v * kLanes);
      if constexpr (kText) {
        x[v] = Lookup256(to_index, in[v]);
        keep[v] = _mm512_cmpeq_epi8_mask(x[v], outside);  // not in the alphabet: passes through
      } else {
        x[v] = in[v];
      }
    }
    const __m512i(*lines)[kWheels] = work.lines[kLinesBetweenSteps<kText> ? current : 0];
    // Steps<..., vectors>, the count a constant in each.
    [&]<int... V>(std::integer_sequence<int, V...>) {
      (void)((vectors == V + 1 && (Steps<kText, kDecrypt, V + 1>(c, group, lines, x, later), true)) || ...);
    }(std::make_integer_sequence<int, kVectors>{});
    if constexpr (kLinesBetweenSteps<kText>) later.Rest();
    for (int v = 0; v < vectors; ++v) {
      __m512i out = x[v];
      if constexpr (kText) out = _mm512_mask_blend_epi8(keep[v], Lookup192(to_symbol, out), in[v]);
      _mm512_mask_storeu_epi8(data + v * kLanes, LanesBelow(static_cast<int32_t>(block) - v * kLanes), out);
    }
    data += block;
    len -= block;
  }
  _mm512_mask_storeu_epi16(s.off.data(), (1u << kWheels) - 1, off);
  c.s = s;
  // The offsets follow from the key: clear what this call wrote.
  for (Group& group : work.groups) {
    SecureZero(group.base, sizeof group.base[0] * static_cast<size_t>(group.segments));
    SecureZero(group.start, sizeof group.start);
  }
  for (int b = 0; b < 2; ++b) {
    if (used_vectors[b] > 0) SecureZero(work.lines[b], sizeof work.lines[b][0] * static_cast<size_t>(used_vectors[b]));
  }
}

// Large calls: lanes a schedule round apart -------------------------------
//
// One round of the schedule (Tables::round_length, R symbols) brings the wheel
// order and the schedule entry back, and turns each wheel by the same amount
// T_r wherever it starts. So 64*R symbols are cut into 64 stretches of R, and
// a column vector holds symbol j of every stretch: all its lanes share one
// wheel order, and wheel r's offset in lane l is the column's offset plus
// l * T_r. A vector is never split between wheel orders, which saves the
// lines, masks and partial steps above. Tiles of 64 columns are moved between
// the stretches' rows and the column vectors by a 64x64 byte transpose.

// Twelve columns run through the steps together, sharing each step's row:
// twice the six of the kernel above, which holds lane masks and partial steps
// besides; more leave no room in the cipher's working storage.
constexpr int kColumnVectors = 12;

struct RoundsWork {
  alignas(64) uint8_t tile[kLanes][kLanes];          // the tile, column by column
  alignas(64) uint32_t keys[kColumnVectors][32];     // per column, each wheel's offset key in every byte of a word
  alignas(64) uint32_t turn[32];                     // binary: each wheel's turn per column, the same way
  alignas(64) __m512i lanes[kWheels];                // binary: l * T_r mod n; text: the lane part of a line
  alignas(64) __m512i lanes_less_n[kWheels];         // text: the same less n, mod 256
  alignas(64) __m512i lines[kColumnVectors][kWheels];  // text: each kept for its second step
};

// Swaps bit b of the row number with bit b of the byte number, for the
// pair of rows a (bit b clear) and c (set).
template <int B>
inline void SwapBit(__m512i& a, __m512i& c) {
  // Whole quadwords and wider move with cheaper shuffles than bytes (the
  // maskz forms: see Permute).
  if constexpr (B == 3) {
    const __m512i lo = _mm512_maskz_unpacklo_epi64(0xFF, a, c);
    c = _mm512_maskz_unpackhi_epi64(0xFF, a, c);
    a = lo;
    return;
  } else if constexpr (B == 4) {
    const __m512i lo = _mm512_permutex2var_epi64(a, _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0), c);
    c = _mm512_permutex2var_epi64(a, _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2), c);
    a = lo;
    return;
  } else if constexpr (B == 5) {
    const __m512i lo = _mm512_maskz_shuffle_i64x2(0xFF, a, c, 0x44);
    c = _mm512_maskz_shuffle_i64x2(0xFF, a, c, 0xEE);
    a = lo;
    return;
  }
  alignas(64) static constexpr auto kIdx = [] {
    std::array<std::array<uint8_t, 64>, 2> idx{};
    for (int j = 0; j < 64; ++j) {
      const bool set = (j >> B) & 1;
      idx[0][j] = static_cast<uint8_t>(set ? 64 + (j ^ (1 << B)) : j);
      idx[1][j] = static_cast<uint8_t>(set ? 64 + j : j ^ (1 << B));
    }
    return idx;
  }();
  const __m512i lo = _mm512_permutex2var_epi8(a, _mm512_load_si512(kIdx[0].data()), c);
  c = _mm512_permutex2var_epi8(a, _mm512_load_si512(kIdx[1].data()), c);
  a = lo;
}

// Swaps bits 0-2 (Low) or 3-5 of row and byte numbers in eight rows whose
// numbers differ in those bits.
template <bool Low>
inline void SwapBits(__m512i* r) {
  constexpr int s = Low ? 0 : 3;
  for (int i = 0; i < 8; i += 2) SwapBit<s>(r[i], r[i + 1]);
  for (int i : {0, 1, 4, 5}) SwapBit<s + 1>(r[i], r[i + 2]);
  for (int i = 0; i < 4; ++i) SwapBit<s + 2>(r[i], r[i + 4]);
}

// Moves the columns `cols` of the 64 rows (row l at data + l * stride) into
// work.tile transposed, or back (a transpose undoes itself), three bits of
// the row and byte numbers in each pass.
template <bool kLoad>
inline void MoveTile(uint8_t* data, size_t stride, __mmask64 cols, uint8_t (*tile)[kLanes]) {
  __m512i r[8];
  for (int b = 0; b < 8; ++b) {
    for (int i = 0; i < 8; ++i) {
      const uint8_t* row = data + static_cast<size_t>(8 * b + i) * stride;
      if constexpr (kLoad) {
        r[i] = _mm512_maskz_loadu_epi8(cols, row);
        // 64 streams at once: more than the hardware prefetcher follows.
        _mm_prefetch(reinterpret_cast<const char*>(row) + 2 * kLanes, _MM_HINT_T0);
      } else {
        r[i] = _mm512_load_si512(tile[8 * b + i]);
      }
    }
    SwapBits<true>(r);
    for (int i = 0; i < 8; ++i) _mm512_store_si512(tile[8 * b + i], r[i]);
  }
  for (int b = 0; b < 8; ++b) {
    for (int i = 0; i < 8; ++i) r[i] = _mm512_load_si512(tile[b + 8 * i]);
    SwapBits<false>(r);
    for (int i = 0; i < 8; ++i) {
      if constexpr (kLoad) {
        _mm512_store_si512(tile[b + 8 * i], r[i]);
      } else {
        _mm512_mask_storeu_epi8(data + static_cast<size_t>(b + 8 * i) * stride, cols, r[i]);
      }
    }
  }
}

// Runs V columns of one wheel order rot, from work.tile[first], with their
// keys in work.keys. Step t reads wheel rot + t (mod 20); decryption runs
// the steps backwards.
template <bool kText, bool kDecrypt, int V>
void ColumnSteps(const Cipher& c, RoundsWork& work, int first, uint32_t rot) {
  const uint8_t* rows = kDecrypt ? &c.t->inv[0][0] : &c.t->fwd[0][0];
  const __m512i* to_index = reinterpret_cast<const __m512i*>(c.t->to_index.data());
  const __m512i* to_symbol = reinterpret_cast<const __m512i*>(c.t->to_symbol.data());
  const __m512i outside = _mm512_set1_epi8(static_cast<char>(kNotInAlphabet));
  __m512i x[V];
  // Text: bytes outside the alphabet pass through; noted here, as the
  // steps leave no mask registers free.
  [[maybe_unused]] uint64_t outside_lanes[V];
  for (int v = 0; v < V; ++v) {
    x[v] = _mm512_load_si512(work.tile[first + v]);
    if constexpr (kText) {
      x[v] = Lookup256(to_index, x[v]);
      outside_lanes[v] = _cvtmask64_u64(_mm512_cmpeq_epi8_mask(x[v], outside));
    }
  }
  // A column's line of a wheel serves two steps, twenty apart, and is built
  // among the lookups: built in a pass of their own before the steps, the
  // 240 lines of twelve columns held the steps up (their stores are not
  // hidden behind any lookups). Binary builds it at each step from the
  // previous column's (one add, which costs less than a store: the columns
  // are one symbol apart). Text, whose lines take three operations, builds
  // it at the first step and keeps it for the second.
  auto step = [&]<bool kFirst>(uint32_t r) {
    const __m512i* row = reinterpret_cast<const __m512i*>(rows + r * 512);
    const __m512i lanes = work.lanes[r];
    if constexpr (!kText) {
      // Two chains (even and odd columns), so that encryption's first
      // lookups do not wait on one add after another.
      const __m512i turn = _mm512_set1_epi32(static_cast<int>(work.turn[r]));
      const __m512i turn2 = _mm512_add_epi8(turn, turn);
      __m512i line[2];
      line[0] = Line<kText, kDecrypt>(work.keys[0][r], lanes);
      line[1] = _mm512_add_epi8(line[0], turn);
      for (int v = 0; v < V; ++v) {
        x[v] = Through<kText, kDecrypt>(row, line[v & 1], x[v]);
        line[v & 1] = _mm512_add_epi8(line[v & 1], turn2);
      }
    } else {
      [[maybe_unused]] const __m512i lanes_less_n = work.lanes_less_n[r];
      for (int v = 0; v < V; ++v) {
        if constexpr (kFirst) {
          work.lines[v][r] = TextSum(_mm512_set1_epi32(static_cast<int>(work.keys[v][r])), lanes, lanes_less_n);
        }
        x[v] = Through<kText, kDecrypt>(row, work.lines[v][r], x[v]);
      }
    }
  };
  auto next = [](uint32_t r) { return kDecrypt ? (r == 0 ? kWheels - 1 : r - 1) : (r + 1 == kWheels ? 0 : r + 1); };
  uint32_t r = kDecrypt ? (rot == 0 ? kWheels - 1 : rot - 1) : rot;
  for (int t = 0; t < kWheels; ++t, r = next(r)) step.template operator()<true>(r);
  for (int t = 0; t < kWheels; ++t, r = next(r)) step.template operator()<false>(r);
  for (int v = 0; v < V; ++v) {
    __m512i out = x[v];
    if constexpr (kText) {
      const __m512i in = _mm512_load_si512(work.tile[first + v]);
      out = _mm512_mask_blend_epi8(_cvtu64_mask64(outside_lanes[v]), Lookup192(to_symbol, out), in);
    }
    _mm512_store_si512(work.tile[first + v], out);
  }
}

// Transforms whole blocks of 64 rounds (at least one) from the front of data; returns the
// bytes done. The stream moves on by whole rounds, so only the offsets change.
template <bool kText, bool kDecrypt>
size_t Rounds(Cipher& c, uint8_t* data, size_t len, RoundsWork& work) {
  constexpr uint32_t N = kText ? kTextSize : kBinarySize;
  const Tables& t = *c.t;
  const size_t round = t.round_length;
  const size_t block = kLanes * round;
  alignas(64) uint8_t multiples[kWheels][kLanes];
  std::array<uint16_t, kWheels> turn = RoundTurns(c, &multiples[0][0], kLanes);
  for (uint32_t r = 0; r < kWheels; ++r) {
    work.lanes[r] = _mm512_load_si512(multiples[r]);
    if constexpr (kText) {
      // Encryption adds (off + l * T_r) mod n, decryption
      // (n - off - l * T_r) mod n: a key of off or n - off and the lanes'
      // part l * T_r or n - l * T_r.
      const __m512i n = _mm512_set1_epi8(static_cast<char>(N));
      if constexpr (kDecrypt) work.lanes[r] = _mm512_sub_epi8(n, work.lanes[r]);
      work.lanes_less_n[r] = _mm512_sub_epi8(work.lanes[r], n);
    }
  }
  const auto* deltas = reinterpret_cast<const __m512i*>(t.delta_by_wheel);
  const __m512i spread_lo = _mm512_set_epi32(0x1E1E1E1E, 0x1C1C1C1C, 0x1A1A1A1A, 0x18181818, 0x16161616, 0x14141414,
                                             0x12121212, 0x10101010, 0x0E0E0E0E, 0x0C0C0C0C, 0x0A0A0A0A, 0x08080808,
                                             0x06060606, 0x04040404, 0x02020202, 0x00000000);
  const __m512i spread_hi = _mm512_add_epi8(spread_lo, _mm512_set1_epi8(32));
  size_t done = 0;
  for (; len - done >= block; done += block) {
    uint8_t* at = data + done;
    Stepping s = c.s;
    __m512i off = _mm512_maskz_loadu_epi16((1u << kWheels) - 1, s.off.data());
    for (size_t c0 = 0; c0 < round; c0 += kLanes) {
      const int w = static_cast<int>(std::min<size_t>(kLanes, round - c0));
      const __mmask64 cols = LanesBelow(w);
      MoveTile<true>(at + c0, round, cols, work.tile);
      // Columns of one wheel order, up to kColumnVectors at a time; the
      // stream steps one symbol per column.
      for (int j = 0; j < w;) {
        const int n = static_cast<int>(std::min<uint32_t>(RunLeft(s), static_cast<uint32_t>(std::min(w - j, kColumnVectors))));
        const __m512i delta = deltas[s.rot];
        if constexpr (kText) {
          for (int k = 0; k < n; ++k) {
            const __m512i key = kDecrypt ? _mm512_sub_epi16(_mm512_set1_epi16(N), off) : off;
            _mm512_store_si512(&work.keys[k][0], Permute(spread_lo, key));
            _mm512_store_si512(&work.keys[k][16], Permute(spread_hi, key));
            // Both terms are below n: one conditional subtraction reduces the sum.
            off = _mm512_add_epi16(off, delta);
            off = _mm512_min_epu16(off, _mm512_sub_epi16(off, _mm512_set1_epi16(N)));
          }
        } else {
          // Binary reads the first column's keys alone, and the turn per column.
          _mm512_store_si512(&work.keys[0][0], Permute(spread_lo, off));
          _mm512_store_si512(&work.keys[0][16], Permute(spread_hi, off));
          _mm512_store_si512(&work.turn[0], Permute(spread_lo, delta));
          _mm512_store_si512(&work.turn[16], Permute(spread_hi, delta));
          off = _mm512_add_epi16(off, _mm512_mullo_epi16(delta, _mm512_set1_epi16(static_cast<short>(n))));
          off = _mm512_and_si512(off, _mm512_set1_epi16(0xFF));
        }
        [&]<int... V>(std::integer_sequence<int, V...>) {
          (void)((n == V + 1 && (ColumnSteps<kText, kDecrypt, V + 1>(c, work, j, s.rot), true)) || ...);
        }(std::make_integer_sequence<int, kColumnVectors>{});
        CountSymbols(c, s, static_cast<uint32_t>(n));
        j += n;
      }
      MoveTile<false>(at + c0, round, cols, work.tile);
    }
    // 64 rounds on: the same entry and order, each wheel turned 64 * T_r.
    SkipRounds(c, turn, kLanes);
  }
  SecureZeroObject(turn);
  SecureZeroObject(multiples);
  SecureZeroObject(work);
  return done;
}

}  // namespace

void Avx512Transform(Cipher& c, uint8_t* data, size_t len, bool decrypt) {
  // Some 24 KiB: kept in the cipher rather than on the caller's stack.
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
}

}  // namespace tav::engine

#endif
