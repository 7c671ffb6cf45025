#!/usr/bin/env bash
# The report pages of the Windows console twin under Wine, against the virtual panel behind
# Wine's COM1: the same report must give the same page, byte for byte, as on Linux.
#
#   tests/windows/run-wine-page-tests.sh PROGRAM COM1 LINUX_BUILD_DIR
#
# PROGRAM is the Windows path of kova_en.com, COM1 the file Wine's COM1 is mapped to, in the
# Wine prefix of WINEPREFIX. A check with keys 3 and 4 crossed and a short permanence test
# leave their reports and pages under Wine; Linux's kova_en --render makes the pages of the same
# reports, which must equal them. Then --render under Wine of a report with a broken field and
# a hostile serial number, and of a file that is no report.
set -euo pipefail

program=${1:?usage: $0 PROGRAM COM1 LINUX_BUILD_DIR}
com1=${2:?usage: $0 PROGRAM COM1 LINUX_BUILD_DIR}
linux=$(cd "${3:?usage: $0 PROGRAM COM1 LINUX_BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)

note() { printf '== %s\n' "$*"; }
fail() {
  echo "run-wine-page-tests: $*" >&2
  exit 1
}
work=$(mktemp -d /tmp/kova-wine-pages.XXXXXX)
sim_pid=""
# Called by the EXIT trap, which shellcheck cannot see.
# shellcheck disable=SC2317
finish() {
  local rc=$?
  [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
  exit "$rc"
}
trap finish EXIT

# Wine sees the work folder as drive Z:.
win() { printf 'Z:%s' "$1"; }
run() {
  set +e
  out=$(wine "$program" "$@" 2>&1 | tr -d '\r')
  rc=$?
  set -e
}
same_as_linux() { # report page
  "$linux/src/kova_en" --render "$1" --html "$work/linux.html" >/dev/null 2>&1 || fail "Linux's --render of $1"
  cmp -s "$2" "$work/linux.html" || fail "the page of $1 differs from Linux's: $(cmp "$2" "$work/linux.html" || true)"
}

"$linux/tools/kova_sim/kova_sim" --link "$com1" --operator-fault 'crossed-keys 3 4' </dev/null >"$work/panel.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^READY' "$work/panel.out" && break
  sleep 0.1
done

run --check --serial WINE-PAGE --seed 2026 --timeout 2 --report "$(win "$work/check.json")" --junit "$(win "$work/check.xml")"
[[ $rc -eq 1 && -f $work/check.html && -f $work/check.png ]] || fail "--check with crossed keys: exit $rc, $out"
grep -q 'ATTACHMENT|' "$work/check.xml" || fail "the JUnit file names no attachment"
same_as_linux "$work/check.json" "$work/check.html"

run --permanence-test --duration 2s --report "$(win "$work/permanence.json")"
# The operator at the keys may cross a telegram (a refusal, a fail): either verdict will do.
[[ ($rc -eq 0 || $rc -eq 1) && -f $work/permanence.html ]] || fail "--permanence-test: exit $rc, $out"
same_as_linux "$work/permanence.json" "$work/permanence.html"

sed -e 's/"serial": "WINE-PAGE"/"serial": "<script>x<\/script>"/' -e 's/"seed": [0-9]*/"seed": -5/' \
  "$work/check.json" >"$work/odd.json"
run --render "$(win "$work/odd.json")" --html "$(win "$work/odd.html")"
[[ $rc -eq 0 && $out == *"seed: -5 is outside"* ]] || fail "--render of a report with a bad seed: exit $rc, $out"
same_as_linux "$work/odd.json" "$work/odd.html"
run --render "$(win "$root/README.md")"
[[ $rc -eq 2 && $out == *"not JSON"* ]] || fail "--render of no report: exit $rc, $out"
note "pages under Wine equal Linux's: a check with crossed keys, a permanence test, a broken report; no report refused (2)"
