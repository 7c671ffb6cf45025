#!/usr/bin/env bash
# Compiles every C++ source under src/ for Windows, to syntax level, with Debian's MinGW-w64
# cross compiler against the Qt headers of Debian's qt6-base-dev. Qt for Windows is not
# packaged, so nothing is linked: what this catches is a POSIX-only header or call that a
# file uses without a guard, and code that no Windows compiler accepts. It cannot catch a
# Qt feature that exists only in the Linux build of Qt (the headers are Linux's qconfig) nor
# anything that only the linker or the running program would find.
#   check-windows-syntax.sh BUILD_DIR     (BUILD_DIR/generated holds kova_version.h)
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
cxx=${KOVA_MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
qt=$(qmake6 -query QT_INSTALL_HEADERS 2>/dev/null || echo /usr/include/x86_64-linux-gnu/qt6)

if [ ! -f "$build/generated/kova_version.h" ]; then
  echo "check-windows-syntax: $build/generated/kova_version.h is missing; configure $build first" >&2
  exit 2
fi

cd "$root"
# Every folder of src/ is an include folder, as the libraries see each other's headers; new
# files and new folders are picked up without a change here.
flags=(-std=c++20 -fsyntax-only -Wall -Wextra -Wno-attributes -DUNICODE -D_UNICODE
  "-I$build/generated" "-I$qt" "-I$qt/QtCore" "-I$qt/QtGui" "-I$qt/QtWidgets")
while IFS= read -r dir; do
  flags+=("-I$dir")
done < <(find src -type d | sort)

mapfile -t sources < <(find src -name '*.cpp' | sort)
# One compiler per core; xargs puts each source last, after the flags.
export cxx
# shellcheck disable=SC2016 # the inner shell expands these, not this one
if ! printf '%s\0' "${sources[@]}" | xargs -0 -n 1 -P "$(nproc)" bash -c \
  '"$cxx" "$@" || { echo "check-windows-syntax: ${*: -1} does not compile for Windows" >&2; exit 1; }' \
  _ "${flags[@]}"; then
  exit 1
fi
echo "check-windows-syntax: ${#sources[@]} sources under src/ compile for Windows"
