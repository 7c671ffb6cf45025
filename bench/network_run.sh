#!/usr/bin/env bash
# The permanence test without a display on the virtual panel, once on its pseudo-terminal and
# once through ser2net's RFC 2217 accepter on 127.0.0.1 (ser2net's defaults), one after the
# other for DURATION each: steps per second, processor time of kova_en and of ser2net per run.
# usage: bench/network_run.sh [BUILD_DIR] [DURATION]
set -euo pipefail
build=${1:-build}
duration=${2:-30s}
cmake --build "$build" --target kova_en kova_sim >/dev/null
dir=$(mktemp -d)
sim_pid=''
# shellcheck source=tests/support/ser2net.sh
. "$(dirname "$0")/../tests/support/ser2net.sh"
cleanup() {
    ser2net_stop
    if [[ -n $sim_pid ]]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$dir"
}
trap cleanup EXIT

mkfifo "$dir/in"
"$build/tools/kova_sim/kova_sim" --link "$dir/panel" <"$dir/in" >"$dir/sim.out" &
sim_pid=$!
exec 3>"$dir/in"
deadline=$((SECONDS + 10))
until grep -q READY "$dir/sim.out"; do
    ((SECONDS < deadline)) || { echo "network_run: the virtual panel did not come up" >&2; exit 1; }
    sleep 0.1
done

ser2net_start "$dir" "$dir/panel"
server_pid=$ser2net_pid
port=$ser2net_port

ticks=$(getconf CLK_TCK)
server_cpu_ms() { awk -v t="$ticks" '{ print ($14 + $15) * 1000 / t }' "/proc/$server_pid/stat"; }

echo "| port | duration | steps/s | kova_en CPU s | kova_en CPU share | ser2net CPU s | exit |"
echo "|---|---|---|---|---|---|---|"
for com1 in "$dir/panel" "rfc2217://127.0.0.1:$port"; do
    before=$(server_cpu_ms)
    status=0
    XDG_STATE_HOME=$dir /usr/bin/time -f '%e %U %S' -o "$dir/time" \
        "$build/src/kova_en" --permanence-test --com1 "$com1" --duration "$duration" \
        --report "$dir/report.json" >/dev/null 2>&1 || status=$?
    after=$(server_cpu_ms)
    read -r wall user sys <"$dir/time"
    steps=$(python3 -c "import json; print(json.load(open('$dir/report.json'))['steps'])")
    name=$([[ $com1 == rfc2217* ]] && echo "ser2net rfc2217://" || echo "pseudo-terminal")
    awk -v n="$name" -v d="$duration" -v s="$steps" -v w="$wall" -v u="$user" -v y="$sys" -v b="$before" -v a="$after" \
        -v x="$status" -v p="$([[ $com1 == rfc2217* ]] && echo 1 || echo 0)" \
        'BEGIN { printf "| %s | %s | %.2f | %.2f | %.2f %% | %s | %d |\n", n, d, s / w, u + y, 100 * (u + y) / w,
                 p ? sprintf("%.2f", (a - b) / 1000) : "-", x }'
done
