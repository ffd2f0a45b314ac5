#!/usr/bin/env bash
# Korvanex over LDAP against ldapsearch: a private slapd loaded with a generated tree of N users
# (default 100,000), then, side by side in one run, an unattended Tabular report of five
# attributes written to a file and `ldapsearch -E pr=1000/noprompt` returning the same
# attributes to /dev/null. Prints each wall time (median of the rounds) and their ratio; also
# the same search through the client calls alone (kvx-bench-ldap-search), which shows what the
# LDAP backend costs apart from the program around it.
#
#   bench/ldap/run.sh [--build DIR] [--users N] [--rounds R] [--keep]
#
# DIR is a Release build folder holding kvx-gentree and korvanex (default build/release):
#   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVX_BUILD_TESTS=OFF
#   cmake --build build/release -j2 --target kvx-gentree korvanex kvx-bench-ldap-search
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
build="$repo/build/release"
users=100000
rounds=3
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$(cd "$2" && pwd)"; shift 2 ;;
    --users) users="$2"; shift 2 ;;
    --rounds) rounds="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--build DIR] [--users N] [--rounds R] [--keep]" >&2; exit 2 ;;
  esac
done

gentree="$build/bench/gentree/kvx-gentree"
korvanex="$build/src/app/korvanex"
clientsearch="$build/bench/ldap/kvx-bench-ldap-search"
for p in "$gentree" "$korvanex" "$clientsearch" /usr/sbin/slapd /usr/sbin/slapadd /usr/bin/ldapsearch; do
  [ -x "$p" ] || { echo "missing: $p (see the comment at the top of $0)" >&2; exit 1; }
done

work="$(mktemp -d /tmp/kvx-ldap-bench-XXXXXX)"
slapd_pid=""
cleanup() {
  if [ -n "$slapd_pid" ]; then
    kill "$slapd_pid" 2>/dev/null || true
    wait "$slapd_pid" 2>/dev/null || true
  fi
  if [ "$keep" = 0 ]; then rm -rf "$work"; else echo "kept $work"; fi
}
trap cleanup EXIT

echo "== generating $users users"
"$gentree" --users "$users" --seed 1 --out "$work/tree" >/dev/null

mkdir -p "$work/db"
cat > "$work/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
include $work/tree/acme.schema
pidfile $work/slapd.pid
modulepath /usr/lib/ldap
moduleload back_mdb
sizelimit unlimited
database mdb
maxsize 8589934592
suffix "o=Gen"
directory $work/db
index objectClass eq
CONF
echo "== loading into slapd"
/usr/sbin/slapadd -q -f "$work/slapd.conf" -b o=Gen -l "$work/tree/tree.ldif"

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
url="ldap://127.0.0.1:$port"
/usr/sbin/slapd -d 0 -f "$work/slapd.conf" -h "$url/" >"$work/slapd.log" 2>&1 &
slapd_pid=$!
for _ in $(seq 1 100); do
  ldapsearch -x -H "$url" -b "" -s base -LLL 1.1 >/dev/null 2>&1 && break
  sleep 0.1
done

cat > "$work/client.conf" <<CONF
[Client]
DefaultTree=GEN

[Tree GEN]
URL=$url
CONF
cat > "$work/report.kvx" <<KVX
[KORVANEX]
TreeName=GEN
Context1=Gen
ContextCount=1
classtype=User
chkOutputWindow=0
chkOutputFile=1
chkHideEmptyColumns=1
txtOutputFilename=$work/report.txt
txtOutputSeparator=,
chkOutputEncloseQuotes=1
chkOutputColumnHeaders=1
optResultsTabular=1
optResultsTabularCross=0
optResultsNonTabular=0
cboAttributesMulti=-1
AttributeCount=5
lvwSelectedeAttributes0=Surname
lvwSelectedeAttributesSingle0=Multi
lvwSelectedeAttributesSyntax0=CI_String
lvwSelectedeAttributes1=Given Name
lvwSelectedeAttributesSingle1=Multi
lvwSelectedeAttributesSyntax1=CI_String
lvwSelectedeAttributes2=Telephone Number
lvwSelectedeAttributesSingle2=Multi
lvwSelectedeAttributesSyntax2=Tel_Number
lvwSelectedeAttributes3=Internet EMail Address
lvwSelectedeAttributesSingle3=Multi
lvwSelectedeAttributesSyntax3=CI_String
lvwSelectedeAttributes4=Title
lvwSelectedeAttributesSingle4=Multi
lvwSelectedeAttributesSyntax4=CI_String
KVX
mkdir -p "$work/home"

now() { date +%s.%N; }
run_ldapsearch() {
  ldapsearch -x -LLL -H "$url" -b o=Gen -E pr=1000/noprompt "(objectClass=ndsUser)" \
    sn givenName telephoneNumber mail title >/dev/null
}
run_korvanex() {
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$work/home" \
    XDG_CONFIG_HOME="$work/home/.config" KORVANEX_CLIENT_CONF="$work/client.conf" \
    "$korvanex" "/settings=$work/report.kvx" /autorun /autoclose
}

run_client() {
  "$clientsearch" "$url" --base Gen >/dev/null
}

# One warm-up of each (the database pages into memory), then alternating timed rounds.
run_ldapsearch
run_korvanex
k_times=()
l_times=()
c_times=()
for r in $(seq 1 "$rounds"); do
  t0=$(now); run_ldapsearch; t1=$(now)
  l_times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')")
  t0=$(now); run_korvanex; t1=$(now)
  k_times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')")
  t0=$(now); run_client; t1=$(now)
  c_times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')")
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
lm=$(median "${l_times[@]}")
km=$(median "${k_times[@]}")
cm=$(median "${c_times[@]}")
rows=$(($(wc -l <"$work/report.txt") - 1))
echo "== $users users, $rounds rounds (median wall time)"
echo "rows in the report file:  $rows"
printf 'ldapsearch -E pr=1000:   %.3f s   (rounds: %s)\n' "$lm" "${l_times[*]}"
printf 'korvanex Tabular report: %.3f s   (rounds: %s)\n' "$km" "${k_times[*]}"
printf 'client calls alone:      %.3f s   (rounds: %s)\n' "$cm" "${c_times[*]}"
awk -v k="$km" -v l="$lm" 'BEGIN {printf "ratio korvanex/ldapsearch: %.2f\n", k / l}'
awk -v k="$cm" -v l="$lm" 'BEGIN {printf "ratio client calls/ldapsearch: %.2f\n", k / l}'
