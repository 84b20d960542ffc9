"""Shared set-up of the reliability tests: the shipped launcher in a private
copy of its folder, a private temporary directory, bounded runs.

SKIFF_DIST_DIR names the built dist folder (skiffrelay, bin.qar,
modules.qar); ctest sets it.  Without it the tests skip with the reason.
Tests that need port 21, tmpfs mounts or another user skip when not root.
"""

import fnmatch
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..",
                                          ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "servers"))
import ftps_servers  # noqa: E402,F401 (the tests take it from here)

LAUNCHER = "skiffrelay"
DIST_FILES = ("skiffrelay", "bin.qar", "modules.qar")
# Files the error reporter writes beside the executable.
REPORT_FILES = ("skiffrelay.log", "skiffrelay.dump")
WORK_DIR_PATTERN = "TAV*-SKIFFRELAY"
RUN_TIMEOUT = 60.0
NOBODY = 65534
CLEANUP_OPTION = b"--remove_temp_files"


def dist_dir():
    return os.environ.get("SKIFF_DIST_DIR", "")


def require_root(testcase):
    if os.geteuid() != 0:
        testcase.skipTest("needs root (port 21, mounts, other users)")


def wait_until(predicate, timeout, step=0.05):
    """Poll predicate until it is true or timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


def work_dirs(tmpdir):
    """Names of the work directories in tmpdir."""
    try:
        names = os.listdir(tmpdir)
    except OSError:
        return set()
    return {n for n in names if fnmatch.fnmatchcase(n, WORK_DIR_PATTERN)
            and os.path.isdir(os.path.join(tmpdir, n))}


def work_dir_of(pid, letter="Z"):
    return "TAV%d%s-SKIFFRELAY" % (pid, letter)


def sweepers_in(tmpdir):
    """Process ids of cleanup children sweeping tmpdir (from /proc)."""
    prefix = os.path.join(tmpdir, "").encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if (len(argv) > 2 and argv[1] == CLEANUP_OPTION and
                argv[2].startswith(prefix)):
            found.append(int(entry))
    return found


def snapshot(path):
    """{relative name: (size, mtime_ns)} of everything below path."""
    result = {}
    for top, dirs, files in os.walk(path):
        for name in dirs + files:
            full = os.path.join(top, name)
            try:
                st = os.lstat(full)
            except FileNotFoundError:
                continue  # removed meanwhile (a sweep in a work directory)
            result[os.path.relpath(full, path)] = (st.st_size,
                                                   st.st_mtime_ns)
    return result


class ReliabilityCase(unittest.TestCase):
    """A private copy of the dist folder (self.app) and TMPDIR (self.tmp)."""

    def setUp(self):
        src = dist_dir()
        if not src or not all(os.path.isfile(os.path.join(src, n))
                              for n in DIST_FILES):
            self.skipTest("SKIFF_DIST_DIR does not name a built dist folder "
                          "(%r)" % src)
        self.base = tempfile.mkdtemp(prefix="skiff-rel-")
        self.addCleanup(self._remove_base)
        os.chmod(self.base, 0o755)
        self.app = os.path.join(self.base, "app")
        os.mkdir(self.app, 0o755)
        for name in DIST_FILES:
            shutil.copy2(os.path.join(src, name), self.app)
        self.tmp = os.path.join(self.base, "tmp")
        os.mkdir(self.tmp, 0o755)
        self.cwd = os.path.join(self.base, "cwd")
        os.mkdir(self.cwd, 0o755)

    def _remove_base(self):
        # Sweep children still running here would race the removal.
        wait_until(lambda: not sweepers_in(self.base), 15.0)
        shutil.rmtree(self.base, ignore_errors=True)

    def launcher(self):
        return os.path.join(self.app, LAUNCHER)

    def env(self, tmpdir=None):
        env = dict(os.environ)
        env.pop("PYTHONPATH", None)
        env.pop("PYTHONHOME", None)
        env["TMPDIR"] = self.tmp if tmpdir is None else tmpdir
        return env

    def start(self, args, tmpdir=None, prefix=(), env=None, **extra):
        """Start the launcher with args; returns the Popen."""
        if env is None:
            env = self.env(tmpdir)
        return subprocess.Popen(list(prefix) + [self.launcher()] + list(args),
                                cwd=self.cwd, env=env,
                                stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, **extra)

    def finish(self, proc, timeout=RUN_TIMEOUT):
        """Wait (bounded) for proc; a run over time fails the test."""
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate(timeout=10)
            self.fail("run did not end within %.0f s (hang); stderr %r" %
                      (timeout, err[-2000:]))
        return subprocess.CompletedProcess(proc.args, proc.returncode, out,
                                           err)

    def run_launcher(self, args, tmpdir=None, timeout=RUN_TIMEOUT,
                     prefix=(), **extra):
        return self.finish(self.start(args, tmpdir, prefix, **extra),
                           timeout)

    def assertNoSignal(self, done):
        self.assertGreaterEqual(
            done.returncode, 0, "ended by signal %s; stderr %r" % (
                signal.Signals(-done.returncode).name
                if done.returncode < 0 else "", done.stderr[-2000:]))

    def wait_swept(self, tmpdir, keep=(), timeout=30.0):
        """Wait until the sweep children are done and only keep remains."""
        self.assertTrue(wait_until(lambda: not sweepers_in(tmpdir), timeout),
                        "sweep children still running after %.0f s" %
                        timeout)
        ok = wait_until(lambda: work_dirs(tmpdir) <= set(keep), 5.0)
        self.assertTrue(ok, "work directories left: %s" %
                        sorted(work_dirs(tmpdir) - set(keep)))
