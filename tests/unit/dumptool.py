#!/usr/bin/env python3
"""Small edits of real minidumps and executables for the shell tests.

  dumptool.py stamp FILE                    the TimeDateStamp of an executable (hex)
  dumptool.py restamp FILE OUT STAMP        a copy with another TimeDateStamp
  dumptool.py module-stamp DUMP OUT NAME STAMP
                                            a copy of a dump whose module NAME has another TimeDateStamp
  dumptool.py grow DUMP OUT SIZE            a copy grown to SIZE bytes (a sparse file) whose crashing
                                            thread's stack bytes are moved to its last MB
  dumptool.py run OUT ERR PROGRAM ARGS...   runs PROGRAM, prints "SECONDS PEAK-KB" (its peak resident memory,
                                            through /usr/bin/time where there is one)
"""
import os
import resource
import struct
import subprocess
import sys
import tempfile
import time


def pe_stamp_at(b):
    return struct.unpack_from("<I", b, 0x3C)[0] + 8


def streams(b):
    count, directory = struct.unpack_from("<II", b, 8)
    for i in range(count):
        yield struct.unpack_from("<III", b, directory + 12 * i)


def list_entries(b, rva, size, entry):
    count = struct.unpack_from("<I", b, rva)[0]
    first = rva + 4
    if size - 4 == count * entry + 4:
        first += 4
    return [first + i * entry for i in range(count)]


def module_name(b, rva):
    length = struct.unpack_from("<I", b, rva)[0]
    return b[rva + 4:rva + 4 + length].decode("utf-16-le")


def main():
    cmd = sys.argv[1]
    if cmd == "stamp":
        b = open(sys.argv[2], "rb").read()
        print("%08X" % struct.unpack_from("<I", b, pe_stamp_at(b))[0])
    elif cmd == "restamp":
        b = bytearray(open(sys.argv[2], "rb").read())
        struct.pack_into("<I", b, pe_stamp_at(b), int(sys.argv[4], 16))
        open(sys.argv[3], "wb").write(b)
    elif cmd == "module-stamp":
        b = bytearray(open(sys.argv[2], "rb").read())
        for kind, size, rva in streams(b):
            if kind == 4:
                for e in list_entries(b, rva, size, 108):
                    name = module_name(b, struct.unpack_from("<I", b, e + 20)[0])
                    if name.replace("/", "\\").split("\\")[-1].lower() == sys.argv[4].lower():
                        struct.pack_into("<I", b, e + 16, int(sys.argv[5], 16))
        open(sys.argv[3], "wb").write(b)
    elif cmd == "grow":
        b = bytearray(open(sys.argv[2], "rb").read())
        total = int(sys.argv[4])
        thread = None
        for kind, size, rva in streams(b):
            if kind == 6:
                thread = struct.unpack_from("<I", b, rva)[0]
        moved = None
        for kind, size, rva in streams(b):
            if kind == 3:
                for e in list_entries(b, rva, size, 48):
                    if struct.unpack_from("<I", b, e)[0] == thread:
                        length, at = struct.unpack_from("<II", b, e + 32)
                        moved = (bytes(b[at:at + length]), total - (1 << 20))
                        struct.pack_into("<I", b, e + 36, moved[1])
        assert moved, "no stack of the crashing thread"
        with open(sys.argv[3], "wb") as out:
            out.write(b)
            out.seek(moved[1])
            out.write(moved[0])
            out.truncate(total)
    elif cmd == "run":
        # /usr/bin/time measures the program alone; a child of this script
        # starts as a copy of it, whose memory counts in its peak.
        timer = "/usr/bin/time"
        with open(sys.argv[2], "wb") as out, open(sys.argv[3], "wb") as err:
            start = time.monotonic()
            if os.access(timer, os.X_OK):
                with tempfile.NamedTemporaryFile("r") as figures:
                    status = subprocess.call([timer, "-f", "%M", "-o", figures.name] + sys.argv[4:], stdout=out, stderr=err)
                    peak = int(figures.read().split()[-1])
            else:
                status = subprocess.call(sys.argv[4:], stdout=out, stderr=err)
                peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
            seconds = time.monotonic() - start
        print("%.3f %d" % (seconds, peak))
        sys.exit(status)
    else:
        sys.exit(__doc__)


main()
