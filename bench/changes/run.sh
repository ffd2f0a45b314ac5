#!/usr/bin/env bash
# What "Changes since the previous run" costs: the five-attribute Tabular report of the report
# benchmark over a generated tree, run once more after 1 % of its users changed, with change
# reports on and off.
#
#   [ROUNDS=3] bench/changes/run.sh [USERS]        (default: 1000000)
#
# Builds Release into build/release and generates the tree once into build/bench-data/gen<N>.
# Then, measured with /usr/bin/time -v:
#   baseline   changes on, over the tree as generated (the first run: it only writes a baseline)
#   plain      changes off, over the changed tree (every 100th user has a new telephone number)
#   changes    changes on, over the changed tree: compares with the first baseline, writes the
#              change rows and the new baseline
# plain and changes ROUNDS times each, alternating, and prints the ratios changes/plain of the
# medians of wall time, CPU time (user + system) and peak memory.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
USERS=${1:-1000000}
ROUNDS=${ROUNDS:-3}

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVX_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)" --target korvanex kvx-gentree >/dev/null

DATA=$ROOT/build/bench-data
tree=$DATA/gen$USERS
changed=$DATA/gen$USERS-changed
work=$DATA/changes
mkdir -p "$DATA" "$work"
if [ ! -f "$tree/tree.ldif" ]; then
    build/release/bench/gentree/kvx-gentree --users "$USERS" --seed 1 --out "$tree" >/dev/null
fi
if [ ! -f "$changed/tree.ldif" ]; then
    mkdir -p "$changed"
    cp "$tree/acme.schema" "$changed/"
    # The first telephone number of every 100th user.
    awk '/^dn::? / { first = 1 }
         /^telephoneNumber: / && first { first = 0; if (++users % 100 == 0) { print "telephoneNumber: +1 555 0100"; next } }
         { print }' "$tree/tree.ldif" >"$changed/tree.ldif"
fi

export HOME=$work/home XDG_STATE_HOME=$work/home/.local/state QT_QPA_PLATFORM=offscreen
rm -rf "$HOME"
mkdir -p "$HOME"
unset DISPLAY

# The report benchmark's report, to a file only; the same with change reports on.
. bench/report/kvx.sh
kvx x User "$work/plain.csv" 0 1 >"$work/plain.kvx"
kvx x User "$work/users.csv" 0 1 | sed 's/^chkOutputColumnHeaders=1$/&\nchkOutputChanges=1/' >"$work/changes.kvx"

serve() { printf '[Client]\nDefaultTree=GEN\n\n[Tree GEN]\nFolder=%s\n' "$1" >"$work/client.conf"; }
export KORVANEX_CLIENT_CONF=$work/client.conf

declare -A WALL CPU RSS
measure() { # LABEL KVX
    /usr/bin/time -v build/release/src/app/korvanex "/settings=$2" /autorun /autoclose \
        2>"$work/time.txt" >/dev/null || { cat "$work/time.txt"; exit 1; }
    local wall user sys rss
    wall=$(grep 'Elapsed (wall clock)' "$work/time.txt" | awk '{print $NF}' |
        awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
    user=$(grep 'User time' "$work/time.txt" | awk '{print $NF}')
    sys=$(grep 'System time' "$work/time.txt" | awk '{print $NF}')
    rss=$(grep 'Maximum resident set size' "$work/time.txt" | awk '{print $NF}')
    WALL[$1]=$wall
    CPU[$1]=$(echo "$user + $sys" | bc)
    RSS[$1]=$rss
    printf '%-9s wall %7.2f s  cpu %7.2f s  peak RSS %5d MB\n' "$1" "$wall" "${CPU[$1]}" \
        $((rss / 1024))
    grep '^Korvanex:' "$work/time.txt" | sed 's/^/          /' || true
}

echo "== $USERS users, 1 % changed"
serve "$tree"
measure baseline "$work/changes.kvx"
saved=$work/baseline.saved
cp "$XDG_STATE_HOME"/korvanex/*.baseline "$saved"
serve "$changed"
# Plain and change runs alternate, each change run comparing with the same first baseline; the
# medians are compared (other work on the machine moves single runs by a lot).
for round in $(seq "$ROUNDS"); do
    measure "plain$round" "$work/plain.kvx"
    cp "$saved" "$XDG_STATE_HOME"/korvanex/*.baseline
    measure "changes$round" "$work/changes.kvx"
done
echo "          change rows: $(($(wc -l <"$work/users-changes.csv") - 1))," \
    "baseline $(du -h "$XDG_STATE_HOME"/korvanex/*.baseline | cut -f1)"
. bench/median.sh
for kind in plain changes; do
    printf 'median %-8s wall %7.2f s  cpu %7.2f s  peak RSS %5d MB\n' "$kind" \
        "$(median "$kind" WALL)" "$(median "$kind" CPU)" $(($(median "$kind" RSS) / 1024))
done
printf 'changes/plain (medians): wall %.2f  cpu %.2f  peak RSS %.2f\n' \
    "$(echo "$(median changes WALL) / $(median plain WALL)" | bc -l)" \
    "$(echo "$(median changes CPU) / $(median plain CPU)" | bc -l)" \
    "$(echo "$(median changes RSS) / $(median plain RSS)" | bc -l)"
