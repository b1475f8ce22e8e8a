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

int Report(const std::string& name, tav_status status, int error) {
  const char* reason = error != 0 ? std::strerror(error) : tav_strerror(status);
  std::fprintf(stderr, "tav: %s: %s\n", name.c_str(), reason);
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
