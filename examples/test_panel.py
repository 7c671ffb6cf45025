"""Every key of the panel answers under its LED: `pytest examples/test_panel.py` runs it on a
fresh virtual panel, `pytest --kova-port /dev/ttyUSB0 --kova-operator examples/test_panel.py`
on a real one with someone at the keys (needs `pip install ./python`)."""

import pytest


@pytest.mark.kova_operator
def test_every_key_answers(kova_panel):
    kova_panel.leds_off()
    for key in range(1, 13):
        kova_panel.led(key, "on")
        assert kova_panel.wait_key(timeout=30).key == key
        kova_panel.wait_release(timeout=30)
        kova_panel.led(key, "off")
    assert kova_panel.stats().failed == 0
