#!/usr/bin/env bash
# Builds the Debian package, installs it, checks that the installed program runs and that its
# desktop entry and icon are in place, then removes it again.
set -euo pipefail

BUILD=${1:-build}
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

if dpkg-query -W -f='${Status}' kova-en 2>/dev/null | grep -q 'install ok installed'; then
  echo "test-deb: kova-en is already installed here; remove it first (apt-get remove kova-en)." >&2
  exit 1
fi

(cd "$BUILD" && cpack -G DEB >/dev/null)
deb=$(find "$BUILD" -maxdepth 1 -name 'kova-en_*.deb' -printf '%T@ %p\n' | sort -n | tail -n 1 | cut -d ' ' -f 2-)
[ -n "$deb" ] || { echo "test-deb: cpack wrote no package in $BUILD" >&2; exit 1; }
echo "test-deb: built $deb"
dpkg-deb --info "$deb" | sed -n 's/^ *\(Package\|Version\|Depends\):/  &/p'

cleanup() { $SUDO apt-get remove -y -qq kova-en >/dev/null 2>&1 || true; }
trap cleanup EXIT

$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$(realpath "$deb")" >/dev/null
# The package carries the project's version (3.0.0); the program names its first two parts.
package_version=$(dpkg-deb -f "$deb" Version)
expected="KOVA_EN, Version ${package_version%.*}"
version=$(/usr/bin/kova_en --version)
[ "$version" = "$expected" ] || { echo "test-deb: version '$version', expected '$expected'" >&2; exit 1; }
/usr/bin/kova_sim --help >/dev/null
for f in /usr/share/applications/kova_en.desktop /usr/share/icons/hicolor/32x32/apps/kova_en.png; do
  [ -f "$f" ] || { echo "test-deb: $f is missing" >&2; exit 1; }
done
if command -v desktop-file-validate >/dev/null 2>&1; then
  desktop-file-validate /usr/share/applications/kova_en.desktop
fi
echo "test-deb: installed, '$version' runs, desktop entry and icon in place"
