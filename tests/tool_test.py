#!/usr/bin/env python3
"""End-to-end runs of the zqk command-line tool against its simulated device.

usage: tool_test.py ZQK LOCK_HOLDER [RUNNER]
RUNNER (for instance wine64) runs the Windows build of the tool.
"""
import json
import os
import pty
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

ZQK = os.path.abspath(sys.argv[1]) if len(sys.argv) > 2 else None
LOCK_HOLDER = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else None
RUNNER = sys.argv[3:4]


def device_lock_name(key):
    """The name of a device's own lock, as the library makes it from the
    device's serial number or (for a simulated device) its path."""
    h, part = 2166136261, ""
    for b in key.encode("latin-1"):
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
        c = chr(b)
        if len(part) < 96:
            part += c if (c.isascii() and c.isalnum()) or c in "-." else "_"
    return "Vorlund_zq.keeper_Terminal_Mutex_%s_%08x" % (part, h)


def sim_device_path(folder):
    """The path a simulated device in folder is known by: under Wine the
    Windows build makes the folder a Windows path."""
    if RUNNER:
        return "sim:Z:" + folder.replace("/", "\\")
    return "sim:" + folder


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="zqk_tool_test_")
        self.sim_dir = os.path.join(self.work, "device")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def zqk(self, *args, stdin=None, sim=True):
        command = RUNNER + [ZQK] + (["--sim-dir", self.sim_dir] if sim else []) + list(args)
        result = subprocess.run(command, input=stdin, capture_output=True, cwd=self.work, timeout=120)
        return result.returncode, result.stdout, result.stderr.decode(errors="replace")

    def ok(self, *args, **kwargs):
        code, out, err = self.zqk(*args, **kwargs)
        self.assertEqual(code, 0, "zqk %s failed: %s" % (" ".join(args), err))
        return out.decode(errors="replace"), err

    def fails(self, expected_code, message, *args, **kwargs):
        code, out, err = self.zqk(*args, **kwargs)
        self.assertEqual(code, expected_code, "zqk %s: %s" % (" ".join(args), err))
        lines = [line for line in err.splitlines() if line.startswith("zqk:")]
        self.assertEqual(len(lines), 1, "one line says what failed: %r" % err)
        self.assertIn(message, lines[0])
        return err

    def local(self, name, data=None):
        path = os.path.join(self.work, name)
        if data is not None:
            with open(path, "wb") as f:
                f.write(data)
        return path

    def read(self, name):
        with open(os.path.join(self.work, name), "rb") as f:
            return f.read()

    # ---- help and arguments ----

    def test_help_reads_well(self):
        out, _ = self.ok("--help", sim=False)
        for word in ("info", "ls", "get", "put", "flash", "rm", "mkdir", "rmdir", "mv", "cmd", "term",
                     "--vid", "--pid", "--usage-page", "--usage", "--timeout", "--sim", "--sim-dir", "--version",
                     "Exit status"):
            self.assertIn(word, out)
        for command in ("info", "ls", "get", "put", "flash", "rm", "mkdir", "rmdir", "mv", "cmd", "term"):
            out, _ = self.ok(command, "--help", sim=False)
            self.assertTrue(out.startswith("usage: zqk " + command), out)

    def test_version_of_the_tool_and_the_library(self):
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "include", "zqkAPI.h")) as f:
            release = re.search(r'^#define ZQK_VERSION_STR "([^"]+)"', f.read(), re.M).group(1)
        out, _ = self.ok("--version", sim=False)
        self.assertEqual(out, "zqk %s (library %s)\n" % (release, release))

    def test_wrong_arguments(self):
        self.fails(2, "no command given", sim=False)
        self.fails(2, "unknown command", "frobnicate")
        self.fails(2, "unknown option", "--frob", "ls")
        self.fails(2, "usage: zqk mv OLD NEW", "mv", "/only-one")
        self.fails(2, "wants a number", "--vid", "abc", "info")

    # ---- identity ----

    def test_info_shows_identity_and_run_mode(self):
        out, _ = self.ok("info")
        self.assertIn("product        zq.keeper", out)
        self.assertIn("serial number  ZQK-0001", out)
        self.assertIn("run mode       application", out)
        self.assertIn("names          in double quotes", out)
        self.assertIn("vendor 0x16D0, product 0x064E, usage page 0xFFB2, usage any", out)
        out, _ = self.ok("--sim-mode", "bootloader", "--sim-unquoted", "info")
        self.assertIn("run mode       boot loader", out)
        self.assertIn("names          with blanks as underscores\n", out)

    def test_no_matching_device(self):
        self.fails(3, "no device found (looked for vendor 0x1234", "--vid", "0x1234", "info", sim=False)

    # ---- listings ----

    def test_listing_forms(self):
        out, _ = self.ok("ls")
        self.assertIn("README.TXT", out)
        self.assertIn("<DIR>", out)
        self.assertIn("2024-03-15 10:20:30", out)
        self.assertIn("4 entries", out)
        entries = json.loads(self.ok("ls", "/logs", "--json")[0])
        names = {e["name"]: e for e in entries}
        self.assertEqual(names["samples.bin"]["size"], 6000)
        self.assertEqual(names["samples.bin"]["time"], 1710498030)
        self.assertEqual(names["samples.bin"]["attributeText"], "A")
        out, _ = self.ok("ls", "/", "--long")
        self.assertIn("0x23", out)
        self.fails(1, "cannot list /nowhere", "ls", "/nowhere")

    # ---- transfers ----

    def test_copy_both_ways_gives_back_the_same_bytes(self):
        data = bytes(range(256)) * 40 + bytes(random.Random(7).getrandbits(8) for _ in range(5000))
        self.local("a.bin", data)
        out, err = self.ok("put", "a.bin", "/a.bin")
        self.assertIn("a.bin -> /a.bin: %d bytes" % len(data), out)
        self.assertIn("put /a.bin: 4096 of %d bytes" % len(data), err)
        self.assertIn("put /a.bin: %d of %d bytes (100%%)" % (len(data), len(data)), err)
        out, err = self.ok("get", "/a.bin", "b.bin")
        self.assertEqual(self.read("b.bin"), data)
        self.assertIn("get /a.bin: %d of %d bytes (100%%)" % (len(data), len(data)), err)

    def test_changes_survive_between_runs_with_time_stamps_and_attributes(self):
        before = json.loads(self.ok("ls", "/", "--json")[0])
        self.local("n.txt", b"new file")
        self.ok("put", "n.txt")
        after = json.loads(self.ok("ls", "/", "--json")[0])
        self.assertEqual([e for e in after if e["name"] != "n.txt"], before)
        self.assertIn("n.txt", [e["name"] for e in after])
        self.ok("get", "/n.txt", "back.txt")
        self.assertEqual(self.read("back.txt"), b"new file")

    @unittest.skipIf(os.name != "posix" or RUNNER, "needs a pseudo-terminal of the host")
    def test_progress_bar_on_a_terminal(self):
        self.local("p.bin", bytes(20000))
        master, slave = pty.openpty()
        command = RUNNER + [ZQK, "--sim-dir", self.sim_dir, "put", "p.bin"]
        process = subprocess.Popen(command, cwd=self.work, stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        process.wait(timeout=120)
        output = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            output += chunk
        os.close(master)
        self.assertEqual(process.returncode, 0)
        text = output.decode(errors="replace")
        self.assertIn("\r", text)
        self.assertIn("100%", text)
        self.assertIn("left", text)
        self.assertIn("/s", text)

    def test_transfer_failures_say_why(self):
        self.fails(1, "cannot read /missing.bin from the device", "get", "/missing.bin", "x.bin")
        self.assertFalse(os.path.exists(os.path.join(self.work, "x.bin")))
        self.fails(5, "cannot read nothing.bin", "put", "nothing.bin")
        self.fails(5, "cannot write no/such/dir/x.bin", "get", "/README.TXT", "no/such/dir/x.bin")
        self.local("keep.txt", b"old")
        os.mkdir(os.path.join(self.work, "adir"))
        self.fails(5, "cannot write adir", "get", "/README.TXT", "adir")
        self.assertEqual(sorted(os.listdir(self.work)), ["adir", "device", "keep.txt"], "nothing half-written")

    def test_flash(self):
        self.local("Main.BIN", bytes(range(256)) * 50)
        out, err = self.ok("flash", "Main.BIN")
        self.assertIn("Main.BIN: 12800 bytes sent", out)
        self.assertIn("flash Main.BIN: 12800 of 12800 bytes", err)
        self.fails(5, "cannot read none.bin", "flash", "none.bin")

    # ---- file and directory commands ----

    def test_make_rename_remove(self):
        self.ok("mkdir", "/new dir")
        self.fails(1, 'cannot make directory /new dir: the device refused NFMKDIR for "/new dir": 8:Exist',
                   "mkdir", "/new dir")
        self.local("f.txt", b"x")
        self.ok("put", "f.txt", "/new dir/f.txt")
        self.ok("mv", "/new dir/f.txt", "/new dir/g.txt")
        self.assertIn("g.txt", self.ok("ls", "/new dir")[0])
        self.ok("rm", "/new dir/g.txt")
        self.fails(1, "cannot delete /new dir/g.txt", "rm", "/new dir/g.txt")
        self.ok("rmdir", "/new dir")
        self.assertNotIn("new dir", self.ok("ls")[0])

    def test_lock_held_elsewhere(self):
        self.ok("ls")
        lock = device_lock_name(sim_device_path(self.sim_dir))
        holder = subprocess.Popen(RUNNER + [LOCK_HOLDER, lock, "hold", "1800"],
                                  stdout=subprocess.PIPE)
        try:
            self.assertEqual(holder.stdout.readline().strip(), b"locked")
            start = time.monotonic()
            self.fails(4, "another program or thread holds the device", "ls")
            self.assertGreaterEqual(time.monotonic() - start, 0.9)
        finally:
            holder.wait(timeout=30)

    # ---- the terminal ----

    def test_commands(self):
        code, out, err = self.zqk("cmd", "echo hello", "ver")
        self.assertEqual(code, 0, err)
        self.assertEqual(out, b"hello\r\nzq.keeper firmware 2.4.1 (simulated)\r\n")

    def test_terminal_session(self):
        code, out, err = self.zqk("term", stdin=b"echo one\n\\e\necho two\n")
        self.assertEqual(code, 0, err)
        self.assertEqual(out, b"one\r\n(escape)\ntwo\r\n")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + ["-v"])
