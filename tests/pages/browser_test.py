"""The report pages in Debian's Chromium, headless: what a person sees on screen and on paper,
and that the page asks the network for nothing. The reports come from the real kova_en against
the virtual panel: a check with crossed keys 3 and 4, a permanence test whose link is pulled
and put back."""

from __future__ import annotations

import json
import os
import pathlib
import socket
import subprocess
import threading
import time

import pytest

import kova

KOVA_EN = os.environ["KOVA_EN"]
CHROMIUM = os.environ["KOVA_CHROMIUM"]
RES = pathlib.Path(os.environ["KOVA_RES"])
# The key rectangles of src/panel/geometry.h, in the window's client pixels.
KEYS = [(89, 241, 125, 277), (134, 241, 170, 277), (179, 241, 215, 277), (224, 241, 260, 277),
        (89, 292, 125, 328), (134, 292, 170, 328), (179, 292, 215, 328), (224, 292, 260, 328),
        (89, 336, 125, 372), (134, 336, 170, 372), (179, 336, 215, 372), (224, 336, 260, 372)]
PICTURE_LEFT = 3
# Where the page puts the figure's origin: the sheet's padding, and the head's height below it.
FIGURE_ORIGIN = (16, 16 + 150)


def chromium(*args: str, timeout: float = 60) -> subprocess.CompletedProcess[str]:
    # A profile of its own (args[0]), no sandbox (the tests run as root), as little of
    # Chromium's own traffic as its switches allow; what it still tries on its own (time,
    # components) never leaves this machine: it goes to the test's proxy on 127.0.0.1 where one
    # is given, and otherwise no name is resolved.
    offline = [] if any(a.startswith("--proxy-server=") for a in args) else ["--host-resolver-rules=MAP * ~NOTFOUND"]
    argv = [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-default-apps", "--disable-extensions", "--hide-scrollbars", "--no-pings",
            "--disable-domain-reliability", *offline,
            "--force-device-scale-factor=1", "--user-data-dir=%s" % args[0], *args[1:]]
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout)


def pixels(png: pathlib.Path) -> tuple[int, int, bytes]:
    """Width, height and RGB bytes of a PNG, through ImageMagick."""
    size = subprocess.run(["identify", "-format", "%w %h", str(png)], capture_output=True, text=True, check=True)
    width, height = (int(v) for v in size.stdout.split())
    raw = subprocess.run(["convert", str(png), "-depth", "8", "rgb:-"], capture_output=True, check=True).stdout
    return width, height, raw


def rgb(image: tuple[int, int, bytes], x: int, y: int) -> tuple[int, int, int]:
    width, _, raw = image
    i = 3 * (y * width + x)
    return raw[i], raw[i + 1], raw[i + 2]


@pytest.fixture(scope="module")
def crossed_check(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    folder = tmp_path_factory.mktemp("check")
    with kova.Sim(operator=True, operator_faults=["crossed-keys 3 4"]) as sim:
        done = subprocess.run([KOVA_EN, "--check", "--com1", sim.link, "--serial", "KV-0815", "--operator",
                               "A. Tester", "--seed", "2026", "--timeout", "2", "--report", str(folder / "check.json"),
                               "--junit", str(folder / "check.xml")], capture_output=True, text=True, timeout=180)
    assert done.returncode == 1, done.stderr
    assert "Page: %s" % (folder / "check.html") in done.stdout
    return folder


def test_a_failed_keys_mark_lands_on_its_square_and_a_passed_ones_does_not(crossed_check: pathlib.Path) -> None:
    shot = crossed_check / "shot.png"
    chromium(str(crossed_check / "profile"), "--window-size=760,1150", "--screenshot=%s" % shot,
             (crossed_check / "check.html").as_uri())
    page = pixels(shot)
    picture = pixels(RES / "panel.png")
    ox, oy = FIGURE_ORIGIN
    for key, (left, top, right, bottom) in enumerate(KEYS, start=1):
        cx, cy = (left + right) // 2, (top + bottom) // 2
        seen = rgb(page, ox + cx, oy + cy)
        if key in (3, 4):
            assert seen[0] - seen[1] > 60, (key, seen)
        else:
            drawn = rgb(picture, cx - PICTURE_LEFT, cy)
            assert all(abs(a - b) <= 3 for a, b in zip(seen, drawn)), (key, seen, drawn)


def test_on_paper_one_a4_page_holds_the_verdict_the_serial_and_every_item(crossed_check: pathlib.Path) -> None:
    pdf = crossed_check / "check.pdf"
    chromium(str(crossed_check / "profile"), "--no-pdf-header-footer", "--print-to-pdf=%s" % pdf,
             (crossed_check / "check.html").as_uri())
    info = subprocess.run(["pdfinfo", str(pdf)], capture_output=True, text=True, check=True).stdout
    assert "Pages:           1" in info
    # A4 in points, as pdfinfo gives it.
    assert "(A4)" in info, info
    text = subprocess.run(["pdftotext", "-layout", str(pdf), "-"], capture_output=True, text=True, check=True).stdout
    assert "FAIL" in text and "KV-0815" in text
    for item in json.loads((crossed_check / "check.json").read_text())["items"]:
        assert item["name"] in text, item["name"]
    assert "key 4 reported" in text


# Chromium's own calls home (its clock, its components), which no switch stops entirely; the
# page's requests are all the others.
CHROMIUMS_OWN = ("google.com", "googleapis.com", "gstatic.com", "gvt1.com")


def the_pages(requests: list[str]) -> list[str]:
    return [r for r in requests if not any(host + "/" in r or host + ":" in r for host in CHROMIUMS_OWN)]


class Proxy:
    """A proxy on 127.0.0.1 that answers nothing and counts every request that reaches it."""

    def __init__(self) -> None:
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(16)
        self.server.settimeout(0.2)
        self.port = self.server.getsockname()[1]
        self.requests: list[str] = []
        self._stop = False
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self) -> None:
        while not self._stop:
            try:
                connection, _ = self.server.accept()
            except OSError:
                continue
            with connection:
                connection.settimeout(1)
                try:
                    self.requests.append(connection.recv(4096).decode("latin-1").split("\r\n", 1)[0])
                except OSError:
                    self.requests.append("(nothing)")

    def close(self) -> None:
        self._stop = True
        self._thread.join()
        self.server.close()


def test_the_page_asks_nothing_of_the_network(crossed_check: pathlib.Path) -> None:
    proxy = Proxy()
    try:
        def requests_of(page: pathlib.Path) -> list[str]:
            before = len(proxy.requests)
            chromium(str(crossed_check / "profile-net"), "--proxy-server=http://127.0.0.1:%d" % proxy.port,
                     "--proxy-bypass-list=<-loopback>", "--dump-dom", page.as_uri())
            return the_pages(proxy.requests[before:])

        # The trap works: a page that does fetch something is seen.
        bait = crossed_check / "bait.html"
        bait.write_text('<!DOCTYPE html><img src="http://kova.invalid/x.png">')
        assert requests_of(bait), "the proxy saw no request of a page that makes one"
        assert requests_of(crossed_check / "check.html") == []
    finally:
        proxy.close()


def test_a_pulled_link_shows_its_loss_and_reconnect_on_the_timeline(tmp_path: pathlib.Path) -> None:
    report = tmp_path / "permanence.json"
    with kova.Sim() as sim:
        with subprocess.Popen([KOVA_EN, "--permanence-test", "--com1", sim.link, "--duration", "12", "--report",
                               str(report)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as run:
            deadline = time.monotonic() + 20
            while len(sim.history()) < 6 and time.monotonic() < deadline:
                time.sleep(0.05)
            sim.unplug()
            time.sleep(1)
            sim.replug()
            out, err = run.communicate(timeout=60)
    assert run.returncode == 1, err
    page = tmp_path / "permanence.html"
    assert "Page: %s" % page in out
    moments = [m["what"] for m in json.loads(report.read_text())["timeline"]]
    assert "link lost" in moments and "reconnect" in moments
    pdf = tmp_path / "permanence.pdf"
    chromium(str(tmp_path / "profile"), "--no-pdf-header-footer", "--print-to-pdf=%s" % pdf, page.as_uri())
    text = subprocess.run(["pdftotext", str(pdf), "-"], capture_output=True, text=True, check=True).stdout
    assert "FAIL" in text and "lost " in text and "back " in text, text
