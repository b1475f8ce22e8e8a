#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: check_no_seam.sh LIBRARY — the test seam (io::step_hook and what
# calls it) is built into the tests' internal library only: the shipped library
# has no symbol of it, exported or local, and no string naming it.
set -u
lib=$1
pattern='step_hook|Injected|TAVSDK_TEST_SEAM'
[ -r "$lib" ] || { echo "cannot read $lib"; exit 1; }
found=$( { nm -D "$lib" 2>/dev/null; nm -a "$lib" 2>/dev/null; strings -a "$lib"; } | grep -E "$pattern" | sort -u)
if [ -n "$found" ]; then
  echo "test seam in $(basename "$lib"):"
  echo "$found"
  exit 1
fi
echo "no test seam in $(basename "$lib")"
