#!/usr/bin/env python3
"""The bindings' tables, generated from the library's two lists:

  src/api/exports.txt   every export: name, ordinal, number of 32-bit
                        parameters, prototype
  src/api/statuses.txt  every status: name, number, meaning

Both lists are checked against include/zqkAPI.h first; any difference is an
error, so that a binding is never generated from a list the header disagrees
with. Python 3 standard library only.

usage: generate_bindings.py check  SOURCE_DIR
       generate_bindings.py python SOURCE_DIR PACKAGE_DIR   (writes _exports.py, _statuses.py)
       generate_bindings.py dotnet SOURCE_DIR OUTPUT_FILE   (writes the C# tables)
       generate_bindings.py node   SOURCE_DIR OUTPUT_FILE   (writes the Node.js tables)
"""
import json
import os
import re
import sys
from typing import Dict, Iterable, Iterator, List, NamedTuple, Tuple

HEADER = os.path.join("include", "zqkAPI.h")
EXPORTS = os.path.join("src", "api", "exports.txt")
STATUSES = os.path.join("src", "api", "statuses.txt")
GENERATED_BY = "Generated from %s and %s by cmake/generate_bindings.py: do not edit." % (
    EXPORTS.replace(os.sep, "/"), STATUSES.replace(os.sep, "/"))

# The bindings' own status, for a library that cannot be used at all; the
# library never gives it.
NO_LIBRARY = ("NO_LIBRARY", -1, "the library could not be loaded, or is older than this binding")


class ListError(Exception):
    pass


class Parameter(NamedTuple):
    type: str
    name: str


class Export(NamedTuple):
    name: str
    ordinal: int
    words: int  # 32-bit parameters, what the stdcall frame removes
    result: str
    parameters: Tuple[Parameter, ...]


class Status(NamedTuple):
    name: str
    number: int
    meaning: str


# ---- reading ------------------------------------------------------------------

def c_type(text: str) -> str:
    """A C type in one spelling: "const char*" and "const  char *" are "const char *"."""
    return " ".join(re.findall(r"\w+|\*", text)).replace("* *", "**")


def parameters_of(text: str) -> Tuple[Parameter, ...]:
    text = text.strip()
    if text in ("", "void"):
        return ()
    found = []
    for part in text.split(","):
        m = re.fullmatch(r"\s*(.*?[\w*])\s*\b(\w+)\s*", part)
        if not m:
            raise ListError("cannot read the parameter %r" % part.strip())
        found.append(Parameter(c_type(m.group(1)), m.group(2)))
    return tuple(found)


def list_entries(path: str, pattern: str, form: str) -> Iterator[Tuple[str, "re.Match[str]"]]:
    """Each entry of a list (comments and blank lines left out): where it is,
    "FILE:LINE", and its fields; a line not of the form is an error."""
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith("#"):
                continue
            m = re.fullmatch(pattern, line.rstrip("\n"))
            if not m:
                raise ListError("%s:%d: not %s: %s" % (path, number, form, line.strip()))
            yield "%s:%d" % (path, number), m


def read_exports(path: str) -> List[Export]:
    exports = []
    for where, m in list_entries(path, r"(zqk\w+)\s+(\d+)\s+(\d+)\s+([\w *]+?)\s*\((.*)\)\s*",
                                 "NAME ORDINAL WORDS RESULT (PARAMETERS)"):
        export = Export(m.group(1), int(m.group(2)), int(m.group(3)), c_type(m.group(4)), parameters_of(m.group(5)))
        if export.words != len(export.parameters):
            raise ListError("%s: %s has %d parameters, not %d" % (where, export.name, len(export.parameters), export.words))
        exports.append(export)
    return exports


def read_statuses(path: str) -> List[Status]:
    return [Status(m.group(1), int(m.group(2)), m.group(3))
            for _, m in list_entries(path, r"([A-Z][A-Z_]*)\s+(\d+)\s+(\S.*?)\s*", "NAME NUMBER MEANING")]


def header_prototypes(text: str) -> Dict[str, Tuple[str, Tuple[Parameter, ...]]]:
    code = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    code = re.sub(r"^\s*#.*$", " ", code, flags=re.M)
    found = {}
    for m in re.finditer(r"\bZQK_API\s+([\w *]+?)\s*\bZQK_CALL\s+(zqk\w+)\s*\(([^)]*)\)\s*;", code):
        found[m.group(2)] = (c_type(m.group(1)), parameters_of(m.group(3)))
    return found


def header_statuses(text: str) -> List[Status]:
    return [Status(m.group(1), int(m.group(2)), " ".join(m.group(3).split()))
            for m in re.finditer(r"#define ZQK_STATUS_(\w+)\s+(\d+)\s*/\*(.*?)\*/", text, flags=re.S)]


# ---- checking -----------------------------------------------------------------

def prototype_text(name: str, result: str, parameters: Tuple[Parameter, ...]) -> str:
    return "%s %s(%s)" % (result, name, ", ".join("%s %s" % p for p in parameters) or "void")


def names_in_one_only(listed: Iterable[str], declared: Iterable[str], what: str) -> List[str]:
    """The names that the list or the header lacks; what names the kind, as
    in "%s is declared"."""
    listed, declared = set(listed), set(declared)
    return (["%s in the header but not in the list" % (what % name) for name in sorted(declared - listed)] +
            ["%s in the list but not in the header" % (what % name) for name in sorted(listed - declared)])


def export_differences(exports: List[Export], header: Dict[str, Tuple[str, Tuple[Parameter, ...]]]) -> List[str]:
    problems = names_in_one_only((e.name for e in exports), header, "%s is declared")
    for e in exports:
        if e.name in header and header[e.name] != (e.result, e.parameters):
            problems.append("%s differs: the header has %s, the list %s" % (
                e.name, prototype_text(e.name, *header[e.name]), prototype_text(e.name, e.result, e.parameters)))
    ordinals: Dict[int, str] = {}
    for e in exports:
        if e.ordinal in ordinals or e.ordinal < 1:
            problems.append("%s has the ordinal %d, which %s" % (
                e.name, e.ordinal, "is no ordinal" if e.ordinal < 1 else "is " + ordinals[e.ordinal] + "'s"))
        ordinals.setdefault(e.ordinal, e.name)
    if len({e.name for e in exports}) != len(exports):
        problems.append("an export is listed twice")
    return problems


def status_differences(statuses: List[Status], header: List[Status]) -> List[str]:
    declared = {s.name: s for s in header}
    problems = names_in_one_only((s.name for s in statuses), declared, "ZQK_STATUS_%s is defined")
    for s in statuses:
        h = declared.get(s.name)
        if h and h.number != s.number:
            problems.append("ZQK_STATUS_%s is %d in the header, %d in the list" % (s.name, h.number, s.number))
        if h and h.meaning != s.meaning:
            problems.append("ZQK_STATUS_%s means \"%s\" in the header, \"%s\" in the list" % (s.name, h.meaning, s.meaning))
    if len({s.number for s in statuses}) != len(statuses):
        problems.append("two statuses share a number")
    return problems


def checked_lists(source: str) -> Tuple[List[Export], List[Status]]:
    """Both lists, when they agree with the header."""
    with open(os.path.join(source, HEADER), encoding="utf-8") as f:
        header = f.read()
    exports = read_exports(os.path.join(source, EXPORTS))
    statuses = read_statuses(os.path.join(source, STATUSES))
    problems = export_differences(exports, header_prototypes(header)) + status_differences(
        statuses, header_statuses(header))
    if problems:
        raise ListError("%s and the lists disagree:\n  %s" % (HEADER, "\n  ".join(problems)))
    return exports, statuses


# ---- Python -------------------------------------------------------------------

def python_exports(exports: List[Export]) -> str:
    lines = ['"""%s"""' % GENERATED_BY, "",
             "#: Every export in ordinal order: name, ordinal, C result type and",
             "#: (C type, name) of each parameter, as in zqkAPI.h.",
             "EXPORTS = ("]
    for e in exports:
        parameters = "".join("(%r, %r), " % p for p in e.parameters)
        lines.append("    (%r, %d, %r, (%s))," % (e.name, e.ordinal, e.result, parameters.rstrip(" ")))
    lines.append(")")
    return "\n".join(lines) + "\n"


def python_statuses(statuses: List[Status]) -> str:
    lines = ['"""%s"""' % GENERATED_BY, "", "import enum", "", "",
             "class Status(enum.IntEnum):",
             '    """The library\'s status codes (``ZQK_STATUS_*`` in zqkAPI.h).', "",
             "    ``NO_LIBRARY`` is the binding's own: the library could not be used at all.",
             '    """', ""]
    for name, number, meaning in [NO_LIBRARY] + statuses:
        lines.append("    %s = %d  #: %s" % (name, number, meaning))
    return "\n".join(lines) + "\n"


# ---- C# -----------------------------------------------------------------------

# How each C type of the header crosses into .NET: text as zero-terminated
# byte arrays, the buffer-return convention's buffers as byte arrays too.
CSHARP_TYPES = {
    "void": "void",
    "int32_t": "int",
    "intptr_t": "IntPtr",
    "const char *": "byte[]",
    "char *": "byte[]",
    "int32_t *": "out int",
    "zqkProgressCallback": "ProgressCallback",
    "zqkDevProgressCallback": "DevProgressCallback",
    "zqkDevCommandLogCallback": "DevCommandLogCallback",
    "zqkDeviceCallback": "DeviceCallback",
}


def csharp_type(c: str, export: str) -> str:
    try:
        return CSHARP_TYPES[c]
    except KeyError:
        raise ListError("%s: the C# binding has no type for %s" % (export, c)) from None


def pascal_case(name: str) -> str:
    return "".join(word.capitalize() for word in name.split("_"))


def camel_case(name: str) -> str:
    return name[:1].lower() + name[1:]


def xml_text(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def csharp_tables(exports: List[Export], statuses: List[Status]) -> str:
    lines = ["// " + GENERATED_BY,
             "// The status codes and the declaration of every export; the hand-written",
             "// rest of the binding is Zqk.cs.",
             "using System;",
             "using System.Runtime.InteropServices;",
             "",
             "namespace Zqk",
             "{",
             "    /// <summary>The library's status codes (ZQK_STATUS_* in zqkAPI.h); NoLibrary is",
             "    /// the binding's own: the library could not be loaded or is too old.</summary>",
             "    public enum ZqkStatus",
             "    {"]
    for name, number, meaning in [NO_LIBRARY] + statuses:
        lines.append("        /// <summary>%s</summary>" % xml_text(meaning[:1].upper() + meaning[1:] + "."))
        lines.append("        %s = %d," % (pascal_case(name), number))
    lines += ["    }", "", "    public static partial class ZqkNative", "    {"]
    for e in exports:
        parameters = ", ".join("%s %s" % (csharp_type(p.type, e.name), camel_case(p.name)) for p in e.parameters)
        lines.append("        [DllImport(Library, CallingConvention = Call)] public static extern %s %s(%s);" % (
            csharp_type(e.result, e.name), e.name, parameters))
    lines += ["    }", "}"]
    return "\n".join(lines) + "\n"


# ---- Node.js ------------------------------------------------------------------

def node_tables(exports: List[Export], statuses: List[Status]) -> str:
    """A CommonJS module: every export with its C types, and the statuses
    with their meanings."""
    lines = ["// " + GENERATED_BY,
             "'use strict';",
             "",
             "// Every export in ordinal order: [name, ordinal, C result type,",
             "// [[C type, name] of each parameter]], as in zqkAPI.h.",
             "exports.EXPORTS = ["]
    for e in exports:
        lines.append("  %s," % json.dumps([e.name, e.ordinal, e.result, [list(p) for p in e.parameters]]))
    lines += ["];", "",
              "// The library's status codes (ZQK_STATUS_* in zqkAPI.h); NO_LIBRARY is the",
              "// binding's own: the library could not be loaded or is too old.",
              "exports.STATUSES = Object.freeze({"]
    for name, number, meaning in [NO_LIBRARY] + statuses:
        lines.append("  %s: %d, // %s" % (name, number, meaning))
    lines += ["});", ""]
    return "\n".join(lines)


# ---- writing ------------------------------------------------------------------

def write(path: str, text: str) -> None:
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


def main(argv: List[str]) -> int:
    if len(argv) < 2 or argv[0] not in ("check", "python", "dotnet", "node") or len(argv) != (2 if argv[0] == "check" else 3):
        sys.stderr.write(__doc__)
        return 2
    mode, source = argv[0], argv[1]
    try:
        exports, statuses = checked_lists(source)
        if mode == "python":
            write(os.path.join(argv[2], "_exports.py"), python_exports(exports))
            write(os.path.join(argv[2], "_statuses.py"), python_statuses(statuses))
        elif mode == "dotnet":
            write(argv[2], csharp_tables(exports, statuses))
        elif mode == "node":
            write(argv[2], node_tables(exports, statuses))
    except (ListError, OSError) as error:
        sys.stderr.write("generate_bindings.py: %s\n" % error)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
