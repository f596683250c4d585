#!/usr/bin/env python3
"""Copies every file of a device folder into a local folder, with progress.

    python3 copy_folder.py /logs ./logs                       # the first device found
    python3 copy_folder.py /logs ./logs --device sim:/tmp/keeper

Local copies keep the device's time stamps (read as this machine's local
time: the device keeps its local time without a time zone). Sub-folders are
not copied.
"""

import argparse
import os
import sys

import zqkapi


def unsafe_name(name: str) -> bool:
    """Whether a name from the device would not stay one file in the local
    folder: a path of its own, or a control byte in it."""
    return (name in ("", ".", "..") or "/" in name or "\\" in name
            or any(ord(c) < 0x20 or ord(c) == 0x7F for c in name))


def copy_folder(dev: zqkapi.Device, device_folder: str, local_folder: str) -> int:
    """Copies the files of device_folder into local_folder; the number of files."""
    os.makedirs(local_folder, exist_ok=True)
    files = []
    for entry in dev.listdir(device_folder):
        if entry.is_dir:
            continue
        if unsafe_name(entry.name):
            print("skipped %r: not a name for a local file" % entry.name, file=sys.stderr)
            continue
        files.append(entry)
    for number, entry in enumerate(files, 1):
        source = device_folder.rstrip("/") + "/" + entry.name
        target = os.path.join(local_folder, entry.name)

        def progress(done: int, total: int) -> None:
            percent = 100 * done // total if total else 100
            print("\r[%d/%d] %s: %d of %d bytes (%d%%)" % (number, len(files), source, done, total, percent),
                  end="", file=sys.stderr, flush=True)

        dev.get(source, target, progress=progress)
        print(file=sys.stderr)
        if entry.mtime is not None:
            stamp = entry.mtime.timestamp()  # a naive time counts as local time
            os.utime(target, (stamp, stamp))
    return len(files)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("device_folder")
    parser.add_argument("local_folder")
    parser.add_argument("--device", help="a path, a serial number or sim:DIR (default: the first device found)")
    args = parser.parse_args()
    try:
        with zqkapi.open(args.device) as dev:
            count = copy_folder(dev, args.device_folder, args.local_folder)
    except zqkapi.Error as error:
        print("copy_folder: %s" % error, file=sys.stderr)
        return 1
    print("%d files copied from %s to %s" % (count, args.device_folder, args.local_folder))
    return 0


if __name__ == "__main__":
    sys.exit(main())
