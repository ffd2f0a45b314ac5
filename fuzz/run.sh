#!/usr/bin/env bash
# Runs every fuzz target built in BUILD_DIR (default build/fuzz) for FUZZ_SECONDS seconds each
# (default 60), one after another, and prints per target: executions, crashes (inputs kept in
# BUILD_DIR/artifacts/<target>/) and final coverage (cov: edges). Exits 1 when any target found
# a crash, a leak, a hang or ran out of memory.
#   FUZZ_TARGETS="ldif schema" limits the run to those targets.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build/fuzz}
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-}
if [ -z "$targets" ]; then
  for exe in "$build"/fuzz/fuzz_*; do
    [ -f "$exe" ] && [ -x "$exe" ] && targets+=" $(basename "$exe" | sed 's/^fuzz_//')"
  done
fi
if [ -z "$targets" ]; then
  echo "run.sh: no fuzz targets in $build/fuzz (build them with: make fuzz)" >&2
  exit 2
fi

# Longest input worth trying, per target (the LDIF seeds are whole sample files).
max_len() {
  case "$1" in
    ldif) echo 32768 ;;
    schema) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

status=0
summary=""
for t in $targets; do
  exe="$build/fuzz/fuzz_$t"
  work="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  log="$build/logs/$t.log"
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  echo "== fuzz_$t: ${seconds}s" >&2
  touch "$log.start"
  # Write new inputs to the working corpus; read the checked-in one too.
  "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$(max_len "$t")" \
    -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$work" "$here/corpus/$t" >"$log" 2>&1
  rc=$?
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  if [ -z "$execs" ]; then
    execs=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#')
  fi
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*')
  crashes=$(find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
    -o -name 'oom-*' \) -newer "$log.start" 2>/dev/null | wc -l)
  if [ "$rc" -ne 0 ]; then
    status=1
    [ "$crashes" -eq 0 ] && crashes=1
    echo "fuzz_$t stopped with status $rc; see $log" >&2
    grep -m5 -E 'ERROR|SUMMARY|fuzz check failed|Test unit written' "$log" >&2
  fi
  summary+=$(printf '%-12s executions %10s  crashes %3s  cov: %6s edges\n' "$t" "${execs:-0}" \
    "$crashes" "${cov:-?}")$'\n'
done
echo
echo "target       runs over ${seconds}s each"
printf '%s' "$summary"
exit $status
