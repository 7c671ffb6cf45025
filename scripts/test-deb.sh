#!/usr/bin/env bash
# Builds the Debian package and checks it as a packager would: lintian without an error or a
# warning, the size, the manual pages, the AppStream metadata, the desktop entry and the icons.
# Then installs it, checks that the installed programs run and `man kova_en` shows its
# sections, and removes it again.
set -euo pipefail

BUILD=${1:-build}
# Stripped, the package is about 520 KB; a megabyte means something large slipped in.
MAX_BYTES=1000000
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

fail() {
  echo "test-deb: $*" >&2
  exit 1
}

# lintian, man, appstreamcli, desktop-file-validate and file come with the test set.
bash "$(dirname "$0")/install-deps.sh" test

if dpkg-query -W -f='${Status}' kova-en 2>/dev/null | grep -q 'install ok installed'; then
  fail "kova-en is already installed here; remove it first (apt-get remove kova-en)."
fi

(cd "$BUILD" && cpack -G DEB >/dev/null)
deb=$(find "$BUILD" -maxdepth 1 -name 'kova-en_*.deb' -printf '%T@ %p\n' | sort -n | tail -n 1 | cut -d ' ' -f 2-)
[ -n "$deb" ] || fail "cpack wrote no package in $BUILD"
size=$(stat -c %s "$deb")
echo "test-deb: built $deb ($size bytes)"
dpkg-deb --info "$deb" | sed -n 's/^ *\(Package\|Version\|Depends\|Recommends\):/  &/p'
[ "$size" -lt "$MAX_BYTES" ] || fail "the package has $size bytes, more than $MAX_BYTES"

# Any error or warning fails. Should a tag ever need overriding, the override goes into
# usr/share/lintian/overrides/kova-en in the package, with the reason on the line above it.
lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2> >(grep -v 'running with root privileges' >&2)
echo "test-deb: lintian reports no error and no warning"

work=$(mktemp -d)
cleanup() {
  rm -rf "$work"
  $SUDO apt-get remove -y -qq kova-en >/dev/null 2>&1 || true
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$work"

# Each manual page renders without a complaint from groff and has the sections a reader
# looks for.
check_manual() { # PAGE SECTION...
  local page=$1 text
  shift
  text=$(MANWIDTH=80 man -l "$page" 2>"$work/man.err") || fail "man cannot render $page"
  [ ! -s "$work/man.err" ] || fail "man complains about $page: $(cat "$work/man.err")"
  for section in "$@"; do
    grep -qx "$section" <<<"$text" || fail "$page has no section $section"
  done
}
common_sections=(NAME SYNOPSIS DESCRIPTION OPTIONS FILES "EXIT STATUS")
check_manual "$work/usr/share/man/man1/kova_en.1.gz" "${common_sections[@]}" CONFIGURATION ENVIRONMENT
check_manual "$work/usr/share/man/man1/kova_sim.1.gz" "${common_sections[@]}" COMMANDS

package_version=$(dpkg-deb -f "$deb" Version)
metainfo="$work/usr/share/metainfo/org.example.kova_en.metainfo.xml"
appstreamcli validate --no-net "$metainfo" || fail "the AppStream metadata does not validate"
grep -q "<release version=\"$package_version\"" "$metainfo" || fail "the metainfo names no release $package_version"
desktop-file-validate "$work/usr/share/applications/org.example.kova_en.desktop"
for size in 16 32 48 64 128 256; do
  icon="$work/usr/share/icons/hicolor/${size}x${size}/apps/kova_en.png"
  [ -f "$icon" ] || fail "no ${size}x${size} icon"
  file "$icon" | grep -q "PNG image data, $size x $size," || fail "$icon: $(file -b "$icon")"
done
echo "test-deb: manual pages, metainfo, desktop entry and icons check out"

$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$(realpath "$deb")" >/dev/null
# The package carries the project's version (3.0.0); the program names its first two parts.
expected="KOVA_EN, Version ${package_version%.*}"
version=$(/usr/bin/kova_en --version)
[ "$version" = "$expected" ] || fail "version '$version', expected '$expected'"
sim_version=$(/usr/bin/kova_sim --version)
[ "$sim_version" = "kova_sim (KOVA_EN) $package_version" ] || fail "kova_sim --version says '$sim_version'"
/usr/bin/kova_sim --help >/dev/null
if [ -f /usr/share/man/man1/kova_en.1.gz ]; then
  manual=$(MANWIDTH=80 man kova_en 2>/dev/null) || fail "man kova_en fails after installing"
  for word in KOVA_COM1 KOVA_TRACE --save-port kova_en.conf "EXIT STATUS"; do
    grep -qF -- "$word" <<<"$manual" || fail "man kova_en does not mention $word"
  done
else
  # Minimal container images keep dpkg from installing manual pages at all (path-exclude).
  echo "test-deb: dpkg installs no manual pages here; they were checked in the package above"
fi
echo "test-deb: installed, '$version' and '$sim_version' run, man kova_en shows its sections"

# The Python package for the system's Python, its pytest plugin found through its entry point,
# and the schemas; then the example test on a virtual panel, with the installed programs and
# module alone (nothing from the tree on the path).
py_dir=/usr/lib/python3/dist-packages/kova
[ -f "$py_dir/panel.py" ] || fail "no Python package kova in $py_dir"
(cd / && /usr/bin/python3 -c '
import importlib.metadata, kova
assert kova.__file__.startswith("/usr/lib/python3/dist-packages/"), kova.__file__
assert any(e.value == "kova.pytest_plugin" for e in importlib.metadata.entry_points(group="pytest11"))
') || fail "the installed kova or its pytest entry point is not found by /usr/bin/python3"
for schema in kova_en-permanence-1 kova_en-check-1 kova_en-serve-1; do
  /usr/bin/python3 -m json.tool "/usr/share/kova_en/schemas/$schema.schema.json" >/dev/null ||
    fail "schema $schema missing or not JSON"
done
cp "$(dirname "$0")/../examples/test_panel.py" "$work/"
(cd "$work" && env -u PYTHONPATH PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider -q \
  test_panel.py) || fail "the example test fails with the installed package"
echo "test-deb: the Python package, its pytest plugin and the schemas are installed and work"
