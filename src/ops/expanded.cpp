// SPDX-License-Identifier: MIT
// Expanded files: unit s is the s-th ciphertext byte followed by pkey[i]
// random filler symbols, i running 1..20000 and round again.
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

#include "common/fileio.hpp"
#include "common/keyfiles.hpp"
#include "common/scratch.hpp"
#include "common/wipe.hpp"
#include "common/workers.hpp"
#include "engine/cipher.hpp"
#include "ops/fileops.hpp"
#include "ops/ops.hpp"
#include "ops/padtable.hpp"
#include "ops/split.hpp"
#include "tavsdk.h"

namespace tav::ops {

namespace {

// The encoder builds each output region whole (fillers first, then the
// ciphertext bytes dropped at the unit starts); the decoder reads the
// expanded file in regions of the same size. A unit is at most a few
// thousand bytes, so at least one always fits.
constexpr size_t kSymbols = kRegionSymbols;

// Splitting pays from these source sizes on. Starting and joining a worker
// costs some 0.1 ms of CPU. The encoder's cost is mostly the random fillers,
// some 25 to 50 output bytes per source byte: 256 KiB take tens of ms. The
// decoder only picks the unit starts out of the file at several GB/s, so it
// needs a far larger input to win more than a thread costs.
constexpr int64_t kParallelEncodeBytes = int64_t{256} << 10;
constexpr int64_t kParallelDecodeBytes = int64_t{32} << 20;

// The buffers of one encoding or decoding loop.
struct Buffers {
  uint8_t* region;
  uint8_t* symbols;
  uint32_t* random_words;
};

// One worker's cipher and buffers.
struct ExpandSpace {
  engine::Cipher cipher;
  alignas(64) uint8_t region[kRegionBytes + 4];  // + slack for the text filler writer
  alignas(64) uint8_t symbols[kSymbols];
  alignas(64) uint32_t random_words[kRandomWords];
};
static_assert(sizeof(ExpandSpace) <= workers::kSpaceBytes);

const char* PadFile(Kind kind) { return KeyFileName(KeyFile::pad, kind); }

int64_t UnitBytes(int32_t pad_index) { return 1 + static_cast<int64_t>(pkey[pad_index]); }

// Where unit s starts: whole rounds of the pad table, then the units before
// it in its round. Valid when every unit has at least one byte.
int64_t UnitStart(uint64_t s, int64_t round_bytes) {
  auto at = static_cast<int64_t>(s / kPadEntries) * round_bytes;
  const auto in_round = static_cast<int32_t>(s % kPadEntries);
  for (int32_t i = 1; i <= in_round; ++i) at += UnitBytes(i);
  return at;
}

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
bool FillTextSymbols(uint8_t* out, size_t n, uint32_t* random_words) {
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

bool FillFillers(Kind kind, uint8_t* out, size_t n, uint32_t* random_words) {
  return kind == Kind::text ? FillTextSymbols(out, n, random_words) : RandomFill(out, n);
}

// How far a run of units went.
struct Outcome {
  int status = kDone;
  bool ended = false;  // the source ended before the run did
  int64_t out_end = 0;  // output offset after the run's last unit
};

// Encodes up to `count` source bytes from `first` on with c, which stands at
// symbol `first`; their units are written from out_at on. The source may end
// sooner: what was read is encoded.
Outcome EncodeUnits(Kind kind, engine::Cipher& c, const Buffers& b, FileJob& job, uint64_t first, uint64_t count,
                    int64_t out_at) {
  auto pad = static_cast<int32_t>(first % kPadEntries);  // pad index of the last unit written
  for (uint64_t left = count; left > 0;) {
    // As many units as fit the region whole.
    size_t units = 0;
    int64_t bytes = 0;
    for (int32_t i = pad; units < kSymbols && units < left; ++units) {
      i = NextPadIndex(i);
      if (bytes + UnitBytes(i) > static_cast<int64_t>(kRegionBytes)) break;
      bytes += UnitBytes(i);
    }
    const int64_t got = io::PreadFull(job.source.get(), b.symbols, units, static_cast<int64_t>(first));
    if (got < 0) return {kBadSource, false, out_at};
    const bool ended = static_cast<size_t>(got) < units;
    if (ended) {
      units = static_cast<size_t>(got);
      bytes = 0;
      for (int32_t i = pad, u = 0; u < got; ++u) bytes += UnitBytes(i = NextPadIndex(i));
    }
    engine::CipherEncrypt(c, b.symbols, units);
    if (!FillFillers(kind, b.region, static_cast<size_t>(bytes), b.random_words)) return {kBadDest, false, out_at};
    int64_t at = 0;
    for (size_t u = 0; u < units; ++u) {
      b.region[at] = b.symbols[u];
      pad = NextPadIndex(pad);
      at += UnitBytes(pad);
    }
    if (!io::PwriteAll(job.dest.get(), b.region, static_cast<size_t>(bytes), out_at)) return {kBadDest, false, out_at};
    out_at += bytes;
    first += units;
    left -= units;
    if (ended) return {kDone, true, out_at};
  }
  return {kDone, false, out_at};
}

// Reads bytes [from, to) of the expanded file and decodes the units that
// start there, unit `first` at offset `next`, with c standing at symbol
// `first`. Only the unit starts matter; a unit whose run the file cuts short
// still counts. The file may end sooner.
Outcome DecodeUnits(engine::Cipher& c, const Buffers& b, FileJob& job, uint64_t first, int64_t next, int64_t from,
                    int64_t to) {
  auto pad = static_cast<int32_t>(first % kPadEntries);
  auto out_at = static_cast<int64_t>(first);
  size_t gathered = 0;
  const auto flush = [&] {
    engine::CipherDecrypt(c, b.symbols, gathered);
    const bool written = io::PwriteAll(job.dest.get(), b.symbols, gathered, out_at);
    out_at += static_cast<int64_t>(gathered);
    gathered = 0;
    return written;
  };
  bool ended = false;
  for (int64_t offset = from; offset < to && !ended;) {
    const int64_t rest = to - offset;
    const size_t len = rest < static_cast<int64_t>(kRegionBytes) ? static_cast<size_t>(rest) : kRegionBytes;
    const int64_t got = io::PreadFull(job.source.get(), b.region, len, offset);
    if (got < 0) return {kBadSource, false, out_at};
    ended = static_cast<size_t>(got) < len;
    const int64_t end = offset + got;
    while (next < end) {
      b.symbols[gathered++] = b.region[next - offset];
      pad = NextPadIndex(pad);
      next += UnitBytes(pad);
      if (gathered == kSymbols && !flush()) return {kBadDest, false, out_at};
    }
    offset = end;
  }
  if (gathered > 0 && !flush()) return {kBadDest, false, out_at};
  return {kDone, ended, out_at};
}

// Work shared by the threads of one split operation: ranges of `grain` units.
struct ExpandWork {
  Kind kind;
  bool decode;
  FileJob* job;
  uint64_t units;      // split among the ranges
  int64_t bytes;       // decoding: the expanded bytes that hold those units
  int64_t round_bytes;  // one round of the pad table
  uint64_t grain;
  Ranges ranges;
};

void ExpandWorker(void* context, uint8_t* space) {
  auto& work = *static_cast<ExpandWork*>(context);
  auto& own = *new (space) ExpandSpace;
  own.cipher = engine::cipher;
  const Buffers b{own.region, own.symbols, own.random_words};
  uint64_t position = 0;
  for (uint64_t range; work.ranges.Next(range);) {
    const uint64_t first = range * work.grain;
    const uint64_t last = std::min(first + work.grain, work.units);
    engine::CipherSkip(own.cipher, first - position);
    const int64_t from = UnitStart(first, work.round_bytes);
    Outcome outcome;
    if (work.decode) {
      const int64_t to = last == work.units ? work.bytes : UnitStart(last, work.round_bytes);
      outcome = DecodeUnits(own.cipher, b, *work.job, first, from, from, to);
    } else {
      outcome = EncodeUnits(work.kind, own.cipher, b, *work.job, first, last - first, from);
    }
    position = last;
    if (outcome.status != kDone) {
      work.ranges.Fail(range, outcome.status);
      break;
    }
    if (outcome.ended) {
      work.ranges.Stop(range, outcome.out_end);
      break;
    }
  }
  SecureZeroObject(own.cipher);
  SecureZeroObject(own.symbols);
}

int Expanded(Kind kind, bool decode, const char* source, const char* destination) {
  FileJob job;
  if (const int refused = OpenFileJob(kind, source, destination, PadFile(kind), job); refused != 0) return refused;
  return FinishFileJob(job, ExpandedData(kind, decode, job, ExpandedSplit(decode)));
}

}  // namespace

Split ExpandedSplit(bool decode) {
  return Split{workers::Count(), decode ? kParallelDecodeBytes : kParallelEncodeBytes, kSymbols};
}

int ExpandedData(Kind kind, bool decode, FileJob& job, const Split& split) {
  // Splitting needs every unit's offset, so every unit must take a byte.
  const bool splits = split.workers > 1 && job.size >= split.min_bytes && job.size > 0 && split.grain > 0 &&
                      std::all_of(pkey.begin() + 1, pkey.end(), [](int32_t run) { return run >= 0; });
  int64_t round_bytes = 0;
  for (int32_t i = 1; i <= kPadEntries; ++i) round_bytes += UnitBytes(i);
  // What the split covers: source bytes, units, and their place.
  uint64_t units = 0;
  int64_t bytes = 0;
  if (splits) {
    bytes = job.size;
    if (decode) {
      // The units that start before the end of the file.
      units = static_cast<uint64_t>(bytes / round_bytes) * kPadEntries;
      for (int64_t at = bytes / round_bytes * round_bytes; at < bytes; ++units) {
        at += UnitBytes(static_cast<int32_t>(units % kPadEntries) + 1);
      }
    } else {
      units = static_cast<uint64_t>(bytes);
    }
    const uint64_t ranges = (units + split.grain - 1) / split.grain;
    ExpandWork work{kind, decode, &job, units, bytes, round_bytes, split.grain, Ranges(ranges)};
    bool ended = false;
    const int status = RunSplit(work.ranges, ranges, split.workers, ExpandWorker, &work, job.dest.get(), ended);
    if (status != kDone || ended) return status;
    engine::CipherSkip(engine::cipher, units);
  }
  // The rest, to the end of the file whatever its size at the start, follows
  // on this thread from where the split ended.
  const Buffers b{scratch.expanded.region, scratch.expanded.symbols, scratch.expanded.random_words};
  const int64_t next = splits ? UnitStart(units, round_bytes) : 0;  // where unit `units` starts
  const Outcome outcome =
      decode ? DecodeUnits(engine::cipher, b, job, units, next, bytes, INT64_MAX)
             : EncodeUnits(kind, engine::cipher, b, job, units, UINT64_MAX, next);
  SecureZeroObject(scratch.expanded.symbols);
  return outcome.status;
}

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
