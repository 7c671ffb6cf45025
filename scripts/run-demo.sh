#!/usr/bin/env bash
# Starts the virtual panel on a pseudo-terminal and the program connected to it as COM1.
# The panel's console opens in a terminal window when there is one; otherwise the panel runs
# in the background and takes commands through a named pipe. However the program, the
# terminal or this script ends, the panel is stopped with it.
set -euo pipefail

BUILD=${1:-build}
SIM="$BUILD/tools/kova_sim/kova_sim"
APP="$BUILD/src/kova_en"
RUNDIR=${XDG_RUNTIME_DIR:-/tmp}/kova-demo-$$
LINK=${KOVA_DEMO_LINK:-$RUNDIR/panel}
PIDFILE="$RUNDIR/panel.pid"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "make run: no display (DISPLAY and WAYLAND_DISPLAY are unset)." >&2
  echo "KOVA_EN is a desktop program; run it in a graphical session, or under Xvfb:" >&2
  echo "  xvfb-run -a make run" >&2
  exit 1
fi
for f in "$SIM" "$APP"; do
  [ -x "$f" ] || { echo "make run: $f is missing; build first (make build)." >&2; exit 1; }
done
SIM=$(realpath "$SIM")

mkdir -p "$RUNDIR"
# The panel writes its own process id, wherever it runs: a terminal emulator may hand the
# command to a server process and return at once, so its own id says nothing about the panel.
APP_PID=""
cleanup() {
  [ -z "$APP_PID" ] || kill "$APP_PID" 2>/dev/null || true
  if [ -s "$PIDFILE" ]; then
    pid=$(cat "$PIDFILE")
    # Only the panel started here, not whatever process may have taken over its id since.
    if ps -o args= -p "$pid" 2>/dev/null | grep -qF -- "$LINK"; then
      kill "$pid" 2>/dev/null || true
    fi
  fi
  rm -rf "$RUNDIR"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# The panel's command line, recording its process id first (exec keeps the id). The inner
# shell expands $$, $0 and $@, so the quotes are single on purpose.
# shellcheck disable=SC2016
PANEL=(sh -c 'echo $$ >"$0"; exec "$@"' "$PIDFILE" "$SIM" --link "$LINK")

terminal=""
for t in x-terminal-emulator gnome-terminal konsole xterm; do
  if command -v "$t" >/dev/null 2>&1; then terminal=$t; break; fi
done

if [ -n "$terminal" ] && [ -z "${KOVA_DEMO_BACKGROUND:-}" ]; then
  # The panel's live console in its own window. gnome-terminal itself takes the command after
  # "--"; the others, and Debian's x-terminal-emulator (gnome-terminal.wrapper included), after -e.
  case "$(basename "$(realpath "$(command -v "$terminal")")")" in
    gnome-terminal | gnome-terminal.real) "$terminal" -- "${PANEL[@]}" >/dev/null 2>&1 & ;;
    *) "$terminal" -e "${PANEL[@]}" >/dev/null 2>&1 & ;;
  esac
else
  FIFO="$RUNDIR/commands"
  LOG="$RUNDIR/panel.log"
  mkfifo "$FIFO"
  # Held open for writing so that the panel never sees the end of its commands while this
  # script runs; when the script ends the pipe closes and the panel quits even if it missed
  # the signal.
  exec 3<>"$FIFO"
  "${PANEL[@]}" --exit-on-eof <"$FIFO" >"$LOG" 2>&1 3>&- &
  echo "Virtual panel running in the background on $LINK."
  echo "  Its output:      tail -f $LOG"
  echo "  Send commands:   echo 'press 3' > $FIFO    (release, sel1 N, sel2 N, dump, fault NAME on|off)"
fi

for _ in $(seq 1 100); do
  [ -e "$LINK" ] && break
  sleep 0.1
done
[ -e "$LINK" ] || { echo "make run: the virtual panel did not come up on $LINK." >&2; exit 1; }

echo "Starting KOVA_EN with COM1 = $LINK (choose COM 1 in the first dialog)."
# Waited for in the background: a signal to this script then runs the traps at once instead
# of after the program has ended.
KOVA_COM1="$LINK" "$APP" 3>&- &
APP_PID=$!
wait "$APP_PID"
