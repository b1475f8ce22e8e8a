// SPDX-License-Identifier: MIT
// Throughput of the production library next to the reference engine: key
// generation, the engine and string operations, block and expanded files,
// and the core interface with a key set made once.
//
// The engine path is chosen once per process (TAVSDK_CPU), so one run covers
// one path; `run_bench.sh` runs the program once per path the CPU has. The
// file rows run with 1, 2 and all worker threads.
//
// The library reads and writes its key files in the current directory, so the
// program works in a private temporary directory that it removes at exit. The
// reference engine runs well under 1 MB/s; it is measured on smaller inputs
// with the same I/O around it (throughput does not depend on the size).
//
// Extra options: --paths prints the engine paths this CPU has and exits;
// --no_reference leaves out the reference engine's rows.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench_common.hpp"

namespace bench {
namespace {

// The model name the kernel reports for the first CPU, with its family and
// model numbers where there are any (virtual machines often shorten the name).
std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line, name, family, model;
  while (std::getline(in, line) && line.find_first_not_of(" \t") != std::string::npos) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const size_t start = line.find_first_not_of(" \t", colon + 1);
    const std::string value = start == std::string::npos ? "" : line.substr(start);
    const std::string key = line.substr(0, line.find_last_not_of(" \t", colon - 1) + 1);
    if (key == "model name" || key == "Model") name = value;
    if (key == "cpu family" || key == "CPU architecture") family = value;
    if (key == "model" || key == "CPU part") model = value;
  }
  if (name.empty()) name = "unknown";
  if (!family.empty() && !model.empty()) name += " (family " + family + ", model " + model + ")";
  return name;
}

struct Result {
  double rate = 0;     // bytes per second, 0 when not reported
  double seconds = 0;  // real time per iteration
};

// The console output, plus a record of every successful row for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
  using ConsoleReporter::ConsoleReporter;
  std::map<std::string, Result> results;
  std::vector<std::string> order;

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      // Repeated rows keep their best repetition: on a virtual machine the
      // slow ones measure the neighbours, not the code.
      const std::string& name = run.run_name.function_name;
      if (results.find(name) == results.end()) order.push_back(name);
      Result& r = results[name];
      const auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) r.rate = std::max(r.rate, rate->second.value);
      const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
      r.seconds = r.seconds == 0 ? seconds : std::min(r.seconds, seconds);
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

// Best repetition of every row; rates against the operation's reference row
// and, for rows with several worker counts, against one worker.
void PrintSummary(const SummaryReporter& reporter) {
  constexpr double kMB = 1e6;
  std::printf("\nSummary (best repetition; MB/s = 10^6 bytes/s)\n");
  std::printf("%-52s %12s %12s %10s %10s\n", "row", "MB/s", "time/call", "x ref", "x 1 thread");
  for (const std::string& name : reporter.order) {
    const Result& r = reporter.results.at(name);
    const std::string op = name.substr(0, name.find('/'));
    std::string vs_reference = "-", vs_one = "-";
    const auto reference = reporter.results.find(op + "/reference");
    if (name != op + "/reference" && reference != reporter.results.end() && reference->second.rate > 0 && r.rate > 0) {
      vs_reference = std::to_string(static_cast<long>(r.rate / reference->second.rate + 0.5)) + "x";
    }
    const size_t threads = name.find("/threads:");
    if (threads != std::string::npos) {
      const auto one = reporter.results.find(name.substr(0, threads) + "/threads:1");
      if (one != reporter.results.end() && one->second.rate > 0) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.2fx", r.rate / one->second.rate);
        vs_one = buf;
      }
    }
    char time[32];
    std::snprintf(time, sizeof time, "%.1f us", r.seconds * 1e6);
    std::printf("%-52s %12.1f %12s %10s %10s\n", name.c_str(), r.rate / kMB, time, vs_reference.c_str(),
                vs_one.c_str());
  }
}

// How many times faster each row is than the row it is compared with: the
// ratio of rates where both have one, else of the times per call.
void PrintComparisons(const SummaryReporter& reporter) {
  bool header = false;
  for (const Comparison& c : Comparisons()) {
    const auto row = reporter.results.find(c.row);
    const auto base = reporter.results.find(c.base);
    if (row == reporter.results.end() || base == reporter.results.end()) continue;
    const Result& a = row->second;
    const Result& b = base->second;
    const double ratio = a.rate > 0 && b.rate > 0 ? a.rate / b.rate : b.seconds / a.seconds;
    if (!header) {
      std::printf("\nComparisons (best repetitions; > 1: the row is faster)\n");
      std::printf("%-52s %-52s %8s\n", "row", "compared with", "ratio");
      header = true;
    }
    std::printf("%-52s %-52s %7.2fx\n", c.row.c_str(), c.base.c_str(), ratio);
  }
}

// Removes the program's own options from argv; returns false after --paths.
bool TakeOwnOptions(int& argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--paths") == 0) {
      for (Path path : {Path::portable, Path::avx2, Path::avx512, Path::neon}) {
        if (tav::engine::PathAvailable(path)) std::printf("%s\n", PathName(path));
      }
      return false;
    }
    if (std::strcmp(argv[i], "--no_reference") == 0) {
      g_reference = false;
      continue;
    }
    argv[kept++] = argv[i];
  }
  argc = kept;
  argv[argc] = nullptr;
  return true;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  if (!TakeOwnOptions(argc, argv)) return 0;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const std::string cpu = CpuModel();
  const char* path = PathName(tav::engine::ActivePath());
  std::printf("CPU: %s\nengine path: %s\n", cpu.c_str(), path);
  std::fflush(stdout);
  SetUp();
  RegisterKeygen();
  RegisterEngine();
  RegisterFiles();
  RegisterCore();
  benchmark::AddCustomContext("cpu model", cpu);
  benchmark::AddCustomContext("engine path", path);
  benchmark::AddCustomContext("work directory", WorkDir());

  const auto options = isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                             : benchmark::ConsoleReporter::OO_Tabular;
  SummaryReporter reporter(options);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintSummary(reporter);
  PrintComparisons(reporter);
  benchmark::Shutdown();
  RemoveWorkDir();
  return 0;
}
