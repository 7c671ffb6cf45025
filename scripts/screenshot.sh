#!/usr/bin/env bash
# Runs the real program under Xvfb against the virtual panel, switches a few LEDs on with the
# mouse, holds a key on the panel, writes LCD text, and saves a screenshot of the window.
# Every step waits for what it needs (a window, the panel's state, a pixel), with a deadline,
# so a slow machine takes longer but never produces a half-drawn picture.
set -euo pipefail

BUILD=${1:-build}
OUT=${2:-docs/screenshot.png}
SIM="$BUILD/tools/kova_sim/kova_sim"
APP="$BUILD/src/kova_en"
WORK=$(mktemp -d)
LINK="$WORK/panel"
DEADLINE_S=${SCREENSHOT_DEADLINE:-20}

for f in "$SIM" "$APP"; do
  [ -x "$f" ] || { echo "screenshot: $f is missing; build first (make build)." >&2; exit 1; }
done

PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

die() {
  echo "screenshot: $*" >&2
  exit 1
}

# Runs the command given until it succeeds, for at most DEADLINE_S seconds.
wait_for() {
  local end=$((SECONDS + DEADLINE_S))
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.05
  done
}

# Xvfb picks a free display itself and writes its number to the file descriptor given, so
# parallel runs never meet on the same display.
Xvfb -displayfd 4 -screen 0 800x700x24 -nolisten tcp 4>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
PIDS+=("$XVFB_PID")
display_known() {
  kill -0 "$XVFB_PID" 2>/dev/null || die "Xvfb did not start: $(cat "$WORK/xvfb.log")"
  [ -s "$WORK/display" ]
}
wait_for display_known || die "Xvfb named no display"
DISPLAY=":$(tr -d '[:space:]' <"$WORK/display")"
export DISPLAY
wait_for xdpyinfo >/dev/null 2>&1 || die "Xvfb on $DISPLAY does not answer"

mkfifo "$WORK/commands"
exec 3<>"$WORK/commands"
"$SIM" --link "$LINK" --exit-on-eof <"$WORK/commands" >"$WORK/sim.log" 2>&1 3>&- &
PIDS+=($!)
sim_ready() { grep -q '^READY ' "$WORK/sim.log"; }
wait_for sim_ready || die "the virtual panel did not come up: $(cat "$WORK/sim.log")"

KOVA_COM1="$LINK" "$APP" >"$WORK/app.log" 2>&1 3>&- &
PIDS+=($!)

# The panel's state as its dump command reports it (one STATE line).
sim_state() {
  local before
  before=$(grep -c '^STATE ' "$WORK/sim.log" || true)
  echo dump >&3
  state_after() { [ "$(grep -c '^STATE ' "$WORK/sim.log" || true)" -gt "$before" ]; }
  wait_for state_after || die "the virtual panel does not answer dump"
  grep '^STATE ' "$WORK/sim.log" | tail -n 1
}
state_matches() { sim_state | grep -q -- "$1"; }
wait_state() { wait_for state_matches "$1" || die "the panel never reached $1: $(sim_state)"; }

window_id() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1; }
window_shown() { [ -n "$(window_id "$1")" ]; }
wait_window() {
  wait_for window_shown "$1" || die "no window '$1'"
  window_id "$1"
}

dlg=$(wait_window "Serial Communication")
# No window manager runs under Xvfb, so focus is given directly and keys go through XTEST.
xdotool windowfocus --sync "$dlg"
xdotool key Return
main=$(wait_window "KOVA_EN")
# Connected: the program has probed the panel and settled the block-check variant.
wait_state '"variant":[01]'

# The canvas lies under the menu bar; find its origin from the window's geometry.
eval "$(xdotool getwindowgeometry --shell "$main")"
MENU=$((HEIGHT - 505))
click() { xdotool mousemove --window "$main" "$2" "$(($3 + MENU))" click "$1"; }
# The colour of one client pixel of the canvas, as "r,g,b".
pixel() {
  import -window "$main" -crop "1x1+$1+$(($2 + MENU))" -depth 8 txt:- 2>/dev/null |
    sed -n 's/.*(\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1,\2,\3/p' | head -n 1
}
pixel_is() { [ "$(pixel "$1" "$2")" = "$3" ]; }

click 1 107 259   # key 1 on
click 1 197 259   # key 3 on
click 3 152 310   # key 6 flashing
click 1 242 354   # key 12 on
wait_state '"leds":"101002000001"'

# LCD text through the text input dialog.
click 1 170 120
tin=$(wait_window "Text Input")
xdotool windowfocus --sync "$tin"
xdotool type --delay 20 "KOVA panel"
xdotool key Tab
xdotool type --delay 20 "virtual LCD"
xdotool key Tab
xdotool type --delay 20 "Row 3: 123456"
xdotool key Return
wait_state '"Row 3: 123456 '

# Selectors and a held key on the panel. The reports go out in this order, so once key 10's
# red marker is on the screen the selector numbers have been drawn too.
echo "sel1 3" >&3
echo "sel2 7" >&3
echo "press 10" >&3
wait_state '"queued":0'
wait_for pixel_is 152 354 "255,0,0" || die "key 10 never showed as pressed"

mkdir -p "$(dirname "$OUT")"
import -window "$main" "$OUT"
echo "saved $OUT"
sim_state
