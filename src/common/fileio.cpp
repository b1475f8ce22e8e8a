// SPDX-License-Identifier: MIT
#include "common/fileio.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tav::io {

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

bool Fd::Close() {
  if (fd_ < 0) return false;
  // POSIX leaves the descriptor state unspecified after EINTR; Linux has
  // already released it, so close is never retried.
  const int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0;
}

static int OpenRetry(const char* path, int flags, mode_t mode) {
  if (path == nullptr) return -1;
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

Fd Open(const char* path, int flags, mode_t mode) { return Fd(OpenRetry(path, flags, mode)); }

Fd OpenRead(const char* path) { return Fd(OpenRetry(path, O_RDONLY, 0)); }

Fd OpenWrite(const char* path, int flags, mode_t mode) {
  return Fd(OpenRetry(path, O_WRONLY | flags, mode));
}

Fd OpenReadWrite(const char* path) { return Fd(OpenRetry(path, O_RDWR, 0)); }

int64_t ReadFull(int fd, void* buf, size_t n) {
  auto* p = static_cast<unsigned char*>(buf);
  size_t done = 0;
  while (done < n) {
    const ssize_t got = ::read(fd, p + done, n - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

int64_t PreadFull(int fd, void* buf, size_t n, int64_t offset) {
  auto* p = static_cast<unsigned char*>(buf);
  size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pread(fd, p + done, n - done, static_cast<off_t>(offset + static_cast<int64_t>(done)));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

bool WriteAll(int fd, const void* buf, size_t n) {
  const auto* p = static_cast<const unsigned char*>(buf);
  while (n > 0) {
    const ssize_t put = ::write(fd, p, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) return false;
    p += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

bool PwriteAll(int fd, const void* buf, size_t n, int64_t offset) {
  const auto* p = static_cast<const unsigned char*>(buf);
  while (n > 0) {
    const ssize_t put = ::pwrite(fd, p, n, static_cast<off_t>(offset));
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) return false;
    p += put;
    offset += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

int64_t ReadPrefix(const char* path, void* buf, size_t cap) {
  Fd fd = OpenRead(path);
  if (!fd.ok() || IsDirectory(fd.get())) return -1;
  const int64_t got = ReadFull(fd.get(), buf, cap);
  fd.Close();  // read-only: a close error cannot lose data
  return got;
}

bool WriteKeyFile(const char* path, const void* data, size_t n) {
  // A new file rather than a truncated old one: no other name or open handle
  // of the old file ever sees the new key, and rewriting does not force the
  // old blocks out to the disk on close.
  if (::unlink(path) != 0 && errno != ENOENT) return false;
  Fd fd = OpenWrite(path, O_CREAT | O_EXCL, 0600);
  if (!fd.ok()) return false;
  // The process umask may only narrow the mode; it must end up exactly 0600.
  if (::fchmod(fd.get(), 0600) != 0) return false;
  if (!WriteAll(fd.get(), data, n)) return false;
  return fd.Close();
}

Fd OpenRegular(const char* path, int flags, int64_t& length) {
  Fd file(OpenRetry(path, flags | O_NONBLOCK, 0));
  struct stat st {};
  if (!file.ok() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Fd();
  length = st.st_size;
  return file;
}

bool IsDirectory(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace tav::io
