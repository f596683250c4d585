#!/usr/bin/env python3
"""Checks of what an install and the packages hold, for run-install-tests.

usage:
  check_install.py files EXPECTED SECTION VERSION LIBDIR tree DIR
  check_install.py files EXPECTED SECTION VERSION LIBDIR deb PACKAGE
  check_install.py files EXPECTED SECTION VERSION LIBDIR zip ZIP
      The files below an installed prefix, below /usr of a Debian package
      (dpkg-deb -c; everything owned by root) or below a zip's top folder
      (its name without .zip) against the section SECTION of EXPECTED, where
      VERSION and LIBDIR stand for those given, and a line with * for one
      file or more.
  check_install.py udev RULES VENDOR PRODUCT
      The rule file (numbered below 73, so that uaccess is applied after it)
      gives the device's hidraw node and its usbfs node, matched by VENDOR and
      PRODUCT as lower-case hex, to the user at the seat and to plugdev.
"""
import fnmatch
import os
import re
import stat
import subprocess
import sys
import zipfile


def expected_files(path, section, version, libdir):
    lines, current = [], None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if line.startswith("["):
                current = line.strip("[]")
            elif current == section:
                lines.append(line.replace("VERSION", version).replace("LIBDIR", libdir))
    return set(lines)


def tree_files(top):
    found = set()
    for folder, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(folder, name)
            mode = os.lstat(path).st_mode
            entry = "%s %s" % (stat.filemode(mode), os.path.relpath(path, top))
            if stat.S_ISLNK(mode):
                found.add(entry + " -> " + os.readlink(path))
            elif not stat.S_ISDIR(mode):
                found.add(entry)
    return found, []


def deb_files(package):
    listing = subprocess.run(["dpkg-deb", "-c", package], check=True, capture_output=True, text=True).stdout
    found, problems = set(), []
    for line in listing.splitlines():
        m = re.match(r"^(\S+) (\S+)\s+\d+ \S+ \S+ (.+)$", line)
        if not m:
            problems.append("unreadable line: " + line)
            continue
        mode, owner, path = m.groups()
        if owner != "root/root":
            problems.append("%s belongs to %s" % (path, owner))
        if not path.startswith("./usr/"):
            problems.append("%s is outside /usr" % path)
        elif not mode.startswith("d"):
            found.add("%s %s" % (mode, path[len("./usr/"):]))
    return found, problems


def zip_files(archive):
    top = os.path.basename(archive)[: -len(".zip")] + "/"
    found, problems = set(), []
    with zipfile.ZipFile(archive) as z:
        for name in z.namelist():
            if not name.startswith(top):
                problems.append("%s is outside %s" % (name, top))
            elif not name.endswith("/"):
                found.add(name[len(top):])
    return found, problems


def check_files(expected_path, section, version, libdir, kind, where):
    expected = expected_files(expected_path, section, version, libdir)
    # A line with * stands for one file or more (the bindings' modules).
    patterns = {e for e in expected if "*" in e}
    expected -= patterns
    found, problems = {"tree": tree_files, "deb": deb_files, "zip": zip_files}[kind](where)
    problems += ["missing: " + e for e in sorted(expected - found)]
    problems += ["missing: " + p for p in sorted(patterns) if not fnmatch.filter(found, p)]
    problems += ["not expected: " + f for f in sorted(found - expected)
                 if not any(fnmatch.fnmatchcase(f, p) for p in patterns)]
    return problems


# key{attribute} operator "value", separated by commas
TOKEN = re.compile(r'\s*([A-Z]+)(?:\{([^}]+)\})?\s*(==|!=|\+=|:=|=)\s*"([^"]*)"\s*(?:,|$)')
MATCH_KEYS = {"ACTION", "SUBSYSTEM", "KERNEL", "ATTR", "ATTRS", "ENV"}
ASSIGN_KEYS = {"TAG", "GROUP", "MODE"}


def parse_rule(line):
    tokens, position = [], 0
    while position < len(line):
        m = TOKEN.match(line, position)
        if not m or m.end() == position:
            raise ValueError("cannot read %r" % line[position:])
        key, attribute, operator, value = m.groups()[:4]
        is_match = operator in ("==", "!=")
        if key not in (MATCH_KEYS if is_match else ASSIGN_KEYS):
            raise ValueError("%s %s is not a udev %s" % (key, operator, "match" if is_match else "assignment"))
        tokens.append((key + ("{%s}" % attribute if attribute else ""), operator, value))
        position = m.end()
    return set(tokens)


def check_udev(rules_path, vendor, product):
    problems = []
    numbered = re.match(r"^(\d\d)-.*\.rules$", os.path.basename(rules_path))
    if not numbered or int(numbered.group(1)) >= 73:
        problems.append("%s is not numbered below 73" % os.path.basename(rules_path))
    rules = []
    with open(rules_path) as f:
        for line_number, line in enumerate(f, 1):
            line = line.strip()
            if line and not line.startswith("#"):
                try:
                    rules.append(parse_rule(line))
                except ValueError as error:
                    problems.append("line %d: %s" % (line_number, error))
    access = {("TAG", "+=", "uaccess"), ("GROUP", "=", "plugdev"), ("MODE", "=", "0660")}
    nodes = {
        "hidraw": {("SUBSYSTEM", "==", "hidraw"), ("ATTRS{idVendor}", "==", vendor),
                   ("ATTRS{idProduct}", "==", product)},
        "usbfs": {("SUBSYSTEM", "==", "usb"), ("ENV{DEVTYPE}", "==", "usb_device"),
                  ("ATTR{idVendor}", "==", vendor), ("ATTR{idProduct}", "==", product)},
    }
    for node, matches in nodes.items():
        if not any(matches | access <= rule for rule in rules):
            problems.append("no rule gives the %s node (%s) to uaccess and plugdev" %
                            (node, ", ".join("%s%s\"%s\"" % m for m in sorted(matches))))
    return problems


def main():
    args = sys.argv[1:]
    if len(args) == 7 and args[0] == "files":
        problems, what = check_files(*args[1:]), args[6]
    elif len(args) == 4 and args[0] == "udev":
        problems, what = check_udev(*args[1:]), args[1]
    else:
        print(__doc__)
        return 2
    for problem in problems:
        print("FAIL: %s: %s" % (what, problem))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
