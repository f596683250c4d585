#!/usr/bin/env python3
"""Traces of the channel protocol, read back: one table of captures, each
read by every reader, each reader's account of the conversation compared
with what the capture must show.

usage: trace_test.py ZQK

The captures are the library's own traces (zqk --trace) of a session on a
simulated device, of a transfer that the device abandons halfway, of a unit
that asks for a password and of a firmware load, and the
same reports rewritten by tests/support/capture_convert.py as usbmon and
USBPcap captures of real hardware. A reader is a function from a capture's
path to a Conversation; the readers are in READERS. The tshark reader needs
Debian's tshark (scripts/setup installs it) and is skipped without it.
"""
import collections
import os
import re
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
IMAGE_SIZE = 5000
PROMPT = "zq.keeper>"
PASSWORD_PROMPT = "PASSWORD:"
PASSWORD = "open-sesame"
SEPARATOR = "\x1e"  # between a field's values in one report: in no text of the conversation

# What a reader tells of a capture: the command lines sent, the prompts seen
# (their text between 0xAB and 0xBB), how many of them the reader marks as
# asking for a password, the number of reports to and from the device, and
# each transfer as (device file, size, bytes moved).
Conversation = collections.namedtuple("Conversation", "commands prompts passwords reports transfers")


def tshark_conversation(capture):
    """The dissector's account, from its filter fields."""
    if not shutil.which("tshark"):
        raise unittest.SkipTest("tshark is not installed (scripts/setup installs it): the dissector is not tested")
    fields = ["zqk.direction", "zqk.command", "zqk.prompt", "zqk.password", "zqk.file", "zqk.size", "zqk.progress",
              "zqk.ended"]
    command = ["tshark", "-X", "lua_script:" + DISSECTOR, "-r", capture, "-Y", "zqk", "-T", "fields",
               "-E", "aggregator=" + SEPARATOR] + [a for name in fields for a in ("-e", name)]
    result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    if result.returncode != 0 or "Lua Error" in result.stdout + result.stderr:
        raise AssertionError("tshark could not read %s: %s%s" % (capture, result.stderr, result.stdout))
    commands, prompts, passwords, reports, transfers = [], [], 0, [0, 0], []
    for line in result.stdout.splitlines():
        direction, sent, prompt, password, name, size, moved, ended = [v.split(SEPARATOR) if v else []
                                                                       for v in line.split("\t")]
        for way in direction:
            reports[int(way)] += 1
        commands += sent
        prompts += prompt
        passwords += password.count("1")
        if ended:
            transfers.append((name[-1], int(size[-1]), int(moved[-1])))
    return Conversation(commands, prompts, passwords, tuple(reports), transfers)


# A report line of zqk trace from the device on channel 0, and its text.
TOOL_RECEIVED = re.compile(r"^ *\d+\.\d{6} < ch +0 len +\d+(?: tag \d+)?  (.*)$")
TOOL_PROMPT = re.compile(r"\{prompt:((?:[^\\}]|\\.)*)\}")
TOOL_MOVED = re.compile(r"(\d+) of (\d+) bytes? of data")


def transferred_file(command):
    """The device file of a transfer's command line as zqk trace shows it:
    NFWRITE NAME\\t..., NFTYPE @NAME, LOAD SIZE NAME; None for another."""
    word, _, rest = command.partition(" ")
    if word == "LOAD":
        return rest.split(" ", 1)[-1]
    if word not in ("NFWRITE", "NFTYPE"):
        return None
    return rest.lstrip("@").split("\\t")[0].strip('"')


def zqk_trace_conversation(capture):
    """The tool's account (zqk trace): its steps' command lines, the
    transfers their answers count and the password prompts they end at, the
    prompts of its report lines, and its count of reports each way."""
    result = subprocess.run([ZQK, "trace", capture], capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        raise AssertionError("zqk trace %s: %s" % (capture, result.stderr))
    lines = result.stdout.splitlines()
    reports = tuple(map(int, re.match(r"# (\d+) reports? to the device, (\d+) from it", lines[-1]).groups()))
    received = "".join(m.group(1) for m in map(TOOL_RECEIVED.match, lines) if m)
    commands, transfers, file = [], [], None
    passwords = sum(line.strip().startswith("step < ") and line.endswith(", password prompt") for line in lines)
    for line in lines:
        step = line.strip()
        if step.startswith("step > "):
            commands.append(step[len("step > "):])
            file = transferred_file(commands[-1])
        elif step.startswith("step < ") and file is not None and TOOL_MOVED.search(step):
            moved, size = map(int, TOOL_MOVED.search(step).groups())
            transfers.append((file, size, moved))
    return Conversation(commands, TOOL_PROMPT.findall(received), passwords, reports, transfers)


# Every reader gives the same Conversation of each capture in TABLE; a reader
# of another program is one more function here, skipped with SkipTest where
# its program is missing.
READERS = {"tshark": tshark_conversation, "zqk trace": zqk_trace_conversation}


def expected_from_trace(trace, read=b""):
    """What the library's own trace holds: the reports each way, and the
    prompts, whose closing bytes are those from the device but for the ones
    in the file data read."""
    reports, closing = [0, 0], 0
    for _, inbound, packet in capture_convert.reports(trace):
        reports[1 if inbound else 0] += 1
        if inbound and packet[0] == 0:
            closing += packet[3:3 + packet[2]].count(0xBB)
    return tuple(reports), closing - read.count(0xBB)


def file_contents():
    """Random bytes with, here and there, what would pass for an escape, a
    command and a prompt if a reader took a file's data for terminal text."""
    decoy = b"\x1bNFDIR @inside\r\n\xabinside>\xbb"
    plain = bytes(b for b in os.urandom(2 * FILE_SIZE) if b not in decoy)
    contents = b"".join(decoy + plain[i:i + 500] for i in range(0, FILE_SIZE, 500 + len(decoy)))
    return contents[:FILE_SIZE]


class Captures:
    """The traces, taken once for the whole table."""

    def __init__(self, work):
        self.work = work
        device = os.path.join(work, "device")
        self.contents = file_contents()
        with open(os.path.join(work, "few.bin"), "wb") as f:
            f.write(self.contents)
        # The session: a listing, a file written and read back, three runs of
        # the tool and so three sections of one capture.
        self.zqk("--sim-dir", device, "--trace", "ls.pcapng", "ls", "/logs")
        self.zqk("--sim-dir", device, "--trace", "put.pcapng", "put", "few.bin", "/logs/few.bin")
        self.zqk("--sim-dir", device, "--trace", "get.pcapng", "get", "/logs/few.bin", "back.bin")
        self.session = self.joined("session.pcapng", "ls.pcapng", "put.pcapng", "get.pcapng")
        # The device goes away after 100 reports, amid the file's first block.
        self.zqk("--device", "sim:%s?unplug=100" % device, "--trace", "abandoned.pcapng", "put", "few.bin",
                 "/logs/cut.bin", code=3)
        self.abandoned = os.path.join(work, "abandoned.pcapng")
        # A unit that asks for a password: an escape shows its prompt, the
        # password typed, a command after it. Its answer to the password is
        # the prompt alone, so that command waits only a short silence.
        self.zqk("--device", "sim:%s?password=%s" % (device, PASSWORD), "--timeout", "100ms", "--trace",
                 "password.pcapng", "term", stdin="\\e\n%s\nver\n" % PASSWORD)
        self.password = os.path.join(work, "password.pcapng")
        # A firmware image loaded.
        with open(os.path.join(work, "image.bin"), "wb") as f:
            f.write(os.urandom(IMAGE_SIZE))
        self.zqk("--sim-dir", device, "--trace", "load.pcapng", "flash", "image.bin")
        self.load = os.path.join(work, "load.pcapng")

    def zqk(self, *args, code=0, stdin=""):
        result = subprocess.run([ZQK] + list(args), capture_output=True, text=True, cwd=self.work, timeout=120,
                                input=stdin)
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


SESSION_COMMANDS = ['NFDIR @"/logs"', 'NFWRITE "/logs/few.bin"\\t%d\\t' % FILE_SIZE, 'NFTYPE @"/logs/few.bin"']
WRITTEN_AND_READ = [("/logs/few.bin", FILE_SIZE, FILE_SIZE)] * 2
OTHER_DEVICE = capture_convert.device_descriptor(0x1234, 0x5678)

# One row per capture: the trace it comes from, how it is made of it, the
# commands that must be seen in this order (each line's beginning), each
# transfer as (file, size, bytes moved or their range), and how many password
# prompts come first; None where nothing of the protocol may be decoded at all.
TABLE = [
    ("own trace", "session", lambda c: c.session, SESSION_COMMANDS, WRITTEN_AND_READ, 0),
    ("usbmon", "session", lambda c: c.converted(c.session, "--usbmon"), SESSION_COMMANDS, WRITTEN_AND_READ, 0),
    ("usbmon begun after enumeration", "session", lambda c: c.converted(c.session, "--usbmon", None),
     SESSION_COMMANDS, WRITTEN_AND_READ, 0),
    ("USBPcap", "session", lambda c: c.converted(c.session, "--usbpcap"), SESSION_COMMANDS, WRITTEN_AND_READ, 0),
    ("usbmon of another device", "session", lambda c: c.converted(c.session, "--usbmon", OTHER_DEVICE), None,
     None, 0),
    ("abandoned transfer", "abandoned", lambda c: c.abandoned, ['NFDIR @"/logs"', 'NFWRITE "/logs/cut.bin"'],
     [("/logs/cut.bin", FILE_SIZE, range(1, FILE_SIZE))], 0),
    ("password asked", "password", lambda c: c.password, [PASSWORD, "ver"], [], 1),
    ("firmware load", "load", lambda c: c.load, ["LOAD %d image.bin" % IMAGE_SIZE],
     [("image.bin", IMAGE_SIZE, IMAGE_SIZE)], 0),
]


def transfer_matches(seen, expected):
    return len(seen) == len(expected) and all(a == b or (isinstance(b, range) and a in b) for a, b in zip(seen, expected))


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
            for row, trace, make, commands, transfers, passwords in TABLE:
                with self.subTest(reader=reader_name, capture=row):
                    self.check(reader(make(self.captures)), getattr(self.captures, trace), commands, transfers,
                               passwords)

    def check(self, seen, trace, commands, transfers, passwords):
        if commands is None:
            self.assertEqual(seen, Conversation([], [], 0, (0, 0), []))
            return
        read = self.captures.contents if trace == self.captures.session else b""
        reports, prompts = expected_from_trace(trace, read)
        self.assertEqual(seen.reports, reports, "reports to and from the device")
        self.assertEqual(seen.prompts, [PASSWORD_PROMPT] * passwords + [PROMPT] * (prompts - passwords))
        self.assertEqual(seen.passwords, passwords, "prompts marked as asking for a password")
        sent = iter(seen.commands)
        self.assertTrue(all(any(line.startswith(e) for line in sent) for e in commands),
                        "%r in this order among %r" % (commands, seen.commands))
        self.assertFalse([c for c in seen.commands if "inside" in c], "no command line from a file's data")
        self.assertEqual(len(seen.transfers), len(transfers), seen.transfers)
        for got, expected in zip(seen.transfers, transfers):
            self.assertTrue(transfer_matches(got, expected), "%r, not %r" % (got, expected))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + ["-v"])
