#!/usr/bin/env bash
# Builds the Debian package from a finished build and checks what it holds:
# the two programs, their service units and the XMP template, library dependencies filled in,
# nothing of the simulator. Unpacked into a temporary folder, never installed.
set -euo pipefail
build=$1
work=$(mktemp -d /tmp/vx4-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/*.deb)
dpkg-deb -x "$deb" "$work/root"
fail() { echo "package: $*"; exit 1; }
for file in usr/bin/vx4-api usr/bin/vx4-stream; do
  [ -x "$work/root/$file" ] || fail "$file missing or not executable"
done
for unit in vx4-api vx4-stream; do
  grep -q '^Restart=on-failure' "$work/root/usr/lib/systemd/system/$unit.service" || fail "$unit.service missing or not restarted"
  grep -q "^ExecStart=/usr/bin/$unit" "$work/root/usr/lib/systemd/system/$unit.service" || fail "$unit.service starts another path"
done
grep -q '<!-- XML whitespace as padding -->' "$work/root/opt/orba/bin/xmp_template.txt" || fail "no XMP template"
[ -z "$(find "$work/root" -name 'vx4-sim*')" ] || fail "the simulator is packaged"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libev libjson-c libhiredis libopencv-core ffmpeg redis-server; do
  [[ "$depends" == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done
echo "package ok: $(basename "$deb")"
