// SPDX-License-Identifier: MIT
// The options object of the file operation: the knobs, with their defaults.
#pragma once

#include "tavsdk.h"

struct tav_options {
  bool expanded() const { return mode == 1; }
  bool decrypt = false;
  int mode = 0;  // TAV_OPTION_EXPANDED: 0 block, 1 expanded, 2 by the suffix (folder decryption)
  bool replace = false;
  bool source_mode = false;
  bool keep_times = false;
  bool durable = true;
  int workers = 0;  // 0: the library's default
  // Folder jobs:
  int files = 0;  // files at once; 0: the CPUs
  bool wipe_source = false;
  bool resume = false;
  bool fail_fast = false;
  tav_progress_fn progress = nullptr;
  void* progress_context = nullptr;
};
