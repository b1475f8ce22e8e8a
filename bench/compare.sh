#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compares the working tree's library with a previous release in one run: the
# release is exported from git (git archive, nothing checked out) and both
# are built in Release mode under build-compare/; bench/compare.c then loads
# both and runs them on the same buffers, once per engine path the CPU has,
# the block file path with one and two workers, and the sequential paths: a
# pipe and a file into /dev/null, a file into a new file with one worker
# (COMPARE_STREAM_MIB, default 256; an eighth of it on the portable path),
# against one buffer call and dd on the same bytes; and each build's tav on a
# folder of 2,000 files of 4 KiB (`encrypt -r -T 2`, in place, every output
# flushed before its name).
#   bench/compare.sh [BASE] [MiB] [repetitions]
# BASE is a tag or commit (default v1.3.0). A clone without tags finds a
# release in the list below: the commit each release was published from. (The
# version line cannot tell: work for the next release was merged while it
# still declared the old version.) COMPARE_RESOLVE_ONLY=1 prints the commit
# and stops. COMPARE_CROSS=aarch64 builds both for 64-bit ARM (Debian's
# cross compilers) and runs the buffer rows of the portable and NEON paths
# under qemu-user: emulated time, a check that nothing got slower, no rate.
# COMPARE_WASM=1 also builds both trees' WebAssembly modules (emscripten) and
# runs js/bench/compare.js on them in Node.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
base=${1:-v1.3.0}
mib=${2:-32}
reps=${3:-5}
out=$root/build-compare
cross=${COMPARE_CROSS:-}
run=()
cross_flags=()
tool=ON
if [ "$cross" = aarch64 ]; then
  out=$root/build-compare-aarch64
  run=(qemu-aarch64 -L /usr/aarch64-linux-gnu)
  cross_flags=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake")
  tool=OFF
elif [ -n "$cross" ]; then
  echo "compare: COMPARE_CROSS takes aarch64" >&2
  exit 2
fi
export CMAKE_GENERATOR=${CMAKE_GENERATOR:-Ninja}

cd "$root"
declare -A releases=([v1.2.0]=7b45a0d4d8ef44918bcc2c3b8212981ed7c5e3d4 [v1.3.0]=e77edcc31ada8bf54f679419a556f915a64dcb7b)
if ! commit=$(git rev-parse --verify --quiet "$base^{commit}"); then
  commit=${releases[$base]:-}
  if [ -z "$commit" ] || ! git rev-parse --verify --quiet "$commit^{commit}" >/dev/null; then
    echo "compare: no tag or commit '$base'; pass the release's commit: bench/compare.sh COMMIT" >&2
    exit 2
  fi
  echo "compare: no tag $base; using its release commit $(git log --format='%h %s' -1 "$commit")"
fi
[ -z "${COMPARE_RESOLVE_ONLY:-}" ] || { echo "$commit"; exit 0; }

# Builds the library alone from a source tree.
build() {
  local targets=(tavsdk)
  [ "$tool" = OFF ] || targets+=(tav)
  cmake -S "$1" -B "$2" "${cross_flags[@]}" -DCMAKE_BUILD_TYPE=Release -DTAVSDK_BUILD_TESTS=OFF -DTAVSDK_BUILD_BENCH=OFF \
    -DTAVSDK_BUILD_EXAMPLES=OFF -DTAVSDK_BUILD_TOOL=$tool -DTAVSDK_BUILD_MANPAGES=OFF -DTAVSDK_INSTALL=OFF \
    >"$2.log" 2>&1 && cmake --build "$2" -j 2 --target "${targets[@]}" >>"$2.log" 2>&1 || {
    tail -n 30 "$2.log"
    echo "compare: building $1 failed" >&2
    exit 1
  }
}

mkdir -p "$out"
if [ ! -f "$out/base-$commit/CMakeLists.txt" ]; then
  rm -rf "$out/base-$commit"
  mkdir -p "$out/base-$commit"
  git archive "$commit" | tar -x -C "$out/base-$commit"
fi
build "$out/base-$commit" "$out/old-$commit"
build "$root" "$out/new"
cc=cc
[ -z "$cross" ] || cc=$cross-linux-gnu-gcc
"$cc" -O2 -std=c99 -I "$root/include" -I "$out/new/include" "$root/bench/compare.c" -o "$out/compare" -ldl -pthread
# Each library is loaded from a fresh copy. On the KVM guests we measure on,
# one file of identical bytes ran the portable text path at half the rate of
# a copy of it, run after run (where its pages sit, not what they hold); a copy
# written in one go has not shown that.
old=$out/run-old.so
new=$out/run-new.so
cat "$(readlink -f "$out/old-$commit/libtavsdk.so")" > "$old"
cat "$(readlink -f "$out/new/libtavsdk.so")" > "$new"

paths=(portable)
if [ "$(uname -m)" = x86_64 ] && [ -z "$cross" ]; then
  flags=$(grep -m1 '^flags' /proc/cpuinfo)
  has() { [[ " $flags " == *" $1 "* ]]; }
  has avx2 && paths+=(avx2)
  has avx512f && has avx512bw && has avx512vbmi && paths+=(avx512)
elif [ "$(uname -m)" = aarch64 ] || [ "$cross" = aarch64 ]; then
  paths=(portable neon)
fi
# COMPARE_PATHS="avx512" (or "none": the folder row only) picks the engine paths.
[ -z "${COMPARE_PATHS:-}" ] || read -r -a paths <<<"${COMPARE_PATHS/none/}"

echo "CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) CPUs; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "old: $base ($(git log --format=%h -1 "$commit")), new: working tree ($(git describe --always --dirty))"
stream_mib=${COMPARE_STREAM_MIB:-256}
echo "$mib MiB buffers, best of $reps, MB (10^6 bytes) per second of the thread's CPU time; files: 64 MiB, wall time"
echo "streams: $stream_mib MiB ($((stream_mib / 8)) MiB portable), wall time, binary; new/call: over one buffer call of the new build"
keys=1  # key-set creation does not depend on the path: its rows come once
for path in "${paths[@]}"; do
  echo "== $path"
  COMPARE_KEYS=${keys:+1} TAVSDK_CPU=$path "${run[@]}" "$out/compare" "$old" "$new" "$mib" "$reps"
  keys=
  [ -z "$cross" ] || continue
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/tavsdk-compare-XXXXXX")
  TAVSDK_CPU=$path "$out/compare" --files "$old" "$new" "$scratch" 64 "$reps" || { rm -rf "$scratch"; exit 1; }
  smib=$stream_mib
  [ "$path" != portable ] || smib=$((stream_mib / 8))
  TAVSDK_CPU=$path "$out/compare" --streams "$old" "$new" "$scratch" "$smib" "$reps" || { rm -rf "$scratch"; exit 1; }
  rm -rf "$scratch"
done

[ -z "$cross" ] || exit 0
# Folders: many small files, where the flush before each name dominates.
echo "== folder: 2,000 files of 4 KiB, tav encrypt -r -T 2, in place, wall time, best of $reps, interleaved"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tavsdk-compare-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/src"
head -c $((2000 * 4096)) /dev/urandom | split -a 4 -d -b 4096 - "$scratch/src/f"
best_old= best_new=
for ((i = 0; i < reps; i++)); do
  for side in old new; do
    tav=$out/new/tools/tav/tav
    [ "$side" = new ] || tav=$out/old-$commit/tools/tav/tav
    find "$scratch/src" -name '*.tav' -delete
    sync
    start=$(date +%s%N)
    TAV_PASSPHRASE=benchmark "$tav" encrypt -q -r -T 2 "$scratch/src" 2>/dev/null
    took=$(($(date +%s%N) - start))
    if [ "$side" = old ]; then
      [ -n "$best_old" ] && [ "$best_old" -le "$took" ] || best_old=$took
    else
      [ -n "$best_new" ] && [ "$best_new" -le "$took" ] || best_new=$took
    fi
  done
done
awk -v o="$best_old" -v n="$best_new" 'BEGIN { printf "old %.0f files/s, new %.0f files/s, new/old %.2fx\n", 2e12 / o, 2e12 / n, o / n }'
if [ -n "${COMPARE_WASM:-}" ]; then
  # Each tree's WebAssembly modules (built into its js/dist), in one Node.
  echo "== WebAssembly"
  for tree in "$out/base-$commit" "$root"; do
    { [ -f "$tree/build-wasm/CMakeCache.txt" ] || (cd "$tree" && emcmake cmake --preset wasm); } >"$out/wasm.log" 2>&1 &&
      cmake --build "$tree/build-wasm" -j 2 >>"$out/wasm.log" 2>&1 || {
      tail -n 30 "$out/wasm.log"
      echo "compare: building the WebAssembly modules of $tree failed (emscripten installed?)" >&2
      exit 1
    }
  done
  node "$root/js/bench/compare.js" "$out/base-$commit" "$root" "$reps"
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
