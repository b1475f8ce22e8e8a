#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: check_abi.sh LIBRARY HEADER_DIR BASELINE.abi [SUPPRESSIONS]
# Within a major version the ABI only grows: compared with the stored
# description of the last release, functions and variables may be added,
# nothing may be removed or changed incompatibly. Both sides are read as the
# public header describes them; the library's internal types do not count.
#
# The description is made from that release's library, built with debug
# information and with the source and build paths mapped away
# (-ffile-prefix-map=SRC/= -ffile-prefix-map=BUILD/=), so that it records no
# machine's paths:
#   abidw --headers-dir SRC/include --headers-dir BUILD/include \
#     --exported-interfaces-only --drop-private-types --no-corpus-path \
#     --no-comp-dir-path --no-show-locs --out-file libtavsdk-X.Y.Z-ARCH.abi libtavsdk.so.X.Y.Z
set -u
lib=$1 headers=$2 baseline=$3
suppressions=${4:+--suppressions $4}
if ! command -v abidiff >/dev/null 2>&1; then
  echo "skipped: abidiff not found (apt-get install abigail-tools)"
  exit 77
fi
# Additions are left out of the report, so that any change left is one to
# what the release already had: abidiff calls a parameter's new type a change,
# not an incompatible one, and it breaks callers all the same. A library built
# without debug information is compared by its symbols only.
# shellcheck disable=SC2086 # an option and its value, or nothing
abidiff $suppressions --no-added-syms --exported-interfaces-only --drop-private-types --hd2 "$headers" "$baseline" "$lib"
rc=$?
# Bits of abidiff's status: 1 error, 2 usage, 4 a change, 8 an incompatible change.
if [ "$rc" -ne 0 ]; then
  echo "ABI check failed (abidiff status $rc)"
  exit 1
fi
echo "ABI of $(basename "$lib") keeps all of $(basename "$baseline")"
