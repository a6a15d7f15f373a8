#!/usr/bin/env python3
"""Writes the seeds of fuzz_langexc into FOLDER (tests/fuzz/corpus-langexc):
the memory of an EConvertError (parent Exception, then TObject) with its class
tables and message in Delphi 2009's, Delphi 2007's, Win64 XE5's and Free
Pascal's layouts, and a C++Builder type name. Each seed: a byte (bit 0 AMD64,
bits 1-2 the kind: 0 Delphi, 2 C++Builder, 3 Free Pascal), the object's
offset (4 bytes), then the memory from 0x10000.

  langexc_seeds.py FOLDER [NAMED]

With NAMED, also a copy of each under its name there (tests/data/langexc, read
by LanguageExceptionTest).
"""
import hashlib
import os
import struct
import sys

BASE = 0x10000


def seed(flags, obj, memory):
    return bytes([flags]) + struct.pack("<I", obj) + bytes(memory)


def delphi(self_off, name_off, word, unicode):
    m = bytearray(0x1000)
    p = "<I" if word == 4 else "<Q"
    names = {}
    at = 0x100
    for n in ("EConvertError", "Exception", "TObject"):
        names[n] = at
        m[at] = len(n)
        m[at + 1:at + 1 + len(n)] = n.encode()
        at += 0x20
    vmts = {"EConvertError": 0x400, "Exception": 0x700, "TObject": 0xA00}
    cells = {"Exception": 0xD00, "TObject": 0xD10}
    parent = {"EConvertError": "Exception", "Exception": "TObject", "TObject": None}
    for n, v in vmts.items():
        struct.pack_into(p, m, v + self_off, BASE + v)
        struct.pack_into(p, m, v + name_off, BASE + names[n])
        struct.pack_into(p, m, v + name_off + word, 2 * word)
        up = parent[n]
        struct.pack_into(p, m, v + name_off + 2 * word, BASE + cells[up] if up else 0)
        if up:
            struct.pack_into(p, m, cells[up], BASE + vmts[up])
    obj, text = 0xE00, "'abc' is not a valid integer value"
    struct.pack_into(p, m, obj, BASE + vmts["EConvertError"])
    chars = text.encode("utf-16-le" if unicode else "latin-1")
    if unicode:
        struct.pack_into("<HHiI", m, 0xF00 - 12, 1200, 2, 1, len(text))
    else:
        struct.pack_into("<iI", m, 0xF00 - 8, 1, len(text))
    m[0xF00:0xF00 + len(chars)] = chars
    struct.pack_into(p, m, obj + word, BASE + 0xF00)
    return seed(0 if word == 4 else 1, obj, m)


def fpc():
    m = bytearray(0x800)
    names = {"EConvertError": 0x100, "Exception": 0x120, "TObject": 0x140}
    for n, at in names.items():
        m[at] = len(n)
        m[at + 1:at + 1 + len(n)] = n.encode()
    vmts = {"EConvertError": 0x200, "Exception": 0x300, "TObject": 0x400}
    cells = {"Exception": 0x500, "TObject": 0x510}
    parent = {"EConvertError": "Exception", "Exception": "TObject", "TObject": None}
    for n, v in vmts.items():
        up = parent[n]
        struct.pack_into("<iiII", m, v, 12, -12, BASE + cells[up] if up else 0, BASE + names[n])
        if up:
            struct.pack_into("<I", m, cells[up], BASE + vmts[up])
    text = '"abc" is an invalid integer'
    struct.pack_into("<HHiI", m, 0x700 - 12, 0, 1, 1, len(text))
    m[0x700:0x700 + len(text)] = text.encode()
    struct.pack_into("<II", m, 0x600, BASE + vmts["EConvertError"], BASE + 0x700)
    return seed(6, 0x600, m)


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    seeds = {"delphi2009-win32": delphi(-88, -56, 4, True), "delphi2007-win32": delphi(-76, -44, 4, False),
             "xe5-win64": delphi(-200, -136, 8, True), "xe2-win64": delphi(-176, -112, 8, True), "fpc-win32": fpc(),
             "cppbuilder-win32": seed(4, 0x10, b"\0" * 16 + b"std::runtime_error\0")}
    for name, s in seeds.items():
        open(os.path.join(folder, hashlib.sha1(s).hexdigest()), "wb").write(s)
        if len(sys.argv) > 2:
            os.makedirs(sys.argv[2], exist_ok=True)
            open(os.path.join(sys.argv[2], name + ".mem"), "wb").write(s)


main()
