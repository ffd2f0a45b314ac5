#!/usr/bin/env bash
# The desktop entry passes desktop-file-validate and agrees with what is installed beside it:
# it opens the MIME type the MIME package declares, shows the installed icon, and hands the
# opened file to the program as /settings=FILE.
#
# Usage: desktop_entry.sh SOURCE_DIR
set -u
source_dir=$1
entry=$source_dir/packaging/korvanex.desktop
mime=$source_dir/packaging/korvanex-mime.xml
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

if ! command -v desktop-file-validate >/dev/null; then
    echo "FAIL: desktop-file-validate (desktop-file-utils) is missing" >&2
    exit 1
fi
# desktop-file-validate exits 0 on mere hints; any error or warning line counts as a fault.
out=$(desktop-file-validate "$entry" 2>&1)
status=$?
[ "$status" -eq 0 ] && [ -z "$out" ] || fail "desktop-file-validate: $out"

key() { sed -n "s/^$1=//p" "$entry"; }
[ "$(key Exec)" = "korvanex /settings=%f" ] || fail "Exec does not open a file as /settings=FILE"
[ "$(key Icon)" = korvanex ] || fail "Icon is not the installed korvanex icon"
declared=$(sed -n 's/.*<mime-type type="\([^"]*\)".*/\1/p' "$mime")
[ -n "$declared" ] || fail "the MIME package declares no type"
case ";$(key MimeType)" in
*";$declared;"*) ;;
*) fail "MimeType does not list $declared" ;;
esac
grep -q '<glob pattern="\*\.kvx"/>' "$mime" || fail "the MIME package has no *.kvx glob"

[ "$failures" -eq 0 ] || exit 1
echo "desktop entry passed"
