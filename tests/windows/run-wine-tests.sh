#!/usr/bin/env bash
# Runs the Windows build's tests under Wine: the link's unit tests through ctest, then the
# Win32 serial device against the virtual panel, once for each block-check variant.
#
#   tests/windows/run-wine-tests.sh BUILD_WINDOWS_DIR KOVA_SIM_BINARY
#
# Wine's COM1 is mapped through HKLM\Software\Wine\Ports to a symlink in the build folder;
# the virtual panel is started with --link on that symlink, so that every "replug" re-points
# COM1 at a fresh pseudo-terminal. The Wine prefix is private to the build folder.
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_WINDOWS_DIR KOVA_SIM_BINARY}" && pwd)
sim=${2:?usage: $0 BUILD_WINDOWS_DIR KOVA_SIM_BINARY}

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko: their installers would ask questions and nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
com1="$build/wine-com1"

work=$(mktemp -d /tmp/kova-wine.XXXXXX)
sim_pid=""
tail_pid=""
# Called by the EXIT trap, which shellcheck cannot see.
# shellcheck disable=SC2317
finish() {
    local rc=$?
    [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    [[ -n $tail_pid ]] && kill "$tail_pid" 2>/dev/null
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
    exit "$rc"
}
trap finish EXIT

note() { printf '== %s\n' "$*"; }

ports_key='HKLM\Software\Wine\Ports'
if [[ ! -f $WINEPREFIX/system.reg ]] || [[ "$(readlink "$WINEPREFIX/dosdevices/com1" 2>/dev/null)" != "$com1" ]]; then
    start=$SECONDS
    note "preparing the Wine prefix $WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wine reg add "$ports_key" /v COM1 /d "$com1" /f >/dev/null
    # The mount manager reads the Ports key when Wine starts; restarted, it points the
    # dosdevices entry of COM1 at our symlink.
    wineserver -k || true
    wineserver -w
    note "prefix ready in $((SECONDS - start)) s"
fi

wineserver -f -p &
# The first program starts Wine's services, the mount manager among them.
wine cmd /c exit >/dev/null 2>&1
if [[ "$(readlink "$WINEPREFIX/dosdevices/com1")" != "$com1" ]]; then
    echo "COM1 of the Wine prefix does not point at $com1" >&2
    exit 1
fi

note "link unit tests under Wine"
ctest --test-dir "$build" --output-on-failure

# The simulator reads its commands from a file that the Windows tests append to (through
# Wine's Z: drive) and writes its answers to another.
: >"$work/commands"
: >"$work/replies"
winedir=$(winepath -w "$work" 2>/dev/null)

status=0
for variant in 1 0; do
    note "Win32 device against the virtual panel, block-check variant $variant"
    : >"$work/commands"
    # Each end started on its own, so that each is stopped by its own pid.
    rm -f "$work/feed"
    mkfifo "$work/feed"
    tail -n +1 -f "$work/commands" >"$work/feed" 2>/dev/null &
    tail_pid=$!
    "$sim" --link "$com1" --variant "$variant" <"$work/feed" >>"$work/replies" 2>"$work/sim-$variant.err" &
    sim_pid=$!
    end=$((SECONDS + 30))
    until grep -q '^READY' "$work/replies"; do
        if ((SECONDS >= end)) || ! kill -0 "$sim_pid" 2>/dev/null; then
            echo "the virtual panel did not start within 30 s:" >&2
            cat "$work/sim-$variant.err" >&2
            exit 1
        fi
        sleep 0.1
    done
    KOVA_WINE_SIM_DIR="$winedir" KOVA_WINE_VARIANT=$variant \
        wine "$build/tests/windows/win32_device_tests.exe" || status=1
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    kill "$tail_pid" 2>/dev/null || true
    wait "$tail_pid" 2>/dev/null || true
    sim_pid=""
    tail_pid=""
    : >"$work/replies"
done

# The network device under Wine: ser2net's RFC 2217 accepter on 127.0.0.1 in front of the
# virtual panel, at a port the system hands out.
if [[ -x /usr/sbin/ser2net ]]; then
    note "network device (rfc2217://) under Wine against ser2net"
    "$sim" --link "$work/net-panel" </dev/null >"$work/net-sim.out" 2>&1 &
    net_sim_pid=$!
    for _ in $(seq 100); do
        grep -q '^READY' "$work/net-sim.out" && break
        sleep 0.1
    done
    free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
    port=$(free_port)
    refused=$(free_port)
    cat >"$work/ser2net.yaml" <<YAML
connection: &panel
  accepter: telnet(rfc2217),tcp,127.0.0.1,$port
  connector: serialdev,$work/net-panel,9600e81,local
  options:
    kickolduser: true
YAML
    /usr/sbin/ser2net -n -d -u -P "$work/ser2net.pid" -c "$work/ser2net.yaml" >"$work/ser2net.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 100); do
        python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null && break
        sleep 0.1
    done
    KOVA_WINE_NET_URL="rfc2217://127.0.0.1:$port" KOVA_WINE_NET_REFUSED="rfc2217://127.0.0.1:$refused" \
        wine "$build/tests/windows/win_network_tests.exe" || status=1
    kill "$server_pid" "$net_sim_pid" 2>/dev/null || true
    wait "$server_pid" "$net_sim_pid" 2>/dev/null || true
else
    echo "ser2net is not installed: the network device is not tested under Wine" >&2
    status=1
fi
exit "$status"
