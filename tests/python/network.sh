#!/bin/bash
# The example test as a lab runs it on a panel behind a serial device server: the virtual panel
# (its careful operator at the keys) behind ser2net's RFC 2217 accepter on 127.0.0.1, and pytest
# with --kova-port rfc2217://127.0.0.1:PORT --kova-operator, as labgrid's exported ports are used.
#   network.sh PYTHON SOURCE_DIR KOVA_EN KOVA_SIM
set -euo pipefail
python=$1 source=$2 kova_en=$3 kova_sim=$4
# shellcheck source=tests/support/ser2net.sh
. "$source/tests/support/ser2net.sh"
work=$(mktemp -d)
sim_pid=''
cleanup() {
    # Each by its own pid.
    ser2net_stop
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkfifo "$work/sim.in"
"$kova_sim" --operator --link "$work/panel" <"$work/sim.in" >"$work/sim.out" 2>&1 &
sim_pid=$!
exec 3>"$work/sim.in" # the panel's console stays open while the test runs
deadline=$((SECONDS + 10))
until grep -q "^READY " "$work/sim.out"; do
    ((SECONDS < deadline)) || { echo "the virtual panel did not start" >&2; exit 1; }
    sleep 0.05
done

ser2net_start "$work" "$work/panel"
port=$ser2net_port

cd "$work"
PYTHONPATH="$source/python" PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest -p kova.pytest_plugin -p no:cacheprovider -q \
    --kova-en "$kova_en" --kova-port "rfc2217://127.0.0.1:$port" --kova-operator "$source/examples/test_panel.py"
