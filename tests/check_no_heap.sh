#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: check_no_heap.sh OBJECT... — no library object may reference the heap
# or map memory, but for the one that makes the core interface's objects and
# a call's area (core/objects.cpp), which may use aligned_alloc, free, mmap and
# munmap and nothing else.
# Arguments may also be ;-separated lists. Fails when nm fails on any object
# or when no object was given: a check that inspected nothing proves nothing.
set -eu
count=0
bad=""
for arg in "$@"; do
  old_ifs=$IFS
  IFS=';'
  set -f
  for obj in $arg; do
    IFS=$old_ifs
    [ -n "$obj" ] || continue
    if ! symbols=$(nm -u "$obj"); then
      echo "nm failed on $obj" >&2
      exit 2
    fi
    case $obj in
      */core/objects.cpp.o) allowed='aligned_alloc|free|mmap(64)?|munmap' ;;
      *) allowed='' ;;
    esac
    hits=$(printf '%s\n' "$symbols" |
      grep -E ' U (malloc|calloc|realloc|free|posix_memalign|aligned_alloc|mmap(64)?|mremap|munmap|_Znw.*|_Zna.*|_Zdl.*|_Zda.*)$' |
      { if [ -n "$allowed" ]; then grep -v -E " U ($allowed)\$"; else cat; fi; } || true)
    [ -z "$hits" ] || bad="$bad$obj:
$hits
"
    count=$((count + 1))
  done
  set +f
  IFS=$old_ifs
done
if [ "$count" -eq 0 ]; then
  echo "no objects to check" >&2
  exit 2
fi
if [ -n "$bad" ]; then
  echo "heap references in the library objects:"
  printf '%s' "$bad"
  exit 1
fi
echo "no heap references in $count objects"
