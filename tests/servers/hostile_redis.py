"""A fake Redis on a loopback port that answers every command with one kind of
wrong reply: what the hostile-server tests point both hosts' engines at.

MODES maps a name to what the server writes back; "trickle" and "huge" keep
writing (one byte every 40 ms; a 2 GB bulk string announced, then sent 64 KB
at a time) until the client gives up."""
import socket
import threading
import time

MODES = {
    "simple string": b"+OK\r\n",
    "integer": b":1\r\n",
    "nil": b"$-1\r\n",
    "error": b"-ERR something else\r\n",
    "wrong text": b"$5\r\nhello\r\n",
    "short array": b"*1\r\n$1\r\n1\r\n",
    "decision inside an array": b"*1\r\n$7\r\n1 5 abc\r\n",
    "nested 100,000 deep": b"*1\r\n" * 100_000 + b":1\r\n",
    "closed mid-reply": b"$10\r\n1 5",
    "trickle": b"",
    "huge": b"",
}


def _command_names(data):
    """The first word of each command in one read of RESP arrays."""
    names = []
    lines = data.split(b"\r\n")
    at = 0
    while at < len(lines) and lines[at].startswith(b"*"):
        count = int(lines[at][1:] or 0)
        if count < 1 or at + 2 >= len(lines):
            break
        names.append(lines[at + 2])
        at += 1 + 2 * count
    return names


class HostileServer:
    """Serves one mode on `port` (a free one when 0) until stop(), which closes
    the listener and every connection so a real Redis can take the port."""

    def __init__(self, mode, port=0):
        self.mode = mode
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.connections = []
        self.stopped = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.stopped.is_set():
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.connections.append(connection)
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        try:
            while not self.stopped.is_set():
                data = connection.recv(65536)
                if not data:
                    break
                # A client's greeting and ready check (ioredis's CLIENT SETINFO and
                # INFO) pass, so that the wrong replies reach the checks.
                names = [word.lower() for word in _command_names(data)]
                if names and all(name in (b"client", b"info") for name in names):
                    connection.sendall(b"".join(b"+OK\r\n" if name == b"client"
                                                else b"$8\r\n# Server\r\n" for name in names))
                    continue
                if self.mode == "trickle":
                    connection.sendall(b"$100\r\n")
                    while not self.stopped.wait(0.04):
                        connection.sendall(b"1")
                elif self.mode == "huge":
                    connection.sendall(b"$2000000000\r\n")
                    chunk = b"1" * 65536
                    while not self.stopped.wait(0.01):
                        connection.sendall(chunk)
                else:
                    connection.sendall(MODES[self.mode])
                    if self.mode == "closed mid-reply":
                        break
        except OSError:
            pass
        finally:
            connection.close()

    def stop(self):
        self.stopped.set()
        self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread
        self.listener.close()
        for connection in self.connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            connection.close()
        time.sleep(0.05)
