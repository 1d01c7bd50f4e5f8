#!/usr/bin/env bash
# Mutation check: do the tests catch the faults listed in scripts/mutants.txt?
#
# The checkout is copied once into a scratch tree (build-mutate/src, kept
# between runs so that rebuilds stay incremental) and built there
# (build-mutate/build, Linux build only). Then, row by row, the fault is laid
# into the scratch copy, the tree rebuilt, the row's tests run and the file
# restored. The real checkout is never changed.
#
# Rows (tab-separated, exactly 5 fields; lines starting with # are comments):
#   path  exact text (once in that file)  replacement  ctest -R regex (or .)  what the fault breaks
# '.' runs every test but the slow packaging ones.
#
# Verdicts: KILLED (a test failed), SURVIVED (all passed), BROKEN (the text is
# not found exactly once, the regex names no test, or the fault does not
# build). Exit status 0 only when every row chosen was killed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() {
    cat >&2 <<'EOF'
usage: scripts/mutate.sh [-j N] [-t SECONDS] [-f ROWS] [PATTERN]
  PATTERN     only rows whose path or description matches this extended regex
  -j N        build and test jobs (default 2)
  -t SECONDS  time limit of each test (default 60)
  -f ROWS     rows file (default scripts/mutants.txt)
EOF
    exit 2
}

jobs=2
timeout=60
rows=scripts/mutants.txt
while getopts "j:t:f:h" opt; do
    case $opt in
        j) jobs=$OPTARG ;;
        t) timeout=$OPTARG ;;
        f) rows=$OPTARG ;;
        *) usage ;;
    esac
done
shift $((OPTIND - 1))
[ $# -le 1 ] || usage
filter=${1:-}
[ -f "$rows" ] || { echo "mutate: no rows file $rows" >&2; exit 2; }

work=${OMBRIX_MUTATE_WORK:-$root/build-mutate}
src=$work/src
build=$work/build
mkdir -p "$src"

# The scratch tree: the files git knows of (tracked, or new and not ignored),
# copied where they differ, so unchanged files keep their times and changed
# ones get a new time (make rebuilds by time); files gone from the checkout
# go from the copy too. A file a broken-off run left with a fault in it is
# copied afresh, so that its objects are rebuilt.
sync_tree() {
    local list=$work/files.txt
    if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$root" ls-files -z --cached --others --exclude-standard | tr '\0' '\n' >"$list"
    else
        (cd "$root" && find . -path './build*' -prune -o -type f -print | sed 's|^\./||') >"$list"
    fi
    if [ -f "$work/mutated" ]; then
        f=$(cat "$work/mutated")
        [ -f "$root/$f" ] && cp "$root/$f" "$src/$f"
        rm -f "$work/mutated"
    fi
    while IFS= read -r f; do
        [ -f "$root/$f" ] || continue
        if ! cmp -s "$root/$f" "$src/$f"; then
            mkdir -p "$(dirname "$src/$f")"
            cp "$root/$f" "$src/$f"
        fi
    done <"$list"
    (cd "$src" && find . -type f | sed 's|^\./||') | sort >"$work/scratch.txt"
    sort "$list" | comm -23 "$work/scratch.txt" - | while IFS= read -r f; do rm -f "$src/$f"; done
}

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

build_tree() {
    cmake --build "$build" -j"$jobs" "$@" >"$work/build.log" 2>&1
}

# The targets a regex's tests run: each test program by its name, the host
# and the plug-in for the shell-level tests; everything for '.' or when a
# test's program is not known. A row then rebuilds only what it tests.
targets_for() {
    local regex=$1
    if [ "$regex" = "." ] || ! command -v jq >/dev/null; then return 0; fi
    local programs
    programs=$(ctest --test-dir "$build" -R "$regex" --show-only=json-v1 2>/dev/null |
        jq -r '.tests[].command[0] // empty' | xargs -r -n1 basename | sort -u) || return 0
    local t out=()
    for t in $programs; do
        case $t in
            *_test) out+=("$t") ;;
            sh | bash) out+=(ombrix ombrix_plugin) ;;
            *) return 0 ;;
        esac
    done
    [ ${#out[@]} -gt 0 ] && printf -- '--target %s ' $(printf '%s\n' "${out[@]}" | sort -u)
}

# Runs the tests a regex names; 0 all passed, 1 some failed, 2 none named.
# ctest's --timeout only reaches tests without a limit of their own (ours
# have 600 s), so the whole run is also cut at the limit times the tests.
run_tests() {
    local regex=$1 args=(--test-dir "$build" --timeout "$timeout" -j"$jobs")
    if [ "$regex" = "." ]; then args+=(-LE package); else args+=(-R "$regex"); fi
    local count
    count=$(ctest "${args[@]}" -N 2>/dev/null | sed -n 's/^Total Tests: //p')
    [ "${count:-0}" -gt 0 ] || return 2
    timeout $((timeout * count)) ctest "${args[@]}" >"$work/test.log" 2>&1 && return 0
    return 1
}

# Lays the replacement over the text when it occurs exactly once.
apply_row() {
    MUTATE_TEXT=$2 MUTATE_REPLACEMENT=$3 perl -0777 -e '
        my ($file) = @ARGV;
        open(my $in, "<", $file) or exit 3;
        local $/; my $s = <$in>; close $in;
        my ($text, $repl) = ($ENV{MUTATE_TEXT}, $ENV{MUTATE_REPLACEMENT});
        my ($n, $at) = (0, -1);
        for (my $i = index($s, $text); $i >= 0; $i = index($s, $text, $i + 1)) { $n++; $at = $i if $at < 0; }
        exit 4 if $n != 1;
        substr($s, $at, length $text) = $repl;
        open(my $out, ">", $file) or exit 3;
        print $out $s; close $out;
    ' "$src/$1"
}

# The file goes back with a new time, so that make rebuilds what the fault
# touched.
current=""
restore() {
    if [ -n "$current" ]; then
        # From the scratch copy's own original: the checkout may have moved on
        # while the run goes.
        cp "$work/original" "$src/$current"
        touch "$src/$current"
        rm -f "$work/mutated"
        current=""
    fi
}
trap restore EXIT INT TERM

echo "mutate: scratch tree $src"
sync_tree
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >"$work/configure.log" 2>&1 ||
    { echo "mutate: configuring failed, see $work/configure.log" >&2; exit 1; }
build_tree || { echo "mutate: the unchanged tree does not build, see $work/build.log" >&2; exit 1; }

# The chosen rows, and a check that their tests pass before any fault.
selected=()
while IFS= read -r line || [ -n "$line" ]; do
    case $line in '#'* | '') continue ;; esac
    if [ -n "$filter" ]; then
        IFS=$'\t' read -r path _ _ _ what <<<"$line" || true
        printf '%s\n%s\n' "$path" "$what" | grep -Eq -- "$filter" || continue
    fi
    selected+=("$line")
done <"$rows"
[ ${#selected[@]} -gt 0 ] || { echo "mutate: no row matches" >&2; exit 2; }

declare -A baseline=()
for line in "${selected[@]}"; do
    regex=$(printf '%s' "$line" | awk -F'\t' '{print $4}')
    [ -n "$regex" ] && [ -z "${baseline[$regex]:-}" ] || continue
    baseline[$regex]=1
    rc=0
    run_tests "$regex" || rc=$?
    if [ $rc -eq 1 ]; then
        echo "mutate: tests '$regex' fail without any fault, see $work/test.log" >&2
        exit 1
    fi
done

killed=0 survived=0 broken=0
for line in "${selected[@]}"; do
    fields=$(printf '%s' "$line" | awk -F'\t' '{print NF}')
    path=$(printf '%s' "$line" | awk -F'\t' '{print $1}')
    text=$(printf '%s' "$line" | awk -F'\t' '{print $2}')
    repl=$(printf '%s' "$line" | awk -F'\t' '{print $3}')
    regex=$(printf '%s' "$line" | awk -F'\t' '{print $4}')
    what=$(printf '%s' "$line" | awk -F'\t' '{print $5}')
    verdict=""
    if [ "$fields" -ne 5 ] || [ -z "$text" ] || [ -z "$regex" ]; then
        verdict="BROKEN (row has $fields fields, wants 5 with text and regex)"
    elif [ ! -f "$root/$path" ]; then
        verdict="BROKEN (no file $path)"
    else
        current=$path
        cp "$src/$path" "$work/original"
        printf '%s\n' "$path" >"$work/mutated"
        rc=0
        apply_row "$path" "$text" "$repl" || rc=$?
        if [ $rc -ne 0 ]; then
            verdict="BROKEN (row: text not found exactly once)"
        elif ! build_tree $(targets_for "$regex"); then
            verdict="BROKEN (does not build, see $work/build.log)"
            cp "$work/build.log" "$work/build-broken.log"
        else
            rc=0
            run_tests "$regex" || rc=$?
            case $rc in
                0) verdict=SURVIVED ;;
                1) verdict=KILLED ;;
                *) verdict="BROKEN (regex '$regex' names no test)" ;;
            esac
        fi
        restore
    fi
    case $verdict in
        KILLED) killed=$((killed + 1)) ;;
        SURVIVED) survived=$((survived + 1)) ;;
        *) broken=$((broken + 1)) ;;
    esac
    printf '%-9s %s: %s\n' "${verdict%% *}" "$path" "$what"
    [ "${verdict%% *}" = "$verdict" ] || printf '          %s\n' "${verdict#* }"
done
# The scratch build goes back to the unchanged tree for the next run.
build_tree || true

total=$((killed + survived + broken))
echo "$killed killed, $survived survived, $broken broken, $total rows"
[ $survived -eq 0 ] && [ $broken -eq 0 ]
