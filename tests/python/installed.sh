#!/bin/bash
# The Python package installed as a user would (pip, from the tree's python/ folder), then the
# example test run by pytest with nothing but the installed package: the plugin must come in
# through its entry point, and `kova` from the installed copy.
#   installed.sh PYTHON SOURCE_DIR KOVA_EN KOVA_SIM
set -euo pipefail
python=$1 source=$2 kova_en=$3 kova_sim=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Offline: the build backend is the system's setuptools, not one fetched for an isolated build.
cp -r "$source/python" "$work/src"
"$python" -m pip install --quiet --root-user-action=ignore --no-build-isolation --no-deps --no-index --target "$work/site" "$work/src"
cp "$source/examples/test_panel.py" "$work/"
cd "$work"
export PYTHONPATH="$work/site" PYTHONDONTWRITEBYTECODE=1
where=$("$python" -c 'import kova; print(kova.__file__)')
case $where in
"$work/site/"*) ;;
*) echo "kova came from $where, not from the installed copy" >&2; exit 1 ;;
esac
# No -p: the entry point loads the plugin.
"$python" -m pytest -p no:cacheprovider -q --kova-en "$kova_en" --kova-sim "$kova_sim" test_panel.py
