"""What can go wrong between a script and the panel, one exception type for each kind.

Everything raised here is a KovaError, so one `except KovaError` catches it all; the subclasses
let a test tell a panel that refused a telegram from a link that is down, a wait that ran out,
a program that died and a program that speaks something else.
"""

from __future__ import annotations

from typing import Any, Mapping, Sequence

# The block results of the link, as kova_en reports them.
RESULT_DONE = 0
RESULT_NO_BYTE = 33
RESULT_REFUSED = 34
RESULT_CLOSED = 255


class KovaError(Exception):
    """Anything that went wrong; `reply` holds the program's line when there was one."""

    def __init__(self, message: str, reply: Mapping[str, Any] | None = None) -> None:
        super().__init__(message)
        self.reply: dict[str, Any] = dict(reply or {})


class CommandError(KovaError):
    """kova_en would not take the command (a field out of range, an unknown command); nothing was sent."""


class BlockError(KovaError):
    """The telegram went out but its block did not end 0; `result` says how (33, 34 or 255)."""

    def __init__(self, message: str, result: int, reply: Mapping[str, Any] | None = None) -> None:
        super().__init__("%s (result %d)" % (message, result), reply)
        self.result = result


class PanelRefused(BlockError):
    """The panel refused the telegram, or answered with something that is not a block (34)."""


class LinkClosed(BlockError):
    """The link is closed or the panel did not answer in time (255); nothing reached the panel."""


class NotFound(KovaError):
    """A connect found no panel on the port, or the port could not be opened."""


class KovaTimeout(KovaError, TimeoutError):
    """A reply or an event did not come within the time the caller gave."""


class ProgramEnded(KovaError):
    """kova_en ended, or closed its standard output, while the caller waited for it.

    `status` is its exit status (negative: the signal that ended it; None: still running, its
    output closed); `stderr` the last lines it wrote to standard error.
    """

    def __init__(self, message: str, status: int | None, stderr: Sequence[str]) -> None:
        tail = "".join("\n  " + line for line in stderr)
        super().__init__(message + (":" + tail if tail else ""))
        self.status = status
        self.stderr = list(stderr)


class ProtocolError(KovaError):
    """kova_en said something this client cannot take: another protocol, a line that is not
    JSON, a reply to no command it sent. The line stands in `line`."""

    def __init__(self, message: str, line: str = "") -> None:
        super().__init__(message)
        self.line = line


def block_error(reply: Mapping[str, Any]) -> KovaError:
    """The exception for a reply with "ok": false."""
    message = str(reply.get("error", "failed"))
    result = reply.get("result")
    if not isinstance(result, int) or isinstance(result, bool):
        return CommandError(message, reply)
    if result == RESULT_REFUSED:
        return PanelRefused(message, result, reply)
    if result == RESULT_CLOSED:
        return LinkClosed(message, result, reply)
    return BlockError(message, result, reply)
