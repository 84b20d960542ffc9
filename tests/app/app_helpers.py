"""Running skiffrelay the way its callers do, for the end-to-end tests.

By default the tests run the main script unfrozen:
    /usr/bin/python3.11 embedded/app/skiffrelay.py ARGS...
with the current directory set to a fresh temporary "application directory"
(the launcher itself makes its own directory the current one before the
script runs).

With SKIFF_APP_CMD set to the path of the frozen launcher (for example
build/dist/skiffrelay; relative paths are taken from the source tree), the
launcher and every file beside it (the .qar archives) are copied into the
application directory and run from there, from whatever working directory
a test chooses.  The frozen launcher ends every run with exit status 1;
plain python ends the script's bare sys.exit() with status 0.
SKIFF_APP_PYTHON names another interpreter for the unfrozen runs (for
example a CPython 2.7 with M2Crypto).  SKIFF_APP_WRAPPER, a command split
at blanks, runs the frozen launcher through it: "sh cmake/wine-run.sh
win32" for the Windows build under wine (with WINEPREFIX set).
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..",
                                          ".."))
APP_DIR = os.path.join(SOURCE_DIR, "embedded", "app")
SCRIPT = os.path.join(APP_DIR, "skiffrelay.py")
PYTHON = os.environ.get("SKIFF_APP_PYTHON") or "/usr/bin/python3.11"
RUN_TIMEOUT = 120

sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "servers"))
import ftps_servers  # noqa: E402

ServerUnavailable = ftps_servers.ServerUnavailable


def launcher_path():
    """The frozen launcher under test, or "" when testing the script."""
    cmd = os.environ.get("SKIFF_APP_CMD", "")
    if cmd and not os.path.isabs(cmd):
        cmd = os.path.join(SOURCE_DIR, cmd)
    return cmd


FROZEN = bool(launcher_path())
WRAPPER = [os.path.join(SOURCE_DIR, part) if part.startswith("cmake/")
           else part for part in os.environ.get("SKIFF_APP_WRAPPER", "").split()]
# The launcher under test is the Windows build (run through wine).
WINDOWS = FROZEN and launcher_path().endswith(".exe")
# Status every run must end with (see the module text).
EXPECTED_STATUS = 1 if FROZEN else 0


def start_server(testcase_module_servers, kind, mode="normal", **options):
    """Start a server for a test module, or skip the module with the reason.

    options: those of ftps_servers.start_server (address, port, ca)."""
    try:
        server = ftps_servers.start_server(kind, mode=mode, **options)
    except ServerUnavailable as e:
        raise unittest.SkipTest("%s server unavailable: %s" % (kind, e))
    testcase_module_servers.append(server)
    return server


def clear_dir(path):
    for name in os.listdir(path):
        full = os.path.join(path, name)
        if os.path.isdir(full) and not os.path.islink(full):
            shutil.rmtree(full)
        else:
            os.unlink(full)


class AppTestCase(unittest.TestCase):
    """A fresh application directory per test and a checked way to run."""

    def setUp(self):
        self.appdir = tempfile.mkdtemp(prefix="skiff-app-")
        self.elsewhere = tempfile.mkdtemp(prefix="skiff-cwd-")
        # World-traversable, so the app may also run as an unprivileged user.
        os.chmod(self.appdir, 0o755)
        os.chmod(self.elsewhere, 0o755)
        self.secrets = []
        self.installed = set()
        self.inputs = set()
        if FROZEN:
            src = os.path.dirname(launcher_path())
            for name in os.listdir(src):
                full = os.path.join(src, name)
                if os.path.isfile(full) and not name.endswith(
                        (".log", ".dump", ".txt")):
                    shutil.copy2(full, self.appdir)
                    self.installed.add(name)
        self.addCleanup(shutil.rmtree, self.appdir, True)
        self.addCleanup(shutil.rmtree, self.elsewhere, True)

    def command(self):
        if FROZEN:
            return WRAPPER + [os.path.join(self.appdir,
                                           os.path.basename(launcher_path()))]
        return [PYTHON, SCRIPT]

    def run_app(self, args, cwd=None, as_nobody=False, env=None):
        """Run with args; check status, silence on stderr, no secret leaked.

        env: variables to set (a value None removes one).  Returns standard
        output (bytes).  Unfrozen runs always start in the application
        directory, as the launcher would arrange.
        """
        if not FROZEN or cwd is None:
            cwd = self.appdir
        extra = {}
        if as_nobody and WINDOWS:
            raise unittest.SkipTest("another user's run: wine runs a "
                                    "prefix for its owner only")
        if as_nobody:
            extra = {"user": 65534, "group": 65534, "extra_groups": []}
        environ = dict(os.environ)
        environ.pop("PYTHONPATH", None)
        for name, value in (env or {}).items():
            environ.pop(name, None)
            if value is not None:
                environ[name] = value
        done = subprocess.run(self.command() + list(args), cwd=cwd,
                              env=environ,
                              stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=RUN_TIMEOUT, **extra)
        self.assertEqual(done.stderr, b"", "stderr of %r" % (args[:1],))
        self.assertEqual(done.returncode, EXPECTED_STATUS,
                         "exit status; stdout %r" % done.stdout)
        for secret in self.secrets:
            self.assertNotIn(secret.encode(), done.stdout)
            self.assertNotIn(secret.encode(), done.stderr)
        self.assert_no_secret_in_files()
        if WINDOWS:
            # Standard output in text mode: every line ends in CR LF there.
            self.assertEqual(done.stdout.count(b"\n"),
                             done.stdout.count(b"\r\n"), "line ends")
            return done.stdout.replace(b"\r\n", b"\n")
        return done.stdout

    def assert_no_secret_in_files(self):
        """No file the run left in the app directory holds a secret."""
        for name in os.listdir(self.appdir):
            full = os.path.join(self.appdir, name)
            if name in self.installed or not os.path.isfile(full):
                continue
            with open(full, "rb") as f:
                data = f.read()
            for secret in self.secrets:
                self.assertNotIn(secret.encode(), data, "in file %s" % name)

    def put_file(self, relpath, data):
        """Create appdir/relpath holding data; returns its full path."""
        full = os.path.join(self.appdir, relpath)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
        self.inputs.add(relpath.split("/")[0])
        return full

    def new_files(self):
        """Files in the app directory that the test did not put there."""
        return sorted(n for n in os.listdir(self.appdir)
                      if n not in self.installed and n not in self.inputs)
