#!/usr/bin/env bash
# Builds kova_en.exe against Qt for Windows (scripts/build-qt-windows.sh, built once per
# machine) and packages it: a zip of the program's folder and a Windows installer made with
# Debian's makensis, both in BUILD_DIR with the version in their names.
#
#   package-windows.sh [BUILD_DIR]        (default build-windows)
#
# The files that ship are what `cmake --install` lays out (cmake/windows-package.cmake),
# stripped of their symbols.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-windows}
mkdir -p "$build"
build=$(cd "$build" && pwd)
triple=x86_64-w64-mingw32

say() { printf 'package-windows: %s\n' "$*" >&2; }

qt=$(bash "$root/scripts/build-qt-windows.sh")
toolchain=$qt/lib/cmake/Qt6/qt.toolchain.cmake

# A tree configured for another toolchain (the link-only cross build, or another Qt) cannot be
# reconfigured in place.
if [[ -f $build/CMakeCache.txt ]] && ! grep -qxF "CMAKE_TOOLCHAIN_FILE:FILEPATH=$toolchain" "$build/CMakeCache.txt"; then
  say "$build was configured for another toolchain; configuring it afresh"
  rm -rf "$build"
  mkdir -p "$build"
fi
t0=$SECONDS
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}"
say "kova_en.exe built in $((SECONDS - t0)) s"

{
  read -r version
  read -r publisher
} <"$build/windows-package.txt"
name=kova_en-$version
stage=$build/stage
rm -rf "$stage"
cmake --install "$build" --prefix "$stage/$name" >/dev/null
find "$stage" \( -name '*.exe' -o -name '*.dll' \) -exec "$triple-strip" --strip-unneeded {} +

zip=$build/$name-windows-x64.zip
rm -f "$zip"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip "$name")

# The installer's File lines and the uninstaller's matching Delete lines, from the staged
# files; folders are removed deepest first, and only when empty.
# NSIS's own variable, not the shell's.
# shellcheck disable=SC2016
inst='$INSTDIR'
files=$build/installer-files.nsh
unfiles=$build/installer-unfiles.nsh
: >"$files"
: >"$unfiles"
(
  cd "$stage/$name"
  while IFS= read -r dir; do
    win=${dir#.}
    win=${win//\//\\}
    printf 'SetOutPath "%s%s"\n' "$inst" "$win" >>"$files"
    find "$dir" -maxdepth 1 -type f | sort | while IFS= read -r f; do
      printf 'File "%s"\n' "$stage/$name/${f#./}" >>"$files"
      rel=${f#./}
      printf 'Delete "%s\\%s"\n' "$inst" "${rel//\//\\}" >>"$unfiles"
    done
  done < <(find . -type d | sort)
  find . -mindepth 1 -type d | sort -r | while IFS= read -r dir; do
    rel=${dir#./}
    printf 'RMDir "%s\\%s"\n' "$inst" "${rel//\//\\}" >>"$unfiles"
  done
)
size_kb=$(du -sk "$stage/$name" | cut -f1)
installer=$build/$name-setup.exe
rm -f "$installer"
makensis -V2 -NOCD -DVERSION="$version" -DPUBLISHER="$publisher" -DOUTFILE="$installer" \
  -DICON="$build/generated/kova_en.ico" -DLICENSE="$root/LICENSE" -DFILES="$files" -DUNFILES="$unfiles" \
  -DSIZE_KB="$size_kb" "$root/packaging/kova_en.nsi" >&2
say "$(du -h "$installer" | cut -f1) $installer"
say "$(du -h "$zip" | cut -f1) $zip"
