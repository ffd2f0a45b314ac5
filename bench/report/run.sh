#!/usr/bin/env bash
# Whole-process benchmarks of a Tabular report of five attributes over generated trees.
#
#   bench/report/run.sh [USERS...]             (default: 100000 1000000)
#   [ROUNDS=3] bench/report/run.sh --workbook [USERS...]  (default: 1000000) only the report to a
#             text file against the same report to a workbook (.xlsx), alternating, ROUNDS each
#
# Builds Release into build/release, generates each tree once into build/bench-data/, and for
# each tree measures with /usr/bin/time -v (wall clock, CPU time of the process and its peak
# memory; on a shared machine the CPU times are the steadier figures):
#   open      start to the window showing the tree's top containers (what a user waits for)
#   load      the program started on the tree with a report that matches nothing (tree alone)
#   file      the report to file only (output to the results window off)
#   window    the report to the results window only, then sort and copy (kvx-bench-results)
#   workbook  the file report written as a workbook instead (with --workbook: file and workbook
#             only, and the medians of the workbook's times and peak memory against the text's)
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
WORKBOOK_ONLY=0
if [ "${1:-}" = --workbook ]; then
    WORKBOOK_ONLY=1
    shift
fi
USERS=("$@")
if [ ${#USERS[@]} -eq 0 ]; then
    if [ $WORKBOOK_ONLY = 1 ]; then USERS=(1000000); else USERS=(100000 1000000); fi
fi

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVX_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)" --target korvanex kvx-gentree kvx-bench-results >/dev/null

DATA=$ROOT/build/bench-data
mkdir -p "$DATA"
export HOME=$DATA/home QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME"
unset DISPLAY

. bench/report/kvx.sh
. bench/median.sh
ROUNDS=${ROUNDS:-3}

measure() { # LABEL COMMAND...  (leaves the wall and CPU seconds in $WALL and $CPU, the peak RSS
            # in kB in $RSS)
    local label=$1; shift
    /usr/bin/time -v "$@" 2>"$DATA/time.txt" >"$DATA/out.txt" || true
    local wall rss user sys
    wall=$(grep 'Elapsed (wall clock)' "$DATA/time.txt" | awk '{print $NF}')
    rss=$(grep 'Maximum resident set size' "$DATA/time.txt" | awk '{print $NF}')
    user=$(grep 'User time' "$DATA/time.txt" | awk '{print $NF}')
    sys=$(grep 'System time' "$DATA/time.txt" | awk '{print $NF}')
    CPU=$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')
    RSS=$rss
    WALL=$(awk -v w="$wall" 'BEGIN { n = split(w, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }')
    printf '%-8s wall %-9s user %6s s  sys %6s s  peak RSS %6d MB\n' "$label" "$wall" "$user" \
        "$sys" $((rss / 1024))
}

for n in "${USERS[@]}"; do
    tree=$DATA/gen$n
    if [ ! -f "$tree/tree.ldif" ]; then
        build/release/bench/gentree/kvx-gentree --users "$n" --seed 1 --out "$tree" >/dev/null
    fi
    printf '[Client]\nDefaultTree=GEN\n\n[Tree GEN]\nFolder=%s\n' "$tree" >"$DATA/client.conf"
    export KORVANEX_CLIENT_CONF=$DATA/client.conf
    kvx x "Volume" "$DATA/none.txt" 0 1 >"$DATA/load.kvx"
    kvx x "User" "$DATA/report.txt" 0 1 >"$DATA/file.kvx"
    kvx x "User" "$DATA/none.txt" 1 0 >"$DATA/window.kvx"
    kvx x "User" "$DATA/report.xlsx" 0 1 >"$DATA/workbook.kvx"
    echo "== $n users"
    if [ $WORKBOOK_ONLY = 1 ]; then
        declare -A WALLS CPUS RSSS
        for round in $(seq "$ROUNDS"); do
            for kind in file workbook; do
                measure "$kind" build/release/src/app/korvanex "/settings=$DATA/$kind.kvx" /autorun \
                    /autoclose
                WALLS[$kind$round]=$WALL CPUS[$kind$round]=$CPU RSSS[$kind$round]=$RSS
            done
        done
        echo "         rows written: $(($(wc -l <"$DATA/report.txt") - 1)) ($(du -h "$DATA/report.txt" | cut -f1));" \
            "workbook: $(du -h "$DATA/report.xlsx" | cut -f1)"
        ratio() { awk -v w="$(median workbook "$1")" -v t="$(median file "$1")" 'BEGIN { printf "%.2f", w / t }'; }
        echo "medians of $ROUNDS: workbook / text wall time $(ratio WALLS)x, CPU time $(ratio CPUS)x;" \
            "peak RSS above the text report's: $((($(median workbook RSSS) - $(median file RSSS)) / 1024)) MB"
        continue
    fi
    measure open build/release/bench/report/kvx-bench-results --open-only
    sed 's/^/         /' "$DATA/out.txt"
    measure load build/release/src/app/korvanex "/settings=$DATA/load.kvx" /autorun /autoclose
    measure file build/release/src/app/korvanex "/settings=$DATA/file.kvx" /autorun /autoclose
    rows=$(($(wc -l <"$DATA/report.txt") - 1))
    echo "         rows written: $rows ($(du -h "$DATA/report.txt" | cut -f1))"
    measure window build/release/bench/report/kvx-bench-results "$DATA/window.kvx" --sort-columns 0,1,3,5
    sed 's/^/         /' "$DATA/out.txt"
done
