#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and runs the installed program headless, the way an
# administrator would after installing the package:
#   - every file lands where the desktop, man and the program look for it;
#   - the installed program serves the installed sample tree (an entry added to the installed copy
#     only shows up in its report) and otherwise reports exactly what the built program reports;
#   - every installed example batch settings file runs unattended and writes its report;
#   - the installed MIME package maps *.kvx to the type the desktop entry opens.
#
# Usage: install_run.sh BUILD_DIR SOURCE_DIR BUILT_PROGRAM VERSION
set -u

build_dir=$1
source_dir=$2
built_program=$(realpath "$3")
version=$4

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

work=$(mktemp -d "${TMPDIR:-/tmp}/kvx-install-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
prefix=/usr
home=$work/home
mkdir -p "$home" "$work/home-built" "$work/run"

if ! DESTDIR=$root cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    echo "FAIL: cmake --install" >&2
    exit 1
fi

program=$root$prefix/bin/korvanex
share=$root$prefix/share

# --- The layout -----------------------------------------------------------------------------
[ -x "$program" ] || fail "the program is not installed as bin/korvanex"
for f in "$source_dir"/data/trees/*/*; do
    rel=${f#"$source_dir"/data/trees/}
    cmp -s "$f" "$share/korvanex/trees/$rel" || fail "sample tree file $rel is not installed whole"
done
installed_examples=0
for f in "$source_dir"/examples/*.kvx; do
    [ -e "$f" ] || continue
    name=$(basename "$f")
    cmp -s "$f" "$share/korvanex/examples/$name" || fail "example $name is not installed whole"
done
for f in "$share"/korvanex/examples/*.kvx; do
    [ -e "$f" ] || continue
    installed_examples=$((installed_examples + 1))
    [ -e "$source_dir/examples/$(basename "$f")" ] || fail "$(basename "$f") installed from nowhere"
done
cmp -s "$source_dir/packaging/korvanex.desktop" "$share/applications/korvanex.desktop" ||
    fail "the desktop entry is not installed in share/applications"
cmp -s "$source_dir/src/app/images/korvanex.svg" "$share/icons/hicolor/scalable/apps/korvanex.svg" ||
    fail "the icon is not installed in the hicolor theme"
manpage=$share/man/man1/korvanex.1.gz
if ! gzip -dc "$manpage" 2>/dev/null | cmp -s - "$source_dir/packaging/korvanex.1"; then
    fail "the manual page is not installed as man1/korvanex.1.gz"
fi
# A version bump needs a new changelog entry and manual page header, or both go stale.
gzip -dc "$manpage" 2>/dev/null | grep -q "^\.TH KORVANEX 1 .*\"Korvanex $version\"" ||
    fail "the manual page's header does not name version $version"
gzip -dc "$share/doc/korvanex/changelog.Debian.gz" 2>/dev/null | head -n 1 |
    grep -qF "korvanex ($version-" || fail "the newest changelog entry is not for version $version"
if command -v man >/dev/null; then
    warnings=$(MANWIDTH=80 man --warnings -l "$manpage" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "the manual page has formatting warnings: $warnings"
    MANWIDTH=80 man -l "$manpage" 2>/dev/null | grep -q "EXIT STATUS" ||
        fail "man does not render the installed manual page"
fi
for f in copyright changelog.Debian.gz; do
    [ -s "$share/doc/korvanex/$f" ] || fail "no $f in share/doc/korvanex"
done
gzip -t "$share/doc/korvanex/changelog.Debian.gz" 2>/dev/null || fail "changelog.Debian.gz is not gzip data"

# --- The MIME type of .kvx files --------------------------------------------------------------
if command -v update-mime-database >/dev/null; then
    mkdir -p "$work/mime/packages"
    cp "$share/mime/packages/korvanex.xml" "$work/mime/packages/"
    if update-mime-database "$work/mime" >"$work/mime.log" 2>&1; then
        type=$(sed -n 's/^MimeType=\(.*\);$/\1/p' "$share/applications/korvanex.desktop")
        grep -qx "50:$type:\*\.kvx" "$work/mime/globs2" ||
            fail "*.kvx does not map to '$type', the type the desktop entry opens"
    else
        fail "update-mime-database rejects the MIME package: $(cat "$work/mime.log")"
    fi
else
    fail "update-mime-database (shared-mime-info) is missing"
fi

# --- Running the installed program ------------------------------------------------------------
# No display, no client configuration, no data folder: what a fresh installation sees.
run_installed() {
    (cd "$work/run" &&
        env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u KORVANEX_DATA_DIR \
            -u XDG_CONFIG_HOME HOME="$home" KORVANEX_CLIENT_CONF="$work/no-such-client.conf" \
            "$program" "$@")
}

# Answered without a display and without starting the windows.
out=$(run_installed --version 2>&1)
status=$?
[ "$status" -eq 0 ] || fail "korvanex --version ended with $status: $out"
case "$out" in
*"$version"*) ;;
*) fail "korvanex --version does not show $version: $out" ;;
esac

# A batch settings file of our own: the users below Sales.Acme with two attributes, to a file.
write_settings() { # file output
    cat >"$1" <<KVX
[KORVANEX]
TreeName=ACME
Context1=Sales
Context2=Acme
ContextCount=2
classtype=User
chkOutputWindow=0
chkOutputFile=1
chkHideEmptyColumns=0
txtOutputFilename=$2
txtOutputSeparator=,
chkOutputEncloseQuotes=0
chkOutputColumnHeaders=1
optResultsTabular=1
optResultsTabularCross=0
optResultsNonTabular=0
cboAttributesMulti=0
AttributeCount=2
lvwSelectedeAttributes0=Surname
lvwSelectedeAttributesSingle0=Multi
lvwSelectedeAttributesSyntax0=CI_String
lvwSelectedeAttributes1=Telephone Number
lvwSelectedeAttributesSingle1=Multi
lvwSelectedeAttributesSyntax1=Tel_Number
KVX
}

# The same report from the program in the build folder, for comparison. It has no installed
# trees beside it, so it serves the source tree's.
write_settings "$work/built.kvx" "$work/built.csv"
(cd "$work/run" &&
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_CONFIG_HOME -u KORVANEX_DATA_DIR \
        HOME="$work/home-built" KORVANEX_CLIENT_CONF="$work/no-such-client.conf" \
        "$built_program" "/settings=$work/built.kvx" /autorun /autoclose) 2>"$work/built.err"
status=$?
[ "$status" -eq 0 ] || fail "the built program's run ended with $status: $(cat "$work/built.err")"

# A user that exists only in the installed copy of the sample tree.
cat >>"$share/korvanex/trees/ACME/acme.ldif" <<'LDIF'

dn: cn=Zed Installcheck,ou=Sales,o=Acme
objectClass: top
objectClass: person
objectClass: organizationalPerson
objectClass: ndsUser
cn: Zed Installcheck
sn: Installcheck
telephoneNumber: +44 20 7946 0999
LDIF

# A relative output name is taken from the current folder, as the manual page says.
write_settings "$work/installed.kvx" "installed.csv"
run_installed "/settings=$work/installed.kvx" /autorun /autoclose 2>"$work/installed.err"
status=$?
[ "$status" -eq 0 ] ||
    fail "the installed program's run ended with $status: $(cat "$work/installed.err")"
report=$work/run/installed.csv
if [ ! -s "$report" ]; then
    fail "the installed program wrote no report"
else
    marker=$(printf 'Zed Installcheck.Sales.Acme,Installcheck,+44 20 7946 0999\r')
    grep -qxF "$marker" "$report" ||
        fail "the report lacks the entry added to the installed tree: not the installed tree?"
    # Apart from that entry, the same report as the built program gives from the source tree.
    if ! grep -vxF "$marker" "$report" | cmp -s - "$work/built.csv"; then
        fail "the installed program's report differs from the built program's:"
        diff "$work/built.csv" "$report" >&2
    fi
    [ "$(head -n 1 "$report")" = $'Object,Surname,Telephone Number\r' ] ||
        fail "unexpected header line: $(head -n 1 "$report" | cat -A)"
    [ "$(wc -l <"$report")" -ge 5 ] || fail "the report has too few rows"
fi

# Every installed example, as shipped except for its output file (in our folder, always written).
for example in "$share"/korvanex/examples/*.kvx; do
    [ -e "$example" ] || continue
    name=$(basename "$example" .kvx)
    copy=$work/run/$name.kvx
    sed -e "s|^txtOutputFilename=.*|txtOutputFilename=$work/run/$name.out|" \
        -e 's|^chkOutputFile=.*|chkOutputFile=1|' "$example" | tr -d '\r' >"$copy"
    grep -q '^txtOutputFilename=' "$copy" || printf 'txtOutputFilename=%s\n' "$work/run/$name.out" >>"$copy"
    grep -q '^chkOutputFile=' "$copy" || printf 'chkOutputFile=1\n' >>"$copy"
    run_installed "/settings=$copy" /autorun /autoclose 2>"$work/$name.err"
    status=$?
    [ "$status" -eq 0 ] || fail "example $name ended with $status: $(cat "$work/$name.err")"
    if [ ! -s "$work/run/$name.out" ]; then
        fail "example $name wrote no report"
    elif grep -qv $'\r$' "$work/run/$name.out"; then
        fail "example $name: a report line does not end in CR LF"
    fi
done
echo "installed examples run: $installed_examples"

# The program's own folder is not where a user's defaults go: nothing was written beside it.
extra=$(find "$root$prefix/bin" -mindepth 1 ! -name korvanex)
[ -z "$extra" ] || fail "the installed program wrote into its own folder: $extra"
# Nobody saw the window of a headless run: no placement of it was saved for the user.
[ ! -e "$home/.config/korvanex/KORVANEX.INI" ] ||
    fail "a headless run saved a window placement in ~/.config/korvanex/KORVANEX.INI"

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)" >&2
    exit 1
fi
echo "install test passed"
