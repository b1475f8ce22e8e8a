// SPDX-License-Identifier: MIT
// Conformance data from an independent implementation: key files, key
// sequences, schedules, pad tables, string and file results.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "engine/cipher.hpp"
#include "engine/setup.hpp"
#include "keygen/keygen.hpp"
#include "ops/padtable.hpp"
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

std::vector<int64_t> PadTable() { return std::vector<int64_t>(pkey.begin() + 1, pkey.end()); }

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
      ASSERT_EQ(Generate(alphabet, Passphrase(vectors, name)), 0);
      for (const std::string& file : {"k1" + ext, "k2" + ext, "k3" + ext, "k4" + ext, "k5" + ext, std::string("k6.dat")}) {
        EXPECT_EQ(ReadFile(file), ReadFile(dir + "/" + file)) << file;
      }
      const auto digest = ReadNumbers(dir + "/digest.txt");
      ASSERT_EQ(digest.size(), 4312u);
      EXPECT_EQ(p, 4312);
      for (size_t i = 0; i < digest.size(); ++i) ASSERT_EQ(k[i + 1], digest[i]) << "k[" << i + 1 << "]";
      const auto schedule = ReadNumbers(dir + "/schedule.txt");
      EXPECT_EQ(std::vector<int64_t>(msterkey.begin() + 1, msterkey.end()), schedule);
      ASSERT_TRUE(LoadPadTable(("k5" + ext).c_str()));
      EXPECT_EQ(PadTable(), ReadNumbers(dir + "/padtable-k5-" + ext.substr(1) + ".txt"));
      ASSERT_TRUE(LoadPadTable("k6.dat"));
      EXPECT_EQ(PadTable(), ReadNumbers(dir + "/padtable-k6-dat.txt"));
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
      generated = alphabet + set;
    }
    const Bytes plain = FromHex(plain_hex);
    const Bytes expected = FromHex(cipher_hex);
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
      generated = alphabet + set;
    }
    const bool text = alphabet == "text";
    fs::path cipher = entry.path();
    cipher.replace_extension(".cipher");
    ASSERT_EQ((text ? TavTextFileEnc : TavBinaryFileEnc)(entry.path().c_str(), "out"), 0);
    EXPECT_EQ(ReadFile("out"), ReadFile(cipher));
    ASSERT_EQ((text ? TavTextFileDec : TavBinaryFileDec)(cipher.c_str(), "back"), 0);
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
    GenerateMsterKeys(seed.c_str());
    std::istringstream values(rest);
    std::vector<int64_t> expected;
    for (int64_t v; values >> v;) expected.push_back(v);
    EXPECT_EQ(std::vector<int64_t>(msterkey.begin() + 1, msterkey.end()), expected) << seed;
    EXPECT_EQ(mstrindex, 1);
    EXPECT_EQ(mstrshift, msterkey[1]);
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
    pkey.fill(-77);  // whatever the table held before must not matter
    ASSERT_TRUE(LoadPadTable(entry.path().c_str()));
    fs::path table = entry.path();
    EXPECT_EQ(PadTable(), ReadNumbers(table.replace_extension(".table")));
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
    itoa(value, width);
    EXPECT_EQ(std::string(numstr.data()), expected) << value << "," << width;
    ++rows;
  }
  EXPECT_GE(rows, 5);
}

}  // namespace
}  // namespace tav::test
