"""The typed answers of the panel: each keeps the program's line in `raw` for anything newer.

Times are seconds (floats) since kova_en started, where the program counts milliseconds.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Mapping


def _seconds(line: Mapping[str, Any]) -> float:
    return float(line.get("t_ms", 0)) / 1000.0


def _by_result(counts: Mapping[str, Any] | None) -> dict[int, int]:
    return {int(result): int(n) for result, n in (counts or {}).items()}


@dataclass(frozen=True)
class Exchange:
    """A telegram the panel took (result 0); `reply` the block it answered, when one was asked for;
    `tries` how often it went out (again when a report of the panel's crossed it)."""

    result: int
    reply: bytes | None
    raw: dict[str, Any] = field(repr=False, compare=False)
    tries: int = 1

    @classmethod
    def from_line(cls, line: Mapping[str, Any]) -> "Exchange":
        reply = line.get("reply")
        return cls(int(line.get("result", 0)), bytes.fromhex(reply) if isinstance(reply, str) else None, dict(line),
                   int(line.get("tries", 1)))


@dataclass(frozen=True)
class Connected:
    """The outcome of a connect that reached the panel."""

    found: bool
    link: bool
    variant: int
    selector1: int
    selector2: int
    raw: dict[str, Any] = field(repr=False, compare=False)

    @classmethod
    def from_line(cls, line: Mapping[str, Any]) -> "Connected":
        return cls(bool(line.get("found")), bool(line.get("link")), int(line.get("variant", 0)),
                   int(line.get("selector1", 0)), int(line.get("selector2", 0)), dict(line))


@dataclass(frozen=True, kw_only=True)
class Hello(Connected):
    """What kova_en found when it started: the port, and the panel when there was one (the
    outcome of its first connect)."""

    protocol: int
    version: str
    port: str
    device: str
    baud: int

    @classmethod
    def from_line(cls, line: Mapping[str, Any]) -> "Hello":
        connected = Connected.from_line(line)
        return cls(found=connected.found, link=connected.link, variant=connected.variant,
                   selector1=connected.selector1, selector2=connected.selector2, raw=connected.raw,
                   protocol=int(line["protocol"]), version=str(line.get("version", "")),
                   port=str(line.get("port", "")), device=str(line.get("device", "")),
                   baud=int(line.get("baud", 0)))


@dataclass(frozen=True)
class State:
    """What was last sent to the panel and heard from it. `leds[0]` is key 1's LED."""

    link: bool
    variant: int
    port: str
    device: str
    baud: int
    leds: tuple[str, ...]
    key: int
    selector1: int
    selector2: int
    rows: tuple[str, ...]
    raw: dict[str, Any] = field(repr=False, compare=False)

    @classmethod
    def from_line(cls, line: Mapping[str, Any]) -> "State":
        return cls(bool(line.get("link")), int(line.get("variant", 0)), str(line.get("port", "")),
                   str(line.get("device", "")), int(line.get("baud", 0)), tuple(line.get("leds", ())),
                   int(line.get("key", 0)), int(line.get("selector1", 0)), int(line.get("selector2", 0)),
                   tuple(line.get("rows", ())), dict(line))


@dataclass(frozen=True)
class Stats:
    """The link's exchanges by block result (0 done, 33, 34, 255), as the reports count them."""

    sent: dict[int, int]
    received: dict[int, int]
    not_sent_link_closed: int
    link_losses: int
    connects: int
    raw: dict[str, Any] = field(repr=False, compare=False)

    @property
    def failed(self) -> int:
        """Exchanges in either direction that did not end 0."""
        return sum(n for result, n in self.sent.items() if result != 0) + sum(
            n for result, n in self.received.items() if result != 0)

    @classmethod
    def from_line(cls, line: Mapping[str, Any]) -> "Stats":
        return cls(_by_result(line.get("sent")), _by_result(line.get("received")),
                   int(line.get("not_sent_link_closed", 0)), int(line.get("link_losses", 0)),
                   int(line.get("connects", 0)), dict(line))


@dataclass(frozen=True)
class Event:
    """Something the panel reported, or the link did: `kind` is "key", "release", "selector",
    "report", "link_lost" or "link_up"; `t` seconds since kova_en started."""

    kind: str
    t: float
    key: int = 0
    which: int = 0
    position: int = 0
    telegram: bytes = b""
    raw: dict[str, Any] = field(default_factory=dict, repr=False, compare=False)

    @classmethod
    def from_line(cls, line: Mapping[str, Any]) -> "Event":
        telegram = line.get("telegram")
        return cls(str(line["event"]), _seconds(line), int(line.get("key", 0)), int(line.get("which", 0)),
                   int(line.get("position", 0)), bytes.fromhex(telegram) if isinstance(telegram, str) else b"",
                   dict(line))


@dataclass(frozen=True)
class Waited:
    """The event a wait was for, and the events that came before it on the way (in order)."""

    event: Event
    before: tuple[Event, ...] = ()

    @property
    def key(self) -> int:
        return self.event.key

    @property
    def position(self) -> int:
        return self.event.position

    @property
    def t(self) -> float:
        return self.event.t
