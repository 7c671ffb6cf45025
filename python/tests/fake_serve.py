#!/usr/bin/env python3
"""Plays a `kova_en --serve` gone wrong, for the client's fault tests. $KOVA_FAKE names how:
no-hello, protocol-2, garbage (one line that is not JSON), unknown-id (one reply to a command
never sent), own-bad-reply (the first command's answer is no reply), hang (reads commands,
answers none), close-stdout, exit-3 (answers, then ends with status 3); anything else answers
every command. With $KOVA_FAKE_ARGS its arguments are written there, one run a line."""

import json
import os
import sys
import time

how = os.environ["KOVA_FAKE"]
if os.environ.get("KOVA_FAKE_ARGS"):
    with open(os.environ["KOVA_FAKE_ARGS"], "a", encoding="utf-8") as record:
        record.write(json.dumps(sys.argv[1:]) + "\n")


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
    ident = json.loads(command)["id"]
    if once and how == "own-bad-reply":
        say({"id": ident, "neither": "a reply nor an event"})
    else:
        say({"id": ident, "ok": True, "link": True})
    once = False
if how == "exit-3":
    sys.exit(3)
