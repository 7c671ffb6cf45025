#!/usr/bin/env bash
# Every run without a window, from the Windows console twin under Wine, against the virtual
# panel behind Wine's COM1: the exit codes, the reports and the protocol must be Linux's.
#
#   tests/windows/run-wine-console-tests.sh PROGRAM COM1 LINUX_BUILD_DIR VERSION
#
# PROGRAM is the Windows path of kova_en.com, COM1 the file Wine's COM1 is mapped to, in the
# Wine prefix of WINEPREFIX. Ctrl+C is SIGINT to the program's process: Wine hands it to the
# console's control handler as Windows hands it Ctrl+C.
set -euo pipefail

program=${1:?usage: $0 PROGRAM COM1 LINUX_BUILD_DIR VERSION}
com1=${2:?usage: $0 PROGRAM COM1 LINUX_BUILD_DIR VERSION}
linux=$(cd "${3:?usage: $0 PROGRAM COM1 LINUX_BUILD_DIR VERSION}" && pwd)
version=${4:?usage: $0 PROGRAM COM1 LINUX_BUILD_DIR VERSION}
root=$(cd "$(dirname "$0")/../.." && pwd)
appdata=("$WINEPREFIX"/drive_c/users/*/AppData/Local)
reports=${appdata[0]}/kova_en

note() { printf '== %s\n' "$*"; }
fail() {
  echo "run-wine-console-tests: $*" >&2
  exit 1
}
work=$(mktemp -d /tmp/kova-wine-console.XXXXXX)
sim_pid=""
stopped_pid=""
net_sim_pid=""
# shellcheck source=tests/support/ser2net.sh
. "$root/tests/support/ser2net.sh"
# Called by the EXIT trap, which shellcheck cannot see.
# shellcheck disable=SC2317
finish() {
  local rc=$?
  [[ -n $stopped_pid ]] && kill -KILL "$stopped_pid" 2>/dev/null
  ser2net_stop
  local pid
  for pid in $net_sim_pid $sim_pid; do
    kill "$pid" 2>/dev/null || continue
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
  exit "$rc"
}
trap finish EXIT

console() { env -u XDG_STATE_HOME wine "$program" "$@" 2>&1 | tr -d '\r'; }
# Runs the program; its output in $out and its exit code in $rc.
run() {
  set +e
  out=$(console "$@")
  rc=$?
  set -e
}
# Waits until the command given succeeds; fails the test, saying what did not happen, when it
# has not within SECONDS.
wait_until() {
  local what=$1 seconds=$2 end=$((SECONDS + $2))
  shift 2
  until "$@"; do
    ((SECONDS < end)) || fail "$what: not within $seconds s"
    sleep 0.1
  done
}
# The LCD cells the program has written so far (the virtual panel's log): a step of the
# permanence test writes one, after the connect.
cells_written() { grep -c -- '--- telegram .*: LCD cell ' "$work/panel.log" || true; }
# Runs the program in the background, waits until it is under way (READY, a command, says so),
# and presses Ctrl+C: SIGINT to the program's own process, which Wine hands to the console's
# control handler. Its exit code in $rc, its output in $work/stopped.out. A background job of a
# script ignores SIGINT unless it is started under job control. The pid is Wine's process of
# the program itself: wine execs its loader, which runs the program in the same process.
run_stopped() {
  local ready=$1
  shift
  : >"$work/stopped.out"
  set -m
  env -u XDG_STATE_HOME wine "$program" "$@" >"$work/stopped.out" 2>&1 &
  stopped_pid=$!
  set +m
  wait_until "$1 under way" 60 under_way "$ready"
  kill -INT "$stopped_pid"
  # Stopped at once, or the test fails instead of waiting for the run's own end.
  wait_until "$1 stopped by Ctrl+C" 30 gone "$stopped_pid"
  set +e
  wait "$stopped_pid"
  rc=$?
  set -e
  stopped_pid=""
}
under_way() {
  ! gone "$stopped_pid" || fail "it ended before it was under way: $(tr -d '\r' <"$work/stopped.out")"
  "$1"
}
# A process of this shell that ended: no longer there, or a zombie not yet waited for.
gone() {
  local state
  state=$(ps -o stat= -p "$1") || return 0
  [[ $state == Z* ]]
}
newest_report() { find "$reports" -name "$1" -newer "$work/mark" -print 2>/dev/null | sort | tail -n 1; }

out=$(console --version)
[[ $out == "KOVA_EN, Version ${version%.*}" ]] || fail "--version said: $out"

mkfifo "$work/panel-input"
exec 3<>"$work/panel-input"
"$linux/tools/kova_sim/kova_sim" --link "$com1" --log "$work/panel.log" <"$work/panel-input" >"$work/panel.out" 2>&1 &
sim_pid=$!
wait_until "the virtual panel's READY" 30 grep -q '^READY' "$work/panel.out"
touch "$work/mark"

# A report named as a device is refused before the port opens, with the exit status Linux gives
# /dev/null: nothing reaches the panel on COM1.
for report in NUL COM1 'C:\x\con.json'; do
  run --permanence-test --duration 1s --report "$report"
  [[ $rc -eq 2 && $out == *"$report is a device"* ]] || fail "--report $report: exit $rc, $out"
done
! grep -q 'PC>' "$work/panel.log" || fail "a run with a device for its report reached the panel"

run --probe --baud 9600
[[ $rc -eq 0 && $out == "KOVA found on COM1"* ]] || fail "--probe on the virtual panel: exit $rc, $out"

# A short permanence test: its report where Windows keeps a user's files of a program.
run --permanence-test --duration 2s
report=$(newest_report 'permanence-*-COM1.json')
[[ $rc -eq 0 && -n $report ]] || fail "--permanence-test: exit $rc, no report in AppData\\Local\\kova_en: $out"
grep -q '"ended_by": "duration"' "$report" || fail "the report does not end by its duration: $report"

# Ctrl+C in the middle of a long one: the report says so, and the exit code is Linux's.
touch "$work/mark"
cells_before=$(cells_written)
# Under way: three of its steps have reached the panel (its progress goes to a file only once a
# minute), so the report has steps to tell.
perm_under_way() { (($(cells_written) >= cells_before + 3)); }
run_stopped perm_under_way --permanence-test --duration 60s
report=$(newest_report 'permanence-*-COM1.json')
[[ $rc -eq 0 && -n $report ]] || fail "--permanence-test stopped by Ctrl+C: exit $rc, $(tr -d '\r' <"$work/stopped.out")"
grep -q '"ended_by": "SIGINT"' "$report" || fail "the report of a run stopped by Ctrl+C: $(cat "$report")"
note "--probe found (0), permanence test ended by its duration and by Ctrl+C, reports named as devices refused"

# The same runs with COM1 a port on a serial device server: a second virtual panel behind
# ser2net's RFC 2217 accepter on 127.0.0.1, reached through Winsock.
"$linux/tools/kova_sim/kova_sim" --link "$work/net-panel" </dev/null >"$work/net-panel.out" 2>&1 &
net_sim_pid=$!
deadline=$((SECONDS + 10))
until grep -q '^READY' "$work/net-panel.out"; do
  ((SECONDS < deadline)) || fail "the network's virtual panel did not start: $(cat "$work/net-panel.out")"
  sleep 0.05
done
ser2net_start "$work" "$work/net-panel" || fail "ser2net did not start"
url=rfc2217://127.0.0.1:$ser2net_port
t0=$(date +%s%N)
run --probe --com1 "$url"
probe_ms=$((($(date +%s%N) - t0) / 1000000))
[[ $rc -eq 0 && $out == "KOVA found on COM1 ($url)"* ]] || fail "--probe --com1 $url: exit $rc, $out"
touch "$work/mark"
run --permanence-test --duration 3s --com1 "$url"
report=$(newest_report 'permanence-*-COM1.json')
[[ $rc -eq 0 && -n $report ]] || fail "--permanence-test over $url: exit $rc, no report: $out"
grep -q '"ended_by": "duration"' "$report" || fail "the report over $url does not end by its duration: $(cat "$report")"
grep -qF "\"device\": \"$url\"" "$report" || fail "the report over $url names another device: $(cat "$report")"
steps=$(grep -o '"steps": [0-9]*' "$report" | grep -o '[0-9]*$')
((steps > 0)) || fail "the permanence test over $url made no steps: $(cat "$report")"
refused=rfc2217://127.0.0.1:$(ser2net_free_port)
run --probe --com1 "$refused"
[[ $rc -eq 2 && $out == *"Serial Port could not be opened !"* ]] || fail "--probe --com1 $refused (nobody listening): exit $rc, $out"
ser2net_stop
kill "$net_sim_pid"
wait "$net_sim_pid" 2>/dev/null || true
net_sim_pid=""
note "over rfc2217:// through ser2net: --probe found (0) in $probe_ms ms, a permanence test of $steps steps ended by its duration; nobody listening (2): ${out//$'\n'/ }"

# The panel check with the careful operator at the keys: everything passes; with a dead key,
# that key's item alone fails.
echo "operator on" >&3
run --check --serial WINE-1
[[ $rc -eq 0 && $out == *"19 items, 19 passed"* ]] || fail "--check with the operator: exit $rc, $out"
[[ -n $(newest_report 'check-*-WINE-1.json') ]] || fail "--check left no report"
echo "operator fault dead-key 5" >&3
run --check --serial WINE-2 --only keys
[[ $rc -eq 1 ]] || fail "--check with a dead key 5: exit $rc, $out"
failed=$(grep -E '^key [0-9]+: fail' <<<"$out" || true)
[[ $failed == "key 5: fail"* && $(wc -l <<<"$failed") -eq 1 ]] || fail "--check with a dead key 5 failed: $failed"
echo "operator faults off" >&3
# Nobody at the keys, and Ctrl+C while the check waits for one: aborted (3), the report says
# why, and the panel is left dark and blank.
echo "operator off" >&3
touch "$work/mark"
# Under way: the first key's prompt is out and the check waits for a press that never comes.
check_waiting() { grep -q '^Step 1 of 12' "$work/stopped.out"; }
run_stopped check_waiting --check --serial WINE-3
report=$(newest_report 'check-*-WINE-3.json')
[[ $rc -eq 3 && -n $report ]] || fail "--check stopped by Ctrl+C: exit $rc, $(tr -d '\r' <"$work/stopped.out")"
grep -q '"reason": "ended by SIGINT"' "$report" || fail "the report of a check stopped by Ctrl+C: $(cat "$report")"
echo "dump" >&3
wait_until "the virtual panel's STATE" 10 grep -q '^STATE' "$work/panel.out"
state=$(grep '^STATE' "$work/panel.out" | tail -n 1)
lcd=$(grep -o '"lcd":\[[^]]*\]' <<<"$state")
[[ $state == *'"leds":"000000000000"'* && $lcd =~ ^\"lcd\":\[(\"\ {15}\",?){8}\]$ ]] ||
  fail "the panel after a check stopped by Ctrl+C: $state"
note "--check: 19 of 19 with the operator, only key 5 failing with a dead key 5, aborted (3) by Ctrl+C"

# The machine interface as a script drives it: the package's example test, its keys pressed by
# the operator behind COM1 (the way a real panel with someone at it is given).
echo "operator on" >&3
# The first Python with pytest: Debian's (python3-pytest) when another comes first on PATH.
python=$(for candidate in python3 /usr/bin/python3; do
  "$candidate" -c 'import pytest' 2>/dev/null && echo "$candidate" && break
done) || fail "no python3 with pytest (apt-get install python3-pytest)"
KOVA_WINE_PROGRAM=$program PYTHONPATH=$root/python \
  "$python" -m pytest -p kova.pytest_plugin -p no:cacheprovider -q \
  --kova-en "$root/tests/windows/wine-kova-en.sh" --kova-port COM1 --kova-operator \
  "$root/examples/test_panel.py" || fail "examples/test_panel.py against kova_en.com --serve"
echo "operator off" >&3

echo "fault silent on" >&3
run --probe
[[ $rc -eq 1 ]] || fail "--probe on a silent panel: exit $rc, $out"
note "--serve drove examples/test_panel.py to its end; --probe on a silent panel (1)"

# The port saved is the one the program then reads; COM2, which nothing here opens.
out=$(console --save-port 2 COM3)
[[ $out == "COM2=COM3 saved in "* ]] || fail "--save-port: $out"
out=$(console --list-ports)
grep -q '^COM3: .*COM2 from configuration' <<<"$out" || fail "--list-ports after --save-port: $out"
note "--save-port read back by --list-ports"
