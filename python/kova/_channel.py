"""The pipes to one `kova_en --serve`: a reader thread that files every line it reads, and
waits on what it filed that always end by the caller's deadline.

The reader never dies of a line, and never lays one at the wrong door: a line that names a
command still waiting (its id) but cannot be taken is that command's ProtocolError; a line that
is not JSON, a reply to no command, an event it cannot read each become a ProtocolError in the
error stream (`errors`), which the caller reads when it likes, and reading goes on. No call gets
another's error, and no reply is dropped. When standard output ends, every waiter learns at once
that the program ended, with its exit status and the last lines of its standard error.

The `on_line` callback gets every JSON line on a thread of its own, after the reader has filed
it, so a callback may call the Panel (a command, a wait) without holding up the reading; what a
callback raises goes to the error stream too.
"""

from __future__ import annotations

import collections
import json
import queue
import subprocess
import threading
import time
from typing import Any, Callable, Mapping, Sequence

from .errors import KovaTimeout, ProgramEnded, ProtocolError
from .results import Event

# How many lines of standard error an error message quotes.
STDERR_TAIL = 20
# How many errors the error stream keeps (the latest), so that a program that writes garbage for
# days does not fill the memory; error_count counts them all.
ERRORS_KEPT = 1000


class Channel:
    def __init__(self, argv: Sequence[str], env: Mapping[str, str] | None,
                 on_line: Callable[[dict[str, Any]], None] | None) -> None:
        self.argv = list(argv)
        self._on_line = on_line
        self._cv = threading.Condition()
        self._write_lock = threading.Lock()
        self._next_id = 1
        self._pending: set[int] = set()
        self._abandoned: set[int] = set()
        self._replies: dict[int, dict[str, Any] | ProtocolError] = {}
        self._events: collections.deque[Event] = collections.deque()
        self._errors: collections.deque[Exception] = collections.deque(maxlen=ERRORS_KEPT)
        self.error_count = 0
        self._callbacks: queue.SimpleQueue[dict[str, Any] | None] = queue.SimpleQueue()
        self._stderr: collections.deque[str] = collections.deque(maxlen=STDERR_TAIL)
        self._ended = False
        self.end_told = False  # a caller has been told the program ended
        self.hello: dict[str, Any] | None = None
        try:
            self.process = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE,
                                            env=dict(env) if env is not None else None)
        except OSError as error:
            raise ProgramEnded("%s could not be started: %s" % (self.argv[0], error), None, []) from error
        self._threads = [threading.Thread(target=self._read, daemon=True, name="kova stdout"),
                         threading.Thread(target=self._read_stderr, daemon=True, name="kova stderr")]
        if on_line is not None:
            self._threads.append(threading.Thread(target=self._call_back, daemon=True, name="kova on_line"))
        for thread in self._threads:
            thread.start()

    # -- reading ---------------------------------------------------------------------------

    def _read(self) -> None:
        assert self.process.stdout is not None
        try:
            for raw in self.process.stdout:
                self._file(raw)
        except (OSError, ValueError):
            pass  # the pipe went away under us: the same as its end
        with self._cv:
            self._ended = True
            self._cv.notify_all()
        self._callbacks.put(None)

    def _call_back(self) -> None:
        assert self._on_line is not None
        while (line := self._callbacks.get()) is not None:
            try:
                self._on_line(line)
            except Exception as error:  # the callback's own fault: told, and the next line goes on
                self._error(error)

    def _file(self, raw: bytes) -> None:
        text = raw.decode("utf-8", "replace").rstrip("\r\n")
        try:
            line = json.loads(text)
            if not isinstance(line, dict):
                raise ValueError("not an object")
        except ValueError as error:
            self._error(ProtocolError("kova_en wrote a line that is not a JSON object (%s): %.200s"
                                      % (error, text), text))
            return
        try:
            if "ok" in line:
                self._reply(line, text)
            elif line.get("event") == "hello":
                with self._cv:
                    self.hello = line
                    self._cv.notify_all()
            elif isinstance(line.get("event"), str):
                event = Event.from_line(line)
                with self._cv:
                    self._events.append(event)
                    self._cv.notify_all()
            else:
                raise ValueError("neither a reply nor an event")
        except Exception as error:  # whatever the line was, the reader lives on
            problem = ProtocolError("kova_en wrote a line this client cannot take (%s): %.200s" % (error, text), text)
            if not self._answer(line.get("id"), problem):
                self._error(problem)
        if self._on_line is not None:
            self._callbacks.put(line)

    def _reply(self, line: dict[str, Any], text: str) -> None:
        ident = line.get("id")
        if self._answer(ident, line):
            return
        with self._cv:
            if isinstance(ident, int) and ident in self._abandoned:
                self._abandoned.discard(ident)
                return
        self._error(ProtocolError("kova_en answered a command this client did not send: %.200s" % text, text))

    def _answer(self, ident: Any, answer: dict[str, Any] | ProtocolError) -> bool:
        """Hands the answer to the command waiting under that id; False when none waits."""
        with self._cv:
            if not isinstance(ident, int) or isinstance(ident, bool) or ident not in self._pending:
                return False
            self._pending.discard(ident)
            self._replies[ident] = answer
            self._cv.notify_all()
            return True

    def _error(self, error: Exception) -> None:
        with self._cv:
            self._errors.append(error)
            self.error_count += 1

    @property
    def errors(self) -> list[Exception]:
        with self._cv:
            return list(self._errors)

    def _read_stderr(self) -> None:
        assert self.process.stderr is not None
        try:
            for raw in self.process.stderr:
                self._stderr.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
        except (OSError, ValueError):
            pass

    # -- waiting ---------------------------------------------------------------------------

    def _until(self, found: Callable[[], Any], timeout: float, what: str) -> Any:
        """What `found` returns once it is not None; raises a time-out at the deadline, and
        ProgramEnded when the output has ended."""
        deadline = time.monotonic() + max(0.0, timeout)
        with self._cv:
            while True:
                value = found()
                if value is not None:
                    return value
                if self._ended:
                    break
                left = deadline - time.monotonic()
                if left <= 0:
                    raise KovaTimeout("no %s within %.3g s" % (what, timeout))
                self._cv.wait(left)
        raise self.ended_error("kova_en ended while waiting for %s" % what, deadline)

    def ended_error(self, message: str, deadline: float | None = None) -> ProgramEnded:
        # Output closed: give the program a moment to be gone, so the status can be told.
        grace = 1.0 if deadline is None else min(1.0, max(0.0, deadline - time.monotonic()))
        try:
            status: int | None = self.process.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            status = None
            message += " (it closed its standard output and still runs)"
        for thread in self._threads[1:]:
            thread.join(timeout=0.5)
        self.end_told = True
        return ProgramEnded(message, status, list(self._stderr))

    def wait_hello(self, timeout: float) -> dict[str, Any]:
        return self._until(lambda: self.hello, timeout, "hello from kova_en")

    def request(self, cmd: str, fields: Mapping[str, Any], timeout: float) -> dict[str, Any]:
        """Sends one command and returns its reply line."""
        with self._cv:
            ident = self._next_id
            self._next_id += 1
            self._pending.add(ident)
        line = json.dumps(dict(fields, cmd=cmd, id=ident), ensure_ascii=False) + "\n"
        try:
            self.write(line.encode("utf-8"))
            reply = self._until(lambda: self._replies.pop(ident, None), timeout, "reply to %r" % cmd)
        finally:
            with self._cv:
                if ident in self._pending:  # given up on: its reply, should it come, is dropped
                    self._pending.discard(ident)
                    self._abandoned.add(ident)
        if isinstance(reply, ProtocolError):
            raise reply
        return reply

    def write(self, data: bytes) -> None:
        assert self.process.stdin is not None
        try:
            with self._write_lock:
                self.process.stdin.write(data)
                self.process.stdin.flush()
        except (BrokenPipeError, ValueError, OSError) as error:
            raise self.ended_error("kova_en no longer reads its commands") from error

    def take(self, match: Callable[[Event], bool], timeout: float, what: str, *,
             through: bool) -> tuple[Event, tuple[Event, ...]]:
        """The first queued event that matches, waiting for it. With `through` the events before
        it leave the queue with it (and are returned); otherwise they stay queued."""

        def find() -> tuple[Event, tuple[Event, ...]] | None:
            for index, event in enumerate(self._events):
                if match(event):
                    before = tuple(self._events[i] for i in range(index))
                    if through:
                        for _ in range(index + 1):
                            self._events.popleft()
                    else:
                        del self._events[index]
                    return event, before if through else ()
            return None

        return self._until(find, timeout, what)

    def queued(self) -> list[Event]:
        with self._cv:
            return list(self._events)

    def drain(self) -> list[Event]:
        with self._cv:
            events = list(self._events)
            self._events.clear()
            return events

    @property
    def stderr_tail(self) -> list[str]:
        return list(self._stderr)

    # -- ending ----------------------------------------------------------------------------

    def finish(self, timeout: float) -> int:
        """Ends the program: the end of its input asks it to close the port and exit; when it
        does not within `timeout`, it is killed. Returns its exit status."""
        if self.process.stdin is not None and not self.process.stdin.closed:
            try:
                with self._write_lock:
                    self.process.stdin.close()
            except OSError:
                pass
        try:
            status = self.process.wait(timeout=max(0.0, timeout))
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        for thread in self._threads:
            thread.join(timeout=2.0)
        for pipe in (self.process.stdout, self.process.stderr):
            if pipe is not None:
                pipe.close()
        return status

    def kill(self) -> None:
        """Ends the program at once (a start that failed): nothing is left running."""
        if self.process.poll() is None:
            self.process.kill()
        self.finish(5.0)

