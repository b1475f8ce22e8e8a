// SPDX-License-Identifier: MIT
// The runs that transform one stretch of a job. Block mode: the output is
// the input transformed byte for byte. Expanded mode: unit s of the output
// is the s-th ciphertext byte followed by pad[i] random filler symbols, i
// running 1..20000 and round again.
#include <algorithm>

#include "expanded/layout.hpp"
#include "ops/transfer_parts.hpp"

namespace tav::ops {

using expanded::PadIndexAfter;

Outcome BlockRun(Shared& sh, engine::Cipher& c, const Port& in, const Port& out, uint8_t* block, size_t block_bytes,
                 int64_t from, int64_t to, bool caller) {
  // Whole blocks of the kernel's round-apart lanes: a tail of a piece would
  // run at half the rate.
  const auto piece = static_cast<int64_t>(engine::FullRatePiece(*c.t, block_bytes));
  const bool lent = block == sh.job.buffers.block;
  for (int64_t at = from; at < to;) {
    if (sh.Cancelled()) return {TAV_CANCELLED, 0, false, at, at};
    const auto len = static_cast<size_t>(std::min<int64_t>(to - at, piece));
    const int64_t got = ReadAt(in, block, len, at);
    // A failed read may have stored up to len bytes.
    if (lent) sh.job.block_used = std::max(sh.job.block_used, got < 0 ? len : static_cast<size_t>(got));
    if (got < 0) return Failed(TAV_BAD_SOURCE, at, at);
    engine::CipherRun(c, block, static_cast<size_t>(got), sh.job.decrypt);
    if (!WriteAt(out, block, static_cast<size_t>(got), at)) return Failed(TAV_BAD_DEST, at, at);
    at += got;
    sh.done.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
    sh.Tick(caller);
    if (static_cast<size_t>(got) < len) return {TAV_OK, 0, true, at, at};
  }
  return {TAV_OK, 0, false, to, to};
}

Outcome EncodeRun(Shared& sh, engine::Cipher& c, const Buffers& b, const Port& in, const Port& out, uint64_t first,
                  uint64_t count, int64_t out_at, bool caller) {
  const tav_keys& keys = *sh.job.keys;
  const Kind kind = keys.tables.kind;
  const size_t max_units = std::min(b.symbol_count, b.region_bytes / static_cast<size_t>(keys.pad_max_unit));
  int32_t pad = PadIndexAfter(first);  // pad index of the last unit written
  auto in_at = static_cast<int64_t>(first);
  for (uint64_t left = count; left > 0;) {
    if (sh.Cancelled()) return {TAV_CANCELLED, 0, false, in_at, out_at};
    // As many units as fit the region whole.
    size_t units = static_cast<size_t>(std::min<uint64_t>(left, max_units));
    const int64_t got = ReadAt(in, b.symbols, units, in_at);
    if (got < 0) return Failed(TAV_BAD_SOURCE, in_at, out_at);
    const bool ended = static_cast<size_t>(got) < units;
    units = static_cast<size_t>(got);
    const auto bytes = static_cast<int64_t>(expanded::UnitsBytes(keys, static_cast<uint64_t>(in_at), units));
    engine::CipherEncrypt(c, b.symbols, units);
    if (!expanded::FillFillers(kind, sh.job.filler, b.region, static_cast<size_t>(bytes), b.random_words,
                               b.word_count))
      return Failed(TAV_BAD_SOURCE, in_at, out_at);
    (void)expanded::Place(keys, pad, b.symbols, units, b.region);
    if (!WriteAt(out, b.region, static_cast<size_t>(bytes), out_at)) return Failed(TAV_BAD_DEST, in_at, out_at);
    out_at += bytes;
    in_at += got;
    left -= units;
    sh.done.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
    sh.Tick(caller);
    if (ended) return {TAV_OK, 0, true, in_at, out_at};
  }
  return {TAV_OK, 0, false, in_at, out_at};
}

Outcome DecodeRun(Shared& sh, engine::Cipher& c, const Buffers& b, const Port& in, const Port& out, uint64_t first,
                  int64_t next, int64_t from, int64_t to, bool caller) {
  const tav_keys& keys = *sh.job.keys;
  expanded::Picker picker{PadIndexAfter(first), static_cast<uint64_t>(next - from)};
  auto out_at = static_cast<int64_t>(first);
  size_t gathered = 0;
  const auto flush = [&] {
    engine::CipherDecrypt(c, b.symbols, gathered);
    const bool written = WriteAt(out, b.symbols, gathered, out_at);
    out_at += static_cast<int64_t>(gathered);
    gathered = 0;
    return written;
  };
  for (int64_t offset = from; offset < to;) {
    if (sh.Cancelled()) return {TAV_CANCELLED, 0, false, offset, out_at};
    const int64_t rest = to - offset;
    const size_t len = rest < static_cast<int64_t>(b.region_bytes) ? static_cast<size_t>(rest) : b.region_bytes;
    const int64_t got = ReadAt(in, b.region, len, offset);
    if (got < 0) return Failed(TAV_BAD_SOURCE, offset, out_at);
    const int64_t end = offset + got;
    for (size_t used = 0, consumed = 0; used < static_cast<size_t>(got); used += consumed) {
      gathered += expanded::Pick(keys, picker, b.region + used, static_cast<size_t>(got) - used,
                                 b.symbols + gathered, b.symbol_count - gathered, consumed);
      if (gathered == b.symbol_count && !flush()) return Failed(TAV_BAD_DEST, end, out_at);
    }
    sh.done.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
    sh.Tick(caller);
    offset = end;
    if (static_cast<size_t>(got) < len) {
      if (gathered > 0 && !flush()) return Failed(TAV_BAD_DEST, end, out_at);
      return {TAV_OK, 0, true, end, out_at};
    }
  }
  if (gathered > 0 && !flush()) return Failed(TAV_BAD_DEST, to, out_at);
  return {TAV_OK, 0, false, to, out_at};
}

}  // namespace tav::ops
