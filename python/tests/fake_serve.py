#!/usr/bin/env python3
"""Plays a `kova_en --serve` gone wrong, for the client's fault tests. $KOVA_FAKE names how:
no-hello, protocol-2, garbage (one line that is not JSON), unknown-id (one reply to a command
never sent), hang (reads commands, answers none), close-stdout."""

import json
import os
import sys
import time

how = os.environ["KOVA_FAKE"]


def say(line):
    sys.stdout.write((line if isinstance(line, str) else json.dumps(line)) + "\n")
    sys.stdout.flush()


if how == "no-hello":
    time.sleep(60)
say({"event": "hello", "protocol": 2 if how == "protocol-2" else 1, "version": "0", "port": "COM1",
     "device": "/dev/null", "baud": 9600, "found": True, "link": True, "variant": 1, "selector1": 1,
     "selector2": 1})
if how in ("protocol-2", "close-stdout"):
    os.close(1)
    time.sleep(60)
once = True
for command in sys.stdin:
    if how == "hang":
        continue
    if once and how == "garbage":
        say("{this is not JSON")
    if once and how == "unknown-id":
        say({"id": 999, "ok": True})
    once = False
    say({"id": json.loads(command)["id"], "ok": True, "link": True})
