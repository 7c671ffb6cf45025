"""The reports the program writes, against their schemas; the check's JUnit file against Ant's."""

from __future__ import annotations

import pathlib
import subprocess
import time
import xml.etree.ElementTree as ElementTree

import pytest
from conftest import validate_junit, validate_report

import kova


def run(program: str, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([program, *args], capture_output=True, text=True, timeout=120)


@pytest.mark.kova_sim(operator=True, operator_faults=["crossed-keys 3 4", "answer-no 1"])
def test_a_failed_check_reports_valid_json_and_junit(kova_sim: kova.Sim, kova_en: str, tmp_path: pathlib.Path) -> None:
    report, junit = tmp_path / "check.json", tmp_path / "check.xml"
    done = run(kova_en, "--check", "--com1", kova_sim.link, "--serial", "KV-1", "--seed", "7", "--timeout", "1",
               "--only", "keys,lamps", "--report", str(report), "--junit", str(junit))
    assert done.returncode == 1, done.stderr
    assert validate_report(report)["outcome"] == "fail"

    suite = ElementTree.parse(junit).getroot()
    cases = {case.get("name"): case for case in suite.iter("testcase")}
    assert all(float(case.get("time", "-1")) >= 0 for case in cases.values())
    assert cases["key 3"].find("failure").get("type") == "wrong key, no press"
    assert cases["lamps on"].find("failure").get("type") == "answered no"
    assert "key 3: fail" in suite.findtext("system-out", "")
    assert "+" not in suite.get("timestamp", "+")
    validate_junit(junit)


def test_a_permanence_run_reports_valid_json(kova_sim: kova.Sim, kova_en: str, tmp_path: pathlib.Path) -> None:
    report = tmp_path / "permanence.json"
    with subprocess.Popen([kova_en, "--permanence-test", "--com1", kova_sim.link, "--duration", "3", "--report",
                           str(report)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) as run_:
        # Faults once the run is under way (a connect under them would find no panel), so that
        # the report has exchanges to describe.
        deadline = time.monotonic() + 20
        while len(kova_sim.history()) < 6:
            assert time.monotonic() < deadline and run_.poll() is None, "the run did not get under way"
            time.sleep(0.05)
        kova_sim.console("fault random 0.3 7")
        assert run_.wait(timeout=60) == 1
    assert validate_report(report)["events"]
