"""The reports kova_en leaves (a panel check's, a permanence test's) and their pages.

    report = kova.Report("check-20261209T061144Z-KV-0815.json")
    print(report.verdict, report.page)      # "fail", the .html beside it (None when there is none)
    report.render()                         # makes the page with `kova_en --render`

The page is made by the program itself, so it is the very page a run leaves.
"""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
from typing import Any

from .errors import KovaError
from .panel import _program

# The report formats kova_en reads and writes pages for.
FORMATS = ("kova_en-check/1", "kova_en-permanence/1")


class RenderError(KovaError):
    """kova_en would not make the page: the report is of no known format or broken, or the page
    could not be written; the message is the program's reason."""

    def __init__(self, message: str, status: int | None) -> None:
        super().__init__(message)
        self.status = status


def render(report: str | os.PathLike[str], html: str | os.PathLike[str] | None = None, *,
           program: str | None = None, timeout: float = 60.0) -> pathlib.Path:
    """Makes the page of a saved report with `kova_en --render` (beside the report, or `html`)
    and returns its path. Raises RenderError with the program's reason when it refuses."""
    argv = [_program(program), "--render", os.fspath(report)]
    if html is not None:
        argv += ["--html", os.fspath(html)]
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise RenderError("%s --render: %s" % (argv[0], error), None) from error
    if done.returncode != 0:
        reason = done.stderr.strip().splitlines()
        raise RenderError(reason[-1] if reason else "%s ended %d" % (argv[0], done.returncode), done.returncode)
    for line in done.stdout.splitlines():
        if line.startswith("Page: "):
            return pathlib.Path(line[len("Page: "):])
    raise RenderError("%s --render said no page" % argv[0], done.returncode)


class Report:
    """A saved report: `data` its fields, `format`, `verdict` ("pass", "fail", and for a check
    "aborted" or "error"), and `page`, the path of its page beside it, or None while it has none."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = pathlib.Path(path)
        with open(self.path, encoding="utf-8") as file:
            self.data: dict[str, Any] = json.load(file)
        if not isinstance(self.data, dict):
            raise ValueError("%s: not a report (not a JSON object)" % self.path)
        self.format: str | None = self.data.get("format")
        self._page: pathlib.Path | None = None

    @property
    def verdict(self) -> str | None:
        return self.data.get("outcome" if self.format == "kova_en-check/1" else "verdict")

    @property
    def page(self) -> pathlib.Path | None:
        if self._page is not None and self._page.exists():
            return self._page
        beside = self.path.with_suffix(".html")
        return beside if beside.exists() else None

    def render(self, html: str | os.PathLike[str] | None = None, *, program: str | None = None) -> pathlib.Path:
        """Makes the page (beside the report, or `html`) and remembers it as `page`."""
        self._page = render(self.path, html, program=program)
        return self._page

    def __repr__(self) -> str:
        return "Report(%r, format=%r, verdict=%r)" % (str(self.path), self.format, self.verdict)
