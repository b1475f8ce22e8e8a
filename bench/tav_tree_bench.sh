#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Usage: tav_tree_bench.sh BUILD_DIR [FILES] [KIB] [OTHER_TAV]
# Encryption of a folder of FILES files (default 10000) of KIB KiB (default 4)
# each, in place, best of three runs each, side by side: `tav encrypt -r -T 2`,
# `tav encrypt -r -T 1`, and one `tav encrypt` process per file through
# xargs; with OTHER_TAV (another build's tav, e.g. a release), its -r -T 2 in
# the same run. Prints the files per second, the ratios and the CPU.
set -euo pipefail
build=$1 files=${2:-10000} kib=${3:-4} other=${4:-}
tav=$build/tools/tav/tav
dir=$(mktemp -d "${TMPDIR:-/tmp}/tav-tree-bench-XXXXXX")
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/src"
head -c $((files * kib << 10)) /dev/urandom | split -a 6 -d -b $((kib << 10)) - "$dir/src/f"
export TAV_PASSPHRASE=benchmark

reset() { find "$dir/src" -name '*.tav' -delete; }
# shellcheck source=bench/timing.sh
. "$(dirname "$0")/timing.sh"
two() { "$tav" encrypt -q -r -T 2 "$dir/src" 2>/dev/null; }
one() { "$tav" encrypt -q -r -T 1 "$dir/src" 2>/dev/null; }
each() { find "$dir/src" -type f -print0 | xargs -0 -n 1 "$tav" encrypt -q; }
base() { "$other" encrypt -q -r -T 2 "$dir/src" 2>/dev/null; }

t2=$(seconds two) t1=$(seconds one) tx=$(seconds each)
tb=; [ -z "$other" ] || tb=$(seconds base)
echo "CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -n 1), $(nproc) CPUs; $files files of $kib KiB, block mode"
rate() { awk -v n="$files" -v t="$1" 'BEGIN { printf "%.0f", n / t }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b / a }'; }
echo "tav encrypt -r -T 2:         $(rate "$t2") files/s"
echo "tav encrypt -r -T 1:         $(rate "$t1") files/s (-T 2 is $(ratio "$t2" "$t1")x)"
echo "xargs, one tav per file:     $(rate "$tx") files/s (-T 2 is $(ratio "$t2" "$tx")x)"
[ -z "$tb" ] || echo "$other -r -T 2: $(rate "$tb") files/s (this -T 2 is $(ratio "$t2" "$tb")x)"
