// SPDX-License-Identifier: MIT
// encrypt -r and decrypt -r: the library's folder job, with the tool's
// options, messages, progress line and summary.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cipher.hpp"
#include "console.hpp"

namespace tavtool {

namespace {

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string Count(uint64_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

// What the job reported, and the line that shows it.
struct Job {
  const CipherOptions& o;
  Progress line;
  double start = Now();
  double last_draw = 0;
  bool terminal = false;
  size_t files = 0;
  uint64_t total = 0;
  size_t written = 0, skipped = 0, failed = 0, wiped = 0, kept = 0, finished = 0;

  void Say(const std::string& text) {
    line.Show("");
    std::fprintf(stderr, "tav: %s\n", text.c_str());
  }

  void Heard(const tav_tree_report& r);
  static void OnReport(void* context, const tav_tree_report* report) { static_cast<Job*>(context)->Heard(*report); }
  static int OnProgress(void* context, uint64_t done, uint64_t) {
    auto& job = *static_cast<Job*>(context);
    job.Draw(done);
    return StopSignal() != 0 ? 1 : 0;
  }
  void Draw(uint64_t done);
  void Summary(bool stopped) const;
};

// The kind of a special file the walk passed over, for its message.
const char* SpecialKind(const char* path) {
  struct stat st;
  if (path == nullptr || lstat(path, &st) != 0) return "special file";
  return S_ISFIFO(st.st_mode) ? "FIFO" : S_ISSOCK(st.st_mode) ? "socket" : "device";
}

std::string Reason(const tav_tree_report& r) {
  if (r.status == TAV_EXISTS) return "File exists; -f replaces it, --resume skips complete ones";
  return r.error != 0 ? std::strerror(r.error) : tav_strerror(r.status);
}

void Job::Heard(const tav_tree_report& r) {
  const std::string source = r.source != nullptr ? Shown(r.source) : "";
  const std::string output = r.output != nullptr ? Shown(r.output) : "";
  switch (r.event) {
    case TAV_TREE_SKIPPED:
      ++skipped;
      if (r.why == TAV_WHY_DONE) {
        ++finished;
        if (o.wipe_source) ++wiped;
      }
      if (r.why == TAV_WHY_LINK) Say(source + ": symbolic link, skipped");
      if (r.why == TAV_WHY_SPECIAL) Say(source + ": " + SpecialKind(r.source) + ", skipped");
      if (r.why == TAV_WHY_TWICE) Say(source + ": already in this job, skipped");
      return;
    case TAV_TREE_WRITTEN:
      ++written;
      ++finished;
      if (!o.wipe_source) return;
      if (r.why == TAV_WHY_NONE) {
        ++wiped;
        return;
      }
      ++kept;
      if (r.why == TAV_WHY_HARD_LINKS) {
        struct stat st;
        const nlink_t others = r.source != nullptr && lstat(r.source, &st) == 0 ? st.st_nlink - 1 : 1;
        Say(source + ": has " + Count(others, "other hard link", "other hard links") + "; not wiped");
      }
      return;
    case TAV_TREE_REFUSED:
      if (r.why == TAV_WHY_TWIN) {
        Say(Shown(r.other) + " and " + source + " would both be written to " + output);
      } else if (r.why == TAV_WHY_INPUT_OUTPUT) {
        Say(output + " is an input of this job and would be the output of " + source);
      } else {
        Say(output + ": is one of the folders being walked; name another --output-dir");
      }
      return;
    case TAV_TREE_FAILED:
      break;
  }
  ++failed;
  if (r.output != nullptr) ++finished;
  if (o.wipe_source && r.output != nullptr && r.why >= TAV_WHY_MISMATCH && r.why <= TAV_WHY_WIPE) ++kept;
  switch (r.why) {
    case TAV_WHY_LINK:
      return Say(source + ": is a symbolic link; name the folder it points to");
    case TAV_WHY_SPECIAL:
      return Say(source + ": not a regular file or folder");
    case TAV_WHY_NOT_FOR_JOB:
      return Say(source + (o.encrypt ? ": already ends in .tav or .tavx" : ": no .tav or .tavx suffix to strip"));
    case TAV_WHY_FOLDER: {
      const std::string why = r.error != 0 ? std::string(": ") + std::strerror(r.error) : "";
      if (r.status == TAV_BAD_DEST) return Say(output + ": its folder could not be made or opened" + why);
      return Say(source + (r.output != nullptr ? ": its folder cannot be opened" : ": cannot be read") + why);
    }
    case TAV_WHY_CHANGED:
      return Say(source + ": changed during the job; not followed");
    case TAV_WHY_MISMATCH:
      return Say(source + ": the output does not give back the source; source kept, output removed");
    case TAV_WHY_READ_BACK:
      return Say(source + ": cannot read the output back: " + Reason(r) + "; source kept");
    case TAV_WHY_REPLACED:
      return Say(source + ": was replaced during the job; not wiped");
    case TAV_WHY_WIPE:
      return Say(source + ": cannot wipe it: " + Reason(r));
    default:
      return Say((r.status == TAV_BAD_SOURCE || r.output == nullptr ? source : output) + ": " + Reason(r));
  }
}

void Job::Draw(uint64_t done) {
  const double now = Now(), seconds = now - start;
  if (seconds < 1 || now - last_draw < (terminal ? 0.2 : 1.0)) return;  // quick jobs draw nothing
  last_draw = now;
  const double mb = static_cast<double>(done) / 1e6, all = static_cast<double>(total) / 1e6;
  const double rate = mb / seconds;
  const long left = rate > 0 ? static_cast<long>((all - mb) / rate + 0.5) : 0;
  char text[160];
  std::snprintf(text, sizeof text, "tav: %zu of %zu files  %.1f of %.1f MB  %.1f MB/s  %ld:%02ld left", finished, files,
                mb, all, rate, left / 60, left % 60);
  line.Show(text);
}

void Job::Summary(bool stopped) const {
  std::string text = "tav: " + std::to_string(written) + " written, " + std::to_string(skipped) + " skipped, " +
                     std::to_string(failed) + " failed";
  if (o.wipe_source) text += "; " + Count(wiped, "source wiped, ", "sources wiped, ") + std::to_string(kept) + " kept";
  if (stopped) {
    text += "; stopped after " + std::to_string(finished) + " of " + Count(files, "file, ", "files, ") +
            std::to_string(files - std::min(files, finished)) + " not written";
  }
  std::fprintf(stderr, "%s\n", text.c_str());
}

// The tool's options as the library's.
bool SetOptions(const CipherOptions& o, tav_options* options, Job& job) {
  const int mode = o.expanded ? 1 : o.block || o.encrypt ? 0 : 2;
  return tav_options_set(options, TAV_OPTION_DECRYPT, !o.encrypt) == TAV_OK &&
         tav_options_set(options, TAV_OPTION_EXPANDED, mode) == TAV_OK &&
         tav_options_set(options, TAV_OPTION_REPLACE, o.force) == TAV_OK &&
         tav_options_set(options, TAV_OPTION_FILES, o.threads) == TAV_OK &&
         tav_options_set(options, TAV_OPTION_WIPE_SOURCE, o.wipe_source) == TAV_OK &&
         tav_options_set(options, TAV_OPTION_RESUME, o.resume) == TAV_OK &&
         tav_options_set(options, TAV_OPTION_FAIL_FAST, o.fail_fast) == TAV_OK &&
         tav_options_set_progress(options, Job::OnProgress, &job) == TAV_OK;
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
  Job job{o, Progress(!o.quiet && (o.progress || isatty(STDERR_FILENO)), "")};
  job.terminal = isatty(STDERR_FILENO) == 1;
  tav_options* options = nullptr;
  if (tav_options_new(&options) != TAV_OK || !SetOptions(o, options, job)) {
    tav_options_free(options);
    return Report("options", TAV_NO_MEMORY, ENOMEM);
  }
  std::vector<const char*> inputs;
  for (const std::string& a : o.args) inputs.push_back(a.c_str());
  // The walk and the plan come before the passphrase, as for single files.
  tav_tree* tree = nullptr;
  int error = 0;
  tav_status status = tav_tree_new(&tree, options, inputs.data(), inputs.size(),
                                   o.output_dir.empty() ? nullptr : o.output_dir.c_str(), Job::OnReport, &job, &error);
  tav_options_free(options);
  if (status == TAV_BAD_DEST && error != 0) return Report(o.output_dir, status, error);
  if (status == TAV_BAD_DEST) std::fputs("tav: nothing written\n", stderr);
  if (status != TAV_OK) return status;
  job.files = tav_tree_files(tree, &job.total);
  tav_keys* keys = nullptr;
  if (const int made = MakeKeys(o.passphrase, o.encrypt, o.text ? TAV_TEXT : TAV_BINARY, &keys)) {
    tav_tree_free(tree);
    return made;
  }
  CatchStopSignals();
  status = tav_tree_run(tree, keys, &error);
  tav_keys_free(keys);
  tav_tree_free(tree);
  job.line.Show("");
  const bool stopped = status == TAV_CANCELLED || (o.fail_fast && job.failed > 0 && job.finished < job.files);
  job.Summary(stopped);
  if (status == TAV_BAD_DEST && job.failed == 0) return Report(o.output_dir, status, error);
  if (StopSignal() != 0 && stopped) return StoppedBySignal();
  return status == TAV_CANCELLED ? StoppedBySignal() : status;
}

}  // namespace tavtool
