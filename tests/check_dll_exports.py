#!/usr/bin/env python3
"""Static checks of a Windows build of zqkAPI.dll, made with objdump on the host.

- the export table holds exactly the names of src/api/exports.txt, undecorated,
  each at its ordinal;
- the DLL imports only system DLLs (no MinGW runtime DLL), and neither
  HID.dll nor SetupApi.dll: those are bound at run time, so that a system
  without them refuses the library's start-up instead of its loader failing;
- with --stdcall (32-bit build): every return instruction of every export
  removes exactly four bytes of arguments per parameter.

usage: check_dll_exports.py OBJDUMP DLL EXPORTS_TXT [--stdcall]
"""
import re
import subprocess
import sys

SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll", "ntdll.dll",
    "ucrtbase.dll", "shell32.dll", "ole32.dll",
}
BOUND_AT_RUN_TIME = {"hid.dll", "setupapi.dll"}


def read_exports(path):
    exports = {}
    with open(path) as f:
        for line in f:
            fields = line.split()
            if fields and fields[0].startswith("zqk"):
                exports[fields[0]] = (int(fields[1]), int(fields[2]))
    return exports


def objdump(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


def export_table(headers):
    base_match = re.search(r"Ordinal Base (\d+)", headers)
    if not base_match:
        return {}
    base = int(base_match.group(1))
    table = headers.split("[Ordinal/Name Pointer] Table", 1)[1]
    found = {}
    for line in table.splitlines()[1:]:
        m = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)", line)
        if not m:
            break
        found[m.group(2)] = int(m.group(1)) + base
    return found


def imported_dlls(headers):
    return re.findall(r"DLL Name: (\S+)", headers)


def return_sizes(disassembly, name, params):
    """The argument bytes removed by each ret of the export's code (hot and cold parts)."""
    label = re.compile(r"^[0-9a-f]+ <_?%s@%d(\.cold)?>:$" % (re.escape(name), 4 * params))
    sizes, inside = [], False
    for line in disassembly.splitlines():
        if re.match(r"^[0-9a-f]+ <.*>:$", line):
            inside = bool(label.match(line))
            continue
        if inside:
            m = re.search(r"\tret\s*(\$0x([0-9a-f]+))?\s*$", line)
            if m:
                sizes.append(int(m.group(2), 16) if m.group(2) else 0)
    return sizes


def main():
    if len(sys.argv) < 4:
        print(__doc__)
        return 2
    tool, dll, exports_txt = sys.argv[1:4]
    stdcall = "--stdcall" in sys.argv[4:]
    expected = read_exports(exports_txt)
    headers = objdump(tool, "-p", dll)
    problems = []

    found = export_table(headers)
    for name, (ordinal, _) in sorted(expected.items(), key=lambda e: e[1][0]):
        if name not in found:
            problems.append("%s is not exported" % name)
        elif found[name] != ordinal:
            problems.append("%s is at ordinal %d, not %d" % (name, found[name], ordinal))
    for name in sorted(set(found) - set(expected)):
        problems.append("unexpected export %s" % name)

    for dll_name in imported_dlls(headers):
        if dll_name.lower() in BOUND_AT_RUN_TIME:
            problems.append("imports %s, which must be bound at run time" % dll_name)
        elif dll_name.lower() not in SYSTEM_DLLS:
            problems.append("imports %s, which is not a system DLL" % dll_name)

    if stdcall:
        disassembly = objdump(tool, "-d", dll)
        for name, (_, params) in sorted(expected.items()):
            sizes = return_sizes(disassembly, name, params)
            if not sizes:
                problems.append("%s@%d: no code found" % (name, 4 * params))
            elif any(size != 4 * params for size in sizes):
                problems.append("%s removes %s bytes of arguments, not %d" % (name, sorted(set(sizes)), 4 * params))

    for problem in problems:
        print("FAIL:", problem)
    print("%s: %d exports checked%s, %d problems" % (dll, len(expected), " with stdcall frames" if stdcall else "",
                                                  len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
