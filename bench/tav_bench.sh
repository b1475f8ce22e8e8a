#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Usage: tav_bench.sh BUILD_DIR [MIB]
# Block-mode encryption of one file of MIB MiB (default 1024) with random
# content, best of three runs each: the core's descriptor call (tav_fd_encrypt
# from a file to a file, through ctypes), `tav encrypt` file to file, and
# `tav encrypt` pipe to pipe. Prints MB/s (10^6 bytes per second) and the CPU.
set -euo pipefail
build=$1 mib=${2:-1024}
tav=$build/tools/tav/tav
lib=$(ls "$build"/libtavsdk.so.[0-9]* | head -n 1)
dir=$(mktemp -d "${TMPDIR:-/tmp}/tav-bench-XXXXXX")
trap 'rm -rf "$dir"' EXIT
head -c $((mib << 20)) /dev/urandom > "$dir/plain"
export TAV_PASSPHRASE=benchmark

reset() { rm -f "$dir/out"; }
# shellcheck source=bench/timing.sh
. "$(dirname "$0")/timing.sh"
core() {
  python3 - "$lib" "$dir/plain" "$dir/out" <<'CODE'
import ctypes, os, sys
lib = ctypes.CDLL(sys.argv[1])
keys = ctypes.c_void_p()
assert lib.tav_keys_new(ctypes.byref(keys), 2, b"benchmark", 9) == 0
src = os.open(sys.argv[2], os.O_RDONLY)
dst = os.open(sys.argv[3], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
error = ctypes.c_int()
assert lib.tav_fd_encrypt(keys, src, dst, 0, None, None, ctypes.byref(error)) == 0
os.fsync(dst)
CODE
}
file_to_file() { "$tav" encrypt -q "$dir/plain" -o "$dir/out"; }
pipe_to_pipe() { cat "$dir/plain" | "$tav" encrypt -q | cat > /dev/null; }

rate() { awk -v b=$((mib << 20)) -v t="$1" 'BEGIN { printf "%.0f", b / t / 1e6 }'; }
c=$(seconds core) f=$(seconds file_to_file) p=$(seconds pipe_to_pipe)
echo "CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -n 1), $(nproc) CPUs; ${mib} MiB, block mode"
echo "core tav_fd_encrypt, file to file: $(rate "$c") MB/s"
echo "tav encrypt, file to file:         $(rate "$f") MB/s ($(awk -v a="$c" -v b="$f" 'BEGIN { printf "%.0f", 100 * a / b }') % of the core)"
echo "tav encrypt, pipe to pipe:         $(rate "$p") MB/s ($(awk -v a="$f" -v b="$p" 'BEGIN { printf "%.0f", 100 * a / b }') % of file to file)"
