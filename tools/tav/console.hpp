// SPDX-License-Identifier: MIT
// What the user sees and does while the work runs: messages that name the
// file and the reason, the progress line, and the stop signals, which cancel
// the work through the core's progress callback.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tavsdk.h"

namespace tavtool {

inline constexpr int kUsageError = 64;

// `name` as it may be printed: control characters (C0, DEL, C1), bytes that
// are not UTF-8 and backslashes are shown as escapes, never sent to the terminal.
std::string Shown(std::string_view name);

// "tav: NAME: REASON" on stderr; the reason is strerror(error) when a system
// call failed, else the core's text for the status. Returns the status.
int Report(const std::string& name, tav_status status, int error);

// From here on SIGINT, SIGTERM and SIGHUP only set a flag: the running call
// sees it at its next progress report and cancels, leaving nothing partial. A
// second signal while one is pending ends the process at once (a read from a
// terminal or an idle pipe does not come back to the callback), except inside
// a Deferred stretch.
void CatchStopSignals();

// The pending stop signal, or 0.
int StopSignal();

// Ends the process by SIGPIPE, quietly, as a pipeline expects when the
// reader of standard output has gone; also when SIGPIPE was ignored or
// blocked, as the library's writes do not raise it.
[[noreturn]] void EndByBrokenPipe();

// Prints that the signal stopped the work and returns 128 + its number.
int StoppedBySignal();

// While one lives, signals are only recorded: the work in between (a
// scrambler's write-back, a rename) is let finish.
class Deferred {
 public:
  Deferred();
  ~Deferred();
  Deferred(const Deferred&) = delete;
  Deferred& operator=(const Deferred&) = delete;
};

// The core's progress callback with a line on stderr, rewritten in place on a
// terminal, else a new line for each update.
class Progress {
 public:
  // `show`: draw the line at all (the callback still cancels without it).
  Progress(bool show, std::string label);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // For tav_progress_fn, with the Progress as the context.
  static int Callback(void* context, uint64_t done, uint64_t total);

  // Draws `text` as the line (when shown at all); "" clears it.
  void Show(const std::string& text);

 private:
  void Draw(uint64_t done, uint64_t total);
  void Write(const std::string& text);

  bool show_;
  bool terminal_;
  std::string label_;
  double start_ = 0;
  double last_line_ = 0;
  size_t width_ = 0;
};

}  // namespace tavtool
