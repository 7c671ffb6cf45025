#!/usr/bin/env bash
# The long fuzzing run whose figures go in RELIABILITY.md: every harness for SECONDS (default
# 720), two at a time, on the committed seeds plus the build directory's corpus. Prints per
# harness executions, executions per second, coverage and whether it crashed, then the total.
# usage: tests/fuzz/long_run.sh [BUILD_DIR] [SECONDS]     (BUILD_DIR as made by `make fuzz`)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build-fuzz}
seconds=${2:-720}
fuzzers=(fuzz_sim_decoder fuzz_handshake fuzz_receive_report)

run() {
  local f=$1
  nice -n 10 "$here/run_fuzzer.sh" "$build/tests/fuzz/$f" "$here/corpus/$f" "$build/tests/fuzz/long/$f" "$seconds" \
    >/dev/null 2>&1
  echo $? >"$build/tests/fuzz/long/$f/status"
}

mkdir -p "$build/tests/fuzz/long"
for f in "${fuzzers[@]}"; do mkdir -p "$build/tests/fuzz/long/$f"; done
run "${fuzzers[0]}" & run "${fuzzers[1]}" & wait
run "${fuzzers[2]}"

total=0
printf '%-22s %12s %10s %6s %7s %s\n' harness executions exec/s cov ft result
for f in "${fuzzers[@]}"; do
  log="$build/tests/fuzz/long/$f/last-run.log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  status=$(cat "$build/tests/fuzz/long/$f/status")
  result=$([ "$status" = 0 ] && echo "no crash" || echo "FAILED ($status), see $log")
  printf '%-22s %12s %10s %6s %7s %s\n' "$f" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "$result"
  total=$((total + ${execs:-0}))
done
echo "total executions: $total"
