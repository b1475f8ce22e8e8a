// SPDX-License-Identifier: MIT
// The process-wide state, its exported variables and its key loading.
#include "legacy/state.hpp"

#include <fcntl.h>

#include <cstring>

#include "common/wipe.hpp"
#include "tavsdk.h"

extern "C" {
TAVSDK_API char cmd[500];
TAVSDK_API char OutString[8192];
TAVSDK_API int TextSys = 0;
TAVSDK_API int BinSys = 0;
}

namespace tav::legacy {

State state;

void SetMessage(const char* text) {
  std::strncpy(cmd, text, sizeof cmd - 1);
  cmd[sizeof cmd - 1] = 0;
}

const char* KeyMessage(Kind kind) { return kind == Kind::text ? TAV_MSG_NO_TEXT_KEYS : TAV_MSG_NO_BINARY_KEYS; }

bool LoadKeys(Kind kind) {
  const int flag = kind == Kind::text ? TextSys : BinSys;
  int error = 0;
  return flag != 0 && keys::LoadCipher(state.keys, kind, AT_FDCWD, state.schedule, error) == keys::Loaded::ok;
}

void ClearKeys() {
  tav_keys& k = state.keys;
  SecureZeroObject(k.files);
  SecureZeroObject(k.tables);
  if (k.has_pad) SecureZeroObject(k.pad);
  if (k.has_scramble_pad) SecureZeroObject(k.scramble_pad);
  k.has_pad = false;
  k.has_scramble_pad = false;
}

}  // namespace tav::legacy
