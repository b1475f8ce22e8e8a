// SPDX-License-Identifier: MIT
#include "passphrase.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace tavtool {

namespace {

constexpr size_t kMaxLine = 4096;

// The terminal state to put back if a signal ends the process at the prompt.
int g_tty = -1;
struct termios g_saved_tty;
constexpr int kPromptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

extern "C" void RestoreTtyAndRaise(int sig) {
  tcsetattr(g_tty, TCSANOW, &g_saved_tty);
  signal(sig, SIG_DFL);
  raise(sig);
}

// The first line from `fd`, without its line end, read a byte at a time so
// that nothing after it is taken from a descriptor shared with the data
// (`--passphrase-fd 0`). Pipes are fine (`--passphrase-file <(command)`).
int ReadFirstLine(int fd, const std::string& name, std::string& line) {
  char buffer[kMaxLine];
  size_t used = 0;
  while (used < sizeof buffer) {
    const ssize_t n = read(fd, buffer + used, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "tav: %s: cannot read the passphrase: %s\n", name.c_str(), std::strerror(errno));
      explicit_bzero(buffer, sizeof buffer);
      return kUsageError;
    }
    if (n == 0 || buffer[used] == '\n') break;
    ++used;
  }
  if (used > 0 && buffer[used - 1] == '\r') --used;
  line.assign(buffer, used);
  explicit_bzero(buffer, sizeof buffer);
  if (line.find('\0') != std::string::npos) {
    std::fprintf(stderr, "tav: %s: the passphrase holds a NUL byte, which no implementation can use\n", name.c_str());
    return kUsageError;
  }
  return 0;
}

int ReadPassphraseFile(const std::string& path, std::string& line) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    std::fprintf(stderr, "tav: %s: cannot open the passphrase file: %s\n", path.c_str(), std::strerror(errno));
    return kUsageError;
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    std::fprintf(stderr, "tav: warning: %s is readable by others (mode %04o); chmod go-r %s\n", path.c_str(),
                 static_cast<unsigned>(st.st_mode & 07777), path.c_str());
  }
  const int status = ReadFirstLine(fd, path, line);
  close(fd);
  return status;
}

// One line from the terminal with echo off; the terminal is restored on
// every path out, including the signals that end the process.
int Prompt(int tty, const char* text, std::string& line) {
  // Echo goes off (dropping what was typed ahead) before the prompt shows,
  // so nothing typed in answer to it is lost or echoed.
  struct termios quiet = g_saved_tty;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
  if (tcsetattr(tty, TCSAFLUSH, &quiet) != 0) return -1;
  if (write(tty, text, std::strlen(text)) < 0) {
    tcsetattr(tty, TCSANOW, &g_saved_tty);
    return -1;
  }
  char buffer[kMaxLine];
  size_t used = 0;
  int result = 0;
  for (;;) {
    char c;
    const ssize_t n = read(tty, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) result = -1;
    if (n <= 0 || c == '\n') break;
    if (used < sizeof buffer) buffer[used++] = c;
  }
  tcsetattr(tty, TCSANOW, &g_saved_tty);
  if (write(tty, "\n", 1) < 0) result = -1;
  if (used > 0 && buffer[used - 1] == '\r') --used;
  line.assign(buffer, used);
  explicit_bzero(buffer, sizeof buffer);
  return result;
}

int PromptOnTerminal(bool confirm, std::string& passphrase) {
  const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty < 0) {
    std::fputs("tav: no passphrase: use --passphrase-file FILE, --passphrase-fd N or TAV_PASSPHRASE, or run on a terminal\n", stderr);
    return kUsageError;
  }
  if (tcgetattr(tty, &g_saved_tty) != 0) {
    std::fputs("tav: cannot prompt for the passphrase: /dev/tty is not a terminal\n", stderr);
    close(tty);
    return kUsageError;
  }
  g_tty = tty;
  struct sigaction restore = {}, previous[std::size(kPromptSignals)];
  restore.sa_handler = RestoreTtyAndRaise;
  sigemptyset(&restore.sa_mask);
  for (size_t i = 0; i < std::size(kPromptSignals); ++i) sigaction(kPromptSignals[i], &restore, &previous[i]);

  int status = 0;
  std::string again;
  if (Prompt(tty, "Passphrase: ", passphrase) != 0) {
    std::fputs("tav: cannot read the passphrase from the terminal\n", stderr);
    status = kUsageError;
  } else if (confirm && !passphrase.empty()) {
    if (Prompt(tty, "Passphrase (again): ", again) != 0 || again != passphrase) {
      std::fputs("tav: the passphrases do not match\n", stderr);
      status = kUsageError;
    }
  }
  ClearPassphrase(again);

  for (size_t i = 0; i < std::size(kPromptSignals); ++i) sigaction(kPromptSignals[i], &previous[i], nullptr);
  g_tty = -1;
  close(tty);
  return status;
}

}  // namespace

void ClearPassphrase(std::string& passphrase) {
  explicit_bzero(passphrase.data(), passphrase.size());
  passphrase.clear();
}

int ReadPassphrase(const PassphraseSource& source, bool confirm, std::string& passphrase) {
  int status = 0;
  if (!source.file.empty()) {
    status = ReadPassphraseFile(source.file, passphrase);
  } else if (source.fd >= 0) {
    status = ReadFirstLine(source.fd, "descriptor " + std::to_string(source.fd), passphrase);
  } else if (const char* env = std::getenv("TAV_PASSPHRASE")) {
    passphrase = env;
  } else {
    status = PromptOnTerminal(confirm, passphrase);
  }
  if (status == 0 && passphrase.empty()) {
    std::fputs("tav: the passphrase is empty\n", stderr);
    status = kUsageError;
  }
  if (status == 0 && passphrase.size() > TAV_PASSPHRASE_BYTES) {
    std::fprintf(stderr, "tav: warning: the passphrase is %zu bytes long; only its first %d bytes count\n",
                 passphrase.size(), TAV_PASSPHRASE_BYTES);
  }
  if (status != 0) ClearPassphrase(passphrase);
  return status;
}

}  // namespace tavtool
