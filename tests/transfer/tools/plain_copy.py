#!/usr/bin/env python3
"""A copy that knows only the plain transfer format, for tests against Zingwell.

  plain_copy.py send ADDRESS PORT PATH
      connect, send name 0x5C size (8 bytes, least significant first) and the body,
      half-close, and wait for the receiver to close: exit 0 on an orderly close.
  plain_copy.py receive ADDRESS FOLDER
      print "listening PORT", accept one connection ("accepted", "first HEX" of its first
      bytes), store the file in FOLDER ("stored NAME SIZE"), close. Then, at SIGTERM, say
      "accepted" for every connection still waiting and exit.
"""
import os
import signal
import socket
import struct
import sys


def send(address, port, path):
    name = os.fsencode(path).replace(b"\\", b"/").rsplit(b"/", 1)[-1]
    with open(path, "rb") as f:
        body = f.read()
    with socket.create_connection((address, int(port)), timeout=60) as s:
        s.sendall(name + b"\x5c" + struct.pack("<Q", len(body)) + body)
        s.shutdown(socket.SHUT_WR)
        try:
            while s.recv(65536):
                pass
        except ConnectionResetError:
            return 1
    return 0


def read_until_end(conn):
    """The bytes that came, and whether the stream ended in order."""
    data = bytearray()
    while True:
        try:
            piece = conn.recv(1 << 20)
        except OSError:
            return bytes(data), False
        if not piece:
            return bytes(data), True
        data += piece


def receive(address, folder):
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
    listener = socket.socket()
    listener.bind((address, 0))
    listener.listen(8)
    print("listening", listener.getsockname()[1], flush=True)
    conn, _ = listener.accept()
    conn.settimeout(60)
    print("accepted", flush=True)
    data, whole = read_until_end(conn)
    print("first", data[:8].hex(), flush=True)
    if not whole:
        print("reset", flush=True)
    name, _, rest = data.partition(b"\x5c")
    size = struct.unpack("<Q", rest[:8])[0] if len(rest) >= 8 else -1
    body = rest[8:]
    if whole and size == len(body) and name and b"/" not in name and name not in (b".", b".."):
        with open(os.path.join(os.fsencode(folder), name), "wb") as f:
            f.write(body)
        print("stored", os.fsdecode(name), size, flush=True)
    conn.close()
    signal.sigwait({signal.SIGTERM})
    listener.setblocking(False)
    while True:
        try:
            listener.accept()[0].close()
        except BlockingIOError:
            break
        print("accepted", flush=True)
    print("end", flush=True)
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "send":
        sys.exit(send(*sys.argv[2:]))
    if len(sys.argv) == 4 and sys.argv[1] == "receive":
        sys.exit(receive(*sys.argv[2:]))
    sys.exit(2)
