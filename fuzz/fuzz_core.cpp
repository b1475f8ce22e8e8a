// SPDX-License-Identifier: MIT
// The core interface on buffers and streams, for any passphrase, alphabet and
// message. Block mode: pieces cut anywhere and encrypted with their offsets,
// in any order and partly in place, give the bytes of one call on the whole
// message, and decrypt back in other pieces. Expanded mode: an encoder fed in
// pieces writes exactly tav_expanded_size bytes whose unit starts are the
// block ciphertext, and a decoder fed other pieces gives the message back.
// Descriptors: one file on both ends is refused and left as it was.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "keys/keyset.hpp"
#include "tavsdk.h"

using namespace tav;
using namespace tav::fuzz;

namespace {

// Piece boundaries: 0, up to eight cut points in [0, n], n.
std::vector<size_t> Cuts(FuzzedDataProvider& in, size_t n) {
  std::vector<size_t> cuts = {0, n};
  for (int k = in.ConsumeIntegralInRange(0, 8); k > 0; --k) cuts.push_back(in.ConsumeIntegralInRange<size_t>(0, n));
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

// Makes the key set once per passphrase and alphabet: derivation is the
// slowest step by far.
const tav_keys* KeysFor(const std::string& passphrase, tav_alphabet alphabet) {
  static tav_keys* keys = nullptr;
  static std::string made_for;
  const std::string id = std::to_string(alphabet) + ":" + passphrase;
  if (keys != nullptr && id == made_for) return keys;
  tav_keys_free(keys);
  keys = nullptr;
  const tav_status status = tav_keys_new(&keys, alphabet, passphrase.data(), passphrase.size());
  const bool refused = passphrase.empty() || passphrase.find('\0') != std::string::npos;
  FUZZ_CHECK(status == (refused ? TAV_BAD_ARGUMENT : TAV_OK) && (keys == nullptr) == refused);
  made_for = id;
  return keys;
}

Bytes BlockPieces(const tav_keys* keys, bool decrypt, uint64_t base, const Bytes& in, const std::vector<size_t>& cuts,
                  bool backwards, uint64_t in_place) {
  const auto op = decrypt ? tav_block_decrypt : tav_block_encrypt;
  Bytes out(in.size());
  for (size_t i = 0; i + 1 < cuts.size(); ++i) {
    const size_t p = backwards ? cuts.size() - 2 - i : i;
    const size_t at = cuts[p];
    const size_t n = cuts[p + 1] - at;
    if (in_place >> (p % 64) & 1) {
      std::copy_n(in.begin() + static_cast<ptrdiff_t>(at), n, out.begin() + static_cast<ptrdiff_t>(at));
      FUZZ_CHECK(op(keys, base + at, out.data() + at, out.data() + at, n) == TAV_OK);
    } else {
      FUZZ_CHECK(op(keys, base + at, in.data() + at, out.data() + at, n) == TAV_OK);
    }
  }
  return out;
}

void CheckBlock(FuzzedDataProvider& in, const tav_keys* keys, const Bytes& message) {
  // Offsets near 0 and anywhere below 2^63 (whole rounds of the schedule).
  const uint64_t base = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 100000)
                                         : in.ConsumeIntegralInRange<uint64_t>(0, uint64_t{1} << 63);
  Bytes whole(message.size());
  FUZZ_CHECK(tav_block_encrypt(keys, base, message.data(), whole.data(), message.size()) == TAV_OK);
  const std::vector<size_t> cuts = Cuts(in, message.size());
  const bool backwards = in.ConsumeBool();
  const Bytes pieces = BlockPieces(keys, false, base, message, cuts, backwards, in.ConsumeIntegral<uint64_t>());
  FUZZ_CHECK(pieces == whole);
  const std::vector<size_t> other = Cuts(in, message.size());
  FUZZ_CHECK(BlockPieces(keys, true, base, whole, other, !backwards, in.ConsumeIntegral<uint64_t>()) == message);
}

// A filler source that any run repeats: a counter, or one byte over and over
// (which must end every call as well, whatever the byte).
struct FixedFill {
  uint8_t next;
  bool constant;
};

int FixedFiller(void* context, void* buffer, size_t length) {
  auto& fill = *static_cast<FixedFill*>(context);
  FUZZ_CHECK(length > 0);
  auto* out = static_cast<uint8_t*>(buffer);
  for (size_t i = 0; i < length; ++i) out[i] = fill.constant ? fill.next : fill.next++;
  return 0;
}

void CheckExpanded(FuzzedDataProvider& in, const tav_keys* keys, const Bytes& message) {
  uint64_t size = 0;
  FUZZ_CHECK(tav_expanded_size(keys, message.size(), &size) == TAV_OK);
  FixedFill filler_state{in.ConsumeIntegral<uint8_t>(), in.ConsumeBool()};
  tav_encoder* encoder = nullptr;
  FUZZ_CHECK(tav_encoder_new(&encoder, keys, FixedFiller, &filler_state) == TAV_OK);
  Bytes expanded;
  const std::vector<size_t> cuts = Cuts(in, message.size());
  for (size_t p = 0; p + 1 < cuts.size(); ++p) {
    const size_t n = cuts[p + 1] - cuts[p];
    Bytes out(tav_encoder_size(encoder, n));
    size_t written = SIZE_MAX;
    FUZZ_CHECK(tav_encoder_update(encoder, message.data() + cuts[p], n, out.data(), out.size(), &written) == TAV_OK);
    FUZZ_CHECK(written == out.size());
    expanded.insert(expanded.end(), out.begin(), out.end());
  }
  tav_encoder_free(encoder);
  FUZZ_CHECK(expanded.size() == size);

  Bytes block(message.size());
  FUZZ_CHECK(tav_block_encrypt(keys, 0, message.data(), block.data(), message.size()) == TAV_OK);
  Bytes starts;
  for (size_t at = 0, unit = 0; at < expanded.size(); ++unit) {
    starts.push_back(expanded[at]);
    at += 1 + static_cast<size_t>(keys->pad[unit % kPadEntries + 1]);
  }
  FUZZ_CHECK(starts == block);

  tav_decoder* decoder = nullptr;
  FUZZ_CHECK(tav_decoder_new(&decoder, keys) == TAV_OK);
  Bytes plain;
  const std::vector<size_t> other = Cuts(in, expanded.size());
  for (size_t p = 0; p + 1 < other.size(); ++p) {
    const size_t n = other[p + 1] - other[p];
    Bytes out(n);
    size_t got = SIZE_MAX;
    FUZZ_CHECK(tav_decoder_update(decoder, expanded.data() + other[p], n, out.data(), &got) == TAV_OK);
    FUZZ_CHECK(got <= n);
    plain.insert(plain.end(), out.begin(), out.begin() + static_cast<ptrdiff_t>(got));
  }
  tav_decoder_free(decoder);
  FUZZ_CHECK(plain == message);
}

// One file on both ends of the descriptor calls, by one descriptor or two:
// refused, the file as it was.
void CheckSameFile(FuzzedDataProvider& in, const tav_keys* keys, const Bytes& message) {
  const int fd = memfd_create("same", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0 && write(fd, message.data(), message.size()) == static_cast<ssize_t>(message.size()));
  const int other = in.ConsumeBool() ? fd : fcntl(fd, F_DUPFD_CLOEXEC, 0);
  const unsigned flags = in.ConsumeBool() ? TAV_EXPANDED : 0;
  FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
  const auto op = in.ConsumeBool() ? tav_fd_decrypt : tav_fd_encrypt;
  FUZZ_CHECK(op(keys, fd, other, flags, nullptr, nullptr, nullptr) == TAV_BAD_ARGUMENT);
  Bytes after(message.size() + 1);
  FUZZ_CHECK(pread(fd, after.data(), after.size(), 0) == static_cast<ssize_t>(message.size()));
  after.pop_back();
  FUZZ_CHECK(after == message);
  if (other != fd) close(other);
  close(fd);
}

}  // namespace

// Input: the alphabet, a passphrase, the message, then the offsets, cut
// points and the rest, which FuzzedDataProvider takes from the end.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const tav_alphabet alphabet = in.ConsumeBool() ? TAV_BINARY : TAV_TEXT;
  const std::string passphrase = in.ConsumeRandomLengthString(32);
  const std::string text = in.ConsumeRandomLengthString(4096);
  const tav_keys* keys = KeysFor(passphrase, alphabet);
  if (keys == nullptr) return 0;
  const Bytes message(text.begin(), text.end());
  CheckBlock(in, keys, message);
  CheckExpanded(in, keys, message);
  CheckSameFile(in, keys, message);
  return 0;
}
