"""A second RFC 2217 server for the network tests, beside ser2net: pyserial's PortManager over a
serial device (the virtual panel's pseudo-terminal), one client at a time, on 127.0.0.1 or ::1 at
a port the system picks. Prints "READY <port>" once it listens; runs until it is killed.

    rfc2217_server.py DEVICE [--host 127.0.0.1|::1] [--port N]
"""

import argparse
import errno
import select
import socket
import sys
import termios
import threading

import serial
import serial.rfc2217


class Connection:
    """What PortManager writes to: the client socket, set anew for each client."""

    def __init__(self):
        self.sock = None

    def write(self, data):
        if self.sock is not None:
            self.sock.sendall(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("device")
    parser.add_argument("--host", default="127.0.0.1", choices=["127.0.0.1", "::1"])
    parser.add_argument("--port", type=int, default=0, help="0: one the system picks")
    args = parser.parse_args()
    port = serial.serial_for_url(args.device, do_not_open=True)
    # A pseudo-terminal has no modem lines: the ioctls for DTR, RTS and break fail on it and would
    # end the client's connection. The settings are taken and acknowledged, and left at that.
    for name in ("_update_dtr_state", "_update_rts_state", "_update_break_state"):
        if hasattr(port, name):
            setattr(port, name, lambda *unused: None)
    # And no parity: the kernel drops PARENB on it and the C library reports that as EINVAL
    # after applying everything else. The server acknowledges what it was asked, as on a UART.
    reconfigure = port._reconfigure_port

    def reconfigure_on_pty(*args, **kwargs):
        try:
            reconfigure(*args, **kwargs)
        except termios.error as error:
            if error.args[0] != errno.EINVAL:
                raise

    port._reconfigure_port = reconfigure_on_pty
    port.timeout = 0.2
    port.open()
    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.host, args.port))
    listener.listen(1)
    print("READY %d" % listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        connection = Connection()
        connection.sock = client
        try:
            port.reset_input_buffer()
            serve_one(client, port, connection)
        finally:
            client.close()


def serve_one(client, port, connection):
    manager = serial.rfc2217.PortManager(port, connection)
    # Nor modem status lines to read: there is no change to tell.
    manager.check_modem_lines = lambda force_notification=False: None
    lock = threading.Lock()
    alive = [True]

    def send(data):
        with lock:
            client.sendall(data)

    connection.write = send  # answers and data go out through one lock

    def reader():
        while alive[0]:
            try:
                data = port.read(port.in_waiting or 1)
            except (serial.SerialException, OSError):
                break
            if data:
                try:
                    send(b"".join(manager.escape(data)))
                except OSError:
                    break

    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    try:
        while True:
            ready, _, _ = select.select([client], [], [], 1.0)
            if not ready:
                continue
            data = client.recv(4096)
            if not data:
                break
            port.write(b"".join(manager.filter(data)))
    except OSError as error:
        print("client ended: %s" % error, file=sys.stderr, flush=True)
    alive[0] = False
    thread.join(2)


if __name__ == "__main__":
    sys.exit(main())
