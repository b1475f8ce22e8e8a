// SPDX-License-Identifier: MIT
// Runs one piece of library work so that no key file outlives it: in a child
// process whose working directory is a new private directory, which is
// emptied and removed however the work ends.
#pragma once

#include <functional>
#include <string>

namespace tavtool {

struct Job {
  // Runs in the child, in the private directory; returns the exit status.
  std::function<int()> work;
  // Absolute path of the file the work creates, or empty: watched for the
  // progress line and removed if the work is interrupted.
  std::string destination;
  // Final size of the destination when known (0: unknown), for percentages.
  long long expected_size = 0;
  bool progress = false;
};

// The work's exit status, or 128 + the number of SIGINT, SIGTERM or SIGHUP
// if one of them stopped it.
int RunInPrivateDirectory(const Job& job);

// `path` made absolute against the current directory (no links resolved).
std::string Absolute(const std::string& path);

}  // namespace tavtool
