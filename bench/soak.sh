#!/usr/bin/env bash
# The long soak: the permanence test against the virtual panel with random faults (dropped
# bytes, garbage, NAKs, stalls, line closes with replug) for STEPS fast ticks, then RECONNECTS
# reconnects with an unplug every tenth. Prints the figures of RELIABILITY.md; exits 1 when
# a rule was broken (a tick too long, a link open but dead, a double notice, memory growth of
# 1 MiB or more after warm-up, a descriptor leak).
# usage: bench/soak.sh [BUILD_DIR] [STEPS] [FAULT_RATE] [SEED] [RECONNECTS]
set -euo pipefail
build=${1:-build}
steps=${2:-20000}
rate=${3:-0.05}
seed=${4:-1}
reconnects=${5:-1000}
cmake --build "$build" --target kova_soak >/dev/null
exec "$build/tests/reliability/kova_soak" "$steps" "$rate" "$seed" "$reconnects"
