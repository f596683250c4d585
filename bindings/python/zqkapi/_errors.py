"""The exceptions of the binding, one class per kind of failure.

The failures of the system's kind are ``OSError``s too, with an ``errno``:
``NoDevice`` (ENODEV), ``AccessDenied`` (a ``PermissionError``),
``DeviceBusy`` (EBUSY), ``Timeout`` (a ``TimeoutError``), ``DeviceGone`` (a
``ConnectionError``) and ``LocalFileError`` (the local file's errno and
``filename``); a refusal for a missing file or folder is a
``DeviceFileNotFound``, which is a ``Refused`` and a ``FileNotFoundError``.
"""

from __future__ import annotations

import errno
import os
import re
from typing import Dict, Optional, Type

from ._statuses import Status  # generated from the library's list of statuses


class Error(Exception):
    """A failure of a zqkAPI call.

    ``status`` is the library's status code for it (a :class:`Status` where
    the code is known) and ``text`` the library's line saying what failed and
    why, as ``zqkLastStatus`` and ``zqkStatusText`` gave them right after the
    call.
    """

    def __init__(self, status: int, text: str) -> None:
        """The failure of status code ``status``, said by ``text``."""
        super().__init__(*self._base_arguments(status, text))
        try:
            self.status: int = Status(status)
        except ValueError:
            self.status = status
        self.text: str = text

    def _base_arguments(self, status: int, text: str) -> tuple:
        return (status, text)

    def __str__(self) -> str:
        return self.text or "zqkAPI status %d" % self.status


class _SystemError(Error, OSError):
    """A failure that is an ``OSError`` too: ``errno`` says its kind as the
    system would, ``strerror`` is the library's text."""

    _errno = errno.EIO

    def _base_arguments(self, status: int, text: str) -> tuple:
        return (self._errno, text)


class NoDevice(_SystemError):
    """Nothing matches, or the path or serial number is not present."""

    _errno = errno.ENODEV


class AccessDenied(_SystemError, PermissionError):
    """The system refused to open the device (install the udev rule, or run as root)."""

    _errno = errno.EACCES


class DeviceBusy(_SystemError):
    """Another program or thread held the device too long, or a progress
    callback called its own device during the transfer."""

    _errno = errno.EBUSY


class Timeout(_SystemError, TimeoutError):
    """The device stayed silent."""

    _errno = errno.ETIMEDOUT


class DeviceGone(_SystemError, ConnectionError):
    """The device went away, a write to it failed, or it is no longer open."""

    _errno = errno.ENODEV


_DEVICE_ANSWER = re.compile(r": (\d+):([^:\n]*)$")


class Refused(Error):
    """The device answered with an error, e.g. a missing file:
    ``device_code`` and ``device_text`` are its answer (4 and "No file" of
    "4:No file"), None where the device gave none."""

    def __init__(self, status: int, text: str) -> None:
        """A refusal; the device's answer is read from the end of ``text``."""
        super().__init__(status, text)
        answer = _DEVICE_ANSWER.search(text)
        self.device_code: Optional[int] = int(answer.group(1)) if answer else None
        self.device_text: Optional[str] = answer.group(2) if answer else None


class DeviceFileNotFound(Refused, FileNotFoundError):
    """The device has no such file or folder ("4:No file", "5:No path")."""

    def _base_arguments(self, status: int, text: str) -> tuple:
        return (errno.ENOENT, text)


class LocalFileError(_SystemError):
    """A local file could not be read or written: ``errno`` as the system
    said it (EIO where the text names no reason), ``filename`` the file where
    the call knows it."""

    def _base_arguments(self, status: int, text: str) -> tuple:
        return (_errno_in(text), text)


# The reasons the library's texts end with, as the C library words them.
_REASONS = {os.strerror(code): code for code in (
    errno.ENOENT, errno.EACCES, errno.EPERM, errno.EEXIST, errno.EISDIR, errno.ENOTDIR,
    errno.ENOSPC, errno.EROFS, errno.ENAMETOOLONG, errno.ELOOP)}


def _errno_in(text: str) -> int:
    for reason, code in _REASONS.items():
        if text.endswith(reason):
            return code
    return errno.EIO


class InvalidArgument(Error):
    """An argument the library or the binding cannot take: a closed device,
    a zero byte in device text or a lone surrogate that stands for no byte
    (only U+DC80 to U+DCFF do), a time out of range, a command's output
    larger than ``max_output``."""


class LibraryError(Error):
    """The zqkAPI library was not found, could not be loaded, or is older
    than this binding (``status`` is ``Status.NO_LIBRARY``)."""

    def __init__(self, text: str) -> None:
        """The library could not be used, for the reason ``text``."""
        super().__init__(Status.NO_LIBRARY, text)


_BY_STATUS: Dict[int, Type[Error]] = {
    Status.NO_DEVICE: NoDevice,
    Status.NOT_OPEN: DeviceGone,
    Status.ACCESS: AccessDenied,
    Status.BUSY: DeviceBusy,
    Status.TIMEOUT: Timeout,
    Status.GONE: DeviceGone,
    Status.REFUSED: Refused,
    Status.LOCAL_FILE: LocalFileError,
    Status.ARGUMENT: InvalidArgument,
    Status.IN_TRANSFER: DeviceBusy,
    Status.BUFFER: InvalidArgument,
}


# The device's codes for a file or folder it does not have.
_NOT_FOUND_CODES = (4, 5)


def error_for(status: int, text: str) -> Error:
    """The exception for a status code and its text."""
    error = _BY_STATUS.get(status, Error)(status, text)
    if isinstance(error, Refused) and error.device_code in _NOT_FOUND_CODES:
        return DeviceFileNotFound(status, text)
    return error
