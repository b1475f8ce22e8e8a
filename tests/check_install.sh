#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: check_install.sh CMAKE BUILD_DIR VERSION CC [CFLAGS [LDFLAGS]]
# Installs the build into a temporary prefix, component by component, and
# builds and runs the C program in consumer/ against it three ways: find_package,
# pkg-config, and a plain compiler line. CFLAGS go to every compile and link,
# LDFLAGS to every link (a sanitized library needs its runtime in the program).
set -eu
cmake=$1 build=$2 version=$3 cc=$4 cflags=${5:-} ldflags=${6:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() { echo "FAIL: $*"; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" --component runtime >/dev/null
runtime_lib=$(find "$prefix" -name 'libtavsdk.so.*' | head -n 1)
[ -n "$runtime_lib" ] || fail "the runtime component installs no shared library"
[ ! -e "$prefix/include/tavsdk.h" ] && [ -z "$(find "$prefix" -name libtavsdk.so)" ] ||
  fail "the runtime component installs development files"
"$cmake" --install "$build" --prefix "$prefix" --component development >/dev/null
pc=$(find "$prefix" -name tavsdk.pc)
[ -n "$pc" ] || fail "no tavsdk.pc installed"
libdir=$(dirname "$(dirname "$pc")")

cp -R "$(dirname "$0")/consumer" "$tmp/src"
expected="$version $version"

run() {  # run WAY PROGRAM [ENV...]: the program must round-trip and report the version
  way=$1 program=$2
  shift 2
  out=$(env "$@" "$program") || fail "$way: the program failed"
  [ "$out" = "$expected" ] || fail "$way: printed '$out', expected '$expected'"
  echo "$way: ok"
}

# 1. CMake package
"$cmake" -S "$tmp/src" -B "$tmp/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$cflags $ldflags" >"$tmp/cmake.log" 2>&1 ||
  { cat "$tmp/cmake.log"; fail "find_package: configuration failed"; }
"$cmake" --build "$tmp/cmake-build" >"$tmp/cmake.log" 2>&1 || { cat "$tmp/cmake.log"; fail "find_package: build failed"; }
run find_package "$tmp/cmake-build/consumer"

# 2. pkg-config
export PKG_CONFIG_PATH="$libdir/pkgconfig"
pkg-config --exists --print-errors tavsdk || fail "pkg-config does not find tavsdk"
[ "$(pkg-config --modversion tavsdk)" = "$version" ] || fail "pkg-config reports version $(pkg-config --modversion tavsdk)"
# shellcheck disable=SC2046,SC2086
"$cc" $cflags $(pkg-config --cflags tavsdk) "$tmp/src/consumer.c" $(pkg-config --libs tavsdk) $ldflags -o "$tmp/pc-consumer" ||
  fail "pkg-config: build failed"
run pkg-config "$tmp/pc-consumer" LD_LIBRARY_PATH="$(pkg-config --variable=libdir tavsdk)"

# 3. plain compiler line
# shellcheck disable=SC2086
"$cc" $cflags -I"$prefix/include" "$tmp/src/consumer.c" -L"$libdir" -ltavsdk -Wl,-rpath,"$libdir" $ldflags -o "$tmp/cc-consumer" ||
  fail "plain compiler line: build failed"
run "plain compiler line" "$tmp/cc-consumer"
