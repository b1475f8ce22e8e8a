// SPDX-License-Identifier: MIT
#include <cstring>

#include "engine/cipher.hpp"
#include "ops/ops.hpp"
#include "tavsdk.h"

namespace tav::ops {

static char* StringOperation(char* text, Kind kind, bool decrypt) {
  if (text == nullptr) return nullptr;
  if (!PrepareKeys(kind)) {
    text[0] = 0;
    return text;
  }
  // Longer input would not fit the result; it is refused rather than cut.
  const size_t len = strnlen(text, sizeof OutString);
  if (len == sizeof OutString) return text;
  // The input may be OutString itself, or overlap it.
  std::memmove(OutString, text, len);
  OutString[len] = 0;
  engine::CipherInit(engine::cipher, kind);
  auto* data = reinterpret_cast<uint8_t*>(OutString);
  if (decrypt) {
    engine::CipherDecrypt(engine::cipher, data, len);
  } else {
    engine::CipherEncrypt(engine::cipher, data, len);
  }
  return OutString;
}

}  // namespace tav::ops

extern "C" {

TAVSDK_API char* TavTEnc(char* text) { return tav::ops::StringOperation(text, tav::Kind::text, false); }
TAVSDK_API char* TavTDec(char* text) { return tav::ops::StringOperation(text, tav::Kind::text, true); }
TAVSDK_API char* TavBEnc(char* text) { return tav::ops::StringOperation(text, tav::Kind::binary, false); }
TAVSDK_API char* TavBDec(char* text) { return tav::ops::StringOperation(text, tav::Kind::binary, true); }

}
