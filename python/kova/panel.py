"""kova.Panel: one panel, driven through a `kova_en --serve` this object starts and ends."""

from __future__ import annotations

import os
import re
import time
from typing import Any, Callable, Iterator, Mapping, Sequence

from ._channel import Channel
from .errors import KovaError, KovaTimeout, NotFound, ProtocolError, block_error
from .results import Connected, Event, Exchange, Hello, State, Stats, Waited

# The protocol of `kova_en --serve` this client speaks.
PROTOCOL = 1
LED_STATES = ("on", "off", "flash")
CELL_ATTRS = ("AC", "@C", "AB", "@B")


def _program(program: str | None) -> str:
    return program or os.environ.get("KOVA_EN") or "kova_en"


def _port_args(port: int | str | None) -> list[str]:
    """COM1/COM2 by number or name, or a device path for COM1."""
    if port is None:
        return []
    if isinstance(port, int) or re.fullmatch(r"(?i)(com)?[12]", str(port)):
        return ["--port", str(port)[-1]]
    return ["--port", "1", "--com1", os.fspath(port)]


class Events:
    """The panel's events in the order they came, none lost: what no wait and no `get` has taken
    stays queued. `len()`, iterating and `pending()` look at what is queued now and leave it
    there; `clear()` is the consuming form: it takes every queued event and returns them."""

    def __init__(self, channel: Channel) -> None:
        self._channel = channel

    def get(self, kind: str | None = None, timeout: float = 10.0,
            where: Callable[[Event], bool] | None = None) -> Event:
        """The first event of that kind (and that `where` accepts), waiting for it; the events
        before it stay queued."""
        return self._channel.take(lambda e: (kind is None or e.kind == kind) and (where is None or where(e)),
                                  timeout, "%s event" % (kind or "any"), through=False)[0]

    def watch(self, kind: str | None = None, timeout: float = 10.0,
              where: Callable[[Event], bool] | None = None) -> Iterator[Event]:
        """Yields (and takes) each matching event as it comes, queued ones first, until `timeout`
        seconds from the call have passed; the others stay queued."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                yield self.get(kind, max(0.0, deadline - time.monotonic()), where)
            except KovaTimeout:
                return

    def pending(self) -> list[Event]:
        """The queued events, left queued."""
        return self._channel.queued()

    def clear(self) -> list[Event]:
        """Takes every queued event (returned), so the next wait sees only what comes after."""
        return self._channel.drain()

    def __iter__(self) -> Iterator[Event]:
        return iter(self._channel.queued())

    def __len__(self) -> int:
        return len(self._channel.queued())


class Panel:
    """Starts `kova_en --serve` on a port and drives the panel on it.

    `port` is 1, 2, "COM1", "COM2", a device path or a serial device server's port as a URL
    ("rfc2217://HOST:PORT", "socket://HOST:PORT"; both taken as COM1); None leaves the choice to
    kova_en's own port setup. `timeout` bounds every command's reply, in seconds; the waits take
    their own. Use it as a context manager, or call `quit()`: the program ends either way.
    A start that fails (no hello, another protocol, the port not opened) leaves nothing running.
    `on_line` is called with each line kova_en writes (a dict), in order, on a thread of its own
    once the line is filed, so it may call this Panel; what it raises is kept in `errors`.
    """

    def __init__(self, port: int | str | None = None, baud: int | None = None, program: str | None = None, *,
                 args: Sequence[str] = (), env: Mapping[str, str] | None = None, timeout: float = 10.0,
                 start_timeout: float = 30.0, require_panel: bool = False,
                 on_line: Callable[[dict[str, Any]], None] | None = None) -> None:
        argv = [_program(program), "--serve", *_port_args(port)]
        if baud is not None:
            argv += ["--baud", str(int(baud))]
        argv += list(args)
        self.timeout = timeout
        self._channel = Channel(argv, env, on_line)
        try:
            line = self._channel.wait_hello(start_timeout)
            if line.get("protocol") != PROTOCOL:
                raise ProtocolError("kova_en speaks protocol %r, this client %d" % (line.get("protocol"), PROTOCOL),
                                    str(line))
            self.hello = Hello.from_line(line)
            if "error" in line:
                raise NotFound("the port could not be opened: %s" % line["error"], line)
            if require_panel and not self.hello.link:
                raise NotFound("KOVA not found on %s (%s)" % (self.hello.port, self.hello.device), line)
        except BaseException:
            self._channel.kill()
            raise
        self.events = Events(self._channel)
        self.exit_status: int | None = None

    # -- the commands --------------------------------------------------------------------

    def _command(self, cmd: str, timeout: float | None = None, **fields: Any) -> dict[str, Any]:
        reply = self._channel.request(cmd, fields, self.timeout if timeout is None else timeout)
        if not reply.get("ok"):
            raise block_error(reply)
        return reply

    def led(self, key: int, state: str = "on") -> Exchange:
        """Key `key`'s LED (1 to 12) on, off or flashing."""
        if state not in LED_STATES:
            raise ValueError("an LED is %s, not %r" % (", ".join(LED_STATES), state))
        return Exchange.from_line(self._command("led", key=key, state=state))

    def leds_off(self) -> Exchange:
        return Exchange.from_line(self._command("leds_off"))

    def text(self, rows: Sequence[str] | str) -> Exchange:
        """Up to 8 rows of up to 15 characters (a string is split at its line ends)."""
        if isinstance(rows, str):
            rows = rows.splitlines()
        return Exchange.from_line(self._command("text", rows=list(rows)))

    def cell(self, row: int, column: int, code: int, attr: str = "AC") -> Exchange:
        """One LCD cell: row 0 to 7, column 0 to 14, character code 128 to 255."""
        return Exchange.from_line(self._command("cell", row=row, column=column, attr=attr, code=code))

    def send(self, telegram: bytes | str, reply: bool = False) -> Exchange:
        """Any telegram (bytes, or hex such as "6C 2B"); with `reply` the block the panel answers."""
        hex_text = telegram.hex(" ").upper() if isinstance(telegram, (bytes, bytearray)) else str(telegram)
        fields: dict[str, Any] = {"hex": hex_text}
        if reply:
            fields["reply"] = True
        return Exchange.from_line(self._command("send", **fields))

    def state(self) -> State:
        return State.from_line(self._command("state"))

    def stats(self) -> Stats:
        return Stats.from_line(self._command("stats"))

    def connect(self, timeout: float = 30.0) -> Connected:
        """What Reset KOVA does; NotFound when no panel answers."""
        reply = self._channel.request("connect", {}, timeout)
        if not reply.get("ok"):
            raise NotFound(str(reply.get("error", "KOVA not found")), reply)
        return Connected.from_line(reply)

    def close(self) -> None:
        """Closes the port; kova_en stays up for a later `connect()`."""
        self._command("close")

    # -- waits ---------------------------------------------------------------------------

    def _wait(self, match: Callable[[Event], bool], timeout: float, what: str) -> Waited:
        event, before = self._channel.take(match, timeout, what, through=True)
        return Waited(event, before)

    def wait_key(self, key: int | None = None, timeout: float = 30.0) -> Waited:
        """The next key pressed (that key, when given), as the queue has it: a press that came
        before the call counts, so nothing slips past between lighting an LED and waiting. The
        events it passes over come with it in `before`."""
        return self._wait(lambda e: e.kind == "key" and key in (None, e.key), timeout,
                          "press of key %s" % (key or "any"))

    def wait_release(self, timeout: float = 30.0) -> Waited:
        return self._wait(lambda e: e.kind == "release", timeout, "key release")

    def wait_selector(self, which: int, position: int | None = None, timeout: float = 30.0) -> Waited:
        return self._wait(lambda e: e.kind == "selector" and e.which == which and position in (None, e.position),
                          timeout, "selector %d at %s" % (which, position or "any position"))

    # -- the program ---------------------------------------------------------------------

    @property
    def errors(self) -> list[Exception]:
        """What went wrong outside any call, oldest first: a ProtocolError for each line kova_en
        wrote that answers no command waiting (not JSON, a reply to no command, an event this
        client cannot read), and what an `on_line` callback raised. A line that belongs to a
        command is that command's error instead; nothing here is raised to a later call. The
        latest 1000 are kept; `error_count` counts them all."""
        return self._channel.errors

    @property
    def error_count(self) -> int:
        """How many errors `errors` has had in all."""
        return self._channel.error_count

    @property
    def stderr(self) -> list[str]:
        """The last lines kova_en wrote to standard error."""
        return self._channel.stderr_tail

    @property
    def process(self) -> Any:
        return self._channel.process

    @property
    def ended_early(self) -> bool:
        """A call has raised ProgramEnded: the program ended (or went silent) before quit()."""
        return self._channel.end_told

    def quit(self, timeout: float = 10.0) -> int:
        """Ends kova_en (the port closed, the LEDs left as they are) and returns its exit status;
        a program that does not end within `timeout` is killed."""
        if self.exit_status is None:
            self.exit_status = self._channel.finish(timeout)
        return self.exit_status

    def __enter__(self) -> "Panel":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.quit()


__all__ = ["Panel", "Events", "PROTOCOL", "KovaError"]
