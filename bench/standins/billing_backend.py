"""A billing backend stand-in for the load benchmark: a small HTTP/1.1 server on 127.0.0.1.

Usage: billing_backend.py   (prints "ready PORT"; then reads commands on stdin, one a line)
  stop-after N  once N more connections are accepted, stops listening: the connections made
                until then (those in the kernel's accept queue too) are served to the end, any
                later connect is refused; prints "armed"
  start         listens again on the same port if it stopped; prints "started"

Each request is answered with a JSON body of what arrived: its path and query ("target"), so a
client can tell its answer from any other, its header lines as sent ("headers", [name, value]
pairs) and the body read by its Content-Length ("body", latin-1); plus two set-cookie lines and
a marker header. The connection is closed.
"""
import asyncio
import json
import socket
import sys


class Backend:
    def __init__(self):
        self.port = 0
        self.sock = None
        self.handlers = set()
        self.accepted, self.stop_after = 0, None

    def listen(self):
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", self.port))
        sock.listen(4096)
        sock.setblocking(False)
        self.port, self.sock = sock.getsockname()[1], sock
        asyncio.get_running_loop().add_reader(sock, self.accept_all)

    def accept_one(self):
        """Serves one connection the kernel has accepted; False when there is none."""
        try:
            conn, _ = self.sock.accept()
        except BlockingIOError:
            return False
        task = asyncio.create_task(self.answer(conn))
        self.handlers.add(task)
        task.add_done_callback(self.handlers.discard)
        return True

    def accept_all(self):
        while self.accept_one():
            self.accepted += 1
            if self.accepted == self.stop_after:
                self.stop()
                return

    def stop(self):
        asyncio.get_running_loop().remove_reader(self.sock)
        while self.accept_one():              # what the kernel accepted already is served too
            pass
        self.sock.close()
        self.sock = None

    async def answer(self, conn):
        conn.setblocking(False)
        reader, writer = await asyncio.open_connection(sock=conn)
        try:
            head = await reader.readuntil(b"\r\n\r\n")
            lines = head.decode("latin-1").split("\r\n")
            fields = [line.split(":", 1) for line in lines[1:] if line]
            length = next((int(value) for name, value in fields if name.lower() == "content-length"), 0)
            read = await reader.readexactly(length) if length else b""
            body = json.dumps({"target": lines[0].split(" ")[1], "body": read.decode("latin-1"),
                               "headers": [[name, value.strip()] for name, value in fields]}).encode()
            writer.write(b"HTTP/1.1 200 OK\r\ncontent-type: application/json\r\ncontent-length: %d\r\n"
                         b"x-backend: stand-in\r\nset-cookie: a=1; Path=/\r\nset-cookie: b=2; Path=/\r\n"
                         b"connection: close\r\n\r\n%s" % (len(body), body))
            await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            writer.close()


async def main():
    backend = Backend()
    backend.listen()
    print("ready", backend.port, flush=True)
    loop = asyncio.get_running_loop()
    while line := await loop.run_in_executor(None, sys.stdin.readline):
        command = line.strip()
        if command.startswith("stop-after "):
            backend.accepted, backend.stop_after = 0, int(command.split()[1])
            print("armed", flush=True)
        elif command == "start":
            if backend.sock is None:
                backend.listen()
            print("started", flush=True)


if __name__ == "__main__":
    asyncio.run(main())
