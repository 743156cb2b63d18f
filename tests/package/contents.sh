#!/usr/bin/env bash
# The two packages' files, modes, dependencies and maintainer scripts, and lintian's
# verdict (no error and no warning that debian/*.lintian-overrides does not explain).
# Usage: contents.sh DEBDIR
set -euo pipefail
debs=$(realpath "$1")
program=$(ls "$debs"/quill-server-management_*.deb | tail -n1)
driver=$(ls "$debs"/quill-amber-pdf-creator_*.deb | tail -n1)
failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}

# package  path  mode
expected="
$program ./usr/bin/quill-server-management -rwxr-xr-x
$program ./usr/bin/quill-printui -rwxr-xr-x
$program ./usr/share/applications/quill-server-management.desktop -rw-r--r--
$program ./usr/share/icons/hicolor/16x16/apps/quill-server-management.png -rw-r--r--
$program ./usr/share/icons/hicolor/32x32/apps/quill-server-management.png -rw-r--r--
$program ./usr/share/icons/hicolor/48x48/apps/quill-server-management.png -rw-r--r--
$program ./usr/share/man/man1/quill-server-management.1.gz -rw-r--r--
$program ./usr/share/man/man1/quill-printui.1.gz -rw-r--r--
$program ./usr/share/doc/quill-server-management/copyright -rw-r--r--
$driver ./usr/lib/cups/backend/pdfinst -rwx------
$driver ./usr/share/ppd/quill/quill-amber-pdf-creator.ppd -rw-r--r--
$driver ./usr/bin/SetupAid.exe -rwxr-xr-x
$driver ./usr/share/man/man1/SetupAid.exe.1.gz -rw-r--r--
$driver ./usr/share/doc/quill-amber-pdf-creator/copyright -rw-r--r--
$driver ./usr/share/lintian/overrides/quill-amber-pdf-creator -rw-r--r--
$program ./usr/share/lintian/overrides/quill-server-management -rw-r--r--
$driver ./var/spool/quill-pdf/ drwx------
"
while read -r deb path mode; do
    [ -n "$deb" ] || continue
    line=$(dpkg-deb -c "$deb" | awk -v p="$path" '$6 == p')
    [ -n "$line" ] || { fail "$(basename "$deb") lacks $path"; continue; }
    read -r got owner _ <<<"$line"
    [ "$got" = "$mode" ] || fail "$path is $got, not $mode"
    [ "$owner" = root/root ] || fail "$path belongs to $owner"
done <<<"$expected"

# Nothing beyond the files above (and the changelogs).
for deb in "$program" "$driver"; do
    extra=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | grep -v 'changelog.gz$' |
        grep -vxF -f <(awk '{print $2}' <<<"$expected") || true)
    [ -z "$extra" ] || fail "$(basename "$deb") holds unexpected files: $extra"
done

# Dependencies: shared libraries and what runs at run time.
depends() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/(.*)//; s/ //g'; }
for need in libqt6widgets6 libcups2 zlib1g libx11-6 qt6-qpa-plugins xdg-utils; do
    depends "$program" | grep -qx "$need" || fail "quill-server-management does not depend on $need"
done
for need in cups ghostscript libc6; do
    depends "$driver" | grep -qx "$need" || fail "quill-amber-pdf-creator does not depend on $need"
done
depends "$driver" | grep -q qt6 && fail "the driver depends on Qt"

# Maintainer scripts only where something needs doing: the driver's spool folder and cupsd.
scripts=$(dpkg-deb --ctrl-tarfile "$program" | tar -t | grep -E 'inst$|rm$' || true)
[ -z "$scripts" ] || fail "quill-server-management has maintainer scripts: $scripts"
control=$(mktemp -d)
trap 'rm -rf "$control"' EXIT
dpkg-deb -e "$driver" "$control"
grep -q 'try-restart\|cups status' "$control/postinst" || fail "the driver's postinst does not restart a running cups"
grep -q 'rm -rf /var/spool/quill-pdf' "$control/postrm" || fail "purging the driver keeps its spool folder"

# One version: the packages' is the one both programs print.
unpacked=$(mktemp -d)
dpkg-deb -x "$program" "$unpacked"
version=$(dpkg-deb -f "$program" Version)
[ "$(dpkg-deb -f "$driver" Version)" = "$version" ] || fail "the two packages' versions differ"
for name in quill-server-management quill-printui; do
    printed=$(env -u DISPLAY "$unpacked/usr/bin/$name" --version 2>&1 || true)
    [ "$printed" = "$name $version" ] || fail "$name --version prints '$printed', not '$name $version'"
done
rm -rf "$unpacked"

report=$(lintian --fail-on error,warning "$program" "$driver" 2>&1 | grep -v 'running with root privileges' || true)
if [ -n "$report" ]; then
    fail "lintian:"
    echo "$report"
fi
lintian --fail-on error,warning "$program" "$driver" >/dev/null 2>&1 || fail "lintian exit status"

[ "$failed" = 1 ] || echo "contents, modes, dependencies and lintian as expected"
exit "$failed"
