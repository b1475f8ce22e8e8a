// SPDX-License-Identifier: MIT
// The core interface at the edges of its arguments: filler sources that
// return the same byte forever, alphabet values outside the enumeration, and
// block offsets at the end of the 64-bit range.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <string>

#include "engine/alphabet.hpp"
#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

struct OwnedKeys {
  tav_keys* k = nullptr;
  explicit OwnedKeys(int alphabet) { EXPECT_EQ(tav_keys_new(&k, alphabet, "edges", 5), TAV_OK); }
  OwnedKeys(const OwnedKeys&) = delete;
  OwnedKeys& operator=(const OwnedKeys&) = delete;
  ~OwnedKeys() { tav_keys_free(k); }
};

// Returns `value` in every byte; gives up after many calls, so that a source
// the encoder cannot use fails the call rather than hanging the test.
struct ConstantSource {
  uint8_t value;
  int calls = 0;
  int empty_calls = 0;
};

int ConstantFill(void* context, void* buffer, size_t length) {
  auto& source = *static_cast<ConstantSource*>(context);
  if (++source.calls > 10000) return EIO;
  if (length == 0) ++source.empty_calls;
  if (buffer != nullptr) std::memset(buffer, source.value, length);
  return 0;
}

TEST(CoreArguments, AnyConstantFillerEndsTheCall) {
  const Bytes plain = RandomBytes(6000, 19);
  for (const int alphabet : {TAV_BINARY, TAV_TEXT}) {
    OwnedKeys keys(alphabet);
    std::array<bool, 256> symbol{};
    for (int i = 0; i < 256; ++i) symbol[static_cast<size_t>(i)] = alphabet == TAV_BINARY;
    for (const uint8_t s : kTextAlphabet) symbol[s] = true;
    for (const uint8_t value : {0x00, 0xFF, 0xF8, 0xF7, 0x7F, 0x96}) {
      SCOPED_TRACE(std::to_string(alphabet) + " filler " + std::to_string(value));
      ConstantSource source{value};
      tav_encoder* e = nullptr;
      ASSERT_EQ(tav_encoder_new(&e, keys.k, ConstantFill, &source), TAV_OK);
      Bytes expanded;
      size_t at = 0;
      for (const size_t n : {0, 1, 0, 7, 5992}) {
        Bytes out(tav_encoder_size(e, n));
        size_t got = 0;
        ASSERT_EQ(tav_encoder_update(e, plain.data() + at, n, out.data(), out.size(), &got), TAV_OK);
        expanded.insert(expanded.end(), out.begin(), out.end());
        at += n;
      }
      tav_encoder_free(e);
      EXPECT_EQ(source.empty_calls, 0);
      size_t foreign = 0;
      for (const uint8_t b : expanded) foreign += symbol[b] ? 0 : 1;
      // Unit starts are ciphertext, which keeps bytes outside the alphabet.
      Bytes block(plain.size());
      ASSERT_EQ(tav_block_encrypt(keys.k, 0, plain.data(), block.data(), block.size()), TAV_OK);
      size_t foreign_cipher = 0;
      for (const uint8_t b : block) foreign_cipher += symbol[b] ? 0 : 1;
      EXPECT_EQ(foreign, foreign_cipher);
      tav_decoder* d = nullptr;
      ASSERT_EQ(tav_decoder_new(&d, keys.k), TAV_OK);
      Bytes back(expanded.size());
      size_t got = 0;
      ASSERT_EQ(tav_decoder_update(d, expanded.data(), expanded.size(), back.data(), &got), TAV_OK);
      tav_decoder_free(d);
      back.resize(got);
      EXPECT_EQ(back, plain);
    }
  }
}

TEST(CoreArguments, AlphabetsOutsideTheEnumerationAreRefused) {
  for (const int alphabet : {-1, 0, 3, 4, 255, INT_MIN, INT_MAX}) {
    tav_keys* k = reinterpret_cast<tav_keys*>(1);
    EXPECT_EQ(tav_keys_new(&k, alphabet, "abc", 3), TAV_BAD_ARGUMENT) << alphabet;
    EXPECT_EQ(k, nullptr);
    k = reinterpret_cast<tav_keys*>(1);
    int error = -1;
    EXPECT_EQ(tav_keys_load(&k, alphabet, AT_FDCWD, nullptr, &error), TAV_BAD_ARGUMENT) << alphabet;
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(error, 0);
  }
}

TEST(CoreArguments, BlockPositionsEndAtTwoToTheSixtyFour) {
  OwnedKeys keys(TAV_BINARY);
  const Bytes plain = RandomBytes(16, 8);
  struct Case {
    uint64_t offset;
    size_t length;
    tav_status expected;
  };
  for (const Case& c : {Case{UINT64_MAX, 0, TAV_OK}, Case{UINT64_MAX, 1, TAV_OK}, Case{UINT64_MAX, 2, TAV_BAD_ARGUMENT},
                        Case{UINT64_MAX - 15, 16, TAV_OK}, Case{UINT64_MAX - 14, 16, TAV_BAD_ARGUMENT},
                        Case{uint64_t{1} << 63, 16, TAV_OK}}) {
    for (const auto op : {tav_block_encrypt, tav_block_decrypt}) {
      SCOPED_TRACE(std::to_string(c.offset) + " + " + std::to_string(c.length));
      Bytes out(plain.size(), 0xA5);
      EXPECT_EQ(op(keys.k, c.offset, plain.data(), out.data(), c.length), c.expected);
      // A refused call leaves the output as it was.
      if (c.expected != TAV_OK) {
        EXPECT_EQ(out, Bytes(plain.size(), 0xA5));
      }
    }
  }
}

TEST(CoreArguments, BadArgumentNamesWhatItCanBe) {
  // A refused passphrase comes back as TAV_BAD_ARGUMENT: its text says why.
  const std::string text = tav_strerror(TAV_BAD_ARGUMENT);
  EXPECT_NE(text.find("passphrase"), std::string::npos) << text;
  EXPECT_NE(text.find("0 byte"), std::string::npos) << text;
}

}  // namespace
}  // namespace tav::test
