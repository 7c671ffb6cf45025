"""The reports the program writes, against their schemas; the check's JUnit file against Ant's."""

from __future__ import annotations

import json
import os
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


@pytest.mark.kova_sim(operator=True, operator_faults=["crossed-keys 3 4"])
def test_a_check_leaves_its_page_and_the_junit_files_picture(kova_sim: kova.Sim, kova_en: str,
                                                             tmp_path: pathlib.Path) -> None:
    report, junit = tmp_path / "check.json", tmp_path / "check.xml"
    done = run(kova_en, "--check", "--com1", kova_sim.link, "--serial", "<b>KV-1</b>", "--seed", "7", "--timeout", "1",
               "--only", "keys", "--report", str(report), "--junit", str(junit))
    assert done.returncode == 1, done.stderr
    page = kova.Report(report).page
    assert page == tmp_path / "check.html"
    html = page.read_text(encoding="utf-8")
    assert "&lt;b&gt;KV-1&lt;/b&gt;" in html and "<b>KV-1" not in html
    picture = tmp_path / "check.png"
    assert picture.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    suite = ElementTree.parse(junit).getroot()
    assert "[[ATTACHMENT|%s]]" % picture.resolve() in suite.findtext("system-out", "")
    validate_junit(junit)


def test_render_makes_the_page_of_a_saved_report_and_refuses_what_is_none(kova_en: str,
                                                                          tmp_path: pathlib.Path) -> None:
    saved = tmp_path / "check.json"
    saved.write_text(json.dumps({"format": "kova_en-check/1", "serial": "KV-2", "outcome": "pass", "items": [
        {"name": "key 13", "outcome": "pass"}, {"name": "lcd", "outcome": "pass", "answer": "yes"}]}))
    report = kova.Report(saved)
    assert report.page is None
    assert report.render(program=kova_en) == tmp_path / "check.html" == report.page
    elsewhere = kova.render(saved, tmp_path / "other.html", program=kova_en)
    assert elsewhere.read_bytes() == report.page.read_bytes()
    # What the page could not show is said, not hidden.
    done = run(kova_en, "--render", str(saved), "--html", str(tmp_path / "third.html"))
    assert done.returncode == 0 and "no key 13" in done.stderr

    for name, content, reason in [("broken.json", '{"format": "kova_en-check/1", ', "not JSON"),
                                  ("unknown.json", '{"format": "kova_en-check/7"}', "not a report of a known format")]:
        (tmp_path / name).write_text(content)
        with pytest.raises(kova.RenderError, match=reason) as caught:
            kova.render(tmp_path / name, program=kova_en)
        assert caught.value.status == 2
        assert not (tmp_path / name).with_suffix(".html").exists()


@pytest.mark.kova_sim(operator=True)
def test_a_page_lost_at_the_end_keeps_the_report_and_says_so_by_status_4(kova_sim: kova.Sim, kova_en: str,
                                                                        tmp_path: pathlib.Path) -> None:
    report = tmp_path / "check.json"
    with subprocess.Popen([kova_en, "--check", "--com1", kova_sim.link, "--only", "at-rest", "--report", str(report)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as check:
        # The page's place was good when the run began; it is taken while the check runs.
        assert check.stdout is not None and check.stdout.readline().startswith("Panel check on")
        (tmp_path / "check.html").mkdir()
        out, err = check.communicate(timeout=60)
    assert check.returncode == 4, err
    assert "page could not be written" in err
    assert validate_report(report)["outcome"] == "pass"


@pytest.mark.kova_sim(operator=True)
def test_a_page_with_no_place_is_refused_before_the_port_opens(kova_sim: kova.Sim, kova_en: str,
                                                               tmp_path: pathlib.Path) -> None:
    fifo = tmp_path / "page.html"
    os.mkfifo(fifo)
    for mode in (["--check", "--only", "at-rest"], ["--permanence-test", "--duration", "1"]):
        done = run(kova_en, *mode, "--com1", kova_sim.link, "--report", str(tmp_path / "r.json"), "--html", str(fifo))
        assert done.returncode == 2 and "page cannot be written" in done.stderr, done.stderr
    assert kova_sim.history() == []
    assert not (tmp_path / "r.json").exists()
