// SPDX-License-Identifier: MIT
// Destruction: wiping a file in place, shutting the keys down, plain removal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "legacy/state.hpp"
#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

const char* const kKeyFiles[] = {"k1.txt", "k1.bin", "k2.txt", "k2.bin", "k3.txt", "k3.bin",
                                 "k4.txt", "k4.bin", "k5.txt", "k5.bin", "k6.dat"};

bool AllEqual(const Bytes& data, uint8_t value) {
  return std::all_of(data.begin(), data.end(), [&](uint8_t b) { return b == value; });
}

template <class Array>
bool AllZero(const Array& a) {
  return std::all_of(std::begin(a), std::end(a), [](auto v) { return v == 0; });
}

TEST(KillFile, RefusesWhatItCannotWipe) {
  ScratchDir scratch;
  mkdir("dir", 0700);
  WriteFile("dir/inside", "keep");
  WriteFile("ro", "read only");
  chmod("ro", 0444);

  for (const char* path : {static_cast<const char*>(nullptr), "missing", "dir", "ro"}) {
    SCOPED_TRACE(path ? path : "null");
    std::strcpy(cmd, "before");
    Unprivileged user;
    EXPECT_EQ(TavKillFile(path), 2);
    EXPECT_STREQ(cmd, TAV_MSG_BAD_SOURCE);
  }
  EXPECT_FALSE(Exists("missing"));
  EXPECT_EQ(ReadFile("dir/inside"), Bytes({'k', 'e', 'e', 'p'}));
  EXPECT_EQ(ReadFile("ro"), Bytes({'r', 'e', 'a', 'd', ' ', 'o', 'n', 'l', 'y'}));
}

// A second link keeps the inode reachable after the removal and shows what
// the passes left on it: the wipe lands on the file's own data.
TEST(KillFile, OverwritesInPlaceThenRemoves) {
  ScratchDir scratch;
  for (size_t length : {size_t{0}, size_t{8191}, size_t{8192}, size_t{600000}}) {
    SCOPED_TRACE(length);
    WriteFile("f", RandomBytes(length, 1));
    ASSERT_EQ(link("f", "peer"), 0);
    std::strcpy(cmd, "before");
    EXPECT_EQ(TavKillFile("f"), 0);
    EXPECT_FALSE(Exists("f"));
    const Bytes left = ReadFile("peer");
    EXPECT_EQ(left.size(), (length / 8192 + 1) * 8192);
    EXPECT_TRUE(AllEqual(left, '`'));
    EXPECT_STREQ(cmd, "before");
    unlink("peer");
  }
}

TEST(Shutdown, OverwritesKeyFilesInPlaceDeletesThemAndClearsMemory) {
  ScratchDir scratch;
  ASSERT_EQ(TavGenTextKeys("first passphrase"), 0);
  ASSERT_EQ(TavGenBinaryKeys("second passphrase"), 0);
  char probe[] = "probe";
  ASSERT_EQ(TavTEnc(probe), OutString);
  for (const char* name : kKeyFiles) ASSERT_EQ(link(name, (std::string("peer-") + name).c_str()), 0) << name;

  EXPECT_EQ(TavShutdown(), 0);

  for (const char* name : kKeyFiles) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(Exists(name));
    const Bytes left = ReadFile(std::string("peer-") + name);
    EXPECT_EQ(left.size(), std::strstr(name, ".txt") ? 3020u : 5120u);
    EXPECT_TRUE(AllEqual(left, '@'));
  }
  EXPECT_EQ(TextSys, 0);
  EXPECT_EQ(BinSys, 0);
  // No key material is left in the library's memory.
  EXPECT_TRUE(AllZero(legacy::state.schedule));
  const auto* state = reinterpret_cast<const uint8_t*>(&legacy::state.keys);
  EXPECT_TRUE(std::all_of(state, state + sizeof legacy::state.keys, [](uint8_t b) { return b == 0; }));

  // Both alphabets refuse until keys are generated again.
  char text[] = "secret";
  EXPECT_EQ(TavTEnc(text), text);
  EXPECT_EQ(text[0], 0);
  char binary[] = "secret";
  EXPECT_EQ(TavBDec(binary), binary);
  EXPECT_EQ(binary[0], 0);
}

// Whatever ran before: full overwrite strings, and missing files skipped.
TEST(Shutdown, WritesFullStringsAndSkipsMissingFiles) {
  ScratchDir scratch;
  WriteFile("k2.txt", "202");
  WriteFile("k6.dat", std::string(40, '1'));
  WriteFile("k3.txt", RandomBytes(4000, 2));  // longer than 20 copies of the text string
  for (const char* name : {"k2.txt", "k6.dat", "k3.txt"})
    ASSERT_EQ(link(name, (std::string("peer-") + name).c_str()), 0) << name;

  EXPECT_EQ(TavShutdown(), 0);

  const Bytes k2 = ReadFile("peer-k2.txt");
  EXPECT_EQ(k2.size(), 3020u);
  EXPECT_TRUE(AllEqual(k2, '@'));
  const Bytes k6 = ReadFile("peer-k6.dat");
  EXPECT_EQ(k6.size(), 5120u);
  EXPECT_TRUE(AllEqual(k6, '@'));
  const Bytes k3 = ReadFile("peer-k3.txt");
  EXPECT_GE(k3.size(), 4000u);
  EXPECT_TRUE(AllEqual(k3, '@'));
  for (const char* name : kKeyFiles) EXPECT_FALSE(Exists(name)) << name;
}

TEST(Shutdown, DeletesKeyFilesItCannotOverwrite) {
  ScratchDir scratch;
  WriteFile("k1.txt", "wheels");
  chmod("k1.txt", 0444);
  mkdir("k1.bin", 0700);  // not a key file: left alone
  {
    Unprivileged user(0777);
    EXPECT_EQ(TavShutdown(), 0);
  }
  EXPECT_FALSE(Exists("k1.txt"));
  EXPECT_TRUE(Exists("k1.bin"));
}

TEST(KillTheFile, RemovesWithoutOverwriting) {
  ScratchDir scratch;
  WriteFile("f", "plain");
  ASSERT_EQ(link("f", "peer"), 0);
  EXPECT_EQ(KillTheFile("f"), 0);
  EXPECT_FALSE(Exists("f"));
  EXPECT_EQ(ReadFile("peer"), Bytes({'p', 'l', 'a', 'i', 'n'}));
  EXPECT_EQ(KillTheFile("f"), 2);
  EXPECT_EQ(KillTheFile(nullptr), 2);
}

}  // namespace
}  // namespace tav::test
