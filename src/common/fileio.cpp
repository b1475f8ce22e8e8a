// SPDX-License-Identifier: MIT
#include "common/fileio.hpp"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tav::io {

#ifdef TAVSDK_TEST_SEAM
int (*step_hook)(Step step, int fd) = nullptr;
#endif

namespace {

#ifdef TAVSDK_TEST_SEAM
// The errno a test asks for at this step, or 0.
int Injected(Step step, int fd) { return step_hook != nullptr ? step_hook(step, fd) : 0; }
#else
// No seam in the shipped library, not even an empty function's name.
#define Injected(step, fd) 0
#endif

void At([[maybe_unused]] Step step) { (void)Injected(step, -1); }

// A descriptor in non-blocking mode (a pipe or socket the caller set so) is
// waited for rather than failed. False when waiting itself fails.
bool WaitFor(int fd, short events) {
  struct pollfd p {fd, events, 0};
  for (;;) {
    const int rc = ::poll(&p, 1, -1);
    if (rc >= 0) return true;
    if (errno != EINTR) return false;
  }
}

bool Again() { return errno == EAGAIN || errno == EWOULDBLOCK; }

// Never blocks on a FIFO or device, never becomes a controlling terminal.
constexpr int kBaseFlags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

int OpenAtRetry(int dirfd, const char* path, int flags, mode_t mode = 0) {
  if (path == nullptr) {
    errno = ENOENT;
    return -1;
  }
  int fd;
  do {
    fd = ::openat(dirfd, path, flags | kBaseFlags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens and requires a regular file; errno is set on failure.
Fd OpenRegularAt(int dirfd, const char* path, int flags, struct stat& info) {
  Fd file(OpenAtRetry(dirfd, path, flags));
  if (!file.ok()) return file;
  if (::fstat(file.get(), &info) != 0) return Fd();
  if (!S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return Fd();
  }
  return file;
}


FileId IdOf(const struct stat& st) { return FileId{st.st_dev, st.st_ino}; }

bool IdOfFd(int fd, FileId& id) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  id = IdOf(st);
  return true;
}


}  // namespace

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

int64_t ReadFull(int fd, void* buf, size_t n) {
  auto* p = static_cast<unsigned char*>(buf);
  size_t done = 0;
  while (done < n) {
    if (const int e = Injected(Step::read, fd); e != 0) {
      errno = e;
      return -1;
    }
    const ssize_t got = ::read(fd, p + done, n - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (Again() && WaitFor(fd, POLLIN)) continue;
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
    if (const int e = Injected(Step::read, fd); e != 0) {
      errno = e;
      return -1;
    }
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

namespace {

// A write to a pipe or socket without reader raises SIGPIPE on the writing
// thread, which would end the host process: a library reports EPIPE
// instead. The signal is held off on this thread for the write, and the one
// the write raised is taken back; one that was pending before is the host's
// and stays.
class NoSigpipe {
public:
  NoSigpipe() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    held_ = pthread_sigmask(SIG_BLOCK, &pipe_, &saved_) == 0;
    was_pending_ = !held_ || sigpending(&pending) != 0 || sigismember(&pending, SIGPIPE) == 1;
  }
  ~NoSigpipe() {
    if (!held_) return;
    const int saved_errno = errno;
    if (broken_ && !was_pending_) {
      const timespec now{0, 0};
      while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    (void)pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    errno = saved_errno;
  }
  NoSigpipe(const NoSigpipe&) = delete;
  NoSigpipe& operator=(const NoSigpipe&) = delete;
  void Broken() { broken_ = true; }

private:
  sigset_t pipe_;
  sigset_t saved_;
  bool held_ = false;
  bool was_pending_ = true;
  bool broken_ = false;
};

}  // namespace

bool WriteAll(int fd, const void* buf, size_t n) {
  const auto* p = static_cast<const unsigned char*>(buf);
  NoSigpipe no_sigpipe;
  while (n > 0) {
    if (const int e = Injected(Step::write, fd); e != 0) {
      errno = e;
      return false;
    }
    const ssize_t put = ::write(fd, p, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      if (Again() && WaitFor(fd, POLLOUT)) continue;
      if (errno == EPIPE) no_sigpipe.Broken();
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
    if (const int e = Injected(Step::write, fd); e != 0) {
      errno = e;
      return false;
    }
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

Fd OpenSource(int dirfd, const char* path, struct stat& info) { return OpenRegularAt(dirfd, path, O_RDONLY, info); }

Destination CheckDestination(int dirfd, const char* path, const struct stat& source, OldDestination& old) {
  old.file = Fd(OpenAtRetry(dirfd, path, O_WRONLY | O_NOFOLLOW));
  if (!old.file.ok()) {
    if (errno == ENOENT) return Destination::ready;
    // ELOOP: the last component is a symbolic link, replaced as a name.
    // Where it leads to the source, the caller surely mistook the names;
    // where it leads to a device, a FIFO or a socket, the caller surely meant
    // to write there, which a file operation never does.
    if (errno == ELOOP) {
      struct stat target {};
      old.link = true;
      if (::fstatat(dirfd, path, &target, 0) != 0) return Destination::ready;
      if (IdOf(source).Is(target)) return Destination::is_source;
      return S_ISREG(target.st_mode) ? Destination::ready : Destination::refused;
    }
    return Destination::refused;  // a directory, a FIFO without reader, no permission...
  }
  struct stat st {};
  if (::fstat(old.file.get(), &st) != 0) return Destination::refused;
  if (IdOf(source).Is(st)) return Destination::is_source;
  if (!S_ISREG(st.st_mode)) return Destination::refused;
  return Destination::ready;
}

void ClearOldDestination(OldDestination& old) {
  if (!old.file.ok()) return;
  // The established clearing of a replaced destination: whoever still holds
  // the old file sees "@@@". A failed write only weakens the overwrite.
  if (::ftruncate(old.file.get(), 0) != 0) {
  }
  (void)PwriteAll(old.file.get(), "@@@", 3, 0);
  (void)old.file.Close();
}

bool RemoveIfSame(int dirfd, const char* path, FileId id, Step step) {
  At(step);
  struct stat st {};
  return ::fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) == 0 && id.Is(st) && ::unlinkat(dirfd, path, 0) == 0;
}

bool OpenForRewrite(int dirfd, const char* path, Fd& out, int64_t& length) {
  struct stat info {};
  out = OpenRegularAt(dirfd, path, O_RDWR, info);
  if (!out.ok()) {
    if (errno != EACCES && errno != EPERM && errno != EROFS && errno != ETXTBSY) return false;
    // Readable but not writable: still refused, after the argument checks.
    if (!OpenRegularAt(dirfd, path, O_RDONLY, info).ok()) return false;
  }
  length = static_cast<int64_t>(info.st_size);
  return true;
}

Fd OpenToWipe(int dirfd, const char* path, int64_t& length, FileId& id) {
  struct stat info {};
  Fd file = OpenRegularAt(dirfd, path, O_RDWR | O_NOFOLLOW, info);
  if (!file.ok()) return file;
  length = static_cast<int64_t>(info.st_size);
  id = IdOf(info);
  return file;
}

Fd CreateScratch(int dirfd, const char* path, bool replace, FileId& id) {
  // A fresh file: never write the reversed copy into an inode that someone
  // else may hold open or linked (or that a symbolic link points to).
  if (replace && ::unlinkat(dirfd, path, 0) != 0 && errno != ENOENT) return Fd();
  At(Step::scratch_create);
  Fd file(OpenAtRetry(dirfd, path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
  if (file.ok() && !IdOfFd(file.get(), id)) return Fd();
  return file;
}

KeyRead ReadKeyFile(int dirfd, const char* name, void* buf, size_t cap, int64_t& got, int& error) {
  struct stat info {};
  Fd file(OpenAtRetry(dirfd, name, O_RDONLY));
  if (file.ok() && (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))) {
    // Nothing failed for a FIFO or a device: it is no key file, as one of
    // the wrong size is not (0). A directory is named as reading it would.
    error = info.st_mode == 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
    return KeyRead::damaged;
  }
  if (!file.ok()) {
    error = errno;
    // Only a name with nothing at all behind it is missing; a dangling link
    // stands for a key file that was meant to be there.
    struct stat st {};
    return error == ENOENT && name != nullptr && ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 &&
                   errno == ENOENT
               ? KeyRead::missing
               : KeyRead::damaged;
  }
  got = ReadFull(file.get(), buf, cap);
  if (got < 0) error = errno;
  (void)file.Close();  // read-only: a close error cannot lose data
  return got < 0 ? KeyRead::damaged : KeyRead::ok;
}

Fd OpenKeyFileToDestroy(const char* path, int64_t& length, bool& missing) {
  struct stat info {};
  Fd file = OpenRegularAt(AT_FDCWD, path, O_WRONLY | O_NOFOLLOW, info);
  missing = !file.ok() && errno == ENOENT;
  if (file.ok()) length = static_cast<int64_t>(info.st_size);
  return file;
}

}  // namespace tav::io
