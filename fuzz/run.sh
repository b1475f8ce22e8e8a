#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets (preset "fuzz", clang with ASan + UBSan) and runs
# each for SECONDS (default 30) on a scratch copy of its seed corpus in
# fuzz/corpus/, so the tree stays as it is. Inputs that fail are kept in
# build-fuzz/artifacts/. Exits non-zero when any target fails.
#   fuzz/run.sh [SECONDS]          all targets
#   FUZZ_TARGETS="strings keygen" fuzz/run.sh 600
set -euo pipefail
seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
targets=${FUZZ_TARGETS:-keygen strings keyfiles expanded scramble core}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tavsdk-fuzz-run-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

cd "$root"
if ! { [ -f "$build/CMakeCache.txt" ] || cmake --preset fuzz; } >"$scratch/build.log" 2>&1 ||
   ! cmake --build "$build" -j 2 >>"$scratch/build.log" 2>&1; then
  tail -n 40 "$scratch/build.log"
  echo "fuzz: the targets did not build"
  exit 1
fi

# Longest input per target: long enough for every case the target checks
# (the strings target must reach the 8192-byte refusal), short enough to keep
# iterations cheap.
max_len() {
  case $1 in
    strings) echo 8400 ;;
    expanded) echo 2048 ;;
    core) echo 4600 ;;
    *) echo 1024 ;;
  esac
}

mkdir -p "$build/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

passed=0
failed=0
for t in $targets; do
  cp -r "$root/fuzz/corpus/$t" "$scratch/$t"
  log=$scratch/$t.log
  # The target's private directory goes into the scratch space too, so that
  # even a crash leaves nothing behind.
  if TMPDIR=$scratch "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len="$(max_len "$t")" -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1 \
      "$scratch/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$t: ok, $runs runs in ${seconds} s"
    passed=$((passed + 1))
  else
    echo "fuzz_$t: FAILED; last lines of its log:"
    tail -n 40 "$log"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
