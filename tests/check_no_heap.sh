#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: check_no_heap.sh OBJECT... — no library object may reference the heap.
set -eu
bad=$(nm -u "$@" 2>/dev/null | grep -E ' U (malloc|calloc|realloc|free|posix_memalign|aligned_alloc|_Znw.*|_Zna.*|_Zdl.*|_Zda.*)$' || true)
if [ -n "$bad" ]; then
  echo "heap references in the library objects:"
  echo "$bad"
  exit 1
fi
echo "no heap references in $# objects"
