#!/usr/bin/env bash
# Installs the Debian packages that one kind of work needs:
#
#   install-deps.sh [build]   compile and run the program and the virtual panel (the default)
#   install-deps.sh test      the above, plus what the test suite, the sanitizer and fuzz
#                             builds, the GUI tests under Xvfb, the lint and the Debian
#                             package check need
#   install-deps.sh windows   the cross build for Windows and Wine to run its tests
#
# Several sets may be named at once. The packages of each set are listed in packages.txt next
# to this script. Does nothing when everything is already there, so it is cheap to run before
# every build.
set -euo pipefail

PACKAGE_LIST="$(dirname "$0")/packages.txt"

usage() {
  echo "usage: $0 [build|test|windows]..." >&2
  exit 2
}

# Prints the packages of one set, one a line, following "@set" references.
packages_of() {
  local wanted_set=$1 name rest word
  while IFS=: read -r name rest; do
    [ "$name" = "$wanted_set" ] || continue
    for word in $rest; do
      case "$word" in
        @*) packages_of "${word#@}" ;;
        *) echo "$word" ;;
      esac
    done
  done <"$PACKAGE_LIST"
}

wanted=()
[ $# -eq 0 ] && set -- build
for set_name in "$@"; do
  grep -q "^$set_name:" "$PACKAGE_LIST" || usage
  mapfile -t -O "${#wanted[@]}" wanted < <(packages_of "$set_name")
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
