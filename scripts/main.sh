#!/usr/bin/env bash
# The main job: install what is missing, build the Linux and the 32- and
# 64-bit Windows flavours of the plug-in and the host, then list and extract
# the bundled sample image.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-deps.sh

cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DOMBRIX_TESTS=OFF
cmake --build build-release -j2
cmake -S . -B build-release-win -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
cmake --build build-release-win -j2
cmake -S . -B build-release-win64 -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
cmake --build build-release-win64 -j2

mkdir -p out/demo
host="build-release/ombrix --ini $PWD/out/config/wcx.ini"
echo "== ombrix list samples/demo.d64"
$host list samples/demo.d64
echo "== ombrix extract samples/demo.d64 -C out/demo"
$host extract samples/demo.d64 -C out/demo
echo
echo "Linux plug-in:   build-release/ombrix.wcx (with ombrix.sample beside it)"
echo "Windows plug-in: build-release-win/ombrix.wcx (32-bit DLL), host build-release-win/ombrix.exe"
echo "                 build-release-win64/ombrix.wcx64 (64-bit DLL), host build-release-win64/ombrix.exe"
