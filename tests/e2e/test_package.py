"""Tests of tools/package.py: which imports it follows, and the archives it
writes (read back with qar).

The archive tests need the qar tool from SKIFF_QAR (ctest sets it; by hand:
SKIFF_QAR=build/bin/qar /usr/bin/python3.11 -m unittest -v test_package
from tests/e2e). The launcher test runs the shippable folder beside it
(build/dist for build/bin/qar; SKIFF_DIST_DIR names another).
"""

import importlib.util
import marshal
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest
import zipfile
import zipimport

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGER = os.path.join(HERE, os.pardir, os.pardir, "tools", "package.py")
QAR = os.environ.get("SKIFF_QAR", "")
DIST = os.environ.get("SKIFF_DIST_DIR") or os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(QAR or "."))), "dist")

spec = importlib.util.spec_from_file_location("package", PACKAGER)
package = importlib.util.module_from_spec(spec)
spec.loader.exec_module(package)


class ScanImportsTest(unittest.TestCase):
    """Imports are found at any depth, except under branches that the
    runtime (Python 3.11 on Linux) never takes."""

    CASES = [
        ("plain and from", """
            import a, b.c
            from d import e, f
            from . import rel
            from .g import h
            """, [("a", ()), ("b.c", ()), ("d", ("e", "f"))]),
        ("inside functions, classes and try", """
            def f():
                import lazy
            class C(object):
                def m(self):
                    from pkg import mod
            try:
                import first
            except ImportError:
                import second
            """, [("lazy", ()), ("pkg", ("mod",)), ("first", ()), ("second", ())]),
        ("version tests", """
            import sys
            if sys.version_info[0] >= 3:
                import builtins
            else:
                import __builtin__
            if sys.version_info < (3,):
                import cPickle
            if sys.version_info[:2] == (3, 11) and not sys.version_info[0] == 2:
                import three_eleven
            """, [("sys", ()), ("builtins", ()), ("three_eleven", ())]),
        ("names bound to version tests", """
            import sys
            _PY3 = sys.version_info[0] >= 3
            PY2 = not _PY3
            if _PY3:
                import _imp
            else:
                import imp
            if PY2:
                import urllib2
            def later():
                if _PY3:
                    import io
            """, [("sys", ()), ("_imp", ()), ("io", ())]),
        ("platform tests", """
            import sys, os
            if sys.platform == "win32":
                import nt
            elif os.name == "posix":
                from posix import stat
            if sys.platform.startswith("win"):
                import unknown_call_keeps_both
            """, [("sys", ()), ("os", ()), ("posix", ("stat",)),
                  ("unknown_call_keeps_both", ())]),
        ("unknown tests keep both sides", """
            if __name__ == "__main__":
                import main_side
            else:
                import other_side
            if SOMETHING:
                import maybe
            """, [("main_side", ()), ("other_side", ()), ("maybe", ())]),
    ]

    def test_cases(self):
        scratch = tempfile.mkdtemp(prefix="scan_imports.")
        self.addCleanup(shutil.rmtree, scratch)
        for label, source, expected in self.CASES:
            with self.subTest(label):
                path = os.path.join(scratch, "script.py")
                with open(path, "w") as f:
                    f.write(textwrap.dedent(source))
                self.assertEqual(sorted(package.scan_imports(path)), sorted(expected))

    def test_optional_only_where_every_import_is_guarded(self):
        scratch = tempfile.mkdtemp(prefix="scan_imports.")
        self.addCleanup(shutil.rmtree, scratch)
        path = os.path.join(scratch, "script.py")
        with open(path, "w") as f:
            f.write(textwrap.dedent("""
                try:
                    import maybe, both
                except ImportError:
                    import fallback
                try:
                    import caught_wide
                except (OSError, Exception):
                    pass
                try:
                    import not_caught
                except OSError:
                    pass
                import both
                """))
        optional = {}
        package.scan_imports(path, optional)
        self.assertEqual(optional, {"maybe": True, "caught_wide": True,
                                    "both": False, "fallback": False,
                                    "not_caught": False})

    def test_unreadable_script_is_an_error(self):
        scratch = tempfile.mkdtemp(prefix="scan_imports.")
        self.addCleanup(shutil.rmtree, scratch)
        path = os.path.join(scratch, "broken.py")
        with open(path, "w") as f:
            f.write("import ok\ndef broken(:\n")
        for bad in (path, os.path.join(scratch, "missing.py")):
            with self.assertRaises(package.PackageError):
                package.scan_imports(bad)


@unittest.skipUnless(os.path.isfile(QAR), "SKIFF_QAR does not name the qar tool")
class ArchivesTest(unittest.TestCase):
    """The archives of a small main script, read back with qar."""

    MAIN = "import json\nfrom pickle import dumps\n"

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="package_test.")
        self.addCleanup(shutil.rmtree, self.scratch)
        self.main = os.path.join(self.scratch, "main.py")
        with open(self.main, "w") as f:
            f.write(self.MAIN)

    def pack(self, name, *extra):
        out = os.path.join(self.scratch, name)
        proc = subprocess.run(
            [sys.executable, PACKAGER, "--qar", QAR, "--out-dir", out,
             "--work-dir", os.path.join(self.scratch, name + ".work"),
             "--main", self.main, "--quiet"] + list(extra),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        return out, proc

    def members(self, archive):
        listing = subprocess.run([QAR, "list", archive], check=True,
                                 stdout=subprocess.PIPE, timeout=60).stdout
        return [line.split("\t")[0] for line in listing.decode().splitlines()]

    def member(self, archive, name):
        return subprocess.run([QAR, "cat", archive, name], check=True,
                              stdout=subprocess.PIPE, timeout=60).stdout

    def test_contents_and_determinism(self):
        out, proc = self.pack("one", "--extra", "csv")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        modules = os.path.join(out, "modules.qar")
        names = self.members(modules)
        self.assertEqual(names, sorted(names))
        for expected in ("json.__init__", "json.decoder", "_json.so", "pickle",
                         "csv", "stringprep", "tav_init.zip"):
            self.assertIn(expected, names)
        # Built-in (sys, _pickle), frozen (os, codecs), aliases (os.path),
        # the zip's package and the script itself stay out.
        for absent in ("sys", "_pickle", "os", "codecs", "os.path", "posixpath",
                       "encodings.__init__", "encodings.utf_8", "main",
                       "__main__", "importlib._bootstrap"):
            self.assertNotIn(absent, names)
        self.assertEqual(self.members(os.path.join(out, "bin.qar")),
                         ["libpython3.11.so.1.0"])

        # Code carries the file name the runtime gives the module.
        for member, file_name in (("json.__init__", "skiffrelay/json/__init__"),
                                  ("json.decoder", "skiffrelay/json/decoder")):
            code = marshal.loads(self.member(modules, member))
            self.assertEqual(code.co_filename, file_name)

        # The zip serves the whole encodings package to zipimport.
        init_zip = os.path.join(self.scratch, "tav_init.zip")
        with open(init_zip, "wb") as f:
            f.write(self.member(modules, "tav_init.zip"))
        with zipfile.ZipFile(init_zip) as zf:
            entries = zf.namelist()
        self.assertIn("encodings/__init__.pyc", entries)
        self.assertIn("encodings/cp1252.pyc", entries)
        self.assertEqual(entries, sorted(entries))
        self.assertTrue(zipimport.zipimporter(init_zip).is_package("encodings"))
        importer = zipimport.zipimporter(init_zip + "/encodings/")
        ns = {}
        exec(importer.get_code("encodings.rot_13"), ns)
        self.assertEqual(ns["rot13"].__name__, "rot13")

        # A second build from the same inputs is the same, byte for byte.
        again, proc = self.pack("two", "--extra", "csv")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        for archive in ("bin.qar", "modules.qar"):
            with open(os.path.join(out, archive), "rb") as a, \
                    open(os.path.join(again, archive), "rb") as b:
                self.assertTrue(a.read() == b.read(), archive + " differs")

    def test_module_beside_the_main_script(self):
        # The application's own module is packed under the program's
        # file-name prefix, with what it imports inside a function, and
        # the depfile names it.
        with open(self.main, "w") as f:
            f.write("import helper\n")
        helper = os.path.join(self.scratch, "helper.py")
        with open(helper, "w") as f:
            f.write("def later():\n    import csv\n")
        depfile = os.path.join(self.scratch, "archives.d")
        out, proc = self.pack("app", "--depfile", depfile)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        modules = os.path.join(out, "modules.qar")
        names = self.members(modules)
        self.assertIn("helper", names)
        self.assertIn("csv", names)
        code = marshal.loads(self.member(modules, "helper"))
        self.assertEqual(code.co_filename, "skiffrelay/helper")
        with open(depfile) as f:
            self.assertIn(helper, f.read())

    def test_slim_package_init(self):
        # M2Crypto's own init imports every submodule; the shipped slim one
        # leaves out what the imports do not reach, and still loads the
        # rest on first use.
        if importlib.util.find_spec("M2Crypto") is None:
            self.skipTest("python3-m2crypto is not installed")
        init = os.path.join(os.path.dirname(
            importlib.util.find_spec("M2Crypto").origin), "__init__.py")
        with open(init, "rb") as f:
            if package.hashlib.sha256(f.read()).hexdigest() != \
                    package.SLIM_INITS["M2Crypto"]["sha256"]:
                self.skipTest("installed M2Crypto is not the one the slim "
                              "init was written for")
        with open(self.main, "w") as f:
            f.write("from M2Crypto import ftpslib\n")
        out, proc = self.pack("slim")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        names = self.members(os.path.join(out, "modules.qar"))
        for expected in ("M2Crypto.__init__", "M2Crypto.ftpslib",
                         "M2Crypto.SSL.Connection", "M2Crypto._m2crypto.so"):
            self.assertIn(expected, names)
        for absent in ("M2Crypto.httpslib", "M2Crypto.AuthCookie",
                       "http.cookies", "email.__init__", "distutils.__init__",
                       "xmlrpc.client"):
            self.assertNotIn(absent, names)
        code = marshal.loads(self.member(os.path.join(out, "modules.qar"),
                                         "M2Crypto.__init__"))
        self.assertEqual(code.co_filename, "skiffrelay/M2Crypto/__init__")
        self.assertIn("__getattr__", code.co_names)

    def test_optional_imports_left_out(self):
        # ftplib imports ssl only when present: left out, unless a script
        # names it itself.
        cases = [("import ftplib\n", False), ("import ftplib, ssl\n", True),
                 ("import ftplib\nfrom ssl import SSLContext\n", True)]
        for index, (main, shipped) in enumerate(cases):
            with self.subTest(main=main):
                with open(self.main, "w") as f:
                    f.write(main)
                out, proc = self.pack("left%d" % index)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                names = self.members(os.path.join(out, "modules.qar"))
                self.assertIn("ftplib", names)
                self.assertEqual("ssl" in names, shipped)
                self.assertEqual("_ssl.so" in names, shipped)
                # What is left out is listed for the importer.
                self.assertEqual("tav-absent.txt" in names, not shipped)
                if not shipped:
                    self.assertEqual(self.member(os.path.join(
                        out, "modules.qar"), "tav-absent.txt"), b"ssl\n")

    def test_bad_input_writes_nothing(self):
        with open(self.main, "w") as f:
            f.write("import json\ndef broken(:\n")
        cases = [("broken main", []),
                 ("missing runtime", ["--runtime-library",
                                      os.path.join(self.scratch, "nothing.so")])]
        for label, extra in cases:
            with self.subTest(label):
                if label == "missing runtime":
                    with open(self.main, "w") as f:
                        f.write(self.MAIN)
                out, proc = self.pack(label.replace(" ", "_"), *extra)
                self.assertEqual(proc.returncode, 1)
                self.assertTrue(proc.stderr.startswith(b"package.py: "), proc.stderr)
                self.assertNotIn(b"Traceback", proc.stderr)
                self.assertEqual(os.listdir(out) if os.path.isdir(out) else [], [])


class MissingPackageTest(unittest.TestCase):
    """A build interpreter without Debian's dist-packages (a bare venv)
    lacks M2Crypto: the configuration stops and names the package, rather
    than a build that packs archives without it."""

    def test_configure_names_the_missing_package(self):
        scratch = tempfile.mkdtemp(prefix="missing_package.")
        self.addCleanup(shutil.rmtree, scratch)
        venv = os.path.join(scratch, "venv")
        subprocess.run([sys.executable, "-m", "venv", "--without-pip", venv],
                       check=True, timeout=120)
        source = os.path.join(HERE, os.pardir, os.pardir)
        proc = subprocess.run(
            ["cmake", "-S", source, "-B", os.path.join(scratch, "build"),
             "-DSKIFF_BENCH=OFF",
             "-DSKIFF_PYTHON=" + os.path.join(venv, "bin", "python3.11")],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        self.assertNotEqual(proc.returncode, 0)
        error = b" ".join(proc.stderr.split())
        self.assertIn(b"cannot import M2Crypto", error)
        self.assertIn(b"python3-m2crypto", error)


TARGET = os.environ.get("SKIFF_TARGET_PYTHON", "")
GENERATOR = os.path.join(HERE, os.pardir, os.pardir, "tools", "gen_embedded.py")
FRAMEWORK = os.path.join(HERE, os.pardir, os.pardir, "embedded", "framework")


def target_major():
    if not TARGET:
        return None
    return int(subprocess.run(
        [TARGET, "-c", "import sys; print(sys.version_info[0])"],
        check=True, stdout=subprocess.PIPE, timeout=60).stdout)


@unittest.skipUnless(target_major() == 2,
                     "SKIFF_TARGET_PYTHON names no 2.7 runtime (the 2.7 "
                     "build's tests set it)")
class TargetRuntimeTest(unittest.TestCase):
    """The tools on 3.11 make what the 2.7 target needs: its runtime
    library, its bytecode (read back by 2.7 itself), the closure as 2.7
    loads it, and tav_init.zip as 2.7's Py_Initialize imports from it."""

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="target_test.")
        self.addCleanup(shutil.rmtree, self.scratch)

    def in_target(self, code, *args):
        return subprocess.run([TARGET, "-E", "-S", "-c", code] + list(args),
                              check=True, stdout=subprocess.PIPE,
                              timeout=60).stdout.decode().split()

    def test_archives_hold_the_targets_runtime_and_code(self):
        main = os.path.join(self.scratch, "main.py")
        with open(main, "w") as f:
            f.write("import json\nfrom M2Crypto import ftpslib\n")
        out = os.path.join(self.scratch, "out")
        subprocess.run(
            [sys.executable, PACKAGER, "--qar", QAR, "--out-dir", out,
             "--work-dir", os.path.join(self.scratch, "work"), "--main", main,
             "--target-python", TARGET, "--quiet"], check=True, timeout=300)
        listing = subprocess.run([QAR, "list", os.path.join(out, "bin.qar")],
                                 check=True, stdout=subprocess.PIPE,
                                 timeout=60).stdout.decode()
        self.assertEqual(listing.split("\t")[0], "libpython2.7.so.1.0")
        modules = os.path.join(out, "modules.qar")
        listing = subprocess.run([QAR, "list", modules], check=True,
                                 stdout=subprocess.PIPE, timeout=60).stdout
        names = [line.split("\t")[0] for line in listing.decode().splitlines()]
        # encodings.idna compiles a pattern with array on 2.7; socket's
        # optional _ssl stays out; codecs lives in the zip.
        for expected in ("array.so", "M2Crypto._m2crypto.so", "typing",
                         "M2Crypto.__init__", "json.decoder", "_json.so"):
            self.assertIn(expected, names)
        for absent in ("_ssl.so", "ssl", "codecs", "encodings.__init__"):
            self.assertNotIn(absent, names)
        for name in ("json.decoder", "M2Crypto.__init__", "tav_init.zip"):
            with open(os.path.join(self.scratch, name), "wb") as f:
                f.write(subprocess.run([QAR, "cat", modules, name], check=True,
                                       stdout=subprocess.PIPE,
                                       timeout=60).stdout)
        self.assertEqual(self.in_target(
            "import marshal, sys\n"
            "for p in sys.argv[1:]:\n"
            "    print(marshal.loads(open(p, 'rb').read()).co_filename)",
            *[os.path.join(self.scratch, n)
              for n in ("json.decoder", "M2Crypto.__init__")]),
            ["skiffrelay/json/decoder", "skiffrelay/M2Crypto/__init__"])
        # 2.7's zipimport takes the 8-byte headers; codecs beside encodings.
        self.assertEqual(self.in_target(
            "import sys, zipimport\n"
            "z = zipimport.zipimporter(sys.argv[1])\n"
            "print(z.load_module('codecs').__name__)\n"
            "print(z.load_module('encodings').__name__)\n"
            "import encodings.idna\n"
            "print(encodings.idna.__file__.startswith(sys.argv[1]))",
            os.path.join(self.scratch, "tav_init.zip")),
            ["codecs", "encodings", "True"])

    def test_embedded_table_is_the_targets_code(self):
        table = os.path.join(self.scratch, "table.cc")
        subprocess.run(
            [sys.executable, GENERATOR, "--output", table, "--framework-dir",
             FRAMEWORK, "--main", os.path.join(HERE, os.pardir, "probe",
                                               "probe_main.py"),
             "--target-python", TARGET], check=True, timeout=120)
        with open(table) as f:
            text = f.read()
        payloads = re.findall(r"static const uint8_t kPayload\d+\[\] = \{\n"
                              r"(.*?)\};", text, re.S)
        self.assertEqual(len(payloads), 9)
        files = []
        for index, payload in enumerate(payloads):
            files.append(os.path.join(self.scratch, "record%d" % index))
            with open(files[-1], "wb") as f:
                f.write(bytes(int(b, 16) for b in
                              re.findall(r"0x([0-9a-f]{2})", payload)))
        self.assertEqual(self.in_target(
            "import marshal, sys, zlib\n"
            "for p in sys.argv[1:]:\n"
            "    print(marshal.loads(zlib.decompress(open(p, 'rb').read()))"
            ".co_filename)", *files)[-2:], ["site", "__main__"])


@unittest.skipUnless(os.path.isfile(os.path.join(DIST, "skiffrelay")),
                     "no built skiffrelay beside the qar tool")
class LeftOutAtRunTimeTest(unittest.TestCase):
    """The real program with an ssl.py planted beside it: ftplib's optional
    import of ssl, left out of the archive, must neither run that file nor
    look for ssl anywhere."""

    def test_planted_ssl_neither_runs_nor_is_looked_for(self):
        scratch = tempfile.mkdtemp(prefix="left_out_test.")
        self.addCleanup(shutil.rmtree, scratch, True)
        app, tmp = os.path.join(scratch, "app"), os.path.join(scratch, "tmp")
        os.mkdir(app)
        os.mkdir(tmp)
        for name in ("skiffrelay", "bin.qar", "modules.qar"):
            shutil.copy2(os.path.join(DIST, name), app)
        marker = os.path.join(scratch, "ssl-ran")
        with open(os.path.join(app, "ssl.py"), "w") as f:
            f.write("open(%r, 'w').close()\n" % marker)
        trace = os.path.join(scratch, "trace")
        strace = shutil.which("strace")
        command = [os.path.join(app, "skiffrelay")]  # imports all, prints nothing
        if strace:
            command = [strace, "-f", "-qq", "-e", "trace=%file", "-o", trace] + command
        env = dict(os.environ, TMPDIR=tmp)
        proc = subprocess.run(command, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=120)
        self.assertEqual((proc.stdout, proc.stderr), (b"", b""))
        self.assertFalse(os.path.exists(marker), "the planted ssl.py ran")
        if not strace:
            self.skipTest("strace is not installed: the search itself is unchecked")
        with open(trace, errors="replace") as f:
            paths = re.findall(r'"([^"]*)"', f.read())
        # The program's own folder and work directory, where a search of
        # sys.path would look (libssl and /usr/lib/ssl are not ours).
        looked_for = [p for p in paths if p.startswith(scratch) and
                      re.search(r"/_?ssl([./]|$)", p)]
        self.assertEqual(looked_for, [])
        self.assertIn(os.path.join(app, "modules.qar"), paths)


if __name__ == "__main__":
    unittest.main()
