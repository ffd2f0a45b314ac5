#!/usr/bin/env bash
# Korvanex over Active Directory against ldapsearch: a private Samba domain controller (realm
# KVX.TEST) provisioned in a temporary folder on a loopback address of its own, with a
# certificate from a CA made here, filled with N users (default 10,000) before it starts (one
# transaction through Samba's own directory modules, as samba-tool writes); then,
# side by side in one run, an unattended Tabular report of five attributes of every user written
# to a file, and `ldapsearch -E pr=1000/noprompt` returning the same attributes to /dev/null,
# both over LDAPS as the domain's administrator. Prints each wall time (median of the rounds) and
# their ratio. Needs root (Samba binds the LDAP ports; the address is added to lo).
#
#   bench/ad/run.sh [--build DIR] [--users N] [--rounds R] [--keep]
#
# DIR is a Release build folder holding korvanex (default build/release):
#   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVX_BUILD_TESTS=OFF
#   cmake --build build/release -j2 --target korvanex
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
build="$repo/build/release"
users=10000
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

korvanex="$build/src/app/korvanex"
for p in "$korvanex" /usr/sbin/samba /usr/bin/samba-tool /usr/bin/ldapsearch /usr/bin/python3 \
         /usr/bin/openssl; do
  [ -x "$p" ] || { echo "missing: $p (see the comment at the top of $0)" >&2; exit 1; }
done
[ "$(id -u)" = 0 ] || { echo "$0: needs root (see the comment at its top)" >&2; exit 1; }

work="$(mktemp -d /tmp/kvx-ad-bench-XXXXXX)"
addr="127.$((100 + $$ % 100)).$(($$ / 100 % 250)).$((2 + $$ % 7))"
samba_pid=""
cleanup() {
  if [ -n "$samba_pid" ]; then
    kill "$samba_pid" 2>/dev/null || true
    wait "$samba_pid" 2>/dev/null || true
  fi
  ip addr del "$addr/32" dev lo 2>/dev/null || true
  if [ "$keep" = 0 ]; then rm -rf "$work"; else echo "kept $work"; fi
}
trap cleanup EXIT
ip addr add "$addr/32" dev lo

echo "== certificates and provisioning on $addr"
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
  -subj "/CN=Korvanex bench CA" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=$addr" 2>/dev/null
echo "subjectAltName=IP:$addr" >server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem \
  -days 2 -extfile server.ext 2>/dev/null
chmod 600 server.key
password='Kvx-Bench-Pass1'
printf '%s' "$password" >admin.password # ldapsearch -y takes the whole file
chmod 600 admin.password
samba-tool domain provision --realm=KVX.TEST --domain=KVX --server-role=dc --dns-backend=NONE \
  --use-rfc2307 --targetdir="$work/dc" --adminpass="$password" --host-name=dc1 \
  --host-ip="$addr" --option="interfaces=$addr" --option="bind interfaces only=yes" \
  --option="server services=ldap" --option="log file=$work/samba.log" >provision.log 2>&1
echo "== adding $users users"
/usr/bin/python3 - "$users" >users.ldif <<'PY'
import sys
n = int(sys.argv[1])
print("dn: OU=People,DC=kvx,DC=test\nobjectClass: organizationalUnit\n")
for i in range(n):
    print(f"dn: CN=User {i:05d},OU=People,DC=kvx,DC=test\nobjectClass: user\n"
          f"sAMAccountName: u{i:05d}\nuserAccountControl: 544\nsn: Surname{i % 977}\n"
          f"givenName: Given{i % 331}\ntelephoneNumber: +1 555 {i:05d}\n"
          f"mail: u{i:05d}@kvx.test\ntitle: Title {i % 17}\n")
PY
t0=$(date +%s)
# The same directory modules an LDAP add passes (SIDs, GUIDs, account checks), in one
# transaction on the database: an LDAP add per user costs about ten times as much.
/usr/bin/python3 - "$work/dc/etc/smb.conf" "$work/dc/private/sam.ldb" users.ldif <<'PY'
import sys
from samba.auth import system_session
from samba.param import LoadParm
from samba.samdb import SamDB
lp = LoadParm()
lp.load(sys.argv[1])
db = SamDB(url=sys.argv[2], session_info=system_session(), lp=lp)
db.transaction_start()
for _, msg in db.parse_ldif(open(sys.argv[3]).read()):
    db.add(msg)
db.transaction_commit()
PY
echo "   took $(($(date +%s) - t0)) s"
sed -i "/^\[global\]/a\\
\ttls enabled = yes\n\ttls keyfile = $work/server.key\n\ttls certfile = $work/server.pem\n\ttls cafile = $work/ca.pem\n\tldb:nosync = true\n\tpid directory = $work/dc\n\tncalrpc dir = $work/dc/ncalrpc" \
  "$work/dc/etc/smb.conf"
samba -i -M single -s "$work/dc/etc/smb.conf" >samba.out 2>&1 &
samba_pid=$!
export LDAPTLS_CACERT="$work/ca.pem"
auth=(-x -H "ldaps://$addr" -D Administrator@KVX.TEST -y "$work/admin.password")
for _ in $(seq 1 300); do
  ldapsearch "${auth[@]}" -b DC=kvx,DC=test -s base -LLL 1.1 >/dev/null 2>&1 && break
  sleep 0.3
done


cat >client.conf <<CONF
[Client]
DefaultTree=KVX

[Tree KVX]
URL=ldaps://$addr
Base=DC=kvx,DC=test
BindDN=Administrator@KVX.TEST
PasswordFile=$work/admin.password
CONF
cat >report.kvx <<KVX
[KORVANEX]
TreeName=KVX
Context1=kvx.test
ContextCount=1
classtype=user
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
lvwSelectedeAttributes1=Given Name
lvwSelectedeAttributes2=Telephone Number
lvwSelectedeAttributes3=Internet EMail Address
lvwSelectedeAttributes4=Title
KVX
mkdir -p home

now() { date +%s.%N; }
run_ldapsearch() {
  ldapsearch "${auth[@]}" -LLL -b DC=kvx,DC=test -E pr=1000/noprompt "(objectClass=user)" \
    sn givenName telephoneNumber mail title >/dev/null
}
run_korvanex() {
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$work/home" \
    XDG_CONFIG_HOME="$work/home/.config" KORVANEX_CLIENT_CONF="$work/client.conf" \
    "$korvanex" "/settings=$work/report.kvx" /autorun /autoclose
}

run_ldapsearch
run_korvanex
k_times=()
l_times=()
for r in $(seq 1 "$rounds"); do
  t0=$(now); run_ldapsearch; t1=$(now)
  l_times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')")
  t0=$(now); run_korvanex; t1=$(now)
  k_times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')")
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
lm=$(median "${l_times[@]}")
km=$(median "${k_times[@]}")
rows=$(($(wc -l <"$work/report.txt") - 1))
echo "== $users users, $rounds rounds (median wall time)"
echo "rows in the report file:  $rows"
printf 'ldapsearch -E pr=1000:   %.3f s   (rounds: %s)\n' "$lm" "${l_times[*]}"
printf 'korvanex Tabular report: %.3f s   (rounds: %s)\n' "$km" "${k_times[*]}"
awk -v k="$km" -v l="$lm" 'BEGIN {printf "ratio korvanex/ldapsearch: %.2f\n", k / l}'
