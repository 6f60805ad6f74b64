#!/usr/bin/env bash
# Usage: check-install.sh BUILD_DIR
# Installs into a temporary root and checks the program, the desktop entry, the icons, the
# manual page and the administrator's material.
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null

fail=0
expect() {
    if [ ! -e "$root$1" ]; then
        echo "missing after install: $1"
        fail=1
    fi
}
expect /usr/bin/quorvane
expect /usr/share/applications/quorvane.desktop
expect /usr/share/icons/hicolor/scalable/apps/quorvane.svg
expect /usr/share/man/man1/quorvane.1.gz
expect /usr/share/doc/quorvane/copyright
expect /usr/share/quorvane/schema.sql
for size in 16 24 32 48 64 128 256; do
    expect /usr/share/icons/hicolor/${size}x${size}/apps/quorvane.png
done

if [ -e "$root/usr/bin/quorvane" ] && [ "$(head -c 4 "$root/usr/bin/quorvane" | tail -c 3)" != "ELF" ]; then
    echo "installed program is not an executable"
    fail=1
fi

desktop=$root/usr/share/applications/quorvane.desktop
grep -qx 'Categories=Utility;' "$desktop" || { echo "desktop entry lacks category Utility"; fail=1; }
grep -qx 'Icon=quorvane' "$desktop" || { echo "desktop entry names another icon"; fail=1; }
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail=1
else
    echo "desktop-file-validate not installed; entry not validated"
fi

[ $fail -eq 0 ] && echo "install layout ok"
exit $fail
