#!/usr/bin/env bash
# Whole processes side by side: ombrix against the peer tools cc1541 and
# cbmconvert and against the floor (bench/floor.c, built static here: the
# essential system calls of each workload and nothing else), on the same
# inputs, with hyperfine. Writes bench/RESULTS.md whole: machine, date, the
# exact commands, medians, ratios, and the system calls of each command.
#
# Usage: scripts/bench.sh [BUILD_DIR [DYNAMIC_BUILD_DIR]]
#   BUILD_DIR          the ombrix to measure (default build-release, from
#                      scripts/main.sh); its bench/ programs, when built, give
#                      the in-process table
#   DYNAMIC_BUILD_DIR  optional: a build configured with
#                      -DOMBRIX_STATIC_HOST=OFF, measured as one more column
# Environment: OMBRIX_BENCH_ROUNDS (3), OMBRIX_BENCH_RUNS (20 per round),
# OMBRIX_BENCH_ONLY (a regular expression: the workloads whose names match).
#
# Every command runs without a shell (hyperfine -N); the setup of each run (a
# fresh output folder, a fresh copy of the image) is hyperfine's --prepare,
# outside the timing. ombrix, the peers and the floor take turns: each round
# runs every command of a workload, and the median is taken over the runs of
# all rounds. About 3 minutes on 2 cores.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/setup-deps.sh bench
BUILD=$(cd "${1:-build-release}" && pwd)
DYNAMIC=
[ $# -ge 2 ] && DYNAMIC=$(cd "$2" && pwd)
ROUNDS=${OMBRIX_BENCH_ROUNDS:-3}
RUNS=${OMBRIX_BENCH_RUNS:-20}
for tool in hyperfine cc1541 cbmconvert jq cc; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/setup-deps.sh)" >&2; exit 1; }
done
[ -x "$BUILD/ombrix" ] || { echo "bench: no $BUILD/ombrix" >&2; exit 1; }

W=$ROOT/out/bench
rm -rf "$W" && mkdir -p "$W/src" "$W/cfg" "$W/many" "$W/x"
cd "$W"
cc -O2 -static -I"$ROOT" "$ROOT/bench/floor.c" -o floor
# The settings file exists before the first timed run, as on any machine
# after the first use.
"$BUILD/ombrix" --ini "$W/cfg/ombrix.ini" --version >/dev/null

# Inputs: 40 source files of 450 bytes to 6.3 KiB, a D64 of 15 and a D81 of
# 40 files made by cc1541, the same disk as the D64 as a G64 (cc1541's GCR),
# and a catalogue of 1,000 images: copies of the three, in turn.
for i in $(seq 1 40); do head -c $((300 + i * 150)) /dev/urandom >"src/f$i.prg"; done
ccargs=()
for i in $(seq 1 40); do ccargs+=(-f "file$i" -w "src/f$i.prg"); done
cc1541 -q -n BENCH -i 01 "${ccargs[@]:0:60}" -g base.g64 base.d64 >/dev/null
cc1541 -q -n BENCH -i 01 "${ccargs[@]}" base.d81 >/dev/null
kinds=(d64 d81 g64)
for i in $(seq 1 1000); do k=${kinds[i % 3]}; cp "base.$k" "many/img$i.$k"; done
seqw() { for i in $(seq 1 "$1"); do printf '%s' "${2//%d/$i}"; done; }
names40=$(seqw 40 'f%d.prg ')
names10=$(seqw 10 'f%d.prg ')
src40=$(seqw 40 'src/f%d.prg ')
src10=$(seqw 10 'src/f%d.prg ')
cc40=$(seqw 40 '-f file%d -w src/f%d.prg ')
cc10=$(seqw 10 '-f new%d -w src/f%d.prg ')
many=$(for i in $(seq 1 1000); do printf 'many/img%d.%s ' "$i" "${kinds[i % 3]}"; done)

# Each workload: name | folder (under out/bench) | prepare | runs | commands,
# one `label=command` per line. Labels: ombrix, ombrix-dynamic, the peers,
# floor, floor-nofsync.
O="$BUILD/ombrix --ini $W/cfg/ombrix.ini"
D=${DYNAMIC:+$DYNAMIC/ombrix --ini $W/cfg/ombrix.ini}
F=$W/floor
workload() {
    local name=$1 folder=$2 prepare=$3 runs=$4 ours=$5 peers=$6 floor=$7 nofsync=${8:-}
    printf '%s|%s|%s|%s|ombrix=%s%s\n%s\nfloor=%s%s\n' "$name" "$folder" "$prepare" "$runs" "$O $ours" \
        "${D:+$'\n'ombrix-dynamic=$D $ours}" "$peers" "$F $floor" "${nofsync:+$'\n'floor-nofsync=$F $nofsync}"
}
WORKLOADS=$(
    workload "list a D64" . "true" "$RUNS" "list base.d64" "cc1541=cc1541 base.d64" "list base.d64"
    echo @
    workload "list a D81" . "true" "$RUNS" "list base.d81" "cc1541=cc1541 base.d81" "list base.d81"
    echo @
    workload "list a G64" . "true" "$RUNS" "list base.g64" "" "list base.g64"
    echo @
    workload "extract all of a D64" x "find . -mindepth 1 -delete" "$RUNS" "extract ../base.d64 -C ." \
        "cbmconvert=cbmconvert -N -d ../base.d64" "extract ../base.d64 ."
    echo @
    workload "extract all of a D81" x "find . -mindepth 1 -delete" "$RUNS" "extract ../base.d81 -C ." \
        "cbmconvert=cbmconvert -N -d ../base.d81" "extract ../base.d81 ."
    echo @
    workload "extract all of a G64" x "find . -mindepth 1 -delete" "$RUNS" "extract ../base.g64 -C ." \
        "" "extract ../base.g64 ."
    echo @
    workload "create a D64 from 40 files" . "rm -f new.d64" "$RUNS" "add new.d64 -C src $names40" \
        "cc1541=cc1541 -q $cc40 new.d64"$'\n'"cbmconvert=cbmconvert -n -D4 new.d64 $src40" \
        "add new.d64 $src40" "add --no-fsync new.d64 $src40"
    echo @
    workload "add 10 files to a D81" . "cp base.d81 add.d81" "$RUNS" "add add.d81 -C src $names10" \
        "cc1541=cc1541 -q $cc10 add.d81"$'\n'"cbmconvert=cbmconvert -n -D8 add.d81 $src10" \
        "add add.d81 $src10" "add --no-fsync add.d81 $src10"
    echo @
    workload "catalogue 1,000 images" . "true" 3 "list $many" \
        "cc1541=bash -c 'for f in many/*.d64 many/*.d81; do cc1541 \"\$f\"; done'" "list $many"
)

# Median of the runs of every round, per label, in ms.
medians() {
    jq -s '[.[].results[]] | group_by(.command) | map({key: .[0].command, value:
        (([.[].times[]] | sort | if length % 2 == 1 then .[length / 2 | floor]
          else (.[length / 2 - 1] + .[length / 2]) / 2 end) * 1000)}) | from_entries' "$@"
}
# System calls of one run (strace -f -c), after its prepare.
syscalls() {
    local prepare=$1 cmd=$2
    command -v strace >/dev/null || { echo "-"; return; }
    bash -c "$prepare"
    eval "strace -f -c -o '$W/strace.txt' $cmd" >/dev/null 2>&1 || true
    awk '$NF == "total" { print $4 }' "$W/strace.txt"
}

rows=()
counts=()
commands=()
IFS=@ read -r -d '' -a blocks <<<"$WORKLOADS" || true
for block in "${blocks[@]}"; do
    block=$(printf '%s' "$block" | sed '/^$/d')
    [ -n "$block" ] || continue
    IFS='|' read -r name folder prepare runs first <<<"$(head -n 1 <<<"$block")"
    [[ $name =~ ${OMBRIX_BENCH_ONLY:-.} ]] || continue
    lines=("$first")
    while IFS= read -r l; do lines+=("$l"); done < <(tail -n +2 <<<"$block")
    args=()
    for l in "${lines[@]}"; do args+=(-n "${l%%=*}" "${l#*=}"); done
    cd "$W/$folder"
    for r in $(seq 1 "$ROUNDS"); do
        hyperfine -N -w $((runs < 10 ? 1 : 3)) -r "$runs" --prepare "$prepare" ${OMBRIX_BENCH_HYPERFINE:-} \
            --export-json "$W/round$r.json" "${args[@]}" >/dev/null
    done
    m=$(medians "$W"/round*.json)
    rm -f "$W"/round*.json
    get() { jq -r --arg k "$1" '.[$k] // empty' <<<"$m"; }
    ours=$(get ombrix)
    # No peer reads a G64 (cc1541 only writes one): "-" there.
    best=$(jq -r 'to_entries | map(select(.key | test("^(ombrix|floor)") | not)) |
        if length == 0 then "" else min_by(.value) | "\(.value) \(.key)" end' <<<"$m")
    peer_ms=${best%% *}
    peer=${best#* }
    [ -n "$best" ] || peer=
    floor=$(get floor)
    nofsync=$(get floor-nofsync)
    dyn=$(get ombrix-dynamic)
    fmt() { [ -n "$1" ] && printf '%.2f' "$1" || printf -- '-'; }
    ratio() { [ -n "$1" ] && [ -n "$2" ] && printf '%.2f' "$(echo "$1 / $2" | bc -l)" || printf -- '-'; }
    row="| $name | $(fmt "$ours") | $(fmt "$peer_ms")${peer:+ ($peer)} | $(ratio "$ours" "$peer_ms") | $(fmt "$floor") | $(fmt "$nofsync") | $(ratio "$ours" "$floor") |"
    [ -n "$DYNAMIC" ] && row="$row $(fmt "$dyn") |"
    rows+=("$row")
    count="| $name |"
    for l in "${lines[@]}"; do count="$count ${l%%=*} $(syscalls "$prepare" "${l#*=}");"; done
    counts+=("${count%;} |")
    for l in "${lines[@]}"; do
        c=${l#*=}
        c=${c//$W\//}
        c=${c//$ROOT\//}
        [ ${#c} -gt 160 ] && c="${c:0:150} ... (${#c} characters)"
        commands+=("- $name, ${l%%=*} (in \`out/bench/$folder\`, prepare \`$prepare\`): \`$c\`")
    done
    echo "bench: $name done"
    cd "$W"
done

{
    echo "# Whole-process timings against the peer tools"
    echo
    echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(df -T "$W" | awk 'NR == 2 { print $2 }') file system; date: $(date -u '+%Y-%m-%d %H:%M UTC')."
    echo "Command: \`scripts/bench.sh ${1:-build-release}${2:+ $2}\`: hyperfine $(hyperfine --version | cut -d' ' -f2) -N (no shell), $ROUNDS rounds in which every command of a workload runs $RUNS times after 3 warm-ups (the catalogue 3 times after 1), each run after its prepare command (outside the timing); medians over all rounds."
    echo "ombrix: ${BUILD#"$ROOT"/} ($(file -b "$BUILD/ombrix" | grep -q 'statically linked' && echo 'static' || echo 'dynamic')). Peers: cc1541 4.0, cbmconvert 2.1.5. Floor: bench/floor.c, cc -O2 -static."
    echo
    echo "Times in ms. ombrix and the floor write an image whole to a temporary file, fsync it and rename it over the"
    echo "image; the peers write the image in place and do not sync. \"floor without fsync\" is the floor with that one call left out."
    echo
    if [ -n "$DYNAMIC" ]; then
        echo "| workload | ombrix | fastest peer | ombrix / peer | floor | floor without fsync | ombrix / floor | ombrix dynamic |"
        echo "|---|---|---|---|---|---|---|---|"
    else
        echo "| workload | ombrix | fastest peer | ombrix / peer | floor | floor without fsync | ombrix / floor |"
        echo "|---|---|---|---|---|---|---|"
    fi
    printf '%s\n' "${rows[@]}"
    echo
    echo "System calls of one run (strace -f -c, all calls counted):"
    echo
    echo "| workload | calls |"
    echo "|---|---|"
    printf '%s\n' "${counts[@]}"
    echo
    echo "Commands (paths relative to the checkout or to out/bench):"
    echo
    printf '%s\n' "${commands[@]}"
    if [ -x "$BUILD/bench/read_bench" ] && [ -x "$BUILD/bench/pack_bench" ]; then
        echo
        echo "In-process (Google Benchmark, ${BUILD#"$ROOT"/}/bench; the exports called directly against the same floor's functions, median of 5 repetitions, µs; /0 in memory, /1 on the disk with fsync):"
        echo
        echo "| benchmark | ombrix | floor | ombrix / floor |"
        echo "|---|---|---|---|"
        for pair in "read_bench BM_OpenAndListFullD81 BM_FloorListFullD81" \
                    "read_bench BM_OpenListAndExtractFullD81 BM_FloorExtractFullD81" \
                    "pack_bench BM_Pack10FilesIntoD81/0 BM_FloorPack10FilesIntoD81/0" \
                    "pack_bench BM_Pack10FilesIntoD81/1 BM_FloorPack10FilesIntoD81/1"; do
            set -- $pair
            json=$("$BUILD/bench/$1" --benchmark_filter="^($2|$3)\$" --benchmark_repetitions=5 \
                --benchmark_report_aggregates_only=true --benchmark_format=json 2>/dev/null)
            us() { jq -r --arg n "$1_median" '.benchmarks[] | select(.name == $n) |
                .real_time * (if .time_unit == "ms" then 1000 elif .time_unit == "ns" then 0.001 else 1 end)' <<<"$json"; }
            a=$(us "$2")
            b=$(us "$3")
            echo "| $2 | $(fmt "$a") | $(fmt "$b") | $(ratio "$a" "$b") |"
        done
    fi
} >"$ROOT/bench/RESULTS.md.new"
# The notes below the table are kept as they are.
if grep -q '^## Notes' "$ROOT/bench/RESULTS.md" 2>/dev/null; then
    { echo; sed -n '/^## Notes/,$p' "$ROOT/bench/RESULTS.md"; } >>"$ROOT/bench/RESULTS.md.new"
fi
mv "$ROOT/bench/RESULTS.md.new" "$ROOT/bench/RESULTS.md"
echo "bench: bench/RESULTS.md written"
