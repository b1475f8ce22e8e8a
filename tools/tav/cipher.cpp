// SPDX-License-Identifier: MIT
#include "cipher.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <tuple>
#include <string_view>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "console.hpp"
#include "encoding.hpp"

namespace tavtool {

namespace {

// One input and where its result goes; "-" is standard input or output.
struct Job {
  std::string source;
  std::string destination;  // empty until the default name is chosen
  bool expanded = false;
  int in_fd = -1;          // the source, held when the core does not open it by name
  bool regular = false;    // the source is a regular file
  struct stat source_stat = {};
  int dir_fd = -1;         // the destination's directory
  std::string base;        // the destination's name in it
  int out_fd = -1;         // a device or FIFO named as the destination, written as it is
  bool skipped = false;    // already ciphertext: not encrypted again
};

Job MakeJob(const std::string& source, const std::string& destination) {
  Job job;
  job.source = source;
  job.destination = destination;
  return job;
}

std::string SourceName(const Job& job) { return job.source == "-" ? "standard input" : job.source; }
std::string DestinationName(const Job& job) { return job.destination == "-" ? "standard output" : job.destination; }

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Decryption reads the mode a suffix names unless an option names it.
void ChooseMode(const CipherOptions& o, Job& job) {
  job.expanded = o.expanded || (!o.encrypt && !o.block && ModeSuffix(job.source) == kExpandedSuffix);
}

// NAME.tav or NAME.tavx for encryption; decryption strips either suffix and
// has no name for anything else.
bool DefaultName(bool encrypt, const Job& job, std::string& destination) {
  if (encrypt) {
    destination = job.source + std::string(job.expanded ? kExpandedSuffix : kSuffix);
    return true;
  }
  const std::string_view suffix = ModeSuffix(job.source);
  if (suffix.empty()) return false;
  destination = job.source.substr(0, job.source.size() - suffix.size());
  return true;
}

// Every name on the command line is an input; only -o names an output.
int PlanJobs(const CipherOptions& o, std::vector<Job>& jobs) {
  const auto& args = o.args;
  if (o.hex) return UsageError("--hex is for --string, where it is the ciphertext's form", kUsageCipher);
  if (!o.output.empty()) {
    if (args.size() > 1) return UsageError("-o names the output of one input", kUsageCipher);
    jobs.push_back(MakeJob(args.empty() ? "-" : args[0], o.output));
  } else if (args.empty()) {
    jobs.push_back(MakeJob("-", "-"));
  } else {
    for (const std::string& source : args) jobs.push_back(MakeJob(source, source == "-" || o.to_stdout ? "-" : ""));
  }
  int stdin_uses = 0;
  for (Job& job : jobs) {
    ChooseMode(o, job);
    stdin_uses += job.source == "-";
    // Ciphertext is not sprayed over a terminal by accident; asked for
    // (-c, -o -), it is written there.
    if (job.destination == "-" && o.encrypt && !o.to_stdout && o.output.empty() && isatty(STDOUT_FILENO)) {
      std::fputs("tav: refusing to write ciphertext to a terminal; -c (--stdout) writes there anyway\n", stderr);
      return kUsageError;
    }
  }
  if (stdin_uses > 1) return UsageError("standard input can be read only once", kUsageCipher);
  return 0;
}

int CheckSource(const CipherOptions& o, Job& job, bool second_of_two) {
  if (job.source == "-") {
    job.in_fd = STDIN_FILENO;
    return 0;
  }
  // Not blocking on a FIFO without a writer; the core waits for data.
  const int fd = open(job.source.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && second_of_two) {
    // Earlier versions took a second name as the output.
    std::fprintf(stderr, "tav: %s: No such file or directory; -o names an output\n", Shown(job.source).c_str());
    return TAV_BAD_SOURCE;
  }
  if (fd < 0) return Report(job.source, TAV_BAD_SOURCE, errno);
  if (fstat(fd, &job.source_stat) != 0 || S_ISDIR(job.source_stat.st_mode)) {
    const bool folder = S_ISDIR(job.source_stat.st_mode);
    const int error = errno;
    close(fd);
    if (!folder) return Report(job.source, TAV_BAD_SOURCE, error);
    std::fprintf(stderr, "tav: %s: Is a directory; -r %ss the files below it\n", Shown(job.source).c_str(),
                 o.encrypt ? "encrypt" : "decrypt");
    return TAV_BAD_SOURCE;
  }
  job.regular = S_ISREG(job.source_stat.st_mode);
  job.in_fd = fd;
  if (job.destination.empty() && o.encrypt && !o.force && !ModeSuffix(job.source).empty()) {
    // As other file tools do: a second suffix is more often a slip than meant.
    std::fprintf(stderr, "tav: %s: already ends in %s, skipped; -f encrypts it again\n", Shown(job.source).c_str(),
                 std::string(ModeSuffix(job.source)).c_str());
    job.skipped = true;
    return 0;
  }
  if (job.destination.empty() && !DefaultName(o.encrypt, job, job.destination)) {
    return UsageError(Shown(job.source) + ": no .tav or .tavx suffix to strip; -o names the output", kUsageCipher);
  }
  return 0;
}

// A character device or FIFO (through a link too, /dev/stdout) named as the
// destination is written as it is: there is no file to replace.
bool OpenDevice(Job& job, int& error) {
  struct stat st;
  if (fstatat(job.dir_fd, job.base.c_str(), &st, 0) != 0 || !(S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) return false;
  // Neither created nor truncated, so a name that changed meanwhile to a
  // regular file is left as it is.
  const int fd = openat(job.dir_fd, job.base.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || fstat(fd, &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    error = fd < 0 ? errno : S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) ? errno : EEXIST;
    if (fd >= 0) close(fd);
    return true;
  }
  job.out_fd = fd;
  return true;
}

int CheckDestination(const CipherOptions& o, Job& job, const std::vector<Job>& jobs) {
  if (job.destination == "-") return 0;
  const std::string& path = job.destination;
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  job.base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (job.base.empty() || job.base == "." || job.base == "..") return Report(path, TAV_BAD_DEST, EISDIR);
  job.dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (job.dir_fd < 0) return Report(path, TAV_BAD_DEST, errno);
  struct stat st;
  if (fstatat(job.dir_fd, job.base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? 0 : Report(path, TAV_BAD_DEST, errno);
  }
  if (S_ISDIR(st.st_mode)) return Report(path, TAV_BAD_DEST, EISDIR);
  int error = 0;
  if (OpenDevice(job, error)) return error != 0 ? Report(path, TAV_BAD_DEST, error) : 0;
  if (job.source != "-" && fstatat(job.dir_fd, job.base.c_str(), &st, 0) == 0 && SameFile(st, job.source_stat)) {
    std::fprintf(stderr, "tav: %s: is the source file\n", Shown(path).c_str());
    return TAV_BAD_DEST;
  }
  // Another input of this command, which would be replaced before it is read.
  struct stat named;
  const bool found = fstatat(job.dir_fd, job.base.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0;
  for (const Job& other : jobs) {
    if (other.in_fd < 0 || other.source == "-" || !found) continue;
    if (SameFile(named, other.source_stat) || (fstatat(job.dir_fd, job.base.c_str(), &st, 0) == 0 &&
                                               SameFile(st, other.source_stat))) {
      std::fprintf(stderr, "tav: %s: is also an input of this command, and would be the output of %s\n",
                   Shown(path).c_str(), Shown(job.source).c_str());
      return TAV_BAD_DEST;
    }
  }
  if (!o.force) {
    std::fprintf(stderr, "tav: %s: File exists; -f replaces it\n", Shown(path).c_str());
    return TAV_EXISTS;
  }
  return 0;
}

// Two inputs written to one file: the second would replace the first.
int CheckTwins(const std::vector<Job>& jobs) {
  std::map<std::tuple<dev_t, ino_t, std::string>, const Job*> outputs;
  struct stat st;
  for (const Job& job : jobs) {
    if (job.dir_fd < 0 || job.out_fd >= 0 || fstat(job.dir_fd, &st) != 0) continue;
    const auto [at, added] = outputs.try_emplace({st.st_dev, st.st_ino, job.base}, &job);
    if (!added) {
      std::fprintf(stderr, "tav: %s and %s would both be written to %s; nothing written\n",
                   Shown(at->second->source).c_str(), Shown(job.source).c_str(), Shown(job.destination).c_str());
      return TAV_BAD_DEST;
    }
  }
  return 0;
}

using FdOperation = tav_status (*)(const tav_keys*, int, int, unsigned, tav_progress_fn, void*, int*);

// A pipe holds 64 KiB by default, so tav and the process at its other end
// take turns every 64 KiB; on two CPUs `cat | tav | cat` ran at half the rate
// of file to file. 1 MiB is the most an unprivileged process may ask for by
// default; a refusal (a lower limit, the user's pipe quota) leaves the pipe
// as it was, and a wider pipe is never narrowed.
void WidenPipe(int fd) {
  constexpr int kPipeBytes = 1 << 20;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
  const int size = fcntl(fd, F_GETPIPE_SZ);
  if (size >= 0 && size < kPipeBytes) (void)fcntl(fd, F_SETPIPE_SZ, kPipeBytes);
}

// The options of a named output: the source's permission bits and times go
// with it, and -f replaces an existing file.
tav_options* FileOptions(const CipherOptions& o, const Job& job, Progress& progress) {
  tav_options* options = nullptr;
  if (tav_options_new(&options) != TAV_OK) return nullptr;
  const bool set = tav_options_set(options, TAV_OPTION_DECRYPT, !o.encrypt) == TAV_OK &&
                   tav_options_set(options, TAV_OPTION_EXPANDED, job.expanded) == TAV_OK &&
                   tav_options_set(options, TAV_OPTION_REPLACE, o.force) == TAV_OK &&
                   tav_options_set(options, TAV_OPTION_SOURCE_MODE, 1) == TAV_OK &&
                   tav_options_set(options, TAV_OPTION_KEEP_TIMES, 1) == TAV_OK &&
                   tav_options_set_progress(options, Progress::Callback, &progress) == TAV_OK;
  if (!set) tav_options_free(std::exchange(options, nullptr));
  return options;
}

tav_status RunJob(const CipherOptions& o, const tav_keys* keys, const Job& job, int& error) {
  Progress progress(!o.quiet && (o.progress || isatty(STDERR_FILENO)), SourceName(job));
  if (!job.regular) WidenPipe(job.in_fd);
  if (job.destination == "-" || job.out_fd >= 0) {
    const int out = job.out_fd >= 0 ? job.out_fd : STDOUT_FILENO;
    WidenPipe(out);
    const FdOperation fd_operation = o.encrypt ? tav_fd_encrypt : tav_fd_decrypt;
    return fd_operation(keys, job.in_fd, out, job.expanded ? TAV_EXPANDED : 0, Progress::Callback, &progress, &error);
  }
  // The source as opened and checked, file or stream, into a new file that
  // takes the name once complete. Standard input is read from where it stands.
  tav_options* options = FileOptions(o, job, progress);
  if (options == nullptr) return TAV_NO_MEMORY;
  const off_t at = job.source == "-" ? lseek(job.in_fd, 0, SEEK_CUR) : 0;  // -1 for a pipe
  const tav_status status = tav_file_run(keys, options, job.in_fd, static_cast<uint64_t>(std::max<off_t>(at, 0)),
                                         job.dir_fd, job.base.c_str(), &error);
  tav_options_free(options);
  return status;
}

int ReportJob(const Job& job, tav_status status, int error) {
  switch (status) {
    case TAV_BAD_SOURCE:
      return Report(SourceName(job), status, error);
    case TAV_BAD_DEST:
      return Report(DestinationName(job), status, error);
    case TAV_EXISTS:
      std::fprintf(stderr, "tav: %s: File exists; -f replaces it\n", Shown(job.destination).c_str());
      return status;
    default:
      return Report(SourceName(job), status, error);
  }
}

}  // namespace

std::string_view ModeSuffix(std::string_view source) {
  for (const std::string_view suffix : {kSuffix, kExpandedSuffix}) {
    const size_t stem = source.size() - suffix.size();
    if (source.size() > suffix.size() && source.ends_with(suffix) && source[stem - 1] != '/') return suffix;
  }
  return "";
}

int UsageError(const std::string& message, const char* usage) {
  std::fprintf(stderr, "tav: %s\nusage: %s\n", message.c_str(), usage);
  return kUsageError;
}

int MakeKeys(const PassphraseSource& source, bool confirm, tav_alphabet alphabet, tav_keys** keys) {
  std::string passphrase;
  if (const int status = ReadPassphrase(source, confirm, passphrase)) return status;
  const tav_status status = tav_keys_new(keys, alphabet, passphrase.data(), passphrase.size());
  ClearPassphrase(passphrase);
  if (status != TAV_OK) std::fprintf(stderr, "tav: cannot make the keys: %s\n", tav_strerror(status));
  return status;
}

int RunFiles(const CipherOptions& o) {
  std::vector<Job> jobs;
  if (const int status = PlanJobs(o, jobs)) return status;
  // Every input is looked at before any output, so that no output is
  // planned over another input; nothing is written before all are planned.
  int result = 0;
  for (size_t i = 0; i < jobs.size() && result == 0; ++i) result = CheckSource(o, jobs[i], i == 1 && jobs.size() == 2);
  const size_t all = jobs.size();
  for (auto skipped = jobs.begin(); skipped != jobs.end();) {
    if (!skipped->skipped) {
      ++skipped;
      continue;
    }
    close(skipped->in_fd);
    skipped = jobs.erase(skipped);
  }
  const int skip_status = jobs.size() < all ? TAV_BAD_SOURCE : 0;
  for (size_t i = 0; i < jobs.size() && result == 0; ++i) result = CheckDestination(o, jobs[i], jobs);
  if (result == 0) result = CheckTwins(jobs);
  if (result == 0 && jobs.empty()) result = skip_status;
  tav_keys* keys = nullptr;
  if (result == 0) result = MakeKeys(o.passphrase, o.encrypt, o.text ? TAV_TEXT : TAV_BINARY, &keys);
  bool reader_gone = false;
  if (result == 0) {
    CatchStopSignals();
    for (const Job& job : jobs) {
      int error = 0;
      const tav_status status = RunJob(o, keys, job, error);
      if (StopSignal() != 0) {
        result = StoppedBySignal();
        break;
      }
      // The reader of the output went away: end as a pipeline expects.
      if ((reader_gone = status == TAV_BAD_DEST && error == EPIPE)) break;
      if (status != TAV_OK && ReportJob(job, status, error) != 0 && result == 0) result = status;
    }
  }
  tav_keys_free(keys);
  for (const Job& job : jobs) {
    if (job.in_fd > STDERR_FILENO) close(job.in_fd);
    if (job.out_fd >= 0) close(job.out_fd);
    if (job.dir_fd >= 0) close(job.dir_fd);
  }
  if (reader_gone) EndByBrokenPipe();
  return result != 0 ? result : skip_status;
}

namespace {

bool ReadAll(int fd, std::string& data) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    data.append(buffer, static_cast<size_t>(n));
  }
}

bool WriteAll(int fd, const std::string& data) {
  for (size_t done = 0; done < data.size();) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int RunString(const CipherOptions& o) {
  if (o.expanded || o.block) return UsageError("--expanded and --block work on files, not on --string", kUsageCipher);
  if (!o.output.empty() || o.to_stdout || o.force) return UsageError("--string prints its result; -o, -c and -f are for files", kUsageCipher);
  if (o.args.size() > 1) return UsageError("--string takes one TEXT argument or standard input", kUsageCipher);
  std::string input;
  if (o.args.size() == 1) {
    input = o.args[0];
  } else {
    if (!ReadAll(STDIN_FILENO, input)) return Report("standard input", TAV_BAD_SOURCE, errno);
    if (!input.empty() && input.back() == '\n') input.pop_back();
  }
  // Ciphertext comes back as it was printed; plain text as typed.
  std::string bytes;
  if (!o.encrypt && (o.hex || !o.text)) {
    auto decoded = FromHex(input);
    if (!decoded) return UsageError("the ciphertext must be hexadecimal digits", kUsageCipher);
    bytes = std::move(*decoded);
  } else if (o.text) {
    std::string error;
    auto latin1 = Utf8ToLatin1(input, error);
    if (!latin1) return UsageError("the text cannot be used: " + error, kUsageCipher);
    bytes = std::move(*latin1);
  } else {
    bytes = std::move(input);
  }

  tav_keys* keys = nullptr;
  if (const int status = MakeKeys(o.passphrase, o.encrypt, o.text ? TAV_TEXT : TAV_BINARY, &keys)) return status;
  std::string result(bytes.size(), '\0');
  const tav_status status = (o.encrypt ? tav_block_encrypt : tav_block_decrypt)(keys, 0, bytes.data(), result.data(),
                                                                               bytes.size());
  tav_keys_free(keys);
  if (status != TAV_OK) return Report("string", status, 0);
  // --hex is the ciphertext's form only; plain text is printed as typed.
  std::string shown = o.encrypt && (o.hex || !o.text) ? ToHex(result) : o.text ? Latin1ToUtf8(result) : result;
  shown += '\n';
  if (!WriteAll(STDOUT_FILENO, shown)) {
    if (errno == EPIPE) EndByBrokenPipe();
    return Report("standard output", TAV_BAD_DEST, errno);
  }
  return 0;
}

}  // namespace tavtool
