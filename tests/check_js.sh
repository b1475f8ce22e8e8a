#!/bin/sh
# SPDX-License-Identifier: MIT
# The WebAssembly build and the npm package in js/: builds build-wasm with
# emscripten, then runs the package's Node tests (against the native build
# in $2 where it has the tav tool) or, with "browser", its tests in headless
# Chromium. Exit 77 (skipped) where the toolchain or the browser is missing.
set -eu
source_dir=$1
native_build=$2
part=${3:-node}

for tool in node npm emcmake emcc; do
  command -v "$tool" >/dev/null 2>&1 || { echo "skipped: no $tool (apt-get install emscripten nodejs npm)"; exit 77; }
done
if [ "$part" = browser ]; then
  chromium=${TAVSDK_CHROMIUM:-/usr/bin/chromium}
  [ -x "$chromium" ] || { echo "skipped: no browser at $chromium (apt-get install chromium)"; exit 77; }
  [ -d "$source_dir/js/node_modules/puppeteer-core" ] || {
    echo "skipped: puppeteer-core missing (cd js && npm ci)"; exit 77; }
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
  exec node --test test/browser.test.js
fi
exec node --test test/api.test.js test/conformance.test.js test/native.test.js test/types.test.js
