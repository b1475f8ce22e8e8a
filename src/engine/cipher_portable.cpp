// SPDX-License-Identifier: MIT
// Portable kernel of the wheel cipher, for every architecture (and the
// fallback where no vector kernel applies).
//
// The buffer is cut into eight stretches of about len / 8 symbols, one per
// lane, and each lane steps through its own stretch, one symbol per round, so
// that the forty dependent lookups of eight symbols overlap (what is left,
// and any call under 1 KiB, goes through one pass over a padded copy; see
// LaneLength and Transform). A lane of its own crosses wheel orders on its
// own; lanes that shared one order would spend a padded chunk at the end of
// every order (dwells are 10 to 50 symbols) and set up the order's rows and
// offsets each time.
//
// A lane keeps, for each position, one 16-bit displacement into the wheels
// laid end to end (Tables::fwd / inv are 20 rows of 512): wheel * 512 plus
// its offset, any value below 256 that is right mod n (the rows repeat every
// n entries and index + offset stays below 512). A step is then one add (of
// the tables' base) and one table load per lane, and one displacement load
// per two lanes; the add goes on the displacement, not on the lane's chain of
// lookups, which an empty asm makes sure of. Per round, every position's
// displacements move on by the position's turn (the same for all lanes), with
// the carry into bit 8 taken back as n; when a lane's wheel order rotates, its
// column moves up one position, wheel numbers and offsets alike. The steps are
// unrolled, and an empty asm after each one pins the lanes to registers and
// keeps the steps in order.
//
// Decryption turns each result back by its offset: x' = (row[x] - off) mod n.
// That subtraction is folded into the next step's displacement (wheel p
// with -off of position p + 1), so both directions run the same step; the
// first step owes nothing (row 20) and the last offset is taken off once at
// the end.
//
// GCC's SLP vectoriser is off for this file (CMakeLists.txt): it repacks the
// scalar lanes into vectors around the steps, and the kernel runs slower.
#include "engine/cipher.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <new>
#include <type_traits>
#include <utility>

#include "common/wipe.hpp"

namespace tav::engine {

namespace {

// Ten or twelve lanes run out of registers (x86-64 has fifteen for the lanes,
// the table, the displacements and the row being formed) and go slower.
constexpr uint32_t kLanes = 8;
constexpr uint32_t kRowWidth = sizeof(Tables::fwd[0]);
static_assert(kRowWidth == 512 && kWheels * kRowWidth < 32768, "displacements are 16-bit, bit 8 the carry");

// One displacement per lane, with the compiler's generic vectors (SSE2 on
// x86-64, NEON on ARM64, plain code where there is no SIMD).
using Lanes16 = int16_t __attribute__((vector_size(16)));
using Bits16 = uint16_t __attribute__((vector_size(16)));

// A place in the stream as the lanes see it: for each position, wheel * 512
// plus its offset (any value below 256 that is right mod n), and the wheel
// order's stepping (whose offsets it does not use).
struct Column {
  alignas(16) uint16_t disp[24];  // positions 0..19; the rest stay 0
  Stepping s;
};

// Calls shorter than this run in one pass over a copy padded to whole lanes.
constexpr size_t kShortCall = 1024;

// The kernel's state, kept in the cipher's working storage and wiped after
// each call: rows 0..19 by position; decryption's row 20 is the first step's.
struct Work {
  alignas(16) uint16_t disp[kWheels + 1][kLanes];
  alignas(16) Lanes16 turn[kWheels];  // the same in every lane
  Stepping lane[kLanes];
  // Each lane's column as Load takes it: positions 0..19, then position 0
  // again (decryption reads each position's neighbour).
  alignas(16) uint16_t start[kLanes][32];
  Column at;
  uint8_t padded[kShortCall + kLanes];
};

inline Lanes16 Get(const uint16_t* lanes) {
  Lanes16 v;
  std::memcpy(&v, lanes, sizeof v);
  return v;
}

inline void Put(uint16_t* lanes, Lanes16 v) { std::memcpy(lanes, &v, sizeof v); }

// disp + turn, with an offset that reaches 256 brought back by n.
template <int32_t N>
inline Lanes16 Turn(Lanes16 disp, Lanes16 turn) {
  const Lanes16 t = disp + turn;
  if constexpr (N == 256) {
    return t & static_cast<int16_t>(~0x100);
  } else {
    const Lanes16 carry = reinterpret_cast<Lanes16>(reinterpret_cast<Bits16>(t) << 7) >> 15;
    return t - (carry & static_cast<int16_t>(N));
  }
}

template <int32_t N>
void ToColumn(const Stepping& s, Column& col) {
  col.s = s;
  std::fill(std::begin(col.disp) + kWheels, std::end(col.disp), uint16_t{0});
  for (uint32_t p = 0, r = s.rot; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
    col.disp[p] = static_cast<uint16_t>(r * kRowWidth + s.off[r]);
  }
}

template <int32_t N>
void FromColumn(const Column& col, Stepping& s) {
  s = col.s;
  for (uint32_t p = 0; p < kWheels; ++p) {
    const uint32_t off = col.disp[p] & 0xFFu;
    s.off[col.disp[p] / kRowWidth] = static_cast<uint16_t>(off >= N ? off - N : off);
  }
}

// -off mod n of eight column entries, below 256.
template <int32_t N>
inline Lanes16 Negated(Lanes16 disp) {
  constexpr auto n = static_cast<int16_t>(N);
  const Lanes16 off = disp & static_cast<int16_t>(0xFF);
  if constexpr (N == 256) return (n - off) & static_cast<int16_t>(0xFF);
  return n - (off - ((off >= n) & n));  // 1 .. n
}

// Moves col on by `symbols`, one wheel order at a time, with the tables'
// multiples by position; whole rounds of the schedule at once.
template <int32_t N>
void Walk(const Cipher& c, Column& col, uint64_t symbols) {
  using Bytes8 = uint8_t __attribute__((vector_size(8)));
  const Tables& t = *c.t;
  Stepping& s = col.s;
  while (symbols > 0) {
    if (symbols >= t.round_length && s.index == 1 && s.count == 0 && s.dwell == t.schedule[1]) {
      // At a round's start a round turns the wheel at position q as it
      // turns the wheel that starts there with the order unrotated.
      const uint64_t rounds = symbols / t.round_length;
      const auto k = static_cast<uint32_t>(rounds % N);
      for (uint32_t q = 0; q < kWheels; ++q) {
        const uint32_t d = col.disp[q] + k * t.entry_turn[201][q] % N;
        col.disp[q] = static_cast<uint16_t>(d & 0x100 ? d - N : d);
      }
      symbols -= rounds * t.round_length;
      continue;
    }
    const auto run = static_cast<uint32_t>(std::min<uint64_t>(symbols, RunLeft(s)));
    const uint32_t g = run < sizeof t.mult_by_symbol / sizeof t.mult_by_symbol[0] ? run : run % N;
    alignas(16) uint8_t by_position[32] = {};
    const uint8_t* mult = by_position;
    if (g < sizeof t.mult_by_symbol / sizeof t.mult_by_symbol[0]) {
      mult = t.mult_by_symbol[g];
    } else {
      for (uint32_t p = 0; p < kWheels; ++p) by_position[p] = t.mult[p][g];
    }
    for (uint32_t p = 0; p < 24; p += 8) {
      Bytes8 m;
      std::memcpy(&m, mult + p, sizeof m);
      Put(col.disp + p, Turn<N>(Get(col.disp + p), __builtin_convertvector(m, Lanes16)));
    }
    const uint32_t rot = s.rot;
    CountSymbols(c, s, run);
    if (s.rot != rot) {
      // Position p now holds the wheel that was at p + 1.
      const uint16_t first = col.disp[0];
      std::memmove(col.disp, col.disp + 1, (kWheels - 1) * sizeof col.disp[0]);
      col.disp[kWheels - 1] = first;
    }
    symbols -= run;
  }
}

// The displacements of the lanes from their columns in w.start: eight
// columns at a time, turned into rows by an 8x8 transpose.
template <int32_t N, bool kDecrypt>
[[gnu::noinline]] void Load(Work& w) {
  static_assert(kLanes == 8);
  if constexpr (kDecrypt) {
    // Position p's wheel with -off of position p + 1; the first step's row 20
    // (position 19's wheel) owes nothing.
    for (auto& col : w.start) {
      const uint16_t first_row = col[kWheels - 1] & ~(kRowWidth - 1);
      for (uint32_t p = 0; p < 24; p += 8) {
        Put(col + p, (Get(col + p) & static_cast<int16_t>(~(kRowWidth - 1))) + Negated<N>(Get(col + p + 1)));
      }
      col[kWheels] = first_row;
    }
  }
  for (uint32_t p = 0; p < 24; p += 8) {
    Lanes16 r[kLanes];
    for (uint32_t l = 0; l < kLanes; ++l) r[l] = Get(w.start[l] + p);
    Lanes16 t[kLanes], u[kLanes];
    for (uint32_t i = 0; i < kLanes; i += 2) {
      t[i] = __builtin_shufflevector(r[i], r[i + 1], 0, 8, 1, 9, 2, 10, 3, 11);
      t[i + 1] = __builtin_shufflevector(r[i], r[i + 1], 4, 12, 5, 13, 6, 14, 7, 15);
    }
    for (uint32_t i = 0; i < kLanes; i += 4) {
      for (uint32_t j = 0; j < 2; ++j) {
        u[i + 2 * j] = __builtin_shufflevector(t[i + j], t[i + j + 2], 0, 1, 8, 9, 2, 3, 10, 11);
        u[i + 2 * j + 1] = __builtin_shufflevector(t[i + j], t[i + j + 2], 4, 5, 12, 13, 6, 7, 14, 15);
      }
    }
    for (uint32_t j = 0; j < 4; ++j) {
      const uint32_t at = p + 2 * j;
      if (at < kWheels + 1) Put(w.disp[at], __builtin_shufflevector(u[j], u[j + 4], 0, 1, 2, 3, 8, 9, 10, 11));
      if (at + 1 < kWheels + 1) Put(w.disp[at + 1], __builtin_shufflevector(u[j], u[j + 4], 4, 5, 6, 7, 12, 13, 14, 15));
    }
  }
}

// Lane l's wheel order rotated: position p now holds what was at p + 1.
template <bool kDecrypt>
void Rotate(Work& w, uint32_t l) {
  const uint16_t first = w.disp[0][l];
  for (uint32_t p = 0; p + 1 < kWheels; ++p) w.disp[p][l] = w.disp[p + 1][l];
  w.disp[kWheels - 1][l] = first;
  if constexpr (kDecrypt) w.disp[kWheels][l] = static_cast<uint16_t>(first & ~(kRowWidth - 1));
}

// f(std::integral_constant<uint32_t, i>) for i = 0 .. kWheels - 1.
template <class F>
[[gnu::always_inline]] inline void ForPositions(F f) {
  [&]<uint32_t... I>(std::integer_sequence<uint32_t, I...>) __attribute__((always_inline)) {
    (f(std::integral_constant<uint32_t, I>{}), ...);
  }(std::make_integer_sequence<uint32_t, kWheels>{});
}

// An empty asm that takes the lanes in registers and may change them: the
// compiler can neither keep a lane in memory nor move one lane's lookups past
// the next position's, which would run the lanes' chains one after another.
// The table base and the displacements' address go in as registers too, or
// clang keeps the one as tables + constant and the other on the stack, a load
// and an add more per lookup.
inline void InRegisters(size_t (&x)[kLanes], const uint8_t* rows, const void* disp) {
  static_assert(kLanes == 8);
  __asm__(""
          : "+r"(x[0]), "+r"(x[1]), "+r"(x[2]), "+r"(x[3]), "+r"(x[4]), "+r"(x[5]), "+r"(x[6]), "+r"(x[7])
          : "r"(rows), "r"(disp));
}

// The text symbol of index v mod 151, for the sums v below 406 that end a
// decryption (index + -off, unreduced).
constexpr std::array<uint8_t, 512> kSymbolOfSum = [] {
  std::array<uint8_t, 512> symbol{};
  for (size_t v = 0; v < symbol.size(); ++v) symbol[v] = kTextAlphabet[v % kTextSize];
  return symbol;
}();

// One symbol of each lane: lane l's byte is at[l * stride].
template <bool kText, bool kDecrypt>
[[gnu::always_inline]] inline void Round(const Tables& t, const uint8_t* rows, const uint16_t (*disp)[kLanes],
                                         uint8_t* at, size_t stride) {
  __asm__("" : "+r"(rows));
  size_t x[kLanes];
  // Text: a byte outside the alphabet goes through as index 255 (its lookups
  // stay inside the row) and is left as it was at the end.
  // Those lanes are noted in a mask here, while each byte is at hand: a
  // compare and an or per lane, where looking the input up again at the end
  // would take a second table read per symbol.
  uint32_t keep = 0;
  for (uint32_t l = 0; l < kLanes; ++l) {
    x[l] = kText ? t.to_index[at[l * stride]] : at[l * stride];
    if constexpr (kText) keep |= static_cast<uint32_t>(x[l] == kNotInAlphabet) << l;
  }
  auto step = [&](auto p) __attribute__((always_inline)) {
    // Two lanes' displacements come in one load: the lookups wait on the
    // load ports more than on the adds.
    constexpr unsigned kFirst = std::endian::native == std::endian::little ? 0 : 16;
    for (uint32_t l = 0; l < kLanes; l += 2) {
      uint32_t pair;
      std::memcpy(&pair, &disp[p][l], sizeof pair);
      __asm__("" : "+r"(pair));  // or the compiler splits it into two loads again
      // Each row pointer is formed before its lookup, off the lane's chain
      // (the compiler would rather add the table base to x).
      const uint8_t* row_a = rows + (pair >> kFirst & 0xFFFFu);
      const uint8_t* row_b = rows + (pair >> (16 - kFirst) & 0xFFFFu);
      __asm__("" : "+r"(row_a), "+r"(row_b));
      x[l] = row_a[x[l]];
      x[l + 1] = row_b[x[l + 1]];
    }
    InRegisters(x, rows, disp);
  };
  // Both passes read the same displacements. Between them the pointer is
  // laundered, or clang keeps the first pass's 160 loaded values for the
  // second one, on the stack: a store per lookup to save a load.
  if constexpr (!kDecrypt) {
    ForPositions([&](auto i) __attribute__((always_inline)) { step(i); });
    __asm__("" : "+r"(disp));
    ForPositions([&](auto i) __attribute__((always_inline)) { step(i); });
  } else {
    step(std::integral_constant<uint32_t, kWheels>{});
    ForPositions([&](auto i) __attribute__((always_inline)) {
      if constexpr (i + 1 < kWheels) step(std::integral_constant<uint32_t, kWheels - 2 - i>{});
    });
    __asm__("" : "+r"(disp));
    ForPositions([&](auto i) __attribute__((always_inline)) { step(std::integral_constant<uint32_t, kWheels - 1 - i>{}); });
  }
  for (uint32_t l = 0; l < kLanes; ++l) {
    size_t v = x[l];
    // Decryption: position 19's row owes -off of position 0, below 256.
    if constexpr (kDecrypt) v += disp[kWheels - 1][l] & 0xFFu;
    uint8_t& io = at[l * stride];
    if constexpr (kText) {
      const uint8_t in = io;
      const uint8_t out = kDecrypt ? kSymbolOfSum[v] : t.to_symbol[v];
      io = keep >> l & 1 ? in : out;
    } else {
      io = static_cast<uint8_t>(v);
    }
  }
}

// `count` rounds from `at`, the lanes `stride` bytes apart. Out of line, so
// that the set-up around it does not move the lanes' registers.
template <bool kText, bool kDecrypt>
[[gnu::noinline]] void Rounds(const Tables& t, const uint8_t* rows, Work& w, uint8_t* at, size_t stride, uint64_t count) {
  constexpr int32_t kN = kText ? kTextSize : kBinarySize;
  for (uint64_t i = 0; i < count; ++i) {
    Round<kText, kDecrypt>(t, rows, w.disp, at + i, stride);
    ForPositions([&](auto p) __attribute__((always_inline)) { Put(w.disp[p], Turn<kN>(Get(w.disp[p]), w.turn[p])); });
  }
}

// Symbols per lane for a pass over `symbols` (at least kLanes): len / 8,
// shortened until the lanes' bytes lie at least 64 bytes apart within a
// 4 KiB page. Stretches a multiple of 4 KiB long (the core passes 256 KiB
// pieces) put all lanes at one place in their pages: they compete for one
// cache set, and the CPU holds a lane's load back for another lane's store
// that matches it in the low address bits, so the lanes wait on each other.
size_t LaneLength(size_t symbols) {
  constexpr size_t kPage = 4096, kApart = 64;
  size_t per = symbols / kLanes;
  if (per < kPage / kLanes) return per;
  for (;; --per) {
    bool apart = true;
    for (size_t d = 1; d < kLanes; ++d) {
      const size_t at = d * per % kPage;
      apart = apart && at >= kApart && at <= kPage - kApart;
    }
    if (apart) return per;
  }
}

template <bool kText, bool kDecrypt>
void Transform(Cipher& c, uint8_t* data, size_t len, Work& w) {
  constexpr int32_t kN = kText ? kTextSize : kBinarySize;
  const Tables& t = *c.t;
  const uint8_t* rows = kDecrypt ? &t.inv[0][0] : &t.fwd[0][0];
  for (uint32_t p = 0; p < kWheels; ++p) {
    // Decryption's row p carries -off of position p + 1.
    const uint32_t d = t.delta[kDecrypt ? (p + 1) % kWheels : p];
    const auto turn = static_cast<int16_t>(kDecrypt && d != 0 ? kN - static_cast<int32_t>(d) : static_cast<int32_t>(d));
    w.turn[p] = Lanes16{} + turn;
  }
  ToColumn<kN>(c.s, w.at);
  // Passes of kLanes stretches of `per` symbols, lane l taking symbols
  // l * per .. (l + 1) * per - 1. A call shorter than kShortCall, or what is
  // left after the passes (fewer than kLanes symbols), goes through a copy
  // padded to kLanes * per in a last pass of the same loop (one copy of the
  // round's code): each pass sets up every lane, which costs short calls
  // more than their rounds.
  while (len > 0) {
    const bool last = len < kShortCall && len % kLanes != 0;
    const size_t per = last ? (len + kLanes - 1) / kLanes : LaneLength(len);
    for (uint32_t l = 0; l < kLanes; ++l) {
      // Lanes past the end in the last pass work on padding, with valid
      // displacements all the same.
      w.lane[l] = w.at.s;
      std::fill(std::begin(w.start[l]) + kWheels, std::end(w.start[l]), uint16_t{0});
      std::memcpy(w.start[l], w.at.disp, kWheels * sizeof w.at.disp[0]);
      w.start[l][kWheels] = w.at.disp[0];
      const size_t from = l * per;
      if (!last || from < len) Walk<kN>(c, w.at, std::min(per, len - from));
    }
    Load<kN, kDecrypt>(w);
    if (last) {
      std::memcpy(w.padded, data, len);
      std::memset(w.padded + len, 0, kLanes * per - len);
    }
    uint8_t* const at = last ? w.padded : data;
    for (size_t i = 0; i < per;) {
      // Rounds until the first lane's wheel order ends.
      uint64_t k = per - i;
      for (const Stepping& s : w.lane) k = std::min<uint64_t>(k, RunLeft(s));
      Rounds<kText, kDecrypt>(t, rows, w, at + i, per, k);
      i += k;
      for (uint32_t l = 0; l < kLanes; ++l) {
        const uint32_t rot = w.lane[l].rot;
        CountSymbols(c, w.lane[l], static_cast<uint32_t>(k));
        if (w.lane[l].rot != rot) Rotate<kDecrypt>(w, l);
      }
    }
    if (last) {
      std::memcpy(data, w.padded, len);
      SecureZero(w.padded, kLanes * per);
      break;
    }
    data += kLanes * per;
    len -= kLanes * per;
  }
  FromColumn<kN>(w.at, c.s);
}

}  // namespace

void PortableTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt) {
  static_assert(sizeof(Work) <= sizeof c.work && alignof(Work) <= 64);
  Work& work = *new (c.work) Work;
  Dispatch(c, decrypt, [&](auto text, auto dec) { Transform<text(), dec()>(c, data, len, work); });
  // The displacements follow from the key (the padded copy is wiped where
  // it was used: clearing all of it would add a wipe of some 1 KiB to every
  // call, however short).
  SecureZero(c.work, offsetof(Work, padded));
}

}  // namespace tav::engine
