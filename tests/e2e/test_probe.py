"""End-to-end runs of the probe program (tests/probe/probe_main.py built as a
frozen program) through the real launcher, archives and importers.

The programs come from SKIFF_PROBE_DIR (ctest sets it; by hand:
SKIFF_PROBE_DIR=build/probe /usr/bin/python3.11 -m unittest -v test_probe
from tests/e2e). Each test class copies the folder into a temporary one, so
log and dump files land there, and points TMPDIR (where the work
directories go) into it as well.

ValgrindTest runs only with SKIFF_RUN_VALGRIND=1 (ctest -L valgrind).
"""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

PROBE_DIR = os.environ.get("SKIFF_PROBE_DIR", "")
PATH_MODULE = os.environ.get("SKIFF_PATH_MODULE", "tav_posixpath")
VALGRIND_SUPP = os.environ.get(
    "SKIFF_VALGRIND_SUPP",
    os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                 "valgrind.supp"))
PROGRAMS = ("probe", "probe_broken_service", "probe_broken_path")
RUN_TIMEOUT = 60
# Places no module of a run may come from: the system's Python.
SYSTEM_PYTHON_DIRS = ("/usr/lib/python3", "/usr/local/lib/python3")
HIDDEN_DIRS = ("/usr/lib/python3.11", "/usr/lib/python3/dist-packages")


def setUpModule():
    if not os.path.isfile(os.path.join(PROBE_DIR, "probe")):
        raise unittest.SkipTest("SKIFF_PROBE_DIR does not hold the probe "
                                "program (build the 'probe' target)")


class ProbeFolder(object):
    """A private copy of the probe folder with its own TMPDIR."""

    def __init__(self):
        # The real path: the launcher reports its own path resolved.
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="skiff_e2e."))
        self.dir = os.path.join(self.root, "dist")
        self.tmp = os.path.join(self.root, "tmp")
        os.mkdir(self.dir)
        os.mkdir(self.tmp)
        for name in PROGRAMS + ("bin.qar", "modules.qar"):
            source = os.path.join(PROBE_DIR, name)
            if os.path.exists(source):
                shutil.copy2(source, self.dir)
        self.exe = os.path.join(self.dir, "probe")

    def env(self, **extra):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
               "TMPDIR": self.tmp, "LC_ALL": "C.UTF-8"}
        env.update(extra)
        return env

    def run(self, args, program="probe", env=None, prefix=(), timeout=RUN_TIMEOUT):
        exe = os.path.join(self.dir, program)
        return subprocess.run(list(prefix) + [exe] + list(args),
                              env=env if env is not None else self.env(),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout,
                              cwd=self.root)

    def remove(self):
        # A cleanup child of the last run may still be sweeping TMPDIR.
        shutil.rmtree(self.root, ignore_errors=True)


def parse_report(test, proc):
    test.assertEqual(proc.returncode, 0, proc.stderr.decode("utf-8", "replace"))
    lines = proc.stdout.decode("utf-8").splitlines()
    test.assertEqual(len(lines), 1, proc.stdout)
    return json.loads(lines[0])


def module_problems(report, work_dir):
    """Modules that did not come from the archives, the work directory, the
    runtime's built-in or frozen modules or the launcher's native module."""
    problems = []
    for name, where in sorted(report["modules"].items()):
        file_name, origin = where["file"], where["origin"]
        for place in (file_name, origin):
            if place and place.startswith(SYSTEM_PYTHON_DIRS):
                problems.append("%s from the system: %s" % (name, place))
        if origin in ("built-in", "frozen"):
            continue
        if file_name and file_name.startswith("skiffrelay/"):
            continue  # served from modules.qar
        if origin and origin.startswith(work_dir + "/"):
            continue  # tav_init.zip or an extension module
        if name == "_tav_import" and file_name is None:
            continue
        if file_name is None and origin is None and "." in name:
            continue  # made by its package at run time (six.moves)
        problems.append("%s: file %r origin %r" % (name, file_name, origin))
    return problems


class RuntimeLayoutTest(unittest.TestCase):
    """What a normal run sees: paths, argv, _tav_import, imports, origins."""

    @classmethod
    def setUpClass(cls):
        cls.folder = ProbeFolder()

    @classmethod
    def tearDownClass(cls):
        cls.folder.remove()

    def check_report(self, report, args):
        folder = self.folder
        self.assertEqual(len(report["path"]), 2, report["path"])
        exe_dir, work_dir = report["path"]
        self.assertEqual(exe_dir, folder.dir)
        self.assertEqual(os.path.dirname(work_dir), folder.tmp)
        self.assertEqual(report["argv_hex"],
                         [os.fsencode(folder.exe).hex()] +
                         [os.fsencode(a).hex() if isinstance(a, str) else a.hex()
                          for a in args])
        self.assertIs(report["frozen"], True)
        self.assertEqual(report["name"], "__main__")
        self.assertEqual(report["cwd"], folder.dir)

        tav = report["tav_import"]
        modules_qar = os.path.join(folder.dir, "modules.qar")
        expected = {
            "SEARCH_ARCHIVES_FIRST": 1, "MODULE_TYPE_CORE": 1,
            "MODULE_TYPE_APP": 2, "MODULE_TYPE_EXTENSION": 4,
            "C_EXTENSION_FILETYPE": ".so", "CORE_MODULE_PATH": modules_qar,
            "APP_MODULE_PATH": modules_qar, "EXTENSION_PATH": work_dir,
            "CORE_MODULES_ARCHIVED": 1, "APP_MODULES_ARCHIVED": 1,
            "EXTENSIONS_ARCHIVED": 1, "createModule": "<callable>",
            "execModule": "<callable>", "hasModule": "<callable>",
            "isPackage": "<callable>"}
        self.assertEqual(tav, expected)
        self.assertEqual(report["queries"], {
            "hasModule(json)": 1, "hasModule(json.decoder)": 1,
            "hasModule(no_such_module)": 0, "isPackage(json)": 1,
            "isPackage(json.decoder)": 0})

        self.assertEqual(report["imports"], {
            "os": "built-in/frozen", "zlib": "built-in/frozen",
            "json": "skiffrelay/json/__init__",
            "json.decoder": "skiffrelay/json/decoder",
            "pickle": "skiffrelay/pickle", "ssl": "skiffrelay/ssl"})
        self.assertEqual(report["checks"], dict.fromkeys(
            ("json", "pickle", "zlib", "ssl", "idna"), True))
        self.assertEqual(module_problems(report, work_dir), [])
        # The runtime's start-up codecs come from the zip in the work dir.
        self.assertTrue(report["modules"]["encodings"]["file"].startswith(
            os.path.join(work_dir, "tav_init.zip") + "/"))

    def test_report_in_each_locale(self):
        # Arguments reach sys.argv as they were given, undecodable bytes
        # included, whatever the locale's encoding.
        args = ["report", "a b", "", "--opt=1", "\u00e9t\u00e9", b"\xff\xfe-raw",
                "--multiprocessing-forked"]
        for locale in ("C.UTF-8", "C", "POSIX"):
            with self.subTest(locale=locale):
                proc = self.folder.run(args, env=self.folder.env(LC_ALL=locale))
                self.assertEqual(proc.stderr, b"")
                self.check_report(parse_report(self, proc), args)

    def test_only_program_name(self):
        # sys.argv[0] is the executable's full path however it was
        # started: by that path, by a name relative to the current
        # directory, or by a bare name found through PATH.
        folder = self.folder
        path = folder.dir + os.pathsep + folder.env()["PATH"]
        for program, cwd, env in ((folder.exe, folder.root, folder.env()),
                                  ("./probe", folder.dir, folder.env()),
                                  ("probe", folder.root,
                                   folder.env(PATH=path))):
            with self.subTest(program=program):
                proc = subprocess.run([program], env=env, cwd=cwd,
                                      stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE,
                                      timeout=RUN_TIMEOUT)
                report = parse_report(self, proc)
                self.assertEqual(report["argv_hex"],
                                 [os.fsencode(folder.exe).hex()])

    def test_hostile_environment_changes_nothing(self):
        marker = os.path.join(self.folder.root, "startup-ran")
        startup = os.path.join(self.folder.root, "startup.py")
        with open(startup, "w") as f:
            f.write("open(%r, 'w').close()\n" % marker)
        system_path = ":".join(("/usr/lib/python3.11",
                                "/usr/lib/python3/dist-packages"))
        hostile = {
            "PYTHONPATH": system_path,
            "PYTHONHOME": "/nonexistent",
            "PYTHONWARNINGS": "error",
            "PYTHONIOENCODING": "nonexistent",
            "PYTHONSTARTUP": startup,
            "PYTHONVERBOSE": "1",
            "PYTHONOPTIMIZE": "2",
            "PYTHONINSPECT": "1",
            "PYTHONUTF8": "0",
            "PYTHONDEVMODE": "1",
            "PYTHONSAFEPATH": "1",
            "PYTHONNOUSERSITE": "",
            "PYTHONPLATLIBDIR": "nonexistent",
        }
        baseline = parse_report(self, self.folder.run(["report"]))

        def normalised(report):
            work_dir = report["path"][1]
            text = json.dumps(report, sort_keys=True)
            return json.loads(text.replace(work_dir, "<work>"))

        cases = [{k: v} for k, v in sorted(hostile.items())] + [hostile]
        for extra in cases:
            with self.subTest(env=sorted(extra)):
                proc = self.folder.run(["report"], env=self.folder.env(**extra))
                self.assertEqual(proc.stderr, b"")
                self.assertEqual(normalised(parse_report(self, proc)),
                                 normalised(baseline))
                self.assertFalse(os.path.exists(marker))


class ExitStatusTest(unittest.TestCase):
    """Exit statuses and the error report's three outputs."""

    def setUp(self):
        self.folder = ProbeFolder()
        self.log = self.folder.exe + ".log"
        self.dump = self.folder.exe + ".dump"

    def tearDown(self):
        self.folder.remove()

    def test_exit_requests_and_interrupt_are_not_reported(self):
        for mode, status in (("report", 0), ("exit", 1), ("exit0", 1),
                             ("exit5", 1), ("interrupt", 1)):
            with self.subTest(mode=mode):
                proc = self.folder.run([mode])
                self.assertEqual(proc.returncode, status, proc.stderr)
                self.assertEqual(proc.stderr, b"")
                self.assertFalse(os.path.exists(self.log))
                self.assertFalse(os.path.exists(self.dump))

    def test_uncaught_exception_is_reported_three_ways(self):
        for run in (1, 2):
            proc = self.folder.run(["raise"])
            self.assertEqual(proc.returncode, 1)
            self.assertEqual(proc.stdout, b"")
            stderr = proc.stderr.decode("utf-8", "replace")
            self.assertIn("ProbeFailure", stderr)
            self.assertIn("probe failure on purpose", stderr)
            with open(self.log, encoding="utf-8", errors="replace") as f:
                log = f.read()
            # The log accumulates one report per run.
            self.assertEqual(log.count("probe failure on purpose"), run, log)
            with open(self.dump, encoding="utf-8", errors="replace") as f:
                dump = f.read()
            # The dump holds only the last report, with the failing frame's
            # locals.
            self.assertEqual(dump.count("Memory dump"), 1, dump)
            self.assertIn("probe local value", dump)

    def test_child_mode(self):
        for args in (["--multiprocessing-fork"],
                     ["report", "--multiprocessing-fork", "x"]):
            with self.subTest(args=args):
                proc = self.folder.run(args)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(proc.stderr, b"")
                lines = proc.stdout.decode("utf-8").splitlines()
                # Only the exit function printed: the __main__ guard kept the
                # report from running.
                self.assertEqual(len(lines), 1, proc.stdout)
                out = json.loads(lines[0])
                self.assertEqual(out["fork_name"], "__fork__")
                self.assertIs(out["main_is_fork"], True)
                self.assertIs(out["multiprocessing_loaded"], True)
                self.assertEqual(out["argv_hex"][1:],
                                 [os.fsencode(a).hex() for a in args])


class BrokenRecordTest(unittest.TestCase):
    """A framework record that cannot load stops the run with its line."""

    def test_failure_line_names_the_module(self):
        folder = ProbeFolder()
        self.addCleanup(folder.remove)
        for program, module in (("probe_broken_service", "tav_service"),
                                ("probe_broken_path", PATH_MODULE)):
            with self.subTest(program=program):
                if not os.path.exists(os.path.join(folder.dir, program)):
                    self.skipTest("%s not built" % program)
                proc = folder.run(["report"], program=program)
                self.assertEqual(proc.stderr,
                                 b"failed loading embedded module '%s'\n" %
                                 module.encode())
                self.assertEqual(proc.stdout, b"")  # the main script never ran
                self.assertEqual(proc.returncode, 0)


class HiddenSystemPythonTest(unittest.TestCase):
    """With the system's Python directories covered by empty ones, the probe
    still runs: it reads nothing of an installed Python."""

    def test_runs_with_system_python_hidden(self):
        if os.geteuid() != 0:
            self.skipTest("needs root for a private mount namespace")
        if not shutil.which("unshare"):
            self.skipTest("unshare (util-linux) not installed")
        folder = ProbeFolder()
        self.addCleanup(folder.remove)
        empty = os.path.join(folder.root, "empty")
        os.mkdir(empty)
        script = " && ".join(
            ["mount --bind %s %s" % (empty, d) for d in HIDDEN_DIRS] +
            ['test -z "$(ls -A %s)"' % d for d in HIDDEN_DIRS] +
            ['exec "$0" "$@"'])
        probe = subprocess.run(["unshare", "-m", "true"], timeout=RUN_TIMEOUT,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if probe.returncode != 0:
            self.skipTest("unshare -m not permitted here: %s" %
                          probe.stderr.decode("utf-8", "replace").strip())
        proc = folder.run(["report", "hidden"],
                          prefix=["unshare", "-m", "sh", "-c", script])
        report = parse_report(self, proc)
        self.assertEqual(proc.stderr, b"")
        self.assertEqual(report["path"][0], folder.dir)
        self.assertEqual(report["checks"], dict.fromkeys(
            ("json", "pickle", "zlib", "ssl", "idna"), True))
        self.assertNotIn("FAILED", json.dumps(report["imports"]))
        self.assertEqual(module_problems(report, report["path"][1]), [])


class ValgrindTest(unittest.TestCase):
    """No leak from the launcher's native code in a probe run; the runtime's
    own leaks are suppressed by tests/valgrind.supp."""

    def test_no_leaks(self):
        if os.environ.get("SKIFF_RUN_VALGRIND") != "1":
            self.skipTest("set SKIFF_RUN_VALGRIND=1 (ctest -L valgrind)")
        if not shutil.which("valgrind"):
            self.skipTest("valgrind not installed")
        folder = ProbeFolder()
        self.addCleanup(folder.remove)
        valgrind = ["valgrind", "--leak-check=full", "--keep-debuginfo=yes",
                    "--errors-for-leak-kinds=definite,indirect,possible",
                    "--suppressions=" + VALGRIND_SUPP, "--num-callers=40",
                    "--error-exitcode=99"]
        # A normal run and one through the error reporter.
        for mode, status in (("report", 0), ("raise", 1)):
            with self.subTest(mode=mode):
                proc = folder.run([mode], prefix=valgrind, timeout=600)
                log = proc.stderr.decode("utf-8", "replace")
                self.assertEqual(proc.returncode, status, log[-4000:])
                self.assertIn("definitely lost: 0 bytes", log)
                self.assertNotIn("Invalid read", log)
                self.assertNotIn("Invalid write", log)


if __name__ == "__main__":
    unittest.main()
