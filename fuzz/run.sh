#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for SECONDS each, one process at a
# time, from fresh seeds (the seed writer) and a corpus kept in WORKDIR.
#
#   run.sh FUZZ_BUILD_DIR WORKDIR SECONDS            the smoke test
#   run.sh FUZZ_BUILD_DIR WORKDIR SECONDS --campaign  a long run
#
# Smoke: the saved findings (fuzz/findings/<target>-*) are replayed first,
# the corpus starts from the seeds, and the first finding of a target ends
# its run; any finding fails the script, naming target, check and input.
# Campaign: the corpus is kept between runs and a target is restarted after
# each finding until its time is up; findings are saved, not fatal.
# Both end with the executions of each target (libFuzzer's final
# stat::number_of_executed_units, summed over restarts) and the total.
# OMBRIX_FUZZ_IGNORE=check,... skips checks already known (fuzz_support.h).
set -uo pipefail

if [ $# -lt 3 ]; then
    echo "usage: $0 FUZZ_BUILD_DIR WORKDIR SECONDS [--campaign]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
mkdir -p "$2"
work=$(cd "$2" && pwd)
seconds=$3
campaign=0
[ "${4:-}" = "--campaign" ] && campaign=1
source_dir=$(cd "$(dirname "$0")" && pwd)
targets=(disk pack delete tape settings text g64 lynx x64 dnp fdimage subdisk)

# Halt at the first report, so that libFuzzer saves the input.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}halt_on_error=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}halt_on_error=1:print_stacktrace=1"

seeds=$work/seeds
rm -rf "$seeds"
if ! "$build/fuzz_seeds" "$seeds" >"$work/seeds.log" 2>&1; then
    cat "$work/seeds.log"
    echo "fuzz: the seed writer failed" >&2
    exit 1
fi

# What a failed run found: our check's line, or the sanitizer's or
# libFuzzer's own headline.
finding_of() {
    grep -m1 -E '==ombrix-fuzz==|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|ALARM: working on the last Unit' "$1" |
        sed -e 's/^==[0-9]*== *//'
}

options_of() {
    case $1 in
    disk | pack | delete) echo "-max_len=1100000" ;;  # whole images, D82 with error bytes
    g64) echo "-max_len=700000" ;;                    # a G71: 84 tracks of 7930 bytes
    dnp | fdimage | subdisk) echo "-max_len=840000" ;; # a D1M whole (a raw DNP of up to 12 tracks)
    *) echo "-max_len=8192" ;;
    esac
}

failed=0
total=0
declare -A executions findings

if [ "$campaign" -eq 0 ]; then
    for t in "${targets[@]}"; do
        for input in "$source_dir"/findings/"$t"-*; do
            [ -f "$input" ] || continue
            log=$work/replay-$t.log
            if ! "$build/${t}_fuzz" $(options_of "$t") "$input" >"$log" 2>&1; then
                echo "fuzz: $t fails on the saved finding $input: $(finding_of "$log")"
                failed=1
            fi
        done
    done
fi

for t in "${targets[@]}"; do
    corpus=$work/corpus/$t
    crashes=$work/findings/$t
    [ "$campaign" -eq 0 ] && rm -rf "$corpus" "$crashes"
    mkdir -p "$corpus" "$crashes"
    dict=()
    [ -f "$source_dir/$t.dict" ] && dict=(-dict="$source_dir/$t.dict")
    executions[$t]=0
    findings[$t]=0
    end=$((SECONDS + seconds))
    run=0
    while [ $SECONDS -lt $end ]; do
        run=$((run + 1))
        log=$work/$t-$run.log
        "$build/${t}_fuzz" -max_total_time=$((end - SECONDS)) -timeout=30 -rss_limit_mb=4096 \
            -print_final_stats=1 -artifact_prefix="$crashes/" $(options_of "$t") "${dict[@]}" \
            "$corpus" "$seeds/$t" >"$log" 2>&1
        status=$?
        n=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$')
        executions[$t]=$((executions[$t] + ${n:-0}))
        [ $status -eq 0 ] && break
        findings[$t]=$((findings[$t] + 1))
        input=$(grep -o 'Test unit written to .*' "$log" | tail -1 | sed 's/^Test unit written to //')
        echo "fuzz: $t found: $(finding_of "$log")"
        echo "fuzz:   input ${input:-(none saved)}, log $log"
        if [ "$campaign" -eq 0 ]; then
            failed=1
            break
        fi
    done
    total=$((total + executions[$t]))
done

echo
printf '%-10s %14s %10s\n' target executions findings
for t in "${targets[@]}"; do
    printf '%-10s %14d %10d\n' "$t" "${executions[$t]}" "${findings[$t]}"
done
printf '%-10s %14d\n' total "$total"
exit $failed
