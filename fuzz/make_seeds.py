#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Seeds are valid requests (server targets) and valid replies (client target) of every
opcode, plus a few refusals. Files whose names start with "crash-" are reproducers of
findings and are never written or removed here. Run from anywhere:
    python3 fuzz/make_seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def be16(v):
    return struct.pack(">H", v & 0xFFFF)


def be32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)


def name(text):
    raw = text.encode("latin-1") + b"\0"
    return be16(len(raw)) + raw


def write(target, label, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + label), "wb") as f:
        f.write(data)


# ---- server_request: chunk selector, then the raw request stream.
def open_req(flags, path, op=1):
    return be16(op) + be16(flags) + name(path)


REQUESTS = {
    "open-read-close": open_req(1, "a.txt") + be16(3) + be16(0) + be32(100) + be16(2) + be16(0),
    "create-write-close": open_req(0x0B, "new/dir/f.txt") + be16(4) + be16(0) + be32(5)
    + b"hello" + be16(2) + be16(0),
    "openex-read": open_req(1, "d/b.txt", op=5) + be16(3) + be16(0) + be32(70000),
    "rename-remove-exists": be16(6) + name("a.txt") + name("d/moved.txt") + be16(7)
    + name("d/moved.txt") + be16(8) + name("a.txt") + be16(8) + name("d"),
    "tables": be16(16) + name("events") + be16(19) + be16(0) + b"one record\n" + be16(17)
    + be16(0),
    "escapes": open_req(0x0B, "../canary/secret.txt") + open_req(0x0A, "out/secret.txt")
    + open_req(0x0A, "secret") + open_req(0x0B, "d/abs") + be16(6) + name("out")
    + name("x") + be16(7) + name("out/secret.txt") + be16(8) + name("..\\canary"),
    "sharing": open_req(0x21, "a.txt") + open_req(0x01, "a.txt") + be16(7) + name("a.txt")
    + be16(6) + name("a.txt") + name("z.txt"),
    "bad-write-count": open_req(0x0B, "w.txt") + be16(4) + be16(0) + be32(-5),
    "unknown-opcode": be16(99) + b"\0" * 8,
    "long-name": open_req(0x0B, "x" * 600) + be16(8) + name("y" * 499),
    "listing": be16(0x0101) + name("") + name("") + be16(0x0101) + name("d") + name("a.txt")
    + be16(0x0102) + name("d/b.txt") + be16(0x0102) + name("/") + be16(0x0103) + name("d")
    + be16(0x0101) + name("../canary") + name("") + be16(0x0101) + name("d") + name("x" * 300),
}
for i, (label, stream) in enumerate(REQUESTS.items()):
    for selector in (0x00, 0x07, 0xF3):
        write("server_request", "%s-%02x" % (label, selector), bytes([selector]) + stream)

# ---- request_decoder: split seed, record framing (bit 0 fixed, the rest its size;
# 0xFF none), then the stream.
for label, stream in REQUESTS.items():
    for prefix in (b"\x00\x10", b"\x07\x09", b"\xF3\xFF"):
        write("request_decoder", "%s-%02x" % (label, prefix[0]), prefix + stream)

# ---- proxy_header: what a proxy sends before its client's bytes.
PROXY_SIG = b"\r\n\r\n\0\r\nQUIT\n"
V4 = bytes([10, 0, 0, 7, 127, 0, 0, 1, 0x1F, 0x90, 0x1B, 0xBC])
V6 = bytes([0x20, 1, 0x0D, 0xB8] + [0] * 11 + [5] + [0] * 16 + [1, 0xBB, 0, 0x50])
for label, data in {
    "tcp4": PROXY_SIG + b"\x21\x11" + be16(len(V4)) + V4,
    "tcp6-tlv": PROXY_SIG + b"\x21\x21" + be16(len(V6) + 4) + V6 + b"\x04\x00\x01X",
    "local": PROXY_SIG + b"\x20\x00" + be16(0),
    "short-block": PROXY_SIG + b"\x21\x11" + be16(8) + V4[:8],
}.items():
    write("proxy_header", label, data)

# ---- server_session: decoder bytes (see server_session.cpp).
(OPEN, CLOSE, READ, WRITE, OPENEX, RENAME, REMOVE, EXISTS, TOPEN, TWRITE, TCLOSE, LIST,
 STAT, RMDIR, BREAK) = range(15)
SESSION = {
    "open-read-close": [OPEN, 0, 0, READ, 0, 100, CLOSE, 0],
    "create-write-read": [OPEN, 4, 5, WRITE, 0, 0xC1, CLOSE, 0, OPENEX, 0, 5, READ, 0, 0xA0,
                          CLOSE, 0],
    "rename-open-file": [OPEN, 2, 0, RENAME, 0, 1, REMOVE, 0, CLOSE, 0, RENAME, 0, 1,
                         EXISTS, 1, EXISTS, 0],
    "escapes": [OPEN, 4, 9, OPEN, 3, 10, OPEN, 3, 12, OPEN, 3, 13, RENAME, 11, 1, REMOVE, 10,
                EXISTS, 9],
    "many-handles": [OPEN, 0, 0] * 70,
    "break-framing": [OPEN, 0, 0, BREAK, 1, 0, 5],
    "table-flags-on-archive": [OPENEX, 19, 0, WRITE, 0, 10, CLOSE, 0],
    "tables": [TOPEN, 0, TWRITE, 0, 3, TOPEN, 1, TWRITE, 1, 9, TOPEN, 2, TWRITE, 2, 0,
               TCLOSE, 0, CLOSE, 1, TOPEN, 4, TOPEN, 6],
    "table-break": [TOPEN, 1, BREAK, 4, 0, 5, 1, 2, 3, 4, 5],
    "listing": [LIST, 0, 0, LIST, 0x90, 0, 2, STAT, 2, STAT, 9, RMDIR, 4, LIST, 0xC5, 3, 1,
                2, 3, 0],
}
for label, ops in SESSION.items():
    write("server_session", label, bytes(ops))

# ---- client_reply: piece, faults, op count - 1, op bytes, then the replies.
def client(piece, faults, ops, replies):
    return bytes([piece, faults, len(ops) - 1] + ops) + replies


OK16, OK32 = be16(0), be32(0)
CLIENT = {
    "open-read-close": client(0xFF, 0, [0x00, 0x42, 0x05],
                              be16(3) + be32(5) + b"hello" + OK16),
    "openex-close": client(0x03, 0, [0x01, 0x05], be16(3) + be32(100) + OK16),
    "write-writeex": client(0xFF, 0, [0x40, 0x43, 0x44, 0x05],
                            be16(1) + be32(16) + be32(16) + OK16),
    "names": client(0xFF, 0, [0x06, 0x07, 0x08], OK32 + OK32 + be32(1)),
    "table-write": client(0x00, 0, [0x09, 0x43, 0x05], be16(5) + be32(16) + OK16),
    "table-open-close": client(0xFF, 0, [0x0A, 0x05, 0x0D], be16(6) + OK16 + be16(7)),
    "server-codes": client(0xFF, 0, [0x20, 0x00, 0x42, 0x06, 0x08],
                           be16(-102) + be16(2) + be32(-105) + be32(-1) + be32(-103)),
    "read-too-long": client(0x05, 0, [0x00, 0x02, 0x42],
                            be16(2) + be32(16) + b"x" * 16 + be32(3) + b"abc"),
    "reconnect-on-minus-100": client(0xFF, 0, [0x40, 0x43, 0x43],
                                     be16(1) + be32(-100) + be32(16)),
    "send-fails": client(0xFF, 0x42, [0x00, 0x42, 0x05, 0x08], be16(1) + be32(1) + b"z"),
    "recv-fails": client(0xFF, 0x81, [0x00, 0x02, 0x08], be16(1) + be32(1) + b"z"),
    "fall-back-to-local": client(0xFF, 0xC2, [0x40, 0x43, 0x05, 0x08, 0x00, 0x42],
                                 be16(1) + be32(-100)),
    "restart": client(0xFF, 0, [0x00, 0x0B, 0x08], be16(1) + OK16 + be32(0)),
    "peer-closes": client(0xFF, 0, [0x00, 0x42, 0x05, 0x06], be16(1) + b"\0"),
}
for label, data in CLIENT.items():
    write("client_reply", label, data)
