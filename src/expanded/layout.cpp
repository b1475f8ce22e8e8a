// SPDX-License-Identifier: MIT
// Fillers, unit sizes, and the unit starts placed and picked.
#include "expanded/layout.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>

#include "engine/cipher.hpp"
#include "expanded/random.hpp"

namespace tav::expanded {

namespace {

bool Fill(const Filler& filler, void* buf, size_t n) {
  // A caller's source is asked for bytes only when some are wanted.
  if (n == 0) return true;
  if (filler.fn == nullptr) return SystemRandom(buf, n);
  const int rc = filler.fn(filler.context, buf, n);
  if (rc != 0) errno = rc;
  return rc == 0;
}

constexpr uint32_t kTextRange = kTextWordRange;

// A uniform source keeps about 97% of its words, so a round that keeps less
// than half of them comes twice in a row practically never. A source that
// does that is no uniform source (a caller's constant one, say): its next
// round is folded in whole, so that any bytes end the call.
constexpr int kShortRoundsBeforeFolding = 2;

// Two symbols per lookup: entry i holds the symbols of i's two base-151
// digits, low digit first in memory. Digit by digit, turning the words into
// symbols took longer than drawing them.
constexpr uint32_t kPairs = 151u * 151u;
alignas(64) constexpr std::array<uint16_t, kPairs> kSymbolPairs = [] {
  std::array<uint16_t, kPairs> t{};
  for (uint32_t i = 0; i < kPairs; ++i) {
    const uint8_t low = kTextAlphabet[i % 151], high = kTextAlphabet[i / 151];
    t[i] = std::endian::native == std::endian::little ? static_cast<uint16_t>(low | high << 8)
                                                      : static_cast<uint16_t>(high | low << 8);
  }
  return t;
}();

// Writes the four symbols of v's low four base-151 digits at p.
inline void FourSymbols(uint32_t v, uint8_t* p) {
  const uint32_t above = v / kPairs;
  const uint16_t pair[2] = {kSymbolPairs[v - above * kPairs], kSymbolPairs[above % kPairs]};
  std::memcpy(p, pair, 4);
}

// The portable loop from word `at` on, its symbols from p on.
uint8_t* SymbolsFrom(uint8_t* out, size_t n, size_t at, uint8_t* p) {
  for (; at + 4 <= n; at += 4) {
    uint32_t v;
    std::memcpy(&v, out + at, 4);
    FourSymbols(v, p);
    p += v < kTextRange ? 4 : 0;
  }
  return p;
}

}  // namespace

uint8_t* SymbolsInPlacePortable(uint8_t* out, size_t n) { return SymbolsFrom(out, n, 0, out); }

uint8_t* SymbolsInPlace(uint8_t* out, size_t n) {
#if defined(__x86_64__)
  if (engine::ActivePath() == engine::Path::avx512) {
    const size_t vectors = n & ~size_t{63};
    return SymbolsFrom(out, n, vectors, SymbolsInPlaceAvx512(out, vectors));
  }
#endif
  return SymbolsInPlacePortable(out, n);
}

namespace {

bool FillTextSymbols(const Filler& filler, uint8_t* out, size_t n, uint32_t* random_words, size_t word_count) {
  uint8_t* p = out;
  uint8_t* const end = out + n;
  // The default source costs a couple of microseconds a call whatever its
  // length: it fills the whole destination with words at once, and only
  // the few symbols the dropped words leave out come in rounds below. A
  // caller's source is asked as before, so that its bytes give the fillers
  // they always gave.
  if (filler.fn == nullptr && n >= 4 * word_count) {
    if (!SystemRandom(out, n & ~size_t{3})) return false;
    p = SymbolsInPlace(out, n);
  }
  int short_rounds = 0;
  while (p < end) {
    const size_t need = (static_cast<size_t>(end - p) + 3) / 4;
    const size_t words = std::min(need + need / 16 + 1, word_count);
    if (!Fill(filler, random_words, words * sizeof(uint32_t))) return false;
    const bool fold = short_rounds >= kShortRoundsBeforeFolding;
    size_t kept = 0;
    size_t i = 0;
    // Whole words while four symbols fit; a dropped word's symbols are
    // written over.
    for (; i < words && end - p >= 4; ++i) {
      const uint32_t v = random_words[i];
      FourSymbols(v, p);
      const bool keep = v < kTextRange || fold;
      kept += keep;
      p += keep ? 4 : 0;
    }
    for (; i < words && p < end; ++i) {
      uint32_t v = random_words[i];
      if (v >= kTextRange && !fold) continue;
      ++kept;
      for (int d = 0; d < 4 && p < end; ++d) {
        *p++ = kTextAlphabet[v % 151];
        v /= 151;
      }
    }
    short_rounds = kept * 2 < words ? short_rounds + 1 : 0;
  }
  return true;
}

}  // namespace

bool FillFillers(Kind kind, const Filler& filler, uint8_t* out, size_t n, uint32_t* random_words, size_t word_count) {
  return kind == Kind::text ? FillTextSymbols(filler, out, n, random_words, word_count) : Fill(filler, out, n);
}

uint64_t UnitsBytes(const tav_keys& keys, uint64_t first, uint64_t count) {
  // Whole rounds at once, then unit by unit.
  uint64_t bytes = count / kPadEntries * static_cast<uint64_t>(keys.pad_round_bytes);
  int32_t pad = PadIndexAfter(first);
  for (uint64_t u = count / kPadEntries * kPadEntries; u < count; ++u) {
    pad = NextPadIndex(pad);
    bytes += static_cast<uint64_t>(UnitBytes(keys, pad));
  }
  return bytes;
}

uint64_t UnitsWithin(const tav_keys& keys, int64_t bytes) {
  auto units = static_cast<uint64_t>(bytes / keys.pad_round_bytes) * kPadEntries;
  for (int64_t at = bytes / keys.pad_round_bytes * keys.pad_round_bytes; at < bytes; ++units) {
    at += UnitBytes(keys, PadIndexAfter(units) + 1);
  }
  return units;
}

size_t Place(const tav_keys& keys, int32_t& pad, const uint8_t* symbols, size_t n, uint8_t* out) {
  size_t at = 0;
  for (size_t u = 0; u < n; ++u) {
    out[at] = symbols[u];
    pad = NextPadIndex(pad);
    at += static_cast<size_t>(UnitBytes(keys, pad));
  }
  return at;
}

size_t Pick(const tav_keys& keys, Picker& picker, const uint8_t* in, size_t n, uint8_t* out, size_t capacity,
            size_t& consumed) {
  uint64_t at = picker.skip;  // the next unit start, from in[0]
  int32_t pad = picker.pad;
  size_t got = 0;
  while (at < n && got < capacity) {
    out[got++] = in[at];
    pad = NextPadIndex(pad);
    at += static_cast<uint64_t>(UnitBytes(keys, pad));
  }
  consumed = static_cast<size_t>(std::min<uint64_t>(at, n));
  picker.pad = pad;
  picker.skip = at - consumed;
  return got;
}

}  // namespace tav::expanded
