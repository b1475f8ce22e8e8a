// SPDX-License-Identifier: MIT
// String operations: results, failure conventions and buffer limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

// The known result of an independent implementation for "Hello" keys.
TEST(StringOperations, MatchKnownResults) {
  ScratchDir scratch;
  ASSERT_EQ(TavGenTextKeys("Hello"), 0);
  std::string plain = "\x69\x3e\x53\x01\x3f\x69\x33\x09\x64\x36\xd1\xd4\x64\x28\x39\x56\x59";
  EXPECT_EQ(Bytes(TavTEnc(plain.data()), OutString + plain.size()), FromHex("d8c1d6014cd5550934cb3f5be229763b79"));
  ASSERT_EQ(TavGenBinaryKeys("Hello"), 0);
  plain = "\x5e\xe4\x8d\x05\x94\xcf\x5c\xc6\xf7\xf1\xf1\x9e\x45\x9e\xc3\x60\x4b";
  EXPECT_EQ(Bytes(TavBEnc(plain.data()), OutString + plain.size()), FromHex("fa6bbc431750c46d7dfd67c302265581e9"));
}

TEST(StringOperations, RoundTripUpToTheLargestInput) {
  ScratchDir scratch;
  ASSERT_EQ(TavGenTextKeys("round trip"), 0);
  ASSERT_EQ(TavGenBinaryKeys("round trip"), 0);
  for (size_t len : {0, 1, 2, 151, 1000, 8191}) {
    Bytes raw = RandomBytes(len, static_cast<uint32_t>(len));
    for (auto& b : raw) b = b == 0 ? 1 : b;  // strings end at the first 0
    std::string input(raw.begin(), raw.end());
    std::string work = input;
    ASSERT_EQ(TavTEnc(work.data()), OutString);
    ASSERT_EQ(std::strlen(OutString), len);  // text results never hold a 0
    EXPECT_EQ(std::string(TavTDec(OutString)), input) << len;  // the input may be OutString itself
    work = input;
    char* cipher = TavBEnc(work.data());
    ASSERT_EQ(cipher, OutString);
    const std::string encrypted(OutString, len);
    if (encrypted.find('\0') == std::string::npos) {
      EXPECT_EQ(std::string(TavBDec(OutString)), input);
    }
    EXPECT_EQ(work, input);  // the caller's string is only read
  }
}

TEST(StringOperations, BytesOutsideTheTextAlphabetPassButStillStep) {
  ScratchDir scratch;
  ASSERT_EQ(TavGenTextKeys("outside"), 0);
  char with_cr[] = "ab\rcd\tef\xff";
  const std::string a = TavTEnc(with_cr);
  char with_symbols[] = "ab?cd?ef?";
  const std::string b = TavTEnc(with_symbols);
  ASSERT_EQ(a.size(), 9u);
  EXPECT_EQ(a[2], '\r');
  EXPECT_EQ(a[5], '\t');
  EXPECT_EQ(a[8], '\xff');
  for (int i : {0, 1, 3, 4, 6, 7}) EXPECT_EQ(a[i], b[i]) << i;
  // The wheels turn between symbols, and each call starts afresh.
  char same[] = "aaaa";
  const std::string first = TavTEnc(same);
  EXPECT_FALSE(first[0] == first[1] && first[1] == first[2] && first[2] == first[3]);
  EXPECT_EQ(std::string(TavTEnc(same)), first);
}

TEST(StringOperations, MissingKeysEmptyTheCallersString) {
  ScratchDir scratch;
  ResetFlags();
  ASSERT_EQ(TavGenBinaryKeys("only binary"), 0);
  char previous[] = "kept";
  ASSERT_EQ(TavBEnc(previous), OutString);
  const std::string kept(OutString);
  char input[] = "secret";
  EXPECT_EQ(TavTEnc(input), input);
  EXPECT_EQ(input[0], 0);
  char input2[] = "secret";
  EXPECT_EQ(TavTDec(input2), input2);
  EXPECT_EQ(input2[0], 0);
  EXPECT_EQ(std::string(OutString), kept);
  EXPECT_EQ(TavTEnc(nullptr), nullptr);
  EXPECT_EQ(TavBDec(nullptr), nullptr);
}

TEST(StringOperations, OverlongInputIsRefusedNotCut) {
  ScratchDir scratch;
  ASSERT_EQ(TavGenTextKeys("limits"), 0);
  char small[] = "x";
  ASSERT_EQ(TavTEnc(small), OutString);
  const std::string kept(OutString);
  std::string big(8192, 'a');
  EXPECT_EQ(TavTEnc(big.data()), big.data());
  EXPECT_EQ(big, std::string(8192, 'a'));
  EXPECT_EQ(std::string(OutString), kept);
}

TEST(StringOperations, EachAlphabetUsesItsOwnKeyFiles) {
  ScratchDir scratch;
  ASSERT_EQ(TavGenTextKeys("shared words"), 0);
  char input[] = "The same words.";
  const std::string text_result = TavTEnc(input);
  // The binary generation of the same passphrase leaves the same schedule
  // but writes other wheel and scheme files; text operations must not read them.
  ASSERT_EQ(TavGenBinaryKeys("shared words"), 0);
  EXPECT_EQ(std::string(TavTEnc(input)), text_result);
}

}  // namespace
}  // namespace tav::test
