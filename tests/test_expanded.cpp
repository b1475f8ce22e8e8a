// SPDX-License-Identifier: MIT
// Expanded file operations: layout, fillers, decoding, pad key failures and
// large offsets.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/alphabet.hpp"
#include "engine/cipher.hpp"
#include "expanded/layout.hpp"
#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

namespace fs = std::filesystem;

struct Mode {
  const char* name;
  Kind kind;
  FileOp enc;
  FileOp dec;
  FileOp block_enc;
  const char* pad_file;
};

const Mode kModes[] = {
    {"text", Kind::text, FileOpsOf(Kind::text, true).enc, FileOpsOf(Kind::text, true).dec,
     FileOpsOf(Kind::text, false).enc, "k5.txt"},
    {"binary", Kind::binary, FileOpsOf(Kind::binary, true).enc, FileOpsOf(Kind::binary, true).dec,
     FileOpsOf(Kind::binary, false).enc, "k5.bin"},
};

void GenerateBoth() {
  ResetFlags();
  ASSERT_EQ(TavGenTextKeys("expanded files"), 0);
  ASSERT_EQ(TavGenBinaryKeys("expanded files"), 0);
}

// An expanded file cut into its units with the pad table of pad_file.
struct Units {
  std::vector<int64_t> starts;  // offset of each unit's ciphertext byte
  Bytes cipher;                 // the ciphertext bytes, in order
  Bytes fillers;                // every filler byte, in order
  int64_t full_size = 0;        // size of the untruncated file with these units
};

Units Split(const Bytes& expanded, const char* pad_file) {
  const PadTable pkey = PadFromFile(pad_file);
  Units u;
  int32_t pad = 0;
  for (int64_t at = 0; at < static_cast<int64_t>(expanded.size());) {
    u.starts.push_back(at);
    u.cipher.push_back(expanded[at]);
    pad = NextPadIndex(pad);
    const int64_t end = at + 1 + pkey[pad];
    for (int64_t i = at + 1; i < end && i < static_cast<int64_t>(expanded.size()); ++i) u.fillers.push_back(expanded[i]);
    at = end;
    u.full_size = end;
  }
  return u;
}

TEST(ExpandedFiles, RoundTripAndLayout) {
  ScratchDir scratch;
  GenerateBoth();
  for (const Mode& mode : kModes) {
    // 21234 units wrap the pad table; 300000 span many output regions.
    for (size_t size : {0, 1, 999, 1000, 1001, 2500, 21234, 300000}) {
      SCOPED_TRACE(std::string(mode.name) + " " + std::to_string(size));
      const Bytes plain = RandomBytes(size, static_cast<uint32_t>(size) + 3);
      WriteFile("plain", plain);
      std::strcpy(cmd, "untouched");
      ASSERT_EQ(mode.enc("plain", "expanded"), 0);
      ASSERT_EQ(mode.block_enc("plain", "block"), 0);
      const Bytes expanded = ReadFile("expanded");
      const Units units = Split(expanded, mode.pad_file);
      ASSERT_EQ(units.starts.size(), size);
      EXPECT_EQ(units.full_size, static_cast<int64_t>(expanded.size()));
      EXPECT_EQ(units.cipher, ReadFile("block"));
      ASSERT_EQ(mode.dec("expanded", "restored"), 0);
      EXPECT_EQ(ReadFile("restored"), plain);
      EXPECT_STREQ(cmd, "untouched");
    }
  }
}

TEST(ExpandedFiles, FillersAreUniformSymbolsOfTheAlphabet) {
  ScratchDir scratch;
  GenerateBoth();
  WriteFile("plain", RandomBytes(10000, 8));
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    ASSERT_EQ(mode.enc("plain", "expanded"), 0);
    const Units units = Split(ReadFile("expanded"), mode.pad_file);
    ASSERT_GT(units.fillers.size(), 150000u);
    std::array<size_t, 256> seen{};
    for (uint8_t b : units.fillers) ++seen[b];
    const int symbols = AlphabetSize(mode.kind);
    size_t least = SIZE_MAX, most = 0;
    for (int b = 0; b < 256; ++b) {
      const bool member = mode.kind == Kind::binary || kTextIndex[b] != kNotInAlphabet;
      if (!member) {
        EXPECT_EQ(seen[b], 0u) << "filler outside the alphabet: " << b;
        continue;
      }
      least = std::min(least, seen[b]);
      most = std::max(most, seen[b]);
    }
    // Some 1000 draws per symbol: a folded (modulo-biased) draw shows up as a
    // factor of two between symbols, chance alone stays far below 1.5.
    EXPECT_GT(least, 0u);
    EXPECT_LT(static_cast<double>(most), 1.5 * static_cast<double>(least)) << symbols << " symbols";
  }
}

// The AVX-512 path turns random words into the very text symbols the
// portable loop does, kept and dropped words alike: the extremes of each
// digit and of the range, and random words, in blocks of every keep pattern.
TEST(ExpandedFiles, TextFillerWordsBecomeTheSameSymbolsOnEveryPath) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "the vector form is x86-64's";
#else
  if (!engine::PathAvailable(engine::Path::avx512)) GTEST_SKIP() << "no AVX-512 VBMI here";
  const uint32_t top = expanded::kTextWordRange;
  std::vector<uint32_t> words = {0, 150, 151, 22800, 22801, 151u * 22801 - 1, top - 1, top, UINT32_MAX, top / 8 - 1,
                                 top / 8, top / 2};
  const Bytes noise = RandomBytes(4 * 4004, 9);  // 4032 words in all
  for (size_t i = 0; i + 4 <= noise.size(); i += 4) {
    uint32_t w;
    std::memcpy(&w, noise.data() + i, 4);
    words.push_back(i % 52 == 0 ? top + w % (UINT32_MAX - top) : w);  // some dropped in most blocks
  }
  words.insert(words.end(), 16, UINT32_MAX);  // a block with none kept
  for (const size_t count : {size_t{16}, size_t{48}, words.size()}) {
    Bytes portable(count * 4), avx512(count * 4);
    std::memcpy(portable.data(), words.data(), portable.size());
    avx512 = portable;
    const size_t kept = expanded::SymbolsInPlacePortable(portable.data(), portable.size()) - portable.data();
    const size_t vectors = avx512.size() & ~size_t{63};
    uint8_t* end = expanded::SymbolsInPlaceAvx512(avx512.data(), vectors);
    ASSERT_EQ(vectors, avx512.size());  // whole blocks of sixteen words
    EXPECT_EQ(static_cast<size_t>(end - avx512.data()), kept) << count;
    EXPECT_TRUE(std::equal(portable.begin(), portable.begin() + kept, avx512.begin())) << count;
  }
#endif
}

TEST(ExpandedFiles, EncryptionsDifferOnlyInTheirFillers) {
  ScratchDir scratch;
  GenerateBoth();
  WriteFile("plain", RandomBytes(3000, 4));
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    ASSERT_EQ(mode.enc("plain", "one"), 0);
    ASSERT_EQ(mode.enc("plain", "two"), 0);
    const Bytes one = ReadFile("one");
    const Bytes two = ReadFile("two");
    ASSERT_EQ(one.size(), two.size());
    const Units a = Split(one, mode.pad_file);
    const Units b = Split(two, mode.pad_file);
    EXPECT_EQ(a.cipher, b.cipher);
    EXPECT_NE(a.fillers, b.fillers);
  }
}

TEST(ExpandedFiles, DecoderReadsOnlyTheUnitStarts) {
  ScratchDir scratch;
  GenerateBoth();
  const Bytes plain = RandomBytes(2500, 6);
  WriteFile("plain", plain);
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    ASSERT_EQ(mode.enc("plain", "expanded"), 0);
    Bytes expanded = ReadFile("expanded");
    const Units units = Split(expanded, mode.pad_file);
    // Every filler overwritten: nothing changes.
    Bytes scribbled(expanded.size(), '"');
    for (size_t s = 0; s < units.starts.size(); ++s) scribbled[units.starts[s]] = units.cipher[s];
    WriteFile("scribbled", scribbled);
    ASSERT_EQ(mode.dec("scribbled", "restored"), 0);
    EXPECT_EQ(ReadFile("restored"), plain);
    // One ciphertext byte changed: exactly its own plain byte changes.
    const size_t unit = 1717;
    uint8_t& c = expanded[units.starts[unit]];
    if (mode.kind == Kind::binary) {
      c ^= 1;
    } else {
      const uint8_t index = kTextIndex[c];
      c = kTextAlphabet[index == kNotInAlphabet ? 0 : (index + 1) % kTextSize];
    }
    WriteFile("changed", expanded);
    ASSERT_EQ(mode.dec("changed", "restored"), 0);
    const Bytes restored = ReadFile("restored");
    ASSERT_EQ(restored.size(), plain.size());
    for (size_t i = 0; i < plain.size(); ++i) {
      if (i == unit) {
        EXPECT_NE(restored[i], plain[i]);
      } else {
        ASSERT_EQ(restored[i], plain[i]) << i;
      }
    }
  }
}

TEST(ExpandedFiles, TruncatedFileDecodesEveryStartedUnit) {
  ScratchDir scratch;
  GenerateBoth();
  const Bytes plain = RandomBytes(3000, 2);
  WriteFile("plain", plain);
  for (const Mode& mode : kModes) {
    ASSERT_EQ(mode.enc("plain", "expanded"), 0);
    const Bytes expanded = ReadFile("expanded");
    const Units units = Split(expanded, mode.pad_file);
    for (size_t m : {0, 1, 1000, 2999}) {
      const int64_t start = units.starts[m];
      // Cut just before unit m, just after its ciphertext byte, inside its run.
      const int64_t next = m + 1 < plain.size() ? units.starts[m + 1] : units.full_size;
      for (int64_t cut : {start, start + 1, (start + 1 + next) / 2}) {
        SCOPED_TRACE(std::string(mode.name) + " unit " + std::to_string(m) + " cut " + std::to_string(cut));
        WriteFile("cut", Bytes(expanded.begin(), expanded.begin() + cut));
        ASSERT_EQ(mode.dec("cut", "restored"), 0);
        const size_t started = cut > start ? m + 1 : m;
        EXPECT_EQ(ReadFile("restored"), Bytes(plain.begin(), plain.begin() + static_cast<ptrdiff_t>(started)));
      }
    }
  }
}

TEST(ExpandedFiles, MissingOrShortPadKeyFileActsAsMissingKeys) {
  ScratchDir scratch;
  WriteFile("plain", std::string("plain text"));
  for (const Mode& mode : kModes) {
    for (const char* pad_keys : {"", "010203040506070809", "0102\n"}) {
      for (const FileOp op : {mode.enc, mode.dec}) {
        SCOPED_TRACE(std::string(mode.name) + " pad keys \"" + pad_keys + "\"");
        GenerateBoth();
        if (*pad_keys == 0) {
          fs::remove(mode.pad_file);
        } else {
          WriteFile(mode.pad_file, std::string(pad_keys));
        }
        EXPECT_EQ(op("plain", "out"), 1);
        EXPECT_STREQ(cmd, mode.kind == Kind::text ? TAV_MSG_NO_TEXT_KEYS : TAV_MSG_NO_BINARY_KEYS);
        EXPECT_FALSE(Exists("out"));
        WriteFile("existing", std::string("keep me"));
        EXPECT_EQ(op("plain", "existing"), 1);
        const Bytes kept = ReadFile("existing");
        EXPECT_EQ(std::string(kept.begin(), kept.end()), "keep me");
      }
    }
  }
}

// An expanded file past 2 GiB, sparse but for its last units: their offsets
// do not fit 32 bits, and they must decode to what was planted there.
TEST(ExpandedFiles, DecodesUnitsBeyondTwoGibibytes) {
  ScratchDir scratch;
  GenerateBoth();
  // Hand-made pad keys with long runs (about 190 bytes a unit) keep the
  // number of units to decrypt, and so the time, down.
  WriteFile("k5.bin", std::string(20, '9'));
  const PadTable pkey = PadFromFile("k5.bin");
  constexpr int64_t kFrom = (int64_t{1} << 31) + 4321;
  constexpr size_t kPlanted = 5000;
  // Walk the units up to the planted ones.
  int32_t pad = 0;
  int64_t at = 0;
  uint64_t first = 0;
  for (; at < kFrom; ++first) {
    pad = NextPadIndex(pad);
    at += 1 + pkey[pad];
  }
  std::vector<int64_t> starts;
  int64_t size = at;
  for (size_t i = 0; i < kPlanted; ++i) {
    starts.push_back(size);
    pad = NextPadIndex(pad);
    size += 1 + pkey[pad];
  }
  size -= pkey[pad] / 2;  // the last run cut short

  const Bytes plain = RandomBytes(kPlanted, 12);
  static engine::Cipher c;
  const tav_keys& keys = CurrentKeys(Kind::binary);
  engine::CipherStart(c, keys.tables, 0);
  Bytes zeros(1000, 0);
  engine::CipherDecrypt(c, zeros.data(), zeros.size());  // what the empty units decode to
  engine::CipherStart(c, keys.tables, first);
  Bytes cipher = plain;
  engine::CipherEncrypt(c, cipher.data(), cipher.size());

  Bytes tail = RandomBytes(static_cast<size_t>(size - at), 13);
  for (size_t i = 0; i < kPlanted; ++i) tail[static_cast<size_t>(starts[i] - at)] = cipher[i];
  // Holes read back far faster from tmpfs than from a disk file system.
  std::string big = fs::is_directory("/dev/shm") ? "/dev/shm/tavsdk-big-XXXXXX" : scratch.path() + "/big-XXXXXX";
  const int fd = mkstemp(big.data());
  ASSERT_GE(fd, 0);
  struct Remove {
    std::string path;
    ~Remove() { unlink(path.c_str()); }
  } remove_big{big};
  ASSERT_EQ(ftruncate(fd, size), 0);
  ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), at), static_cast<ssize_t>(tail.size()));
  ASSERT_EQ(close(fd), 0);

  ASSERT_EQ(TavBExpandFileDec(big.c_str(), "restored"), 0);
  ASSERT_EQ(fs::file_size("restored"), first + kPlanted);
  std::ifstream in("restored", std::ios::binary);
  Bytes head(zeros.size()), last(kPlanted);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  in.seekg(static_cast<std::streamoff>(first));
  in.read(reinterpret_cast<char*>(last.data()), static_cast<std::streamsize>(last.size()));
  ASSERT_TRUE(in);
  EXPECT_EQ(head, zeros);
  EXPECT_EQ(last, plain);
}

// Conformance data: expanded files from another encoder decode exactly.
TEST(ExpandedFiles, DecodeConformanceFiles) {
  const std::string vectors = VectorsDir();
  ASSERT_TRUE(fs::is_directory(vectors)) << "no conformance data in " << vectors;
  ScratchDir scratch;
  int files = 0;
  for (const auto& entry : fs::directory_iterator(vectors + "/expanded")) {
    if (entry.path().extension() != ".expanded") continue;
    const std::string name = entry.path().stem();
    SCOPED_TRACE(name);
    const std::string set = name.substr(0, name.find('-'));
    const bool text = name.substr(set.size() + 1) == "text";
    const Bytes raw = ReadFile(vectors + "/keys/" + set + "/passphrase");
    const std::string passphrase(raw.begin(), raw.end());
    ASSERT_EQ(text ? TavGenTextKeys(passphrase.c_str()) : TavGenBinaryKeys(passphrase.c_str()), 0);
    fs::path plain = entry.path();
    plain.replace_extension(".plain");
    ASSERT_EQ((text ? TavTExpandFileDec : TavBExpandFileDec)(entry.path().c_str(), "restored"), 0);
    EXPECT_EQ(ReadFile("restored"), ReadFile(plain));
    ++files;
  }
  EXPECT_GE(files, 4);
}

}  // namespace
}  // namespace tav::test
