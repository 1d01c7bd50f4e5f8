#!/usr/bin/env bash
# Every test: unit and end-to-end tests of the Linux build, the same under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded calls under
# ThreadSanitizer, the 32- and 64-bit Windows DLLs under Wine, the plug-in
# inside Double Commander, and a minute of the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-deps.sh test

cmake -S . -B build-test-win -DOMBRIX_WERROR=ON -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
cmake --build build-test-win -j2
cmake -S . -B build-test-win64 -DOMBRIX_WERROR=ON -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
cmake --build build-test-win64 -j2

cmake -S . -B build-test -DOMBRIX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DOMBRIX_WINDOWS_BUILD="$PWD/build-test-win" -DOMBRIX_WINDOWS_BUILD64="$PWD/build-test-win64" \
      -DOMBRIX_DOUBLECMD_TEST=ON
cmake --build build-test -j2

cmake -S . -B build-test-asan -DOMBRIX_WERROR=ON -DCMAKE_BUILD_TYPE=Debug -DOMBRIX_SANITIZE=ON
cmake --build build-test-asan -j2

# Calls on different images from several threads, under ThreadSanitizer.
cmake -S . -B build-test-tsan -DOMBRIX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBRIX_SANITIZE_THREAD=ON
cmake --build build-test-tsan -j2 --target background_test

cmake -S . -B build-test-fuzz -DOMBRIX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DOMBRIX_FUZZ=ON -DOMBRIX_TESTS=OFF
cmake --build build-test-fuzz -j2

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1
ctest --test-dir build-test-asan --output-on-failure -j2
ctest --test-dir build-test-tsan --output-on-failure --no-tests=error -R '^Background\.'
ctest --test-dir build-test --output-on-failure -j2
# The fuzz targets run one at a time (each for its share of the minute).
ctest --test-dir build-test-fuzz --output-on-failure -L fuzz
