// SPDX-License-Identifier: MIT
#include <cstring>

#include "engine/setup.hpp"
#include "ops/ops.hpp"
#include "tavsdk.h"

extern "C" {
TAVSDK_API char cmd[500];
TAVSDK_API char OutString[8192];
}

namespace tav::ops {

void SetMessage(const char* text) {
  std::strncpy(cmd, text, sizeof cmd - 1);
  cmd[sizeof cmd - 1] = 0;
}

const char* KeyMessage(Kind kind) { return kind == Kind::text ? TAV_MSG_NO_TEXT_KEYS : TAV_MSG_NO_BINARY_KEYS; }

bool PrepareKeys(Kind kind) {
  const int flag = kind == Kind::text ? TextSys : BinSys;
  return flag != 0 && PrepareCipher(kind);
}

}  // namespace tav::ops
