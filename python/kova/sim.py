"""kova.Sim: the virtual panel (`kova_sim`) on a pseudo-terminal, for tests without hardware."""

from __future__ import annotations

import json
import os
import queue
import shutil
import subprocess
import tempfile
import threading
from typing import Any, Sequence

from .errors import KovaError, KovaTimeout, ProgramEnded


class SimError(KovaError):
    """The virtual panel refused a console command (its "ERR" line is the message)."""


class Sim:
    """Starts `kova_sim` on a link path of its own (in a fresh temporary folder unless `link`
    names one) and drives it through its console: presses, selectors, faults, the operator.

    `faults` are line faults switched on from the start ("silent", "garbage", ...); `operator`
    puts the careful operator to work, `operator_faults` break its panel ("dead-key 5").
    Pass `link` to a Panel as its port. A start that fails leaves nothing running.
    """

    def __init__(self, program: str | None = None, *, link: str | None = None, faults: Sequence[str] = (),
                 operator: bool = False, operator_faults: Sequence[str] = (), baud: int | None = None,
                 variant: str | int | None = None, args: Sequence[str] = (), timeout: float = 10.0) -> None:
        self.timeout = timeout
        self._folder = None if link else tempfile.mkdtemp(prefix="kova-sim-")
        self.link = link or os.path.join(self._folder or "", "panel")
        argv = [program or os.environ.get("KOVA_SIM") or "kova_sim", "--link", self.link, "--exit-on-eof"]
        for fault in faults:
            argv += ["--fault", fault]
        if operator:
            argv.append("--operator")
        for fault in operator_faults:
            argv += ["--operator-fault", fault]
        if baud is not None:
            argv += ["--baud", str(int(baud))]
        if variant is not None:
            argv += ["--variant", str(variant)]
        argv += list(args)
        self._lines: queue.Queue[str | None] = queue.Queue()
        try:
            self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE, text=True, bufsize=1)
        except OSError as error:
            self._remove_folder()
            raise ProgramEnded("%s could not be started: %s" % (argv[0], error), None, []) from error
        self._stderr: list[str] = []
        self._threads = [threading.Thread(target=self._read, daemon=True),
                         threading.Thread(target=self._read_stderr, daemon=True)]
        for thread in self._threads:
            thread.start()
        try:
            line = self._line(timeout)
            if not line.startswith("READY "):
                raise ProgramEnded("kova_sim did not start: %r" % line, self.process.poll(), self._stderr[-20:])
        except BaseException:
            self.close(kill=True)
            raise

    def _read(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            self._lines.put(line.rstrip("\n"))
        self._lines.put(None)

    def _read_stderr(self) -> None:
        assert self.process.stderr is not None
        for line in self.process.stderr:
            self._stderr.append(line.rstrip("\n"))

    def _line(self, timeout: float) -> str:
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise KovaTimeout("kova_sim said nothing within %.3g s" % timeout) from None
        if line is None:
            self._lines.put(None)
            raise ProgramEnded("kova_sim ended", self.process.poll(), self._stderr[-20:])
        return line

    def console(self, command: str) -> list[str]:
        """One console command; the lines it printed before its "OK" (an "ERR" raises SimError)."""
        assert self.process.stdin is not None
        try:
            self.process.stdin.write(command + "\n")
            self.process.stdin.flush()
        except (BrokenPipeError, ValueError) as error:
            raise ProgramEnded("kova_sim no longer reads commands", self.process.poll(), self._stderr[-20:]) from error
        lines = []
        while True:
            line = self._line(self.timeout)
            if line == "OK":
                return lines
            if line.startswith("ERR"):
                raise SimError("kova_sim: %s: %s" % (command, line))
            lines.append(line)

    def press(self, key: int) -> None:
        self.console("press %d" % key)

    def release(self) -> None:
        self.console("release")

    def select(self, which: int, position: int) -> None:
        """Turns selector 1 or 2 to a position, 1 to 12."""
        self.console("sel%d %d" % (which, position))

    def fault(self, name: str, on: bool = True) -> None:
        """A line fault on or off: silent, nak-stx, nak-block, garbage, stall, overlong, close."""
        self.console("fault %s %s" % (name, "on" if on else "off"))

    def faults_off(self) -> None:
        self.console("faults off")

    def operator(self, on: bool = True) -> None:
        self.console("operator %s" % ("on" if on else "off"))

    def operator_fault(self, fault: str) -> None:
        self.console("operator fault %s" % fault)

    def unplug(self) -> None:
        self.console("unplug")

    def replug(self) -> None:
        self.console("replug")

    def state(self) -> dict[str, Any]:
        """The virtual panel's own view: LEDs, key, selectors, LCD, counters."""
        for line in self.console("dump"):
            if line.startswith("STATE "):
                return dict(json.loads(line[len("STATE "):]))
        raise SimError("kova_sim printed no state")

    def history(self) -> list[bytes]:
        """The telegrams it received, oldest first."""
        for line in self.console("history"):
            words = line.split()
            if words[:1] == ["HISTORY"]:
                return [b"" if word == "-" else bytes.fromhex(word) for word in words[1:]]
        raise SimError("kova_sim printed no history")

    def close(self, kill: bool = False) -> int:
        """Ends the virtual panel (its link goes away) and returns its exit status."""
        if self.process.poll() is None:
            if kill:
                self.process.kill()
            elif self.process.stdin is not None:
                try:
                    self.process.stdin.close()
                except OSError:
                    pass
        try:
            status = self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        for thread in self._threads:
            thread.join(timeout=2)
        self._remove_folder()
        return status

    def _remove_folder(self) -> None:
        if self._folder:
            shutil.rmtree(self._folder, ignore_errors=True)
            self._folder = None

    def __enter__(self) -> "Sim":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()
