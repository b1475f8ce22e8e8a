// SPDX-License-Identifier: MIT
// Openers and read and write loops of every file the library touches.
#include "common/fileio.hpp"

#include <cerrno>
#include <fcntl.h>
#include <linux/aio_abi.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

int64_t ReadLoop(int fd, void* buf, size_t n, int64_t offset) {
  auto* p = static_cast<unsigned char*>(buf);
  size_t done = 0;
  while (done < n) {
    if (const int e = Injected(Step::read, fd); e != 0) {
      errno = e;
      return -1;
    }
    const ssize_t got = offset == kSequential
                            ? ::read(fd, p + done, n - done)
                            : ::pread(fd, p + done, n - done, static_cast<off_t>(offset + static_cast<int64_t>(done)));
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

namespace {

// A write to a pipe or socket without reader raises SIGPIPE on the writing
// thread, which would end the host process: a library reports EPIPE
// instead. The signal is held off on this thread for the write, and the one
// the write raised is taken back; one that was pending before is the host's
// and stays.
class NoSigpipe {
public:
  explicit NoSigpipe(bool needed) {
    if (!needed) return;
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
  sigset_t pipe_{};
  sigset_t saved_{};
  bool held_ = false;
  bool was_pending_ = true;
  bool broken_ = false;
};

}  // namespace

bool WriteLoop(int fd, const void* buf, size_t n, int64_t offset, bool pipe) {
  const auto* p = static_cast<const unsigned char*>(buf);
  // Only a sequential write can meet a pipe: pwrite on one fails ESPIPE.
  NoSigpipe no_sigpipe(pipe && offset == kSequential);
  while (n > 0) {
    if (const int e = Injected(Step::write, fd); e != 0) {
      errno = e;
      return false;
    }
    const ssize_t put = offset == kSequential ? ::write(fd, p, n) : ::pwrite(fd, p, n, static_cast<off_t>(offset));
    if (put < 0) {
      if (errno == EINTR) continue;
      if (Again() && WaitFor(fd, POLLOUT)) continue;
      if (errno == EPIPE) no_sigpipe.Broken();
      return false;
    }
    if (put == 0) return false;
    p += put;
    if (offset != kSequential) offset += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

Fd OpenSource(int dirfd, const char* path, struct stat& info) { return OpenRegularAt(dirfd, path, O_RDONLY, info); }

Fd OpenNoFollow(int dirfd, const char* path, int flags) { return Fd(OpenAtRetry(dirfd, path, flags | O_NOFOLLOW)); }

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

void BackgroundFlush::Written(uint64_t written) {
  // Counted from the first call on: what others wrote before (a split's
  // workers) is not this thread's to flush.
  if (flushed_at_ == kNotYet) flushed_at_ = written;
  if (refused_ || written - flushed_at_ < kEveryBytes || (in_flight_ && !Collect(false))) return;
  if (context_ == 0) {
    aio_context_t context = 0;
    if (::syscall(SYS_io_setup, 1, &context) != 0) {
      refused_ = true;
      return;
    }
    context_ = context;
  }
  iocb request{};
  request.aio_fildes = static_cast<uint32_t>(fd_);
  request.aio_lio_opcode = IOCB_CMD_FDSYNC;
  iocb* list[] = {&request};  // the kernel copies it at submission
  if (::syscall(SYS_io_submit, context_, 1, list) != 1) {
    refused_ = true;
    return;
  }
  in_flight_ = true;
  flushed_at_ = written;
}

// True once no flush is in flight.
bool BackgroundFlush::Collect(bool wait) {
  io_event event{};
  timespec now{};
  const long got = ::syscall(SYS_io_getevents, context_, wait ? 1 : 0, 1, &event, wait ? nullptr : &now);
  if (got == 1) {
    in_flight_ = false;
    int error = event.res < 0 ? static_cast<int>(-event.res) : 0;
    if (const int e = Injected(Step::background_flush, fd_); e != 0) error = e;
    if (error_ == 0) error_ = error;
  } else if (got < 0 && errno != EINTR) {
    // Lost track of it: the final flush waits for it in any case.
    in_flight_ = false;
  }
  return !in_flight_;
}

void BackgroundFlush::Now() {
  int error = ::fdatasync(fd_) == 0 ? 0 : errno;
  if (const int e = Injected(Step::background_flush, fd_); e != 0) error = e;
  if (error_ == 0) error_ = error;
}

int BackgroundFlush::Finish() {
  while (in_flight_) (void)Collect(true);
  if (context_ != 0) (void)::syscall(SYS_io_destroy, context_);
  context_ = 0;
  refused_ = true;
  return error_;
}

Fd OpenKeyFileToDestroy(const char* path, int64_t& length, bool& missing) {
  struct stat info {};
  Fd file = OpenRegularAt(AT_FDCWD, path, O_WRONLY | O_NOFOLLOW, info);
  missing = !file.ok() && errno == ENOENT;
  if (file.ok()) length = static_cast<int64_t>(info.st_size);
  return file;
}

}  // namespace tav::io
