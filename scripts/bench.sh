#!/usr/bin/env bash
# Whole processes side by side: ombrix against the peer tools cc1541 and
# cbmconvert on the same inputs, with hyperfine. Writes bench/RESULTS.md
# (machine, date, commands, medians, ombrix / fastest peer).
# Usage: scripts/bench.sh [BUILD_DIR]   (default build-release, from scripts/main.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$(cd "${1:-build-release}" && pwd)
for tool in hyperfine cc1541 cbmconvert jq; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing (apt-get install $tool)" >&2; exit 1; }
done
OMBRIX="$BUILD/ombrix --ini $ROOT/out/bench/cfg/wcx.ini"
W=$ROOT/out/bench
rm -rf "$W" && mkdir -p "$W/src" "$W/cfg" "$W/many"
cd "$W"

# Inputs: 40 source files of 300 bytes to 6 KiB, a D64 and a D81 made by cc1541.
for i in $(seq 1 40); do head -c $((300 + i * 150)) /dev/urandom >"src/f$i.prg"; done
args=()
for i in $(seq 1 40); do args+=(-f "file$i" -w "src/f$i.prg"); done
cc1541 -q -n BENCH -i 01 "${args[@]:0:60}" base.d64 >/dev/null
cc1541 -q -n BENCH -i 01 "${args[@]}" base.d81 >/dev/null
for i in $(seq 1 1000); do cp base.d64 "many/img$i.d64"; done
names40=$(for i in $(seq 1 40); do printf 'f%d.prg ' "$i"; done)
names10=$(for i in $(seq 1 10); do printf 'f%d.prg ' "$i"; done)
cbm40=$(for i in $(seq 1 40); do printf 'src/f%d.prg ' "$i"; done)
cbm10=$(for i in $(seq 1 10); do printf 'src/f%d.prg ' "$i"; done)
cc40=$(for i in $(seq 1 40); do printf -- '-f file%d -w src/f%d.prg ' "$i" "$i"; done)
cc10=$(for i in $(seq 1 10); do printf -- '-f new%d -w src/f%d.prg ' "$i" "$i"; done)

# name | ombrix command | peer commands (name=command^...) | prepare
workloads=(
    "list one D64|$OMBRIX list base.d64|cc1541=cc1541 base.d64|true"
    "extract all of a D64|$OMBRIX extract base.d64 -C x|cbmconvert=cd x && cbmconvert -N -d ../base.d64|rm -rf x && mkdir x"
    "extract all of a D81|$OMBRIX extract base.d81 -C x|cbmconvert=cd x && cbmconvert -N -d ../base.d81|rm -rf x && mkdir x"
    "create a D64 from 40 files|$OMBRIX add new.d64 -C src $names40|cc1541=cc1541 -q $cc40 new.d64^cbmconvert=cbmconvert -n -D4 new.d64 $cbm40|rm -f new.d64"
    "add 10 files to a D81|$OMBRIX add add.d81 -C src $names10|cc1541=cc1541 -q $cc10 add.d81^cbmconvert=cbmconvert -n -D8 add.d81 $cbm10|cp base.d81 add.d81"
    "catalogue 1,000 images|$OMBRIX list many/*.d64|cc1541=for f in many/*.d64; do cc1541 \$f; done|true"
)

{
    echo "# Whole-process timings against the peer tools"
    echo
    echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'); date: $(date -u +%Y-%m-%d)."
    echo "Command: \`scripts/bench.sh\` (hyperfine through bash, its start-up taken off; medians of at least 20 runs after 3 warm-ups)."
    echo "ombrix: ${BUILD#"$ROOT"/} (Release). Peers: cc1541 4.0, cbmconvert 2.1.5."
    echo
    echo "| workload | ombrix (ms) | fastest peer (ms) | ombrix / fastest peer |"
    echo "|---|---|---|---|"
} >"$ROOT/bench/RESULTS.md"

for w in "${workloads[@]}"; do
    IFS='|' read -r name ours peers prepare <<<"$w"
    IFS='^' read -ra peerList <<<"$peers"
    args=(-n ombrix "$ours")
    for p in "${peerList[@]}"; do args+=(-n "${p%%=*}" "${p#*=}"); done
    # hyperfine runs every command through bash and takes the shell's own
    # start-up time off each figure.
    hyperfine --shell=bash -m 20 -w 3 --prepare "$prepare" --export-json "$W/result.json" "${args[@]}" >/dev/null
    ours_ms=$(jq '.results[0].median * 1000' "$W/result.json")
    best_ms=$(jq '[.results[1:][].median] | min * 1000' "$W/result.json")
    best_name=$(jq -r '.results[1:] | min_by(.median) | .command' "$W/result.json")
    printf '| %s | %.2f | %.2f (%s) | %.2f |\n' "$name" "$ours_ms" "$best_ms" "$best_name" \
        "$(echo "$ours_ms / $best_ms" | bc -l)" >>"$ROOT/bench/RESULTS.md"
    echo "bench: $name done"
done
echo "bench: table in bench/RESULTS.md"
