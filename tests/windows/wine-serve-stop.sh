#!/usr/bin/env bash
# --serve under Wine as a script meets it when things go wrong: Ctrl+C while a batch is carried
# out, and a COM port that opens but cannot be set up.
#
#   tests/windows/wine-serve-stop.sh PROGRAM COM1 LINUX_BUILD_DIR
#
# PROGRAM is the Windows path of kova_en.com, COM1 the file Wine's COM1 is mapped to, in the
# Wine prefix of WINEPREFIX, whose COM2 is mapped to a file that does not exist (as
# run-wine-app-tests.sh prepares it). 1,500 LED commands are written at once against the virtual
# panel paced at 9600 Bd (some 12 s of line time), and Ctrl+C (SIGINT to the program's own
# process, which Wine hands to its console handler) comes once the first replies are back: the
# run ends with 0, long before the batch, and no telegram went out that has no reply.
set -euo pipefail

usage="usage: $0 PROGRAM COM1 LINUX_BUILD_DIR"
program=${1:?$usage}
com1=${2:?$usage}
linux=$(cd "${3:?$usage}" && pwd)

note() { printf '== %s\n' "$*"; }
fail() {
  echo "wine-serve-stop: $*" >&2
  exit 1
}
work=$(mktemp -d /tmp/kova-wine-stop.XXXXXX)
sim_pid=""
serve_pid=""
# Called by the EXIT trap, which shellcheck cannot see.
# shellcheck disable=SC2317
finish() {
  local rc=$?
  [[ -n $serve_pid ]] && kill -KILL "$serve_pid" 2>/dev/null
  [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
  exit "$rc"
}
trap finish EXIT

# Waits up to SECONDS for at least COUNT lines matching PATTERN in FILE.
wait_lines() {
  local pattern=$1 file=$2 count=$3 seconds=$4 i
  for ((i = 0; i < seconds * 10; i++)); do
    (($(grep -c -- "$pattern" "$file" 2>/dev/null || true) >= count)) && return 0
    sleep 0.1
  done
  return 1
}

# COM2 opens under Wine (a name mapped to a missing file) but cannot be set up: the hello still
# says so with "error", before the exit with 2.
set +e
env -u XDG_STATE_HOME wine "$program" --serve --port 2 </dev/null >"$work/com2.out" 2>"$work/com2.err"
rc=$?
set -e
hello=$(head -n 1 "$work/com2.out" | tr -d '\r')
[[ $rc -eq 2 && $hello == '{"event":"hello"'*'"error":'* ]] ||
  fail "--serve on a COM2 that cannot be set up: exit $rc, hello: $hello, $(tr -d '\r' <"$work/com2.err")"
note "--serve on a port that cannot be set up: the hello with its error, then 2"

mkfifo "$work/panel-input"
exec 3<>"$work/panel-input"
"$linux/tools/kova_sim/kova_sim" --baud 9600 --link "$com1" --log "$work/panel.log" \
  <"$work/panel-input" >"$work/panel.out" 2>&1 &
sim_pid=$!
wait_lines '^READY' "$work/panel.out" 1 10 || fail "the virtual panel did not come up"

for ((i = 0; i < 1500; i++)); do
  printf '{"id":%d,"cmd":"led","key":%d,"state":"%s"}\n' "$i" $((1 + i % 12)) "$( ((i % 2)) && echo off || echo on)"
done >"$work/batch"
mkfifo "$work/serve-input"
# Under job control, so that the background program does not ignore SIGINT.
set -m
env -u XDG_STATE_HOME wine "$program" --serve <"$work/serve-input" >"$work/serve.out" 2>"$work/serve.err" &
serve_pid=$!
set +m
exec 4>"$work/serve-input"
wait_lines '"event":"hello"' "$work/serve.out" 1 60 || fail "no hello: $(tr -d '\r' <"$work/serve.err")"
grep -q '"link":true' "$work/serve.out" || fail "no link: $(head -n 1 "$work/serve.out")"
# The panel's history from here on, once it has said OK to the clearing.
oks=$(grep -c '^OK' "$work/panel.out" || true)
echo "clear" >&3
wait_lines '^OK' "$work/panel.out" $((oks + 1)) 10 || fail "the virtual panel did not clear its history"
cat "$work/batch" >&4 &
wait_lines '"ok":true' "$work/serve.out" 20 60 || fail "the batch is not being carried out"
kill -INT "$serve_pid"
set +e
wait "$serve_pid"
rc=$?
set -e
serve_pid=""
exec 4>&-
replies=$(grep -c '"ok":true' "$work/serve.out" || true)
[[ $rc -eq 0 ]] || fail "--serve stopped by Ctrl+C: exit $rc, $(tr -d '\r' <"$work/serve.err")"
((replies < 1500)) || fail "the whole batch was carried out after Ctrl+C"
# The telegrams the panel took since the batch began, each a single byte: as many as replies.
echo "history" >&3
wait_lines '^HISTORY' "$work/panel.out" 1 10 || fail "the virtual panel tells no history"
sent=$(grep '^HISTORY' "$work/panel.out" | tail -n 1 | tr ' ' '\n' | grep -c '^[0-9A-F][0-9A-F]$' || true)
((sent == replies)) || fail "$sent LED telegrams on the line, $replies replies"
note "--serve stopped by Ctrl+C during a batch: 0, after $replies of 1,500 replies, as many telegrams on the line"
