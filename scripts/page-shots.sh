#!/usr/bin/env bash
# The two report pages the README shows, made as a tester makes them: a panel check against the
# virtual operator with keys 3 and 4 crossed, and a permanence test whose link is pulled and put
# back, each leaving its page beside its report; headless Chromium then takes each page's
# picture (docs/check-page.png, docs/permanence-page.png) and its PDF (kept in the work folder).
set -euo pipefail

BUILD=${1:-build}
OUT=${2:-docs}
SIM="$BUILD/tools/kova_sim/kova_sim"
APP="$BUILD/src/kova_en"
CHROMIUM=$(command -v chromium || command -v chromium-browser || true)
WORK=$(mktemp -d)

for f in "$SIM" "$APP"; do
  [ -x "$f" ] || { echo "page-shots: $f is missing; build first (make build)." >&2; exit 1; }
done
[ -n "$CHROMIUM" ] || { echo "page-shots: no chromium (apt-get install chromium)." >&2; exit 1; }

PIDS=()
cleanup() {
  exec 7>&- 2>/dev/null || true
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# Waits up to 10 s for a path to exist.
wait_for() {
  for _ in $(seq 100); do [ -e "$1" ] && return 0; sleep 0.1; done
  echo "page-shots: $1 did not appear" >&2
  exit 1
}

# Chromium with a profile of its own, quiet, and no name resolved: nothing of it leaves this machine.
browser() {
  "$CHROMIUM" --headless=new --no-sandbox --disable-gpu --no-first-run --user-data-dir="$WORK/profile" \
    --disable-background-networking --disable-component-update --disable-sync --no-pings \
    --host-resolver-rules='MAP * ~NOTFOUND' "$@" >/dev/null 2>&1
}
shoot() { # page.html picture.png height
  browser --hide-scrollbars --force-device-scale-factor=1 --window-size="750,$3" --screenshot="$2" "file://$1"
  browser --no-pdf-header-footer --print-to-pdf="${1%.html}.pdf" "file://$1"
}

# The check: the same command as in the README.
"$SIM" --operator-fault 'crossed-keys 3 4' --link "$WORK/check-panel" </dev/null >/dev/null 2>&1 &
PIDS+=($!)
wait_for "$WORK/check-panel"
status=0
"$APP" --check --com1 "$WORK/check-panel" --serial KV-0815 --operator "A. Tester" --seed 2026 --timeout 5 \
  --report "$WORK/check.json" >/dev/null || status=$?
[ "$status" -eq 1 ] || { echo "page-shots: the check ended $status, not 1 (fail)" >&2; exit 1; }
shoot "$WORK/check.html" "$OUT/check-page.png" 1060

# The permanence test: 14 s, the link pulled after 4 s and put back after 4 s more.
mkfifo "$WORK/sim-commands"
"$SIM" --link "$WORK/perm-panel" <"$WORK/sim-commands" >/dev/null 2>&1 &
PIDS+=($!)
exec 7>"$WORK/sim-commands"
wait_for "$WORK/perm-panel"
"$APP" --permanence-test --com1 "$WORK/perm-panel" --duration 14 --report "$WORK/permanence.json" >/dev/null &
run=$!
sleep 2; echo "press 5" >&7; sleep 0.3; echo release >&7; sleep 0.3; echo "sel1 4" >&7
sleep 1.2; echo unplug >&7
sleep 4; echo replug >&7
sleep 4; echo "press 7" >&7; sleep 0.3; echo release >&7; sleep 0.3; echo "sel2 9" >&7
status=0
wait "$run" || status=$?
[ "$status" -eq 1 ] || { echo "page-shots: the permanence test ended $status, not 1 (fail)" >&2; exit 1; }
shoot "$WORK/permanence.html" "$OUT/permanence-page.png" 760
echo "page-shots: $OUT/check-page.png $OUT/permanence-page.png"
