#!/usr/bin/env bash
# Runs one libFuzzer harness for a fixed time on its committed seeds plus what earlier runs in
# this build directory found, and fails on any crash, leak, sanitizer report or time-out.
# usage: run_fuzzer.sh FUZZER SEED_DIR WORK_DIR SECONDS [extra libFuzzer flags...]
set -euo pipefail
fuzzer=$1 seeds=$2 work=$3 seconds=$4
shift 4
mkdir -p "$work/corpus" "$work/artifacts"
# The committed seeds are only read; new inputs go to the work corpus, so a run never
# rewrites the source tree.
"$fuzzer" "$work/corpus" "$seeds" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=2048 \
  -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$@" 2>&1 | tee "$work/last-run.log" | tail -n 25
exit "${PIPESTATUS[0]}"
