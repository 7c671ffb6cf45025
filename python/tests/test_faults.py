"""A program that exits, hangs or writes garbage never holds the caller past the time-out it gave,
and a start that fails leaves nothing running."""

from __future__ import annotations

import os
import pathlib
import sys
import threading
import time

import pytest

import kova

FAKE = str(pathlib.Path(__file__).with_name("fake_serve.py"))


def fake_panel(tmp_path: pathlib.Path, how: str, **options: object) -> kova.Panel:
    # Run by this very interpreter: no search of the PATH, no interpreter shim to start first.
    program = tmp_path / "kova_en"
    # Its pid is written before anything else can happen (exec keeps it), for gone() to look up.
    program.write_text('#!/bin/sh\necho $$ > "%s"\nexec "%s" "%s" "$@"\n' % (tmp_path / how, sys.executable, FAKE))
    program.chmod(0o755)
    env = dict(os.environ, KOVA_FAKE=how)
    return kova.Panel(program=str(program), env=env, **options)  # type: ignore[arg-type]


def gone(tmp_path: pathlib.Path, how: str) -> bool:
    pid = int((tmp_path / how).read_text())
    return not os.path.exists("/proc/%d" % pid)


@pytest.mark.parametrize("how, error", [("no-hello", kova.KovaTimeout), ("protocol-2", kova.ProtocolError)])
def test_a_failed_start_leaves_nothing_running(tmp_path: pathlib.Path, how: str, error: type) -> None:
    started = time.monotonic()
    with pytest.raises(error):
        fake_panel(tmp_path, how, start_timeout=3.0)
    assert time.monotonic() - started < 6.0
    assert gone(tmp_path, how)


def test_a_port_that_does_not_open_is_not_found(kova_en: str, tmp_path: pathlib.Path) -> None:
    with pytest.raises(kova.NotFound, match="could not be opened"):
        kova.Panel(port=str(tmp_path), program=kova_en)  # a folder is no serial port


@pytest.mark.parametrize("how", ["garbage", "unknown-id"])
def test_a_bad_line_goes_to_the_error_stream_and_no_reply_is_dropped(tmp_path: pathlib.Path, how: str) -> None:
    with fake_panel(tmp_path, how) as panel:
        assert panel.state().link  # its reply came after the bad line, and is this call's
        assert [type(e) for e in panel.errors] == [kova.ProtocolError]
        assert panel.errors[0].line  # type: ignore[attr-defined]
        assert panel.state().link and len(panel.errors) == 1


def test_a_bad_answer_is_its_own_commands_error(tmp_path: pathlib.Path) -> None:
    with fake_panel(tmp_path, "own-bad-reply", timeout=30.0) as panel:
        started = time.monotonic()
        with pytest.raises(kova.ProtocolError, match="neither"):
            panel.state()
        assert time.monotonic() - started < 15.0  # at once, not at its time-out
        assert panel.state().link and panel.errors == []


def test_a_callback_may_call_the_panel(tmp_path: pathlib.Path) -> None:
    answered = threading.Event()
    seen: list[object] = []

    def on_line(line: dict[str, object]) -> None:
        # Called for every line, its own reply included: one command from inside is enough.
        if line.get("id") == 1:
            seen.append(holder[0].stats())
            answered.set()
        if line.get("id") == 2 and not answered.is_set():
            raise RuntimeError("told before its own command was answered")

    holder: list[kova.Panel] = []
    with fake_panel(tmp_path, "answers", timeout=30.0, on_line=on_line) as panel:
        holder.append(panel)
        started = time.monotonic()
        panel.state()
        assert answered.wait(30.0), "the callback's own command got no answer"
        assert time.monotonic() - started < 15.0  # no deadlock until a time-out
        assert seen and panel.errors == []


def test_a_hanging_program_times_out_and_a_closed_output_ends(tmp_path: pathlib.Path) -> None:
    with fake_panel(tmp_path, "hang", timeout=0.5) as panel:
        started = time.monotonic()
        with pytest.raises(kova.KovaTimeout):
            panel.stats()
        assert time.monotonic() - started < 2.0
    with fake_panel(tmp_path, "close-stdout", timeout=5.0) as panel:
        started = time.monotonic()
        with pytest.raises(kova.ProgramEnded) as raised:
            panel.wait_key(timeout=5.0)
        assert raised.value.status is None  # output closed, the program still there
        assert time.monotonic() - started < 3.0
        assert panel.quit(timeout=0.5) != 0  # killed
    assert gone(tmp_path, "close-stdout")


def test_the_program_killed_mid_wait(kova_panel: kova.Panel) -> None:
    threading.Timer(0.3, kova_panel.process.kill).start()
    started = time.monotonic()
    with pytest.raises(kova.ProgramEnded) as raised:
        kova_panel.wait_key(timeout=30.0)
    assert raised.value.status == -9
    assert time.monotonic() - started < 5.0
    with pytest.raises(kova.ProgramEnded):
        kova_panel.state()
