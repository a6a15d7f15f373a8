#!/usr/bin/python3
"""Runs a 32-bit Windows program's main in an x86 emulator (unicorn) until it
faults, and writes the minidump Windows' MiniDumpWriteDump would have
written of that crash, for machines that run no 32-bit program.

  emulate_crash.py IMAGE DUMP [VERSION_NAME]

IMAGE is mapped at its preferred base (headers and sections; no imports are
resolved: the crash path must not call the system). The C run-time's
__main, which runs the constructors, is replaced by a `ret`. main is entered
as __tmainCRTStartup calls it: argc, argv and envp on a stack whose base is
just above them, main's return address the instruction after
__tmainCRTStartup's call, fs pointing at a TEB (exception list 0xFFFFFFFF,
the stack's base and limit, Self). A hook follows every instruction and
keeps the live return addresses: a call pushes the address after itself
and goes elsewhere; a return address is gone once ESP has passed its slot.

The dump (MINIDUMP_TYPE MiniDumpNormal): SystemInfo (x86, Windows 7 SP1),
MiscInfo, the exception (0xC0000005 with its two parameters, the context),
one thread (its context, its stack from ESP to the base), the module
(TimeDateStamp, SizeOfImage, CheckSum and the fixed file version of the
image), and the memory list: the stack and the TEB. Printed on standard
output: `thread ID`, `exception CODE ADDRESS`, `parameters P0 P1`, `module
NAME BASE`, then `frame N ADDRESS SLOT` for frame 0 (the fault, SLOT `-`)
and every live return address, innermost first, with the stack address
that holds it.
"""
import struct
import subprocess
import sys

from unicorn import Uc, UcError, UC_ARCH_X86, UC_MODE_32, UC_HOOK_CODE, \
    UC_HOOK_MEM_READ_UNMAPPED, UC_HOOK_MEM_WRITE_UNMAPPED, UC_HOOK_MEM_FETCH_UNMAPPED, \
    UC_MEM_WRITE_UNMAPPED, UC_MEM_FETCH_UNMAPPED
from unicorn.x86_const import *

STACK_BASE = 0x00190000
STACK_LIMIT = 0x00180000
TEB = 0x7FFDE000
GDT = 0x00010000
STACK_SELECTOR = 0x10
THREAD_ID, PROCESS_ID = 0x0F1C, 0x0D2C
SELECTORS = {"cs": 0x1B, "ds": 0x23, "es": 0x23, "ss": 0x23, "fs": 0x3B, "gs": 0x00}


def u32(b, at):
    return struct.unpack_from("<I", b, at)[0]


class Image:
    def __init__(self, path):
        self.bytes = open(path, "rb").read()
        b = self.bytes
        pe = u32(b, 0x3C)
        sections, optional = struct.unpack_from("<H", b, pe + 6)[0], struct.unpack_from("<H", b, pe + 20)[0]
        opt = pe + 24
        self.stamp = u32(b, pe + 8)
        self.base, self.size, self.headers, self.checksum = u32(b, opt + 28), u32(b, opt + 56), u32(b, opt + 60), u32(b, opt + 64)
        self.sections = []
        for i in range(sections):
            at = opt + optional + 40 * i
            vsize, rva, rawsize, raw = struct.unpack_from("<IIII", b, at + 8)
            self.sections.append((rva, vsize, raw, rawsize))
        fixed = b.find(struct.pack("<I", 0xFEEF04BD))
        self.version = b[fixed:fixed + 52] if fixed >= 0 else bytes(52)


def symbols(path):
    out = subprocess.run(["i686-w64-mingw32-nm", path], capture_output=True, text=True, check=True).stdout
    return {f[2]: int(f[0], 16) for f in (line.split() for line in out.splitlines()) if len(f) == 3}


def return_after_call(path, caller, callee):
    """The address after CALLER's call of CALLEE, from the disassembly."""
    out = subprocess.run(["i686-w64-mingw32-objdump", "-d", "--no-show-raw-insn", path],
                         capture_output=True, text=True, check=True).stdout
    inside, pending = False, False
    for line in out.splitlines():
        if line.endswith(">:"):
            inside = line.split()[1] == "<%s>:" % caller
            continue
        fields = line.split()
        if inside and fields and fields[0].endswith(":"):
            if pending:
                return int(fields[0][:-1], 16)
            pending = "call" in fields and line.rstrip().endswith("<%s>" % callee)
    sys.exit("emulate_crash: no call of %s in %s" % (callee, caller))


def descriptor(base, limit, access, flags):
    return (limit & 0xFFFF) | (base & 0xFFFFFF) << 16 | access << 40 | (limit >> 16 & 0xF) << 48 | \
        flags << 52 | (base >> 24 & 0xFF) << 56


def emulate(path):
    image = Image(path)
    names = symbols(path)
    uc = Uc(UC_ARCH_X86, UC_MODE_32)
    size = (image.size + 0xFFF) & ~0xFFF
    uc.mem_map(image.base, size)
    uc.mem_write(image.base, image.bytes[:image.headers])
    for rva, vsize, raw, rawsize in image.sections:
        uc.mem_write(image.base + rva, image.bytes[raw:raw + min(rawsize, vsize or rawsize)])
    uc.mem_write(names["___main"], b"\xC3")

    uc.mem_map(STACK_LIMIT, STACK_BASE - STACK_LIMIT)
    uc.mem_map(TEB, 0x1000)
    uc.mem_write(TEB, struct.pack("<IIIIIII", 0xFFFFFFFF, STACK_BASE, STACK_LIMIT, 0, 0x1E00, 0, TEB))
    uc.mem_write(TEB + 0x20, struct.pack("<II", PROCESS_ID, THREAD_ID))
    uc.mem_write(TEB + 0x30, struct.pack("<I", 0x7FFD8000))  # the PEB
    uc.mem_map(GDT, 0x1000)
    gdt = {SELECTORS["cs"] >> 3: descriptor(0, 0xFFFFF, 0xFA, 0xC),
           SELECTORS["ds"] >> 3: descriptor(0, 0xFFFFF, 0xF2, 0xC),
           SELECTORS["fs"] >> 3: descriptor(TEB, 0xFFF, 0xF2, 0x4),
           STACK_SELECTOR >> 3: descriptor(0, 0xFFFFF, 0x92, 0xC)}
    for index, value in gdt.items():
        uc.mem_write(GDT + 8 * index, struct.pack("<Q", value))
    uc.reg_write(UC_X86_REG_GDTR, (0, GDT, 0x100 - 1, 0))
    # The emulator runs at privilege 0, whose stack segment must be one of
    # its own; the dump gives the user-mode selectors of SELECTORS.
    uc.reg_write(UC_X86_REG_SS, STACK_SELECTOR)
    for reg, name in ((UC_X86_REG_DS, "ds"), (UC_X86_REG_ES, "es"), (UC_X86_REG_FS, "fs")):
        uc.reg_write(reg, SELECTORS[name])

    # main(argc, argv, envp), called by __tmainCRTStartup.
    entry_return = return_after_call(path, "___tmainCRTStartup", "_main")
    esp = STACK_BASE - 16
    uc.mem_write(esp, struct.pack("<IIII", entry_return, 1, 0x00392F48, 0x00393080))
    for reg, value in ((UC_X86_REG_ESP, esp), (UC_X86_REG_EBP, 0), (UC_X86_REG_EAX, 1),
                       (UC_X86_REG_EBX, 0x7FFD8000), (UC_X86_REG_ESI, 0), (UC_X86_REG_EDI, 0)):
        uc.reg_write(reg, value)

    live = [(esp, entry_return)]  # (slot, return address), outermost first
    previous = [None]
    fault = {}

    def step(uc, address, size, _):
        sp = uc.reg_read(UC_X86_REG_ESP)
        while live and live[-1][0] < sp:
            live.pop()
        if previous[0]:
            at, length, before = previous[0]
            after = at + length
            if sp == before - 4 and address != after and u32(uc.mem_read(sp, 4), 0) == after:
                live.append((sp, after))
        previous[0] = (address, size, sp)

    def unmapped(uc, access, address, size, value, _):
        fault["access"] = access
        fault["address"] = address
        fault["registers"] = {name: uc.reg_read(reg) for name, reg in REGISTERS.items()}
        return False

    uc.hook_add(UC_HOOK_CODE, step)
    uc.hook_add(UC_HOOK_MEM_READ_UNMAPPED | UC_HOOK_MEM_WRITE_UNMAPPED | UC_HOOK_MEM_FETCH_UNMAPPED, unmapped)
    try:
        uc.emu_start(names["_main"], entry_return, count=10_000_000)
    except UcError:
        pass
    if not fault:
        sys.exit("emulate_crash: main returned (or ran too long) without a fault")
    stack = bytes(uc.mem_read(fault["registers"]["esp"], STACK_BASE - fault["registers"]["esp"]))
    teb = bytes(uc.mem_read(TEB, 0x1000))
    return image, fault, list(reversed(live)), stack, teb


REGISTERS = {"edi": UC_X86_REG_EDI, "esi": UC_X86_REG_ESI, "ebx": UC_X86_REG_EBX, "edx": UC_X86_REG_EDX,
             "ecx": UC_X86_REG_ECX, "eax": UC_X86_REG_EAX, "ebp": UC_X86_REG_EBP, "eip": UC_X86_REG_EIP,
             "eflags": UC_X86_REG_EFLAGS, "esp": UC_X86_REG_ESP}


def context(r):
    """CONTEXT (x86, 0x2CC bytes), as GetThreadContext(CONTEXT_ALL) fills it."""
    c = bytearray(0x2CC)
    struct.pack_into("<I", c, 0, 0x1003F)
    struct.pack_into("<III", c, 0x1C, 0xFFFF027F, 0xFFFF0000, 0xFFFFFFFF)  # FloatSave: control, status, tags
    struct.pack_into("<IIII", c, 0x8C, SELECTORS["gs"], SELECTORS["fs"], SELECTORS["es"], SELECTORS["ds"])
    struct.pack_into("<IIIIIII", c, 0x9C, r["edi"], r["esi"], r["ebx"], r["edx"], r["ecx"], r["eax"], r["ebp"])
    struct.pack_into("<IIIII", c, 0xB8, r["eip"], SELECTORS["cs"], r["eflags"], r["esp"], SELECTORS["ss"])
    struct.pack_into("<HH", c, 0xCC, 0x027F, 0)  # FXSAVE: control and status words
    struct.pack_into("<I", c, 0xCC + 24, 0x1F80)  # MXCSR
    return bytes(c)


def minidump(image, module_path, fault, stack, teb):
    r = fault["registers"]
    out = bytearray()

    def put(data):
        at = len(out)
        out.extend(data)
        return at

    def string(text):
        data = text.encode("utf-16-le")
        return put(struct.pack("<I", len(data)) + data + b"\0\0")

    streams = []  # (type, size, rva)
    count = 8  # six streams and two unused entries, as Windows' writer leaves them
    put(bytes(32))
    directory = put(bytes(12 * count))
    # SystemInfo: x86, family 6, Windows 7 SP1 (6.1.7601), workstation.
    system = put(struct.pack("<HHHBBIIIIIHH", 0, 6, 0x3A09, 2, 1, 6, 1, 7601, 2, 0, 0x100, 0)
                 + b"GenuineIntel" + struct.pack("<III", 0x000306A9, 0xBFEBFBFF, 0))
    streams.append((7, 56, system))
    misc = put(struct.pack("<IIIIII", 24, 3, PROCESS_ID, 0x5F3A1C20, 0, 0))
    streams.append((15, 24, misc))
    exception = put(bytes(168))
    streams.append((6, 168, exception))
    threads = put(bytes(4 + 48))
    streams.append((3, 4 + 48, threads))
    modules = put(bytes(4 + 108))
    streams.append((4, 4 + 108, modules))
    csd = string("Service Pack 1")
    struct.pack_into("<I", out, system + 24, csd)
    name = string(module_path)
    thread_context = put(context(r))
    exception_context = put(context(r))
    memory = put(bytes(4 + 16 * 2))
    streams.append((5, 4 + 16 * 2, memory))
    stack_at = put(stack)
    teb_at = put(teb)

    struct.pack_into("<IIIIIII", out, 0, 0x504D444D, 0x61B0A793, count, directory, 0, 0x5F3A1C2E, 0)
    for i, (kind, size, rva) in enumerate(streams):
        struct.pack_into("<III", out, directory + 12 * i, kind, size, rva)
    # MINIDUMP_EXCEPTION_STREAM
    access = 1 if fault["access"] == UC_MEM_WRITE_UNMAPPED else 8 if fault["access"] == UC_MEM_FETCH_UNMAPPED else 0
    struct.pack_into("<IIIIQQII", out, exception, THREAD_ID, 0, 0xC0000005, 0, 0, r["eip"], 2, 0)
    struct.pack_into("<QQ", out, exception + 40, access, fault["address"])
    struct.pack_into("<II", out, exception + 160, 0x2CC, exception_context)
    # MINIDUMP_THREAD_LIST
    struct.pack_into("<IIIIIQQIIII", out, threads, 1, THREAD_ID, 0, 0x20, 0, TEB,
                     r["esp"], len(stack), stack_at, 0x2CC, thread_context)
    # MINIDUMP_MODULE_LIST
    struct.pack_into("<IQIIII", out, modules, 1, image.base, image.size, image.checksum, image.stamp, name)
    out[modules + 4 + 24:modules + 4 + 76] = image.version
    # MINIDUMP_MEMORY_LIST: the stack, the TEB
    struct.pack_into("<IQIIQII", out, memory, 2, r["esp"], len(stack), stack_at, TEB, len(teb), teb_at)
    return bytes(out)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    path, dump = sys.argv[1], sys.argv[2]
    image, fault, live, stack, teb = emulate(path)
    module = path.replace("/", "\\").split("\\")[-1]
    open(dump, "wb").write(minidump(image, "C:\\Quillfen\\" + module, fault, stack, teb))
    r = fault["registers"]
    print("thread %d" % THREAD_ID)
    print("exception 0xC0000005 0x%08X" % r["eip"])
    access = 1 if fault["access"] == UC_MEM_WRITE_UNMAPPED else 0
    print("parameters 0x%08X 0x%08X" % (access, fault["address"]))
    print("module %s 0x%08X" % (module, image.base))
    print("frame 0 0x%08X -" % r["eip"])
    for n, (slot, address) in enumerate(live, 1):
        print("frame %d 0x%08X 0x%08X" % (n, address, slot))


main()
