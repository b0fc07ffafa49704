#!/usr/bin/env python3
"""The server's end of one simulated connection, for the installer test.

Starts the Remote Desktop client host double on an add-in library, connects,
asks for the file version (command 2) and prints the reply as
"<can-update> <file name> <version MS> <version LS>".

    addin_probe.py HOST_COMMAND... LIBRARY
The host double is started as HOST_COMMAND... LIBRARY PORT.
"""
import socket
import struct
import subprocess
import sys
import os

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "common", "doubles"))
from simlink import CLIENT_WRITE, CONNECT, DISCONNECT, SERVER_WRITE, frame, recv_exact  # noqa: E402

CMD_GETFILEVER = 2


def read_reply(conn):
    """Collects the client's byte stream until one whole reply is there."""
    stream = b""
    while True:
        kind, length = struct.unpack("<II", recv_exact(conn, 8))
        payload = recv_exact(conn, length)
        if kind != CLIENT_WRITE:
            continue
        stream += payload
        if len(stream) >= 8 and len(stream) >= 8 + struct.unpack_from("<I", stream)[0]:
            return stream


def main():
    if len(sys.argv) < 3:
        sys.exit("usage: addin_probe.py HOST_COMMAND... LIBRARY")
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(60)
    port = listener.getsockname()[1]
    host = subprocess.Popen(sys.argv[1:] + [str(port)])
    try:
        conn, _ = listener.accept()
        conn.settimeout(60)
        conn.sendall(frame(CONNECT, "installer-test\0".encode("utf-16-le")))
        message = struct.pack("<IHH", 0, CMD_GETFILEVER, 0xFFFF)
        block = struct.pack("<IHH", len(message), 0, 3) + message
        conn.sendall(frame(SERVER_WRITE, block))
        reply = read_reply(conn)
        length, cmd, res = struct.unpack_from("<IHH", reply)
        if cmd != CMD_GETFILEVER or res != 0:
            sys.exit("probe: reply cmd %d res %#x" % (cmd, res))
        body = reply[8:8 + length]
        can_update = struct.unpack_from("<I", body)[0]
        end = 4
        while body[end:end + 2] != b"\0\0":
            end += 2
        name = body[4:end].decode("utf-16-le")
        ms, ls = struct.unpack_from("<II", body, end + 2)
        print(can_update, name, "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))
        conn.sendall(frame(DISCONNECT))
        conn.close()
    finally:
        listener.close()
        code = host.wait(timeout=60)
    if code != 0:
        sys.exit("probe: host double exit code %d" % code)


if __name__ == "__main__":
    main()
