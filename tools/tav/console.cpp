// SPDX-License-Identifier: MIT
#include "console.hpp"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace tavtool {

namespace {

volatile sig_atomic_t g_stop = 0;
// Counts the Deferred stretches of all threads; lock-free, so the handler may read it.
std::atomic<int> g_deferred{0};
static_assert(std::atomic<int>::is_always_lock_free);
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
// Files smaller than this are done before a line would be worth reading.
constexpr uint64_t kProgressThreshold = 8ULL << 20;

extern "C" void OnStopSignal(int sig) {
  if (g_stop != 0 && g_deferred == 0) {
    signal(sig, SIG_DFL);
    raise(sig);
  }
  g_stop = sig;
}

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

std::string Shown(std::string_view name) {
  std::string shown;
  const auto escape = [&shown](unsigned char byte) {
    static constexpr char kDigits[] = "0123456789abcdef";
    shown += {'\\', 'x', kDigits[byte >> 4], kDigits[byte & 15]};
  };
  for (size_t i = 0; i < name.size();) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte == '\\') {
      shown += "\\\\";
      ++i;
      continue;
    }
    if (byte < 0x20 || byte == 0x7f) {
      escape(byte);
      ++i;
      continue;
    }
    if (byte < 0x80) {
      shown += static_cast<char>(byte);
      ++i;
      continue;
    }
    // One UTF-8 sequence, shown as it is unless it is malformed or a C1 control.
    const size_t length = byte >= 0xf0 && byte < 0xf5 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc2 && byte < 0xe0 ? 2 : 0;
    bool valid = length != 0 && length <= 4 && i + length <= name.size();
    uint32_t code = length == 2 ? byte & 0x1fu : length == 3 ? byte & 0x0fu : byte & 0x07u;
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(name[i + k]);
      valid = (next & 0xc0) == 0x80;
      code = code << 6 | (next & 0x3fu);
    }
    valid = valid && code >= (length == 2 ? 0x80u : length == 3 ? 0x800u : 0x10000u) && code <= 0x10ffff &&
            !(code >= 0xd800 && code <= 0xdfff) && !(code >= 0x80 && code < 0xa0);
    if (!valid) {
      escape(byte);
      ++i;
      continue;
    }
    shown.append(name.substr(i, length));
    i += length;
  }
  return shown;
}

int Report(const std::string& name, tav_status status, int error) {
  const char* reason = error != 0 ? std::strerror(error) : tav_strerror(status);
  std::fprintf(stderr, "tav: %s: %s\n", Shown(name).c_str(), reason);
  return status;
}

void CatchStopSignals() {
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : kStopSignals) sigaction(sig, &action, nullptr);
}

int StopSignal() { return g_stop; }

void EndByBrokenPipe() {
  std::signal(SIGPIPE, SIG_DFL);
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  sigprocmask(SIG_UNBLOCK, &pipe, nullptr);
  raise(SIGPIPE);
  _exit(128 + SIGPIPE);
}

int StoppedBySignal() {
  std::fprintf(stderr, "tav: stopped by signal %d (%s)\n", static_cast<int>(g_stop), strsignal(g_stop));
  return 128 + g_stop;
}

Deferred::Deferred() { ++g_deferred; }
Deferred::~Deferred() { --g_deferred; }

Progress::Progress(bool show, std::string label)
    : show_(show), terminal_(isatty(STDERR_FILENO) == 1), label_(std::move(label)), start_(Now()) {}

Progress::~Progress() {
  if (width_ > 0) Write("");
}

int Progress::Callback(void* context, uint64_t done, uint64_t total) {
  if (g_stop != 0) return 1;
  static_cast<Progress*>(context)->Draw(done, total);
  return 0;
}

void Progress::Draw(uint64_t done, uint64_t total) {
  const bool known = total != TAV_SIZE_UNKNOWN;
  if (!show_ || (known ? total : done) < kProgressThreshold) return;
  const double now = Now();
  // A file or pipe gets whole lines, one a second, instead of a line redrawn.
  if (!terminal_ && now - last_line_ < 1) return;
  last_line_ = now;
  const double seconds = now - start_;
  const double megabytes = static_cast<double>(done) / 1e6;
  const double rate = seconds > 0 ? megabytes / seconds : 0;
  char line[200];
  if (known) {
    const double all = static_cast<double>(total) / 1e6;
    const long left = rate > 0 ? static_cast<long>((all - megabytes) / rate + 0.5) : 0;
    std::snprintf(line, sizeof line, "tav: %s  %3d%%  %.1f of %.1f MB  %.1f MB/s  %ld:%02ld left", label_.c_str(),
                  static_cast<int>(std::min<uint64_t>(100, done * 100 / std::max<uint64_t>(total, 1))), megabytes, all,
                  rate, left / 60, left % 60);
  } else {
    std::snprintf(line, sizeof line, "tav: %s  %.1f MB  %.1f MB/s", label_.c_str(), megabytes, rate);
  }
  Write(line);
}

void Progress::Show(const std::string& text) {
  if (show_) Write(text);
}

void Progress::Write(const std::string& text) {
  if (!terminal_) {
    const std::string line = text.empty() ? text : text + "\n";
    if (write(STDERR_FILENO, line.data(), line.size()) < 0) show_ = false;
    return;
  }
  // Spaces over the rest of the previous line, then back to its start.
  std::string out = "\r" + text;
  if (text.size() < width_) out.append(width_ - text.size(), ' ');
  if (text.empty()) out += '\r';
  width_ = text.size();
  if (write(STDERR_FILENO, out.data(), out.size()) < 0) show_ = false;
}

}  // namespace tavtool
