#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks the freedesktop layout.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/prismora"
desktop=$prefix/share/applications/org.example.prismora.desktop
metainfo=$prefix/share/metainfo/org.example.prismora.metainfo.xml
grep -qx 'Exec=prismora' "$desktop"
grep -qx 'Icon=prismora' "$desktop"
for size in 16 24 32 48 64 128 256; do
    file "$prefix/share/icons/hicolor/${size}x${size}/apps/prismora.png" | grep -q "${size} x ${size}"
done
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop"
fi
# The software centre's entry names the desktop entry it launches.
grep -q '<launchable type="desktop-id">org.example.prismora.desktop</launchable>' "$metainfo"
if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net --pedantic "$metainfo"
fi
echo "install layout: 1 passed, 0 failed"
