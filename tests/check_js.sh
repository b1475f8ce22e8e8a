#!/bin/sh
# SPDX-License-Identifier: MIT
# The WebAssembly build and the npm package in js/: builds build-wasm with
# emscripten, then runs the package's Node tests (against the native build
# in $2 where it has the tav tool), once with each of the two modules, or,
# with "browser", its tests in headless Chromium. Exit 77 (skipped) where the toolchain or the browser is missing,
# unless TAVSDK_REQUIRE_JS is set (CI): then that fails.
set -eu
source_dir=$1
native_build=$2
part=${3:-node}

skip() {
  echo "skipped: $1"
  [ -z "${TAVSDK_REQUIRE_JS:-}" ] || exit 1
  exit 77
}
for tool in node npm emcmake emcc; do
  command -v "$tool" >/dev/null 2>&1 || skip "no $tool (apt-get install emscripten nodejs npm)"
done
if [ "$part" = browser ]; then
  chromium=${TAVSDK_CHROMIUM:-/usr/bin/chromium}
  [ -x "$chromium" ] || skip "no browser at $chromium (apt-get install chromium)"
  [ -d "$source_dir/js/node_modules/puppeteer-core" ] || skip "puppeteer-core missing (cd js && npm ci)"
fi

# emcc runs under the node on PATH; Debian's emscripten keeps what it needs
# there (acorn) among Debian's node modules.
export NODE_PATH="${NODE_PATH:+$NODE_PATH:}/usr/share/nodejs"
cd "$source_dir"
[ -f build-wasm/CMakeCache.txt ] || emcmake cmake --preset wasm >/dev/null
cmake --build build-wasm

cd js
export TAVSDK_NATIVE_BUILD="$native_build"
if [ "$part" = browser ]; then
  exec node --test test/browser.test.js test/page.test.js
fi
# Each of the two modules, whichever this Node's loader would pick: the
# relaxed one needs an engine with relaxed SIMD (Node 20 and 21: behind a flag).
tests="test/abi.test.js test/api.test.js test/conformance.test.js test/native.test.js"
TAVSDK_TEST_MODULE=dist/tavsdk.wasm node --test $tests test/types.test.js
probe="import('./src/module.js').then((m) => process.exit(m.hasRelaxedSimd() ? 0 : 1))"
for flag in "" --experimental-wasm-relaxed-simd; do
  if node $flag --input-type=module -e "$probe" 2>/dev/null; then
    echo "relaxed SIMD module: node $flag"
    TAVSDK_TEST_MODULE=dist/tavsdk-relaxed.wasm exec node $flag --test $tests
  fi
done
skip "this Node has no relaxed SIMD, even with --experimental-wasm-relaxed-simd"
