"""The release archive: `cmake --build BUILD --target package` makes
skiffrelay-<version>-linux-x86_64.tar.gz (a build for another runtime than
3.11 adds its SKIFF_RELEASE_RUNTIME, "-py27"), one folder holding the
program, its two archives and the usage text, and the unpacked folder runs.

Needs SKIFF_BUILD_DIR and SKIFF_VERSION (ctest sets them; by hand:
SKIFF_BUILD_DIR=build SKIFF_VERSION=1.0.0 /usr/bin/python3.11 -m unittest
-v test_release from tests/e2e).
"""

import os
import subprocess
import tarfile
import tempfile
import unittest

BUILD_DIR = os.environ.get("SKIFF_BUILD_DIR", "")
VERSION = os.environ.get("SKIFF_VERSION", "")
RUNTIME = os.environ.get("SKIFF_RELEASE_RUNTIME", "")


@unittest.skipUnless(BUILD_DIR and VERSION,
                     "SKIFF_BUILD_DIR and SKIFF_VERSION not set")
class ReleaseArchiveTest(unittest.TestCase):

    def test_package_holds_the_folder_and_runs_unpacked(self):
        result = subprocess.run(
            ["cmake", "--build", BUILD_DIR, "--target", "package"],
            capture_output=True, text=True, timeout=600)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        folder = "skiffrelay-%s-linux-x86_64%s" % (VERSION, RUNTIME)
        path = os.path.join(BUILD_DIR, folder + ".tar.gz")
        with tarfile.open(path) as tar:
            members = {m.name: m for m in tar.getmembers()}
            self.assertEqual(
                sorted(name for name, m in members.items() if m.isfile()),
                [folder + "/" + name for name in
                 ("USAGE.txt", "bin.qar", "modules.qar", "skiffrelay")])
            self.assertTrue(members[folder + "/skiffrelay"].mode & 0o100)
            usage = tar.extractfile(folder + "/USAGE.txt").read().decode()
            self.assertIn("skiffrelay send HOST USER PASSWORD FILE", usage)
            # The run's cleanup child may still sweep its work directory
            # there while the folder goes.
            with tempfile.TemporaryDirectory(
                    ignore_cleanup_errors=True) as temp:
                tar.extractall(temp)
                # No arguments: the run starts from the unpacked archives
                # (missing or damaged ones print "# Error: ..."), prints
                # nothing and ends with status 1 like every run.
                run = subprocess.run(
                    [os.path.join(temp, folder, "skiffrelay")],
                    capture_output=True, timeout=60,
                    env=dict(os.environ, TMPDIR=temp))
                self.assertEqual((run.returncode, run.stdout, run.stderr),
                                 (1, b"", b""))


if __name__ == "__main__":
    unittest.main()
