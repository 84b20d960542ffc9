"""tav_import: search order, failure clean-up, both importer protocols."""

import _frozen_importlib_external
import glob
import os
import shutil
import sys
import tempfile
import unittest
import warnings

from tests.python import framework

ARCHIVE = {
    # Both built into the runtime and archived: the built-in one must load.
    "_bisect": "ARCHIVED = True\n",
    "arch_mod": "VALUE = 42\n",
    "arch_pkg": "from arch_pkg import sub\n",
    "arch_pkg.sub": "NAME = __name__\n",
    "arch_bad": ("import arch_state\n"
                 "arch_state.runs.append(1)\n"
                 "raise ValueError('broken module')\n"),
    "extpkg": "",
}
PACKAGES = ["arch_pkg", "extpkg"]

# A multi-phase extension module of the runtime, copied under the flat name
# "extpkg.xxlimited.so": its init function comes from the last name part.
EXTENSION = (glob.glob("/usr/lib/python3.11/lib-dynload/"
                       "xxlimited.cpython-311-*.so") or [None])[0]


class ImporterTest(unittest.TestCase):

    search_first = 1

    def setUp(self):
        self.temp = tempfile.TemporaryDirectory()
        self.addCleanup(self.temp.cleanup)
        self.sandbox = framework.Sandbox().__enter__()
        self.addCleanup(self.sandbox.__exit__, None, None, None)
        self.workdir = self.temp.name
        sys.executable = os.path.join(self.workdir, "skiffrelay")
        for name in ARCHIVE:
            sys.modules.pop(name, None)
        state = type(sys)("arch_state")
        state.runs = []
        sys.modules["arch_state"] = state
        self.state = state
        self.native = framework.fake_tav_import(
            ARCHIVE, PACKAGES, self.workdir, self.search_first)
        sys.modules["_tav_import"] = self.native
        self.pyerror = framework.load("pyerror")
        framework.load("tav_posixpath")
        framework.load("tav_path")
        self.tav_import = framework.load("tav_import")
        self.meta_before = list(sys.meta_path)
        self.tav_import.registerImporterClasses()

    def ours(self):
        kinds = (self.tav_import.BuiltinImporter,
                 self.tav_import.PyCodeImporter,
                 self.tav_import.ExtensionImporter)
        return [type(f) for f in sys.meta_path if isinstance(f, kinds)]

    def test_registration_order_and_idempotence(self):
        t = self.tav_import
        expected = [t.BuiltinImporter, t.PyCodeImporter, t.ExtensionImporter]
        self.assertEqual(self.ours(), expected)
        # Ahead of the runtime's sys.path search, behind nothing else new.
        path_finder = sys.meta_path.index(_frozen_importlib_external.PathFinder)
        self.assertIsInstance(sys.meta_path[path_finder - 1],
                              t.ExtensionImporter)
        self.assertEqual(len(sys.meta_path), len(self.meta_before) + 3)
        t.registerImporterClasses()
        self.assertEqual(self.ours(), expected)
        self.assertIs(sys.frozen, True)
        self.assertIn("tav_import", self.pyerror.ErrorObject._exclude_modules)

    def test_search_order(self):
        import _bisect
        self.assertFalse(hasattr(_bisect, "ARCHIVED"))
        legacy = self.tav_import.BuiltinImporter().load_module("_bisect")
        self.assertFalse(hasattr(legacy, "ARCHIVED"))
        # An archived module hides a file of that name on sys.path.
        with open(os.path.join(self.workdir, "arch_mod.py"), "w") as f:
            f.write("VALUE = 'from the directory'\n")
        sys.path.insert(0, self.workdir)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import arch_mod
            import arch_pkg
        self.assertEqual(arch_mod.VALUE, 42)
        self.assertEqual([w for w in caught
                          if issubclass(w.category, ImportWarning)], [])
        self.assertEqual(arch_mod.__file__, "skiffrelay/arch_mod")
        self.assertIsInstance(arch_mod.__loader__,
                              self.tav_import.PyCodeImporter)
        self.assertEqual(arch_pkg.__path__, ["skiffrelay/arch_pkg"])
        self.assertEqual(arch_pkg.__spec__.submodule_search_locations,
                         ["skiffrelay/arch_pkg"])
        self.assertEqual(arch_pkg.sub.__file__, "skiffrelay/arch_pkg/sub")
        self.assertEqual(arch_pkg.sub.__package__, "arch_pkg")

    def test_failed_module_is_removed_and_runs_again(self):
        for attempt in (1, 2):
            try:
                import arch_bad
                self.fail("no exception")
            except ValueError:
                error = self.pyerror.ErrorObject()
            self.assertNotIn("arch_bad", sys.modules)
            self.assertEqual(len(self.state.runs), attempt)
        # The traceback still reaches the failing line; the report leaves
        # the importer's frames out.
        files = [(r.getFile(), r.getLine()) for r in error]
        self.assertEqual(files[0], ("skiffrelay/arch_bad", 3))
        self.assertNotIn("tav_import",
                         [r.getModuleName() for r in error])
        # The legacy protocol cleans up the same way.
        importer = self.tav_import.PyCodeImporter()
        self.assertRaises(ValueError, importer.load_module, "arch_bad")
        self.assertNotIn("arch_bad", sys.modules)
        self.assertEqual(len(self.state.runs), 3)
        module = importer.load_module("arch_mod")
        self.assertEqual(module.VALUE, 42)
        self.assertIs(importer.load_module("arch_mod"), module)
        self.assertEqual(self.native.executed.count("arch_mod"), 1)

    def test_filenames_and_packages(self):
        t = self.tav_import
        code = t.PyCodeImporter()
        self.assertEqual(code.get_filename("arch_pkg.sub"),
                         "skiffrelay/arch_pkg/sub")
        import arch_mod
        arch_mod.__file__ = "elsewhere"
        self.assertEqual(code.get_filename("arch_mod"), "elsewhere")
        self.assertEqual((code.is_package("arch_pkg"),
                          code.is_package("arch_pkg.sub")), (True, False))
        extension = t.ExtensionImporter()
        for call in (code.get_filename, code.is_package,
                     extension.get_filename):
            with self.assertRaises(ImportError) as caught:
                call("nowhere.mod")
            self.assertEqual(str(caught.exception),
                             "No module named nowhere.mod")
        self.assertIsNone(extension.find_spec("../etc/passwd"))

    def test_listed_names_are_absent_without_a_search(self):
        # Listed names, and the names under them, fail before the extension
        # file or the sys.path directory that holds them is looked at;
        # everything else imports as before.
        sys.meta_path[:] = self.meta_before
        with open(os.path.join(self.workdir, "tav-absent.txt"), "wb") as f:
            f.write(b"gone\r\n\nother\n")
        with open(os.path.join(self.workdir, "gone.so"), "wb") as f:
            f.write(b"not a shared object")
        with open(os.path.join(self.workdir, "gone.py"), "w") as f:
            f.write("import arch_state\narch_state.runs.append('gone')\n")
        sys.path.insert(0, self.workdir)
        framework.load("tav_import").registerImporterClasses()
        for name in ("gone", "gone.sub", "other"):
            with self.subTest(name=name):
                with self.assertRaises(ModuleNotFoundError) as caught:
                    __import__(name)
                # gone.sub fails at its parent.
                self.assertEqual(str(caught.exception),
                                 "No module named " + name.partition(".")[0])
        self.assertEqual(self.state.runs, [])
        import arch_pkg.sub
        self.assertEqual(arch_pkg.sub.NAME, "arch_pkg.sub")

    def test_module_spec_text_and_equality(self):
        t = self.tav_import
        loader = t.ExtensionImporter()
        spec = t.ModuleSpec("pkg.mod", loader, "/w/pkg.mod.so")
        self.assertEqual(repr(spec), "ModuleSpec(name='pkg.mod', loader=%r, "
                         "origin='/w/pkg.mod.so')" % loader)
        self.assertEqual(repr(t.ModuleSpec("m", None)),
                         "ModuleSpec(name='m', loader=None)")
        self.assertEqual(spec, t.ModuleSpec("pkg.mod", loader,
                                            "/w/pkg.mod.so"))
        self.assertNotEqual(spec, t.ModuleSpec("pkg.mod", loader, "/other"))
        self.assertNotEqual(spec, t.ModuleSpec("pkg.mod", t.ExtensionImporter(),
                                               "/w/pkg.mod.so"))
        self.assertFalse(spec == object())
        self.assertEqual((spec.cached, spec.has_location,
                          spec.submodule_search_locations), (False, True, None))

    @unittest.skipUnless(EXTENSION, "the runtime's xxlimited module is needed")
    def test_extension_from_flat_file(self):
        flat = os.path.join(self.workdir, "extpkg.xxlimited.so")
        shutil.copy(EXTENSION, flat)
        extension = self.tav_import.ExtensionImporter()
        self.assertEqual(extension.get_filename("extpkg.xxlimited"), flat)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import extpkg.xxlimited
        self.assertEqual(caught, [])
        module = extpkg.xxlimited
        self.assertEqual(module.__name__, "extpkg.xxlimited")
        self.assertEqual(module.__file__, "skiffrelay/extpkg.xxlimited.so")
        self.assertEqual(module.__spec__.origin, flat)
        self.assertEqual(module.foo(2, 3), 5)
        del sys.modules["extpkg.xxlimited"]
        legacy = extension.load_module("extpkg.xxlimited")
        self.assertEqual(legacy.__file__, "skiffrelay/extpkg.xxlimited.so")
        self.assertEqual(extension.get_filename("extpkg.xxlimited"),
                         "skiffrelay/extpkg.xxlimited.so")


class ArchivesLastTest(ImporterTest):
    """The path-hook mode: sys.path directories before the archives."""

    search_first = 0

    def test_registration_order_and_idempotence(self):
        t = self.tav_import
        self.assertEqual(self.ours(), [])
        self.assertEqual([type(i) for i in t._meta_path],
                         [t.PyCodeImporter, t.ExtensionImporter])
        self.assertEqual(sys.path[-1], sys.executable)
        self.assertIs(sys.path_hooks[-1], t.TavkitImporter)
        t.registerImporterClasses()
        self.assertEqual(len(t._meta_path), 2)
        self.assertEqual(sys.path.count(sys.executable), 1)
        for entry in ("/usr/lib", b"skiffrelay", "", "other/skiffrelay"):
            with self.assertRaises(ImportError) as caught:
                t.TavkitImporter(entry)
            self.assertEqual(str(caught.exception), "invalid import path")
        t.TavkitImporter("skiffrelay/arch_pkg")

    def test_search_order(self):
        with open(os.path.join(self.workdir, "arch_mod.py"), "w") as f:
            f.write("VALUE = 'from the directory'\n")
        sys.path.insert(0, self.workdir)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import arch_mod
            import arch_pkg
        self.assertEqual([w for w in caught
                          if issubclass(w.category, ImportWarning)], [])
        self.assertEqual(arch_mod.VALUE, "from the directory")
        self.assertEqual(arch_pkg.sub.NAME, "arch_pkg.sub")
        hook = self.tav_import.TavkitImporter(sys.executable)
        self.assertIs(hook.find_module("arch_pkg.sub"), hook)
        self.assertEqual(hook.get_filename("arch_pkg.sub"),
                         "skiffrelay/arch_pkg/sub")
        self.assertIsNone(hook.find_module("nowhere"))
        self.assertRaises(ImportError, hook.load_module, "nowhere")


if __name__ == "__main__":
    unittest.main()
