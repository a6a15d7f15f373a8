#!/usr/bin/env python3
"""Small edits of real minidumps and executables for the shell tests.

  dumptool.py stamp FILE                    the TimeDateStamp of an executable (hex)
  dumptool.py restamp FILE OUT STAMP        a copy with another TimeDateStamp
  dumptool.py module-stamp DUMP OUT NAME STAMP
                                            a copy of a dump whose module NAME has another TimeDateStamp
  dumptool.py grow DUMP OUT SIZE            a copy grown to SIZE bytes (a sparse file) whose crashing
                                            thread's stack bytes are moved to its last MB
  dumptool.py wow64 DUMP32 OUT [outside|machine=0xNNNN|hang|in32]
                                            the 64-bit full-memory dump a 64-bit tool writes of the 32-bit
                                            process of DUMP32 (see wow64 below); outside: the CPU areas lie
                                            outside the dump's memory; machine=: their machine field; hang:
                                            without the exception; in32: the threads stopped in 32-bit code
                                            (their 64-bit contexts the x86 ones, CS 0x23; the CPU areas zero)
  dumptool.py trim DUMP OUT [noimage] ADDRESS...
                                            a full-memory dump (a Memory64List after every other stream) cut
                                            to the stacks of its threads, the image of its first module (not
                                            with noimage) and the 4 KB pages of each ADDRESS and the one after it
  dumptool.py code DUMP OUT CODE            a copy whose exception has another code
  dumptool.py context DUMP OUT OFFSET VALUE a copy whose exception context holds the 32-bit VALUE at OFFSET
                                            (x86: 0xB4 EBP, 0xC4 ESP)
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


# The 64-bit dump of a 32-bit process under WOW64, made of a 32-bit dump:
# the same 32-bit modules (System32 paths moved to SysWOW64), memory,
# threads and exception, laid out as a 64-bit tool writes them (processor
# AMD64, Memory64List, every thread's context the 64-bit one stopped in
# wow64cpu.dll). Where each thread's 32-bit state lies:
# - the 64-bit TEB: TlsSlots at +0x1480, slot 1 (WOW64_TLS_CPURESERVED)
#   the address of its CPU area (Windows Research Kernel's wow64tls.h; the
#   TEB64 layout of the public symbols); WowTebOffset at +0x180C (0x2000);
# - the CPU area: WOW64_CPURESERVED, Flags and Machine (0x014C) as two 16-bit
#   words, then the i386 CONTEXT (WOW64_CONTEXT) at offset 4 (Microsoft's
#   documentation of WOW64_CONTEXT: TLS slot 1 points at a structure holding
#   it at offset 4; Wine's RtlWow64GetCpuAreaInfo: the Machine word); the
#   crashing thread's holds the exception's context, the others their own;
# - the 32-bit TEB at TEB + 0x2000: its NT_TIB's StackBase (+4) and
#   StackLimit (+8) bound the 32-bit stack, the source dump's stack block.
WOW64_MODULES = [  # name, base, size: the 64-bit ntdll.dll and the WOW64 layer
    ("C:\\Windows\\System32\\ntdll.dll", 0x7FFB2A1C0000, 0x1F8000),
    ("C:\\Windows\\System32\\wow64.dll", 0x7FFB28E40000, 0x59000),
    ("C:\\Windows\\System32\\wow64win.dll", 0x7FFB28EA0000, 0x7F000),
    ("C:\\Windows\\System32\\wow64cpu.dll", 0x77A70000, 0xA000),
]
WOW64CPU_IP = 0x1CF3  # where the 64-bit contexts stop in wow64cpu.dll


def wow64(src, how):
    kinds = {kind: (size, rva) for kind, size, rva in reversed(list(streams(src)))}
    used = []  # [start, end) of the source's memory and modules
    blocks = []  # (start, bytes) of the process's memory

    def add_block(start, data):
        if all((start, len(data)) != (s, len(d)) for s, d in blocks):
            blocks.append((start, data))
            used.append((start, start + len(data)))

    size, rva = kinds[5] if 5 in kinds else (4, 0)
    for e in list_entries(src, rva, size, 16) if rva else []:
        start, length, at = struct.unpack_from("<QII", src, e)
        add_block(start, src[at:at + length])
    threads = []
    size, rva = kinds[3]
    for e in list_entries(src, rva, size, 48):
        tid, suspend, pclass, prio, teb, start, length, at, csize, crva = struct.unpack_from("<IIIIQQIIII", src, e)
        add_block(start, src[at:at + length])
        threads.append(dict(id=tid, head=(suspend, pclass, prio), stack=(start, length), context=src[crva:crva + csize]))
    modules = []
    size, rva = kinds[4]
    for e in list_entries(src, rva, size, 108):
        entry = bytearray(src[e:e + 108])
        base, length = struct.unpack_from("<QI", entry, 0)
        used.append((base, base + length))
        name = module_name(src, struct.unpack_from("<I", entry, 20)[0])
        for system in ("\\system32\\", "\\System32\\", "\\SYSTEM32\\"):
            name = name.replace(system, "\\SysWOW64\\")
        cv_size, cv_rva = struct.unpack_from("<II", entry, 76)
        modules.append((entry, name, src[cv_rva:cv_rva + cv_size]))
    exception = None
    if 6 in kinds and how != "hang":
        size, rva = kinds[6]
        exception = bytearray(src[rva:rva + 168])
        csize, crva = struct.unpack_from("<II", exception, 160)
        for t in threads:
            if t["id"] == struct.unpack_from("<I", exception, 0)[0]:
                t["context"] = src[crva:crva + csize]

    # Per thread 0x5000 bytes of fresh memory below 4 GB: TEB64, TEB32, then
    # its 64-bit stack, whose top holds the CPU area.
    per = 0x5000
    region = 0x60000000
    while any(s < region + per * len(threads) and region < e for s, e in used):
        region += 0x1000000
    for i, t in enumerate(threads):
        teb = region + per * i
        stack64 = teb + 0x3000
        area = stack64 + 0x1800
        pages = bytearray(0x5000)
        struct.pack_into("<QQQ", pages, 0, 0, stack64 + 0x2000, stack64)  # NT_TIB64 ExceptionList, StackBase, StackLimit
        struct.pack_into("<Q", pages, 0x30, teb)  # Self
        slot = area
        if how == "outside":
            slot = 0x7FFF00000000 + 0x1000 * i
        struct.pack_into("<Q", pages, 0x1480 + 8 * 1, slot)
        struct.pack_into("<i", pages, 0x180C, 0x2000)
        start, length = t["stack"]
        struct.pack_into("<IIII", pages, 0x2000, 0xFFFFFFFF, start + length, start, 0)  # NT_TIB32
        struct.pack_into("<I", pages, 0x2018, teb + 0x2000)
        machine = int(how.split("=")[1], 16) if how.startswith("machine=") else 0x014C
        struct.pack_into("<HH", pages, area - teb, 0, machine)
        if how != "in32":
            pages[area - teb + 4:area - teb + 4 + len(t["context"])] = t["context"]
        struct.pack_into("<Q", pages, 0x3F00, WOW64_MODULES[1][1] + 0x7783)  # a return into wow64.dll
        add_block(teb, bytes(pages[:0x3000]))
        add_block(stack64, bytes(pages[0x3000:]))
        t["teb"], t["stack64"], t["rsp"] = teb, stack64, stack64 + 0xF00

    out = bytearray(32)
    count = 6 if exception else 5
    directory = len(out)
    out += bytes(12 * count)
    entries = []

    def put(data, align=4):
        while len(out) % align:
            out.append(0)
        at = len(out)
        out.extend(data)
        return at

    def string(text):
        raw = text.encode("utf-16-le")
        return put(struct.pack("<I", len(raw)) + raw + b"\0\0")

    size, rva = kinds[7]
    system = bytearray(src[rva:rva + size])
    struct.pack_into("<H", system, 0, 9)  # PROCESSOR_ARCHITECTURE_AMD64
    csd = module_name(src, struct.unpack_from("<I", system, 24)[0])
    struct.pack_into("<I", system, 24, string(csd))
    entries.append((7, len(system), put(system)))

    listed = [modules[0]] + [(None, name, (base, length)) for name, base, length in WOW64_MODULES] + modules[1:]
    records = []
    for entry, name, extra in listed:
        if entry is None:
            entry = bytearray(108)
            struct.pack_into("<QII", entry, 0, extra[0], extra[1], 0)
            extra = b""
        else:
            entry = bytearray(entry)
        struct.pack_into("<I", entry, 20, string(name))
        struct.pack_into("<II", entry, 76, len(extra), put(extra) if extra else 0)
        struct.pack_into("<II", entry, 84, 0, 0)
        records.append(entry)
    entries.append((4, 4 + 108 * len(records), put(struct.pack("<I", len(records)) + b"".join(records))))

    wow64cpu = WOW64_MODULES[3][1]
    contexts = {}
    for t in threads:
        context = bytearray(0x4D0)
        struct.pack_into("<IIHHHHHHI", context, 0x30, 0x10001F, 0x1F80, 0x33, 0x2B, 0x2B, 0x53, 0x2B, 0x2B, 0x246)
        struct.pack_into("<QQ", context, 0x98, t["rsp"], 0)  # Rsp, Rbp
        struct.pack_into("<Q", context, 0xF8, wow64cpu + WOW64CPU_IP)  # Rip
        if how == "in32":  # stopped in 32-bit code: CS 0x23, the x86 registers zero-extended
            x86 = t["context"]
            struct.pack_into("<H", context, 0x38, 0x23)
            for wide, narrow in ((0x78, 0xB0), (0x80, 0xAC), (0x88, 0xA8), (0x90, 0xA4), (0x98, 0xC4), (0xA0, 0xB4),
                                 (0xA8, 0xA0), (0xB0, 0x9C), (0xF8, 0xB8)):
                struct.pack_into("<Q", context, wide, struct.unpack_from("<I", x86, narrow)[0])
        contexts[t["id"]] = put(context, 16)

    order = sorted(blocks)
    data_at = {}
    offset = 0
    for start, data in order:
        data_at[start, len(data)] = offset
        offset += len(data)
    thread_entries = b""
    for t in threads:
        stack = (t["stack64"], 0x2000)
        thread_entries += struct.pack("<IIIIQQIIII", t["id"], *t["head"], t["teb"], stack[0], stack[1], 0, 0x4D0,
                                      contexts[t["id"]])
    thread_list = put(struct.pack("<I", len(threads)) + thread_entries)
    entries.append((3, 4 + 48 * len(threads), thread_list))
    if exception:
        struct.pack_into("<II", exception, 160, 0x4D0, contexts[struct.unpack_from("<I", exception, 0)[0]])
        entries.append((6, 168, put(exception)))
    memory64 = put(bytes(16 + 16 * len(order)), 8)
    entries.append((9, 16 + 16 * len(order), memory64))
    base = put(b"", 16)
    struct.pack_into("<QQ", out, memory64, len(order), base)
    for i, (start, data) in enumerate(order):
        struct.pack_into("<QQ", out, memory64 + 16 + 16 * i, start, len(data))
        out.extend(data)
    # The threads' stack descriptors point at their blocks' bytes.
    for i, t in enumerate(threads):
        struct.pack_into("<I", out, thread_list + 4 + 48 * i + 36, base + data_at[t["stack64"], 0x2000])
    struct.pack_into("<4sIIIIIQ", out, 0, b"MDMP", 0xA793, len(entries), directory, 0, 0, 2)  # MiniDumpWithFullMemory
    for i, entry in enumerate(entries):
        struct.pack_into("<III", out, directory + 12 * i, *entry)
    return out


# A full-memory dump cut to what a reader of its crash needs; the rest of
# the process's memory (tens of MB under Wine) is left out.
def trim(b, addresses, image=True):
    keep = []
    memory = None
    for kind, size, rva in streams(b):
        if kind == 3:
            for e in list_entries(b, rva, size, 48):
                start = struct.unpack_from("<Q", b, e + 24)[0]
                keep.append((start & ~0xFFF, (start & ~0xFFF) + 0x10000))
        elif kind == 4 and image:
            e = list_entries(b, rva, size, 108)[0]
            base, length = struct.unpack_from("<QI", b, e)
            keep.append((base, base + length))
        elif kind == 9:
            memory = rva
    for a in addresses:
        keep.append((a & ~0xFFF, (a & ~0xFFF) + 0x2000))
    count, data = struct.unpack_from("<QQ", b, memory)
    out = bytearray(b[:memory + 16])
    kept, at = [], data
    for i in range(count):
        start, size = struct.unpack_from("<QQ", b, memory + 16 + 16 * i)
        for low, high in keep:
            low, high = max(low, start), min(high, start + size)
            if low < high:
                kept.append((low, high - low, at + low - start))
        at += size
    kept.sort()
    merged = []
    for start, size, offset in kept:
        if merged and merged[-1][0] + merged[-1][1] >= start:
            last = merged[-1]
            end = max(last[0] + last[1], start + size)
            merged[-1] = (last[0], end - last[0], last[2])
        else:
            merged.append((start, size, offset))
    struct.pack_into("<QQ", out, memory, len(merged), memory + 16 + 16 * len(merged))
    out = out[:memory + 16]
    for start, size, offset in merged:
        out += struct.pack("<QQ", start, size)
    for start, size, offset in merged:
        out += b[offset:offset + size]
    directory = struct.unpack_from("<I", b, 12)[0]
    for i, (kind, size, rva) in enumerate(streams(b)):
        if kind == 9:
            struct.pack_into("<I", out, directory + 12 * i + 4, 16 + 16 * len(merged))
    return out


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
    elif cmd == "wow64":
        b = open(sys.argv[2], "rb").read()
        open(sys.argv[3], "wb").write(wow64(b, sys.argv[4] if len(sys.argv) > 4 else ""))
    elif cmd == "trim":
        b = open(sys.argv[2], "rb").read()
        image = sys.argv[4:5] != ["noimage"]
        open(sys.argv[3], "wb").write(trim(b, [int(a, 16) for a in sys.argv[4 if image else 5:]], image))
    elif cmd == "code":
        b = bytearray(open(sys.argv[2], "rb").read())
        for kind, size, rva in streams(b):
            if kind == 6:
                struct.pack_into("<I", b, rva + 8, int(sys.argv[4], 16))
        open(sys.argv[3], "wb").write(b)
    elif cmd == "context":
        b = bytearray(open(sys.argv[2], "rb").read())
        for kind, size, rva in streams(b):
            if kind == 6:
                context = struct.unpack_from("<I", b, rva + 8 + 152 + 4)[0]
                struct.pack_into("<I", b, context + int(sys.argv[4], 16), int(sys.argv[5], 16))
        open(sys.argv[3], "wb").write(b)
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
