#!/usr/bin/env bash
# kova_en as the Python package starts it (--kova-en), but the Windows program under Wine:
# KOVA_WINE_PROGRAM is its Windows path. Standard input and output stay the pipes they are.
exec wine "${KOVA_WINE_PROGRAM:?the Windows path of kova_en.com}" "$@"
