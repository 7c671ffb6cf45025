#!/usr/bin/env bash
# The permanence test without a display against the virtual panel, RUNS processes side by side
# (one panel and one port each) for DURATION: per run its exit status, steps per second, share of
# one processor (user + system time over wall time) and report size; then the medians. With a
# FAULT (a kova_sim fault such as garbage) on from the start, the runs fail and fill the events.
# usage: bench/headless_run.sh [BUILD_DIR] [DURATION] [RUNS] [FAULT]
set -euo pipefail
build=${1:-build}
duration=${2:-75s}
runs=${3:-3}
fault=${4:-}
cmake --build "$build" --target kova_en kova_sim >/dev/null
dir=$(mktemp -d)
sims=()
cleanup() {
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$dir"
}
trap cleanup EXIT

for ((i = 0; i < runs; i++)); do
    mkfifo "$dir/in$i"
    "$build/tools/kova_sim/kova_sim" --link "$dir/panel$i" <"$dir/in$i" >"$dir/sim$i.out" &
    sims+=("$!")
    exec {fd}>"$dir/in$i" # held open for the panel's whole life
    if [[ -n $fault ]]; then echo "fault $fault on" >&"$fd"; fi
    end=$((SECONDS + 30))
    until grep -q READY "$dir/sim$i.out"; do
        if ((SECONDS >= end)); then
            echo "virtual panel $i did not come up within 30 s: $(cat "$dir/sim$i.out")" >&2
            exit 1
        fi
        sleep 0.1
    done
done

pids=()
for ((i = 0; i < runs; i++)); do
    XDG_STATE_HOME=$dir /usr/bin/time -f '%e %U %S' -o "$dir/time$i" \
        "$build/src/kova_en" --permanence-test --com1 "$dir/panel$i" --duration "$duration" \
        --report "$dir/report$i.json" >"$dir/out$i" 2>/dev/null &
    pids+=("$!")
done
for ((i = 0; i < runs; i++)); do
    status=0
    wait "${pids[$i]}" || status=$?
    read -r wall user sys <"$dir/time$i"
    steps=$(grep -o '"steps": [0-9]*' "$dir/report$i.json" | grep -o '[0-9]*$')
    span=$(grep -o '"duration_s": [0-9.]*' "$dir/report$i.json" | grep -o '[0-9.]*$')
    size=$(stat -c %s "$dir/report$i.json")
    events=$(grep -c '"t_ms"' "$dir/report$i.json" || true)
    awk -v s="$status" -v st="$steps" -v sp="$span" -v w="$wall" -v u="$user" -v y="$sys" -v z="$size" -v e="$events" \
        'BEGIN { printf "run exit %d: %.2f steps/s, %.3f %% CPU, report %d bytes, %d events\n", s, st / sp, (u + y) / w * 100, z, e }' \
        >>"$dir/lines"
done
cat "$dir/lines"
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echo "median: $(awk '{ print $4 }' "$dir/lines" | median) steps/s, $(awk '{ print $6 }' "$dir/lines" | median) % CPU"
