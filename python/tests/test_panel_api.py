"""kova.Panel against the virtual panel: what each command did at the panel, the waits and the
event queue, and the kinds of error. Every line read is checked against the serve schema."""

from __future__ import annotations

import time

import pytest

import kova


def test_commands_reach_the_panel_and_answer_typed(kova_panel: kova.Panel, kova_sim: kova.Sim) -> None:
    assert kova_panel.hello.found and kova_panel.hello.link and kova_panel.hello.port == "COM1"
    kova_panel.led(2, "on")
    kova_panel.led(5, "flash")
    state = kova_panel.state()
    assert state.leds[1] == "on" and state.leds[4] == "flash" and state.leds.count("off") == 10
    assert kova_sim.state()["leds"][1] == "1"
    kova_panel.text("HELLO\nWORLD")
    assert [row.strip() for row in kova_panel.state().rows[:2]] == ["HELLO", "WORLD"]
    assert kova_panel.send(b"\x6c\x2b", reply=True).reply == b"0"
    kova_panel.leds_off()
    assert set(kova_panel.state().leds) == {"off"}
    stats = kova_panel.stats()
    assert stats.failed == 0 and stats.sent[0] > 0 and stats.connects == 1

    with pytest.raises(kova.CommandError, match="key"):
        kova_panel.led(13, "on")
    kova_panel.close()
    with pytest.raises(kova.LinkClosed) as closed:
        kova_panel.led(1, "on")
    assert closed.value.result == 255
    assert kova_panel.connect().link
    kova_sim.fault("nak-block")
    with pytest.raises(kova.PanelRefused):
        kova_panel.led(1, "on")


def test_waits_take_the_queue_in_order_and_lose_nothing(kova_panel: kova.Panel, kova_sim: kova.Sim) -> None:
    # Everything happens before the waits: a press before the call is not missed.
    kova_sim.press(5)
    kova_sim.release()
    kova_sim.press(3)
    kova_sim.select(1, 7)
    kova_sim.release()
    pressed = kova_panel.wait_key(3, timeout=10)
    assert pressed.key == 3 and [(e.kind, e.key) for e in pressed.before] == [("key", 5), ("release", 0)]
    assert kova_panel.events.get("release", timeout=10).t >= pressed.t  # the selector stays queued
    assert kova_panel.wait_selector(1, 7, timeout=10).position == 7
    assert list(kova_panel.events) == []
    kova_sim.select(2, 4)
    kova_sim.press(9)
    assert kova_panel.events.get("key", timeout=10).key == 9  # reports come in order: the selector is queued
    assert [e.position for e in kova_panel.events.watch("selector", timeout=0)] == [4]
    # Looking leaves the queue as it is; clear() is the form that takes.
    kova_sim.release()
    kova_panel.events.get("release", timeout=10)
    kova_sim.press(2)
    kova_sim.release()
    kova_panel.events.get("release", timeout=10)  # takes the release alone: the press stays
    assert [e.key for e in kova_panel.events] == [2] and len(kova_panel.events) == 1
    assert [e.key for e in kova_panel.events] == [2]
    assert [e.key for e in kova_panel.events.clear()] == [2] and len(kova_panel.events) == 0

    started = time.monotonic()
    with pytest.raises(kova.KovaTimeout):
        kova_panel.wait_release(timeout=0.3)
    assert time.monotonic() - started < 2.0


@pytest.mark.kova_sim(operator_faults=["crossed-keys 3 4"])
@pytest.mark.kova_operator
def test_the_operator_marker_brings_the_virtual_operator(kova_panel: kova.Panel) -> None:
    kova_panel.led(3, "on")
    assert kova_panel.wait_key(timeout=10).key == 4
