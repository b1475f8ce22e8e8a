// SPDX-License-Identifier: MIT
// Key generation: digest, wheel generation, derived key files, schedule, and
// the handling of unusual passphrases and unwritable key files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "keygen/keygen.hpp"
#include "legacy/state.hpp"
#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

const Schedule& Master() { return legacy::state.schedule; }

int Generate(Kind kind, const char* passphrase) {
  return kind == Kind::text ? TavGenTextKeys(passphrase) : TavGenBinaryKeys(passphrase);
}

KeySequence Digest(Kind kind, const std::string& passphrase) {
  KeySequence seq;
  EXPECT_TRUE(GenSetup(kind, reinterpret_cast<const uint8_t*>(passphrase.data()), passphrase.size(), seq));
  return seq;
}

uint64_t Fnv1a(const Bytes& data) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (uint8_t b : data) h = (h ^ b) * 0x100000001b3ull;
  return h;
}


// Known results of an independent implementation, so that the key format is
// pinned even where the full conformance data is not at hand.
TEST(KeyGeneration, MatchesKnownKeyFiles) {
  struct Known {
    const char* passphrase;
    Kind kind;
    uint64_t k1, k3, k4, k5, k6;
    int32_t first_dwells[3];
  };
  const Known known[] = {
      {"Hello", Kind::text, 0x553aef31c252b6b1, 0xff2f837ad0c520bc, 0x1308e3a15f4e51b2, 0xa187f59d21e32842,
       0xaeca2ec8ae5cff52, {33, 34, 37}},
      {"Hello", Kind::binary, 0xa63c70811ddb843d, 0xff2f837ad0c520bc, 0x1308e3a15f4e51b2, 0xa187f59d21e32842,
       0xaeca2ec8ae5cff52, {33, 34, 37}},
      // Short, with bytes of 128 and more: negative key-sequence entries.
      {"\xc3\x9cn\xc3\xaf" "c\xc3\xb6" "d\xc3\xa9 pass", Kind::text, 0xab84e220ab272af1, 0x1ea56265a29883a4,
       0x2ace0e9e66514617, 0x98906fca7793367, 0xf84b7292b688da20, {31, 31, 33}},
      {"\xc3\x9cn\xc3\xaf" "c\xc3\xb6" "d\xc3\xa9 pass", Kind::binary, 0xb4398e037bf56eaf, 0x1ea56265a29883a4,
       0x2ace0e9e66514617, 0x98906fca7793367, 0xf84b7292b688da20, {31, 31, 33}},
  };
  for (const Known& c : known) {
    ScratchDir scratch;
    const std::string ext = c.kind == Kind::text ? ".txt" : ".bin";
    ASSERT_EQ(Generate(c.kind, c.passphrase), 0);
    EXPECT_EQ(Fnv1a(ReadFile("k1" + ext)), c.k1) << ext;
    EXPECT_EQ(ReadFile("k2" + ext), Bytes({'2', '0', '2'}));
    EXPECT_EQ(Fnv1a(ReadFile("k3" + ext)), c.k3);
    EXPECT_EQ(Fnv1a(ReadFile("k4" + ext)), c.k4);
    EXPECT_EQ(Fnv1a(ReadFile("k5" + ext)), c.k5);
    EXPECT_EQ(Fnv1a(ReadFile("k6.dat")), c.k6);
    EXPECT_EQ(Master()[1], c.first_dwells[0]);
    EXPECT_EQ(Master()[2], c.first_dwells[1]);
    EXPECT_EQ(Master()[3], c.first_dwells[2]);
  }
}

TEST(KeyGeneration, WritesWellFormedFilesWithOwnerOnlyPermissions) {
  for (Kind kind : {Kind::text, Kind::binary}) {
    ScratchDir scratch;
    const std::string ext = kind == Kind::text ? ".txt" : ".bin";
    const size_t record = kind == Kind::text ? 151 : 256;
    // An older, longer, world-readable key file is replaced entirely.
    WriteFile("k1" + ext, Bytes(9000, 'x'));
    ASSERT_EQ(chmod(("k1" + ext).c_str(), 0644), 0);
    ResetFlags();
    ASSERT_EQ(Generate(kind, "a passphrase of more than eighteen characters"), 0);
    EXPECT_EQ(kind == Kind::text ? TextSys : BinSys, 1);
    for (const std::string& name : {"k1" + ext, "k2" + ext, "k3" + ext, "k4" + ext, "k5" + ext, std::string("k6.dat")}) {
      struct stat st {};
      ASSERT_EQ(stat(name.c_str(), &st), 0) << name;
      EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }
    const Bytes wheels = ReadFile("k1" + ext);
    ASSERT_EQ(wheels.size(), 20 * record);
    std::set<uint8_t> symbols(kTextAlphabet.begin(), kTextAlphabet.end());
    if (kind == Kind::binary)
      for (int i = 0; i < 256; ++i) symbols.insert(static_cast<uint8_t>(i));
    for (size_t n = 0; n < 20; ++n) {
      const std::set<uint8_t> entries(wheels.begin() + static_cast<long>(n * record),
                                      wheels.begin() + static_cast<long>((n + 1) * record));
      EXPECT_EQ(entries, symbols) << "record " << n + 1;
    }
    const Bytes scheme = ReadFile("k3" + ext);
    ASSERT_EQ(scheme.size(), 100u);
    // Every base character of a long passphrase is a digit: all directions down.
    EXPECT_TRUE(std::all_of(scheme.begin(), scheme.begin() + 20, [](uint8_t b) { return b == 'D'; }));
    const std::set<std::string> steps = {"01", "02", "03", "04", "05", "06", "07"};
    const std::set<std::string> pads = {"08", "09", "10", "11", "12", "13", "14", "20", "21", "22"};
    for (const auto& [name, allowed] : {std::pair{"k4" + ext, &steps}, {"k5" + ext, &pads}, {std::string("k6.dat"), &pads}}) {
      const Bytes fields = ReadFile(name);
      ASSERT_EQ(fields.size(), 40u) << name;
      for (size_t i = 0; i < 40; i += 2)
        EXPECT_EQ(allowed->count(std::string(fields.begin() + static_cast<long>(i), fields.begin() + static_cast<long>(i) + 2)), 1u) << name;
    }
    for (int i = 1; i <= 200; ++i) {
      EXPECT_GE(Master()[i], 10);
      EXPECT_LE(Master()[i], 177);
    }
  }
}

TEST(KeyGeneration, OnlyTheFirstEighteenCharactersAndTheirDigitsMatter) {
  auto keys_of = [](const char* passphrase) {
    ScratchDir scratch;
    EXPECT_EQ(TavGenBinaryKeys(passphrase), 0);
    return ReadFile("k1.bin");
  };
  const Bytes base = keys_of("abcdefghijklmnopqr");
  // Same first 18 characters; and 'a' (97) and 'X' (88) share the digit 7.
  EXPECT_EQ(keys_of("abcdefghijklmnopqrSTUVWXYZ"), base);
  EXPECT_EQ(keys_of("Xbcdefghijklmnopqr"), base);
  EXPECT_EQ(keys_of(std::string(200, 'z').c_str()), keys_of(std::string(18, 'z').c_str()));
  EXPECT_NE(keys_of("abcdefghijklmnopqs"), base);
  // Short passphrases repeat their unconverted characters: 'a' and 'X' differ.
  EXPECT_NE(keys_of("a"), keys_of("X"));
  EXPECT_EQ(Digest(Kind::binary, "a").p, kKeySequenceLength);
}

TEST(KeyGeneration, EmptyOrNullPassphraseChangesNothing) {
  ScratchDir scratch;
  ASSERT_EQ(TavGenTextKeys("first"), 0);
  const Bytes wheels = ReadFile("k1.txt");
  const auto schedule = Master();
  for (const char* empty : {"", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(TavGenTextKeys(empty), 1);
    EXPECT_EQ(TavGenBinaryKeys(empty), 1);
  }
  EXPECT_EQ(ReadFile("k1.txt"), wheels);
  EXPECT_FALSE(Exists("k1.bin"));
  EXPECT_EQ(Master(), schedule);
  EXPECT_EQ(TextSys, 1);
}

TEST(KeyGeneration, UnwritableKeyFileFailsAndLowersTheFlag) {
  ScratchDir scratch;
  ASSERT_EQ(TavGenTextKeys("good keys"), 0);
  ASSERT_EQ(TextSys, 1);
  // A directory where a key file belongs cannot be opened for writing.
  ASSERT_EQ(std::remove("k4.txt"), 0);
  ASSERT_EQ(mkdir("k4.txt", 0700), 0);
  const auto schedule = Master();
  EXPECT_EQ(TavGenTextKeys("other keys"), 2);
  EXPECT_EQ(TextSys, 0);
  EXPECT_EQ(Master(), schedule);  // not rebuilt from half-written keys
  char input[] = "secret";
  EXPECT_EQ(TavTEnc(input), input);  // refused like missing keys
  EXPECT_EQ(input[0], 0);
  ASSERT_EQ(rmdir("k4.txt"), 0);
  EXPECT_EQ(TavGenTextKeys("other keys"), 0);
  EXPECT_EQ(TextSys, 1);
}

TEST(KeyGeneration, AlphabetsKeepTheirOwnFilesButShareTheRest) {
  ScratchDir scratch;
  ASSERT_EQ(TavGenTextKeys("text passphrase"), 0);
  const Bytes text_wheels = ReadFile("k1.txt");
  ASSERT_EQ(TavGenBinaryKeys("binary passphrase"), 0);
  const Bytes k6_binary = ReadFile("k6.dat");
  const auto schedule = Master();
  EXPECT_EQ(ReadFile("k1.txt"), text_wheels);
  ASSERT_EQ(TavGenBinaryKeys("binary passphrase"), 0);  // deterministic
  EXPECT_EQ(ReadFile("k6.dat"), k6_binary);
  EXPECT_EQ(Master(), schedule);
  ASSERT_EQ(TavGenTextKeys("text passphrase"), 0);
  EXPECT_EQ(ReadFile("k1.txt"), text_wheels);
  EXPECT_NE(ReadFile("k6.dat"), k6_binary);
}

TEST(Digest, SequenceShapeAndFinalPass) {
  // Base string "928673" + "Zebra~" + "Zebra~": k[1] is base character 1,
  // k[18] character 0, and the repeated part is unconverted.
  const KeySequence text = Digest(Kind::text, "Zebra~");
  EXPECT_EQ(text.k[1], '2');
  EXPECT_EQ(text.k[18], '9');
  EXPECT_EQ(text.k[4], 'e');
  for (int i = 2; i <= 4312; ++i) {
    EXPECT_GE(text.k[i], 1);
    EXPECT_LE(text.k[i], 150);
  }
  const KeySequence binary = Digest(Kind::binary, "Zebra~");
  int above = 0;
  for (int i = 1; i <= 4312; ++i) above += binary.k[i] > 150;
  EXPECT_GT(above, 0);  // the binary digest is not reduced
}

TEST(Digest, DecimalFormatterWidths) {
  const std::pair<std::pair<int, int>, const char*> cases[] = {
      {{7, 2}, "07"}, {{7, 3}, "07"}, {{42, 3}, "042"}, {{420, 3}, "420"}, {{25, 2}, "25"}, {{-5, 3}, "0-5"}, {{1000, 3}, "1000"}};
  for (const auto& [args, text] : cases) {
    EXPECT_STREQ(itoa(args.first, args.second).data(), text) << args.first << "," << args.second;
  }
}

}  // namespace
}  // namespace tav::test
