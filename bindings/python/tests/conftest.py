"""The binding's tests run against the Linux build's library (or the one
ZQKAPI_LIBRARY names) on simulated devices kept in temporary folders."""

import os
import pathlib

import pytest

REPOSITORY = pathlib.Path(__file__).resolve().parents[3]
os.environ.setdefault("ZQKAPI_LIBRARY", str(REPOSITORY / "build" / "linux" / "libzqkAPI.so"))

import zqkapi  # noqa: E402  (after the library is chosen)


@pytest.fixture
def open_sim(tmp_path):
    """Opens simulated devices, each in a folder of its own below tmp_path,
    with options ("pace=host", "serial=X", ...); all are closed afterwards."""
    opened = []

    def open_one(name="keeper", *options):
        path = "sim:%s" % (tmp_path / name)
        if options:
            path += "?" + "&".join(options)
        device = zqkapi.open(path)
        opened.append(device)
        return device

    yield open_one
    for device in opened:
        device.close()
