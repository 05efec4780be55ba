#!/bin/sh
# The Debian package of this build: made with cpack, unpacked into a temporary root with
# dpkg-deb -x; the unpacked programs run and everything a user needs is in it.
# Usage: check_deb.sh BUILD_FOLDER
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/vantor_*_amd64.deb)
dpkg-deb -x "$deb" "$work/root"
root=$work/root/usr
"$root/bin/vantor-dump" --help | grep -q "usage: vantor-dump"
"$root/bin/vantor-dump" --replay "$(dirname "$0")/../../samples/sample.records" --format tsv |
    grep -q "^0	REQ"
for file in bin/vantor bin/vantor-run bin/vantor-setup lib/vantor/libvtcap.so \
    lib/vantor/libvtcap_audit.so \
    share/applications/vantor.desktop share/icons/hicolor/scalable/apps/vantor.svg \
    share/vantor/help/vantor/index.htm; do
    [ -e "$root/$file" ] || { echo "missing: /usr/$file"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends" | grep -q "libqt6widgets6" || { echo "no Qt dependency: $depends"; exit 1; }
echo "package ok: $(basename "$deb")"
