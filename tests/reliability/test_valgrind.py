"""The shipped launcher end to end under valgrind memcheck.

A real "send" to a local pyftpdlib FTPS server, and the launcher's own
failure paths (archive preparation failing half-way, a runtime library that
cannot be loaded, no usable tav_init.zip, imports of damaged or non-code
module data that fail and go to the error reporter):
no invalid access, no use of uninitialised memory, no leak.  The runtime's
own leaks are suppressed by tests/valgrind.supp.  Runs only with
SKIFF_RUN_VALGRIND=1 (ctest -L valgrind), like the probe's valgrind test.
"""

import os
import shutil
import time
import unittest

from rel_helpers import (ReliabilityCase, SOURCE_DIR, ftps_servers,
                         require_root)
from test_startup_faults import (CORE_ERROR, INIT_ZIP_ERROR, content_at,
                                 name_at)

VALGRIND_SUPP = os.path.join(SOURCE_DIR, "tests", "valgrind.supp")
VALGRIND_ERROR = 99
VALGRIND = ["valgrind", "--leak-check=full", "--keep-debuginfo=yes",
            "--errors-for-leak-kinds=definite,indirect,possible",
            "--suppressions=" + VALGRIND_SUPP, "--num-callers=40",
            "--error-exitcode=%d" % VALGRIND_ERROR]
TIMEOUT = 300.0


class ValgrindRunTest(ReliabilityCase):
    def setUp(self):
        if os.environ.get("SKIFF_RUN_VALGRIND") != "1":
            self.skipTest("set SKIFF_RUN_VALGRIND=1 (ctest -L valgrind)")
        if not shutil.which("valgrind"):
            self.skipTest("valgrind not installed")
        ReliabilityCase.setUp(self)

    def run_checked(self, args, status):
        done = self.run_launcher(args, timeout=TIMEOUT, prefix=VALGRIND)
        log = done.stderr.decode("utf-8", "replace")
        # Any memcheck error (invalid access, uninitialised value, leak)
        # turns the status into VALGRIND_ERROR.
        self.assertEqual(done.returncode, status, log[-6000:])
        self.assertTrue("definitely lost: 0 bytes" in log or
                        "no leaks are possible" in log, log[-6000:])
        for bad in ("Invalid read", "Invalid write", "Invalid free",
                    "uninitialised", "Mismatched free"):
            self.assertNotIn(bad, log)
        return done

    def test_send_end_to_end(self):
        require_root(self)
        try:
            server = ftps_servers.start_server("pyftpd")
        except ftps_servers.ServerUnavailable as e:
            self.skipTest("pyftpd server unavailable: %s" % e)
        self.addCleanup(server.stop)
        data = os.urandom(700000)
        path = os.path.join(self.base, "vg.xml")
        with open(path, "wb") as f:
            f.write(data)
        done = self.run_checked(["send", server.address, server.user,
                                 server.password, path], 1)
        self.assertEqual(done.stdout, b"ok\n")
        with open(os.path.join(server.root, "vg.xml"), "rb") as f:
            self.assertTrue(f.read() == data, "upload differs")

    def test_cleanup_sweep(self):
        # The cleanup mode over a temporary directory holding finished
        # runs' directories (one with a subdirectory that keeps it), an
        # old one without a lock file, and a file with a matching name.
        def make(name, files, subdir=False, age=0):
            path = os.path.join(self.tmp, name)
            os.mkdir(path, 0o700)
            for f in files:
                with open(os.path.join(path, f), "wb") as out:
                    out.write(b"x" * 100)
            if subdir:
                os.mkdir(os.path.join(path, "sub"))
            if age:
                old = time.time() - age
                os.utime(path, (old, old))
            return path

        make("TAV101Z-SKIFFRELAY", ["__TAV_LOCK__", "a.so", "b"])
        make("TAV102Y-SKIFFRELAY", ["__TAV_LOCK__", "c"], subdir=True)
        make("TAV103Z-SKIFFRELAY", ["d"], age=3600)
        with open(os.path.join(self.tmp, "TAV104Z-SKIFFRELAY"), "wb"):
            pass
        done = self.run_checked(["--remove_temp_files",
                                 os.path.join(self.tmp, "TAV1Z-SKIFFRELAY")],
                                0)
        self.assertEqual(done.stdout, b"")
        self.assertEqual(sorted(os.listdir(self.tmp)),
                         ["TAV102Y-SKIFFRELAY", "TAV104Z-SKIFFRELAY"])
        self.assertEqual(os.listdir(os.path.join(self.tmp,
                                                 "TAV102Y-SKIFFRELAY")),
                         ["sub"])

    def damage(self, archive, mutate):
        path = os.path.join(self.app, archive)
        with open(path, "rb") as f:
            data = bytearray(f.read())
        data = mutate(data)
        with open(path, "wb") as f:
            f.write(data)

    def test_failure_paths(self):
        def truncate(data):
            return data[:len(data) // 2]

        def flip_at(position):
            def mutate(data):
                data[position(data)] ^= 0x01
                return data
            return mutate

        def int_as_ftplib(data):
            start = content_at("ftplib")(data)
            data[start:start + 5] = b"\xe9*\x00\x00\x00"  # marshalled 42
            return data

        lib = "libpython3.11.so.1.0"
        cases = [
            ("modules.qar", truncate, 1, CORE_ERROR),
            ("bin.qar", flip_at(content_at(lib)), 2, b""),
            ("modules.qar", flip_at(content_at("ftplib")), 1, None),
            ("modules.qar", int_as_ftplib, 1, None),
            ("modules.qar", flip_at(name_at("tav_init.zip", 0)), 1,
             INIT_ZIP_ERROR),
        ]
        pristine = {}
        for name in ("bin.qar", "modules.qar"):
            with open(os.path.join(self.app, name), "rb") as f:
                pristine[name] = f.read()
        for archive, mutate, status, error in cases:
            with self.subTest(archive=archive, status=status):
                for name, data in pristine.items():
                    with open(os.path.join(self.app, name), "wb") as f:
                        f.write(data)
                self.damage(archive, mutate)
                done = self.run_checked([], status)
                self.assertEqual(done.stdout, b"")
                if error:
                    self.assertIn(error, done.stderr)
                elif error is None:
                    self.assertIn(b"ImportError", done.stderr)


if __name__ == "__main__":
    unittest.main()
