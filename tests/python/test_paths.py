"""Path rules of tav_ntpath and tav_posixpath, and tav_path on top."""

import os
import sys
import tempfile
import unittest

from tests.python import framework


def setUpModule():
    global ntpath, posixpath
    with framework.Sandbox():
        sys.modules["nt"] = framework.fake_nt()
        ntpath = framework.load("tav_ntpath")
        posixpath = framework.load("tav_posixpath")


class NtPathTest(unittest.TestCase):

    def check(self, function, table):
        for args, expected in table:
            with self.subTest(args=args):
                self.assertEqual(function(*args), expected)

    def test_split(self):
        self.check(ntpath.split, [
            (("c:\\dir\\file.txt",), ("c:\\dir", "file.txt")),
            (("c:\\",), ("c:\\", "")),
            (("\\\\\\x",), ("\\\\\\", "x")),
            (("c:/dir//file",), ("c:/dir", "file")),
            (("file",), ("", "file")),
            (("c:file",), ("c:", "file")),
            (("a\\b\\",), ("a\\b", "")),
            (("",), ("", "")),
        ])

    def test_join(self):
        self.check(ntpath.join, [
            (("c:", "x"), "c:x"),
            (("c:\\", "\\x"), "c:\\x"),
            (("c:\\a", "d:\\b"), "d:\\b"),
            (("c:\\a", "\\b"), "\\b"),
            (("a", ""), "a\\"),
            (("", "b"), "b"),
            (("a", "b", "c"), "a\\b\\c"),
            (("a\\", "b"), "a\\b"),
            (("a/", "/b"), "/b"),
            (("c:x", "\\y"), "\\y"),
            (("c:", "\\x"), "c:\\x"),
            (("c:\\", "d"), "c:\\d"),
            (("a",), "a"),
        ])

    def test_normpath(self):
        self.check(ntpath.normpath, [
            (("a/./b/../c",), "a\\c"),
            (("\\..\\a",), "\\a"),
            (("..\\a",), "..\\a"),
            (("",), "."),
            (("c:\\..\\x",), "c:\\x"),
            (("c:..\\x",), "c:..\\x"),
            (("c:\\\\a\\\\b",), "c:\\a\\b"),
            (("a\\..\\..\\b",), "..\\b"),
            (("..\\..\\a",), "..\\..\\a"),
            (("\\\\server\\share\\..\\x",), "\\\\server\\x"),
            (("\\\\.\\COM1/x",), "\\\\.\\COM1/x"),
            (("\\\\?\\c:\\a\\..",), "\\\\?\\c:\\a\\.."),
            (("a\\.",), "a"),
            (("c:",), "c:"),
        ])

    def test_splitdrive_and_isabs(self):
        self.check(ntpath.splitdrive, [
            (("c:\\x",), ("c:", "\\x")),
            (("1:x",), ("1:", "x")),
            (("?:",), ("?:", "")),
            (("\\\\server\\share",), ("", "\\\\server\\share")),
            (("",), ("", "")),
        ])
        self.check(ntpath.isabs, [
            (("c:\\x",), True), (("/x",), True), (("\\",), True),
            (("c:",), False), (("c:x",), False), (("",), False),
            (("x\\y",), False),
        ])

    def test_primitives_come_from_nt(self):
        self.assertIs(ntpath.getcwdu, ntpath.getcwd)
        self.assertEqual((ntpath.sep, ntpath.pathsep, ntpath.linesep),
                         ("\\", ";", "\r\n"))


class PosixPathTest(NtPathTest):

    def test_split(self):
        self.check(posixpath.split, [
            (("/dir/file.txt",), ("/dir", "file.txt")),
            (("/",), ("/", "")),
            (("///x",), ("///", "x")),
            (("a//b",), ("a", "b")),
            (("a/b/",), ("a/b", "")),
            (("file",), ("", "file")),
            (("a\\b",), ("", "a\\b")),
        ])

    def test_join(self):
        self.check(posixpath.join, [
            (("a", "b"), "a/b"),
            (("a/", "b"), "a/b"),
            (("a", "/b"), "/b"),
            (("", "b"), "b"),
            (("a", ""), "a/"),
            (("/", "a", "b"), "/a/b"),
        ])

    def test_normpath(self):
        self.check(posixpath.normpath, [
            (("a/./b/../c",), "a/c"),
            (("/../a",), "/a"),
            (("../a",), "../a"),
            (("",), "."),
            (("a/../..",), ".."),
            (("../..",), "../.."),
            (("../../a/..",), "../.."),
            (("//a//b",), "//a/b"),
            (("///a",), "/a"),
            (("a\\b/..",), "."),
            (("/.",), "/"),
        ])

    def test_splitdrive_and_isabs(self):
        self.assertEqual(posixpath.splitdrive("c:/x"), ("", "c:/x"))
        self.check(posixpath.isabs, [
            (("/x",), True), (("x",), False), (("",), False),
            (("\\x",), False),
        ])

    def test_primitives_come_from_nt(self):
        self.assertEqual(sorted(posixpath.__all__), sorted(ntpath.__all__))
        self.assertEqual((posixpath.sep, posixpath.pathsep, posixpath.linesep),
                         ("/", ":", "\n"))
        self.assertEqual(posixpath.getcwd(), os.getcwd())


class TavPathTest(unittest.TestCase):

    def setUp(self):
        self.sandbox = framework.Sandbox().__enter__()
        self.addCleanup(self.sandbox.__exit__, None, None, None)
        framework.load("tav_posixpath")
        self.path = framework.load("tav_path")
        self.temp = tempfile.TemporaryDirectory()
        self.addCleanup(self.temp.cleanup)
        self.dir = os.path.realpath(self.temp.name)

    def test_status_tests_and_resolve(self):
        path = self.path
        target = os.path.join(self.dir, "file")
        open(target, "w").close()
        os.symlink("file", os.path.join(self.dir, "link"))
        os.symlink("link", os.path.join(self.dir, "link2"))
        os.symlink("loop", os.path.join(self.dir, "loop"))
        link2 = os.path.join(self.dir, "link2")
        self.assertEqual(path.resolve(link2), target)
        self.assertEqual(path.resolve(os.path.join(self.dir, "loop")), "")
        self.assertEqual(path.resolve(target), target)
        cases = [  # name, islink, isfile, isdir, exists
            ("file", False, True, False, True),
            ("link2", True, True, False, True),
            ("loop", True, False, False, False),
            ("missing", False, False, False, False),
            ("", False, False, True, True),
            ("bad\0name", False, False, False, False),
        ]
        for name, link, regular, directory, present in cases:
            full = os.path.join(self.dir, name)
            with self.subTest(name=name):
                self.assertEqual(
                    (path.islink(full), path.isfile(full), path.isdir(full),
                     path.exists(full)),
                    (link, regular, directory, present))

    def test_abspath_dirname_basename(self):
        os.chdir(self.dir)
        self.assertEqual(self.path.abspath("a/../b"), self.dir + "/b")
        self.assertEqual(self.path.abspath("/x/./y"), "/x/y")
        self.assertEqual(self.path.dirname("/a/b/c"), "/a/b")
        self.assertEqual(self.path.basename("/a/b/c"), "c")
        self.assertEqual(self.path.normcase("/A/b"), "/A/b")

    def test_ensure_workdir(self):
        sys.executable = os.path.join(self.dir, "skiffrelay")
        self.path.ensure_workdir()
        self.assertEqual(os.getcwd(), self.dir)
        sys.executable = os.path.join(self.dir, "missing", "skiffrelay")
        self.assertRaises(OSError, self.path.ensure_workdir)

    def test_windows_selection(self):
        sys.builtin_module_names = sys.builtin_module_names + ("nt",)
        sys.modules["nt"] = framework.fake_nt()
        framework.load("tav_ntpath")
        path = framework.load("tav_path")
        self.assertEqual(path.sep, "\\")
        self.assertEqual(path.join("C:\\Dir", "x"), "C:\\Dir\\x")
        self.assertEqual(path.normcase("C:\\Dir\\X"), "c:\\dir\\x")
        self.assertEqual(path.resolve(self.dir), self.dir)

    def test_mode_tests(self):
        s = self.path._stat
        self.assertEqual([s.S_ISDIR(0o40755), s.S_ISREG(0o100644),
                          s.S_ISLNK(0o120777), s.S_ISDIR(0o120777),
                          s.S_ISREG(0o140000)],
                         [True, True, True, False, False])


if __name__ == "__main__":
    unittest.main()
