"""Device text and local paths as the library takes and gives them.

The device keeps names, paths, commands and their output as bytes. The
binding reads and writes them as UTF-8, with Python's ``surrogateescape``
for bytes that are not UTF-8 (such a byte ``b`` reads as the lone surrogate
``chr(0xDC00 + b)``): every name read can be written back unchanged, and a
name that the tool, the mount or another program made reads as the same
letters. The tool's JSON output and the C# binding decode them in the same
way.
"""

from __future__ import annotations

import os
from typing import Union

from ._errors import InvalidArgument, Status

#: A path or name: ``str``, ``bytes`` or ``os.PathLike``.
PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

#: How device text becomes ``str`` and back: :func:`device_str`, :func:`device_bytes`.
DEVICE_ENCODING = "utf-8"
DEVICE_ERRORS = "surrogateescape"


def _zero_free(data: bytes, what: str) -> bytes:
    if b"\0" in data:
        raise InvalidArgument(Status.ARGUMENT, "%s %r holds a zero byte" % (what, data))
    return data


def device_str(data: bytes) -> str:
    """Bytes of device text as ``str``: UTF-8, each byte that is not UTF-8
    as its lone surrogate; never fails."""
    return data.decode(DEVICE_ENCODING, DEVICE_ERRORS)


def device_bytes(value: PathArg, what: str) -> bytes:
    """Device text (a path, a name, a command line) as the bytes the device
    gets: ``bytes`` as they are, ``str`` as UTF-8 with its lone surrogates
    U+DC80 to U+DCFF as the bytes they stand for (what :func:`device_str`
    gave). :class:`InvalidArgument` for a zero byte or another lone
    surrogate, which stands for no byte."""
    value = os.fspath(value)
    if isinstance(value, str):
        try:
            value = value.encode(DEVICE_ENCODING, DEVICE_ERRORS)
        except UnicodeEncodeError as error:
            raise InvalidArgument(
                Status.ARGUMENT, "%s %r holds %r, a lone surrogate that stands for no byte"
                % (what, value, error.object[error.start:error.end])
            ) from None
    return _zero_free(value, what)


def local_bytes(value: PathArg, what: str = "the local path") -> bytes:
    """A local file's path as the library opens it: the system's file name
    bytes on POSIX, the ANSI code page on Windows (the DLL opens files with
    the A functions)."""
    value = os.fspath(value)
    if isinstance(value, str):
        try:
            value = value.encode("mbcs") if os.name == "nt" else os.fsencode(value)
        except UnicodeEncodeError:
            raise InvalidArgument(
                Status.ARGUMENT, "%s %r cannot be written in the system's code page" % (what, value)
            ) from None
    return _zero_free(value, what)


def open_argument(value: PathArg) -> bytes:
    """What zqkDevOpen and zqkWaitForDevice take: "sim:DIR" names a folder of
    this machine (a local path); anything else is a device path or serial
    number, device text."""
    text = os.fspath(value)
    is_sim = text.startswith(b"sim:" if isinstance(text, bytes) else "sim:")
    return local_bytes(text, "the simulated device's path") if is_sim else device_bytes(text, "the device")
