"""``python -m zqkapi``: a quick look at a device from the command line."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Callable, List, Optional

import zqkapi


def _progress(what: str) -> Optional[Callable[[int, int], None]]:
    """Progress drawn on one line of a terminal; nothing when stderr is no terminal."""
    if not sys.stderr.isatty():
        return None

    def show(done: int, total: int) -> None:
        percent = 100 * done // total if total else 100
        sys.stderr.write("\r%s: %d of %d bytes (%d%%)" % (what, done, total, percent))
        if done >= total:
            sys.stderr.write("\n")

    return show


def _info(dev: zqkapi.Device, args: argparse.Namespace) -> None:
    rows = [("path", dev.path), ("manufacturer", dev.manufacturer), ("product", dev.product),
            ("serial number", dev.serial), ("run mode", dev.run_mode)]
    rows += [("string %d" % index, dev.usb_string(index)) for index in (201, 202, 203, 204, 210, 211)]
    rows.append(("library", "%s (binding %s)" % (zqkapi.library_version(), zqkapi.__version__)))
    for name, value in rows:
        if value:
            print("%-14s %s" % (name, value))


def _ls(dev: zqkapi.Device, args: argparse.Namespace) -> None:
    entries = dev.listdir(args.path)
    width = max([4] + [len(e.name) for e in entries])
    print("%-*s  %10s  %s" % (width, "NAME", "SIZE", "DATE"))
    for e in entries:
        size = "<DIR>" if e.is_dir else str(e.size)
        date = e.mtime.strftime("%Y-%m-%d %H:%M:%S") if e.mtime else ""
        print("%-*s  %10s  %s" % (width, e.name, size, date))


def _get(dev: zqkapi.Device, args: argparse.Namespace) -> None:
    count = dev.get(args.device_path, args.local_path, progress=_progress("get " + args.device_path))
    print("%s -> %s: %d bytes" % (args.device_path, args.local_path or os.path.basename(args.device_path), count))


def _put(dev: zqkapi.Device, args: argparse.Namespace) -> None:
    target = args.device_path or "/" + os.path.basename(args.local_path)
    count = dev.put(args.local_path, target, progress=_progress("put " + target))
    print("%s -> %s: %d bytes" % (args.local_path, target, count))


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the command line; the exit code: 0 done, 1 a failure, 2 wrong arguments."""
    parser = argparse.ArgumentParser(prog="python -m zqkapi", description="A quick look at a zq.keeper device.")
    parser.add_argument("--device", "-d", metavar="PATH_OR_SERIAL",
                        help="the device: a path, a serial number or sim:DIR (default: the first matching one)")
    parser.add_argument("--version", action="version", version="zqkapi " + zqkapi.__version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    commands.add_parser("info", help="the device's path, USB strings and run mode").set_defaults(run=_info)
    ls = commands.add_parser("ls", help="list a device folder")
    ls.add_argument("path", nargs="?", default="/")
    ls.set_defaults(run=_ls)
    get = commands.add_parser("get", help="copy a device file here")
    get.add_argument("device_path")
    get.add_argument("local_path", nargs="?")
    get.set_defaults(run=_get)
    put = commands.add_parser("put", help="copy a local file to the device")
    put.add_argument("local_path")
    put.add_argument("device_path", nargs="?")
    put.set_defaults(run=_put)
    args = parser.parse_args(argv)
    try:
        with zqkapi.open(args.device) as dev:
            args.run(dev, args)
    except zqkapi.Error as error:
        print("zqkapi: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    # Names that are not UTF-8 hold lone surrogates: printed as the bytes they are, as zqk prints them.
    sys.stdout.reconfigure(errors="surrogateescape")  # type: ignore[union-attr]
    sys.exit(main())
