"""The framework's 2.x branches, run by a 2.x interpreter.

SKIFF_APP_PYTHON names the interpreter (for example a CPython 2.7 with
M2Crypto, the one the application tests use); without it, or when it is
of major version 3, the cases skip.  The script below executes the
framework modules as the launcher does, with a stand-in for the native
module, and checks the importers' legacy protocol (archived modules, a
failing one, extension files through imp.load_dynamic, left-out names),
the error reports and the path tests.
"""

import os
import shutil
import subprocess
import tempfile
import unittest

FRAMEWORK_DIR = os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "embedded", "framework")

_SCRIPT = r'''
import os, sys, types
framework, work = sys.argv[1], sys.argv[2]
sys.path[:] = []  # what is not built in comes from the importers
ext = os.path.join(work, "ext")
sources = {"arch_mod": "VALUE = 42\n",
           "arch_pkg": "from arch_pkg import sub\n",
           "arch_pkg.sub": "NAME = __name__\n", "extpkg": "",
           "arch_bad": "raise ValueError('broken module')\n"}
packages = ("arch_pkg", "extpkg")

def createModule(name):
    module = sys.modules.get(name) or types.ModuleType(name)
    sys.modules[name] = module
    module.__file__ = "skiffrelay/" + name.replace(".", "/")
    if name in packages:
        module.__path__ = [module.__file__]
        module.__file__ += "/__init__"
    return module

def execModule(name, path):
    module = sys.modules[name]
    try:
        exec(compile(sources[name], path, "exec"), module.__dict__)
    except BaseException:
        sys.modules.pop(name, None)
        raise
    return sys.modules.get(name)

native = types.ModuleType("_tav_import")
native.SEARCH_ARCHIVES_FIRST = int(sys.argv[3])
native.CORE_MODULES_ARCHIVED = native.APP_MODULES_ARCHIVED = 1
native.C_EXTENSION_FILETYPE = ".so"
native.EXTENSION_PATH = ext
native.createModule, native.execModule = createModule, execModule
native.hasModule = lambda name: int(name in sources)
native.isPackage = lambda name: int(name in packages)
sys.modules["_tav_import"] = native
sys.executable = os.path.join(work, "skiffrelay")

def load(name, text=None):
    if text is None:
        text = open(os.path.join(framework, name + ".py")).read()
    module = types.ModuleType(name)
    module.__file__ = "skiffrelay/" + name
    sys.modules[name] = module
    exec(compile(text, name, "exec"), module.__dict__)

for name in ("pyerror", "tav_posixpath", "tav_service"):
    load(name)
load("_tav_app_info", open(os.path.join(framework, "_tav_app_info.py.in"))
     .read().replace("@APP_INFO@", "{}"))
for name in ("tav_error", "tav_path", "tav_import"):
    load(name)
import tav_error, tav_import, tav_path
tav_path.ensure_workdir()
tav_import.registerImporterClasses()
load("site")

import arch_mod, arch_pkg.sub, array, extpkg._bisect
assert (arch_mod.VALUE, arch_pkg.sub.NAME) == (42, "arch_pkg.sub")
assert array.__file__ == "skiffrelay/array.so", array.__file__
assert extpkg._bisect.bisect([1, 3], 2) == 1
for name, error in (("arch_bad", ValueError), ("gone", ImportError),
                    ("gone.sub", ImportError)):
    try:
        __import__(name)
        raise AssertionError(name + " imported")
    except error:
        assert name not in sys.modules, name
assert not tav_path.exists("a\0b") and not tav_path.isfile("a\0b")

def fails(word):
    raise KeyError(word)
try:
    fails("key")
except KeyError:
    report = tav_error.ErrorObject()
# Named as on Windows: the reports keep the executable's suffix.
sys.executable += ".exe"
report.dumpExceptionInfo()
report.dumpMemory()
log = open(os.path.join(work, "skiffrelay.exe.log")).read()
assert log.endswith('in fails\nKeyError: \'key\'\n\n'), log
assert "word : 'key'" in open(os.path.join(work, "skiffrelay.exe.dump")).read()
try:
    report.reraise()
except KeyError:
    pass
sys.stdout.write("ok")
'''


def _interpreter():
    return os.environ.get("SKIFF_APP_PYTHON", "")


class FrameworkOnRuntime2Test(unittest.TestCase):
    def setUp(self):
        python = _interpreter()
        if not python:
            self.skipTest("SKIFF_APP_PYTHON names no interpreter")
        major = subprocess.run([python, "-c", "import sys; print(sys.version"
                                "_info[0])"], stdout=subprocess.PIPE,
                               timeout=60, check=True).stdout.strip()
        if major != b"2":
            self.skipTest("%s is no 2.x interpreter" % python)
        self.python = python

    def test_framework_modules(self):
        dynload = subprocess.run(
            [self.python, "-c", "import array, os; print(os.path.dirname("
             "array.__file__))"], stdout=subprocess.PIPE, timeout=60,
            check=True).stdout.strip().decode()
        for search_first in ("1", "0"):
            with self.subTest(search_first=search_first), \
                    tempfile.TemporaryDirectory() as work:
                ext = os.path.join(work, "ext")
                os.mkdir(ext)
                # The archive's flat names: the init function comes from
                # the last part of the name.
                for name, flat in (("array", "array"),
                                   ("_bisect", "extpkg._bisect")):
                    shutil.copy(os.path.join(dynload, name + ".so"),
                                os.path.join(ext, flat + ".so"))
                with open(os.path.join(ext, "tav-absent.txt"), "w") as f:
                    f.write("gone\n")
                open(os.path.join(work, "skiffrelay"), "w").close()
                done = subprocess.run(
                    [self.python, "-S", "-c", _SCRIPT, FRAMEWORK_DIR, work,
                     search_first], stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE, timeout=60)
                self.assertEqual(done.stderr, b"", done.stderr.decode())
                self.assertEqual(done.stdout, b"ok")


if __name__ == "__main__":
    unittest.main()
