// SPDX-License-Identifier: MIT
// Output files that take their name only when complete.
#include "common/newfile.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace tav::io {

namespace {

constexpr int kFlags = O_CLOEXEC | O_NOCTTY;

int OpenDir(int dirfd, const char* path) {
  int fd;
  do {
    fd = ::openat(dirfd, path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A hidden name that no one else is likely to pick.
bool TempName(char (&out)[32]) {
  uint64_t r = 0;
  if (::getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
    timespec t{};
    (void)clock_gettime(CLOCK_MONOTONIC, &t);
    r = static_cast<uint64_t>(t.tv_nsec) ^ (static_cast<uint64_t>(::getpid()) << 32) ^ reinterpret_cast<uintptr_t>(&out);
  }
  return std::snprintf(out, sizeof out, ".tav-%016llx", static_cast<unsigned long long>(r)) > 0;
}

int RenameNoReplace(int dir, const char* from, const char* to) {
#ifdef SYS_renameat2
  const long rc = ::syscall(SYS_renameat2, dir, from, dir, to, 1 /* RENAME_NOREPLACE */);
  if (rc == 0 || (errno != ENOSYS && errno != EINVAL)) return static_cast<int>(rc);
#endif
  // Without it: a hard link fails on an existing name just as well.
  if (::linkat(dir, from, dir, to, 0) != 0) return -1;
  (void)::unlinkat(dir, from, 0);
  return 0;
}

}  // namespace

const char* SplitPath(const char* path, char (&dir)[PATH_MAX]) {
  if (path == nullptr || *path == 0) return nullptr;
  const char* slash = std::strrchr(path, '/');
  const char* base = slash == nullptr ? path : slash + 1;
  if (*base == 0 || std::strlen(base) > NAME_MAX) return nullptr;
  if (slash == nullptr) {
    std::strcpy(dir, ".");
  } else {
    const size_t len = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (len >= PATH_MAX) return nullptr;
    std::memcpy(dir, path, len);
    dir[len] = 0;
  }
  return base;
}

bool NewFile::Open(int dirfd, const char* path, mode_t mode, int& error) {
  Discard();
  char dir[PATH_MAX];
  const char* base = SplitPath(path, dir);
  if (base == nullptr) {
    error = path == nullptr || *path == 0 ? ENOENT : (std::strlen(path) > 0 && path[std::strlen(path) - 1] == '/' ? EISDIR : ENAMETOOLONG);
    return false;
  }
  std::strcpy(name_, base);
  dir_ = Fd(OpenDir(dirfd, dir));
  if (!dir_.ok()) {
    error = errno;
    return false;
  }
  int fd;
  do {
    fd = ::openat(dir_.get(), ".", O_TMPFILE | O_RDWR | kFlags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // No unnamed files here: a hidden name, removed again unless committed.
    for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
      if (!TempName(temp_)) break;
      do {
        fd = ::openat(dir_.get(), temp_, O_CREAT | O_EXCL | O_NOFOLLOW | O_RDWR | kFlags, mode);
      } while (fd < 0 && errno == EINTR);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) temp_[0] = 0;
  }
  if (fd < 0) {
    error = errno;
    dir_ = Fd();
    return false;
  }
  file_ = Fd(fd);
  return true;
}

bool NewFile::LinkAs(const char* name, int& error) {
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", file_.get());
  if (::linkat(AT_FDCWD, proc, dir_.get(), name, AT_SYMLINK_FOLLOW) == 0) return true;
  // Without /proc, only a privileged process may link a descriptor.
  if (errno == ENOENT && ::linkat(file_.get(), "", dir_.get(), name, AT_EMPTY_PATH) == 0) return true;
  error = errno;
  return false;
}

bool NewFile::Commit(bool replace, int& error, bool flush) {
  if (!file_.ok()) {
    error = EBADF;
    return false;
  }
#ifdef TAVSDK_TEST_SEAM
  if (step_hook != nullptr) (void)step_hook(Step::destination_commit, -1);
#endif
  if (flush) {
#ifdef TAVSDK_TEST_SEAM
    if (step_hook != nullptr) (void)step_hook(Step::destination_flush, file_.get());
#endif
    if (::fsync(file_.get()) != 0) {
      error = errno;
      Discard();
      return false;
    }
  }
  bool done = false;
  if (temp_[0] != 0) {
    done = (replace ? ::renameat(dir_.get(), temp_, dir_.get(), name_) : RenameNoReplace(dir_.get(), temp_, name_)) == 0;
    if (!done) error = errno;
    if (done) temp_[0] = 0;
  } else if (LinkAs(name_, error)) {
    done = true;  // the name was free: no hidden name needed
  } else if (replace && error == EEXIST) {
    // An unnamed file cannot replace a name: it gets a hidden one first. No
    // call links and replaces in one step, so a SIGKILL or crash between the
    // two leaves the complete file under the hidden name. The signals that
    // can be held off wait on this thread for those two system calls.
    sigset_t all, saved;
    sigfillset(&all);
    const bool held = pthread_sigmask(SIG_SETMASK, &all, &saved) == 0;
    char temp[32];
    for (int attempt = 0; attempt < 8 && !done; ++attempt) {
      if (!TempName(temp)) break;
      if (!LinkAs(temp, error)) {
        if (error == EEXIST) continue;
        break;
      }
#ifdef TAVSDK_TEST_SEAM
      if (step_hook != nullptr) (void)step_hook(Step::destination_rename, -1);
#endif
      done = ::renameat(dir_.get(), temp, dir_.get(), name_) == 0;
      if (!done) {
        error = errno;
        (void)::unlinkat(dir_.get(), temp, 0);
      }
      break;
    }
    if (held) (void)pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  }
  if (!done) {
    Discard();
    return false;
  }
  committed_ = true;
  return true;
}

void NewFile::Discard() {
  if (!committed_ && temp_[0] != 0 && dir_.ok()) (void)::unlinkat(dir_.get(), temp_, 0);
  temp_[0] = 0;
  if (!committed_) (void)file_.Close();
  committed_ = false;
  dir_ = Fd();
}

}  // namespace tav::io
