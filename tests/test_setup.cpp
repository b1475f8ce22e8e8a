// SPDX-License-Identifier: MIT
// Cipher set-up: alphabets, scheme and step-count loading, wheel loading.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "engine/setup.hpp"
#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

TEST(Alphabets, AreRebuiltIdenticallyOnEveryCall) {
  ScratchDir scratch;
  cryptype = 1;
  ApiInit();
  ApiInit();
  EXPECT_EQ(txa[151], 0);
  EXPECT_EQ(std::set<uint8_t>(txa.begin(), txa.begin() + 151).size(), 151u);
  EXPECT_EQ(std::count(txa.begin(), txa.begin() + 151, 0), 0);
  EXPECT_EQ(std::string(tsd.data()), std::string(151, '@'));
  EXPECT_EQ(std::string(bsd.data()), std::string(256, '@'));
  for (int i = 0; i < 256; ++i) EXPECT_EQ(ba[i], i);
  EXPECT_EQ(txa[0], 0x22);
  EXPECT_EQ(txa[1], 0x0A);
  EXPECT_EQ(txa[2], ' ');
  EXPECT_EQ(txa[150], 0xFD);
  const std::set<uint8_t> symbols(txa.begin(), txa.begin() + 151);
  for (uint8_t outside : {0x00, 0x09, 0x0D, 0x7F, 0x80, 0xBE, 0xC6, 0xC7, 0xD0, 0xD7, 0xDE, 0xE6, 0xF0, 0xF7, 0xFE, 0xFF})
    EXPECT_EQ(symbols.count(outside), 0u) << int(outside);
  for (uint8_t inside : {0xE7, 0xDF, 0x5C, 0x60, 0x5F, 0xBF}) EXPECT_EQ(symbols.count(inside), 1u) << int(inside);
}

TEST(SchemeLoading, DefaultsApplyPerFileAndOnlyForTheCurrentKind) {
  ScratchDir scratch;
  // Binary files present must not influence a text set-up.
  WriteFile("k3.bin", std::string(100, 'D'));
  WriteFile("k4.bin", std::string(40, '7'));
  cryptype = 1;
  ApiInit();
  EXPECT_EQ(sd, kDefaultSd);
  EXPECT_EQ(sm, kDefaultSm);
  EXPECT_EQ(sh, kDefaultSh);

  cryptype = 2;
  ApiInit();
  for (int n = 1; n <= 20; ++n) EXPECT_EQ(sd[n], 0);
  for (int n = 1; n <= 20; ++n) EXPECT_EQ(sh[n], 77);

  // Scheme file present, step-count file absent: the step counts fall back.
  std::remove("k4.bin");
  ApiInit();
  EXPECT_EQ(sh, kDefaultSh);
  EXPECT_EQ(sd[1], 0);
}

TEST(SchemeLoading, DirectionBytesAndLittleEndianValues) {
  ScratchDir scratch;
  Bytes scheme(100, 0);
  const std::string dirs = "DUdD \x01UUDDDDDDDDDDDD";
  std::copy(dirs.begin(), dirs.end(), scheme.begin());
  scheme[20] = 0x07;                                                    // sm1 = 7
  scheme[24] = 0xFF, scheme[25] = 0xFF, scheme[26] = 0xFF, scheme[27] = 0xFF;  // sm2 = -1
  scheme[28] = 0x00, scheme[29] = 0x01;                                 // sm3 = 256
  WriteFile("k3.txt", scheme);
  cryptype = 1;
  ApiInit();
  const int expected_sd[] = {0, 0, 1, 1, 0, 1, 1, 1, 1};
  for (int n = 1; n <= 8; ++n) EXPECT_EQ(sd[n], expected_sd[n]) << n;
  EXPECT_EQ(sm[1], 7);
  EXPECT_EQ(sm[2], -1);
  EXPECT_EQ(sm[3], 256);

  // A short scheme file: missing bytes count as 0 (direction 1, value 0).
  WriteFile("k3.txt", std::string("DDD"));
  ApiInit();
  EXPECT_EQ(sd[3], 0);
  EXPECT_EQ(sd[4], 1);
  EXPECT_EQ(sd[20], 1);
  EXPECT_EQ(sm[1], 0);
  EXPECT_EQ(sm[20], 0);
}

TEST(SchemeLoading, StepCountFieldsReadLikeTwoCharacterLines) {
  ScratchDir scratch;
  cryptype = 1;
  // "00" and negative fields rise to 1; a line feed ends a field early; a
  // short file leaves its missing counts at 1.
  WriteFile("k4.txt", std::string("0001020304050607-599 5+35\n7"));
  ApiInit();
  const int expected[] = {0, 1, 1, 2, 3, 4, 5, 6, 7, 1, 99, 5, 3, 5, 7, 1, 1, 1, 1, 1, 1};
  for (int n = 1; n <= 20; ++n) EXPECT_EQ(sh[n], expected[n]) << "position " << n;
}

TEST(WheelLoading, RefusesMissingShortOrDamagedWheelFiles) {
  ScratchDir scratch;
  EXPECT_FALSE(PrepareCipher(Kind::binary));  // no file
  Bytes wheels;
  for (int n = 0; n < 20; ++n)
    for (int i = 0; i < 256; ++i) wheels.push_back(static_cast<uint8_t>(i + n));
  WriteFile("k1.bin", Bytes(wheels.begin(), wheels.end() - 1));
  EXPECT_FALSE(PrepareCipher(Kind::binary));  // one byte short
  Bytes damaged = wheels;
  damaged[4864 + 3] = damaged[4864 + 4];  // record 20 repeats a value
  WriteFile("k1.bin", damaged);
  EXPECT_FALSE(PrepareCipher(Kind::binary));
  WriteFile("k1.bin", wheels);
  ASSERT_TRUE(PrepareCipher(Kind::binary));
  EXPECT_EQ(w[20][0], 19);  // record 20 starts at offset 4864
  EXPECT_EQ(w[1][255], 255);

  // A text record must be the 151 text symbols: a tab is not one of them.
  Bytes text;
  ApiInit();
  for (int n = 0; n < 20; ++n) text.insert(text.end(), txa.begin(), txa.begin() + 151);
  WriteFile("k1.txt", text);
  EXPECT_TRUE(PrepareCipher(Kind::text));
  text[151 * 7 + 10] = '\t';
  WriteFile("k1.txt", text);
  EXPECT_FALSE(PrepareCipher(Kind::text));
}

TEST(WheelLoading, DamagedWheelsMakeOperationsBehaveAsIfKeysWereMissing) {
  ScratchDir scratch;
  ASSERT_EQ(TavGenTextKeys("wheel damage"), 0);
  Bytes wheels = ReadFile("k1.txt");
  wheels.resize(3019);
  WriteFile("k1.txt", wheels);
  char input[] = "hello";
  const std::string before(OutString);
  EXPECT_EQ(TavTEnc(input), input);
  EXPECT_EQ(input[0], 0);
  EXPECT_EQ(std::string(OutString), before);
}

}  // namespace
}  // namespace tav::test
