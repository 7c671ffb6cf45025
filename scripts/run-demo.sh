#!/usr/bin/env bash
# Starts the virtual panel on a pseudo-terminal and the program connected to it as COM1.
# The panel's console opens in a terminal window when there is one; otherwise, and when the
# terminal window ends or has not brought the panel up within a few seconds (a terminal that
# cannot start here: one that needs OpenGL under Xvfb), the panel runs in the background and
# takes commands through a named pipe. However the program, the terminal or this script
# ends, the panel is stopped with it.
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
TERMINAL_PID=""
stop_panel() {
  if [ -s "$PIDFILE" ]; then
    pid=$(cat "$PIDFILE")
    # Only the panel started here, not whatever process may have taken over its id since.
    if ps -o args= -p "$pid" 2>/dev/null | grep -qF -- "$LINK"; then
      kill "$pid" 2>/dev/null || true
    fi
  fi
  rm -f "$PIDFILE"
}
cleanup() {
  [ -z "$APP_PID" ] || kill "$APP_PID" 2>/dev/null || true
  [ -z "$TERMINAL_PID" ] || kill "$TERMINAL_PID" 2>/dev/null || true
  stop_panel
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

start_background() {
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
}

# A process of this script that ended: gone, or a zombie not yet waited for.
gone() {
  state=$(ps -o stat= -p "$1" 2>/dev/null) || return 0
  case "$state" in Z*) return 0 ;; esac
  return 1
}

# Waits until the panel's link is there, for at most $1 tenths of a second. With a terminal's
# pid as $2 it gives up as soon as that terminal ends with an error (an abort, a display it
# cannot use), WHY saying so; a terminal that hands its window to a server ends with 0 at once,
# and the wait for the panel goes on.
wait_for_panel() {
  tries=$1
  watched=${2:-}
  while [ "$tries" -gt 0 ]; do
    [ -e "$LINK" ] && return 0
    if [ -n "$watched" ] && gone "$watched"; then
      status=0
      wait "$watched" || status=$?
      watched=""
      if [ "$status" -ne 0 ]; then
        WHY="ended with status $status"
        return 1
      fi
    fi
    sleep 0.1
    tries=$((tries - 1))
  done
  [ -e "$LINK" ]
}

if [ -n "$terminal" ] && [ -z "${KOVA_DEMO_BACKGROUND:-}" ]; then
  # The panel's live console in its own window. gnome-terminal itself takes the command after
  # "--"; the others, and Debian's x-terminal-emulator (gnome-terminal.wrapper included), after -e.
  case "$(basename "$(realpath "$(command -v "$terminal")")")" in
    gnome-terminal | gnome-terminal.real) "$terminal" -- "${PANEL[@]}" >/dev/null 2>&1 & ;;
    *) "$terminal" -e "${PANEL[@]}" >/dev/null 2>&1 & ;;
  esac
  TERMINAL_PID=$!
  WHY="did not bring the panel up within 5 s"
  if ! wait_for_panel 50 "$TERMINAL_PID"; then
    echo "make run: the terminal window ($terminal) $WHY; the panel runs in the background instead." >&2
    # Nothing of the terminal's may come up late beside the panel started now.
    kill "$TERMINAL_PID" 2>/dev/null || true
    stop_panel
    [ ! -L "$LINK" ] || rm -f "$LINK"
    start_background
  fi
  # The terminal's own process may be long gone (a server holds the window): its id is not
  # ours to signal any more.
  TERMINAL_PID=""
else
  start_background
fi

wait_for_panel 100 || { echo "make run: the virtual panel did not come up on $LINK." >&2; exit 1; }

echo "Starting KOVA_EN with COM1 = $LINK (choose COM 1 in the first dialog)."
# Waited for in the background: a signal to this script then runs the traps at once instead
# of after the program has ended.
KOVA_COM1="$LINK" "$APP" 3>&- &
APP_PID=$!
wait "$APP_PID"
