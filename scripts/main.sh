#!/usr/bin/env bash
# The main job: install what is missing, build the Linux and the 32- and
# 64-bit Windows flavours of the plug-in and the host and the packages (a
# Debian package and a Windows ZIP), then list and extract the bundled sample
# image.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-deps.sh main

cmake -S . -B build-release -DOMBRIX_WERROR=ON -DCMAKE_BUILD_TYPE=Release -DOMBRIX_TESTS=OFF
cmake --build build-release -j2
cmake -S . -B build-release-win -DOMBRIX_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
cmake --build build-release-win -j2
cmake -S . -B build-release-win64 -DOMBRIX_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
cmake --build build-release-win64 -j2

# The packages, made by CPack: the Debian package of the Linux build, and the
# Windows ZIP of both DLLs (cmake/windows-zip collects the two mingw builds).
cmake --build build-release --target package
cmake -S cmake/windows-zip -B build-release-zip \
      -DOMBRIX_WINDOWS_BUILD="$PWD/build-release-win" -DOMBRIX_WINDOWS_BUILD64="$PWD/build-release-win64"
cmake --build build-release-zip --target package

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
version=$(sed -n 's/^set(OMBRIX_VERSION \(.*\))$/\1/p' cmake/version.cmake)
echo "Debian package:  build-release/ombrix_${version}_amd64.deb (apt install ./build-release/ombrix_${version}_amd64.deb)"
echo "Windows ZIP:     build-release-zip/ombrix-${version}-windows.zip (ombrix.wcx, ombrix.wcx64, pluginst.inf)"
