"""pytest plugin: a `kova_panel` fixture on a real panel (`--kova-port`) or a fresh virtual one.

Loaded by itself once the package is installed, or with `pytest -p kova.pytest_plugin`.

- `kova_panel`: a kova.Panel connected to the panel. With the default scope (function) each
  test has its own, ended after the test; `--kova-scope module|session` shares one among the
  tests of a module or of the run.
- `kova_sim`: the kova.Sim under it; a test that asks for it needs the virtual panel and is
  skipped on a real one.
- `@pytest.mark.kova_operator`: the test needs someone at the keys. On the virtual panel its
  careful operator does it (presses the key under a single lit LED, turns a selector when the
  LCD asks, answers yes with key 1); on a real panel the test runs only with `--kova-operator`.
- `@pytest.mark.kova_sim(faults=[...], operator_faults=[...], ...)`: how the virtual panel starts.
- `kova_panel_options`: override it to hand more keywords to kova.Panel (`on_line=...`).

Each setting is read from the command line, else the environment, else the ini file:
`--kova-port`/`KOVA_PORT`/`kova_port`, `--kova-baud`/`KOVA_BAUD`/`kova_baud`,
`--kova-scope`/`KOVA_SCOPE`/`kova_scope`.

What the plugin finds wrong once the test body has run (a line of kova_en's that no command
took, an on_line callback that raised, kova_en ending with a status but 0) fails that test,
not its teardown.
"""

from __future__ import annotations

import os
from typing import Any, Iterator

import pytest

from .panel import Panel
from .sim import Sim

SCOPES = ("function", "module", "session")
BAUDS = ("9600", "19200")
# Each setting: its command line option's dest, its environment variable, its ini name.
SETTINGS = {"port": ("kova_port", "KOVA_PORT", "kova_port"), "baud": ("kova_baud", "KOVA_BAUD", "kova_baud"),
            "scope": ("kova_scope", "KOVA_SCOPE", "kova_scope")}


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("kova", "KOVA panel")
    group.addoption("--kova-port", metavar="PATH|URL|COMn",
                    help="a real panel on this port (a device, COMn, or rfc2217://HOST:PORT or socket://HOST:PORT "
                    "on a serial device server); without it every test gets a fresh virtual panel "
                    "(also $KOVA_PORT, ini kova_port)")
    group.addoption("--kova-baud", choices=BAUDS, help="the real panel's baud rate (also $KOVA_BAUD, ini kova_baud)")
    group.addoption("--kova-scope", choices=SCOPES,
                    help="how long one kova_panel lives: a test (the default), a module or the whole run "
                    "(also $KOVA_SCOPE, ini kova_scope)")
    group.addoption("--kova-operator", action="store_true",
                    help="someone is at the real panel's keys: run the tests marked kova_operator")
    group.addoption("--kova-en", metavar="PROGRAM", help="kova_en to run (default $KOVA_EN, else kova_en)")
    group.addoption("--kova-sim", metavar="PROGRAM", help="kova_sim to run (default $KOVA_SIM, else kova_sim)")
    parser.addini("kova_port", "a real panel on this port (PATH or COMn), as --kova-port")
    parser.addini("kova_baud", "the real panel's baud rate, as --kova-baud")
    parser.addini("kova_scope", "function, module or session, as --kova-scope")


def setting(config: pytest.Config, name: str) -> str | None:
    """A setting of the plugin: the command line's, else the environment's, else the ini file's."""
    dest, variable, ini = SETTINGS[name]
    for value in (config.getoption(dest), os.environ.get(variable), config.getini(ini)):
        if value:
            return str(value)
    return None


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "kova_operator: needs someone at the panel's keys; on a real panel it "
                            "runs only with --kova-operator (the virtual panel brings its own operator)")
    config.addinivalue_line("markers", "kova_sim(**options): the options of the virtual panel under kova_panel "
                            "(faults, operator_faults, baud, variant)")
    # The environment and the ini file are checked as the command line checks its choices.
    for name, allowed in (("baud", BAUDS), ("scope", SCOPES)):
        value = setting(config, name)
        if value is not None and value not in allowed:
            raise pytest.UsageError("kova %s is %s, not %r" % (name, " or ".join(allowed), value))


def pytest_runtest_setup(item: pytest.Item) -> None:
    config = item.config
    if (item.get_closest_marker("kova_operator") is not None and setting(config, "port")
            and not config.getoption("kova_operator")):
        pytest.skip("needs someone at the panel's keys: run with --kova-operator")


def _scope(fixture_name: str, config: pytest.Config) -> str:
    return setting(config, "scope") or "function"


class _Panels:
    """The panel (and the virtual panel under it) of one scope. The next test gets the same one
    when it asks for the same: the same options, the same virtual panel's marks, and no test
    before it played the virtual panel itself (kova_sim), which may leave faults switched on."""

    def __init__(self, config: pytest.Config) -> None:
        self.config = config
        self.sim: Sim | None = None
        self.sim_options: dict[str, Any] | None = None
        self.sim_used = False
        self.panel: Panel | None = None
        self.panel_options: dict[str, Any] | None = None
        self.failure: str | None = None

    def sim_for(self, request: pytest.FixtureRequest) -> Sim:
        if setting(self.config, "port"):
            pytest.skip("needs the virtual panel (a real one was given with --kova-port)")
        options: dict[str, Any] = {}
        marker = request.node.get_closest_marker("kova_sim")
        if marker is not None:
            options.update(marker.kwargs)
        if request.node.get_closest_marker("kova_operator") is not None:
            options.setdefault("operator", True)
        if self.sim is None or self.sim_used or options != self.sim_options:
            self.close()
            self.sim = Sim(self.config.getoption("kova_sim"), **options)
            self.sim_options = options
        return self.sim

    def panel_for(self, request: pytest.FixtureRequest, options: dict[str, Any]) -> Panel:
        port = setting(self.config, "port")
        if not port:
            sim = self.sim_for(request)
            if self.panel is not None and self.sim is not sim:
                self.end_panel()
            port = sim.link
        if self.panel is not None and (options != self.panel_options or self.panel.ended_early):
            self.end_panel()
        if self.panel is None:
            baud = setting(self.config, "baud")
            self.panel = Panel(port=port, baud=int(baud) if baud else None, program=self.config.getoption("kova_en"),
                               **dict({"require_panel": True}, **options))
            self.panel_options = dict(options)
        else:
            self.panel.events.clear()  # what a test before left queued is no event of this one
        return self.panel

    def end_panel(self) -> None:
        panel, self.panel = self.panel, None
        if panel is None:
            return
        status = panel.quit()
        # A program that ends badly after its tests (a crash on the way out) is a failure, unless
        # a test already met its end.
        if status != 0 and not panel.ended_early and self.failure is None:
            self.failure = "kova_en ended with status %d:\n%s" % (status, "\n".join(panel.stderr))

    def close(self) -> None:
        self.end_panel()
        sim, self.sim = self.sim, None
        if sim is not None:
            sim.close()
        self.sim_used = False


@pytest.fixture(scope=_scope)
def _kova_panels(request: pytest.FixtureRequest) -> Iterator[_Panels]:
    panels = _Panels(request.config)
    try:
        yield panels
    finally:
        panels.close()
    # With a wider scope no single test owns the end: it stands at the last one's teardown.
    if panels.failure is not None:
        pytest.fail(panels.failure, pytrace=False)


@pytest.fixture
def kova_panel_options() -> dict[str, Any]:
    """More keywords for kova.Panel; a conftest.py may override this fixture."""
    return {}


@pytest.fixture
def kova_sim(request: pytest.FixtureRequest, _kova_panels: _Panels) -> Sim:
    """The virtual panel under this test's kova_panel; a test that plays it gets one of its own."""
    sim = _kova_panels.sim_for(request)
    _kova_panels.sim_used = True
    return sim


@pytest.fixture
def kova_panel(request: pytest.FixtureRequest, _kova_panels: _Panels, kova_panel_options: dict[str, Any]) -> Panel:
    """kova_en --serve on the panel of this run: the real one of --kova-port, else a virtual one."""
    panel = _kova_panels.panel_for(request, kova_panel_options)
    request.node._kova_in_use = (_kova_panels, panel, panel.error_count)
    return panel


@pytest.hookimpl(trylast=True)
def pytest_runtest_call(item: pytest.Item) -> None:
    """Runs after the test body, and only when it passed: what is found wrong now is the test's
    own failure (a fixture's code after its yield would make it an error in teardown)."""
    in_use = getattr(item, "_kova_in_use", None)
    if in_use is None:
        return
    panels, panel, count_before = in_use
    new = panel.error_count - count_before
    if new > 0:
        told = panel.errors[-min(new, 20):]
        pytest.fail("%d of kova_en's lines went wrong outside any command (or on_line raised), the last:\n%s"
                    % (new, "\n".join(str(e) for e in told)), pytrace=False)
    if _scope("kova_panel", item.config) == "function":
        panels.end_panel()
        failure, panels.failure = panels.failure, None
        if failure is not None:
            pytest.fail(failure, pytrace=False)
