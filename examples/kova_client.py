"""A small client for `kova_en --serve`, on the Python standard library alone.

    from kova_client import KovaClient

    with KovaClient(["kova_en", "--serve", "--port", "1"]) as kova:
        print(kova.hello)                       # what the connect found
        kova.command("led", key=3, state="on")  # the reply, once the panel took the telegram
        kova.command("wait", **{"for": "key", "value": 3, "timeout_ms": 10000})
        event = kova.next_event("key", timeout=5)

Every command gets an id; its reply is matched by that id, and the events that arrive meanwhile
are kept in order for next_event. A reply with "ok": false raises KovaError unless check=False.
"""

import json
import queue
import subprocess
import threading
import time

PROTOCOL = 1


class KovaError(Exception):
    """A command the program answered with "ok": false; .reply holds the whole reply."""

    def __init__(self, reply):
        super().__init__(reply.get("error", "failed"))
        self.reply = reply


class KovaClient:
    def __init__(self, argv, stderr=None, hello_timeout=10.0):
        self.process = subprocess.Popen(
            argv,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=stderr,
            bufsize=0,
        )
        self._next_id = 1
        self._replies = {}
        self._events = queue.Queue()
        self._lock = threading.Condition()
        self._closed = False
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.hello = self.next_event("hello", timeout=hello_timeout)
        if self.hello.get("protocol") != PROTOCOL:
            raise RuntimeError("kova_en speaks protocol %r, this client %d" % (self.hello.get("protocol"), PROTOCOL))

    def _read(self):
        for raw in self.process.stdout:
            message = json.loads(raw)
            if "event" in message and "ok" not in message:
                self._events.put(message)
                continue
            with self._lock:
                self._replies[message.get("id")] = message
                self._lock.notify_all()
        with self._lock:
            self._closed = True
            self._lock.notify_all()
        self._events.put(None)

    def send(self, cmd, **fields):
        """Sends a command and returns its id without waiting for the reply."""
        with self._lock:
            ident = self._next_id
            self._next_id += 1
        line = json.dumps(dict(fields, cmd=cmd, id=ident), ensure_ascii=False) + "\n"
        self.process.stdin.write(line.encode("utf-8"))
        self.process.stdin.flush()
        return ident

    def reply(self, ident, timeout=30.0, check=True):
        """The reply to the command with this id."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while ident not in self._replies:
                left = deadline - time.monotonic()
                if self._closed or left <= 0:
                    raise TimeoutError("no reply to command %d" % ident)
                self._lock.wait(left)
            message = self._replies.pop(ident)
        if check and not message.get("ok"):
            raise KovaError(message)
        return message

    def command(self, cmd, timeout=30.0, check=True, **fields):
        """Sends a command and waits for its reply."""
        return self.reply(self.send(cmd, **fields), timeout=timeout, check=check)

    def next_event(self, kind=None, timeout=10.0):
        """The next event (of that kind, when given; others before it are dropped)."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no %s event" % (kind or "such"))
            try:
                event = self._events.get(timeout=left)
            except queue.Empty:
                continue
            if event is None:
                raise EOFError("kova_en ended")
            if kind is None or event.get("event") == kind:
                return event

    def close(self, timeout=10.0):
        """Asks the program to quit and returns its exit status."""
        if self.process.poll() is None:
            try:
                self.process.stdin.close()
            except BrokenPipeError:
                pass
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
