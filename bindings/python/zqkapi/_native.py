"""Finding and loading the zqkAPI library, with the C prototype of every export."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import struct
import sys
import threading
from typing import Any, Dict, List, Mapping, Optional, Tuple

from ._errors import LibraryError
from ._exports import EXPORTS  # generated from the library's list of exports

#: The oldest library this binding works with: the one that brought handles,
#: statuses and sim: paths. A library of another major version is refused too.
REQUIRED_VERSION: Tuple[int, int, int] = (1, 1, 0)

_WINDOWS = os.name == "nt"
# The 32-bit DLL uses stdcall; everything else the platform's C convention.
_STDCALL = _WINDOWS and struct.calcsize("P") == 4
_FUNCTYPE = ctypes.WINFUNCTYPE if _STDCALL else ctypes.CFUNCTYPE  # type: ignore[attr-defined]

if _WINDOWS:
    LIBRARY_NAMES: Tuple[str, ...] = ("zqkAPI.dll",)
elif sys.platform == "darwin":
    LIBRARY_NAMES = ("libzqkAPI.1.dylib", "libzqkAPI.dylib")
else:
    LIBRARY_NAMES = ("libzqkAPI.so.1", "libzqkAPI.so")

_i32 = ctypes.c_int32
_intptr = ctypes.c_ssize_t
_text = ctypes.c_char_p  # zero-terminated bytes in (see _text); NULL counts as ""
_out = ctypes.POINTER(ctypes.c_char)  # a buffer for the buffer-return convention
_p32 = ctypes.POINTER(ctypes.c_int32)

#: zqkSetCallback's callback: (UserData, position, total).
ProgressCallback = _FUNCTYPE(None, _i32, _i32, _i32)
#: zqkDevSetCallback's callback: (UserData, position, total).
DevProgressCallback = _FUNCTYPE(None, _intptr, _i32, _i32)
#: zqkDevSetCommandLog's callback: (UserData, command line).
DevCommandLogCallback = _FUNCTYPE(None, _intptr, ctypes.c_char_p)
#: zqkSetDeviceCallback's callback: (UserData, arrived 1 or 0, path, serial number).
DeviceCallback = _FUNCTYPE(None, _intptr, _i32, ctypes.c_char_p, ctypes.c_char_p)

#: How each C type of zqkAPI.h crosses into ctypes.
C_TYPES: Dict[str, Any] = {
    "void": None,
    "int32_t": _i32,
    "intptr_t": _intptr,
    "const char *": _text,
    "char *": _out,
    "int32_t *": _p32,
    "zqkProgressCallback": ProgressCallback,
    "zqkDevProgressCallback": DevProgressCallback,
    "zqkDevCommandLogCallback": DevCommandLogCallback,
    "zqkDeviceCallback": DeviceCallback,
}

#: Every export: its result type and argument types, as in zqkAPI.h (from
#: the library's list of exports, generated into _exports).
PROTOTYPES: Dict[str, Tuple[Any, List[Any]]] = {
    name: (C_TYPES[result], [C_TYPES[c_type] for c_type, _ in parameters])
    for name, _, result, parameters in EXPORTS
}


def version_text(version: int) -> str:
    """zqkVersion's (major << 16) | (minor << 8) | patch as "major.minor.patch"."""
    return "%d.%d.%d" % (version >> 16, (version >> 8) & 0xFF, version & 0xFF)


def _open_library(name: str) -> ctypes.CDLL:
    loader = ctypes.WinDLL if _STDCALL else ctypes.CDLL  # type: ignore[attr-defined]
    return loader(name)


def load(name: str) -> ctypes.CDLL:
    """Loads the library file (or name for the system's search) ``name``,
    checks its version and gives every export its prototype.

    Raises :class:`LibraryError` when it cannot be loaded, has no
    ``zqkVersion`` or is older than :data:`REQUIRED_VERSION`.
    """
    try:
        lib = _open_library(name)
    except OSError as error:
        raise LibraryError("cannot load the zqkAPI library %s: %s" % (name, error)) from None
    return _prepared(lib, name)


def _prepared(lib: ctypes.CDLL, name: str) -> ctypes.CDLL:
    wanted = version_text((REQUIRED_VERSION[0] << 16) | (REQUIRED_VERSION[1] << 8) | REQUIRED_VERSION[2])
    try:
        version_of = lib.zqkVersion
    except AttributeError:
        raise LibraryError(
            "%s is no zqkAPI library of release %s or later: it has no zqkVersion" % (name, wanted)
        ) from None
    version_of.restype = _i32
    version_of.argtypes = []
    version = version_of()
    major, minor, patch = version >> 16, (version >> 8) & 0xFF, version & 0xFF
    if major != REQUIRED_VERSION[0] or (major, minor, patch) < REQUIRED_VERSION:
        raise LibraryError(
            "%s is zqkAPI %s, but this binding needs release %s or a later %d.x"
            % (name, version_text(version), wanted, REQUIRED_VERSION[0])
        )
    for export, (restype, argtypes) in PROTOTYPES.items():
        try:
            function = getattr(lib, export)
        except AttributeError:
            raise LibraryError("%s lacks the export %s" % (name, export)) from None
        function.restype = restype
        function.argtypes = argtypes
    return lib


def candidates(environ: Mapping[str, str]) -> List[str]:
    """The libraries to try, in order: the file that ZQKAPI_LIBRARY names
    (only that one when it is set), the package's own folder, the system."""
    chosen = environ.get("ZQKAPI_LIBRARY")
    if chosen:
        return [chosen]
    here = os.path.dirname(os.path.abspath(__file__))
    found = [os.path.join(here, name) for name in LIBRARY_NAMES if os.path.isfile(os.path.join(here, name))]
    system = ctypes.util.find_library("zqkAPI")
    if system:
        found.append(system)
    found.extend(LIBRARY_NAMES)  # the dynamic loader's own search
    return list(dict.fromkeys(found))


def find_and_load(environ: Mapping[str, str]) -> ctypes.CDLL:
    """The first of :func:`candidates` that the system loads, checked as
    :func:`load` does. A library that loads but is unusable (too old, not
    zqkAPI) is an error, not passed over for the next."""
    chosen = environ.get("ZQKAPI_LIBRARY")
    if chosen and not os.path.isfile(chosen):
        raise LibraryError("ZQKAPI_LIBRARY names %s, which is no file" % chosen)
    if chosen:
        return load(chosen)
    tried = candidates(environ)
    problems = []
    for name in tried:
        try:
            lib = _open_library(name)
        except OSError as error:
            if os.path.isfile(name):  # there, but not for this process (32-bit or 64-bit?)
                problems.append("%s: %s" % (name, error))
            continue
        return _prepared(lib, name)
    raise LibraryError(
        "the zqkAPI library was not found (tried %s; set ZQKAPI_LIBRARY to its file, put %s beside the "
        "package, or install the library)%s" % (", ".join(tried), LIBRARY_NAMES[0], "".join("; " + p for p in problems))
    )


_loaded: Optional[ctypes.CDLL] = None
_loading = threading.Lock()


def library() -> ctypes.CDLL:
    """The library, found and loaded at the first call (see :func:`candidates`)."""
    global _loaded
    if _loaded is None:
        with _loading:
            if _loaded is None:
                _loaded = find_and_load(os.environ)
    return _loaded
