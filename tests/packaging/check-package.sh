#!/usr/bin/env bash
# Usage: check-package.sh BUILD_DIR
# Builds the Debian package into a temporary folder and holds it to Debian's own checkers:
# lintian (no error, no warning), desktop-file-validate and appstreamcli on the files it ships.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for tool in cpack lintian desktop-file-validate appstreamcli; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/install-deps)"; exit 1; }
done

# Built under the loosest umask a builder has (Debian 13's default for users): the package's
# modes must not depend on it.
(umask 002 && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/quorvane_*.deb)

fail=0
# lintian warns on stderr when run as root; only its findings count.
tags=$(lintian --fail-on none "$deb" 2>/dev/null | grep -E '^[EW]: ' || true)
if [ -n "$tags" ]; then
    echo "lintian:"
    echo "$tags"
    fail=1
fi

# The program is built hardened: lintian's info-level notes on that count as well.
hardening=$(lintian -I --fail-on none "$deb" 2>/dev/null | grep -E '^I: .* hardening-' || true)
if [ -n "$hardening" ]; then
    echo "lintian, hardening:"
    echo "$hardening"
    fail=1
fi

dpkg-deb -x "$deb" "$work/root"
share=$work/root/usr/share
desktop-file-validate "$share/applications/quorvane.desktop" || fail=1
for metainfo in "$share"/metainfo/*.metainfo.xml; do
    appstreamcli validate --no-net --pedantic "$metainfo" >"$work/appstream.log" 2>&1 ||
        { cat "$work/appstream.log"; fail=1; }
done

for file in administration.md schema.sql update.sql quorvane-publish quorvane-status; do
    [ -s "$share/quorvane/$file" ] || { echo "package lacks /usr/share/quorvane/$file"; fail=1; }
done
grep -q 'quorvane-publish' "$share/quorvane/administration.md" ||
    { echo "administration guide lacks the publishing steps"; fail=1; }

[ $fail -eq 0 ] && echo "package $(basename "$deb") passes lintian and both validators"
exit $fail
