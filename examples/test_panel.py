#!/usr/bin/env python3
"""Lights each LED of the panel in turn and waits for its key, then reads the link statistics.

    examples/test_panel.py KOVA_EN KOVA_SIM

starts the virtual panel (KOVA_SIM) on a pseudo-terminal of its own and KOVA_EN --serve on it,
and plays the operator through the virtual panel's console ("press N", "release"). Against a
real panel, leave out KOVA_SIM and press the lit key yourself:

    examples/test_panel.py kova_en

Exit status 0 when every key came back as lit and no exchange failed.
"""

import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kova_client import KovaClient  # noqa: E402


class VirtualPanel:
    """kova_sim on a link path of its own, driven through its console."""

    def __init__(self, binary, link):
        self.process = subprocess.Popen(
            [binary, "--link", link, "--exit-on-eof"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            bufsize=1,
        )
        line = self.process.stdout.readline()
        if not line.startswith("READY "):
            raise RuntimeError("kova_sim did not start: %r" % line)

    def console(self, command):
        """One console command; its answer up to OK (ERR raises)."""
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        lines = []
        while True:
            line = self.process.stdout.readline()
            if not line:
                raise EOFError("kova_sim ended")
            line = line.rstrip("\n")
            if line == "OK":
                return lines
            if line.startswith("ERR"):
                raise RuntimeError("kova_sim: %s: %s" % (command, line))
            lines.append(line)

    def state(self):
        for line in self.console("dump"):
            if line.startswith("STATE "):
                return json.loads(line[len("STATE "):])
        raise RuntimeError("kova_sim printed no state")

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    kova_en = argv[1]
    panel = None
    with tempfile.TemporaryDirectory() as folder:
        args = [kova_en, "--serve"]
        if len(argv) == 3:
            link = os.path.join(folder, "panel")
            panel = VirtualPanel(argv[2], link)
            args += ["--com1", link]
        try:
            with KovaClient(args) as kova:
                if not kova.hello["link"]:
                    print("KOVA not found: %s" % json.dumps(kova.hello), file=sys.stderr)
                    return 1
                kova.command("leds_off")
                kova.command("text", rows=["KOVA key test", "", "Press the lit", "key."])
                for key in range(1, 13):
                    kova.command("led", key=key, state="on")
                    if panel is not None:
                        leds = panel.state()["leds"]
                        assert leds[key - 1] == "1", "LED %d not on at the panel: %s" % (key, leds)
                    # A wait counts from when kova_en reads it; the reply to the next command
                    # says it has, so the press cannot slip past it.
                    waiting = kova.send("wait", **{"for": "key", "value": key, "timeout_ms": 20000})
                    kova.command("state")
                    if panel is not None:
                        panel.console("press %d" % key)
                    pressed = kova.reply(waiting)
                    assert pressed["key"] == key, pressed
                    released = kova.send("wait", **{"for": "release", "timeout_ms": 20000})
                    kova.command("state")
                    if panel is not None:
                        panel.console("release")
                    kova.reply(released)
                    kova.command("led", key=key, state="off")
                    print("key %2d: lit, pressed at %d ms, released" % (key, pressed["t_ms"]))
                stats = kova.command("stats")
                print("statistics: %s" % json.dumps(stats, sort_keys=True))
                failed = sum(n for result, n in stats["sent"].items() if result != "0")
                failed += sum(n for result, n in stats["received"].items() if result != "0")
                if failed or stats["link_losses"]:
                    print("%d exchanges failed, %d link losses" % (failed, stats["link_losses"]), file=sys.stderr)
                    return 1
                kova.command("quit")
                status = kova.close()
                if status != 0:
                    print("kova_en ended with status %d" % status, file=sys.stderr)
                    return 1
        finally:
            if panel is not None:
                panel.close()
    print("all 12 keys answered")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
