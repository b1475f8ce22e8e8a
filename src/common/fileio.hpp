// SPDX-License-Identifier: MIT
// Thin, checked wrappers over POSIX file descriptors. Every call retries on
// EINTR and reports failure plainly; nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace tav::io {

// Owns a file descriptor for the span of one call. Close() reports whether the
// close succeeded (a deferred write error shows up there); the destructor
// closes silently on early-return paths.
class Fd {
public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept;
  ~Fd();

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  bool Close();

private:
  int fd_ = -1;
};

// open(2) with O_CLOEXEC added and EINTR retried; errno tells why it failed.
Fd Open(const char* path, int flags, mode_t mode = 0);
Fd OpenRead(const char* path);
// Opens for writing with the given extra flags (O_CREAT, O_TRUNC, ...).
Fd OpenWrite(const char* path, int flags, mode_t mode = 0666);
Fd OpenReadWrite(const char* path);

// Reads until n bytes or end of file. Returns the count, or -1 on an error.
int64_t ReadFull(int fd, void* buf, size_t n);
int64_t PreadFull(int fd, void* buf, size_t n, int64_t offset);
bool WriteAll(int fd, const void* buf, size_t n);
bool PwriteAll(int fd, const void* buf, size_t n, int64_t offset);

// Reads at most cap bytes from the start of a file. Returns the count, or -1
// when the file does not open or a read fails.
int64_t ReadPrefix(const char* path, void* buf, size_t cap);

// Replaces a key file by a new one, readable and writable by the owner only.
// False when it cannot be created or fully written.
bool WriteKeyFile(const char* path, const void* data, size_t n);

// Opens a regular file (flags O_RDONLY or O_RDWR) and reports its length; an
// invalid Fd for anything else. Non-blocking, so that a FIFO given by mistake
// is refused instead of waiting for a peer.
Fd OpenRegular(const char* path, int flags, int64_t& length);

// True when the path names a directory.
bool IsDirectory(int fd);

}  // namespace tav::io
