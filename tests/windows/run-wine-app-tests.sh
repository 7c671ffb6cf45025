#!/usr/bin/env bash
# The Windows program as a Windows user gets it, under Wine: the installer run silently into a
# Wine prefix of the test's own, every library the program loads checked to be in the package
# or Windows' own, the installed program driven on an X server of its own with Wine's COM1 on
# the virtual panel (tests/e2e/wine_test.cpp), then the silent uninstall, after which none of
# its files, its Start menu entry or its entry in the list of installed programs is left.
#
#   tests/windows/run-wine-app-tests.sh BUILD_WINDOWS_DIR LINUX_BUILD_DIR
#
# BUILD_WINDOWS_DIR holds the installer and the staged files (scripts/package-windows.sh);
# LINUX_BUILD_DIR the virtual panel and the scenarios' runner.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: $0 BUILD_WINDOWS_DIR LINUX_BUILD_DIR}" && pwd)
linux=$(cd "${2:?usage: $0 BUILD_WINDOWS_DIR LINUX_BUILD_DIR}" && pwd)

installer=$(find "$build" -maxdepth 1 -name 'kova_en-*-setup.exe' | sort | tail -n 1)
[[ -n $installer ]] || {
  echo "no installer in $build (scripts/package-windows.sh)" >&2
  exit 2
}
version=$(basename "$installer" -setup.exe)
version=${version#kova_en-}
runner=$linux/tests/e2e/wine_window_tests
[[ -x $runner ]] || {
  echo "$runner is missing; build $linux first" >&2
  exit 2
}

export WINEPREFIX=$build/wineprefix-app
export WINEDEBUG=-all
# No Mono or Gecko: their installers would ask questions and nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
com1=$build/wine-app-com1

note() { printf '== %s\n' "$*"; }
fail() {
  echo "run-wine-app-tests: $*" >&2
  exit 1
}
# Called by the EXIT trap, which shellcheck cannot see.
# shellcheck disable=SC2317
sim_pid=""
finish() {
  local rc=$?
  [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
  exit "$rc"
}
trap finish EXIT

note "libraries the program imports"
bash "$root/tests/windows/check-dll-imports.sh" "$build/stage/kova_en-$version"

# A fresh prefix every run: what the uninstaller leaves behind must be from this install.
rm -rf "$WINEPREFIX"
start=$SECONDS
wineboot -i >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$com1" /f >/dev/null
# Wine gives the machine's own serial devices (/dev/ttyS0) the COM names left free: the others
# the program may name point at files that do not exist, so nothing here ever opens a real one.
for n in 2 3 4; do
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$build/wine-app-com$n-none" /f >/dev/null
done
wineserver -k || true
wineserver -w
note "Wine prefix ready in $((SECONDS - start)) s"

program_files=$WINEPREFIX/drive_c/Program\ Files/KOVA_EN
start_menu=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/KOVA_EN.lnk
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KOVA_EN'

note "silent install of $(basename "$installer")"
wine "$installer" /S
wineserver -w
[[ -f $program_files/kova_en.exe ]] || fail "no kova_en.exe in $program_files"
[[ -f $program_files/platforms/qwindows.dll ]] || fail "no platform plugin in $program_files"
[[ -f $start_menu ]] || fail "no Start menu entry"
entry=$(wine reg query "$uninstall_key" 2>/dev/null | tr -d '\r')
for value in "DisplayName +REG_SZ +KOVA_EN" "DisplayVersion +REG_SZ +$version" "Publisher +REG_SZ +TARVEST" \
  "UninstallString +REG_SZ +\"C:.Program Files.KOVA_EN.Uninstall.exe\""; do
  grep -Eq "$value" <<<"$entry" || fail "the list of installed programs lacks /$value/: $entry"
done

# The console twin from a console, as cmd would start it: every run without a window.
bash "$root/tests/windows/run-wine-console-tests.sh" 'C:\Program Files\KOVA_EN\kova_en.com' "$com1" "$linux" "$version"
# Their report pages, the same bytes as Linux makes of the same reports.
bash "$root/tests/windows/run-wine-page-tests.sh" 'C:\Program Files\KOVA_EN\kova_en.com' "$com1" "$linux"
# --serve stopped by Ctrl+C in the middle of a batch, and on a port that cannot be set up.
bash "$root/tests/windows/wine-serve-stop.sh" 'C:\Program Files\KOVA_EN\kova_en.com' "$com1" "$linux"

# The windows' scenarios start Wine afresh on their own X server.
wineserver -k || true
wineserver -w

note "the installed program on the virtual panel"
shots=$linux/tests/e2e/wine-shots
rm -rf "$shots"
KOVA_WINE_PROGRAM='C:\Program Files\KOVA_EN\kova_en.exe' KOVA_WINE_COM1=$com1 KOVA_WINE_SHOTS=$shots \
  "$runner" --gtest_brief=1
# Only this prefix's: another run of the program on the machine is none of this test's business.
ours=()
for pid in $(pgrep -f 'kova_en\.exe' || true); do
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && ours+=("$pid")
done
if ((${#ours[@]} > 0)); then
  ps -o pid,args -p "${ours[*]}" >&2
  fail "kova_en.exe is still running after the scenarios"
fi
note "screenshots in $shots: $(cd "$shots" && echo *.png)"

note "silent uninstall"
wine 'C:\Program Files\KOVA_EN\Uninstall.exe' /S
# The uninstaller runs from a copy of itself in the temporary folder and returns at once.
wineserver -w
[[ ! -e $program_files ]] || fail "left behind: $(cd "$program_files" && find . | tr '\n' ' ')"
[[ ! -e $start_menu ]] || fail "the Start menu entry is left behind"
! wine reg query "$uninstall_key" >/dev/null 2>&1 || fail "the entry in the list of installed programs is left behind"
conf=("$WINEPREFIX"/drive_c/users/*/AppData/Local/kova_en/kova_en.conf)
[[ -f ${conf[0]} ]] || fail "the uninstaller removed the user's configuration"
note "installed, run and uninstalled under Wine"
