// SPDX-License-Identifier: MIT
// Key-file loading: the text alphabet, scheme and step-count parsing, wheels.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "keys/keyset.hpp"
#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

template <size_t N>
FileImage<N> Image(const std::string& text) {
  FileImage<N> image;
  image.present = true;
  image.size = std::min(text.size(), N);
  std::memcpy(image.bytes.data(), text.data(), image.size);
  return image;
}

keys::Loaded Load(tav_keys& k, Kind kind) {
  int error = 0;
  return keys::LoadCipher(k, kind, AT_FDCWD, Schedule{}, error);
}

TEST(Alphabets, TextAlphabetHoldsTheFixedSymbols) {
  const std::set<uint8_t> symbols(kTextAlphabet.begin(), kTextAlphabet.end());
  EXPECT_EQ(symbols.size(), 151u);
  EXPECT_EQ(symbols.count(0), 0u);
  EXPECT_EQ(kTextAlphabet[0], 0x22);
  EXPECT_EQ(kTextAlphabet[1], 0x0A);
  EXPECT_EQ(kTextAlphabet[2], ' ');
  EXPECT_EQ(kTextAlphabet[150], 0xFD);
  for (uint8_t outside : {0x00, 0x09, 0x0D, 0x7F, 0x80, 0xBE, 0xC6, 0xC7, 0xD0, 0xD7, 0xDE, 0xE6, 0xF0, 0xF7, 0xFE, 0xFF})
    EXPECT_EQ(symbols.count(outside), 0u) << int(outside);
  for (uint8_t inside : {0xE7, 0xDF, 0x5C, 0x60, 0x5F, 0xBF}) EXPECT_EQ(symbols.count(inside), 1u) << int(inside);
}

TEST(SchemeLoading, DirectionBytesAndShortFiles) {
  EXPECT_EQ(keys::Directions(FileImage<kSchemeBytes>{}), keys::kDefaultDirections);
  const auto sd = keys::Directions(Image<kSchemeBytes>("DUdD \x01UUDDDDDDDDDDDD"));
  const int expected_sd[] = {0, 0, 1, 1, 0, 1, 1, 1, 1};
  for (int n = 1; n <= 8; ++n) EXPECT_EQ(sd[n], expected_sd[n]) << n;
  // A short scheme file: missing bytes count as 0 (direction 1).
  const auto short_sd = keys::Directions(Image<kSchemeBytes>("DDD"));
  EXPECT_EQ(short_sd[3], 0);
  EXPECT_EQ(short_sd[4], 1);
  EXPECT_EQ(short_sd[20], 1);
}

TEST(SchemeLoading, StepCountFieldsReadLikeTwoCharacterLines) {
  EXPECT_EQ(keys::StepCounts(FileImage<kFieldBytes>{}), keys::kDefaultSteps);
  // "00" and negative fields rise to 1; a line feed ends a field early; a
  // short file leaves its missing counts at 1.
  const auto sh = keys::StepCounts(Image<kFieldBytes>("0001020304050607-599 5+35\n7"));
  const int expected[] = {0, 1, 1, 2, 3, 4, 5, 6, 7, 1, 99, 5, 3, 5, 7, 1, 1, 1, 1, 1, 1};
  for (int n = 1; n <= 20; ++n) EXPECT_EQ(sh[n], expected[n]) << "position " << n;
}

TEST(SchemeLoading, DefaultsApplyPerFileAndOnlyForTheAlphabetLoaded) {
  ScratchDir scratch;
  Bytes wheels;
  for (int n = 0; n < 20; ++n) wheels.insert(wheels.end(), kTextAlphabet.begin(), kTextAlphabet.end());
  WriteFile("k1.txt", wheels);
  // Binary files present must not influence a text set-up.
  WriteFile("k3.bin", std::string(100, 'D'));
  WriteFile("k4.bin", std::string(40, '7'));
  tav_keys k;
  ASSERT_EQ(Load(k, Kind::text), keys::Loaded::ok);
  EXPECT_FALSE(k.files.scheme.present);
  EXPECT_FALSE(k.files.steps.present);
  WriteFile("k3.txt", std::string(100, 'D'));
  ASSERT_EQ(Load(k, Kind::text), keys::Loaded::ok);
  EXPECT_TRUE(k.files.scheme.present);
  EXPECT_FALSE(k.files.steps.present);
  // Something that is not a readable regular file is damaged, never a default.
  ASSERT_EQ(mkdir("k4.txt", 0700), 0);
  EXPECT_EQ(Load(k, Kind::text), keys::Loaded::damaged);
}

TEST(WheelLoading, RefusesMissingShortOrDamagedWheelFiles) {
  ScratchDir scratch;
  tav_keys k;
  EXPECT_EQ(Load(k, Kind::binary), keys::Loaded::missing);
  Bytes wheels;
  for (int n = 0; n < 20; ++n)
    for (int i = 0; i < 256; ++i) wheels.push_back(static_cast<uint8_t>(i + n));
  WriteFile("k1.bin", Bytes(wheels.begin(), wheels.end() - 1));
  EXPECT_EQ(Load(k, Kind::binary), keys::Loaded::damaged);  // one byte short
  Bytes damaged = wheels;
  damaged[4864 + 3] = damaged[4864 + 4];  // record 20 repeats a value
  WriteFile("k1.bin", damaged);
  EXPECT_EQ(Load(k, Kind::binary), keys::Loaded::damaged);
  WriteFile("k1.bin", wheels);
  ASSERT_EQ(Load(k, Kind::binary), keys::Loaded::ok);
  EXPECT_EQ(k.files.wheels[4864], 19);  // record 20 starts at offset 4864
  EXPECT_EQ(k.tables.fwd[19][0], 19);

  // A text record must be the 151 text symbols: a tab is not one of them.
  Bytes text;
  for (int n = 0; n < 20; ++n) text.insert(text.end(), kTextAlphabet.begin(), kTextAlphabet.end());
  WriteFile("k1.txt", text);
  EXPECT_EQ(Load(k, Kind::text), keys::Loaded::ok);
  text[151 * 7 + 10] = '\t';
  WriteFile("k1.txt", text);
  EXPECT_EQ(Load(k, Kind::text), keys::Loaded::damaged);
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
