#!/usr/bin/env bash
# Starts the virtual panel on a pseudo-terminal and the program connected to it as COM1.
# The panel's console opens in a terminal window when there is one; otherwise the panel runs
# in the background and takes commands through a named pipe.
set -euo pipefail

BUILD=${1:-build}
SIM="$BUILD/tools/kova_sim/kova_sim"
APP="$BUILD/src/kova_en"
RUNDIR=${XDG_RUNTIME_DIR:-/tmp}/kova-demo-$$
LINK=${KOVA_DEMO_LINK:-$RUNDIR/panel}

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "make run: no display (DISPLAY and WAYLAND_DISPLAY are unset)." >&2
  echo "KOVA_EN is a desktop program; run it in a graphical session, or under Xvfb:" >&2
  echo "  xvfb-run -a make run" >&2
  exit 1
fi
for f in "$SIM" "$APP"; do
  [ -x "$f" ] || { echo "make run: $f is missing; build first (make build)." >&2; exit 1; }
done

mkdir -p "$RUNDIR"
SIM_PID=""
TERM_PID=""
cleanup() {
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null || true
  [ -n "$TERM_PID" ] && kill "$TERM_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$RUNDIR"
}
trap cleanup EXIT INT TERM

terminal=""
for t in x-terminal-emulator xterm gnome-terminal konsole; do
  if command -v "$t" >/dev/null 2>&1; then terminal=$t; break; fi
done

if [ -n "$terminal" ] && [ -z "${KOVA_DEMO_BACKGROUND:-}" ]; then
  # The panel's live console in its own window; the program waits until the line exists.
  "$terminal" -e "$SIM" --link "$LINK" &
  TERM_PID=$!
else
  FIFO="$RUNDIR/commands"
  LOG="$RUNDIR/panel.log"
  mkfifo "$FIFO"
  # Held open for writing so that the panel never sees the end of its commands.
  exec 3<>"$FIFO"
  "$SIM" --link "$LINK" <"$FIFO" >"$LOG" 2>&1 &
  SIM_PID=$!
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
KOVA_COM1="$LINK" "$APP"
