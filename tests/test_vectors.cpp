// SPDX-License-Identifier: MIT
// Conformance data from an independent implementation: key files, key
// sequences, schedules, pad tables, string and file results.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "keygen/keygen.hpp"
#include "keys/keyset.hpp"
#include "legacy/state.hpp"
#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

namespace fs = std::filesystem;

#define REQUIRE_VECTORS()                 \
  const std::string vectors = VectorsDir(); \
  ASSERT_TRUE(fs::is_directory(vectors)) << "no conformance data in " << vectors

std::vector<int64_t> ReadNumbers(const std::string& path) {
  std::ifstream in(path);
  std::vector<int64_t> out;
  for (int64_t v; in >> v;) out.push_back(v);
  return out;
}

std::string Passphrase(const std::string& vectors, const std::string& set) {
  const Bytes raw = ReadFile(vectors + "/keys/" + set + "/passphrase");
  return std::string(raw.begin(), raw.end());
}

int Generate(const std::string& alphabet, const std::string& passphrase) {
  return alphabet == "text" ? TavGenTextKeys(passphrase.c_str()) : TavGenBinaryKeys(passphrase.c_str());
}

std::vector<int64_t> Entries(const std::array<int32_t, 20001>& table) {
  return std::vector<int64_t>(table.begin() + 1, table.end());
}

// A key set of the core interface; freed with the test.
struct Keys {
  tav_keys* k = nullptr;
  Keys(const std::string& alphabet, const std::string& passphrase) {
    EXPECT_EQ(tav_keys_new(&k, alphabet == "text" ? TAV_TEXT : TAV_BINARY, passphrase.data(), passphrase.size()),
              TAV_OK);
  }
  ~Keys() { tav_keys_free(k); }
};

TEST(Vectors, KeyGenerationReproducesEveryKeyFileAndTable) {
  REQUIRE_VECTORS();
  int checked = 0;
  for (const auto& set : fs::directory_iterator(vectors + "/keys")) {
    const std::string name = set.path().filename();
    for (const char* alphabet_name : {"text", "binary"}) {
      const std::string alphabet = alphabet_name;
      SCOPED_TRACE(name + "/" + alphabet);
      const std::string dir = set.path().string() + "/" + alphabet;
      const std::string ext = alphabet == "text" ? ".txt" : ".bin";
      ScratchDir scratch;
      ResetFlags();
      // The process-wide generation writes the files; the core's key set
      // holds the same, and saves it byte for byte.
      const std::string passphrase = Passphrase(vectors, name);
      ASSERT_EQ(Generate(alphabet, passphrase), 0);
      Keys keys(alphabet, passphrase);
      ASSERT_EQ(mkdir("saved", 0700), 0);
      const int saved = open("saved", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ASSERT_EQ(tav_keys_save(keys.k, saved, nullptr), TAV_OK);
      close(saved);
      for (const std::string& file : {"k1" + ext, "k2" + ext, "k3" + ext, "k4" + ext, "k5" + ext, std::string("k6.dat")}) {
        EXPECT_EQ(ReadFile(file), ReadFile(dir + "/" + file)) << file;
        EXPECT_EQ(ReadFile("saved/" + file), ReadFile(dir + "/" + file)) << file;
      }
      const auto digest = ReadNumbers(dir + "/digest.txt");
      ASSERT_EQ(digest.size(), 4312u);
      KeySequence seq;
      ASSERT_TRUE(GenSetup(alphabet == "text" ? Kind::text : Kind::binary,
                           reinterpret_cast<const uint8_t*>(passphrase.data()), passphrase.size(), seq));
      EXPECT_EQ(seq.p, 4312);
      for (size_t i = 0; i < digest.size(); ++i) ASSERT_EQ(seq.k[i + 1], digest[i]) << "k[" << i + 1 << "]";
      const auto schedule = ReadNumbers(dir + "/schedule.txt");
      EXPECT_EQ(std::vector<int64_t>(legacy::state.schedule.begin() + 1, legacy::state.schedule.end()), schedule);
      EXPECT_EQ(std::vector<int64_t>(keys.k->tables.schedule.begin() + 1, keys.k->tables.schedule.end()), schedule);
      ASSERT_TRUE(keys.k->has_pad && keys.k->has_scramble_pad);
      EXPECT_EQ(Entries(keys.k->pad), ReadNumbers(dir + "/padtable-k5-" + ext.substr(1) + ".txt"));
      EXPECT_EQ(Entries(keys.k->scramble_pad), ReadNumbers(dir + "/padtable-k6-dat.txt"));
      ++checked;
    }
  }
  EXPECT_GE(checked, 14);
}

TEST(Vectors, StringOperations) {
  REQUIRE_VECTORS();
  std::ifstream in(vectors + "/strings.tsv");
  std::string line;
  std::getline(in, line);  // header
  ScratchDir scratch;
  std::string generated;
  std::unique_ptr<Keys> keys;
  int rows = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string alphabet, set, plain_hex, cipher_hex;
    std::getline(fields, alphabet, '\t');
    std::getline(fields, set, '\t');
    std::getline(fields, plain_hex, '\t');
    std::getline(fields, cipher_hex, '\t');
    SCOPED_TRACE(alphabet + "/" + set + " " + plain_hex.substr(0, 16));
    if (generated != alphabet + set) {
      ASSERT_EQ(Generate(alphabet, Passphrase(vectors, set)), 0);
      keys = std::make_unique<Keys>(alphabet, Passphrase(vectors, set));
      generated = alphabet + set;
    }
    const Bytes plain = FromHex(plain_hex);
    const Bytes expected = FromHex(cipher_hex);
    // The core on buffers: 0 bytes and all, and back.
    Bytes core(plain.size());
    ASSERT_EQ(tav_block_encrypt(keys->k, 0, plain.data(), core.data(), core.size()), TAV_OK);
    EXPECT_EQ(core, expected);
    ASSERT_EQ(tav_block_decrypt(keys->k, 0, core.data(), core.data(), core.size()), TAV_OK);
    EXPECT_EQ(core, plain);
    std::string input(plain.begin(), plain.end());
    const bool text = alphabet == "text";
    char* result = text ? TavTEnc(input.data()) : TavBEnc(input.data());
    ASSERT_EQ(result, OutString);
    EXPECT_EQ(Bytes(OutString, OutString + plain.size()), expected);
    EXPECT_EQ(OutString[plain.size()], 0);
    if (std::find(expected.begin(), expected.end(), 0) == expected.end()) {
      std::string cipher(expected.begin(), expected.end());
      result = text ? TavTDec(cipher.data()) : TavBDec(cipher.data());
      EXPECT_EQ(Bytes(result, result + plain.size()), plain);
    }
    ++rows;
  }
  EXPECT_GE(rows, 70);
}

// Block encryption of every sample file through the public operations, on the
// engine path TAVSDK_CPU selects (ctest runs these once per path).
TEST(Vectors, BlockFiles) {
  REQUIRE_VECTORS();
  ScratchDir scratch;
  std::string generated;
  std::unique_ptr<Keys> keys;
  int files = 0;
  for (const auto& entry : fs::directory_iterator(vectors + "/files")) {
    const std::string name = entry.path().filename();
    if (entry.path().extension() != ".plain") continue;
    std::istringstream parts(name);
    std::string set, alphabet;
    std::getline(parts, set, '-');
    std::getline(parts, alphabet, '-');
    SCOPED_TRACE(name);
    if (generated != alphabet + set) {
      ASSERT_EQ(Generate(alphabet, Passphrase(vectors, set)), 0);
      keys = std::make_unique<Keys>(alphabet, Passphrase(vectors, set));
      generated = alphabet + set;
    }
    const bool text = alphabet == "text";
    fs::path cipher = entry.path();
    cipher.replace_extension(".cipher");
    ASSERT_EQ((text ? TavTextFileEnc : TavBinaryFileEnc)(entry.path().c_str(), "out"), 0);
    EXPECT_EQ(ReadFile("out"), ReadFile(cipher));
    ASSERT_EQ((text ? TavTextFileDec : TavBinaryFileDec)(cipher.c_str(), "back"), 0);
    EXPECT_EQ(ReadFile("back"), ReadFile(entry.path()));
    ASSERT_EQ(tav_file_encrypt_at(keys->k, AT_FDCWD, entry.path().c_str(), AT_FDCWD, "out", TAV_REPLACE, nullptr,
                                  nullptr, nullptr),
              TAV_OK);
    EXPECT_EQ(ReadFile("out"), ReadFile(cipher));
    ASSERT_EQ(tav_file_decrypt_at(keys->k, AT_FDCWD, cipher.c_str(), AT_FDCWD, "back", TAV_REPLACE, nullptr,
                                  nullptr, nullptr),
              TAV_OK);
    EXPECT_EQ(ReadFile("back"), ReadFile(entry.path()));
    ++files;
  }
  EXPECT_GE(files, 50);
}

TEST(Vectors, MasterSchedules) {
  REQUIRE_VECTORS();
  std::ifstream in(vectors + "/schedules.tsv");
  std::string seed, rest;
  int rows = 0;
  while (std::getline(in, seed, '\t') && std::getline(in, rest)) {
    Schedule schedule{};
    GenerateMsterKeys(seed.c_str(), schedule);
    std::istringstream values(rest);
    std::vector<int64_t> expected;
    for (int64_t v; values >> v;) expected.push_back(v);
    EXPECT_EQ(std::vector<int64_t>(schedule.begin() + 1, schedule.end()), expected) << seed;
    ++rows;
  }
  EXPECT_GE(rows, 5);
}

TEST(Vectors, PadTables) {
  REQUIRE_VECTORS();
  int tables = 0;
  for (const auto& entry : fs::directory_iterator(vectors + "/padtables")) {
    if (entry.path().extension() != ".fields") continue;
    SCOPED_TRACE(entry.path().filename().string());
    PadTable pad;
    pad.fill(-77);  // whatever the table held before must not matter
    const Bytes fields = ReadFile(entry.path());
    ASSERT_TRUE(BuildPadTable(fields.data(), std::min<size_t>(fields.size(), 40), pad));
    fs::path table = entry.path();
    EXPECT_EQ(Entries(pad), ReadNumbers(table.replace_extension(".table")));
    ++tables;
  }
  EXPECT_GE(tables, 5);
}

TEST(Vectors, DecimalFormatter) {
  REQUIRE_VECTORS();
  std::ifstream in(vectors + "/itoa.tsv");
  int32_t value, width;
  std::string expected;
  int rows = 0;
  while (in >> value >> width >> expected) {
    EXPECT_EQ(std::string(itoa(value, width).data()), expected) << value << "," << width;
    ++rows;
  }
  EXPECT_GE(rows, 5);
}

}  // namespace
}  // namespace tav::test
