// SPDX-License-Identifier: MIT
#include "session.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tavsdk.h"

namespace tavtool {

namespace {

// The key status: without a private directory there are no usable keys.
constexpr int kNoKeys = 1;

// The directory's parent: the user's choice first, a shared /tmp last. A set
// but unusable choice is an error rather than a silent move elsewhere.
std::string PrivateDirectoryBase() {
  for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return "/tmp";
}

// Overwrites and deletes whatever the work left in the directory: the key
// files through the library's own shutdown, anything else (a scratch file,
// string buffers) with '@' bytes the same way.
void DestroyContents(int dir) {
  const int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fchdir(dir) == 0) {
    TavShutdown();
    if (here >= 0 && fchdir(here) != 0) std::perror("tav: cannot return to the current directory");
  }
  if (here >= 0) close(here);

  std::vector<std::string> names;
  if (DIR* listing = fdopendir(dup(dir))) {
    while (const dirent* entry = readdir(listing)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
    }
    closedir(listing);
  }
  char fill[4096];
  std::memset(fill, '@', sizeof fill);
  for (const std::string& name : names) {
    const int fd = openat(dir, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      for (off_t left = st.st_size; left > 0;) {
        const ssize_t n = write(fd, fill, static_cast<size_t>(std::min<off_t>(left, sizeof fill)));
        if (n <= 0) break;
        left -= n;
      }
      fdatasync(fd);
    }
    if (fd >= 0) close(fd);
    if (unlinkat(dir, name.c_str(), 0) != 0) unlinkat(dir, name.c_str(), AT_REMOVEDIR);
  }
}

double SecondsSince(const timespec& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// One line on stderr, rewritten in place, sized from the destination file.
class ProgressLine {
 public:
  ProgressLine(const Job& job, const struct stat* previous) : job_(job), previous_(previous) {
    clock_gettime(CLOCK_MONOTONIC, &start_);
  }
  ~ProgressLine() {
    if (fd_ >= 0) close(fd_);
  }

  void Update() {
    if (!job_.progress || job_.destination.empty()) return;
    if (fd_ < 0) fd_ = OpenNewDestination();
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) return;
    const double seconds = SecondsSince(start_);
    const double megabytes = static_cast<double>(st.st_size) / 1e6;
    const double rate = seconds > 0 ? megabytes / seconds : 0;
    char line[160];
    if (job_.expected_size > 0) {
      const long long percent = std::min(100LL, st.st_size * 100 / job_.expected_size);
      const double total = static_cast<double>(job_.expected_size) / 1e6;
      const long left = rate > 0 ? static_cast<long>((total - megabytes) / rate + 0.5) : 0;
      std::snprintf(line, sizeof line, "tav: %3lld%%  %.1f of %.1f MB  %.1f MB/s  %ld:%02ld left", percent, megabytes,
                    total, rate, left / 60, left % 60);
    } else {
      std::snprintf(line, sizeof line, "tav: %.1f MB  %.1f MB/s", megabytes, rate);
    }
    Draw(line);
  }

  void Erase() {
    if (width_ > 0) Draw("");
  }

 private:
  // The file the work created, not one it is about to replace.
  int OpenNewDestination() const {
    const int fd = open(job_.destination.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        !(previous_ != nullptr && st.st_dev == previous_->st_dev && st.st_ino == previous_->st_ino)) {
      return fd;
    }
    if (fd >= 0) close(fd);
    return -1;
  }

  void Draw(const char* text) {
    // Spaces over the rest of the previous line, then back to its start.
    std::string out = "\r";
    out += text;
    const size_t length = std::strlen(text);
    if (length < width_) out.append(width_ - length, ' ');
    if (*text == '\0') out += '\r';
    width_ = length;
    if (write(STDERR_FILENO, out.data(), out.size()) < 0) width_ = 0;
  }

  const Job& job_;
  const struct stat* previous_;
  timespec start_;
  int fd_ = -1;
  size_t width_ = 0;
};

}  // namespace

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char* cwd = getcwd(nullptr, 0);
  if (cwd == nullptr) return {};
  std::string absolute = cwd;
  std::free(cwd);
  return absolute + "/" + path;
}

int RunInPrivateDirectory(const Job& job) {
  // The parent takes the stop signals synchronously from before the
  // directory exists; the child keeps the default actions, so a signal to
  // the whole process group ends it at once. They stay blocked after the
  // work: the caller only reports and exits.
  sigset_t watched, original;
  sigemptyset(&watched);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&watched, sig);
  sigprocmask(SIG_BLOCK, &watched, &original);

  std::string path = PrivateDirectoryBase() + "/tav-XXXXXX";
  if (mkdtemp(path.data()) == nullptr) {
    std::fprintf(stderr, "tav: cannot create a private directory for the keys in %s: %s\n",
                 PrivateDirectoryBase().c_str(), std::strerror(errno));
    return kNoKeys;
  }
  const int dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) {
    std::fprintf(stderr, "tav: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    rmdir(path.c_str());
    return kNoKeys;
  }

  // A destination that exists now is not the work's to remove; holding it
  // open keeps its inode number from being reused by the new file.
  struct stat previous;
  const bool had_destination = !job.destination.empty() && lstat(job.destination.c_str(), &previous) == 0;
  const int held = had_destination && S_ISREG(previous.st_mode)
                       ? open(job.destination.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                       : -1;

  const pid_t parent = getpid();
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    sigprocmask(SIG_SETMASK, &original, nullptr);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(128 + SIGKILL);
    if (fchdir(dir) != 0) {
      std::perror("tav: cannot enter the private directory");
      _exit(kNoKeys);
    }
    const int status = job.work();
    TavShutdown();
    std::fflush(nullptr);
    _exit(status);
  }

  int status = 0;
  int stop_signal = 0;
  bool child_killed = false;
  if (child < 0) {
    std::perror("tav: cannot start the work");
    status = kNoKeys;
  } else {
    ProgressLine progress(job, had_destination ? &previous : nullptr);
    for (;;) {
      const timespec tick = {0, 250'000'000};
      const int sig = sigtimedwait(&watched, nullptr, &tick);
      if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
        stop_signal = sig;
        kill(child, SIGKILL);
      }
      int wstatus = 0;
      const pid_t done = waitpid(child, &wstatus, stop_signal != 0 ? 0 : WNOHANG);
      if (done == child || done < 0) {
        if (done == child && WIFEXITED(wstatus)) {
          status = WEXITSTATUS(wstatus);
        } else {
          child_killed = true;
          status = 128 + (done == child && WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : SIGKILL);
        }
        break;
      }
      progress.Update();
    }
    progress.Erase();
    // A terminal's signal reaches the child too, which may end before the
    // parent has taken its own copy.
    const timespec now = {0, 0};
    for (int sig; (sig = sigtimedwait(&watched, nullptr, &now)) > 0;) {
      if (sig != SIGCHLD && stop_signal == 0) stop_signal = sig;
    }
  }

  DestroyContents(dir);
  close(dir);
  if (rmdir(path.c_str()) != 0) std::fprintf(stderr, "tav: cannot remove %s: %s\n", path.c_str(), std::strerror(errno));

  if ((stop_signal != 0 || child_killed) && !job.destination.empty()) {
    struct stat now;
    if (lstat(job.destination.c_str(), &now) == 0 && S_ISREG(now.st_mode) &&
        !(had_destination && now.st_dev == previous.st_dev && now.st_ino == previous.st_ino)) {
      unlink(job.destination.c_str());
    }
  }
  if (held >= 0) close(held);
  if (stop_signal != 0) {
    std::fprintf(stderr, "tav: stopped by signal %d (%s)\n", stop_signal, strsignal(stop_signal));
    status = 128 + stop_signal;
  } else if (child_killed) {
    std::fprintf(stderr, "tav: the work ended abnormally (status %d)\n", status);
  }
  return status;
}

}  // namespace tavtool
