#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: check_exports.sh LIBRARY MAP — the library's defined dynamic symbols
# must be exactly the names listed as global in the version script.
set -eu
lib=$1 map=$2
expected=$(sed -n '/global:/,/local:/p' "$map" | tr ' ;' '\n\n' | grep -E '^[A-Za-z_][A-Za-z0-9_]*$' | grep -v -E '^(global|local)$' | sort -u)
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | grep -v '^$' | sort -u)
if [ "$expected" != "$actual" ]; then
  echo "exported symbols differ from the public list:"
  echo "$expected" > /tmp/tavsdk_expected.$$
  echo "$actual" | diff /tmp/tavsdk_expected.$$ - || true
  rm -f /tmp/tavsdk_expected.$$
  exit 1
fi
echo "exports match: $(echo "$actual" | wc -l) names"
