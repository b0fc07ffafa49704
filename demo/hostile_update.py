#!/usr/bin/env python3
"""A hostile terminal server for the demonstration: pushes an add-in file.

Starts the Remote Desktop client host double on the PC's add-in, connects as
the server NAME, asks for the file version as an honest server would, sends
FILE as a download in pieces, and prints what the add-in answered.

    hostile_update.py NAME FILE HOST_COMMAND... LIBRARY
The host double is started as HOST_COMMAND... LIBRARY PORT.
"""
import socket
import struct
import subprocess
import sys
import os

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common", "doubles"))
from simlink import CLIENT_WRITE, CONNECT, DISCONNECT, SERVER_WRITE, frame, recv_exact  # noqa: E402

CMD_GETFILEVER, CMD_DOWNLOAD = 2, 3
PIECE = 150000     # a piece as large as the server's, in several blocks
BLOCK_DATA = 6392  # one block: 8 bytes of header and at most this much


class Link:
    def __init__(self, conn):
        self.conn = conn
        self.stream = b""

    def request(self, cmd, payload=b""):
        message = struct.pack("<IHH", len(payload), cmd, 0xFFFF) + payload
        for seq, at in enumerate(range(0, len(message), BLOCK_DATA)):
            data = message[at:at + BLOCK_DATA]
            flags = (1 if at == 0 else 0) | (2 if at + BLOCK_DATA >= len(message) else 0)
            self.conn.sendall(frame(SERVER_WRITE, struct.pack("<IHH", len(data), seq, flags) + data))
        while len(self.stream) < 8 or len(self.stream) < 8 + struct.unpack_from("<I", self.stream)[0]:
            kind, length = struct.unpack("<II", recv_exact(self.conn, 8))
            payload_in = recv_exact(self.conn, length)
            if kind == CLIENT_WRITE:
                self.stream += payload_in
        length, rcmd, res = struct.unpack_from("<IHH", self.stream)
        body, self.stream = self.stream[8:8 + length], self.stream[8 + length:]
        return res, body


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    name, path = sys.argv[1], sys.argv[2]
    data = open(path, "rb").read()
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(60)
    host = subprocess.Popen(sys.argv[3:] + [str(listener.getsockname()[1])],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        conn, _ = listener.accept()
        conn.settimeout(60)
        conn.sendall(frame(CONNECT, (name + "\0").encode("utf-16-le")))
        link = Link(conn)
        res, body = link.request(CMD_GETFILEVER)
        can_update = struct.unpack_from("<I", body)[0]
        end = 4
        while body[end:end + 2] != b"\0\0":
            end += 2
        own = body[4:end].decode("utf-16-le")
        ms, ls = struct.unpack_from("<II", body, end + 2)
        print("  version query: can update %d, %s %d.%d.%d.%d"
              % (can_update, own, ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))
        status = None
        for done in range(0, len(data), PIECE):
            piece = data[done:done + PIECE]
            head = struct.pack("<I", len(data)) + (own + "\0").encode("utf-16-le") if done == 0 else struct.pack("<I", 0)
            status, _ = link.request(CMD_DOWNLOAD, head + struct.pack("<I", len(piece)) + piece)
            if status != 0:
                break
        print("  download of %d bytes: status %d%s" % (len(data), status, " (refused)" if status == 4 else ""))
        conn.sendall(frame(DISCONNECT))
        conn.close()
    finally:
        listener.close()
        host.wait(timeout=60)
    sys.exit(0 if status == 4 else 1)


if __name__ == "__main__":
    main()
