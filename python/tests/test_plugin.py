"""The pytest plugin as a suite meets it, run by pytest in a process of its own on the fake
kova_en: its settings from the environment and the ini file, the panel's scope, and a failure
found once the test body has run told as that test's failure."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys

from test_faults import FAKE

SUITE = '''
import os

def test_one(kova_panel):
    open(os.environ["PIDS"], "a").write("%d\\n" % kova_panel.process.pid)

def test_two(kova_panel):
    open(os.environ["PIDS"], "a").write("%d\\n" % kova_panel.process.pid)
    assert kova_panel.state().link
'''


def run_suite(tmp_path: pathlib.Path, how: str, *args: str, ini: str = "", **env: str) -> tuple[str, list[str]]:
    """pytest's summary line, and the pid of the kova_en of each test in turn."""
    program = tmp_path / "kova_en"
    program.write_text('#!/bin/sh\nexec "%s" "%s" "$@"\n' % (sys.executable, FAKE))
    program.chmod(0o755)
    (tmp_path / "test_suite.py").write_text(SUITE)
    (tmp_path / "pytest.ini").write_text("[pytest]\n" + ini)
    pids = tmp_path / "pids"
    pids.unlink(missing_ok=True)
    variables = dict(os.environ, KOVA_FAKE=how, PIDS=str(pids), KOVA_FAKE_ARGS=str(tmp_path / "args"), **env)
    done = subprocess.run([sys.executable, "-m", "pytest", "-p", "kova.pytest_plugin", "-p", "no:cacheprovider",
                           "-q", "--kova-en", str(program), *args, str(tmp_path / "test_suite.py")],
                          cwd=tmp_path, env=variables, capture_output=True, text=True, timeout=120)
    return done.stdout.strip().splitlines()[-1], pids.read_text().split() if pids.exists() else []


def test_the_port_and_baud_from_the_environment_and_a_late_failure_fails_its_test(tmp_path: pathlib.Path) -> None:
    # kova_en ends with status 3 after each test that passed: each of those tests fails, no
    # teardown errors.
    summary, _ = run_suite(tmp_path, "exit-3", KOVA_PORT="COM2", KOVA_BAUD="19200")
    assert summary.startswith("2 failed in"), summary
    argv = json.loads((tmp_path / "args").read_text().splitlines()[0])
    assert argv[argv.index("--port") + 1] == "2" and argv[argv.index("--baud") + 1] == "19200"


def test_a_bad_line_during_a_test_fails_that_test(tmp_path: pathlib.Path) -> None:
    # The fake writes garbage before its first reply: test_two's state() is answered, and the
    # line no command took fails test_two alone.
    summary, _ = run_suite(tmp_path, "garbage", "--kova-port", "COM1")
    assert summary.startswith("1 failed, 1 passed in"), summary


def test_the_scope_from_the_ini_file_and_the_command_line_over_it(tmp_path: pathlib.Path) -> None:
    ini = "kova_scope = module\nkova_port = COM1\n"
    summary, pids = run_suite(tmp_path, "answers", ini=ini)
    assert summary.startswith("2 passed"), summary
    assert len(pids) == 2 and pids[0] == pids[1]  # one kova_en for the module
    summary, pids = run_suite(tmp_path, "answers", "--kova-scope", "function", ini=ini)
    assert summary.startswith("2 passed"), summary
    assert len(pids) == 2 and pids[0] != pids[1]
