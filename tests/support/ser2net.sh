# shellcheck shell=bash
# The shell tests' serial device server: Debian's ser2net on 127.0.0.1, with a configuration of
# its own in the caller's temporary folder, in front of a virtual panel's link. Sourced.
#
#   ser2net_free_port                 a port on 127.0.0.1 nobody listens on (for now)
#   ser2net_start WORK LINK [ACCEPTER] starts it (ACCEPTER telnet(rfc2217),tcp by default, or
#                                      tcp for raw) and waits until it listens; sets
#                                      ser2net_pid and ser2net_port
#   ser2net_stop                      stops it by its own pid

ser2net_pid='' ser2net_port=''

ser2net_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Listening is read from the kernel's socket table, not by connecting: a connect would be a user
# that kickolduser then has to throw out, racing the program's own first connect.
ser2net_listening() {
  local hex
  hex=$(printf ':%04X' "$1")
  awk -v p="$hex" '$4 == "0A" && substr($2, length($2) - 4) == p { found = 1 } END { exit !found }' /proc/net/tcp
}

ser2net_start() {
  local work=$1 link=$2 accepter=${3:-telnet(rfc2217),tcp}
  if [[ ! -x /usr/sbin/ser2net ]]; then
    echo "ser2net is not installed (scripts/packages.txt, test)" >&2
    return 1
  fi
  ser2net_port=$(ser2net_free_port)
  cat >"$work/ser2net.yaml" <<YAML
connection: &panel
  accepter: $accepter,127.0.0.1,$ser2net_port
  connector: serialdev,$link,9600e81,local
  options:
    kickolduser: true
YAML
  /usr/sbin/ser2net -n -d -u -P "$work/ser2net.pid" -c "$work/ser2net.yaml" >"$work/ser2net.log" 2>&1 &
  ser2net_pid=$!
  local deadline=$((SECONDS + 10))
  until ser2net_listening "$ser2net_port"; do
    if ((SECONDS >= deadline)) || ! kill -0 "$ser2net_pid" 2>/dev/null; then
      echo "ser2net did not listen on 127.0.0.1:$ser2net_port" >&2
      cat "$work/ser2net.log" >&2
      return 1
    fi
    sleep 0.05
  done
}

ser2net_stop() {
  [[ -n $ser2net_pid ]] || return 0
  kill "$ser2net_pid" 2>/dev/null || true
  wait "$ser2net_pid" 2>/dev/null || true
  ser2net_pid=''
}
