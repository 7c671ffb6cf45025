#!/bin/bash
# The example test as a lab runs it on a panel behind a serial device server: the virtual panel
# (its careful operator at the keys) behind ser2net's RFC 2217 accepter on 127.0.0.1, and pytest
# with --kova-port rfc2217://127.0.0.1:PORT --kova-operator, as labgrid's exported ports are used.
#   network.sh PYTHON SOURCE_DIR KOVA_EN KOVA_SIM
set -euo pipefail
python=$1 source=$2 kova_en=$3 kova_sim=$4
if [[ ! -x /usr/sbin/ser2net ]]; then
    echo "ser2net is not installed (scripts/packages.txt, test)" >&2
    exit 1
fi
work=$(mktemp -d)
sim_pid='' server_pid=''
cleanup() {
    # Each by its own pid.
    local pid
    for pid in $server_pid $sim_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
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

port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/ser2net.yaml" <<YAML
connection: &panel
  accepter: telnet(rfc2217),tcp,127.0.0.1,$port
  connector: serialdev,$work/panel,9600e81,local
  options:
    kickolduser: true
YAML
/usr/sbin/ser2net -n -d -u -P "$work/ser2net.pid" -c "$work/ser2net.yaml" >"$work/ser2net.log" 2>&1 &
server_pid=$!
deadline=$((SECONDS + 10))
until "$python" -c "import socket, sys; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null; do
    ((SECONDS < deadline)) || { echo "ser2net did not listen on $port" >&2; cat "$work/ser2net.log" >&2; exit 1; }
    sleep 0.05
done

cd "$work"
PYTHONPATH="$source/python" PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest -p kova.pytest_plugin -p no:cacheprovider -q \
    --kova-en "$kova_en" --kova-port "rfc2217://127.0.0.1:$port" --kova-operator "$source/examples/test_panel.py"
