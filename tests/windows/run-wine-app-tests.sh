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

# The console twin from a console, as cmd would start it: its output and its exit codes.
note "kova_en.com in the console"
console() { wine 'C:\Program Files\KOVA_EN\kova_en.com' "$@" 2>&1 | tr -d '\r'; }
out=$(console --version)
[[ $out == "KOVA_EN, Version ${version%.*}" ]] || fail "--version said: $out"
work=$(mktemp -d /tmp/kova-wine-app.XXXXXX)
mkfifo "$work/panel-input"
exec 3<>"$work/panel-input"
"$linux/tools/kova_sim/kova_sim" --link "$com1" --log "$work/panel.log" <"$work/panel-input" >"$work/panel.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^READY' "$work/panel.out" && break
  sleep 0.1
done
# A report named as a device is refused before the port opens, with the exit status Linux gives
# /dev/null: nothing reaches the panel on COM1.
for report in NUL COM1 'C:\x\con.json'; do
  set +e
  out=$(console --permanence-test --duration 1s --report "$report")
  rc=$?
  set -e
  [[ $rc -eq 2 && $out == *"$report is a device"* ]] || fail "--report $report: exit $rc, $out"
done
! grep -q 'PC>' "$work/panel.log" || fail "a run with a device for its report reached the panel"
set +e
out=$(console --probe --baud 9600)
rc=$?
set -e
[[ $rc -eq 0 && $out == "KOVA found on COM1"* ]] || fail "--probe on the virtual panel: exit $rc, $out"
# A short permanence test: its report where Windows keeps a user's files of a program.
set +e
out=$(env -u XDG_STATE_HOME wine 'C:\Program Files\KOVA_EN\kova_en.com' --permanence-test --duration 2s 2>&1 | tr -d '\r')
rc=$?
set -e
reports=("$WINEPREFIX"/drive_c/users/*/AppData/Local/kova_en/permanence-*-COM1.json)
[[ $rc -eq 0 && -f ${reports[0]} ]] || fail "--permanence-test: exit $rc, no report in AppData\Local\kova_en: $out"
grep -q '"format": "kova_en-permanence/1"' "${reports[0]}" || fail "the report is not a permanence report"
echo "fault silent on" >&3
set +e
out=$(console --probe)
rc=$?
set -e
[[ $rc -eq 1 ]] || fail "--probe on a silent panel: exit $rc, $out"
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
exec 3>&-
rm -rf "$work"
# The port saved is the one the program then reads; COM2, which nothing here opens.
out=$(console --save-port 2 COM3)
[[ $out == "COM2=COM3 saved in "* ]] || fail "--save-port: $out"
out=$(console --list-ports)
grep -q '^COM3: .*COM2 from configuration' <<<"$out" || fail "--list-ports after --save-port: $out"
note "--version, --probe found (0) and silent (1), a permanence test's report in AppData\\Local," \
  "reports named NUL, COM1 and C:\\x\\con.json refused (2), --save-port read back"

# The windows' scenarios start Wine afresh on their own X server.
wineserver -k || true
wineserver -w

note "the installed program on the virtual panel"
shots=$linux/tests/e2e/wine-shots
rm -rf "$shots"
KOVA_WINE_PROGRAM='C:\Program Files\KOVA_EN\kova_en.exe' KOVA_WINE_COM1=$com1 KOVA_WINE_SHOTS=$shots \
  "$runner" --gtest_brief=1
if pgrep -f 'kova_en\.exe' >/dev/null; then
  pgrep -af 'kova_en\.exe' >&2
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
