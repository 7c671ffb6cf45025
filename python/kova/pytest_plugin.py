"""pytest plugin: a `kova_panel` fixture on a real panel (`--kova-port`) or a fresh virtual one.

Loaded by itself once the package is installed, or with `pytest -p kova.pytest_plugin`.

- `kova_panel`: a kova.Panel connected to the panel, ended after the test.
- `kova_sim`: the kova.Sim under it; a test that asks for it needs the virtual panel and is
  skipped on a real one.
- `@pytest.mark.kova_operator`: the test needs someone at the keys. On the virtual panel its
  careful operator does it (presses the key under a single lit LED, turns a selector when the
  LCD asks, answers yes with key 1); on a real panel the test runs only with `--kova-operator`.
- `@pytest.mark.kova_sim(faults=[...], operator_faults=[...], ...)`: how the virtual panel starts.
- `kova_panel_options`: override it to hand more keywords to kova.Panel (`on_line=...`).
"""

from __future__ import annotations

from typing import Any, Iterator

import pytest

from .panel import Panel
from .sim import Sim


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("kova", "KOVA panel")
    group.addoption("--kova-port", metavar="PATH|URL|COMn",
                    help="a real panel on this port (a device, COMn, or rfc2217://HOST:PORT or socket://HOST:PORT "
                         "on a serial device server); without it every test gets a fresh virtual panel")
    group.addoption("--kova-baud", type=int, choices=(9600, 19200), help="the real panel's baud rate")
    group.addoption("--kova-operator", action="store_true",
                    help="someone is at the real panel's keys: run the tests marked kova_operator")
    group.addoption("--kova-en", metavar="PROGRAM", help="kova_en to run (default $KOVA_EN, else kova_en)")
    group.addoption("--kova-sim", metavar="PROGRAM", help="kova_sim to run (default $KOVA_SIM, else kova_sim)")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "kova_operator: needs someone at the panel's keys; on a real panel it "
                            "runs only with --kova-operator (the virtual panel brings its own operator)")
    config.addinivalue_line("markers", "kova_sim(**options): the options of the virtual panel under kova_panel "
                            "(faults, operator_faults, baud, variant)")


def pytest_runtest_setup(item: pytest.Item) -> None:
    config = item.config
    if (item.get_closest_marker("kova_operator") is not None and config.getoption("kova_port")
            and not config.getoption("kova_operator")):
        pytest.skip("needs someone at the panel's keys: run with --kova-operator")


@pytest.fixture
def kova_panel_options() -> dict[str, Any]:
    """More keywords for kova.Panel; a conftest.py may override this fixture."""
    return {}


@pytest.fixture
def kova_sim(request: pytest.FixtureRequest) -> Iterator[Sim]:
    """A fresh virtual panel for this test."""
    config = request.config
    if config.getoption("kova_port"):
        pytest.skip("needs the virtual panel (a real one was given with --kova-port)")
    options: dict[str, Any] = {}
    marker = request.node.get_closest_marker("kova_sim")
    if marker is not None:
        options.update(marker.kwargs)
    if request.node.get_closest_marker("kova_operator") is not None:
        options.setdefault("operator", True)
    with Sim(config.getoption("kova_sim"), **options) as sim:
        yield sim


@pytest.fixture
def kova_panel(request: pytest.FixtureRequest, kova_panel_options: dict[str, Any]) -> Iterator[Panel]:
    """kova_en --serve on the panel of this run: the real one of --kova-port, else a fresh virtual one."""
    config = request.config
    port = config.getoption("kova_port")
    if not port:
        port = request.getfixturevalue("kova_sim").link
    options = dict(kova_panel_options)
    options.setdefault("require_panel", True)
    panel = Panel(port=port, baud=config.getoption("kova_baud"), program=config.getoption("kova_en"), **options)
    try:
        yield panel
    finally:
        status = panel.quit()
    # A program that ends badly after a passing test (a crash on the way out) fails the test,
    # unless the test already met its end.
    if status != 0 and not panel.ended_early:
        pytest.fail("kova_en ended with status %d:\n%s" % (status, "\n".join(panel.stderr)), pytrace=False)
