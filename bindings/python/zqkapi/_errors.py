"""The exceptions of the binding, one class per kind of failure."""

from __future__ import annotations

from typing import Dict, Type

from ._statuses import Status  # generated from the library's list of statuses


class Error(Exception):
    """A failure of a zqkAPI call.

    ``status`` is the library's status code for it (a :class:`Status` where
    the code is known) and ``text`` the library's line saying what failed and
    why, as ``zqkLastStatus`` and ``zqkStatusText`` gave them right after the
    call.
    """

    def __init__(self, status: int, text: str) -> None:
        super().__init__(status, text)
        try:
            self.status: int = Status(status)
        except ValueError:
            self.status = status
        self.text: str = text

    def __str__(self) -> str:
        return self.text or "zqkAPI status %d" % self.status


class NoDevice(Error):
    """Nothing matches, or the path or serial number is not present."""


class AccessDenied(Error):
    """The system refused to open the device (install the udev rule, or run as root)."""


class DeviceBusy(Error):
    """Another program or thread held the device too long, or a progress
    callback called its own device during the transfer."""


class Timeout(Error):
    """The device stayed silent."""


class DeviceGone(Error):
    """The device went away, a write to it failed, or it is no longer open."""


class Refused(Error):
    """The device answered with an error, e.g. a missing file."""


class LocalFileError(Error):
    """A local file could not be read or written."""


class InvalidArgument(Error):
    """An argument the library or the binding cannot take: a closed device,
    a zero byte or a character outside latin-1 in a device name, a time out
    of range, a command's output larger than ``max_output``."""


class LibraryError(Error):
    """The zqkAPI library was not found, could not be loaded, or is older
    than this binding (``status`` is ``Status.NO_LIBRARY``)."""

    def __init__(self, text: str) -> None:
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


def error_for(status: int, text: str) -> Error:
    """The exception for a status code and its text."""
    return _BY_STATUS.get(status, Error)(status, text)
