#!/usr/bin/env bash
# A fuzzing campaign: builds the fuzz targets (clang, build-fuzz) and runs
# each for SECONDS, one process at a time, restarting a target after each
# finding. Corpora and findings are kept in fuzz-work/ (not tracked; set
# OMBRIX_FUZZ_WORK for another folder), so a later campaign goes on where
# this one stopped. Prints the executions of every target and the total.
# OMBRIX_FUZZ_IGNORE=check,... skips checks whose finding is known.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 1 ] || ! [ "$1" -gt 0 ] 2>/dev/null; then
    echo "usage: $0 SECONDS   (the time of each fuzz target)" >&2
    exit 2
fi

bash scripts/setup-deps.sh fuzz
cmake -S . -B build-fuzz -DOMBRIX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DOMBRIX_FUZZ=ON -DOMBRIX_TESTS=OFF
cmake --build build-fuzz -j2

work=${OMBRIX_FUZZ_WORK:-fuzz-work}
bash fuzz/run.sh build-fuzz/fuzz "$work" "$1" --campaign
echo "Findings: $work/findings/<target>/ (crash-*, timeout-*, oom-*, leak-*)"
