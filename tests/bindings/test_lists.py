#!/usr/bin/env python3
"""The library's lists of exports and statuses against include/zqkAPI.h, and
the bindings' tables generated from them (cmake/generate_bindings.py).

usage: test_lists.py [SOURCE_DIR]   (Python 3 standard library only)
"""
import os
import re
import shutil
import sys
import tempfile
import unittest

SOURCE = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", ".."))
sys.dont_write_bytecode = True  # nothing of the test in the source tree
sys.path.insert(0, os.path.join(SOURCE, "cmake"))
import generate_bindings as lists  # noqa: E402


class AnAlteredCopy:
    """The source's header and lists copied to a temporary folder, where a test
    may change them."""

    def __init__(self):
        self.top = tempfile.mkdtemp(prefix="zqk-lists-")
        for name in (lists.HEADER, lists.EXPORTS, lists.STATUSES):
            os.makedirs(os.path.join(self.top, os.path.dirname(name)), exist_ok=True)
            shutil.copy(os.path.join(SOURCE, name), os.path.join(self.top, name))

    def replace(self, name, old, new):
        path = os.path.join(self.top, name)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        assert old in text, old
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace(old, new, 1))

    def problems(self):
        try:
            lists.checked_lists(self.top)
        except lists.ListError as error:
            return str(error)
        return ""

    def remove(self):
        shutil.rmtree(self.top)


class TheListsAgreeWithTheHeader(unittest.TestCase):
    def test_every_export_and_status_agrees(self):
        exports, statuses = lists.checked_lists(SOURCE)
        self.assertEqual(len(exports), 74)
        self.assertEqual([e.ordinal for e in exports], list(range(1, 75)))
        self.assertEqual(statuses[0], lists.Status("OK", 0, "done"))

    def test_the_classic_frames_are_the_parameters_counted(self):
        exports = {e.name: e for e in lists.checked_lists(SOURCE)[0]}
        self.assertEqual((exports["zqkGetDirEntry"].ordinal, exports["zqkGetDirEntry"].words), (23, 6))
        self.assertEqual((exports["zqkOpen"].ordinal, exports["zqkOpen"].words), (32, 0))


class ADifferenceIsFound(unittest.TestCase):
    def setUp(self):
        self.copy = AnAlteredCopy()
        self.addCleanup(self.copy.remove)

    def test_a_parameter_type_changed_in_the_header(self):
        self.copy.replace(lists.HEADER, "zqkDevPoll(int32_t Device, int32_t Timeout)",
                          "zqkDevPoll(int32_t Device, int32_t *Timeout)")
        self.assertIn("zqkDevPoll differs", self.copy.problems())

    def test_a_parameter_renamed_in_the_list(self):
        self.copy.replace(lists.EXPORTS, "(const char *OldName, const char *NewName)",
                          "(const char *From, const char *NewName)")
        self.assertIn("zqkRename differs", self.copy.problems())

    def test_a_result_type_changed(self):
        self.copy.replace(lists.EXPORTS, "zqkSetPrompt                1 1  void", "zqkSetPrompt                1 1  int32_t")
        self.assertIn("zqkSetPrompt differs", self.copy.problems())

    def test_an_export_only_in_the_header(self):
        self.copy.replace(lists.HEADER, "ZQK_API int32_t ZQK_CALL zqkVersion(void);",
                          "ZQK_API int32_t ZQK_CALL zqkVersion(void);\nZQK_API int32_t ZQK_CALL zqkExtra(void);")
        self.assertIn("zqkExtra is declared in the header but not in the list", self.copy.problems())

    def test_a_parameter_count_that_is_not_the_prototype_s(self):
        self.copy.replace(lists.EXPORTS, "zqkPoll                    27 1", "zqkPoll                    27 2")
        self.assertIn("zqkPoll has 1 parameters, not 2", self.copy.problems())

    def test_an_ordinal_given_twice(self):
        self.copy.replace(lists.EXPORTS, "zqkVersion                 33", "zqkVersion                 32")
        self.assertIn("is zqkOpen's", self.copy.problems())

    def test_a_status_number_changed_in_the_header(self):
        self.copy.replace(lists.HEADER, "#define ZQK_STATUS_BUFFER 11", "#define ZQK_STATUS_BUFFER 12")
        self.assertIn("ZQK_STATUS_BUFFER is 12 in the header, 11 in the list", self.copy.problems())

    def test_a_status_only_in_the_list(self):
        with open(os.path.join(self.copy.top, lists.STATUSES), "a", encoding="utf-8") as f:
            f.write("NEW          12  something new\n")
        self.assertIn("ZQK_STATUS_NEW is defined in the list but not in the header", self.copy.problems())

    def test_a_status_meaning_changed(self):
        self.copy.replace(lists.STATUSES, "the device stayed silent", "the device said nothing")
        self.assertIn("ZQK_STATUS_TIMEOUT means", self.copy.problems())


class TheGeneratedTables(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.exports, cls.statuses = lists.checked_lists(SOURCE)

    def test_python_declares_every_export_and_status(self):
        namespace = {}
        exec(compile(lists.python_exports(self.exports), "_exports.py", "exec"), namespace)
        self.assertEqual([e[0] for e in namespace["EXPORTS"]], [e.name for e in self.exports])
        exec(compile(lists.python_statuses(self.statuses), "_statuses.py", "exec"), namespace)
        self.assertEqual({s.name: s.value for s in namespace["Status"]},
                         dict([lists.NO_LIBRARY[:2]] + [(s.name, s.number) for s in self.statuses]))

    def test_csharp_declares_every_export_with_its_parameters(self):
        text = lists.csharp_tables(self.exports, self.statuses)
        declared = dict(re.findall(r"public static extern \S+ (zqk\w+)\(([^)]*)\);", text))
        self.assertEqual(sorted(declared), sorted(e.name for e in self.exports))
        for e in self.exports:
            self.assertEqual(len([p for p in declared[e.name].split(",") if p.strip()]), e.words, e.name)
        self.assertIn("zqkGetDirEntry(int index, byte[] name, int size, out int sizeOut, out int attributesOut, "
                      "out int timeOut);", text)
        self.assertIn("        Buffer = 11,", text)

    def test_a_type_the_binding_cannot_take_is_an_error(self):
        odd = [self.exports[0]._replace(parameters=(lists.Parameter("double", "Value"),))]
        with self.assertRaises(lists.ListError):
            lists.csharp_tables(odd, self.statuses)


if __name__ == "__main__":
    unittest.main(verbosity=1)
