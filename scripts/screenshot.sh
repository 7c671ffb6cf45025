#!/usr/bin/env bash
# Runs the real program under Xvfb against the virtual panel, switches a few LEDs on with the
# mouse, holds a key on the panel, writes LCD text, and saves a screenshot of the window.
set -euo pipefail

BUILD=${1:-build}
OUT=${2:-docs/screenshot.png}
SIM="$BUILD/tools/kova_sim/kova_sim"
APP="$BUILD/src/kova_en"
WORK=$(mktemp -d)
LINK="$WORK/panel"
DISPLAY_NUM=${SCREENSHOT_DISPLAY:-:97}

PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

Xvfb "$DISPLAY_NUM" -screen 0 800x700x24 -nolisten tcp >/dev/null 2>&1 &
PIDS+=($!)
export DISPLAY=$DISPLAY_NUM
for _ in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

mkfifo "$WORK/commands"
exec 3<>"$WORK/commands"
"$SIM" --link "$LINK" <"$WORK/commands" >"$WORK/sim.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 1 50); do [ -e "$LINK" ] && break; sleep 0.1; done

KOVA_COM1="$LINK" "$APP" >"$WORK/app.log" 2>&1 &
PIDS+=($!)

wait_window() {
  for _ in $(seq 1 100); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  echo "no window '$1'" >&2
  return 1
}

dlg=$(wait_window "Serial Communication")
# No window manager runs under Xvfb, so focus is given directly and keys go through XTEST.
xdotool windowfocus --sync "$dlg"
xdotool key Return
main=$(wait_window "KOVA_EN")
sleep 1.5

# The canvas lies under the menu bar; find its origin from the window's geometry.
eval "$(xdotool getwindowgeometry --shell "$main")"
MENU=$(( HEIGHT - 505 ))
click() { xdotool mousemove --window "$main" "$2" "$(( $3 + MENU ))" click "$1"; sleep 0.3; }
click 1 107 259   # key 1 on
click 1 197 259   # key 3 on
click 3 152 310   # key 6 flashing
click 1 242 354   # key 12 on

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
sleep 1

# Selectors and a held key on the panel.
echo "sel1 3" >&3
echo "sel2 7" >&3
echo "press 10" >&3
sleep 1.5

mkdir -p "$(dirname "$OUT")"
import -window "$main" "$OUT"
echo "saved $OUT"
echo dump >&3
sleep 0.5
grep STATE "$WORK/sim.log" | tail -n 1 || true
