#!/usr/bin/env bash
# Installs the Debian packages that one kind of work needs:
#
#   install-deps.sh [build]   compile and run the program and the virtual panel (the default)
#   install-deps.sh test      the above, plus what the test suite, the sanitizer and fuzz
#                             builds, the GUI tests under Xvfb and the script lint need
#   install-deps.sh windows   the cross build for Windows and Wine to run its tests
#
# Several sets may be named at once. Does nothing when everything is already there, so it is
# cheap to run before every build.
set -euo pipefail

BUILD_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  fonts-dejavu-core
)
TEST_PACKAGES=(
  "${BUILD_PACKAGES[@]}"
  libgtest-dev libgmock-dev googletest
  xvfb xauth x11-utils imagemagick xdotool openbox libxcb-damage0-dev
  clang libclang-rt-14-dev
  shellcheck clang-format desktop-file-utils
  util-linux procps
)
WINDOWS_PACKAGES=(
  cmake ninja-build
  g++-mingw-w64-x86-64 googletest
  wine64 wine
)

usage() {
  echo "usage: $0 [build|test|windows]..." >&2
  exit 2
}

wanted=()
[ $# -eq 0 ] && set -- build
for set_name in "$@"; do
  case "$set_name" in
    build) wanted+=("${BUILD_PACKAGES[@]}") ;;
    test) wanted+=("${TEST_PACKAGES[@]}") ;;
    windows) wanted+=("${WINDOWS_PACKAGES[@]}") ;;
    *) usage ;;
  esac
done

missing=()
for p in "${wanted[@]}"; do
  # A package named by two sets is looked at once.
  case " ${missing[*]} " in *" $p "*) continue ;; esac
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

install_line="apt-get install -y --no-install-recommends ${missing[*]}"
SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "install-deps: these Debian packages are missing: ${missing[*]}" >&2
    echo "install-deps: not root and no sudo here; as root, run:" >&2
    echo "  apt-get update && $install_line" >&2
    exit 1
  fi
  # sudo resets the environment, so the non-interactive front end is passed through env.
  SUDO=(sudo)
fi

echo "install-deps: installing ${missing[*]}"
if ! "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq ||
  ! "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
  echo "install-deps: the installation failed; as root, run:" >&2
  echo "  apt-get update && $install_line" >&2
  exit 1
fi
