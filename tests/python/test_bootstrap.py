"""The framework modules in launcher order, before any standard library
module can be imported: only built-in and frozen modules are reachable
until registerImporterClasses runs."""

import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

from tests.python import framework

TOOLS_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "tools")
sys.path.insert(0, TOOLS_DIR)
import gen_embedded  # noqa: E402  (the load order)

# Runs in a fresh interpreter started with -I -S. Every record is compiled
# under its module name, marshalled and executed like the launcher does.
BOOTSTRAP = textwrap.dedent("""
    import sys, marshal
    framework_dir, workdir = sys.argv[1], sys.argv[2]
    framework = sys.argv[3].split(",")
    sys.meta_path[:] = [f for f in sys.meta_path
                        if f.__name__ in ("BuiltinImporter", "FrozenImporter")]
    sys.path[:] = []
    sys.path_hooks[:] = []
    sys.path_importer_cache.clear()
    sys.executable = workdir + "/skiffrelay"
    sys.argv = [sys.executable]
    before = set(sys.modules)

    native = type(sys)("_tav_import")
    native.__dict__.update(SEARCH_ARCHIVES_FIRST=1, CORE_MODULES_ARCHIVED=1,
        APP_MODULES_ARCHIVED=1, EXTENSIONS_ARCHIVED=1,
        C_EXTENSION_FILETYPE=".so", EXTENSION_PATH=workdir)
    archive = {"appmod": "def fail(secret):\\n    raise KeyError(secret)\\n"}
    def createModule(name):
        module = sys.modules.setdefault(name, type(sys)(name))
        module.__file__ = "skiffrelay/" + name
        return module
    def execModule(name, path):
        exec(compile(archive[name], path, "exec"), sys.modules[name].__dict__)
        return sys.modules[name]
    native.createModule = createModule
    native.execModule = execModule
    native.hasModule = lambda name: int(name in archive)
    native.isPackage = lambda name: 0
    sys.modules["_tav_import"] = native

    def run(name, path):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        if name == "_tav_app_info":
            text = text.replace("@APP_INFO@", "{'default_encoding': None}")
        data = marshal.dumps(compile(text, name, "exec"))
        module = type(sys)(name)
        module.__file__ = "skiffrelay/" + name
        sys.modules[name] = module
        exec(marshal.loads(data), module.__dict__)

    for name in framework:
        source = name + (".py.in" if name == "_tav_app_info" else ".py")
        run(name, framework_dir + "/" + source)
    imported = sorted(set(sys.modules) - before - set(framework) -
                      {"_tav_import"})
    print("imported before registration:", imported)
    sys.modules["tav_path"].ensure_workdir()
    sys.modules["tav_import"].registerImporterClasses()
    import posix
    print("cwd:", posix.getcwd() == workdir)

    try:
        import appmod
        appmod.fail("k")
    except KeyError:
        pType, pValue, pTraceback = sys.exc_info()
    import tav_error
    error = tav_error.ErrorObject(pType, pValue, pTraceback)
    error.showExceptionInfo()
    error.dumpExceptionInfo()
    error.dumpMemory()
    """)


class BootstrapTest(unittest.TestCase):

    def test_framework_runs_on_builtin_modules_only(self):
        with tempfile.TemporaryDirectory() as temp:
            workdir = os.path.realpath(temp)
            result = subprocess.run(
                [sys.executable, "-I", "-S", "-c", BOOTSTRAP,
                 framework.FRAMEWORK_DIR, workdir,
                 ",".join(gen_embedded.framework_modules("tav_posixpath"))],
                capture_output=True, text=True, timeout=60)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout.splitlines(), [
                "imported before registration: []", "cwd: True"])
            line = BOOTSTRAP.splitlines().index('    appmod.fail("k")') + 1
            report = ("Traceback (most recent call last):\n"
                      '  File "<string>", line %d, in <module>\n'
                      '  File "skiffrelay/appmod", line 2, in fail\n'
                      "KeyError: 'k'\n") % line
            self.assertEqual(result.stderr, report)
            with open(os.path.join(workdir, "skiffrelay.log")) as f:
                self.assertTrue(f.read().endswith(report + "\n"))
            with open(os.path.join(workdir, "skiffrelay.dump")) as f:
                self.assertTrue(f.read().endswith(
                    "---\nfail(secret):   [in 'appmod']\n"
                    "   secret : 'k'\n\n"))


if __name__ == "__main__":
    unittest.main()
