"""site set-up and the _tav_app_info template."""

import builtins
import linecache
import os
import sys
import tempfile
import types
import unittest

from tests.python import framework

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(
    os.path.dirname(os.path.abspath(__file__)))), "tools"))
import gen_embedded  # noqa: E402

APP_INFO = {
    "website": "https://example.invalid", "binary": "skiffrelay",
    "mac_ident": "", "maintainer": "m <m@example.invalid>", "name": "n",
    "copyright": "c", "author": "m <m@example.invalid>",
    "buildtime": 1574677086.213,
    "description": "Utility for secure FTP data transfers",
    "default_encoding": None, "pythonfile": "skiffrelay.py",
    "binarybase": "skiffrelay", "version": [1, 0, 0, 0], "comment": "",
    "iconfile": "", "companyshort": "s", "distribution": "linux-x",
    "company": "co", "readmefile": "",
    "localtime": [2019, 11, 25, 11, 18, 6, 0, 329, 0],
}


class SiteTest(unittest.TestCase):

    def setUp(self):
        self.sandbox = framework.Sandbox().__enter__()
        self.addCleanup(self.sandbox.__exit__, None, None, None)
        self.temp = tempfile.TemporaryDirectory()
        self.addCleanup(self.temp.cleanup)
        framework.load("tav_posixpath")
        framework.load("tav_path")
        self.pydoc_calls = []
        pydoc = types.ModuleType("pydoc")
        pydoc.help = lambda *a, **k: self.pydoc_calls.append((a, k)) or "ok"
        sys.modules["pydoc"] = pydoc
        sys.modules.pop("usercustomize", None)

    def test_guarded_steps_survive_exit_and_interrupt(self):
        # Each of the three guarded steps raises SystemExit, then
        # KeyboardInterrupt: site still completes, and every step ran.
        with open(os.path.join(self.temp.name, "usercustomize.py"), "w") as f:
            f.write("import sys\nsys.site_test_runs.append('usercustomize')\n"
                    "raise sys.site_test_error\n")
        sys.path.insert(0, self.temp.name)
        for attr in ("site_test_runs", "site_test_error"):
            self.addCleanup(sys.__dict__.pop, attr, None)
        for error in (SystemExit, KeyboardInterrupt):
            runs = sys.site_test_runs = []
            sys.site_test_error = error

            class Linecache(types.ModuleType):
                getline = None

                def __setattr__(self, name, value):
                    runs.append("linecache")
                    raise error

            class Encoding(object):
                def __bool__(self):
                    runs.append("encoding")
                    raise error

            sys.modules["linecache"] = Linecache("linecache")
            app_info = types.ModuleType("_tav_app_info")
            app_info.APP_INFO = {"default_encoding": Encoding()}
            sys.modules["_tav_app_info"] = app_info
            with self.subTest(error=error.__name__):
                try:
                    framework.load("site")
                except BaseException as e:
                    self.fail("site let %r through" % e)
                self.assertEqual(runs, ["linecache", "encoding",
                                        "usercustomize"])

    def test_help_linecache_and_usercustomize(self):
        framework.load_app_info(APP_INFO)
        site = framework.load("site")  # no usercustomize: silent
        self.assertEqual(repr(builtins.help), "Type help() for interactive "
                         "help, or help(object) for help about object.")
        self.assertEqual(builtins.help(1, "two", key=3), "ok")
        self.assertEqual(self.pydoc_calls, [((1, "two"), {"key": 3})])
        self.assertEqual(linecache.getline(__file__, 1), "")
        self.assertEqual(linecache.getline(__file__, 1, {}), "")
        self.assertTrue(linecache._getline(__file__, 1).startswith('"""'))
        self.assertEqual((site.PREFIXES, site.ENABLE_USER_SITE,
                          site.USER_SITE, site.USER_BASE),
                         ([], False, None, None))

        with open(os.path.join(self.temp.name, "usercustomize.py"), "w") as f:
            f.write("import sys\nsys.customized = True\n")
        sys.path.insert(0, self.temp.name)
        self.addCleanup(sys.__dict__.pop, "customized", None)
        framework.load("site")
        self.assertIs(getattr(sys, "customized", False), True)

    def test_default_encoding_applied_where_the_runtime_allows(self):
        # A runtime with sys.setdefaultencoding (2.x started without its own
        # site) gets the build's value. An unknown codec, or a runtime
        # without the function (3.x), fails silently, and the step after it
        # (usercustomize) still runs.
        calls = []

        def setdefaultencoding(name):
            calls.append(name)
            if name == "no-such-codec":
                raise LookupError(name)

        with open(os.path.join(self.temp.name, "usercustomize.py"), "w") as f:
            f.write("import sys\n"
                    "sys.customized = sys.__dict__.get('customized', 0) + 1\n")
        sys.path.insert(0, self.temp.name)
        self.addCleanup(sys.__dict__.pop, "customized", None)
        self.addCleanup(sys.__dict__.pop, "setdefaultencoding", None)
        cases = [(setdefaultencoding, "latin-1"),
                 (setdefaultencoding, "no-such-codec"),
                 (setdefaultencoding, None),
                 (None, "latin-1")]
        for function, encoding in cases:
            sys.__dict__.pop("setdefaultencoding", None)
            if function:
                sys.setdefaultencoding = function
            sys.modules.pop("usercustomize", None)
            framework.load_app_info(dict(APP_INFO, default_encoding=encoding))
            framework.load("site")
        self.assertEqual(calls, ["latin-1", "no-such-codec"])
        self.assertEqual(sys.customized, len(cases))

    def test_makepath_and_pathinfo(self):
        site = framework.load("site")
        os.chdir(self.temp.name)
        here = os.path.realpath(self.temp.name)
        os.chdir(here)
        self.assertEqual(site.makepath("a", "..", "b"),
                         (here + "/b", here + "/b"))
        sys.path[:] = [here, here + "/missing", None, "."]
        self.assertEqual(site._init_pathinfo(), {here})

    def test_app_info_template_filled_by_the_generator(self):
        # The generator fills the template's one placeholder in code with
        # its dictionary literal: the module that loads holds exactly the
        # build's dictionary, every value type intact.
        info = gen_embedded.app_info("skiffrelay", "/x/skiffrelay.py", "1.0")
        text = gen_embedded.fill_template(
            framework.source("_tav_app_info.py.in"),
            gen_embedded._dict_literal(info), "_tav_app_info.py.in")
        module = framework.load("_tav_app_info", text)
        self.assertEqual(module.APP_INFO, info)
        self.assertEqual(module.__all__, ["APP_INFO"])
        self.assertEqual(framework.load_app_info(APP_INFO).APP_INFO, APP_INFO)


if __name__ == "__main__":
    unittest.main()
