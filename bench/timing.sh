# SPDX-License-Identifier: MIT
# Sourced by the benchmark scripts. seconds CMD...: the best wall time of
# three runs of CMD, each after the caller's `reset` (fresh outputs).
seconds() {
  local best= start end
  for _ in 1 2 3; do
    reset
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    best=$(echo "$start $end ${best:-1e9}" | awk '{t = $2 - $1; print (t < $3 ? t : $3)}')
  done
  echo "$best"
}
