#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: check_spdx.sh SOURCE_DIR — every source file carries the licence
# identifier as its first line (the second after a #! line), in the comment
# style of its language. Tracked files are checked when SOURCE_DIR is a git
# work tree, otherwise every file below it except build directories.
set -eu
cd "$1"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  files=$(git ls-files)
else
  files=$(find . -path './build*' -prune -o -type f -print | sed 's|^\./||')
fi
missing=0 checked=0
for f in $files; do
  case "$f" in
    *.c|*.h|*.map) want='/* SPDX-License-Identifier: MIT */' ;;
    *.cpp|*.hpp) want='// SPDX-License-Identifier: MIT' ;;
    *CMakeLists.txt|*.cmake|*.sh|*.py|*.toml|.ci/run) want='# SPDX-License-Identifier: MIT' ;;
    *.in)
      case "$f" in
        *.h.in) want='/* SPDX-License-Identifier: MIT */' ;;
        *) want='# SPDX-License-Identifier: MIT' ;;
      esac ;;
    *) continue ;;
  esac
  [ -f "$f" ] || continue
  first=$(head -n 1 "$f")
  case "$first" in '#!'*) first=$(sed -n 2p "$f") ;; esac
  checked=$((checked + 1))
  if [ "$first" != "$want" ]; then
    echo "no licence identifier line: $f"
    missing=$((missing + 1))
  fi
done
[ "$missing" -eq 0 ] || exit 1
echo "licence identifier in all $checked source files"
