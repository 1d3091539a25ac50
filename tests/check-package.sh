#!/bin/sh
# Checks the Debian package: its contents and metadata, its manual pages,
# and an install into (and removal from) a scratch root.
# usage: check-package.sh PACKAGE.deb
set -eu
deb=$1
failed=0
fail() { echo "FAIL: $*"; failed=1; }

contents=$(dpkg-deb -c "$deb")
for file in ./usr/sbin/reduzezezev ./usr/share/man/man8/reduzezezev.8.gz \
    ./usr/bin/trapsink ./usr/share/man/man1/trapsink.1.gz \
    ./usr/share/doc/reduzezezev/README.md ./usr/share/doc/reduzezezev/copyright \
    ./usr/share/doc/reduzezezev/changelog.gz ./usr/share/lintian/overrides/reduzezezev; do
    printf '%s\n' "$contents" | grep -q " $file\$" || fail "$file is not in the package"
done
printf '%s\n' "$contents" | grep -q ' ./usr/sbin/reduzezezev$' \
    && printf '%s\n' "$contents" | grep ' ./usr/sbin/reduzezezev$' | grep -q '^-rwxr-xr-x root/root' \
    || fail "the handler is not root-owned mode 0755"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = reduzezezev ] || fail "Package: $(field Package)"
[ "$(field Section)" = net ] || fail "Section: $(field Section)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
field Depends | grep -q libc6 || fail "Depends does not name libc6 (for trapsink)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
field Maintainer | grep -q '@localhost' && fail "the Maintainer is at localhost"
field Description | grep -q '/var/run/corvane.p' || fail "the description lacks the pipe"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root --log=/dev/null -i "$deb" >/dev/null 2>&1 \
    || fail "dpkg could not install the package into a scratch root"
dpkg --root="$root" -s reduzezezev 2>/dev/null | grep -q '^Status: install ok installed' \
    || fail "the package is not installed in the scratch root"
handler="$root/usr/sbin/reduzezezev"
[ -x "$handler" ] || fail "no executable handler installed"
grep -q /var/run/corvane.p "$handler" || fail "the installed handler lacks the system's pipe path"
grep -q /var/tmp/corvane.trc "$handler" || fail "the installed handler lacks the system's trace path"
readelf -lW "$handler" | grep -q INTERP && fail "the installed handler is not statically linked"
for program in "$handler" "$root/usr/bin/trapsink"; do
    readelf -SW "$program" | grep -q ' \.comment ' && fail "$program still has a .comment section"
done
gzip -dc "$root/usr/share/doc/reduzezezev/changelog.gz" | head -1 | grep -q "^reduzezezev ($(field Version)) " \
    || fail "the changelog's latest entry is not for version $(field Version)"
for page in man8/reduzezezev.8.gz man1/trapsink.1.gz; do
    gzip -dc "$root/usr/share/man/$page" | mandoc -T lint -W warning \
        || fail "mandoc finds fault with $page"
done
dpkg --root="$root" --force-not-root --log=/dev/null -r reduzezezev >/dev/null \
    || fail "dpkg could not remove the package"
[ -e "$handler" ] && fail "the handler is still there after removal"

[ "$failed" -eq 0 ] && echo "package: $(basename "$deb") checked"
exit "$failed"
