// SPDX-License-Identifier: MIT
// Block mode on buffers, and the expanded mode as a stream.
#include <algorithm>
#include <cstring>

#include "common/wipe.hpp"
#include "core/objects.hpp"
#include "engine/cipher.hpp"
#include "expanded/layout.hpp"
#include "keys/keyset.hpp"
#include "tavsdk.h"

namespace tav::core {
namespace {

// Out of place, a piece at a time is copied and transformed while it is still
// in the cache, rather than copying the whole buffer first; pieces are at
// least as long as the kernel needs for its full rate.
constexpr size_t kPieceBytes = size_t{256} << 10;

tav_status Block(const tav_keys* keys, uint64_t offset, const void* in, void* out, size_t length, bool decrypt) {
  if (keys == nullptr || (length > 0 && (in == nullptr || out == nullptr))) return TAV_BAD_ARGUMENT;
  if (length == 0) return TAV_OK;
  // Positions end at 2^64 - 1: a piece past it has no place in a message.
  if (length - 1 > UINT64_MAX - offset) return TAV_BAD_ARGUMENT;
  engine::Cipher c;
  engine::CipherStart(c, keys->tables, offset);
  auto* data = static_cast<uint8_t*>(out);
  const auto* src = static_cast<const uint8_t*>(in);
  const size_t piece = std::max(kPieceBytes, engine::FullRateLength(keys->tables));
  for (size_t at = 0; at < length;) {
    const size_t n = in == out ? length : std::min(piece, length - at);
    if (in != out) std::memmove(data + at, src + at, n);
    engine::CipherRun(c, data + at, n, decrypt);
    at += n;
  }
  // The kernels clear their working storage; the position is all that is left.
  SecureZeroObject(c.s);
  return TAV_OK;
}

constexpr size_t kStreamSymbols = 4096;

}  // namespace
}  // namespace tav::core

// The state that crosses chunk boundaries.
struct tav_encoder {
  const tav_keys* keys;
  tav::expanded::Filler filler;
  uint64_t units;  // plain bytes encoded so far
  bool broken;     // the filler source failed
  tav::engine::Cipher cipher;
};

struct tav_decoder {
  const tav_keys* keys;
  tav::expanded::Picker picker;
  tav::engine::Cipher cipher;
};

extern "C" {

TAVSDK_API tav_status tav_block_encrypt(const tav_keys* keys, uint64_t offset, const void* in, void* out,
                                        size_t length) {
  return tav::core::Block(keys, offset, in, out, length, false);
}

TAVSDK_API tav_status tav_block_decrypt(const tav_keys* keys, uint64_t offset, const void* in, void* out,
                                        size_t length) {
  return tav::core::Block(keys, offset, in, out, length, true);
}

TAVSDK_API tav_status tav_expanded_size(const tav_keys* keys, uint64_t plain_length, uint64_t* expanded_length) {
  if (keys == nullptr || expanded_length == nullptr) return TAV_BAD_ARGUMENT;
  if (!keys->has_pad) return TAV_NO_KEYS;
  // Each unit is at most a few hundred bytes: refuse what would not fit 64 bits.
  if (plain_length > UINT64_MAX / static_cast<uint64_t>(keys->pad_max_unit)) return TAV_BAD_ARGUMENT;
  *expanded_length = tav::expanded::UnitsBytes(*keys, 0, plain_length);
  return TAV_OK;
}

TAVSDK_API tav_status tav_encoder_new(tav_encoder** encoder, const tav_keys* keys, tav_fill_fn fill, void* context) {
  if (encoder == nullptr) return TAV_BAD_ARGUMENT;
  *encoder = nullptr;
  if (keys == nullptr) return TAV_BAD_ARGUMENT;
  if (!keys->has_pad) return TAV_NO_KEYS;
  tav_encoder* e = tav::core::Make<tav_encoder>();
  if (e == nullptr) return TAV_NO_MEMORY;
  e->keys = keys;
  e->filler = tav::expanded::Filler{fill, context};
  tav::engine::CipherStart(e->cipher, keys->tables, 0);
  *encoder = e;
  return TAV_OK;
}

TAVSDK_API size_t tav_encoder_size(const tav_encoder* encoder, size_t in_length) {
  if (encoder == nullptr) return 0;
  if (in_length > SIZE_MAX / static_cast<size_t>(encoder->keys->pad_max_unit)) return SIZE_MAX;
  return static_cast<size_t>(tav::expanded::UnitsBytes(*encoder->keys, encoder->units, in_length));
}

TAVSDK_API tav_status tav_encoder_update(tav_encoder* encoder, const void* in, size_t in_length, void* out,
                                         size_t out_capacity, size_t* out_length) {
  if (encoder == nullptr || out_length == nullptr || (in_length > 0 && (in == nullptr || out == nullptr)))
    return TAV_BAD_ARGUMENT;
  *out_length = 0;
  if (encoder->broken) return TAV_BAD_SOURCE;
  const size_t need = tav_encoder_size(encoder, in_length);
  if (need == SIZE_MAX || need > out_capacity) return TAV_BAD_ARGUMENT;
  const tav_keys& keys = *encoder->keys;
  auto* dst = static_cast<uint8_t*>(out);
  const auto* src = static_cast<const uint8_t*>(in);
  alignas(64) uint8_t symbols[tav::core::kStreamSymbols];
  alignas(64) uint32_t words[1024];
  // Fillers everywhere first, then each unit's first byte over them.
  if (!tav::expanded::FillFillers(keys.tables.kind, encoder->filler, dst, need, words, 1024)) {
    encoder->broken = true;
    tav::SecureZero(dst, need);
    return TAV_BAD_SOURCE;
  }
  int32_t pad = tav::expanded::PadIndexAfter(encoder->units);
  size_t at = 0;
  for (size_t done = 0; done < in_length;) {
    const size_t n = std::min(in_length - done, sizeof symbols);
    std::memcpy(symbols, src + done, n);
    tav::engine::CipherEncrypt(encoder->cipher, symbols, n);
    at += tav::expanded::Place(keys, pad, symbols, n, dst + at);
    done += n;
  }
  tav::SecureZeroObject(symbols);
  tav::SecureZeroObject(words);
  encoder->units += in_length;
  *out_length = need;
  return TAV_OK;
}

TAVSDK_API void tav_encoder_free(tav_encoder* encoder) { tav::core::Destroy(encoder); }

TAVSDK_API tav_status tav_decoder_new(tav_decoder** decoder, const tav_keys* keys) {
  if (decoder == nullptr) return TAV_BAD_ARGUMENT;
  *decoder = nullptr;
  if (keys == nullptr) return TAV_BAD_ARGUMENT;
  if (!keys->has_pad) return TAV_NO_KEYS;
  tav_decoder* d = tav::core::Make<tav_decoder>();
  if (d == nullptr) return TAV_NO_MEMORY;
  d->keys = keys;
  tav::engine::CipherStart(d->cipher, keys->tables, 0);
  *decoder = d;
  return TAV_OK;
}

TAVSDK_API tav_status tav_decoder_update(tav_decoder* decoder, const void* in, size_t in_length, void* out,
                                         size_t* out_length) {
  if (decoder == nullptr || out_length == nullptr || (in_length > 0 && (in == nullptr || out == nullptr)))
    return TAV_BAD_ARGUMENT;
  size_t consumed = 0;
  const size_t got = tav::expanded::Pick(*decoder->keys, decoder->picker, static_cast<const uint8_t*>(in), in_length,
                                         static_cast<uint8_t*>(out), in_length, consumed);
  auto* dst = static_cast<uint8_t*>(out);
  tav::engine::CipherDecrypt(decoder->cipher, dst, got);
  *out_length = got;
  return TAV_OK;
}

TAVSDK_API void tav_decoder_free(tav_decoder* decoder) { tav::core::Destroy(decoder); }

}
