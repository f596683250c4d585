"""The binding's own work: prototypes, text, buffers, statuses, callbacks and
threads; the library's behaviour is tested by its own suites."""

import ctypes
import errno
import inspect
import os
import shutil
import subprocess
import sys
import threading
from datetime import datetime, timedelta, timezone

import pytest

import zqkapi
from zqkapi import _device, _native
from conftest import REPOSITORY

DEMO_LOG = "/logs/2024-03-15.log"


def test_every_export_has_its_prototype():
    table = REPOSITORY / "src" / "api" / "exports.txt"
    exports = {}
    for line in table.read_text().splitlines():
        fields = line.split()
        if fields and not line.startswith("#"):
            exports[fields[0]] = int(fields[2])  # name, ordinal, 32-bit parameters, prototype
    assert {name: len(argtypes) for name, (_, argtypes) in _native.PROTOTYPES.items()} == exports
    lib = zqkapi.library()
    assert all(getattr(lib, name).argtypes is not None for name in exports)


def test_identity_terminal_and_closing(open_sim, tmp_path):
    dev = open_sim("keeper", "serial=ZQK-0042")
    assert dev.path == "sim:%s" % (tmp_path / "keeper")
    assert (dev.serial, dev.manufacturer, dev.product) == ("ZQK-0042", "Vorlund", "zq.keeper")
    assert dev.usb_string(203) == "fw 2.4.1"
    assert dev.run_mode == "application"
    assert open_sim("boot", "mode=bootloader").run_mode == "bootloader"
    assert open_sim("ate", "mode=ate").run_mode == "ate"
    assert dev.command("ver") == "zq.keeper firmware 2.4.1 (simulated)\r\n"
    # Letters beyond ASCII go as UTF-8; a byte that is not UTF-8 as its lone surrogate, both ways.
    assert dev.command("echo h\xe9llo \xa0\xff \u20ac") == "h\xe9llo \xa0\xff \u20ac\r\n"
    assert dev.command("echo caf\udce9") == "caf\udce9\r\n" == dev.command(b"echo caf\xe9")
    assert dev.escape() is True
    assert dev.is_prompt("keeper>") and not dev.is_prompt("PASSWORD")
    dev.send(b"echo raw\r")
    assert dev.poll(1.0)
    received = b""
    while b"raw" not in received:
        received += dev.receive(1.0)
    assert dev.flush_prompt(0.1).endswith("zq.keeper>")
    assert dev.receive(0.01) == b"" and dev.flush_prompt(0.01) == ""
    dev.set_prompt("")  # now silence alone ends the output, prompt included
    assert dev.command("ver", timeout=0.05).endswith("\udcabzq.keeper>\udcbb")  # its framing bytes are no UTF-8
    assert isinstance(dev.last_error, int)
    with dev:
        assert dev.is_open
    assert not dev.is_open and "closed" in repr(dev)
    with pytest.raises(zqkapi.InvalidArgument, match="closed"):
        dev.command("ver")
    dev.close()  # once more does nothing


def test_files_both_ways_with_blanks_and_progress(open_sim, tmp_path, monkeypatch):
    dev = open_sim()
    local = tmp_path / "local notes.bin"
    data = bytes(range(256)) * 80  # 20480 bytes: five blocks
    local.write_bytes(data)
    stamp = datetime(2024, 5, 6, 7, 8, 10)
    dev.mkdir("/new folder")
    reports = []
    assert dev.put(local, "/new folder/a b.bin", progress=lambda done, total: reports.append((done, total)),
                   mtime=stamp) == len(data)
    assert reports[-1] == (len(data), len(data)) and len(reports) == 5
    assert [done for done, _ in reports] == sorted(done for done, _ in reports)
    [entry] = dev.listdir("/new folder")
    assert entry == zqkapi.Entry("a b.bin", len(data), entry.attributes, stamp, False)
    assert next(e for e in dev.listdir() if e.name == "new folder").is_dir
    # An aware time is taken in this host's local time.
    aware = datetime(2024, 5, 6, 12, 0, 0, tzinfo=timezone(timedelta(hours=3)))
    dev.put(local, "/aware.bin", mtime=aware)
    assert next(e for e in dev.listdir() if e.name == "aware.bin").mtime == aware.astimezone().replace(tzinfo=None)
    back = tmp_path / "back again.bin"
    got = []
    assert dev.get("/new folder/a b.bin", back, progress=lambda done, total: got.append(done)) == len(data)
    assert back.read_bytes() == data and got[-1] == len(data)
    monkeypatch.chdir(tmp_path)
    assert dev.get(DEMO_LOG) == 8272 and (tmp_path / "2024-03-15.log").stat().st_size == 8272
    assert dev.put(str(local)) == len(data)  # to the root, under its own name
    dev.rename("/new folder/a b.bin", "/new folder/c d.bin")
    assert [e.name for e in dev.listdir("/new folder")] == ["c d.bin"]
    dev.remove("/new folder/c d.bin")
    dev.rmdir("/new folder")
    assert {"new folder", "local notes.bin"} & {e.name for e in dev.listdir()} == {"local notes.bin"}
    # In memory: larger than the first guess of read_bytes, with zero bytes.
    payload = bytes(range(256)) * 300 + b"\0\0"
    sent, received = [], []
    assert dev.write_bytes("/mem.bin", memoryview(payload), progress=lambda d, t: sent.append(d)) == len(payload)
    assert dev.read_bytes("/mem.bin", progress=lambda d, t: received.append(d)) == payload
    assert sent[-1] == received[-1] == len(payload)
    assert dev.read_bytes(DEMO_LOG) == (tmp_path / "2024-03-15.log").read_bytes()
    assert dev.write_bytes("/empty.bin", b"") == 0
    with pytest.raises(zqkapi.Refused):
        dev.read_bytes("/no such file.bin")
    image = tmp_path / "MAIN.BIN"
    image.write_bytes(b"\x5a" * 5000)
    flashed = []
    assert dev.flash(image, progress=lambda done, total: flashed.append(total)) == 5000 and flashed[-1] == 5000


def test_names_read_back_are_written_back_unchanged(open_sim, tmp_path, monkeypatch):
    dev = open_sim()
    folder = os.fsencode(tmp_path / "keeper")  # the simulator keeps each device name's bytes as a host name
    dev.write_bytes("/caf\xe9 \u20ac.txt", b"utf-8")
    assert "caf\xe9 \u20ac.txt".encode("utf-8") in os.listdir(folder)
    with open(os.path.join(folder, b"caf\xe9.txt"), "wb") as made:  # a name that is not UTF-8
        made.write(b"latin-1")
    names = {e.name: e for e in dev.listdir()}
    assert {"caf\xe9 \u20ac.txt", "caf\udce9.txt"} <= set(names)
    monkeypatch.chdir(tmp_path)
    for name, data in (("caf\xe9 \u20ac.txt", b"utf-8"), ("caf\udce9.txt", b"latin-1")):
        assert dev.read_bytes("/" + name) == data and dev.get("/" + name) == len(data)
        assert open(name, "rb").read() == data  # the local file named with the same bytes
        dev.rename("/" + name, "/moved " + name)
        assert (b"moved " + name.encode("utf-8", "surrogateescape")) in os.listdir(folder)
    with pytest.raises(zqkapi.DeviceFileNotFound) as caught:
        dev.remove("/none caf\udce9")
    assert "/none caf\udce9" in caught.value.text  # the library's text names it with the same bytes


def test_times_without_a_date_and_out_of_range():
    assert _device._mtime(2085805696) is None  # the library's value for "no date"
    assert _device._mtime(-1) == datetime(2106, 2, 7, 6, 28, 15)  # unsigned seconds in a signed int
    with pytest.raises(zqkapi.InvalidArgument, match="2038"):
        _device._device_seconds(datetime(2040, 1, 1))


def _unplugged_after_one_call(open_sim, tmp_path):
    dev = open_sim("gone", "unplug=1")
    with pytest.raises(zqkapi.Error):
        dev.command("ver")  # the reports run out during this one
    dev.command("ver")


def _callback_that_calls_its_device(open_sim, tmp_path):
    dev = open_sim()
    # (Never os.devnull: the library replaces the local file by renaming a new one over it.)
    dev.get(DEMO_LOG, tmp_path / "busy.log", progress=lambda done, total: dev.command("ver"))


# Each failure: its exception, the standard one it also is, what else it says.
FAILURES = {
    "no device": (zqkapi.NoDevice, OSError, lambda open_sim, tmp_path: zqkapi.open(serial="NO-SUCH-SERIAL")),
    "access": (zqkapi.AccessDenied, PermissionError,
               lambda open_sim, tmp_path: zqkapi.open("sim:/proc/zqk-cannot-be-made")),
    "refused": (zqkapi.DeviceFileNotFound, FileNotFoundError,
                lambda open_sim, tmp_path: open_sim().remove("/no such file")),
    "refused, no path": (zqkapi.Refused, FileNotFoundError, lambda open_sim, tmp_path: open_sim().listdir("/nodir")),
    "refused, exists": (zqkapi.Refused, Exception, lambda open_sim, tmp_path: open_sim().mkdir("/logs")),
    "local file": (zqkapi.LocalFileError, OSError,
                   lambda open_sim, tmp_path: open_sim().put(tmp_path / "missing.bin", "/x.bin")),
    "timeout": (zqkapi.Timeout, TimeoutError, lambda open_sim, tmp_path: open_sim().command("sleep 300", timeout=0.05)),
    "gone": (zqkapi.DeviceGone, ConnectionError, _unplugged_after_one_call),
    "busy": (zqkapi.DeviceBusy, OSError, _callback_that_calls_its_device),
    "zero byte": (zqkapi.InvalidArgument, Exception, lambda open_sim, tmp_path: open_sim().mkdir("/a\0b")),
    "lone surrogate": (zqkapi.InvalidArgument, Exception, lambda open_sim, tmp_path: open_sim().mkdir("/\ud800")),
    "bad option": (zqkapi.InvalidArgument, Exception, lambda open_sim, tmp_path: open_sim("x", "pace=fast")),
}


@pytest.mark.parametrize("case", FAILURES)
def test_each_failure_raises_its_exception(open_sim, tmp_path, case):
    kind, standard, provoke = FAILURES[case]
    with pytest.raises(kind) as caught:
        provoke(open_sim, tmp_path)
    failure = caught.value
    assert isinstance(failure, zqkapi.Error) and isinstance(failure, standard)
    assert failure.status in zqkapi.Status and failure.text and str(failure) == failure.text
    assert isinstance(failure, OSError) == (standard is not Exception)
    if isinstance(failure, OSError):
        assert failure.errno and failure.strerror == failure.text
    if isinstance(failure, zqkapi.Refused):
        assert failure.device_code and failure.device_text and failure.text.endswith(
            "%d:%s" % (failure.device_code, failure.device_text))
    if isinstance(failure, zqkapi.LocalFileError):
        assert failure.errno == errno.ENOENT and failure.filename.endswith("missing.bin")


def test_a_listing_cut_short_raises_and_never_passes_for_the_folder(open_sim):
    whole = [e.name for e in open_sim("whole").listdir()]
    for reports in range(1, 12):
        dev = open_sim("gone%d" % reports, "unplug=%d" % reports)
        try:
            assert [e.name for e in dev.listdir()] == whole, "unplugged after %d reports" % reports
        except zqkapi.Error as failure:
            assert failure.status in (zqkapi.Status.GONE, zqkapi.Status.NOT_OPEN), failure.text


def test_every_status_has_its_exception():
    kinds = {zqkapi.Status.BUSY: zqkapi.DeviceBusy, zqkapi.Status.NOT_OPEN: zqkapi.DeviceGone,
             zqkapi.Status.BUFFER: zqkapi.InvalidArgument, 99: zqkapi.Error}
    for status, kind in kinds.items():
        error = zqkapi._errors.error_for(status, "why")
        assert type(error) is kind and (error.status, error.text) == (status, "why")


def test_two_devices_at_once_from_two_threads(open_sim, tmp_path):
    devices = [open_sim("one", "serial=ONE"), open_sim("two", "serial=TWO")]
    start = threading.Barrier(2)
    problems = []

    def work(dev, index):
        try:
            start.wait()
            for round_ in range(5):
                data = bytes([index, round_]) * 3000
                local = tmp_path / ("%d-%d" % (index, round_))
                local.write_bytes(data)
                dev.put(local, "/mine.bin", progress=lambda done, total: None)
                dev.get("/mine.bin", local.with_suffix(".back"))
                assert local.with_suffix(".back").read_bytes() == data
                assert dev.command("echo %s %d" % (dev.serial, round_)) == "%s %d\r\n" % (dev.serial, round_)
        except BaseException as error:  # noqa: B902 - reported by the test's thread
            problems.append(error)

    threads = [threading.Thread(target=work, args=(dev, i)) for i, dev in enumerate(devices)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert problems == []


class Stop(Exception):
    pass


def test_a_callback_that_raises_ends_the_transfer_cleanly(open_sim, tmp_path):
    dev = open_sim()
    local = tmp_path / "20k.bin"
    local.write_bytes(b"\x11" * 20000)
    calls = []

    def stop(done, total):
        calls.append(done)
        raise Stop("enough")

    with pytest.raises(Stop, match="enough"):
        dev.put(local, "/20k.bin", progress=stop)
    assert calls == [4096]  # no more calls once it raised
    # The transfer ran to its end: the device file is whole, the device at ease.
    assert next(e for e in dev.listdir() if e.name == "20k.bin").size == 20000
    with pytest.raises(KeyboardInterrupt):  # what Ctrl-C in a callback raises
        dev.get("/20k.bin", tmp_path / "back.bin", progress=lambda done, total: (_ for _ in ()).throw(KeyboardInterrupt))
    assert (tmp_path / "back.bin").stat().st_size == 20000
    assert dev.command("ver").startswith("zq.keeper")


def test_large_outputs_come_back_whole(open_sim):
    # pace=host: the simulated device sends no faster than the library takes
    # it, so that nothing is lost on the way (pace=0 floods the link).
    dev = open_sim("big", "pace=host")
    size = 3 << 20
    output = dev.command("text %d" % size)
    assert len(output) == size and output.startswith("The quick brown fox")
    with pytest.raises(zqkapi.InvalidArgument, match="larger than max_output=1000") as caught:
        dev.command("text 5000", max_output=1000)
    assert caught.value.status == zqkapi.Status.BUFFER
    assert dev.command("ver").startswith("zq.keeper")


def test_finding_devices_and_matching(open_sim):
    assert all(isinstance(d, zqkapi.DeviceInfo) for d in zqkapi.devices())  # a sim device is never listed
    before = zqkapi.matching()
    assert before == zqkapi.Matching(0x16D0, 0x064E, 0xFFB2, -1)
    try:
        zqkapi.set_matching(product_id=0x1234, usage=1)
        assert zqkapi.matching() == zqkapi.Matching(0x16D0, 0x1234, 0xFFB2, 1)
    finally:
        zqkapi.set_matching(*before)
    assert zqkapi.wait_for_device("NO-SUCH-SERIAL", timeout=0.01) is False
    assert zqkapi.library_version() == "1.1.0"


def _from_the_library_thread(watcher, arrived, path, serial):
    """Calls the watch's C callback as the library's thread does (from
    another thread, through ctypes): without a device, the binding's own part."""
    caller = threading.Thread(target=watcher._c_callback, args=(0, arrived, path, serial))
    caller.start()
    caller.join()


def test_watching_for_devices_one_at_a_time():
    fake = b"/dev/zqk-test-unit"  # a path no device has: the events below are the test's own
    seen = []
    with zqkapi.watch(seen.append) as watcher:
        assert watcher.active
        for second in (lambda: zqkapi.watch(print), zqkapi.events):
            with pytest.raises(zqkapi.DeviceBusy, match="one at a time"):
                second()
        _from_the_library_thread(watcher, 1, fake, b"caf\xe9")
    assert not watcher.active
    _from_the_library_thread(watcher, 0, fake, b"caf\xe9")  # stopped: not passed on
    mine = [e for e in seen if e.path == fake.decode()]
    assert mine == [zqkapi.DeviceEvent(True, fake.decode(), "caf\udce9")]  # a serial reads as names do
    present = {d.path for d in zqkapi.devices()}
    assert all(e.arrived and e.path in present for e in seen if e not in mine)  # what the library found there
    watcher.stop()  # once more does nothing

    # A callback that raises ends the watch; stop() raises it, and the next watch may start.
    def fails(event):
        if event.path == fake.decode():
            raise Stop("from the callback")

    failing = zqkapi.watch(fails)
    _from_the_library_thread(failing, 1, fake, None)
    assert not failing.active
    with pytest.raises(Stop, match="from the callback"):
        failing.stop()
    # Stopped from inside its own callback.
    inside = []
    holder = []

    def stop_inside(event):
        if event.path == fake.decode():
            inside.append(event)
            holder[0].stop()

    holder.append(zqkapi.watch(stop_inside))
    _from_the_library_thread(holder[0], 0, fake, b"")
    _from_the_library_thread(holder[0], 1, fake, b"")
    assert not holder[0].active and inside == [zqkapi.DeviceEvent(False, fake.decode(), "")]

    # The iterator: ends after a silence as long as its time-out, and ends the watch.
    with zqkapi.events(timeout=0.05) as stream:
        _from_the_library_thread(stream._watch, 0, fake, b"X")
        got = list(stream)
    assert zqkapi.DeviceEvent(False, fake.decode(), "X") in got and not stream._watch.active
    zqkapi.watch(lambda event: None).stop()  # free again


def test_the_library_not_found_too_old_or_foreign(tmp_path):
    with pytest.raises(zqkapi.LibraryError, match="no file") as caught:
        _native.find_and_load({"ZQKAPI_LIBRARY": str(tmp_path / "missing.so")})
    assert caught.value.status == zqkapi.Status.NO_LIBRARY
    # The whole way, in a process of its own: the first call loads the library.
    env = dict(os.environ, ZQKAPI_LIBRARY=str(tmp_path / "missing.so"), PYTHONPATH=str(REPOSITORY / "bindings/python"))
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(os.path.dirname(zqkapi.__file__)), env["PYTHONPATH"]])
    run = subprocess.run([sys.executable, "-m", "zqkapi", "info"], env=env, capture_output=True, text=True)
    assert run.returncode == 1 and "missing.so, which is no file" in run.stderr
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the fake libraries")
    for name, source, problem in (("old", "int zqkVersion(void) { return 0x010003; }", "is zqkAPI 1.0.3"),
                                  ("foreign", "int somethingElse(void) { return 0; }", "has no zqkVersion")):
        (tmp_path / (name + ".c")).write_text(source)
        library = tmp_path / ("lib%s.so" % name)
        subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(tmp_path / (name + ".c"))], check=True)
        with pytest.raises(zqkapi.LibraryError, match=problem):
            _native.load(str(library))


def test_command_line(open_sim, tmp_path, capsys):
    from zqkapi.__main__ import main

    device = "sim:%s" % (tmp_path / "cli")
    assert main(["-d", device, "info"]) == 0
    assert "serial number  ZQK-0001" in capsys.readouterr().out
    assert main(["-d", device, "ls", "/logs"]) == 0
    assert "2024-03-15.log        8272  2024-03-15 10:20:30" in capsys.readouterr().out
    local = tmp_path / "copy.log"
    assert main(["-d", device, "get", DEMO_LOG, str(local)]) == 0 and local.stat().st_size == 8272
    assert main(["-d", device, "put", str(local), "/again.log"]) == 0
    assert "-> /again.log: 8272 bytes" in capsys.readouterr().out
    assert main(["-d", device, "get", "/none.log", str(local)]) == 1
    assert capsys.readouterr().err.startswith("zqkapi: ")


def _public_api():
    """Every public function, class, method and property of zqkapi, by name."""
    found = {}
    for name in list(zqkapi.__all__) + ["open"]:
        value = getattr(zqkapi, name)
        if callable(value):
            found[name] = value
        if inspect.isclass(value):
            for member, attribute in vars(value).items():
                public = not member.startswith("_") or member == "__init__"  # help() shows how to make one
                if public and (callable(attribute) or isinstance(attribute, property)):
                    found["%s.%s" % (name, member)] = attribute
    return found


def test_the_public_api_has_docstrings_and_type_hints():
    api = _public_api()
    assert {"open", "Device.read_bytes", "Device.path", "Device.__init__", "Entry", "Timeout"} <= set(api)
    problems = []
    for name, value in api.items():
        function = value.fget if isinstance(value, property) else value
        if not (function.__doc__ or "").strip():
            problems.append("%s has no docstring" % name)
        if inspect.isclass(function) or not inspect.isfunction(function):
            continue
        signature = inspect.signature(function)
        unannotated = [p.name for p in signature.parameters.values() if p.name != "self" and p.annotation is p.empty]
        if unannotated or signature.return_annotation is signature.empty:
            problems.append("%s lacks type hints (%s)" % (name, ", ".join(unannotated) or "the result"))
    assert problems == []
