// Expanded files: unit s is the s-th ciphertext byte followed by pkey[i]
// random filler symbols, i running 1..20000 and round again.
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "common/fileio.hpp"
#include "common/scratch.hpp"
#include "common/wipe.hpp"
#include "engine/cipher.hpp"
#include "ops/fileops.hpp"
#include "ops/ops.hpp"
#include "ops/padtable.hpp"
#include "tavsdk.h"

namespace tav::ops {
namespace {

// The encoder builds each output region whole (fillers first, then the
// ciphertext bytes dropped at the unit starts); the decoder reads the
// expanded file in regions of the same size. A unit is at most a few
// thousand bytes, so at least one always fits.
constexpr size_t kSymbols = kRegionSymbols;
uint8_t* const region = scratch.expanded.region;
uint8_t* const symbols = scratch.expanded.symbols;
uint32_t* const random_words = scratch.expanded.random_words;

const char* PadFile(Kind kind) { return kind == Kind::text ? "k5.txt" : "k5.bin"; }

int64_t UnitBytes(int32_t pad_index) { return 1 + static_cast<int64_t>(pkey[pad_index]); }

bool RandomFill(void* buf, size_t n) {
  auto* p = static_cast<uint8_t*>(buf);
  while (n > 0) {
    const ssize_t got = ::getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// A 32-bit value below 8 * 151^4 is four uniform base-151 digits; the few
// values above are dropped rather than folded in, which would bias the
// low digits.
constexpr uint32_t kTextRange = 151u * 151u * 151u * 151u * 8u;

// Writes n symbols and may scribble up to three bytes past them.
bool FillTextSymbols(uint8_t* out, size_t n) {
  uint8_t* p = out;
  uint8_t* const end = out + n;
  while (p < end) {
    const size_t need = (static_cast<size_t>(end - p) + 3) / 4;
    const size_t words = std::min(need + need / 16 + 1, kRandomWords);
    if (!RandomFill(random_words, words * sizeof(uint32_t))) return false;
    for (size_t i = 0; i < words && p < end; ++i) {
      uint32_t v = random_words[i];
      if (v >= kTextRange) continue;
      for (int d = 0; d < 4; ++d) {
        p[d] = kTextAlphabet[v % 151];
        v /= 151;
      }
      p += 4;
    }
  }
  return true;
}

bool FillFillers(Kind kind, uint8_t* out, size_t n) {
  return kind == Kind::text ? FillTextSymbols(out, n) : RandomFill(out, n);
}

int Encode(Kind kind, FileJob& job) {
  int32_t pad = 0;  // pad index of the last unit written
  for (int64_t left = job.size; left > 0;) {
    // As many units as fit the region whole.
    size_t units = 0;
    int64_t bytes = 0;
    for (int32_t i = pad; units < kSymbols && static_cast<int64_t>(units) < left; ++units) {
      i = NextPadIndex(i);
      if (bytes + UnitBytes(i) > static_cast<int64_t>(kRegionBytes)) break;
      bytes += UnitBytes(i);
    }
    if (io::ReadFull(job.source.get(), symbols, units) != static_cast<int64_t>(units)) return kBadSource;
    engine::CipherEncrypt(engine::cipher, symbols, units);
    if (!FillFillers(kind, region, static_cast<size_t>(bytes))) return kBadDest;
    int64_t at = 0;
    for (size_t u = 0; u < units; ++u) {
      region[at] = symbols[u];
      pad = NextPadIndex(pad);
      at += UnitBytes(pad);
    }
    if (!io::WriteAll(job.dest.get(), region, static_cast<size_t>(bytes))) return kBadDest;
    left -= static_cast<int64_t>(units);
  }
  return kDone;
}

bool Flush(FileJob& job, size_t n) {
  engine::CipherDecrypt(engine::cipher, symbols, n);
  return io::WriteAll(job.dest.get(), symbols, n);
}

int Decode(FileJob& job) {
  int32_t pad = 0;
  int64_t next = 0;  // offset of the next unit start
  size_t gathered = 0;
  for (int64_t offset = 0; offset < job.size;) {
    const int64_t rest = job.size - offset;
    const size_t len = rest < static_cast<int64_t>(kRegionBytes) ? static_cast<size_t>(rest) : kRegionBytes;
    if (io::ReadFull(job.source.get(), region, len) != static_cast<int64_t>(len)) return kBadSource;
    const int64_t end = offset + static_cast<int64_t>(len);
    // Only the unit starts matter; a unit whose run the file cuts short
    // still counts.
    while (next < end) {
      symbols[gathered++] = region[next - offset];
      pad = NextPadIndex(pad);
      next += UnitBytes(pad);
      if (gathered == kSymbols) {
        if (!Flush(job, gathered)) return kBadDest;
        gathered = 0;
      }
    }
    offset = end;
  }
  if (gathered > 0 && !Flush(job, gathered)) return kBadDest;
  return kDone;
}

int Expanded(Kind kind, bool decode, const char* source, const char* destination) {
  FileJob job;
  if (const int refused = OpenFileJob(kind, source, destination, PadFile(kind), job); refused != 0) return refused;
  const int status = decode ? Decode(job) : Encode(kind, job);
  SecureZeroObject(scratch.expanded.symbols);
  return FinishFileJob(job, status);
}

}  // namespace
}  // namespace tav::ops

extern "C" {

TAVSDK_API int TavTExpandFileEnc(const char* source, const char* destination) {
  return tav::ops::Expanded(tav::Kind::text, false, source, destination);
}
TAVSDK_API int TavTExpandFileDec(const char* source, const char* destination) {
  return tav::ops::Expanded(tav::Kind::text, true, source, destination);
}
TAVSDK_API int TavBExpandFileEnc(const char* source, const char* destination) {
  return tav::ops::Expanded(tav::Kind::binary, false, source, destination);
}
TAVSDK_API int TavBExpandFileDec(const char* source, const char* destination) {
  return tav::ops::Expanded(tav::Kind::binary, true, source, destination);
}

}
