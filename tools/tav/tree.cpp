// SPDX-License-Identifier: MIT
// encrypt -r and decrypt -r: every regular file below the named folders, many
// at once, into the same folders or a mirror of them, and optionally the
// source wiped once its output is known to give it back.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>
#include <dirent.h>

#include "cipher.hpp"
#include "console.hpp"

namespace tavtool {

namespace {

constexpr size_t kChunk = size_t{1} << 20;

// From these sizes on the library shares one file among its own workers
// (block mode; expanded encoding; expanded decoding). Such files go one at a
// time, so that the tool's threads and the library's add up to -T.
constexpr uint64_t kLargeBlock = uint64_t{4} << 20;
constexpr uint64_t kLargeEncode = uint64_t{256} << 10;
constexpr uint64_t kLargeDecode = uint64_t{32} << 20;

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

struct Folder {
  int fd = -1;               // the source folder, opened once
  int out_fd = -1;           // where its outputs go (fd itself in place)
  size_t parent = SIZE_MAX;  // index of the folder it is in
  std::string name;          // its name in the parent
  std::string path;          // for messages
  std::string out_path;
  mode_t mode = 0;
  bool created = false;      // made by this job: takes `mode` at the end
};

struct Entry {
  size_t folder = 0;
  std::string name, out_name;
  uint64_t size = 0;
  bool expanded = false;
  bool large = false;
};

enum class Outcome { written, failed, cancelled };

std::string Join(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir.ends_with('/') ? dir + name : dir + "/" + name;
}

// The name a top folder gets under --output-dir: its last component, or none
// (its contents go straight in) for ".", ".." and "/".
std::string MirrorName(std::string path) {
  while (path.size() > 1 && path.ends_with('/')) path.pop_back();
  const size_t slash = path.rfind('/');
  std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  return last == "." || last == ".." || last == "/" ? "" : last;
}

// Everything the threads share while the files go through.
class Job {
 public:
  Job(const CipherOptions& o, const tav_keys* keys, std::vector<Folder>& folders, std::vector<Entry>& entries)
      : o_(o), keys_(keys), folders_(folders), entries_(entries) {
    for (const Entry& e : entries_) total_bytes_ += e.size;
  }

  // Runs every entry on `threads` threads, drawing the line on this one.
  void Run(unsigned threads);
  void Summary(size_t skipped) const;
  int Status() const { return first_status_; }
  bool Stopped() const { return stopped_at_ != SIZE_MAX; }

 private:
  struct FileProgress {
    Job* job;
    uint64_t reported = 0;
  };
  static int Callback(void* context, uint64_t done, uint64_t total);

  bool Cancelled() const { return StopSignal() != 0 || (o_.fail_fast && failed_.load() > 0); }
  void Work();
  Outcome Process(const Entry& entry, FileProgress& progress);
  bool Verify(const Entry& entry, int source, int output, std::string& why);
  void Fail(const std::string& name, tav_status status, int error, const std::string& why = "");
  void Draw(Progress& line, double start, bool last);

  const CipherOptions& o_;
  const tav_keys* keys_;
  std::vector<Folder>& folders_;
  std::vector<Entry>& entries_;
  uint64_t total_bytes_ = 0;
  std::atomic<size_t> next_{0};
  std::atomic<unsigned> active_{0};  // workers still running
  std::atomic<size_t> done_{0}, written_{0}, failed_{0}, wiped_{0}, kept_{0};
  std::atomic<uint64_t> bytes_{0};
  std::shared_mutex large_;  // a large file runs alone
  std::mutex messages_lock_;
  std::deque<std::string> messages_;
  int first_status_ = 0;  // under messages_lock_
  size_t stopped_at_ = SIZE_MAX;
};

int Job::Callback(void* context, uint64_t done, uint64_t) {
  auto* p = static_cast<FileProgress*>(context);
  if (done > p->reported) p->job->bytes_ += done - std::exchange(p->reported, done);
  return p->job->Cancelled() ? 1 : 0;
}

void Job::Fail(const std::string& name, tav_status status, int error, const std::string& why) {
  std::string text = "tav: " + name + ": ";
  if (!why.empty()) {
    text += why;
  } else if (status == TAV_EXISTS) {
    text += "File exists; -f replaces it";
  } else {
    text += error != 0 ? std::strerror(error) : tav_strerror(status);
  }
  const std::lock_guard lock(messages_lock_);
  messages_.push_back(text + "\n");
  if (first_status_ == 0) first_status_ = status;
  ++failed_;
}

// Reads the plain bytes of one file: as they are, or decrypted from the
// block or the expanded format.
class PlainReader {
 public:
  enum class Form { plain, block, expanded };
  PlainReader(const tav_keys* keys, int fd, Form form) : keys_(keys), fd_(fd), form_(form), raw_(kChunk) {
    if (form_ == Form::expanded && tav_decoder_new(&decoder_, keys_) != TAV_OK) decoder_ = nullptr;
  }
  ~PlainReader() {
    explicit_bzero(raw_.data(), raw_.size());
    tav_decoder_free(decoder_);
  }
  PlainReader(const PlainReader&) = delete;
  PlainReader& operator=(const PlainReader&) = delete;

  // Up to kChunk plain bytes into `out`; 0 at the end, -1 on an error (errno).
  ssize_t Next(uint8_t* out) {
    if (form_ == Form::expanded && decoder_ == nullptr) return errno = ENOMEM, -1;
    for (;;) {
      const ssize_t got = pread(fd_, form_ == Form::plain ? out : raw_.data(), kChunk, offset_);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return got;
      const auto n = static_cast<size_t>(got);
      const uint64_t at = std::exchange(offset_, offset_ + n);
      if (form_ == Form::plain) return got;
      // A failed decryption fails the check: nothing unverified is wiped.
      if (form_ == Form::block) {
        if (tav_block_decrypt(keys_, at, raw_.data(), out, n) != TAV_OK) return errno = EIO, -1;
        return got;
      }
      size_t plain = 0;
      if (tav_decoder_update(decoder_, raw_.data(), n, out, &plain) != TAV_OK) return errno = EIO, -1;
      if (plain > 0) return static_cast<ssize_t>(plain);  // a chunk of filler only gives nothing
    }
  }

 private:
  const tav_keys* keys_;
  int fd_;
  Form form_;
  tav_decoder* decoder_ = nullptr;
  std::vector<uint8_t> raw_;
  off_t offset_ = 0;
};

// The plain file and the decryption of the cipher file, compared as they
// stream, a chunk of each at a time.
bool Job::Verify(const Entry& entry, int source, int output, std::string& why) {
  const PlainReader::Form form = entry.expanded ? PlainReader::Form::expanded : PlainReader::Form::block;
  PlainReader plain(keys_, o_.encrypt ? source : output, PlainReader::Form::plain);
  PlainReader decrypted(keys_, o_.encrypt ? output : source, form);
  std::vector<uint8_t> a(kChunk), b(kChunk);
  size_t a_at = 0, a_len = 0, b_at = 0, b_len = 0;
  bool same = true;
  for (;;) {
    if (Cancelled()) {
      why = "stopped before the check ended; source kept";
      same = false;
      break;
    }
    if (a_at == a_len) a_at = 0, a_len = 0;
    if (b_at == b_len) b_at = 0, b_len = 0;
    const ssize_t got_a = a_len == 0 ? plain.Next(a.data()) : 1;
    const ssize_t got_b = b_len == 0 ? decrypted.Next(b.data()) : 1;
    if (got_a < 0 || got_b < 0) {
      why = std::string("cannot read it back: ") + std::strerror(errno) + "; source kept";
      same = false;
      break;
    }
    if (a_len == 0) a_len = static_cast<size_t>(got_a);
    if (b_len == 0) b_len = static_cast<size_t>(got_b);
    if (a_len == 0 || b_len == 0) {
      same = a_len == b_len;
      break;
    }
    const size_t n = std::min(a_len - a_at, b_len - b_at);
    if (std::memcmp(a.data() + a_at, b.data() + b_at, n) != 0) {
      same = false;
      break;
    }
    a_at += n;
    b_at += n;
  }
  explicit_bzero(a.data(), a.size());
  explicit_bzero(b.data(), b.size());
  if (!same && why.empty()) why = "the output does not give back the source; source kept, output removed";
  return same;
}

Outcome Job::Process(const Entry& entry, FileProgress& progress) {
  const Folder& folder = folders_[entry.folder];
  const std::string source_name = Join(folder.path, entry.name);
  const std::string out_name = Join(folder.out_path, entry.out_name);
  if (folder.out_fd < 0) {
    Fail(out_name, TAV_BAD_DEST, 0, "its folder could not be made");
    return Outcome::failed;
  }
  // Opened once, never through a link; the library reads this very file.
  const Fd source(openat(folder.fd, entry.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (source.fd < 0 || fstat(source.fd, &st) != 0) {
    Fail(source_name, TAV_BAD_SOURCE, errno);
    return Outcome::failed;
  }
  if (!S_ISREG(st.st_mode)) {
    Fail(source_name, TAV_BAD_SOURCE, 0, "no longer a regular file");
    return Outcome::failed;
  }
  char self[40];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", source.fd);
  const auto operation = o_.encrypt ? tav_file_encrypt_at : tav_file_decrypt_at;
  const unsigned flags = (entry.expanded ? TAV_EXPANDED : 0) | TAV_SOURCE_MODE | (o_.force ? TAV_REPLACE : 0);
  int error = 0;
  const tav_status status = operation(keys_, AT_FDCWD, self, folder.out_fd, entry.out_name.c_str(), flags,
                                      Callback, &progress, &error);
  if (status == TAV_CANCELLED) return Outcome::cancelled;
  if (status != TAV_OK) {
    Fail(status == TAV_BAD_SOURCE ? source_name : out_name, status, error);
    return Outcome::failed;
  }
  const timespec times[2] = {st.st_atim, st.st_mtim};
  utimensat(folder.out_fd, entry.out_name.c_str(), times, AT_SYMLINK_NOFOLLOW);
  if (!o_.wipe_source) return Outcome::written;

  // The output as it now stands on disk, read back and compared with the source.
  const Fd output(openat(folder.out_fd, entry.out_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat out_st;
  std::string why;
  // The library flushed it: dropping its cached pages makes the check read the disk's copy.
  if (output.fd >= 0) posix_fadvise(output.fd, 0, 0, POSIX_FADV_DONTNEED);
  if (output.fd < 0 || fstat(output.fd, &out_st) != 0) {
    why = std::string("cannot read the output back: ") + std::strerror(errno) + "; source kept";
  } else if (!Verify(entry, source.fd, output.fd, why)) {
    struct stat now;
    if (why.ends_with("removed") && fstatat(folder.out_fd, entry.out_name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_dev == out_st.st_dev && now.st_ino == out_st.st_ino) {
      unlinkat(folder.out_fd, entry.out_name.c_str(), 0);
    }
  }
  if (!why.empty()) {
    ++kept_;
    if (why.starts_with("stopped")) return Outcome::written;  // complete; only the check was cut short
    Fail(source_name, TAV_BAD_DEST, 0, why);
    return Outcome::failed;
  }
  if (Cancelled()) {  // verified, but the user asked to stop: nothing more is destroyed
    ++kept_;
    return Outcome::written;
  }
  // The wipe goes by name: it must still be the file that was checked.
  struct stat now;
  if (fstatat(folder.fd, entry.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != st.st_dev ||
      now.st_ino != st.st_ino) {
    ++kept_;
    Fail(source_name, TAV_BAD_SOURCE, 0, "was replaced during the job; not wiped");
    return Outcome::failed;
  }
  tav_status wiped;
  {
    const Deferred deferred;  // a source is wiped whole or not at all
    wiped = tav_wipe_at(folder.fd, entry.name.c_str(), &error);
  }
  if (wiped != TAV_OK) {
    ++kept_;
    Fail(source_name, wiped, error, std::string("cannot wipe it: ") +
                                        (error != 0 ? std::strerror(error) : tav_strerror(wiped)));
    return Outcome::failed;
  }
  ++wiped_;
  return Outcome::written;
}

void Job::Work() {
  // Stop signals go to the thread that draws the line.
  sigset_t stops;
  sigemptyset(&stops);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, sig);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  for (;;) {
    if (Cancelled()) return;
    const size_t i = next_++;
    if (i >= entries_.size()) return;
    const Entry& entry = entries_[i];
    FileProgress progress{this};
    Outcome outcome;
    if (entry.large) {
      const std::unique_lock lock(large_);
      outcome = Process(entry, progress);
    } else {
      const std::shared_lock lock(large_);
      outcome = Process(entry, progress);
    }
    if (outcome == Outcome::cancelled) return;
    bytes_ += entry.size - std::min(entry.size, progress.reported);
    if (outcome == Outcome::written) ++written_;
    ++done_;
  }
}

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void Job::Draw(Progress& line, double start, bool last) {
  std::deque<std::string> messages;
  {
    const std::lock_guard lock(messages_lock_);
    messages.swap(messages_);
  }
  if (!messages.empty()) line.Show("");
  for (const std::string& m : messages) std::fputs(m.c_str(), stderr);
  const double seconds = Now() - start;
  if (last || seconds < 1) return;  // quick jobs draw nothing
  const double done = static_cast<double>(bytes_.load()) / 1e6, all = static_cast<double>(total_bytes_) / 1e6;
  const double rate = done / seconds;
  const long left = rate > 0 ? static_cast<long>((all - done) / rate + 0.5) : 0;
  char text[160];
  std::snprintf(text, sizeof text, "tav: %zu of %zu files  %.1f of %.1f MB  %.1f MB/s  %ld:%02ld left", done_.load(),
                entries_.size(), done, all, rate, left / 60, left % 60);
  line.Show(text);
}

void Job::Run(unsigned threads) {
  Progress line(!o_.quiet && (o_.progress || isatty(STDERR_FILENO)), "");
  const double start = Now();
  threads = static_cast<unsigned>(std::clamp<size_t>(threads, 1, std::max<size_t>(entries_.size(), 1)));
  {
    std::vector<std::jthread> workers;
    for (unsigned i = 0; i < threads; ++i) {
      ++active_;
      try {
        workers.emplace_back([this] {
          Work();
          --active_;
        });
      } catch (const std::system_error&) {  // fewer threads, then
        --active_;
        break;
      }
    }
    if (workers.empty()) {
      ++active_;
      Work();
      --active_;
    }
    const bool terminal = isatty(STDERR_FILENO) == 1;
    for (double last = 0; active_.load() > 0;) {
      if (const double now = Now(); now - last >= (terminal ? 0.2 : 1.0)) {
        Draw(line, start, false);
        last = now;
      }
      timespec pause{0, 20'000'000};
      nanosleep(&pause, nullptr);
    }
  }  // joined: no thread outlives the job
  Draw(line, start, true);
  line.Show("");
  if (done_.load() < entries_.size()) stopped_at_ = done_.load();
}

void Job::Summary(size_t skipped) const {
  std::string text = "tav: " + std::to_string(written_.load()) + " written, " + std::to_string(skipped) +
                     " skipped, " + std::to_string(failed_.load()) + " failed";
  if (o_.wipe_source) {
    text += "; " + std::to_string(wiped_.load()) + " sources wiped, " + std::to_string(kept_.load()) + " kept";
  }
  if (Stopped()) {
    text += "; stopped after " + std::to_string(done_.load()) + " of " + std::to_string(entries_.size()) +
            " files, " + std::to_string(entries_.size() - done_.load()) + " not written";
  }
  std::fprintf(stderr, "%s\n", text.c_str());
}

// The walk: every folder opened once without following a link, every name
// looked at without following one; links and special files are skipped.
class Walk {
 public:
  Walk(const CipherOptions& o, std::vector<Folder>& folders, std::vector<Entry>& entries)
      : o_(o), folders_(folders), entries_(entries) {}

  // Adds the folder (or single file) `path`; false after a message.
  bool AddTop(const std::string& path, const std::set<std::pair<dev_t, ino_t>>& skip);
  size_t skipped = 0;

 private:
  void Scan(size_t index, const std::set<std::pair<dev_t, ino_t>>& skip);
  void AddFile(size_t folder, const std::string& name, const struct stat& st);
  void Skip(const std::string& path, const char* why) {
    ++skipped;
    std::fprintf(stderr, "tav: %s: %s, skipped\n", path.c_str(), why);
  }

  const CipherOptions& o_;
  std::vector<Folder>& folders_;
  std::vector<Entry>& entries_;
};

void Walk::AddFile(size_t folder, const std::string& name, const struct stat& st) {
  Entry e;
  e.folder = folder;
  e.name = name;
  e.size = static_cast<uint64_t>(st.st_size);
  const std::string_view suffix = ModeSuffix(name);
  // In place, the outputs of an earlier run are not encrypted again.
  if (o_.encrypt && (suffix.empty() || !o_.output_dir.empty())) {
    e.expanded = o_.expanded;
    e.out_name = name + std::string(e.expanded ? kExpandedSuffix : kSuffix);
  } else {
    if (suffix.empty() || o_.encrypt) {
      ++skipped;  // not ciphertext (or already ciphertext): left alone without a word
      return;
    }
    e.expanded = o_.expanded || (!o_.block && suffix == kExpandedSuffix);
    e.out_name = name.substr(0, name.size() - suffix.size());
  }
  e.large = e.size >= (!e.expanded ? kLargeBlock : o_.encrypt ? kLargeEncode : kLargeDecode);
  entries_.push_back(std::move(e));
}

void Walk::Scan(size_t index, const std::set<std::pair<dev_t, ino_t>>& skip) {
  const int copy = dup(folders_[index].fd);
  DIR* dir = copy >= 0 ? fdopendir(copy) : nullptr;
  if (dir == nullptr) {
    if (copy >= 0) close(copy);
    std::fprintf(stderr, "tav: %s: %s\n", folders_[index].path.c_str(), std::strerror(errno));
    return;
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* d = readdir(dir)) {
    const std::string_view name = d->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const int fd = folders_[index].fd;
    const std::string path = Join(folders_[index].path, name);
    struct stat st;
    if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      std::fprintf(stderr, "tav: %s: %s, skipped\n", path.c_str(), std::strerror(errno));
      ++skipped;
    } else if (S_ISREG(st.st_mode)) {
      AddFile(index, name, st);
    } else if (S_ISLNK(st.st_mode)) {
      Skip(path, "symbolic link");
    } else if (!S_ISDIR(st.st_mode)) {
      Skip(path, S_ISFIFO(st.st_mode) ? "FIFO" : S_ISSOCK(st.st_mode) ? "socket" : "device");
    } else if (skip.count({st.st_dev, st.st_ino}) == 0) {
      // A link swapped in after the look is refused here, not followed.
      const int sub = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        std::fprintf(stderr, "tav: %s: %s, skipped\n", path.c_str(), std::strerror(errno));
        ++skipped;
        continue;
      }
      Folder f;
      f.fd = sub;
      f.parent = index;
      f.name = name;
      f.path = path;
      f.mode = st.st_mode & 07777;
      folders_.push_back(std::move(f));
    }
  }
}

bool Walk::AddTop(const std::string& path, const std::set<std::pair<dev_t, ino_t>>& skip) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    const int error = errno;
    if (fd >= 0) close(fd);
    if (error == ELOOP) {
      std::fprintf(stderr, "tav: %s: is a symbolic link; name the folder it points to\n", path.c_str());
    } else {
      Report(path, TAV_BAD_SOURCE, error);
    }
    return false;
  }
  Folder f;
  if (S_ISDIR(st.st_mode)) {
    f.fd = fd;
    f.path = path;
    f.name = MirrorName(path);
    f.mode = st.st_mode & 07777;
    folders_.push_back(std::move(f));
    for (size_t i = folders_.size() - 1; i < folders_.size(); ++i) Scan(i, skip);
    return true;
  }
  close(fd);
  if (!S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "tav: %s: not a regular file or folder\n", path.c_str());
    return false;
  }
  // A single file: its own folder is the one to work in.
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  f.fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (f.fd < 0) return Report(dir, TAV_BAD_SOURCE, errno), false;
  f.path = slash == std::string::npos ? "" : dir;
  f.mode = 0;
  folders_.push_back(std::move(f));
  const size_t before = entries_.size();
  AddFile(folders_.size() - 1, slash == std::string::npos ? path : path.substr(slash + 1), st);
  if (entries_.size() == before) {
    --skipped;
    std::fprintf(stderr, "tav: %s: %s\n", path.c_str(),
                 o_.encrypt ? "already ends in .tav or .tavx" : "no .tav or .tavx suffix to strip");
  }
  return entries_.size() > before;
}

// The output folders: the source folders themselves, or new ones under OUT
// (made private while the job runs, given the source's mode at its end).
void MakeOutputFolders(const CipherOptions& o, int out_root, std::vector<Folder>& folders) {
  for (Folder& f : folders) {
    if (out_root < 0) {
      f.out_fd = f.fd;
      f.out_path = f.path;
      continue;
    }
    const bool top = f.parent == SIZE_MAX;
    const int parent = top ? out_root : folders[f.parent].out_fd;
    const std::string parent_path = top ? o.output_dir : folders[f.parent].out_path;
    if (parent < 0) continue;
    if (f.mode == 0 || f.name.empty()) {  // a single file's folder, or contents straight into OUT
      f.out_fd = dup(out_root);
      f.out_path = o.output_dir;
      continue;
    }
    f.out_path = Join(parent_path, f.name);
    f.created = mkdirat(parent, f.name.c_str(), 0700) == 0;
    if (!f.created && errno != EEXIST) {
      std::fprintf(stderr, "tav: %s: %s\n", f.out_path.c_str(), std::strerror(errno));
      continue;
    }
    f.out_fd = openat(parent, f.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (f.out_fd < 0) std::fprintf(stderr, "tav: %s: %s\n", f.out_path.c_str(), std::strerror(errno));
  }
}

unsigned CpuCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

int RunTree(const CipherOptions& o) {
  if (o.string || !o.output.empty() || o.to_stdout) {
    return UsageError("-r writes files beside the inputs or under --output-dir; not with -o, -c or --string",
                      kUsageCipher);
  }
  if (o.args.empty()) return UsageError("-r needs at least one folder", kUsageCipher);
  for (const std::string& a : o.args) {
    if (a == "-") return UsageError("-r takes folders, not standard input", kUsageCipher);
  }
  // A descriptor for every folder is held until the end.
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  Fd out_root;
  std::set<std::pair<dev_t, ino_t>> skip;  // the output folder is not walked into
  if (!o.output_dir.empty()) {
    out_root.fd = open(o.output_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (out_root.fd < 0 && errno == ENOENT && mkdir(o.output_dir.c_str(), 0777) == 0) {
      out_root.fd = open(o.output_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    struct stat st;
    if (out_root.fd < 0 || fstat(out_root.fd, &st) != 0) return Report(o.output_dir, TAV_BAD_DEST, errno);
    skip.insert({st.st_dev, st.st_ino});
  }
  std::vector<Folder> folders;
  std::vector<Entry> entries;
  Walk walk(o, folders, entries);
  bool all_found = true;
  for (const std::string& a : o.args) all_found = walk.AddTop(a, skip) && all_found;
  int result = all_found ? 0 : TAV_BAD_SOURCE;  // refused before the passphrase, as for single files
  tav_keys* keys = nullptr;
  if (result == 0) result = MakeKeys(o.passphrase, o.encrypt, o.text ? TAV_TEXT : TAV_BINARY, &keys);
  if (result == 0) {
    MakeOutputFolders(o, out_root.fd, folders);
    // Large files run alone on the library's workers: as many as -T.
    const unsigned threads = o.threads != 0 ? o.threads : CpuCount();
    const char* cap = std::getenv("TAVSDK_THREADS");
    const long user_cap = cap != nullptr ? std::strtol(cap, nullptr, 10) : 0;
    const long library = user_cap > 0 ? std::min<long>(user_cap, threads) : threads;
    setenv("TAVSDK_THREADS", std::to_string(library).c_str(), 1);  // no other thread runs yet
    // Large files first, so that the small ones fill the threads at the end.
    std::stable_partition(entries.begin(), entries.end(), [](const Entry& e) { return e.large; });
    CatchStopSignals();
    Job job(o, keys, folders, entries);
    job.Run(threads);
    job.Summary(walk.skipped);
    if (result == 0) result = job.Status();
    if (job.Stopped() && StopSignal() != 0) result = StoppedBySignal();
    tav_keys_free(keys);
  }
  for (const Folder& f : folders) {
    if (f.created && f.out_fd >= 0) fchmod(f.out_fd, f.mode);
    if (f.out_fd >= 0 && f.out_fd != f.fd) close(f.out_fd);
    close(f.fd);
  }
  return result;
}

}  // namespace tavtool
