#!/usr/bin/env python3
"""zqk mount end to end: a simulated device's files in a local folder, used by
ordinary programs (cp, diff, rsync, mv, rm, ls, an editor's way of saving).

usage: mount_test.py ZQK LOCK_HOLDER
Exits 77 (skipped) when this machine cannot mount through FUSE: no /dev/fuse
or no fusermount3.
"""
import calendar
import errno
import mmap
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

ZQK = os.path.abspath(sys.argv[1]) if len(sys.argv) > 2 else None
LOCK_HOLDER = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else None
SKIPPED = 77
# A zone without summer time, three hours east of UTC: the device keeps local
# times, so every time the mount shows has been converted.
ZONE = "XYZ-3"
ZONE_SECONDS = 3 * 3600
# 2021-06-01 12:00:01 UTC: an odd second, which the device cannot keep.
OLD_TIME = calendar.timegm((2021, 6, 1, 12, 0, 1))
# 2040-06-01 12:00:00 UTC, past what 31 bits of seconds hold.
LATE_TIME = calendar.timegm((2040, 6, 1, 12, 0, 0))
# The demo tree's README.TXT: read-only, 2024-03-15 10:20:30 device time.
DEMO_TIME = calendar.timegm((2024, 3, 15, 10, 20, 30)) - ZONE_SECONDS


def run(*command, check=True):
    result = subprocess.run(command, capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, TZ=ZONE))
    if check and result.returncode != 0:
        raise AssertionError("%s failed (%d): %s%s" % (" ".join(command), result.returncode,
                                                       result.stdout, result.stderr))
    return result


def make_tree(root):
    """Folders and files of several sizes, with old times, modes as a umask
    of 022 gives them, as the mount shows them."""
    files = {"a/one.bin": 7000, "a/two.bin": 14000, "a/b/deep.bin": 50000,
             "with blank.txt": 12, "c/small.txt": 1}
    for name, size in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), mode=0o755, exist_ok=True)
        with open(path, "wb") as f:
            f.write(os.urandom(size))
        os.chmod(path, 0o644)
    for folder, _, names in os.walk(root):
        for name in names:
            os.utime(os.path.join(folder, name), (OLD_TIME, OLD_TIME))
        os.chmod(folder, 0o755)
    return files


class Mount:
    """zqk mount of one simulated device on a folder, in the foreground."""

    def __init__(self, device, folder, options=""):
        self.folder = folder
        self.process = subprocess.Popen(
            [ZQK, "--device", "sim:%s%s" % (device, options), "mount", folder],
            stderr=subprocess.PIPE, text=True, env=dict(os.environ, TZ=ZONE))
        deadline = time.monotonic() + 20
        while not os.path.ismount(folder):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("not mounted: %s" % self.process.stderr.read())
            time.sleep(0.02)

    def unmount(self):
        run("fusermount3", "-u", self.folder)
        return self.ended()

    def ended(self):
        """The mount's exit status and what it said."""
        said = self.process.communicate(timeout=20)[1]
        return self.process.returncode, said


class MountTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="zqk_mount_test_")
        self.device = os.path.join(self.work, "device")
        self.mnt = os.path.join(self.work, "mnt")
        self.src = os.path.join(self.work, "src")
        os.mkdir(self.mnt)
        os.mkdir(self.src)
        self.mounts = []

    def tearDown(self):
        for mount in self.mounts:
            if mount.process.poll() is None:
                subprocess.run(["fusermount3", "-u", self.mnt], capture_output=True)
                mount.process.kill()
                mount.process.wait()
        shutil.rmtree(self.work, ignore_errors=True)

    def mount(self, options=""):
        self.mounts.append(Mount(self.device, self.mnt, options))
        return self.mounts[-1]

    def unmount_cleanly(self, mount):
        code, said = mount.unmount()
        self.assertEqual(code, 0, said)
        return said

    def in_mount(self, *parts):
        return os.path.join(self.mnt, *parts)

    def assert_fails(self, error, call, *args):
        with self.assertRaises(OSError) as caught:
            call(*args)
        self.assertEqual(caught.exception.errno, error, caught.exception)

    def device_listing(self, path):
        """NAME -> (size, attribute text, device time) of the device's folder,
        read by zqk itself once the mount has ended."""
        out = run(ZQK, "--sim-dir", self.device, "ls", path, "--long").stdout
        rows = [line.split() for line in out.splitlines()[1:-1]]
        # NAME SIZE ATTR BITS DATE TIME UNIX-TIME; names may hold blanks.
        return {" ".join(row[:-6]): (row[-6], row[-5], int(row[-1])) for row in rows}

    # ---- whole trees ----

    def test_copy_a_tree_in_and_back(self):
        make_tree(self.src)
        mount = self.mount()
        run("cp", "-r", self.src, self.in_mount("tree"))
        run("diff", "-r", self.src, self.in_mount("tree"))
        self.unmount_cleanly(mount)
        # A new mount knows nothing of the first: what it reads is the device's.
        mount = self.mount()
        run("diff", "-r", self.src, self.in_mount("tree"))
        self.unmount_cleanly(mount)

    def test_second_rsync_copies_nothing(self):
        make_tree(self.src)
        mount = self.mount()
        # The device keeps times to 2 s and sets no folder's time, as FAT.
        rsync = ["rsync", "-a", "-O", "--modify-window=1", "--itemize-changes", self.src + "/",
                 self.in_mount("copy") + "/"]
        self.assertIn(">f+++++++++ a/b/deep.bin", run(*rsync).stdout)
        self.assertEqual(run(*rsync).stdout, "")
        os.utime(os.path.join(self.src, "a/one.bin"), (OLD_TIME + 60, OLD_TIME + 60))
        self.assertEqual(run(*rsync).stdout.split(), [">f..t......", "a/one.bin"])
        self.unmount_cleanly(mount)
        mount = self.mount()
        self.assertEqual(run(*rsync).stdout, "")
        self.unmount_cleanly(mount)

    def test_sizes_times_and_read_only_files_in_the_listing(self):
        make_tree(self.src)
        mount = self.mount()
        run("cp", "-p", os.path.join(self.src, "a/two.bin"), self.in_mount("two.bin"))
        listing = run("ls", "-l", "--time-style=+%Y-%m-%dT%H:%M:%S", self.mnt).stdout
        # Local time in the zone, to the two seconds the device keeps.
        self.assertRegex(listing, r"-rw-r--r-- 1 \S+ \S+ 14000 2021-06-01T15:00:00 two.bin")
        self.assertRegex(listing, r"-r--r--r-- 1 \S+ \S+ +76 2024-03-15T10:20:30 README.TXT")
        self.assertRegex(listing, r"drwxr-xr-x 2 \S+ \S+ +0 2024-03-15T10:20:30 logs")
        self.assertEqual(os.stat(self.in_mount("README.TXT")).st_mtime, DEMO_TIME)
        self.assert_fails(errno.EACCES, open, self.in_mount("README.TXT"), "ab")
        with open(self.in_mount("README.TXT"), "rb") as reader:  # also while a reader has it open
            self.assert_fails(errno.EACCES, os.truncate, self.in_mount("README.TXT"), 10)
            self.assertEqual(len(reader.read()), 76)
        # Dates after 2038: the device's 32 bits of time are unsigned.
        os.utime(self.in_mount("two.bin"), (LATE_TIME, LATE_TIME))
        self.assertEqual(os.stat(self.in_mount("two.bin")).st_mtime, LATE_TIME)
        self.unmount_cleanly(mount)
        # The device got the time as its local time.
        self.assertEqual(self.device_listing("/")["two.bin"], ("14000", "A", LATE_TIME + ZONE_SECONDS))

    def test_df_shows_the_flash_the_device_states_less_what_its_files_hold(self):
        make_tree(self.src)
        mount = self.mount()
        run("cp", "-r", self.src, self.in_mount("tree"))
        held = sum(os.path.getsize(os.path.join(folder, name))
                   for folder, _, names in os.walk(self.mnt) for name in names)
        space = os.statvfs(self.mnt)
        # The simulated device's string 210 says "flash 64M".
        self.assertEqual(space.f_blocks * space.f_frsize, 64 << 20)
        self.assertEqual(space.f_bavail, space.f_blocks - -(-held // space.f_frsize))
        self.unmount_cleanly(mount)

    # ---- changes ----

    def test_move_and_remove(self):
        make_tree(self.src)
        mount = self.mount()
        run("cp", "-r", self.src, self.in_mount("tree"))
        run("mv", self.in_mount("tree/a"), self.in_mount("moved"))
        run("mv", self.in_mount("tree/c/small.txt"), self.in_mount("moved/b/small.txt"))
        self.assertEqual(sorted(os.listdir(self.in_mount("moved/b"))), ["deep.bin", "small.txt"])
        self.assertEqual(sorted(os.listdir(self.in_mount("tree"))), ["c", "with blank.txt"])
        # rmdir(2) removes empty folders only, though the device would take
        # everything in them.
        self.assert_fails(errno.ENOTEMPTY, os.rmdir, self.in_mount("moved"))
        os.rmdir(self.in_mount("tree/c"))
        run("rm", "-r", self.in_mount("moved"))
        self.assertNotIn("moved", os.listdir(self.mnt))
        self.assert_fails(errno.EISDIR, os.unlink, self.in_mount("logs"))
        # A reader that opened a file before it was removed reads it whole.
        with open(self.in_mount("logs", "samples.bin"), "rb") as reader:
            os.unlink(self.in_mount("logs", "samples.bin"))
            self.assertEqual(len(reader.read()), 6000)
        self.unmount_cleanly(mount)
        self.assertEqual(sorted(self.device_listing("/tree")), ["with blank.txt"])

    def test_editor_saves_by_renaming_over_and_ctrl_c_unmounts(self):
        mount = self.mount()
        target = self.in_mount("config", "settings.txt")
        with open(target, "w") as f:
            f.write("speed=1\n")
        temporary = self.in_mount("config", ".settings.txt.swp")
        with open(temporary, "w") as f:
            f.write("speed=2\nmode=fast\n")
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, target)
        self.assertEqual(sorted(os.listdir(self.in_mount("config"))), ["settings.ini", "settings.txt"])
        with open(target) as f:
            self.assertEqual(f.read(), "speed=2\nmode=fast\n")
        # A file written in place (open, change, close) keeps the rest.
        with open(target, "r+") as f:
            f.seek(6)
            f.write("3")
        # A reader open all along sees what a later handle writes over it in
        # place, the size staying the same.
        with open(target) as reader:
            self.assertEqual(reader.read(), "speed=3\nmode=fast\n")
            overwrite = os.open(target, os.O_WRONLY)
            os.write(overwrite, b"speed=4\nmode=slow\n")
            os.close(overwrite)
            reader.seek(0)
            self.assertEqual(reader.read(), "speed=4\nmode=slow\n")
        # A write-only handle opened alone writes past the kernel's cache, and
        # so does a reader opened while it is open (so the kernel maps it
        # not): it sees every later write. Once the writer is closed, a new
        # reader goes through the cache again.
        with open(target, "w") as writer:
            writer.write("speed=5\n")
            writer.flush()
            reader = open(target, "rb")
            self.assert_fails(errno.ENODEV, lambda: mmap.mmap(reader.fileno(), 0, access=mmap.ACCESS_READ))
            self.assertEqual(reader.read(), b"speed=5\n")
            writer.write("mode=eco\n")
            writer.flush()
            reader.seek(0)
            self.assertEqual(reader.read(), b"speed=5\nmode=eco\n")
        with reader, open(target, "rb") as cached:
            with mmap.mmap(cached.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
                self.assertEqual(mapped[:], b"speed=5\nmode=eco\n")
        mount.process.send_signal(signal.SIGINT)
        code, said = mount.ended()
        self.assertEqual(code, 0, said)
        self.assertFalse(os.path.ismount(self.mnt))
        mount = self.mount()
        with open(target) as f:
            self.assertEqual(f.read(), "speed=5\nmode=eco\n")
        self.unmount_cleanly(mount)

    def test_empty_files_are_refused(self):
        mount = self.mount()
        # The library sends no empty file: closing one says so, and nothing is made.
        self.assert_fails(errno.EOPNOTSUPP, lambda: open(self.in_mount("empty"), "w").close())
        self.assertFalse(os.path.exists(self.in_mount("empty")))
        self.assert_fails(errno.EOPNOTSUPP, os.truncate, self.in_mount("logs", "samples.bin"), 0)
        self.assertEqual(os.path.getsize(self.in_mount("logs", "samples.bin")), 6000)
        said = self.unmount_cleanly(mount)
        self.assertIn("/empty was not made: the device keeps no empty files", said)

    def test_names_a_local_folder_cannot_hold_are_hidden(self):
        mount = self.mount()  # makes and seeds the device's folder
        self.unmount_cleanly(mount)
        with open(os.path.join(self.device, "logs", "bad\x01name.log"), "wb") as f:
            f.write(b"x")
        with open(os.path.join(self.device, "logs", "back%5Cslash.log"), "wb") as f:  # the device would take it as a path
            f.write(b"z")
        os.mkdir(os.path.join(self.device, "only hidden"))
        with open(os.path.join(self.device, "only hidden", "bad\x02name.log"), "wb") as f:
            f.write(b"y")
        mount = self.mount()
        self.assertEqual(sorted(os.listdir(self.in_mount("logs"))), ["2024-03-15.log", "samples.bin"])
        self.assert_fails(errno.ENOENT, os.stat, self.in_mount("logs", "bad\x01name.log"))
        self.assert_fails(errno.ENOTEMPTY, os.rmdir, self.in_mount("logs"))
        # The device would remove the folder with its hidden file in it.
        self.assertEqual(os.listdir(self.in_mount("only hidden")), [])
        self.assert_fails(errno.ENOTEMPTY, os.rmdir, self.in_mount("only hidden"))
        said = self.unmount_cleanly(mount)
        self.assertIn('hidden in /logs: "bad\\u0001name.log"', said)
        self.assertIn('hidden in /logs: "back\\\\slash.log"', said)

    def test_a_folder_with_lines_that_are_no_entry_is_not_empty(self):
        # A name with a tab in it: the device's line for it is no entry.
        os.makedirs(os.path.join(self.device, "odd"))
        with open(os.path.join(self.device, "odd", "x%09y"), "wb") as f:
            f.write(b"kept")
        mount = self.mount()
        self.assertEqual(os.listdir(self.in_mount("odd")), [])
        self.assert_fails(errno.ENOTEMPTY, os.rmdir, self.in_mount("odd"))
        os.mkdir(self.in_mount("empty"))
        self.assert_fails(errno.ENOTEMPTY, os.rename, self.in_mount("empty"), self.in_mount("odd"))
        # The device writes over what has the name, and the line may be of it.
        self.assert_fails(errno.EIO, open, self.in_mount("odd", "new.txt"), "wb")
        said = self.unmount_cleanly(mount)
        self.assertIn("in /odd the device listed 1 line that is no entry", said)
        self.assertEqual(os.listdir(os.path.join(self.device, "odd")), ["x%09y"])

    def test_names_are_matched_as_the_device_matches_them(self):
        mount = self.mount()
        with open(self.in_mount("notes.txt"), "wb") as f:
            f.write(b"one")
        # As on FAT, NOTES.TXT is notes.txt, so programs that keep what is there see it.
        self.assertEqual(os.stat(self.in_mount("NOTES.TXT")).st_size, 3)
        self.assertEqual(sorted(os.listdir(self.in_mount("LOGS"))), ["2024-03-15.log", "samples.bin"])
        self.assert_fails(errno.EEXIST, os.open, self.in_mount("Notes.Txt"), os.O_WRONLY | os.O_CREAT | os.O_EXCL)
        with open(os.path.join(self.src, "NOTES.TXT"), "wb") as f:
            f.write(b"other")
        run("cp", "-n", os.path.join(self.src, "NOTES.TXT"), self.mnt, check=False)
        # A rename between names of one entry changes nothing, and loses nothing.
        os.rename(self.in_mount("notes.txt"), self.in_mount("NOTES.txt"))
        with open(self.in_mount("notes.txt"), "rb") as f:
            self.assertEqual(f.read(), b"one")
        self.unmount_cleanly(mount)
        # A device that tells case apart (names=case) keeps the names apart.
        mount = self.mount("?names=case")
        self.assert_fails(errno.ENOENT, os.stat, self.in_mount("NOTES.TXT"))
        with open(self.in_mount("NOTES.TXT"), "wb") as f:
            f.write(b"two")
        notes = sorted(name for name in os.listdir(self.mnt) if name.lower() == "notes.txt")
        self.assertEqual(notes, ["NOTES.TXT", "notes.txt"])
        self.unmount_cleanly(mount)
        for name, data in (("notes.txt", b"one"), ("NOTES.TXT", b"two")):
            with open(os.path.join(self.device, name), "rb") as f:
                self.assertEqual(f.read(), data)

    def test_local_names_the_device_would_read_otherwise_are_refused(self):
        mount = self.mount()
        os.mkdir(self.in_mount("sub"))
        self.assert_fails(errno.EINVAL, open, self.in_mount("sub", "..\\..\\x"), "wb")
        self.assert_fails(errno.EINVAL, os.mkdir, self.in_mount("sub", "a\\b"))
        self.assert_fails(errno.EINVAL, open, self.in_mount("sub", "bell\x07"), "wb")
        with open(self.in_mount("sub", "f.txt"), "wb") as f:
            f.write(b"f")
        self.assert_fails(errno.EINVAL, os.rename, self.in_mount("sub", "f.txt"), self.in_mount("sub", "..\\up.txt"))
        self.assertEqual(os.listdir(self.in_mount("sub")), ["f.txt"])
        said = self.unmount_cleanly(mount)
        self.assertIn('refused "..\\\\..\\\\x" in /sub: it holds "\\" and would be taken as a path', said)
        self.assertIn('refused "bell\\u0007" in /sub: it holds the control byte 0x07', said)
        self.assertIn('refused "..\\\\up.txt" in /sub', said)
        self.assertEqual(sorted(self.device_listing("/sub")), ["f.txt"])
        self.assertNotIn("up.txt", self.device_listing("/"))
        # Firmware without quoted names stores a blank as "_": "a b" and "a_b"
        # would be one file, whichever comes first.
        mount = self.mount("?unquoted=1")
        with open(self.in_mount("a b"), "wb") as f:
            f.write(b"blank")
        self.assertIn("a b", os.listdir(self.mnt))
        self.assert_fails(errno.EEXIST, open, self.in_mount("a_b"), "wb")
        with open(self.in_mount("c_d"), "wb") as f:
            f.write(b"underscore")
        self.assert_fails(errno.EEXIST, open, self.in_mount("c d"), "wb")
        self.assert_fails(errno.EEXIST, os.mkdir, self.in_mount("c d"))
        self.assert_fails(errno.EEXIST, os.rename, self.in_mount("c_d"), self.in_mount("c d"))
        said = self.unmount_cleanly(mount)
        self.assertIn('refused "a_b" in /: the device would store it as "a_b", as it stores "a b"', said)
        for name, data in (("a_b", b"blank"), ("c_d", b"underscore")):
            with open(os.path.join(self.device, name), "rb") as f:
                self.assertEqual(f.read(), data)

    # ---- another program on the device ----

    def test_files_closed_while_another_program_holds_the_device_reach_it_whole(self):
        mount = self.mount()
        first, second = os.urandom(70000), os.urandom(30000)
        writers = [open(self.in_mount("first.bin"), "wb"), open(self.in_mount("second.bin"), "wb")]
        # Longer than a close waits for the device (5 s).
        with subprocess.Popen([LOCK_HOLDER, "--device", "sim:" + self.device, "hold", "7500"],
                              stdout=subprocess.PIPE) as holder:
            self.assertEqual(holder.stdout.readline().strip(), b"locked")
            # Written once the holder runs: its start closed the inherited
            # descriptors, a flush of each.
            for writer, data in zip(writers, (first, second)):
                writer.write(data)
                writer.flush()
            # This close waits in vain and says so; the contents are kept ...
            self.assert_fails(errno.EBUSY, writers[0].close)
            # ... and this one waits until the holder lets go.
            writers[1].close()
        with open(os.path.join(self.device, "second.bin"), "rb") as f:
            self.assertEqual(f.read(), second)
        # The mount sends what it kept once the device is free, by itself.
        kept = os.path.join(self.device, "first.bin")
        deadline = time.monotonic() + 10
        while not (os.path.exists(kept) and os.path.getsize(kept) == len(first)) and time.monotonic() < deadline:
            time.sleep(0.1)
        with open(kept, "rb") as f:
            self.assertEqual(f.read(), first)
        said = self.unmount_cleanly(mount)
        self.assertIn("/first.bin: kept: another program holds the device; it is sent once the device is free", said)
        self.assertIn("/first.bin: sent", said)

    # ---- the device going away ----

    def test_device_that_goes_away_makes_every_call_fail_with_eio(self):
        mount = self.mount("?unplug=3000")
        with self.assertRaises(OSError) as caught:
            for i in range(100):
                with open(self.in_mount("file%d.bin" % i), "wb") as f:
                    f.write(os.urandom(30000))
        self.assertEqual(caught.exception.errno, errno.EIO)
        start = time.monotonic()
        self.assert_fails(errno.EIO, os.listdir, self.mnt)
        self.assert_fails(errno.EIO, os.stat, self.in_mount("README.TXT"))
        self.assert_fails(errno.EIO, open, self.in_mount("logs", "samples.bin"), "rb")
        self.assert_fails(errno.EIO, os.mkdir, self.in_mount("new"))
        self.assertLess(time.monotonic() - start, 2)
        said = self.unmount_cleanly(mount)
        self.assertIn("the device is gone: every call fails with EIO until it is unmounted", said)

    def test_background_mount(self):
        run(ZQK, "--device", "sim:" + self.device, "mount", "-b", self.mnt)
        self.assertTrue(os.path.ismount(self.mnt))
        self.assertIn("README.TXT", os.listdir(self.mnt))
        # Not a second time on the same folder, and not on files unless asked to hide them.
        again = run(ZQK, "--device", "sim:" + self.device, "mount", self.mnt, check=False)
        self.assertEqual((again.returncode, "is a mount point already" in again.stderr), (5, True), again.stderr)
        run("fusermount3", "-u", self.mnt)
        self.assertFalse(os.path.ismount(self.mnt))
        mine = os.path.join(self.mnt, "mine.txt")
        open(mine, "w").close()
        refused = run(ZQK, "--device", "sim:" + self.device, "mount", "-b", self.mnt, check=False)
        self.assertEqual((refused.returncode, "is not empty" in refused.stderr), (5, True), refused.stderr)
        run(ZQK, "--device", "sim:" + self.device, "mount", "-b", "-o", "nonempty", self.mnt)
        self.assertIn("README.TXT", os.listdir(self.mnt))
        run("fusermount3", "-u", self.mnt)
        os.remove(mine)
        # What it says goes on to standard error where that is a file.
        log = os.path.join(self.work, "mount.log")
        with open(log, "w") as f:
            subprocess.run([ZQK, "--device", "sim:" + self.device, "mount", "-b", self.mnt], stderr=f, check=True)
        self.assert_fails(errno.EINVAL, os.mkdir, self.in_mount("a\\b"))
        run("fusermount3", "-u", self.mnt)
        with open(log) as f:
            self.assertIn('refused "a\\\\b" in /: it holds "\\"', f.read())
        # Failures to mount are the starting program's.
        failed = run(ZQK, "--device", "sim:" + self.device + "?pace=x", "mount", "-b", self.mnt, check=False)
        self.assertEqual(failed.returncode, 2, failed.stderr)
        self.assertIn('unknown option "pace=x"', failed.stderr)
        self.assertFalse(os.path.ismount(self.mnt))


def can_mount():
    if not os.path.exists("/dev/fuse"):
        return "there is no /dev/fuse"
    if not shutil.which("fusermount3"):
        return "there is no fusermount3 (Debian package fuse3)"
    return None


if __name__ == "__main__":
    why = can_mount()
    if why:
        print("zqk mount tests skipped: %s" % why)
        sys.exit(SKIPPED)
    unittest.main(argv=sys.argv[:1] + ["-v"])
