// SPDX-License-Identifier: MIT
// String operations on arbitrary input: encryption keeps the length and the
// caller's buffer, passes bytes outside the text alphabet through, depends
// only on the position of each byte (a prefix encrypts to a prefix), and one
// decryption undoes it. Input of 8192 bytes or more is refused untouched.
#include <cstring>
#include <string>

#include "fuzz_support.hpp"
#include "tavsdk.h"

using namespace tav;
using namespace tav::fuzz;

namespace {

void CheckRefused(const Operations& ops, const std::string& input) {
  const std::string result_before(OutString, sizeof OutString);
  for (auto op : {ops.enc, ops.dec}) {
    std::string text = input;
    FUZZ_CHECK(op(text.data()) == text.data());
    FUZZ_CHECK(text == input);
    FUZZ_CHECK(std::memcmp(OutString, result_before.data(), sizeof OutString) == 0);
  }
}

void CheckRoundTrip(const Operations& ops, const std::string& input, size_t cut) {
  const size_t len = input.size();
  std::string text = input;
  FUZZ_CHECK(ops.enc(text.data()) == OutString);
  FUZZ_CHECK(text == input);
  FUZZ_CHECK(OutString[len] == 0);
  const std::string cipher(OutString, len);
  if (ops.kind == Kind::text) {
    FUZZ_CHECK(strlen(OutString) == len);
    for (size_t i = 0; i < len; ++i) {
      const auto in = static_cast<uint8_t>(input[i]);
      const auto out = static_cast<uint8_t>(cipher[i]);
      const bool symbol = kTextIndex[in] != kNotInAlphabet;
      FUZZ_CHECK(symbol ? kTextIndex[out] != kNotInAlphabet : out == in);
    }
  }

  std::string prefix = input.substr(0, cut);
  FUZZ_CHECK(ops.enc(prefix.data()) == OutString);
  FUZZ_CHECK(std::memcmp(OutString, cipher.data(), cut) == 0 && OutString[cut] == 0);

  // Decrypt in place in the result buffer. A binary ciphertext that holds a
  // 0 byte reads as the string before it, which decrypts to that prefix.
  std::memcpy(OutString, cipher.data(), len + 1);
  const size_t readable = strnlen(OutString, len);
  FUZZ_CHECK(ops.dec(OutString) == OutString);
  FUZZ_CHECK(strlen(OutString) == readable && input.compare(0, readable, OutString) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  EnterPrivateDir("strings", *argc, *argv);
  GenerateBothKeys();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A C string cannot hold a 0 byte: those become 0x01.
  std::string input(reinterpret_cast<const char*>(data), size);
  for (char& c : input)
    if (c == 0) c = 1;
  for (Kind kind : {Kind::text, Kind::binary}) {
    if (size >= sizeof OutString) {
      CheckRefused(OperationsOf(kind), input);
    } else {
      const size_t cut = size == 0 ? 0 : data[0] % (size + 1);
      CheckRoundTrip(OperationsOf(kind), input, cut);
    }
  }
  return 0;
}
