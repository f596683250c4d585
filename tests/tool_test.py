#!/usr/bin/env python3
"""End-to-end runs of the zqk command-line tool against its simulated device.

usage: tool_test.py ZQK LOCK_HOLDER [RUNNER]
RUNNER (for instance wine64) runs the Windows build of the tool.
"""
import calendar
import json
import os
import pty
import random
import re
import shutil
import subprocess
import struct
import sys
import tempfile
import time
import unittest

ZQK = os.path.abspath(sys.argv[1]) if len(sys.argv) > 2 else None
LOCK_HOLDER = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else None
RUNNER = sys.argv[3:4]
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
COMMANDS = ["devices", "wait", "info", "ls", "get", "put", "pull", "push", "cat", "flash", "rm", "mkdir", "rmdir", "mv",
            "cmd", "term", "trace", "mount"]
# A zone away from UTC with summer time, so that time stamps cross a real offset both ways.
ZONE = "CET-1CEST,M3.5.0,M10.5.0/3"


def sim_device_path(folder):
    """The path a simulated device in folder is known by: under Wine the
    Windows build makes the folder a Windows path."""
    if RUNNER:
        return "sim:Z:" + folder.replace("/", "\\")
    return "sim:" + folder


def source_text(*path):
    with open(os.path.join(SOURCE, *path), encoding="utf-8") as f:
        return f.read()


def help_commands_and_options(text):
    """The commands and the option names that zqk --help lists."""
    commands_part, options_part = text.split("Commands:")[1].split("\n\n", 1)
    commands = re.findall(r"^  ([a-z]+)\b", commands_part, re.M)
    headers = [line for line in options_part.splitlines() if line.startswith("  -")]
    options = set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", " ".join(h[:30] for h in headers)))
    return commands, options


def manual_commands_and_options(text):
    """The same of the manual page: the heading line of each entry."""
    text = text.replace("\\-", "-")
    sections = dict(re.findall(r"^\.SH (\S+)\n(.*?)(?=^\.SH |\Z)", text, re.M | re.S))
    heading = lambda part: re.findall(r"^\.TP\n(.*)$", part, re.M)
    commands = [re.match(r"\.BR? (\w+)", h).group(1) for h in heading(sections["COMMANDS"])]
    options = set()
    for h in heading(sections["OPTIONS"]):
        options.update(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", re.sub(r"\\fI.*?\\fR", "", h)))
    return commands, options


def completion_commands_and_options(text):
    commands = re.search(r'^_zqk_commands="([^"]*)"', text, re.M).group(1).split()
    options = set(re.search(r'^_zqk_options="([^"]*)"', text, re.M | re.S).group(1).split())
    return commands, options


def device_time(unix_seconds):
    """A local file's time as the device keeps it: local time as if UTC, in steps of 2 s."""
    return calendar.timegm(time.localtime(unix_seconds)) // 2 * 2


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="zqk_tool_test_")
        self.sim_dir = os.path.join(self.work, "device")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def zqk(self, *args, stdin=None, sim=True, env=None):
        command = RUNNER + [ZQK] + (["--sim-dir", self.sim_dir] if sim else []) + list(args)
        result = subprocess.run(command, input=stdin, capture_output=True, cwd=self.work, timeout=120,
                                env=None if env is None else dict(os.environ, **env))
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

    def tree(self, folder, files=None):
        """Makes a local tree of {relative path: bytes}, or reads one."""
        top = os.path.join(self.work, folder)
        if files is not None:
            for name, data in files.items():
                os.makedirs(os.path.dirname(os.path.join(top, name)), exist_ok=True)
                self.local(os.path.join(folder, name), data)
        found = {}
        for where, _, names in os.walk(top):
            for name in names:
                path = os.path.join(where, name)
                with open(path, "rb") as f:
                    found[os.path.relpath(path, top).replace(os.sep, "/")] = f.read()
        return found

    def device_file(self, path):
        """A file of the simulated device, as it keeps it in its folder."""
        if not os.path.isdir(self.sim_dir):
            self.ok("ls")  # the device seeds its folder on first use
        with open(os.path.join(self.sim_dir, *path.strip("/").split("/")), "rb") as f:
            return f.read()

    def own_lines(self, err):
        """The tool's lines of standard error, without Wine's."""
        return [line for line in err.splitlines() if not re.match(r"[0-9a-f]{4}:(err|fixme|warn):", line)]

    def failure_lines(self, err, prefix="zqk:"):
        return [line for line in err.splitlines() if line.startswith(prefix)]

    def on_terminal(self, *args, columns=None):
        """Runs zqk with standard error on a pseudo-terminal (of that width): what it drew there."""
        master, slave = pty.openpty()
        if columns:
            import fcntl, termios
            fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        process = subprocess.Popen(RUNNER + [ZQK, "--sim-dir", self.sim_dir] + list(args), cwd=self.work,
                                   stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
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
        process.wait(timeout=120)
        self.assertEqual(process.returncode, 0)
        return output.decode(errors="replace")

    # ---- help and arguments ----

    def test_help_reads_well(self):
        out, _ = self.ok("--help", sim=False)
        for word in COMMANDS + ["--vid", "--pid", "--usage-page", "--usage", "--timeout", "--sim", "--sim-dir",
                                "--device", "--all", "--recursive", "--delete", "--dry-run", "--quiet", "--version",
                                "Exit status"]:
            self.assertIn(word, out)
        for command in COMMANDS:
            out, _ = self.ok(command, "--help", sim=False)
            self.assertTrue(out.startswith("usage: zqk " + command), out)

    def test_help_the_manual_page_and_the_completion_agree(self):
        commands, options = help_commands_and_options(self.ok("--help", sim=False)[0])
        self.assertEqual(commands, COMMANDS)
        self.assertTrue({"-d", "--device", "--all", "-r", "--delete", "-n", "-q", "-b", "--version"} <= options)
        self.assertEqual(manual_commands_and_options(source_text("tools", "zqk", "zqk.1")), (commands, options))
        self.assertEqual(completion_commands_and_options(source_text("tools", "zqk", "zqk.bash")),
                         (commands, options))

    @unittest.skipIf(RUNNER or not shutil.which("bash"), "the completion is bash's, for the native tool")
    def test_bash_completion(self):
        def complete(*words):
            script = 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _zqk; printf "%s\\n" "${COMPREPLY[@]}"'
            result = subprocess.run(["bash", "-c", script, "bash", os.path.join(SOURCE, "tools", "zqk", "zqk.bash"), ZQK]
                                    + list(words), capture_output=True, text=True, cwd=self.work, timeout=60)
            return sorted(filter(None, result.stdout.splitlines()))
        self.assertEqual(complete("pu"), ["pull", "push", "put"])
        self.assertEqual(complete("--dr"), ["--dry-run"])
        self.assertEqual(complete("--sim-dir", self.sim_dir, "get", "/lo"), ["/logs/"])
        self.assertEqual(complete("--sim-dir", self.sim_dir, "-r", "ls", "/logs/s"), ["/logs/samples.bin"])
        # bash splits "sim:DIR" and "--sim-dir=DIR" at ":" and "=": the device is still the one named.
        self.assertEqual(complete("-d", "sim", ":", self.sim_dir, "cat", "/lo"), ["/logs/"])
        self.assertEqual(complete("--sim-dir", "=", self.sim_dir, "get", "/lo"), ["/logs/"])
        self.local("notes.txt", b"x")
        self.assertEqual(complete("put", "no"), ["notes.txt"])
        # A device's names are offered as they are, never run.
        self.local(os.path.join("device", "$(touch MARKER)"), b"x")
        self.assertIn("/$(touch MARKER)", complete("--sim-dir", self.sim_dir, "get", "/"))
        self.assertFalse(os.path.exists(self.local("MARKER")), "a device's file name ran as a command")

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
        self.fails(2, "wants a number", "--vid=abc", "info")
        self.fails(2, '--json takes no value ("--json=yes")', "--json=yes", "ls")
        self.fails(2, "--timeout wants a time such as 500ms, 2s or 1m (a bare number is milliseconds here)",
                   "--timeout", "2x", "cmd", "ver")

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

    def test_devices_and_waiting_for_one(self):
        code, out, err = self.zqk("--vid", "0x1234", "devices", "--json", sim=False)
        self.assertEqual((code, json.loads(out)), (3, []), err)
        self.fails(3, "no device attached (looked for vendor 0x1234", "--vid", "0x1234", "devices", sim=False)
        self.fails(3, "appeared within 300 ms", "--vid=0x1234", "wait", "--timeout=300ms", sim=False)
        self.fails(3, "appeared within 300 ms", "--vid", "0x1234", "wait", "--timeout", "0.3", sim=False)
        self.ok("wait", "--timeout", "5")  # a simulated device is always present
        self.fails(2, "(a bare number is seconds here), not \"soon\"", "wait", "--timeout", "soon")
        other = sim_device_path(os.path.join(self.work, "other")) + "?serial=ZQK-0042"
        self.assertIn("serial number  ZQK-0042", self.ok("-d", other, "info", sim=False)[0])
        self.fails(2, "--device is given 2 times; --all runs on each", "-d", other, "--device", other, "info",
                   sim=False)

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
        self.fails(1, "no such folder: /nowhere (the device said 5:No path)", "ls", "/nowhere")
        # A file lists as its one entry, as ls shows a file; a missing one keeps the refusal.
        [entry] = json.loads(self.ok("ls", "/logs/Samples.bin", "--json")[0])
        self.assertEqual((entry["name"], entry["size"]), ("samples.bin", 6000))
        self.assertIn("1 entry", self.ok("ls", "/README.TXT")[0])
        self.fails(1, "no such folder: /logs/none.bin", "ls", "/logs/none.bin")

    def test_json_where_a_script_reads_the_output(self):
        self.local("a.bin", b"abc")
        self.tree("up", {"u.txt": b"up"})
        cases = [
            (["info"], lambda d: (d["serial"], d["runModes"], d["strings"]["203"]) == ("ZQK-0001", ["application"],
                                                                                      "fw 2.4.1")),
            (["put", "a.bin", "nothing.bin", "/j"],
             lambda d: (d["files"], d["bytes"], d["failed"], d["errors"]) == (1, 3, 1, ["no such file or folder: nothing.bin"])
             and d["items"][-1] == {"action": "copy", "from": "a.bin", "to": "/j/a.bin", "bytes": 3, "ok": True}),
            (["get", "/j/a.bin", "/README.TXT", "got"], lambda d: (d["command"], d["files"], d["failed"]) == ("get", 2, 0)),
            (["pull", "-n", "/logs", "m"], lambda d: d["dryRun"] and d["files"] == 2 and len(d["items"]) == 3),
            (["push", "up", "/j"], lambda d: d["items"][0]["to"] == "/j/u.txt" and d["upToDate"] == 0),
        ]
        for args, check in cases:
            code, out, err = self.zqk("--json", *args)
            document = json.loads(out)
            self.assertTrue(check(document), (args, document))
        # Where it does not apply, it is refused.
        for args in (["rm", "/x"], ["mkdir", "/x"], ["cmd", "ver"], ["term"], ["mount", "m"], ["wait"]):
            self.fails(2, "--json applies to devices, info, ls, get, put, pull, push only", "--json", *args)
        # Under --all, one line for each unit.
        devices = []
        for unit in (1, 2):
            devices += ["-d", sim_device_path(os.path.join(self.work, "unit%d" % unit)) + "?serial=ZQK-000%d" % unit]
        lines = [json.loads(line) for line in self.ok(*devices, "--all", "--json", "ls", "/logs", sim=False)[0].splitlines()]
        self.assertEqual(sorted(line["unit"] for line in lines), ["ZQK-0001", "ZQK-0002"])
        self.assertIn("samples.bin", [e["name"] for e in lines[0]["result"]])

    @unittest.skipIf(RUNNER, "the simulator on Windows keeps names in the ANSI code page")
    def test_names_are_bytes_and_round_trip(self):
        # Device names as UTF-8 and as bytes that are not (caf%E9.txt is the simulator's host name for "caf" 0xE9).
        self.tree("device/n", {"caf\xe9 \u20ac.txt": b"utf-8", "caf%E9.txt": b"latin-1"})
        names = {"caf\xe9 \u20ac.txt".encode(): b"utf-8", b"caf\xe9.txt": b"latin-1"}
        listed = json.loads(self.ok("ls", "/n", "--json")[0])
        self.assertEqual({e["name"].encode("utf-8", "surrogateescape") for e in listed}, set(names))
        code, out, err = self.zqk("ls", "/n")
        self.assertTrue(code == 0 and all(name in out for name in names), err)  # printed as the bytes they are
        self.ok("pull", "/n", "out")
        self.ok("push", "out", "/back")
        back = self.tree("device/back")
        self.assertEqual({name.encode("utf-8", "surrogateescape"): data for name, data in back.items()}, names)

    # ---- transfers ----

    def test_copy_both_ways_gives_back_the_same_bytes(self):
        data = bytes(range(256)) * 40 + bytes(random.Random(7).getrandbits(8) for _ in range(5000))
        self.local("a.bin", data)
        out, err = self.ok("put", "a.bin", "/a.bin")
        self.assertIn("a.bin -> /a.bin: %d bytes" % len(data), out)
        self.assertEqual(self.own_lines(err), ["put /a.bin: %d of %d bytes (100%%)" % (len(data), len(data))],
                         "one line a file")
        out, err = self.ok("get", "/a.bin", "b.bin")
        self.assertEqual(self.read("b.bin"), data)
        self.assertIn("get /a.bin: %d of %d bytes (100%%)" % (len(data), len(data)), err)
        # "-" is standard input and output; cat prints files; --verify reads each copy back.
        self.assertIn("- -> /c.bin: %d bytes, verified" % len(data),
                      self.ok("put", "--verify", "-", "/c.bin", stdin=data)[0])
        code, out, err = self.zqk("get", "/c.bin", "-")
        self.assertEqual((code, out), (0, data), err)
        self.assertIn("/c.bin -> -: %d bytes" % len(data), err)
        code, out, err = self.zqk("cat", "/a.bin", "/none.bin", "/c.bin")
        self.assertEqual((code, out), (1, data + data), err)
        self.assertEqual(len(self.failure_lines(err)), 1, err)
        self.assertIn("/a.bin -> v.bin: %d bytes, verified" % len(data), self.ok("get", "--verify", "/a.bin", "v.bin")[0])
        # A device that keeps other bytes than it was sent: the copy counts as failed.
        code, out, err = self.zqk("-d", sim_device_path(self.sim_dir) + "?garble=1", "put", "--verify", "b.bin", "/g.bin",
                                  sim=False)
        self.assertEqual(code, 1, err)
        self.assertIn("/g.bin on the device does not hold what was sent", err)

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
        text = self.on_terminal("put", "p.bin")
        self.assertIn("\r", text)
        self.assertIn("100%", text)
        self.assertIn("left", text)
        self.assertIn("/s", text)
        # One line for the whole job: files done of all, and the current file.
        text = self.on_terminal("pull", "/logs", "pulled")
        self.assertIn("1/2 files", text)
        self.assertIn("2/2 files", text)
        self.assertIn("/logs/samples.bin", text)
        self.assertNotIn(" of 6000 bytes", text, "no plain lines on a terminal")
        # Cut to the window's width: the path gives way first, keeping the file's name.
        self.ok("mkdir", "-p", "/a/rather/long/path/to/the/file")
        text = self.on_terminal("put", "p.bin", "/a/rather/long/path/to/the/file/p.bin", columns=80)
        drawn = [d.replace("\x1b[K", "") for d in text.split("\r") if "files" in d]
        self.assertTrue(drawn and all(len(d) < 80 for d in drawn), drawn)
        self.assertTrue(drawn[-1].endswith("/file/p.bin") and "..." in drawn[-1], drawn)

    def test_progress_off_a_terminal_and_as_chosen(self):
        self.local("big.bin", bytes(1 << 20))
        _, err = self.ok("put", "big.bin", "/big.bin")
        self.assertLessEqual(len(self.own_lines(err)), 3, "a handful of lines for 1 MiB, not one a block")
        out, err = self.ok("--no-progress", "put", "big.bin", "/big.bin")
        self.assertEqual(self.own_lines(err), [])
        self.assertIn("put: 1 file copied", out)
        _, err = self.ok("--progress", "get", "/big.bin", "back.bin", env={"COLUMNS": "60"})
        drawn = [d.replace("\x1b[K", "") for d in err.split("\r") if "files" in d]
        self.assertTrue(drawn and all(len(d) < 60 for d in drawn), err)

    def test_transfer_failures_say_why(self):
        self.fails(1, "no such file or folder: /missing.bin", "get", "/missing.bin", "x.bin")
        self.assertFalse(os.path.exists(os.path.join(self.work, "x.bin")))
        self.fails(5, "no such file or folder: nothing.bin", "put", "nothing.bin")
        # The local side is looked at before the file comes: no progress of it.
        self.assertNotIn("get /README.TXT",
                         self.fails(5, "cannot write no/such/dir/x.bin", "get", "/README.TXT", "no/such/dir/x.bin"))
        self.local("keep.txt", b"old")
        self.assertNotIn("get /README.TXT",
                         self.fails(5, "cannot write keep.txt/x.bin", "get", "/README.TXT", "keep.txt/x.bin"))
        # A file goes into a folder given as the target: here a folder of its name is in the way.
        os.makedirs(os.path.join(self.work, "adir", "README.TXT"))
        self.assertNotIn("get /README.TXT", self.fails(5, "cannot write adir/README.TXT", "get", "/README.TXT", "adir"))
        self.assertEqual(sorted(os.listdir(self.work)), ["adir", "device", "keep.txt"], "nothing half-written")
        self.assertEqual(os.listdir(os.path.join(self.work, "adir")), ["README.TXT"])
        # A refusal in words with the device's text after it, never the protocol's command.
        self.local("f.txt", b"x")
        err = self.fails(1, "zqk: no such folder: /nodir (the device said 5:No path)", "put", "f.txt", "/nodir/f.txt")
        self.assertNotIn("NFWRITE", err)
        self.fails(1, "zqk: no such folder: /nodir (the device said 5:No path)", "get", "/nodir/x.bin", "x.bin")

    def test_flash(self):
        self.local("Main.BIN", bytes(range(256)) * 50)
        out, err = self.ok("flash", "Main.BIN")
        self.assertIn("Main.BIN: 12800 bytes sent", out)
        self.assertIn("flash Main.BIN: 12800 of 12800 bytes", err)
        self.fails(5, "cannot read none.bin", "flash", "none.bin")
        # --wait: the firmware string before the load and once the device is back (a simulated one stays).
        out, _ = self.ok("flash", "--wait", "--timeout=5s", "Main.BIN")
        self.assertIn("firmware before: fw 2.4.1\nMain.BIN: 12800 bytes sent\nfirmware after:  fw 2.4.1\n", out)
        self.fails(2, "--wait applies to flash only", "get", "--wait", "/README.TXT")

    # ---- folders, patterns and mirrors ----

    def test_recursive_copies_and_patterns(self):
        tree = {"a.txt": b"alpha", "sub/b.bin": bytes(range(256)) * 20, "sub/deeper/c.txt": b"gamma"}
        self.tree("tree", tree)
        out, _ = self.ok("put", "-r", "tree", "/up")
        self.assertIn("put: 3 files copied", out)
        self.ok("get", "-r", "/up", "back")
        self.assertEqual(self.tree("back"), tree)
        # As cp -r: a folder goes into a target folder that exists, by its name; put -r alike.
        self.ok("get", "-r", "/up", "back")
        self.assertEqual(self.tree("back"), dict(tree, **{"up/" + name: data for name, data in tree.items()}))
        self.ok("get", "-r", "/up/.", "back")  # "DIR/." fills the target with DIR's contents
        self.assertEqual(len(self.tree("back")), 2 * len(tree))
        self.ok("put", "-r", "tree", "/up")
        self.assertEqual(self.device_file("/up/tree/sub/deeper/c.txt"), b"gamma")
        # Several sources go into a folder, made when missing; a pattern matches without regard to case.
        self.ok("get", "/logs/*.LOG", "/README.TXT", "several")
        self.assertEqual(self.tree("several"), {"2024-03-15.log": self.device_file("/logs/2024-03-15.log"),
                                                "README.TXT": self.device_file("/README.TXT")})
        self.ok("put", "tree/a.txt", "tree/sub/b.bin", "/two/more")
        self.assertEqual(sorted(e["name"] for e in json.loads(self.ok("ls", "/two/more", "--json")[0])),
                         ["a.txt", "b.bin"])
        self.fails(1, "/logs is a folder; -r copies folders", "get", "/logs", "x")
        self.fails(1, "nothing on the device matches /logs/*.xyz", "get", "/logs/*.xyz", ".")
        self.fails(2, "-r applies to get, put, rm, rmdir only", "-r", "ls")
        self.fails(2, "--delete applies to pull, push only", "--delete", "get", "/README.TXT")

    def test_mirrors(self):
        if RUNNER:  # the Windows build takes its zone from Wine, not from TZ
            self.check_mirrors(None)
            return
        saved = os.environ.get("TZ")
        os.environ["TZ"] = ZONE
        time.tzset()
        try:
            self.check_mirrors({"TZ": ZONE})
        finally:
            os.environ.pop("TZ") if saved is None else os.environ.update(TZ=saved)
            time.tzset()

    def check_mirrors(self, env):
        # pull: the copies get the device's time stamps, and a second run copies nothing.
        out, _ = self.ok("pull", "--verify", "/logs", "mirror", env=env)
        self.assertIn("pull: 2 files copied (13.9 KiB)", out)
        self.assertIn("mirror/samples.bin: 6000 bytes, verified", out)
        self.assertTrue(out.rstrip().endswith(", 0 failed"), out)
        stamp = time.mktime((2024, 3, 15, 10, 20, 30, 0, 0, -1))
        self.assertEqual(os.stat(os.path.join(self.work, "mirror", "samples.bin")).st_mtime, stamp)
        out, _ = self.ok("pull", "/logs", "mirror", env=env)
        self.assertIn("pull: 0 files copied (0 B)", out)
        self.assertIn("2 up to date", out)
        # A changed file is copied again; --delete removes what the device lacks; -n changes nothing.
        self.local("mirror/samples.bin", b"changed")
        self.tree("mirror", {"old.txt": b"old", "extra/x.txt": b"x"})
        out, _ = self.ok("pull", "-n", "--delete", "/logs", "mirror", env=env)
        self.assertIn("would copy /logs/samples.bin -> mirror/samples.bin (6000 bytes)", out)
        self.assertIn("would delete mirror/old.txt\n", out)
        self.assertIn("would delete mirror/extra and all in it", out)
        self.assertIn("nothing was changed", out)
        self.assertEqual(len(self.tree("mirror")), 4)
        out, _ = self.ok("pull", "--delete", "/logs", "mirror", env=env)
        self.assertIn("2 deleted", out)
        self.assertEqual(self.tree("mirror"), {"2024-03-15.log": self.device_file("/logs/2024-03-15.log"),
                                               "samples.bin": self.device_file("/logs/samples.bin")})
        # push: the device's copies get the local files' times, in the device's steps of 2 s.
        self.tree("cfg", {"settings.ini": b"[a]\r\nb=1\r\n", "sub/odd.txt": b"odd second"})
        when = time.mktime((2023, 7, 1, 12, 0, 1, 0, 0, -1))
        for name in ("settings.ini", "sub/odd.txt"):
            os.utime(os.path.join(self.work, "cfg", name), (when, when))
        out, _ = self.ok("push", "cfg", "/cfg2", env=env)
        self.assertIn("push: 2 files copied", out)
        entries = {e["name"]: e for e in json.loads(self.ok("ls", "/cfg2/sub", "--json")[0])}
        self.assertEqual(entries["odd.txt"]["time"], device_time(when))
        out, _ = self.ok("push", "cfg", "/cfg2", env=env)
        self.assertIn("push: 0 files copied (0 B)", out)
        self.assertIn("2 up to date", out)
        # A time zone's change moves every local time an hour: --modify-window 3600 takes them as the same.
        for name in ("settings.ini", "sub/odd.txt"):
            os.utime(os.path.join(self.work, "cfg", name), (when + 3600, when + 3600))
        self.assertIn("2 up to date", self.ok("push", "--modify-window", "3600", "cfg", "/cfg2", env=env)[0])
        self.assertIn("2 files to copy", self.ok("push", "-n", "cfg", "/cfg2", env=env)[0])
        for name in ("settings.ini", "sub/odd.txt"):
            os.utime(os.path.join(self.work, "cfg", name), (when, when))
        # get and put keep time stamps as the mirrors do.
        self.ok("put", "--verify", "cfg/settings.ini", "/one.ini", env=env)
        self.assertEqual(json.loads(self.ok("ls", "/one.ini", "--json")[0])[0]["time"], device_time(when))
        self.ok("get", "/one.ini", "one.ini", env=env)
        self.assertEqual(os.stat(self.local("one.ini")).st_mtime, when - 1)
        os.remove(os.path.join(self.work, "cfg", "sub", "odd.txt"))
        out, _ = self.ok("push", "--delete", "cfg", "/cfg2", env=env)
        self.assertIn("deleted /cfg2/sub/odd.txt", out)
        self.assertEqual(json.loads(self.ok("ls", "/cfg2/sub", "--json")[0]), [])
        code, out, err = self.zqk("-q", "push", "cfg", "/cfg2", env=env)
        self.assertEqual((code, out, err), (0, b"", ""))
        # Dates after 2038: the device's 32 bits of time are unsigned.
        late = time.mktime((2040, 6, 1, 12, 0, 0, 0, 0, -1))
        self.tree("late", {"late.txt": b"late"})
        os.utime(os.path.join(self.work, "late", "late.txt"), (late, late))
        self.ok("push", "late", "/late", env=env)
        self.assertEqual(json.loads(self.ok("ls", "/late", "--json")[0])[0]["time"], device_time(late))
        self.ok("pull", "/late", "late back", env=env)
        self.assertEqual(os.stat(os.path.join(self.work, "late back", "late.txt")).st_mtime, late)
        self.assertIn("1 up to date", self.ok("pull", "/late", "late back", env=env)[0])

    def test_a_failing_file_does_not_stop_the_others(self):
        self.tree("three", {"a.txt": b"a", "b.txt": b"b", "c.txt": b"c"})
        self.ok("push", "three", "/f")
        os.makedirs(os.path.join(self.work, "out", "b.txt"))
        code, out, err = self.zqk("pull", "/f", "out")
        self.assertEqual(code, 5, err)
        self.assertEqual(len(self.failure_lines(err)), 1, err)
        self.assertIn("out/b.txt is a folder; not replaced by /f/b.txt", err)
        self.assertIn("pull: 2 files copied", out.decode())
        self.assertIn(", 1 failed", out.decode())
        self.assertEqual(self.read("out/c.txt"), b"c")
        # The device going away in the middle: what was copied stays, nothing half-copied, the rest not tried.
        device = sim_device_path(self.sim_dir) + "?unplug=150"
        code, out, err = self.zqk("-d", device, "pull", "/", "gone", sim=False)
        self.assertEqual(code, 3, err)
        self.assertIn("zqk: the device went away; 2 steps of the job not done", err)
        self.assertEqual(self.read("gone/hidden.sys"), b"system area")
        self.assertFalse(os.path.exists(os.path.join(self.work, "gone", "logs", "2024-03-15.log")))

    @unittest.skipIf(RUNNER, "Windows file names cannot hold a double quote")
    def test_a_name_the_device_refuses_fails_alone(self):
        self.tree("q", {"a.txt": b"a", 'b"q.txt': b"b", "c.txt": b"c"})
        code, out, err = self.zqk("push", "q", "/q")
        self.assertEqual(code, 1, err)
        lines = self.failure_lines(err)
        self.assertEqual(len(lines), 1, err)
        self.assertIn('cannot write /q/b"q.txt: ', lines[0])
        self.assertEqual(sorted(e["name"] for e in json.loads(self.ok("ls", "/q", "--json")[0])), ["a.txt", "c.txt"])

    def test_names_from_the_device_are_never_taken_as_paths(self):
        # The simulated device keeps these names %-encoded in its folder and tells case apart.
        folder = os.path.join(self.work, "hostile")
        self.tree("hostile/h", {"..%2Fx": b"x", "a%2Fb": b"ab", "ctl%01z": b"c", "Case.txt": b"one",
                                "CASE.TXT": b"two", "fine.txt": b"fine", "..%2Fup/d": b"deep", "sub/in.txt": b"in"})
        device = sim_device_path(folder) + "?names=case"
        before = sorted(os.listdir(self.work))
        refusals = ['"../x" in /h: it holds "/"', '"a/b" in /h: it holds "/"', '"../up" in /h: it holds "/"',
                    '"ctl\\x01z" in /h: it holds the control byte 0x01']
        code, out, err = self.zqk("-d", device, "pull", "/h", "out", sim=False)
        self.assertEqual(code, 1, err)
        lines = self.failure_lines(err)
        for refusal in refusals:
            self.assertEqual(len([l for l in lines if "refused " + refusal in l]), 1, err)
        self.assertEqual(sorted(os.listdir(self.work)), sorted(before + ["out"]), "nothing written outside")
        copied = self.tree("out")
        self.assertEqual((copied["fine.txt"], copied["sub/in.txt"]), (b"fine", b"in"))
        if RUNNER:  # a folder that does not tell case apart: the first is kept, the second reported
            self.assertIn('refused "Case.txt" in /h: it differs only in case from "CASE.TXT"', err)
            self.assertEqual(len(lines), 5, err)
            self.assertEqual(copied["CASE.TXT"], b"two")
            self.assertNotIn("Case.txt", copied)
        else:
            self.assertEqual(len(lines), 4, err)
            self.assertEqual((copied["Case.txt"], copied["CASE.TXT"]), (b"one", b"two"))
        # The same names through a pattern.
        code, out, err = self.zqk("-d", device, "get", "/h/*.txt", "/h/*x*", "/h/a*", "picked", sim=False)
        self.assertEqual(code, 1, err)
        self.assertIn('refused "../x" in /h', err)
        self.assertIn('refused "a/b" in /h', err)
        self.assertEqual(self.read("picked/fine.txt"), b"fine")
        # Names that differ only in case are one on the device: the second is not sent.
        self.tree("cased", {"N.TXT": b"upper", "n.txt": b"lower"})
        code, out, err = self.zqk("push", "cased", "/cased")
        self.assertEqual(code, 1, err)
        self.assertIn('refused "n.txt" in cased: it differs only in case from "N.TXT"', err)
        self.assertEqual([e["name"] for e in json.loads(self.ok("ls", "/cased", "--json")[0])], ["N.TXT"])

    def test_delete_judges_only_folders_known_whole(self):
        # A line of the device's listing that is no entry ("bad<TAB>name": no size after the name) may be the
        # entry that looks missing: --delete deletes nothing in that folder, on either side.
        self.tree("device/h", {"bad%09name": b"x", "fine.txt": b"fine"})
        self.tree("out", {"bad": b"mine", "stale.txt": b"stale"})
        code, out, err = self.zqk("pull", "--delete", "/h", "out")
        self.assertEqual(code, 1, err)
        self.assertIn("zqk: nothing deleted in out: the device's listing of it has 1 line that is no entry", err)
        self.assertEqual(sorted(self.tree("out")), ["bad", "fine.txt", "stale.txt"])
        self.tree("device/h", {"extra.txt": b"extra"})
        code, out, err = self.zqk("push", "--delete", "out", "/h")
        self.assertEqual(code, 1, err)
        self.assertIn("zqk: nothing deleted in /h: the device's listing of it has 1 line", err)
        self.assertEqual(self.device_file("/h/extra.txt"), b"extra")
        # A listing cut short by a device that went away is no listing at all.
        device = sim_device_path(self.sim_dir) + "?unplug=5"
        code, out, err = self.zqk("-d", device, "pull", "--delete", "/", "out", sim=False)
        self.assertEqual(code, 3, err)
        self.assertIn("went away before the listing", err)
        self.assertEqual(sorted(self.tree("out")), ["bad", "fine.txt", "stale.txt"])

    def test_mirrors_compare_the_names_the_device_stores(self):
        # Firmware without quoted names stores "my notes.txt" as "my_notes.txt": that is the same file.
        device = sim_device_path(self.sim_dir) + "?unquoted=1"
        self.tree("notes", {"my notes.txt": b"notes"})
        self.ok("-d", device, "push", "--delete", "notes", "/notes", sim=False)
        out, _ = self.ok("-d", device, "push", "--delete", "notes", "/notes", sim=False)
        self.assertIn("push: 0 files copied (0 B)", out)
        self.assertIn("1 up to date", out)
        self.assertEqual(self.device_file("/notes/my_notes.txt"), b"notes")
        # A device name with a blank cannot be sent to such firmware: it would read "a_b" instead.
        self.tree("device/h", {"a b": b"blank", "a_b": b"underscore"})
        self.tree("pulled", {"a b": b"mine"})
        code, out, err = self.zqk("-d", device, "pull", "--delete", "/h", "pulled", sim=False)
        self.assertEqual(code, 1, err)
        self.assertIn('refused "a b" in /h: this firmware reads blanks in names as "_"', err)
        self.assertEqual(self.tree("pulled"), {"a b": b"mine", "a_b": b"underscore"})
        os.remove(self.local("pulled/a b"))
        code, out, err = self.zqk("-d", device, "push", "--delete", "pulled", "/h", sim=False)
        self.assertEqual(code, 1, err)
        self.assertIn('refused "a b" in /h: this firmware reads blanks', err)
        self.assertEqual((self.device_file("/h/a b"), self.device_file("/h/a_b")), (b"blank", b"underscore"))

    @unittest.skipIf(RUNNER, "Windows file names cannot hold a backslash or a control byte")
    def test_local_names_the_device_would_read_as_paths_are_refused(self):
        hostile = {"..\\..\\x": b"up", "a\\b": b"ab", "ctl\x01z": b"c", "fine.txt": b"fine", "sub/in.txt": b"in",
                   "a b": b"blank", "a_b": b"underscore"}
        self.tree("up", hostile)
        refusals = ['refused "..\\..\\x" in up: it holds "\\"', 'refused "a\\b" in up: it holds "\\"',
                    'refused "ctl\\x01z" in up: it holds the control byte 0x01']
        for command in (["push", "up", "/up"], ["put", "-r", "up", "/up"]):
            shutil.rmtree(self.sim_dir, ignore_errors=True)
            self.ok("ls")
            seeded = sorted(os.listdir(self.sim_dir) + ["up"])
            code, out, err = self.zqk(*command)
            self.assertEqual(code, 1, err)
            lines = self.failure_lines(err)
            for refusal in refusals:
                self.assertEqual(len([l for l in lines if refusal in l]), 1, err)
            self.assertEqual(len(lines), 3, err)
            self.assertIn(", 3 failed", out.decode())
            self.assertEqual(sorted(os.listdir(self.sim_dir)), seeded, "nothing written outside")
            self.assertEqual(sorted(os.listdir(os.path.join(self.sim_dir, "up"))), ["a b", "a_b", "fine.txt", "sub"])
        # On firmware without quoted names "a b" and "a_b" are one device name: the second is not sent.
        shutil.rmtree(self.sim_dir, ignore_errors=True)
        device = sim_device_path(self.sim_dir) + "?unquoted=1"
        code, out, err = self.zqk("-d", device, "push", "up", "/up", sim=False)
        self.assertIn('refused "a_b" in up: the device would store it as "a_b", as it would "a b"', err)
        self.assertEqual(self.device_file("/up/a_b"), b"blank")
        code, out, err = self.zqk("-d", device, "put", "up/a b", "up/a_b", "/two", sim=False)
        self.assertEqual(code, 1, err)
        self.assertIn('refused up/a_b: the device would store it as "a_b", as it would "a b"; not sent', err)
        self.assertEqual(self.device_file("/two/a_b"), b"blank")

    @unittest.skipIf(RUNNER or not hasattr(os, "symlink"), "a link made on the host side")
    def test_a_local_link_is_never_followed(self):
        os.makedirs(os.path.join(self.work, "outside"))
        os.makedirs(os.path.join(self.work, "target"))
        os.symlink(os.path.join(self.work, "outside"), os.path.join(self.work, "target", "logs"))
        code, out, err = self.zqk("pull", "/", "target")
        self.assertEqual(code, 5, err)
        self.assertIn("target/logs is a link or special file; not followed", err)
        self.assertEqual(os.listdir(os.path.join(self.work, "outside")), [])
        self.assertIn("README.TXT", os.listdir(os.path.join(self.work, "target")))
        # A plain get into a folder refuses a link at the target name as pull does.
        self.local("outside.txt", b"mine")
        os.makedirs(os.path.join(self.work, "into"))
        os.symlink(os.path.join(self.work, "outside.txt"), os.path.join(self.work, "into", "hidden.sys"))
        self.fails(5, "cannot write into/hidden.sys: it is a link; not followed", "get", "/hidden.sys", "into")
        self.fails(5, "cannot write into/hidden.sys: it is a link; not followed", "get", "/hidden.sys",
                   "into/hidden.sys")
        self.assertEqual(self.read("outside.txt"), b"mine")

    @unittest.skipIf(RUNNER or not hasattr(os, "symlink"), "a link made on the host side")
    def test_a_folder_swapped_for_a_link_during_a_job_is_not_written_through(self):
        # A slow device: while the first file comes, the other folder is swapped for a link to outside. The
        # job either holds the folder open already (and writes into it, wherever it went) or finds the link.
        self.tree("device/two", {"a/one.bin": bytes(30000), "b/two.bin": bytes(30000)})
        os.makedirs(self.local("outside"))
        os.makedirs(self.local("out/a"))
        os.makedirs(self.local("out/b"))
        device = sim_device_path(self.sim_dir) + "?pace=1000"
        job = subprocess.Popen(RUNNER + [ZQK, "-q", "-d", device, "pull", "/two", "out"], cwd=self.work,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            deadline = time.monotonic() + 60
            while not any(os.path.exists(self.local("out/%s/%s.bin" % f)) for f in (("a", "one"), ("b", "two"))):
                self.assertLess(time.monotonic(), deadline, "no file came")
                time.sleep(0.01)
            other = "b" if os.path.exists(self.local("out/a/one.bin")) else "a"
            os.rename(self.local("out/" + other), self.local("moved"))
            os.symlink(self.local("outside"), self.local("out/" + other))
        finally:
            job.communicate(timeout=120)
        self.assertEqual(os.listdir(self.local("outside")), [], "written through a link")

    @unittest.skipUnless(RUNNER, "8.3 aliases of the Windows build's file system")
    def test_an_alias_of_another_local_file_is_not_replaced(self):
        self.tree("into", {"longfilename.txt": b"mine"})
        listing = subprocess.run(RUNNER + ["cmd.exe", "/c", "dir /x Z:" + self.local("into").replace("/", "\\")],
                                 capture_output=True, timeout=120).stdout.decode(errors="replace")
        alias = re.search(r"(\S+~\S+)\s+longfilename\.txt", listing).group(1)
        self.tree("device", {alias: b"device"})
        for command in (["get", "/" + alias, "into"], ["pull", "/", "into"]):
            self.fails(5, "cannot write into/%s: the file that answers to this name is not the one the job found" % alias,
                       *command)
            self.assertEqual(self.tree("into"), {"longfilename.txt": b"mine"})

    # ---- several units ----

    def test_all_units_at_once(self):
        devices = []
        for unit in (1, 2, 3):
            device = sim_device_path(os.path.join(self.work, "unit%d" % unit)) + "?serial=ZQK-000%d" % unit
            self.local("unit.txt", b"unit %d" % unit)
            self.ok("-d", device, "put", "unit.txt", "/logs/unit.txt", sim=False)
            devices += ["--device", device]
        out, err = self.ok(*devices, "--all", "pull", "/logs", "logs/{serial}", sim=False)
        for unit in (1, 2, 3):
            serial = "ZQK-000%d" % unit
            self.assertEqual(self.read("logs/%s/unit.txt" % serial), b"unit %d" % unit)
            self.assertIn("[%s] pull: 3 files copied" % serial, out)
        self.assertTrue(all(re.match(r"\[ZQK-000[123]\] ", line) for line in out.splitlines()), out)
        own = [line for line in err.splitlines() if not re.match(r"[0-9a-f]{4}:(err|fixme|warn):", line)]  # not Wine's
        self.assertTrue(all(re.match(r"\[ZQK-000[123]\] ", line) for line in own), err)
        # The exit status is the worst of the units'.
        self.ok("-d", devices[3], "rmdir", "-r", "/logs", sim=False)
        code, out, err = self.zqk(*devices, "--all", "ls", "/logs", sim=False)
        self.assertEqual(code, 1, err)
        self.assertEqual(len(self.failure_lines(err, "[ZQK-0002] zqk: no such folder: /logs")), 1, err)
        self.assertEqual(self.failure_lines(err, "["), self.failure_lines(err, "[ZQK-0002] zqk: no such folder: /logs"))
        self.assertIn("[ZQK-0001] samples.bin", out.decode())
        self.assertIn("[ZQK-0003] samples.bin", out.decode())
        self.fails(2, "--all does not apply to term", *devices, "--all", "term", sim=False)
        self.fails(2, "--all does not apply to cat", *devices, "--all", "cat", "/logs/unit.txt", sim=False)

    def test_all_units_get_folders_of_their_own(self):
        devices = []
        for unit, serial in enumerate(("X-2", "X", "X", "x")):
            device = sim_device_path(os.path.join(self.work, "unit%d" % unit)) + "?serial=" + serial
            self.local("unit.txt", b"unit %d" % unit)
            self.ok("-d", device, "put", "unit.txt", "/logs/unit.txt", sim=False)
            devices += ["--device", device]
        out, err = self.ok(*devices, "--all", "pull", "/logs", "logs/{serial}", sim=False)
        # Apart also where a folder does not tell case apart.
        names = {"X-2": 0, "X": 1, "X-3": 2, "x-4": 3}
        self.assertEqual(sorted(os.listdir(self.local("logs"))), sorted(names))
        for name, unit in names.items():
            self.assertEqual(self.read("logs/%s/unit.txt" % name), b"unit %d" % unit)
        # Without {serial} the units would write one another's files.
        self.fails(2, "put {serial} into the local target", *devices, "--all", "get", "/logs/unit.txt", "one.txt",
                   sim=False)
        self.fails(2, "put {serial} into the local target", *devices, "--all", "pull", "/logs", "one", sim=False)
        self.assertFalse(os.path.exists(self.local("one.txt")) or os.path.exists(self.local("one")))
        self.ok(*devices[:2], "--all", "get", "/logs/unit.txt", "one.txt", sim=False)  # one unit alone

    # ---- file and directory commands ----

    def test_make_rename_remove(self):
        self.ok("mkdir", "/new dir")
        self.fails(1, 'cannot make directory /new dir: it exists already (the device said 8:Exist)',
                   "mkdir", "/new dir")
        self.local("f.txt", b"x")
        self.ok("put", "f.txt", "/new dir/f.txt")
        self.ok("mv", "/new dir/f.txt", "/new dir/g.txt")
        self.assertIn("g.txt", self.ok("ls", "/new dir")[0])
        self.fails(1, "cannot remove directory /new dir: it is not empty", "rmdir", "/new dir")
        self.ok("rm", "/new dir/g.txt")
        self.fails(1, "no such file: /new dir/g.txt (the device said 4:No file)", "rm", "/new dir/g.txt")
        self.ok("rmdir", "/new dir")
        self.assertNotIn("new dir", self.ok("ls")[0])
        # Parents made as needed, an existing folder taken; -r removes a folder with its contents.
        self.ok("mkdir", "-p", "/a/b/c")
        self.ok("mkdir", "-p", "/A/b")
        self.ok("put", "f.txt", "/a/b/c/f.txt")
        self.fails(1, "a file of that name is there", "mkdir", "-p", "/a/b/c/f.txt/d")
        self.fails(2, "-p applies to mkdir only", "rm", "-p", "/a")
        self.fails(1, "cannot delete /a", "rm", "/a")
        self.ok("rm", "-r", "/a")
        self.assertNotIn("a", [e["name"] for e in json.loads(self.ok("ls", "--json")[0])])

    def test_lock_held_elsewhere(self):
        self.ok("ls")
        device = sim_device_path(self.sim_dir)
        holder = subprocess.Popen(RUNNER + [LOCK_HOLDER, "--device", device, "hold", "1800"],
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

    def test_verbose_shows_each_step_of_the_conversation(self):
        out, err = self.ok("-v", "get", "/README.TXT", "r.txt")
        self.assertEqual([l for l in err.splitlines() if l[:2] in ("> ", "< ")],
                         ['> NFDIR @"/"', "< 7 lines, prompt", '> NFTYPE @"/README.TXT"',
                          "< 2 lines, 76 of 76 bytes of data, prompt"])
        self.assertNotIn("> ", self.ok("get", "/README.TXT", "r.txt")[1])
        # With a trace of its own the steps are the same, and the trace is whole.
        err = self.ok("-v", "--trace", "t.pcapng", "ls", "/logs")[1]
        lines = err.splitlines()
        self.assertIn(('> NFDIR @"/logs"', "< 5 lines, prompt"), list(zip(lines, lines[1:])))
        self.assertIn("step < 5 lines, prompt", self.ok("trace", "t.pcapng", sim=False)[0])

    def test_trace_writes_a_capture(self):
        self.ok("--trace", "t.pcapng", "ls", "/")
        self.assertEqual(self.read("t.pcapng")[:4], bytes.fromhex("0a0d0d0a"))

    def test_trace_reads_a_capture_and_refuses_what_is_none(self):
        self.ok("--trace", "t.pcapng", "ls", "/logs")
        out = self.ok("trace", "t.pcapng", sim=False)[0].splitlines()
        self.assertIn("* trace started", out[3])
        self.assertRegex(out[4], r'^ +0\.\d{6} > ch  0 len 16  \{esc\}NFDIR @"/logs"\\r$')
        self.assertIn("< ch  0 len 12  {prompt:zq.keeper>}", "\n".join(out))
        sent, received = map(int, re.match(r"# (\d+) reports? to the device, (\d+) from it", out[-1]).groups())
        self.assertEqual((sent, received), (sum(" > ch" in l for l in out), sum(" < ch" in l for l in out)))
        self.assertGreater(received, sent)
        whole = self.read("t.pcapng")
        section = whole[:struct.unpack_from("<I", whole, 4)[0]]
        pcap = lambda link_type: struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, link_type)
        record = lambda size, data=b"": struct.pack("<IIII", 0, 0, size, size) + data
        rows = [
            (b"", "too short to be a capture"),
            (b"GIF89a" + bytes(40), "not a pcap or pcapng capture (it starts with 0x47494638)"),
            (whole[:len(whole) // 2 + 1], "is cut short or damaged after its first"),
            (section + struct.pack("<II", 6, 0x7FFFFFF0) + bytes(8), "claims a length of 2147483632 bytes"),
            (section + struct.pack("<IIIIIIIII", 6, 36, 0, 0, 0, 999, 999, 0, 36), "more than its block holds"),
            (pcap(220) + record(0x7FFFFFFF), "a record claims 2147483647 bytes"),
            (pcap(1) + record(4, b"abcd"), "a capture of link type 1: zqk trace reads"),
            (None, "cannot read"),
        ]
        for data, message in rows:
            if data is not None:
                self.local("bad.pcap", data)
            self.fails(5, message, "trace", "bad.pcap" if data is not None else "missing.pcap", sim=False)

    def test_terminal_session(self):
        code, out, err = self.zqk("term", stdin=b"echo one\n\\e\necho two\n")
        self.assertEqual(code, 0, err)
        self.assertEqual(out, b"one\r\n(escape)\ntwo\r\n")
        # A unit that asks for a password runs nothing until it is typed: a command before
        # gets the refusal and the password prompt, which is not the prompt a command waits
        # for. Its answer to the password is the prompt alone: the time-out of silence is short.
        locked = sim_device_path(self.sim_dir) + "?password=pw"
        code, out, err = self.zqk("-d", locked, "--timeout", "100ms", "term", stdin=b"echo one\n\\e\npw\necho two\n",
                                  sim=False)
        self.assertEqual(code, 0, err)
        self.assertEqual(out, b"Wrong password\r\n\xabPASSWORD:\xbb(escape: the device asks for a password)\ntwo\r\n")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + ["-v"])
