#!/usr/bin/env python3
"""Traces of the channel protocol, read back: one table of captures, each
read by every reader, each reader's account of the conversation compared
with what the capture must show.

usage: trace_test.py ZQK

The captures are the library's own traces (zqk --trace) of a session on a
simulated device and of a transfer that the device abandons halfway, and the
same reports rewritten by tests/support/capture_convert.py as usbmon and
USBPcap captures of real hardware. A reader is a function from a capture's
path to a Conversation; the readers are in READERS. The tshark reader needs
Debian's tshark (scripts/setup installs it) and is skipped without it.
"""
import collections
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ZQK = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else None
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
DISSECTOR = os.path.join(SOURCE, "tools", "wireshark", "zqk.lua")
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
import capture_convert  # noqa: E402

FILE_SIZE = 10000  # three blocks of the device's 4096
PROMPT = "zq.keeper>"
SEPARATOR = "\x1e"  # between a field's values in one report: in no text of the conversation

# What a reader tells of a capture: the command lines sent, the prompts seen
# (their text between 0xAB and 0xBB), the number of reports to and from the
# device, and each transfer as (device file, size, bytes moved).
Conversation = collections.namedtuple("Conversation", "commands prompts reports transfers")


def tshark_conversation(capture):
    """The dissector's account, from its filter fields."""
    if not shutil.which("tshark"):
        raise unittest.SkipTest("tshark is not installed (scripts/setup installs it): the dissector is not tested")
    fields = ["zqk.direction", "zqk.command", "zqk.prompt", "zqk.file", "zqk.size", "zqk.progress", "zqk.ended"]
    command = ["tshark", "-X", "lua_script:" + DISSECTOR, "-r", capture, "-Y", "zqk", "-T", "fields",
               "-E", "aggregator=" + SEPARATOR] + [a for name in fields for a in ("-e", name)]
    result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    if result.returncode != 0 or "Lua Error" in result.stdout + result.stderr:
        raise AssertionError("tshark could not read %s: %s%s" % (capture, result.stderr, result.stdout))
    commands, prompts, reports, transfers = [], [], [0, 0], []
    for line in result.stdout.splitlines():
        direction, sent, prompt, name, size, moved, ended = [v.split(SEPARATOR) if v else [] for v in line.split("\t")]
        for way in direction:
            reports[int(way)] += 1
        commands += sent
        prompts += prompt
        if ended:
            transfers.append((name[-1], int(size[-1]), int(moved[-1])))
    return Conversation(commands, prompts, tuple(reports), transfers)


# The place for further readers of the same captures.
READERS = {"tshark": tshark_conversation}


def expected_from_trace(trace):
    """What the library's own trace holds: reports and prompts each way."""
    reports, prompts = [0, 0], 0
    for _, inbound, packet in capture_convert.reports(trace):
        reports[1 if inbound else 0] += 1
        if inbound and packet[0] == 0:
            prompts += packet[3:3 + packet[2]].count(0xBB)
    return tuple(reports), prompts


class Captures:
    """The traces, taken once for the whole table."""

    def __init__(self, work):
        self.work = work
        device = os.path.join(work, "device")
        with open(os.path.join(work, "few.bin"), "wb") as f:
            f.write(os.urandom(FILE_SIZE))
        # The session: a listing and a file written, two runs of the tool and
        # so two sections of one capture.
        self.zqk("--sim-dir", device, "--trace", "ls.pcapng", "ls", "/logs")
        self.zqk("--sim-dir", device, "--trace", "put.pcapng", "put", "few.bin", "/logs/few.bin")
        self.session = self.joined("session.pcapng", "ls.pcapng", "put.pcapng")
        # The device goes away after 100 reports, amid the file's first block.
        self.zqk("--device", "sim:%s?unplug=100" % device, "--trace", "abandoned.pcapng", "put", "few.bin",
                 "/logs/cut.bin", code=3)
        self.abandoned = os.path.join(work, "abandoned.pcapng")

    def zqk(self, *args, code=0):
        result = subprocess.run([ZQK] + list(args), capture_output=True, text=True, cwd=self.work, timeout=120)
        if result.returncode != code:
            raise AssertionError("zqk %s: %d, %s" % (" ".join(args), result.returncode, result.stderr))

    def joined(self, name, *parts):
        path = os.path.join(self.work, name)
        with open(path, "wb") as out:
            for part in parts:
                with open(os.path.join(self.work, part), "rb") as f:
                    out.write(f.read())
        return path

    def converted(self, trace, form, descriptor=capture_convert.device_descriptor()):
        path = os.path.join(self.work, "%s-%s-%s.pcap" % (os.path.basename(trace), form.strip("-"),
                                                           "ids" if descriptor else "late"))
        capture_convert.convert(form, trace, path, descriptor)
        return path


SESSION_COMMANDS = ['NFDIR @"/logs"', 'NFWRITE "/logs/few.bin"\\t%d\\t' % FILE_SIZE]
WRITTEN = [("/logs/few.bin", FILE_SIZE, FILE_SIZE)]
OTHER_DEVICE = capture_convert.device_descriptor(0x1234, 0x5678)

# One row per capture: how it is made from the traces, the commands that
# must be seen in order (each line's beginning), the transfers; None where
# nothing of the protocol may be decoded at all.
TABLE = [
    ("own trace", lambda c: c.session, SESSION_COMMANDS, WRITTEN),
    ("usbmon", lambda c: c.converted(c.session, "--usbmon"), SESSION_COMMANDS, WRITTEN),
    ("usbmon begun after enumeration", lambda c: c.converted(c.session, "--usbmon", None), SESSION_COMMANDS,
     WRITTEN),
    ("USBPcap", lambda c: c.converted(c.session, "--usbpcap"), SESSION_COMMANDS, WRITTEN),
    ("usbmon of another device", lambda c: c.converted(c.session, "--usbmon", OTHER_DEVICE), None, None),
    ("abandoned transfer", lambda c: c.abandoned, ['NFDIR @"/logs"', 'NFWRITE "/logs/cut.bin"'], "cut short"),
]


class TraceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="zqk_trace_test_")
        cls.captures = Captures(cls.work)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_table(self):
        for reader_name, reader in READERS.items():
            for row, make, commands, transfers in TABLE:
                with self.subTest(reader=reader_name, capture=row):
                    self.check(reader(make(self.captures)), row, commands, transfers)

    def check(self, seen, row, commands, transfers):
        if commands is None:
            self.assertEqual(seen, Conversation([], [], (0, 0), []))
            return
        trace = self.captures.abandoned if row == "abandoned transfer" else self.captures.session
        reports, prompts = expected_from_trace(trace)
        self.assertEqual(seen.reports, reports, "reports to and from the device")
        self.assertEqual(seen.prompts, [PROMPT] * prompts)
        sent = iter(seen.commands)
        self.assertTrue(all(any(line.startswith(e) for line in sent) for e in commands),
                        "%r in this order among %r" % (commands, seen.commands))
        if transfers == "cut short":
            self.assertEqual(len(seen.transfers), 1)
            name, size, moved = seen.transfers[0]
            self.assertEqual((name, size), ("/logs/cut.bin", FILE_SIZE))
            self.assertTrue(0 < moved < size, "cut short at %d of %d bytes" % (moved, size))
        else:
            self.assertEqual(seen.transfers, transfers)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + ["-v"])
