// SPDX-License-Identifier: MIT
// Expanded files. Decoding any file succeeds with one byte per unit the pad
// table fits into its size, each the block decryption of the unit's first
// byte. Encoding any file gives units of the table's sizes, text fillers from
// the alphabet, and decodes back.
#include "fuzz_support.hpp"
#include "tavsdk.h"

using namespace tav;
using namespace tav::fuzz;

namespace {

void CheckDecodeAny(const Operations& ops, const Bytes& input) {
  WriteFile("any", input);
  FUZZ_CHECK(ops.expand_dec("any", "decoded") == 0);
  const Bytes decoded = ReadFile("decoded");
  const Bytes starts = UnitStarts(ops.kind, input);
  FUZZ_CHECK(decoded.size() == starts.size());
  WriteFile("starts", starts);
  FUZZ_CHECK(ops.file_dec("starts", "block") == 0);
  FUZZ_CHECK(ReadFile("block") == decoded);
}

void CheckEncodeDecode(const Operations& ops, const Bytes& plain) {
  WriteFile("plain", plain);
  FUZZ_CHECK(ops.expand_enc("plain", "expanded") == 0);
  const Bytes expanded = ReadFile("expanded");
  const PadTable& pad = PadOf(ops.kind, false);
  size_t at = 0;
  for (size_t n = 1; n <= plain.size(); ++n) {
    const size_t fillers = static_cast<size_t>(pad[(n - 1) % kPadEntries + 1]);
    FUZZ_CHECK(at + 1 + fillers <= expanded.size());
    // In text the first byte of a unit may be a byte outside the alphabet,
    // passed through; the fillers never are.
    for (size_t i = at + 1; ops.kind == Kind::text && i <= at + fillers; ++i)
      FUZZ_CHECK(kTextIndex[expanded[i]] != kNotInAlphabet);
    at += 1 + fillers;
  }
  FUZZ_CHECK(at == expanded.size());
  // With the decoder checked against block decryption above, this also
  // proves the unit starts are the block ciphertext.
  FUZZ_CHECK(ops.expand_dec("expanded", "restored") == 0);
  FUZZ_CHECK(ReadFile("restored") == plain);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  EnterPrivateDir("expanded", *argc, *argv);
  GenerateBothKeys();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Operations& ops = OperationsOf(data[0] & 1 ? Kind::binary : Kind::text);
  const Bytes input(data + 1, data + size);
  CheckDecodeAny(ops, input);
  CheckEncodeDecode(ops, input);
  return 0;
}
