#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: check_fetchcontent.sh CMAKE SOURCE_DIR VERSION CC
# The README's FetchContent lines as another project writes them: the program
# in consumer/ is configured and built with this source tree made available
# through FetchContent (SOURCE_DIR), then run. A fault that only shows inside
# another project (a path taken from the top-level project, a missing alias
# or include directory) fails here, where the installed package would not.
set -eu
cmake=$1 source=$2 version=$3 cc=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL: $*"; exit 1; }

mkdir "$tmp/app"
cp "$(dirname "$0")/consumer/consumer.c" "$tmp/app/"
cat >"$tmp/app/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.14)
project(app C)
include(FetchContent)
FetchContent_Declare(tavsdk SOURCE_DIR "$source")
FetchContent_MakeAvailable(tavsdk)
add_executable(app consumer.c)
target_link_libraries(app PRIVATE tavsdk::tavsdk)
CMAKE
# No build type: unoptimised, the quickest build of the library's sources.
"$cmake" -S "$tmp/app" -B "$tmp/build" -DCMAKE_C_COMPILER="$cc" >"$tmp/log" 2>&1 ||
  { cat "$tmp/log"; fail "configuration failed"; }
"$cmake" --build "$tmp/build" -j2 >"$tmp/log" 2>&1 || { cat "$tmp/log"; fail "build failed"; }
out=$("$tmp/build/app") || fail "the program failed"
[ "$out" = "$version $version" ] || fail "printed '$out', expected '$version $version'"
echo "FetchContent: ok"
