// SPDX-License-Identifier: MIT
// Options of the file operation: set one at a time by name, so that the
// object can grow without the callers knowing its layout.
#include "core/options.hpp"

#include "common/workers.hpp"
#include "core/objects.hpp"

namespace {

constexpr int64_t kMaxFiles = tav::workers::kMaxWorkers;  // the threads one call may run

bool* Flag(tav_options& o, int option) {
  switch (option) {
    case TAV_OPTION_DECRYPT: return &o.decrypt;
    case TAV_OPTION_REPLACE: return &o.replace;
    case TAV_OPTION_SOURCE_MODE: return &o.source_mode;
    case TAV_OPTION_KEEP_TIMES: return &o.keep_times;
    case TAV_OPTION_DURABLE: return &o.durable;
    case TAV_OPTION_WIPE_SOURCE: return &o.wipe_source;
    case TAV_OPTION_RESUME: return &o.resume;
    case TAV_OPTION_FAIL_FAST: return &o.fail_fast;
    case TAV_OPTION_EXPANDED:
    case TAV_OPTION_WORKERS:
    case TAV_OPTION_FILES: break;
  }
  return nullptr;
}

}  // namespace

extern "C" {

TAVSDK_API tav_status tav_options_new(tav_options** options) {
  if (options == nullptr) return TAV_BAD_ARGUMENT;
  *options = tav::core::Make<tav_options>();
  return *options != nullptr ? TAV_OK : TAV_NO_MEMORY;
}

TAVSDK_API tav_status tav_options_set(tav_options* options, int option, int64_t value) {
  if (options == nullptr) return TAV_BAD_ARGUMENT;
  if (option == TAV_OPTION_WORKERS) {
    if (value < 0 || value > tav::workers::kMaxWorkers) return TAV_BAD_ARGUMENT;
    options->workers = static_cast<int>(value);
    return TAV_OK;
  }
  if (option == TAV_OPTION_EXPANDED) {
    if (value < 0 || value > 2) return TAV_BAD_ARGUMENT;
    options->mode = static_cast<int>(value);
    return TAV_OK;
  }
  if (option == TAV_OPTION_FILES) {
    if (value < 0 || value > kMaxFiles) return TAV_BAD_ARGUMENT;
    options->files = static_cast<int>(value);
    return TAV_OK;
  }
  bool* flag = Flag(*options, option);
  if (flag == nullptr || (value != 0 && value != 1)) return TAV_BAD_ARGUMENT;
  *flag = value == 1;
  return TAV_OK;
}

TAVSDK_API tav_status tav_options_get(const tav_options* options, int option, int64_t* value) {
  if (options == nullptr || value == nullptr) return TAV_BAD_ARGUMENT;
  if (option == TAV_OPTION_WORKERS || option == TAV_OPTION_FILES || option == TAV_OPTION_EXPANDED) {
    *value = option == TAV_OPTION_WORKERS ? options->workers : option == TAV_OPTION_FILES ? options->files : options->mode;
    return TAV_OK;
  }
  const bool* flag = Flag(const_cast<tav_options&>(*options), option);
  if (flag == nullptr) return TAV_BAD_ARGUMENT;
  *value = *flag ? 1 : 0;
  return TAV_OK;
}

TAVSDK_API tav_status tav_options_set_progress(tav_options* options, tav_progress_fn progress, void* context) {
  if (options == nullptr) return TAV_BAD_ARGUMENT;
  options->progress = progress;
  options->progress_context = context;
  return TAV_OK;
}

TAVSDK_API void tav_options_free(tav_options* options) { tav::core::Destroy(options); }

}
