#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the benchmark program once per engine path this CPU has (the library
# reads TAVSDK_CPU once per process), the best path first. The reference
# engine's rows run in the first process only. Arguments go to every run; a
# --benchmark_out=FILE becomes FILE.<path> per run.
# Usage: run_bench.sh PROGRAM [benchmark options...]
set -euo pipefail
bench=$1
shift
mapfile -t paths < <("$bench" --paths)
first=1
for ((i = ${#paths[@]} - 1; i >= 0; i--)); do
  path=${paths[i]}
  args=()
  for arg in "$@"; do
    case $arg in
      --benchmark_out=*) args+=("$arg.$path") ;;
      *) args+=("$arg") ;;
    esac
  done
  [ "$first" = 1 ] || args+=(--no_reference)
  first=0
  echo "== TAVSDK_CPU=$path"
  TAVSDK_CPU=$path "$bench" "${args[@]}"
done
