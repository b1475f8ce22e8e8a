// SPDX-License-Identifier: MIT
// Scramblers with any count and size over any file content. The status
// follows the documented argument rules; on 0 the file holds the described
// rearrangement and a second identical call restores it; on 4 and 5 it is
// unchanged; a path that is no usable file gives 2. The scratch file of the
// whole-file reversal never stays behind.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "fuzz_support.hpp"
#include "tavsdk.h"

using namespace tav;
using namespace tav::fuzz;

namespace {

constexpr const char* kFile = "data";

int ExpectedStatus(int count, int size, size_t length) {
  if (count == 0 || size > 5000) return 4;
  if (size <= 0 && count != 1) return 4;
  if (int64_t{count} * size > static_cast<int64_t>(length)) return 5;
  return 0;
}

Bytes Scrambled(Bytes data, int count, int size) {
  if (count == 1) {
    std::reverse(data.begin(), data.end());
  } else {
    for (int64_t i = 0; i < count; ++i) std::reverse(data.begin() + i * size, data.begin() + (i + 1) * size);
  }
  return data;
}

// The blocks of the pad table of k6.dat.
Bytes PadScrambled(Bytes data) {
  const PadTable& pad = PadOf(Kind::binary, true);
  size_t at = 0;
  for (int32_t n = 1;; n = n % kPadEntries + 1) {
    const auto block = static_cast<size_t>(pad[n]);
    if (at + block > data.size()) break;
    std::reverse(data.begin() + static_cast<ptrdiff_t>(at), data.begin() + static_cast<ptrdiff_t>(at + block));
    at += block;
  }
  return data;
}

void CheckScramble(int count, int size, const Bytes& content) {
  WriteFile(kFile, content);
  const int expected = ExpectedStatus(count, size, content.size());
  FUZZ_CHECK(TavScrambleFile(kFile, count, size) == expected);
  FUZZ_CHECK(!Exists("turnabot.dat"));
  if (expected != 0) {
    FUZZ_CHECK(ReadFile(kFile) == content);
    return;
  }
  FUZZ_CHECK(ReadFile(kFile) == (count < 0 ? content : Scrambled(content, count, size)));
  FUZZ_CHECK(TavScrambleFile(kFile, count, size) == 0);
  FUZZ_CHECK(!Exists("turnabot.dat"));
  FUZZ_CHECK(ReadFile(kFile) == content);
}

void CheckXScramble(const Bytes& content) {
  WriteFile(kFile, content);
  FUZZ_CHECK(TavXScrambleFile(kFile) == 0);
  FUZZ_CHECK(ReadFile(kFile) == PadScrambled(content));
  FUZZ_CHECK(TavXScrambleFile(kFile) == 0);
  FUZZ_CHECK(ReadFile(kFile) == content);
}

// No file to work on: a missing name, a directory, or no path at all.
void CheckNoFile(int how, int count, int size) {
  const char* path = how == 0 ? nullptr : "absent";
  if (how == 2) FUZZ_CHECK(mkdir("absent", 0700) == 0);
  FUZZ_CHECK(TavScrambleFile(path, count, size) == 2);
  FUZZ_CHECK(TavXScrambleFile(path) == 2);
  if (how == 2) Remove("absent");
}

int32_t Int32At(const uint8_t* p) {
  uint32_t v = 0;
  std::memcpy(&v, p, sizeof v);
  return static_cast<int32_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  EnterPrivateDir("scramble", *argc, *argv);
  GenerateBothKeys();
  return 0;
}

// Input: a selector byte, count and size (int32, little-endian), then the
// file content. Selector bit 7 takes count and size from their low byte and
// low two bytes (signed), which are the ranges where the file content matters.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHeader = 9;
  if (size < kHeader) return 0;
  const uint8_t selector = data[0];
  int count = Int32At(data + 1);
  int block = Int32At(data + 5);
  if (selector & 0x80) {
    count = static_cast<int8_t>(count);
    block = static_cast<int16_t>(block);
  }
  const Bytes content(data + kHeader, data + size);
  switch (selector % 5) {
    case 0:
    case 1:
      CheckScramble(count, block, content);
      break;
    case 2:
      // The whole-file reversal, whatever the size.
      CheckScramble(1, block, content);
      break;
    case 3:
      CheckXScramble(content);
      break;
    default:
      CheckNoFile(selector / 5 % 3, count, block);
      break;
  }
  return 0;
}
