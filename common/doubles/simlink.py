"""The simulated Remote Desktop link (simlink.cpp) seen from a Python
script that plays the terminal server: the frame kinds and how a frame is
written and read."""
import struct

SERVER_WRITE, CLIENT_WRITE, CONNECT, DISCONNECT = 1, 2, 3, 4


def frame(kind, payload=b""):
    return struct.pack("<II", kind, len(payload)) + payload


def recv_exact(conn, n):
    data = b""
    while len(data) < n:
        part = conn.recv(n - len(data))
        if not part:
            raise EOFError("link closed")
        data += part
    return data
