"""Devices, their terminal and their file system, on the library's handles."""

from __future__ import annotations

import ctypes
import mmap
import os
import threading
import weakref
from datetime import datetime, timedelta
from typing import Any, Callable, List, NamedTuple, Optional, Union

from . import _native
from ._errors import Error, InvalidArgument, LocalFileError, Status, error_for
from ._text import PathArg, device_bytes, device_str, local_bytes, open_argument

#: A progress callback: ``progress(done, total)`` in bytes, after every block.
Progress = Callable[[int, int], Any]

#: The output a command may have by default; the library loses output that
#: does not fit the buffer it is given, so the buffer is this large (it costs
#: only the memory that the output fills).
DEFAULT_MAX_OUTPUT = 16 << 20  # all the library hands back
_FIRST_READ_ROOM = 1 << 16  # read_bytes' first guess; a larger file is kept for the second call

#: The attribute bits of an :class:`Entry`.
ATTR_READ_ONLY = 0x01
ATTR_HIDDEN = 0x02
ATTR_SYSTEM = 0x04
ATTR_DIRECTORY = 0x10
ATTR_ARCHIVE = 0x20

_EPOCH = datetime(1970, 1, 1)
_NO_DATE = 2085805696  # what the library gives for an entry without a date
_LARGEST_TIMEOUT_MS = 0x7FFFFFFF


class DeviceInfo(NamedTuple):
    """A present device as :func:`devices` finds it (no device is opened)."""

    path: str
    serial: str
    manufacturer: str
    product: str


class Entry(NamedTuple):
    """One entry of a device folder.

    ``name`` is the device's bytes as UTF-8, a byte that is not UTF-8 as its
    lone surrogate: passed back to any method, it names the same entry.
    ``mtime`` is the device's time stamp as a naive :class:`datetime`: the
    device keeps its local time without a time zone (a host whose clock runs
    on the same local time reads it as its own local time). ``None`` when the
    device gave no date. ``attributes`` holds the ``ATTR_*`` bits.
    """

    name: str
    size: int
    attributes: int
    mtime: Optional[datetime]
    is_dir: bool


class Matching(NamedTuple):
    """The values that decide which devices match (-1 matches anything)."""

    vendor_id: int
    product_id: int
    usage_page: int
    usage: int


def _lib() -> ctypes.CDLL:
    return _native.library()


def _milliseconds(seconds: Optional[float], what: str) -> int:
    if seconds is None:
        return -1
    if seconds < 0:
        raise InvalidArgument(Status.ARGUMENT, "%s must not be negative, not %r" % (what, seconds))
    return min(int(round(seconds * 1000)), _LARGEST_TIMEOUT_MS)


def _status_text(lib: ctypes.CDLL) -> str:
    size = 1024
    while True:
        buffer = ctypes.create_string_buffer(size)
        n = lib.zqkStatusText(buffer, size)
        if n >= 0:
            return device_str(buffer.raw[:n])
        size = -n


def last_error() -> Optional[Error]:
    """The exception for the calling thread's last call, None after success."""
    lib = _lib()
    status = lib.zqkLastStatus()
    return error_for(status, _status_text(lib)) if status != Status.OK else None


def _checked(result: int) -> int:
    error = last_error()
    if error is not None:
        raise error
    return result


def _text_of(call: Callable[[Any, int], int], size: int = 256) -> bytes:
    """The text of a function that follows the buffer-return convention and
    may be asked again: the first answer too small tells the size needed."""
    while True:
        buffer = ctypes.create_string_buffer(size)
        n = call(buffer, size)
        if n >= 0:
            return buffer.raw[:n]
        if n == -1:  # with room for the zero byte, -1 is a failure
            _checked(n)
            raise Error(Status.OK, "the call failed without a reason")
        size = -n


class _OutputBuffer:
    """A large buffer for output that is lost when it does not fit: anonymous
    memory, which costs only the pages the output fills."""

    def __init__(self, size: int) -> None:
        self._map = mmap.mmap(-1, size)
        self.array = (ctypes.c_char * size).from_buffer(self._map)

    def __enter__(self) -> "_OutputBuffer":
        return self

    def __exit__(self, *exc: object) -> None:
        del self.array
        self._map.close()

    def take(self, count: int) -> bytes:
        return self._map[:count]


def _mtime(raw: int) -> Optional[datetime]:
    seconds = raw & 0xFFFFFFFF  # the library passes the unsigned seconds in a signed int
    return None if seconds == _NO_DATE else _EPOCH + timedelta(seconds=seconds)


def _device_seconds(when: datetime) -> int:
    """A time for the device: a naive datetime as it is (the device's local
    time), an aware one in this host's local time."""
    if when.tzinfo is not None:
        when = when.astimezone().replace(tzinfo=None)
    seconds = (when - _EPOCH) // timedelta(seconds=1)
    if not 0 <= seconds <= 0x7FFFFFFF:
        raise InvalidArgument(
            Status.ARGUMENT, "the library takes times from 1970 to 2038-01-19 03:14:07, not %s" % when
        )
    return seconds


class _Transfer:
    """One transfer's progress callback and the exception it raised.

    The library cannot stop a transfer from its callback, so the exception is
    kept, later reports are not passed on, and the transfer runs to its end;
    the exception comes out of get/put/flash when the call returns."""

    __slots__ = ("progress", "error")

    def __init__(self, progress: Optional[Progress]) -> None:
        self.progress = progress
        self.error: Optional[BaseException] = None

    def report(self, position: int, total: int) -> None:
        if self.progress is None or self.error is not None or position < 0:
            return  # (-1, -1) only says that the transfer ended
        try:
            self.progress(position, total)
        except BaseException as error:  # also KeyboardInterrupt: it must not be lost
            self.error = error


def _progress_dispatcher(device: "Device") -> Any:
    # The C callback holds only a weak reference, so that a device that is
    # dropped is closed; it runs on the thread that called the transfer.
    ref = weakref.ref(device)

    def on_progress(user: int, position: int, total: int) -> None:
        owner = ref()
        transfer = getattr(owner._transfers, "current", None) if owner is not None else None
        if transfer is not None:
            transfer.report(position, total)

    return _native.DevProgressCallback(on_progress)


class Device:
    """An open device: a handle of the library's own, usable from any thread
    (calls on one device are serialised by the library, calls on different
    devices run in parallel). Use it as a context manager, or call
    :meth:`close`. Made by :func:`open`."""

    def __init__(self, handle: int, name: str) -> None:
        """Takes over a handle of zqkDevOpen (:func:`open` makes devices);
        ``name`` is how ``repr`` and the messages call it."""
        self._handle = handle
        self._name = name
        self._transfers = threading.local()
        # Set once for the device's life: a transfer still running on another
        # thread when close() is called keeps calling it.
        self._callback = _progress_dispatcher(self)
        _lib().zqkDevSetCallback(handle, self._callback, 0)

    # ---- life -------------------------------------------------------------

    @property
    def handle(self) -> int:
        """The library's handle (for the zqkDev... functions); 0 once closed."""
        return self._handle

    def close(self) -> None:
        """Closes the device; later calls raise :class:`InvalidArgument`.
        Closing a closed device does nothing."""
        handle, self._handle = self._handle, 0
        if handle:
            _lib().zqkDevClose(handle)

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # at interpreter shutdown the library may be gone
            pass

    def __repr__(self) -> str:
        state = "" if self._handle else " (closed)"
        return "<zqkapi.Device %s%s>" % (self._name, state)

    def _live(self) -> int:
        if not self._handle:
            raise InvalidArgument(Status.ARGUMENT, "the device %s was closed" % self._name)
        return self._handle

    def _text(self, call: Callable[..., int], *args: Any) -> str:
        handle = self._live()
        return device_str(_text_of(lambda buffer, size: call(handle, *args, buffer, size)))

    def _do(self, call: Callable[..., int], *args: Any) -> int:
        return _checked(call(self._live(), *args))

    # ---- identity ---------------------------------------------------------

    @property
    def path(self) -> str:
        """The device's path: its system node, or ``sim:DIR``."""
        handle = self._live()
        raw = _text_of(lambda buffer, size: _lib().zqkDevUsbPath(handle, buffer, size))
        return os.fsdecode(raw) if raw.startswith(b"sim:") else device_str(raw)

    @property
    def serial(self) -> str:
        """The USB serial number."""
        return self.usb_string(0)

    @property
    def manufacturer(self) -> str:
        """The USB manufacturer string."""
        return self.usb_string(1)

    @property
    def product(self) -> str:
        """The USB product string."""
        return self.usb_string(2)

    def usb_string(self, index: int) -> str:
        """A USB string: 0 serial number, 1 manufacturer, 2 product, 200 to
        255 the device's string with that index; "" for others."""
        return self._text(_lib().zqkDevUsbDetail, index)

    @property
    def run_mode(self) -> str:
        """What the device runs, from its product string: "application",
        "bootloader", "ate" or "unknown"."""
        lib = _lib()
        for mode, test in (("application", lib.zqkDevIsRunningApp), ("bootloader", lib.zqkDevIsRunningBootloader),
                           ("ate", lib.zqkDevIsRunningATE)):
            if self._do(test):
                return mode
        return "unknown"

    @property
    def is_open(self) -> bool:
        """Whether the device is still open (False once it went away or was closed)."""
        return bool(self._handle) and _lib().zqkDevIsOpen(self._handle) == 1

    @property
    def last_error(self) -> int:
        """The system's error code from the last report read or write."""
        return _lib().zqkDevLastError(self._live())

    # ---- terminal ---------------------------------------------------------

    def command(self, line: Union[str, bytes], timeout: float = 2.0, max_output: int = DEFAULT_MAX_OUTPUT) -> str:
        """Runs one command line on the device's terminal and returns its
        output up to the device's next prompt (without it).

        ``timeout`` (seconds) bounds each silence of the device, not the whole
        command. Output larger than ``max_output`` bytes is lost (the library
        has taken it from the device) and raises :class:`InvalidArgument`.
        :class:`Timeout` when nothing came at all. ``line`` may be bytes; the
        output reads as names do (UTF-8, a byte that is not as its lone
        surrogate).
        """
        handle = self._live()
        text = device_bytes(line, "the command line")
        size = max_output + 1
        with _OutputBuffer(size) as output:
            n = _lib().zqkDevCommand(handle, text, output.array, size, _milliseconds(timeout, "the time-out"))
            if n < -1 and _lib().zqkLastStatus() == Status.BUFFER:
                raise InvalidArgument(
                    Status.BUFFER,
                    "the output of %r, %d bytes, was larger than max_output=%d and was lost" % (line, -n - 1, max_output),
                )
            return device_str(output.take(_checked(n)))

    def escape(self) -> bool:
        """Sends an escape: False when the prompt that answers asks for a
        password, True otherwise; :class:`Timeout` when nothing answers."""
        return self._do(_lib().zqkDevEscape) == 1

    def is_prompt(self, pattern: Union[str, bytes]) -> bool:
        """Sends an escape; whether the prompt shown contains ``pattern``."""
        return self._do(_lib().zqkDevIsPrompt, device_bytes(pattern, "the pattern")) == 1

    def flush_prompt(self, timeout: float = 0.25, max_output: int = DEFAULT_MAX_OUTPUT) -> str:
        """The terminal output up to the next prompt's end, or what came before
        ``timeout`` seconds of silence; "" when nothing came. Output larger than
        ``max_output`` is lost, as for :meth:`command`."""
        handle = self._live()
        size = max_output + 1
        lib = _lib()
        with _OutputBuffer(size) as output:
            n = lib.zqkDevFlushPrompt(handle, output.array, size, _milliseconds(timeout, "the time-out"))
            if n == 0 and lib.zqkLastStatus() == Status.TIMEOUT:
                return ""
            return device_str(output.take(_checked(n)))

    def set_prompt(self, prompt: Union[str, bytes]) -> None:
        """Sets the prompt that ends a command's output ("" : only silence ends it).
        Give the default's framing bytes 0xAB and 0xBB as bytes, or as
        "\\udcab" and "\\udcbb": they are no UTF-8."""
        self._do(_lib().zqkDevSetPrompt, device_bytes(prompt, "the prompt"))

    def send(self, data: bytes, timeout: float = 1.0) -> None:
        """Sends raw bytes on the terminal channel, each report written within ``timeout`` seconds."""
        data = bytes(data)
        if self._do(_lib().zqkDevTermTx, data, len(data), _milliseconds(timeout, "the time-out")) != 1:
            raise Error(Status.OK, "the data could not be sent")

    def receive(self, timeout: float = 1.0) -> bytes:
        """The data of one packet from the terminal channel (up to 61 bytes),
        waiting up to ``timeout`` seconds; b"" when none came."""
        handle = self._live()
        lib = _lib()
        buffer = ctypes.create_string_buffer(256)
        n = lib.zqkDevTermRx(handle, buffer, 256, _milliseconds(timeout, "the time-out"))
        if lib.zqkLastStatus() == Status.TIMEOUT:
            return b""
        return buffer.raw[:_checked(n)]

    def poll(self, timeout: float = 0.0) -> bool:
        """Reads waiting reports into the library's channel buffers, waiting up
        to ``timeout`` seconds for the first; whether a packet arrived."""
        return _lib().zqkDevPoll(self._live(), _milliseconds(timeout, "the time-out")) == 0

    # ---- file system ------------------------------------------------------

    def listdir(self, path: PathArg = "/") -> List[Entry]:
        """The entries of a device folder, in the device's order (names as
        :class:`Entry` says)."""
        lib = _lib()
        handle = self._live()
        count = self._do(lib.zqkDevDir, device_bytes(path, "the device path"))
        entries = []
        size, attributes, time = ctypes.c_int32(), ctypes.c_int32(), ctypes.c_int32()
        for index in range(count):
            room = 256
            while True:
                name = ctypes.create_string_buffer(room)
                n = lib.zqkDevGetDirEntry(handle, index, name, room, ctypes.byref(size), ctypes.byref(attributes),
                                          ctypes.byref(time))
                if n >= -1:
                    break
                room = -n
            if n == -1:
                continue  # a line the device printed that is no entry
            bits = attributes.value & 0xFF
            entries.append(Entry(device_str(name.raw[:n]), size.value, bits, _mtime(time.value),
                                 bool(bits & ATTR_DIRECTORY)))
        return entries

    def _transfer(self, call: Callable[..., int], progress: Optional[Progress], *args: Any,
                  tolerated: Optional[int] = None, local: Optional[bytes] = None) -> int:
        handle = self._live()
        transfer = _Transfer(progress)
        outer = getattr(self._transfers, "current", None)
        self._transfers.current = transfer
        try:
            result = call(handle, *args)
            failure = last_error()  # right after the call, on this thread
        finally:
            self._transfers.current = outer
        if transfer.error is not None:
            if failure is not None and transfer.error.__context__ is None:
                transfer.error.__context__ = failure
            raise transfer.error
        if isinstance(failure, LocalFileError) and local is not None:
            failure.filename = os.fsdecode(local)
        if failure is not None and failure.status != tolerated:
            raise failure
        return result

    def get(self, device_path: PathArg, local_path: Optional[PathArg] = None, *,
            progress: Optional[Progress] = None) -> int:
        """Copies a device file to a local file (by default its name in the
        current folder) and returns the number of bytes. ``progress(done,
        total)`` is called after every block.

        On failure the local file is left as it was. An exception raised by
        ``progress`` comes out of ``get`` once the transfer has ended: the
        library cannot stop a transfer midway, so it runs to its end without
        further progress calls, and the local file is then complete.
        """
        source = device_bytes(device_path, "the device path")
        if local_path is None:
            local_path = device_str(source.rsplit(b"/", 1)[-1])
            if not local_path:
                raise InvalidArgument(Status.ARGUMENT, "give a local file name for %s" % device_str(source))
        target = local_bytes(local_path)
        return self._transfer(_lib().zqkDevFileRead, progress, source, target, local=target)

    def put(self, local_path: PathArg, device_path: Optional[PathArg] = None, *,
            progress: Optional[Progress] = None, mtime: Optional[datetime] = None) -> int:
        """Copies a local file to the device (by default as its name in the
        device's root folder) and returns the number of bytes.

        ``mtime`` gives the device file that time stamp (a naive datetime is
        the device's local time, an aware one is taken in this host's local
        time); without it the device stamps the file itself. ``progress`` as
        for :meth:`get`: an exception it raises comes out after the transfer,
        which has then written the whole device file.
        """
        source = local_bytes(local_path)
        if device_path is None:  # the name as the caller wrote it: on Windows source is in the ANSI code page
            device_path = "/" + os.path.basename(os.fsdecode(os.fspath(local_path)))
        target = device_bytes(device_path, "the device path")
        lib = _lib()
        if mtime is None:
            return self._transfer(lib.zqkDevFileWrite, progress, source, target, local=source)
        return self._transfer(lib.zqkDevFileWriteAt, progress, source, target, _device_seconds(mtime), local=source)

    def read_bytes(self, device_path: PathArg, *, progress: Optional[Progress] = None) -> bytes:
        """The bytes of a device file, read into memory; ``progress`` as for
        :meth:`get`. The file crosses the link once, whatever its size: one
        larger than the first guess stays with the library until the second
        call that makes room for it."""
        source = device_bytes(device_path, "the device path")
        room = _FIRST_READ_ROOM
        for _ in range(3):  # a kept file fits the second time; a third is for a file changed between
            buffer = ctypes.create_string_buffer(room)
            n = self._transfer(_lib().zqkDevFileReadBuffer, progress, source, buffer, room,
                               tolerated=Status.BUFFER)
            if n >= 0:
                return buffer.raw[:n]
            room = max(-n - 1, 1)  # the file's size
        raise Error(Status.BUFFER, "%s changed size at every read" % device_str(source))

    def write_bytes(self, device_path: PathArg, data: bytes, *, progress: Optional[Progress] = None,
                    mtime: Optional[datetime] = None) -> int:
        """Writes ``data`` (bytes or any buffer) to a device file and returns
        the number of bytes; ``progress`` and ``mtime`` as for :meth:`put`.
        Empty data sends nothing, as an empty local file does."""
        target = device_bytes(device_path, "the device path")
        payload = bytes(data)
        if len(payload) > 0x7FFFFFFF:
            raise InvalidArgument(Status.ARGUMENT, "the library writes at most 2 GiB at once")
        seconds = 0 if mtime is None else _device_seconds(mtime)
        return self._transfer(_lib().zqkDevFileWriteBuffer, progress, payload, len(payload), target, seconds)

    def flash(self, image_path: PathArg, *, progress: Optional[Progress] = None) -> int:
        """Sends a firmware image (named on the device after the file's name
        in lower case) and returns the number of bytes sent; ``progress`` as
        for :meth:`get`."""
        image = local_bytes(image_path, "the image's path")
        return self._transfer(_lib().zqkDevFirmwareUpdate, progress, image, local=image)

    def mkdir(self, path: PathArg) -> None:
        """Makes a device folder."""
        self._do(_lib().zqkDevDirMake, device_bytes(path, "the device path"))

    def rmdir(self, path: PathArg) -> None:
        """Removes a device folder with everything in it."""
        self._do(_lib().zqkDevDirRemove, device_bytes(path, "the device path"))

    def remove(self, path: PathArg) -> None:
        """Deletes a device file."""
        self._do(_lib().zqkDevFileDelete, device_bytes(path, "the device path"))

    def rename(self, old: PathArg, new: PathArg) -> None:
        """Renames (or moves) a device file or folder."""
        self._do(_lib().zqkDevRename, device_bytes(old, "the device path"), device_bytes(new, "the new device path"))


# ---- the module's functions -------------------------------------------------


def open(path_or_serial: Optional[PathArg] = None, *, serial: Optional[str] = None) -> Device:  # noqa: A001
    """Opens a device: the first matching one (no argument), the one on a
    path from :func:`devices`, the one with a serial number (``serial=``, or
    as the argument), or the simulated device ``"sim:DIR"`` whose files are
    kept in folder DIR (options may follow: ``"sim:DIR?pace=host&serial=X"``,
    see zqkAPI.h).

    Raises :class:`NoDevice`, :class:`AccessDenied`, ... with the library's reason.
    """
    if path_or_serial is not None and serial is not None:
        raise TypeError("open() takes a path or a serial number, not both")
    target = serial if serial is not None else path_or_serial
    argument = None if target is None else open_argument(target)
    handle = _lib().zqkDevOpen(argument)
    if handle <= 0:
        _checked(handle)
        raise Error(Status.OK, "the device could not be opened")
    return Device(handle, "first matching device" if target is None else os.fsdecode(os.fspath(target)))


def devices() -> List[DeviceInfo]:
    """The present devices that match (see :func:`set_matching`), without
    opening them. Simulated devices are never listed."""
    lib = _lib()
    count = _checked(lib.zqkFindDevices())
    found = []
    for index in range(count):
        fields = [device_str(_text_of(lambda b, s: lib.zqkFoundDevice(index, kind, b, s))) for kind in (-1, 0, 1, 2)]
        found.append(DeviceInfo(*fields))
    return found


def wait_for_device(path_or_serial: Optional[PathArg] = None, timeout: Optional[float] = None) -> bool:
    """Waits until a device with that path or serial number (any matching
    one for None) is present: True as soon as it is, False after ``timeout``
    seconds (None: no limit)."""
    argument = None if path_or_serial is None else open_argument(path_or_serial)
    lib = _lib()
    if lib.zqkWaitForDevice(argument, _milliseconds(timeout, "the time-out")) == 1:
        return True
    if lib.zqkLastStatus() in (Status.NO_DEVICE, Status.TIMEOUT):
        return False  # it did not come in time
    _checked(0)
    return False


def matching() -> Matching:
    """The values that decide which devices match."""
    lib = _lib()
    return Matching(*(lib.zqkGetVidPid(index) for index in range(4)))


def set_matching(vendor_id: Optional[int] = None, product_id: Optional[int] = None,
                 usage_page: Optional[int] = None, usage: Optional[int] = None) -> None:
    """Sets the values that the next :func:`open` without a path and
    :func:`devices` match (-1 matches anything; None keeps the value)."""
    lib = _lib()
    for index, value in enumerate((vendor_id, product_id, usage_page, usage)):
        if value is not None:
            lib.zqkSetVidPid(index, value)


def library_version() -> str:
    """The release of the loaded library, e.g. "1.1.0"."""
    return _native.version_text(_lib().zqkVersion())


def library() -> ctypes.CDLL:
    """The loaded library itself, every export with its prototype, for what
    the binding does not offer."""
    return _lib()
