#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: check_abi.sh LIBRARY HEADER_DIR BASELINE.abi
# Within a major version the ABI only grows: compared with the stored
# description of the last release, functions and variables may be added,
# nothing may be removed or changed incompatibly.
set -u
lib=$1 headers=$2 baseline=$3
if ! command -v abidiff >/dev/null 2>&1; then
  echo "abidiff not found (abigail-tools)" >&2
  exit 77
fi
abidiff --hd2 "$headers" "$baseline" "$lib"
rc=$?
# Bits of abidiff's status: 1 error, 2 usage, 4 a change, 8 an incompatible change.
if [ $((rc & 11)) -ne 0 ]; then
  echo "ABI check failed (abidiff status $rc)"
  exit 1
fi
echo "ABI of $(basename "$lib") extends $(basename "$baseline") (abidiff status $rc)"
