#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: check_man_pages.sh HEADER SOURCE_DIR CMAKE BUILD_DIR CC LIBRARY INCLUDE_DIR...
# Every function the header (and the headers beside it that it includes)
# declares has a section-3 page (or a link to one) among the pages that the development component of BUILD_DIR installs; every
# page has the sections a reader looks for and formats without warnings; and
# the examples in the scdoc sources of SOURCE_DIR compile against the header
# and link with LIBRARY.
set -eu
header=$1 src=$2 cmake=$3 build_dir=$4 cc=$5 library=$6
shift 6
includes=
for dir in "$@"; do includes="$includes -I$dir"; done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

"$cmake" --install "$build_dir" --prefix "$tmp/prefix" --component development >/dev/null
build=$(find "$tmp/prefix" -type d -name man3)
[ -n "$build" ] || { echo "FAIL: the development component installs no man3 directory"; exit 1; }

# The header and the headers beside it that it includes.
headers=$header
for h in $(sed -n 's/^#include "\(tavsdk_[a-z]*\.h\)"$/\1/p' "$header"); do
  [ ! -f "$(dirname "$header")/$h" ] || headers="$headers $(dirname "$header")/$h"
done
# shellcheck disable=SC2086 # a list of paths without spaces
names=$(sed -n 's/^TAVSDK_API[^(]*[^A-Za-z0-9_(]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' $headers)
[ -n "$names" ] || fail "no function declarations found in $header"
count=0
for name in $names; do
  count=$((count + 1))
  [ -f "$build/$name.3" ] || fail "no manual page for $name"
done

pages=0
for page in "$build"/*.3; do
  [ -L "$page" ] && continue
  pages=$((pages + 1))
  for section in NAME LIBRARY SYNOPSIS DESCRIPTION 'RETURN VALUE' ERRORS FILES EXAMPLES 'SEE ALSO'; do
    grep -qx ".SH $section" "$page" || fail "$(basename "$page"): no section $section"
  done
  if command -v groff >/dev/null 2>&1; then
    warnings=$(groff -t -man -ww -z -Tutf8 "$page" 2>&1) || true
    [ -z "$warnings" ] || fail "$(basename "$page"): groff warnings: $warnings"
  fi
done

# The examples are the ``` blocks after "# EXAMPLES"; scdoc takes \\ for one backslash.
examples=0
for scd in "$src"/*.scd; do
  base=$(basename "$scd" .scd)
  awk '/^# / { in_examples = ($0 == "# EXAMPLES") } 
       in_examples && /^```$/ { literal = !literal; next }
       in_examples && literal { print }' "$scd" | sed 's/\\\\/\\/g' > "$tmp/$base.c"
  if [ ! -s "$tmp/$base.c" ]; then
    fail "$base: no example code"
    continue
  fi
  examples=$((examples + 1))
  # A term's indented text that runs on into an unindented line is text
  # pasted into the middle of a sentence.
  if awk 'prev ~ /^\t/ && $0 != "" && $0 !~ /^\t/ { print "FAIL: " FILENAME ":" FNR ": runs on from an indented paragraph" }
         { prev = $0 }' "$scd" | grep .; then
    failed=1
  fi
  # The library's own references (a sanitizer runtime) are not the example's to resolve.
  # shellcheck disable=SC2086
  "$cc" -Wall -Wextra -Werror -Wno-unused-function $includes "$tmp/$base.c" "$library" \
    -Wl,--unresolved-symbols=ignore-in-shared-libs -o "$tmp/$base" || fail "$base: the example does not build"
done

[ "$failed" -eq 0 ] || exit 1
echo "$count functions with a page, $pages pages formatted, $examples examples built"
