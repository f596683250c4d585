"""zqkapi: drive zq.keeper USB data-buffer devices from Python.

A binding of the zqkAPI library through ctypes, with no other dependency::

    import zqkapi
    for d in zqkapi.devices():
        print(d.serial, d.path)
    with zqkapi.open("sim:/tmp/keeper") as dev:      # or open(), open(serial="ZQK-0042")
        print(dev.command("ver"))
        for e in dev.listdir("/logs"):
            print(e.name, e.size, e.mtime)
        dev.get("/logs/2024-03-15.log", "a.log", progress=lambda done, total: print(done, total))
    for event in zqkapi.events():                     # or zqkapi.watch(callback)
        print("+" if event.arrived else "-", event.path, event.serial)

The library is found through the environment variable ZQKAPI_LIBRARY (the
library's file), else in the package's own folder, else on the system's
library path; one older than this binding's release is refused with
:class:`LibraryError`. Device text (paths, names, commands and their
output) is bytes on the device, read and written as UTF-8 with
``surrogateescape`` for bytes that are not UTF-8, so that every name read
can be written back unchanged (``bytes`` are taken as they are too). Every
failure raises an :class:`Error` subclass that says why.
"""

from ._device import (
    ATTR_ARCHIVE,
    ATTR_DIRECTORY,
    ATTR_HIDDEN,
    ATTR_READ_ONLY,
    ATTR_SYSTEM,
    DEFAULT_MAX_OUTPUT,
    Device,
    DeviceInfo,
    Entry,
    Matching,
    devices,
    library,
    library_version,
    matching,
    open,
    set_matching,
    wait_for_device,
)
from ._errors import (
    AccessDenied,
    DeviceBusy,
    DeviceFileNotFound,
    DeviceGone,
    Error,
    InvalidArgument,
    LibraryError,
    LocalFileError,
    NoDevice,
    Refused,
    Status,
    Timeout,
)
from ._version import __version__
from ._watch import DeviceEvent, DeviceEvents, Watch, events, watch

# Shown as zqkapi.X in tracebacks and help(), where users meet them.
for _public in (AccessDenied, Device, DeviceBusy, DeviceEvent, DeviceEvents, DeviceFileNotFound, DeviceGone, DeviceInfo, Entry, Error,
                InvalidArgument, LibraryError, LocalFileError, Matching, NoDevice, Refused, Status, Timeout, Watch):
    _public.__module__ = __name__
del _public

__all__ = [
    "ATTR_ARCHIVE", "ATTR_DIRECTORY", "ATTR_HIDDEN", "ATTR_READ_ONLY", "ATTR_SYSTEM", "DEFAULT_MAX_OUTPUT",
    "AccessDenied", "Device", "DeviceBusy", "DeviceEvent", "DeviceEvents", "DeviceFileNotFound", "DeviceGone", "DeviceInfo", "Entry",
    "Error", "InvalidArgument", "LibraryError", "LocalFileError", "Matching", "NoDevice", "Refused", "Status", "Timeout", "Watch",
    "__version__", "devices", "events", "library", "library_version", "matching", "set_matching", "wait_for_device", "watch",
]  # not "open": a star import would hide the built-in; call zqkapi.open
