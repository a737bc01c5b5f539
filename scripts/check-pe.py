#!/usr/bin/python3
"""Checks that SYS_FILE is a driver image 32-bit Windows will load: PE32 for i386, native
subsystem, entry point at _DriverEntry@8, base relocations present and not stripped, no
section both writable and executable, no forced integrity check, imports only from the
kernel modules, and a valid header checksum (computed here, and by pefile as a second
opinion). With --exe, EXE_FILE is a console program instead: PE32 for i386, console
subsystem, entry point in code, no section both writable and executable, imports only
from the system DLLs every Windows since XP has (no runtime DLL of the compiler).
Usage: check-pe.py SYS_FILE | check-pe.py --exe EXE_FILE. Prints one line per fault; exit
status 1 on any.

Runs under Debian's /usr/bin/python3, which carries python3-pefile."""

import shutil
import subprocess
import sys

try:
    import pefile
except ImportError:
    print("check-pe: python3-pefile is missing (scripts/install-deps.sh installs it)",
          file=sys.stderr)
    sys.exit(2)

ENTRY_SYMBOL = "_DriverEntry@8"
KERNEL_MODULES = {"ntoskrnl.exe", "hal.dll", "wmilib.sys"}
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "ws2_32.dll", "msvcrt.dll"}
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
DLLCHAR_FORCE_INTEGRITY = 0x0080
FILE_RELOCS_STRIPPED = 0x0001


def pe_checksum(data):
    """The image checksum: 16-bit one's-complement-style sum with the CheckSum field taken
    as zero, folded, plus the file length."""
    field = int.from_bytes(data[0x3C:0x40], "little") + 24 + 64
    total = 0
    for i in range(0, len(data), 2):
        if field <= i < field + 4:
            continue
        total += int.from_bytes(data[i:i + 2].ljust(2, b"\0"), "little")
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def entry_symbol_address(path):
    """The address of the entry routine from the image's symbol table, or None when the
    image is stripped or nm is not there."""
    nm = shutil.which("i686-w64-mingw32-nm")
    if nm is None:
        return None
    listing = subprocess.run([nm, path], capture_output=True, text=True, check=False).stdout
    for line in listing.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[2] == ENTRY_SYMBOL:
            return int(parts[0], 16)
    return None


def check_exe(path):
    faults = []
    pe = pefile.PE(path)
    opt = pe.OPTIONAL_HEADER
    if opt.Magic != 0x10B:
        faults.append("not PE32 (optional-header magic 0x%X)" % opt.Magic)
    if pe.FILE_HEADER.Machine != 0x14C:
        faults.append("not for i386 (machine 0x%X)" % pe.FILE_HEADER.Machine)
    if opt.Subsystem != 3:
        faults.append("subsystem %d, not console (3)" % opt.Subsystem)
    holder = pe.get_section_by_rva(opt.AddressOfEntryPoint)
    if holder is None or not holder.Characteristics & SCN_MEM_EXECUTE:
        faults.append("entry point 0x%X is not in an executable section" % opt.AddressOfEntryPoint)
    for section in pe.sections:
        flags = section.Characteristics
        if flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE:
            name = section.Name.rstrip(b"\0").decode("ascii", "replace")
            faults.append("section %s is both writable and executable" % name)
    for entry_dll in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry_dll.dll.decode("ascii", "replace")
        if dll.lower() not in SYSTEM_DLLS:
            faults.append("imports from %s" % dll)
    return faults


def check(path):
    faults = []
    with open(path, "rb") as handle:
        data = handle.read()
    try:
        pe = pefile.PE(data=data)
    except pefile.PEFormatError as error:
        return ["not a PE image: %s" % error]

    opt = pe.OPTIONAL_HEADER
    if opt.Magic != 0x10B:
        faults.append("not PE32 (optional-header magic 0x%X)" % opt.Magic)
    if pe.FILE_HEADER.Machine != 0x14C:
        faults.append("not for i386 (machine 0x%X)" % pe.FILE_HEADER.Machine)
    if opt.Subsystem != 1:
        faults.append("subsystem %d, not native (1)" % opt.Subsystem)

    entry = opt.AddressOfEntryPoint
    holder = pe.get_section_by_rva(entry)
    if entry == 0 or holder is None or not holder.Characteristics & SCN_MEM_EXECUTE:
        faults.append("entry point 0x%X is not in an executable section" % entry)
    symbol = entry_symbol_address(path)
    if symbol is not None and symbol != opt.ImageBase + entry:
        faults.append("entry point 0x%X is not %s (0x%X)" % (opt.ImageBase + entry,
                                                             ENTRY_SYMBOL, symbol))

    if pe.FILE_HEADER.Characteristics & FILE_RELOCS_STRIPPED:
        faults.append("relocations stripped")
    relocs = opt.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if relocs.VirtualAddress == 0 or relocs.Size == 0:
        faults.append("no base relocations")

    for section in pe.sections:
        flags = section.Characteristics
        if flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE:
            name = section.Name.rstrip(b"\0").decode("ascii", "replace")
            faults.append("section %s is both writable and executable" % name)
    if opt.DllCharacteristics & DLLCHAR_FORCE_INTEGRITY:
        faults.append("FORCE_INTEGRITY is set (it demands a signature)")

    for entry_dll in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry_dll.dll.decode("ascii", "replace")
        if dll.lower() not in KERNEL_MODULES:
            faults.append("imports from %s" % dll)

    expected = pe_checksum(data)
    if opt.CheckSum != expected:
        faults.append("header checksum 0x%X, computed 0x%X" % (opt.CheckSum, expected))
    elif not pe.verify_checksum():
        faults.append("pefile disagrees with the header checksum 0x%X" % opt.CheckSum)
    return faults


def main(argv):
    exe = len(argv) == 3 and argv[1] == "--exe"
    if len(argv) != 2 and not exe:
        print("usage: check-pe.py SYS_FILE | check-pe.py --exe EXE_FILE", file=sys.stderr)
        return 2
    path = argv[-1]
    try:
        faults = check_exe(path) if exe else check(path)
    except (OSError, pefile.PEFormatError) as error:
        print("check-pe: %s" % error, file=sys.stderr)
        return 2
    for fault in faults:
        print("check-pe: %s: %s" % (path, fault), file=sys.stderr)
    if faults:
        return 1
    kind = "32-bit console program" if exe else "loadable 32-bit driver image"
    print("check-pe: %s is a %s" % (path, kind))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
