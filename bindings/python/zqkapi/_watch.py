"""Devices arriving and leaving, as the library's watch reports them.

The library watches for one callback at a time, on a thread of its own: the
binding keeps one :class:`Watch` at a time too, and refuses a second with
:class:`DeviceBusy` rather than silently ending the first.
"""

from __future__ import annotations

import contextlib
import queue
import threading
import time
from typing import Any, Callable, NamedTuple, Optional

from . import _native
from ._device import last_error
from ._errors import Error, Status, error_for
from ._text import device_str

# How long events() waits at a time: a wait without end cannot be interrupted
# by Ctrl-C on Windows.
_WAIT_SLICE = 0.25
_NO_CALLBACK = _native.DeviceCallback()  # NULL, which stops the library's watch


class DeviceEvent(NamedTuple):
    """A matching device that arrived (``arrived`` True) or left.

    ``path`` is the device's path as :func:`devices` gives it and
    :func:`open` takes it, ``serial`` its USB serial number ("" when it has
    none); both read as device names do (UTF-8, a byte that is not UTF-8 as
    its lone surrogate)."""

    arrived: bool
    path: str
    serial: str


#: A watch's callback: ``callback(event)``, on the library's thread.
DeviceHandler = Callable[[DeviceEvent], Any]

_owner_lock = threading.Lock()
_owner: Optional["Watch"] = None  # the watch the library calls back, until its stop has returned


class Watch:
    """A watch for devices arriving and leaving, made by :func:`watch`.

    The callback runs on the library's thread, one event at a time: first
    every matching device present (as arrived), then each arrival and
    removal as it happens. Leaving the ``with`` block, or :meth:`stop`, ends
    the watch; no callback runs once it has returned.
    """

    def __init__(self, callback: DeviceHandler) -> None:
        """A watch that calls ``callback`` (not started: :func:`watch` starts it)."""
        self._callback = callback
        self._state = threading.Lock()
        self._stopping = False
        self._stopped = threading.Event()
        self._dispatching: Optional[int] = None  # the thread running the callback now
        self._error: Optional[BaseException] = None
        # Kept as long as the watch: the library calls it until its stop has returned.
        self._c_callback = _native.DeviceCallback(self._on_device)

    @property
    def active(self) -> bool:
        """Whether the watch still passes events on."""
        return not self._stopping

    def _on_device(self, user: int, arrived: int, path: Optional[bytes], serial: Optional[bytes]) -> None:
        if self._stopping:
            return
        event = DeviceEvent(bool(arrived), device_str(path or b""), device_str(serial or b""))
        self._dispatching = threading.get_ident()
        try:
            self._callback(event)
        except BaseException as error:  # also KeyboardInterrupt: kept for stop(), not lost in ctypes
            self._error = error
            self._end()
        finally:
            self._dispatching = None

    def _end(self) -> None:
        """Ends the watch without raising the callback's exception."""
        with self._state:
            first = not self._stopping
            self._stopping = True  # from now on no event is passed on
        if not first:
            # Another thread is stopping the library; wait for it, unless that
            # thread waits for this callback to return.
            if self._dispatching != threading.get_ident():
                self._stopped.wait()
            return
        try:
            with _owner_lock:
                mine = _owner is self
            if mine:
                _native.library().zqkSetDeviceCallback(_NO_CALLBACK, 0)
        finally:
            self._release()

    def _release(self) -> None:
        """Lets the next watch start, once the library calls this one no more."""
        global _owner
        self._stopping = True
        with _owner_lock:
            if _owner is self:
                _owner = None
        self._stopped.set()

    def stop(self) -> None:
        """Ends the watch (from any thread, the callback's own included);
        once it has returned no callback runs. An exception the callback
        raised, which ended the watch, comes out here. Stopping twice does
        nothing."""
        self._end()
        error, self._error = self._error, None
        if error is not None:
            raise error

    def __enter__(self) -> "Watch":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __repr__(self) -> str:
        return "<zqkapi.Watch %s>" % ("active" if self.active else "stopped")


def watch(callback: DeviceHandler) -> Watch:
    """Starts watching for matching devices (see :func:`set_matching`) that
    arrive or leave and returns the :class:`Watch`: ``callback(event)`` gets a
    :class:`DeviceEvent` for every device present, then for each arrival and
    removal. It runs on the library's thread: a slow callback delays the
    events after it. It may call any function, :func:`open` of the device
    that arrived included. An exception it raises ends the watch and comes
    out of :meth:`Watch.stop`.

    One watch at a time: a second one while the first runs raises
    :class:`DeviceBusy`. :class:`NoDevice` when this system cannot watch
    for devices. Simulated devices are never reported.
    """
    global _owner
    started = Watch(callback)
    with _owner_lock:
        if _owner is not None:
            raise error_for(Status.BUSY, "a watch for devices is running already: stop it first (one at a time)")
        _owner = started
    lib = _native.library()
    if lib.zqkSetDeviceCallback(started._c_callback, 0) != 0:
        failure = last_error() or Error(Status.OK, "watching for devices failed without a reason")
        started._release()
        raise failure
    return started


class DeviceEvents:
    """The events of a watch as an iterator, made by :func:`events`: each
    :class:`DeviceEvent` in order, as it comes. Closing it, leaving its
    ``with`` block or dropping it ends the watch; with a ``timeout``,
    iteration also ends when no event came for that long."""

    def __init__(self, timeout: Optional[float] = None) -> None:
        """Starts the watch (as :func:`watch` does: :class:`DeviceBusy` while another runs)."""
        if timeout is not None and timeout < 0:
            raise error_for(Status.ARGUMENT, "the time-out must not be negative, not %r" % timeout)
        self._timeout = timeout
        self._queue: "queue.SimpleQueue[DeviceEvent]" = queue.SimpleQueue()
        self._watch = watch(self._queue.put)

    def __iter__(self) -> "DeviceEvents":
        return self

    def __next__(self) -> DeviceEvent:
        deadline = None if self._timeout is None else time.monotonic() + self._timeout
        while self._watch.active or not self._queue.empty():
            wait = _WAIT_SLICE if deadline is None else min(_WAIT_SLICE, deadline - time.monotonic())
            try:
                return self._queue.get(timeout=max(wait, 0))
            except queue.Empty:
                if deadline is not None and time.monotonic() >= deadline:
                    break
        self.close()
        raise StopIteration

    def close(self) -> None:
        """Ends the watch; the iteration ends too. Closing twice does nothing."""
        self._watch.stop()

    def __enter__(self) -> "DeviceEvents":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # Dropped unclosed, as a loop left with break leaves it. (At interpreter
        # shutdown the library may be gone; a watch that never started has none.)
        with contextlib.suppress(Exception):
            self._watch.stop()


def events(timeout: Optional[float] = None) -> DeviceEvents:
    """Starts watching for matching devices and returns the events as an
    iterator (:class:`DeviceEvents`)::

        for event in zqkapi.events():
            print("+" if event.arrived else "-", event.path, event.serial)

    Breaking out of the loop and dropping the iterator ends the watch (or use
    ``with zqkapi.events() as stream:``). ``timeout`` (seconds): the
    iteration ends when no event came for that long. One watch at a time, as
    for :func:`watch`."""
    return DeviceEvents(timeout)
