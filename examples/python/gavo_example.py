#!/usr/bin/env python3
"""Stores a file through GAVO_Client from Python, with ctypes and the plain C interface
(include/gavo_client_c.h), reads it back, renames, tests and removes it, and shows a
failure coming back as a code with its error record. Checks every step: exit status 0
when all passed.

Usage: gavo_example.py [--lib LIBRARY] INI_FILE

LIBRARY defaults to $GAVO_CLIENT_LIB, else the library the system finds (libGAVO_Client.so.1).
The library writes its logs in the folder of the Python interpreter: run this from a virtual
environment made with "python3 -m venv --copies DIR" to give them a folder of your own.
"""
import argparse
import ctypes
import ctypes.util
import os
import sys

GAVO_READ, GAVO_WRITE, GAVO_CREATE = 0x01, 0x02, 0x08
GAVO_E_NOT_FOUND, GAVO_E_BAD_HANDLE = -102, -300


class GavoError(ctypes.Structure):
    """struct gavo_error: what a failed call reports besides its code."""
    _fields_ = [("code", ctypes.c_int32), ("os_error", ctypes.c_int32),
                ("message", ctypes.c_char * 256)]


def load(path):
    lib = ctypes.CDLL(path or os.environ.get("GAVO_CLIENT_LIB")
                      or ctypes.util.find_library("GAVO_Client") or "libGAVO_Client.so.1")
    i32, u32, i64, text = ctypes.c_int32, ctypes.c_uint32, ctypes.c_int64, ctypes.c_char_p
    err = ctypes.POINTER(GavoError)
    signatures = {
        "gavo_init": (i32, [text, err]),
        "gavo_shutdown": (i32, []),
        "gavo_open": (i32, [text, u32, err]),
        "gavo_open_ex": (i32, [text, u32, ctypes.POINTER(u32), err]),
        "gavo_read": (i32, [i32, ctypes.c_void_p, u32, err]),
        "gavo_write": (i32, [i32, ctypes.c_void_p, u32, err]),
        "gavo_seek": (i64, [i32, i64, u32, err]),
        "gavo_position": (i64, [i32, err]),
        "gavo_close": (i32, [i32, err]),
        "gavo_rename": (i32, [text, text, err]),
        "gavo_remove": (i32, [text, err]),
        "gavo_exists": (i32, [text, err]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(lib, name)
        function.restype, function.argtypes = result, arguments
    return lib


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lib")
    parser.add_argument("ini")
    args = parser.parse_args()
    gavo = load(args.lib)
    error = GavoError()
    failures = []

    def check(ok, what):
        print(("ok: " if ok else "FAILED: ") + what)
        if not ok:
            failures.append(what)

    buffer = ctypes.create_string_buffer(64)
    check(gavo.gavo_read(1, buffer, 64, error) == GAVO_E_BAD_HANDLE
          and error.code == GAVO_E_BAD_HANDLE, "a read before init: " + error.message.decode())
    if gavo.gavo_init(args.ini.encode(), error) != 0:
        print("gavo_init failed: " + error.message.decode())
        return 1

    data = b"hello from Python\n"
    file = gavo.gavo_open(b"python/hello.txt", GAVO_WRITE | GAVO_CREATE, error)
    check(file > 0, "open for writing")
    check(gavo.gavo_write(file, data, len(data), error) == len(data), "write")
    check(gavo.gavo_close(file, error) == 0, "close")

    length = ctypes.c_uint32()
    file = gavo.gavo_open_ex(b"python/hello.txt", GAVO_READ, ctypes.byref(length), error)
    check(file > 0 and length.value == len(data), "open_ex gives the length")
    count = gavo.gavo_read(file, buffer, len(buffer), error)
    check(buffer.raw[:count] == data, "read gives the bytes written")
    check(gavo.gavo_close(file, error) == 0, "close")

    check(gavo.gavo_rename(b"python/hello.txt", b"python/renamed.txt", error) == 0, "rename")
    check(gavo.gavo_exists(b"python/renamed.txt", error) == 1, "the new name exists")
    check(gavo.gavo_remove(b"python/renamed.txt", error) == 0, "remove")
    code = gavo.gavo_open(b"python/renamed.txt", GAVO_READ, error)
    check(code == GAVO_E_NOT_FOUND and error.code == code,
          "open of a removed file: " + error.message.decode())
    check(gavo.gavo_shutdown() == 0, "shutdown")
    print("gavo_example.py: " + ("checks FAILED" if failures else "all checks passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
