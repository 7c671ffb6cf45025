#!/usr/bin/env bash
# `make run` always starts: with a terminal window that aborts at once (as zutty does without
# OpenGL) and with one that never brings the panel up, the demo says so, runs the panel in the
# background and starts the program on it; stopped, it leaves nothing running.
#
#   tests/e2e/run_demo_test.sh BUILD_DIR
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
work=$(mktemp -d /tmp/kova-run-demo.XXXXXX)
xvfb_pid=""
demo_pid=""
fail() {
  echo "run_demo_test: $*" >&2
  exit 1
}
# Called by the EXIT trap, which shellcheck cannot see.
# shellcheck disable=SC2317
finish() {
  local rc=$?
  [[ -z $demo_pid ]] || kill "$demo_pid" 2>/dev/null || true
  [[ -z $xvfb_pid ]] || kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
  exit "$rc"
}
trap finish EXIT

# Waits until the command succeeds; fails the test saying what did not happen.
wait_until() {
  local what=$1 seconds=$2 end=$((SECONDS + $2))
  shift 2
  until "$@"; do
    ((SECONDS < end)) || fail "$what: not within $seconds s; the demo said: $(cat "$work/out" 2>/dev/null)"
    sleep 0.1
  done
}
gone() {
  local state
  state=$(ps -o stat= -p "$1") || return 0
  [[ $state == Z* ]]
}

# An X server of its own, on a display it picks itself.
Xvfb -displayfd 4 -screen 0 800x700x24 -nolisten tcp 4>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
wait_until "Xvfb's display" 20 test -s "$work/display"
display=:$(cat "$work/display")

mkdir -p "$work/bin" "$work/run"
for mode in abort hang; do
  case $mode in
    abort) printf '#!/bin/sh\nkill -ABRT $$\n' >"$work/bin/x-terminal-emulator" ;;
    hang) printf '#!/bin/sh\nexec sleep 600\n' >"$work/bin/x-terminal-emulator" ;;
  esac
  chmod +x "$work/bin/x-terminal-emulator"
  : >"$work/out"
  PATH=$work/bin:$PATH DISPLAY=$display XDG_RUNTIME_DIR=$work/run KOVA_DEMO_BACKGROUND='' \
    bash "$root/scripts/run-demo.sh" "$build" >"$work/out" 2>&1 &
  demo_pid=$!
  wait_until "the program started ($mode)" 30 grep -q '^Starting KOVA_EN' "$work/out"
  case $mode in
    abort) expected="the terminal window (x-terminal-emulator) ended with status 134" ;;
    hang) expected="the terminal window (x-terminal-emulator) did not bring the panel up within 5 s" ;;
  esac
  grep -qF "$expected; the panel runs in the background instead." "$work/out" ||
    fail "$mode: the demo did not say why: $(cat "$work/out")"
  grep -q '^Virtual panel running in the background' "$work/out" || fail "$mode: $(cat "$work/out")"
  ! gone "$demo_pid" || fail "$mode: the demo ended: $(cat "$work/out")"
  kill "$demo_pid"
  wait_until "the demo stopped ($mode)" 20 gone "$demo_pid"
  wait "$demo_pid" || true
  demo_pid=""
  # Nothing of its own is left: no panel on its link, no program, no fake terminal.
  left=$(pgrep -af -- "$work/" | grep -v pgrep || true)
  for pid in $(pgrep -x kova_en || true); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -q "^KOVA_COM1=$work/"; then
      left+=" kova_en $pid"
    fi
  done
  [[ -z $left ]] || fail "$mode: left running: $left"
  [[ -z $(ls -A "$work/run") ]] || fail "$mode: left in the run folder: $(ls -A "$work/run")"
  echo "== $mode: the panel ran in the background and the program started"
done
