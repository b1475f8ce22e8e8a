// SPDX-License-Identifier: MIT
// The options object of the file operation: the knobs, with their defaults.
#pragma once

#include "tavsdk.h"

struct tav_options {
  bool decrypt = false;
  bool expanded = false;
  bool replace = false;
  bool source_mode = false;
  bool keep_times = false;
  bool durable = true;
  int workers = 0;  // 0: the library's default
  tav_progress_fn progress = nullptr;
  void* progress_context = nullptr;
};
