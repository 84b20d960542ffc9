"""Report shapes of pyerror and the callback checks of tav_error."""

import io
import os
import re
import sys
import tempfile
import textwrap
import unittest

from tests.python import framework


def setUpModule():
    global pyerror, tav_error
    with framework.Sandbox():
        pyerror = framework.load("pyerror")
        tav_error = framework.load("tav_error")


THREE_FRAMES = """\
def g():
    raise ValueError("boom")
def f():
    g()
try:
    f()
except ValueError:
    import sys
    info = sys.exc_info()
"""


def three_frames():
    namespace = {"__name__": "app"}
    exec(compile(THREE_FRAMES, "app.py", "exec"), namespace)
    return namespace.pop("info")


class TracebackReportTest(unittest.TestCase):

    def test_three_frames_by_depth(self):
        error = pyerror.ErrorObject(*three_frames())
        module = '  File "app.py", line 6, in <module>\n'
        f = '  File "app.py", line 4, in f\n'
        g = '  File "app.py", line 2, in g\n'
        cases = [
            ((True, 20), "Traceback (most recent call last):\n"
             + module + f + g + "ValueError: boom\n"),
            ((True, 2), "Traceback (most recent call last):\n"
             + f + g + "ValueError: boom\n"),
            ((True, -1), "Traceback (most recent call last):\n"
             + module + f + g + "ValueError: boom\n"),
            ((False, 2), "Traceback (most recent call first):\n"
             + g + f + "ValueError: boom\n"),
            ((True, 0), "ValueError: boom\n"),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                self.assertEqual(error.getExceptionInfoString(*args), expected)
        self.assertEqual(str(error), cases[0][1])
        self.assertEqual([r.getName() for r in error], ["g", "f", "<module>"])
        self.assertEqual(error.getFirstFrame().getName(), "g")
        self.assertEqual(error.getNextFrame().getName(), "f")
        self.assertEqual(error.getNextFrame().getName(), "<module>")
        self.assertIsNone(error.getNextFrame())
        self.assertIsNone(error[3])
        # The walk leaves the stored traceback at the innermost entry.
        self.assertIsNone(error.getTraceback().tb_next)
        self.assertEqual(error.getTraceback().tb_frame.f_code.co_name, "g")

    def test_exclusion_by_module_suffix(self):
        # Outer catcher in module "error" (a suffix of "pyerror"), then
        # app.inner -> error.mid -> app.deep raising.
        make = lambda name, text: exec(textwrap.dedent(text),
                                       {"__name__": name, "ns": ns})
        ns = {}
        make("app", """
            def deep(): raise KeyError("k")
            def inner(): ns["mid"]()
            ns["deep"] = deep; ns["inner"] = inner""")
        make("error", """
            import sys
            def mid(): ns["deep"]()
            def outer():
                try: ns["inner"]()
                except KeyError: return sys.exc_info()
            ns["mid"] = mid; ns["outer"] = outer""")
        pType, pValue, pTraceback = ns["outer"]()
        error = pyerror.ErrorObject(pType, pValue, pTraceback)
        self.assertEqual([(r.getModuleName(), r.getName()) for r in error],
                         [("app", "deep"), ("app", "inner"),
                          ("error", "outer")])
        error = pyerror.ErrorObject(pType, pValue, pTraceback,
                                    excludes=["app"])
        self.assertEqual([r.getName() for r in error], ["outer"])

    def test_messages(self):
        class Unprintable(Exception):
            def __str__(self):
                raise RuntimeError("no text")

        def value(**fields):
            v = Unprintable()
            v.__dict__.update(fields)
            return v

        cases = [
            (ValueError("plain"), "plain"),
            (value(message="from message"), "from message"),
            (value(errno=2, strerror="No such file", filename="c:\\d/x.txt",
                   lineno=3), "[Errno 2] No such file (x.txt, line 3')"),
            (value(msg="bad syntax", filename="a/b.py"), "bad syntax (b.py)"),
            (value(), ""),
        ]
        for v, expected in cases:
            with self.subTest(expected=expected):
                error = pyerror.ErrorObject(type(v), v, None)
                self.assertEqual(error.getMessage(), expected)
                self.assertEqual(error.frames, [None])
                self.assertEqual(error.getTracebackString(), "")

    def test_current_exception_default(self):
        try:
            raise OSError("disk")
        except OSError:
            text = pyerror.getExceptionInfoString(max_depth=0)
            stream = io.StringIO()
            saved, sys.stderr = sys.stderr, stream
            try:
                tav_error.showExceptionInfo(max_depth=0)
            finally:
                sys.stderr = saved
        self.assertEqual(text, "OSError: disk\n")
        self.assertEqual(stream.getvalue(), text)
        self.assertRaises(AttributeError,
                          pyerror.ErrorObject().getExceptionInfoString)

    def test_reraise_keeps_traceback(self):
        pType, pValue, pTraceback = three_frames()
        try:
            pyerror.reraise(pType, pValue, pTraceback)
        except ValueError:
            error = pyerror.ErrorObject()
        # The reraise frame (its module is pyerror) is left out.
        self.assertEqual([r.getName() for r in error],
                         ["g", "f", "<module>",
                          "test_reraise_keeps_traceback"])


class Holder(object):
    def __init__(self):
        self.count = 7
        self.text = "t"

    def first(self, x):
        local = [1, 2]
        self.second(x)

    def second(self, y):
        raise RuntimeError("inner")


class MemoryDumpTest(unittest.TestCase):

    def test_method_frames_of_one_instance(self):
        holder = Holder()

        def top():
            holder.first(3)

        try:
            top()
        except RuntimeError:
            pType, pValue, pTraceback = sys.exc_info()
        error = pyerror.ErrorObject(pType, pValue, pTraceback)
        address = ("%x" % id(holder)).upper().rjust(8, "0")
        module = __name__
        expected = "\n".join([
            "Memory dump (most recent call first):",
            "---",
            "Holder.second(self, y):   [in '%s']" % module,
            "   y : 3",
            "   members (at 0x%s)" % address,
            "      count : 7",
            "      text : 't'",
            "",
            "Holder.first(self, x):   [in '%s']" % module,
            "   local : [1, 2]",
            "   x : 3",
            "   members (at 0x%s)   [listed in 'Holder.second']" % address,
            "",
            "top():   [in '%s']" % module,
            "   holder : %r" % holder,
            "",
        ])
        self.assertEqual(error.getMemoryDump(), expected)
        # Most recent last visits the same frames outermost first, and the
        # instance is listed at the first method met.
        last = error.getMemoryDump(recent_last=True, max_depth=2)
        self.assertEqual(last.splitlines()[:3], [
            "Memory dump (most recent call last):", "---",
            "Holder.first(self, x):   [in '%s']" % module])
        self.assertIn("[listed in 'Holder.first']", last)

    def test_value_truncation(self):
        namespace = {"__name__": "app"}
        exec(textwrap.dedent("""
            def fail(long, exact, shape):
                raise ValueError("x")
            def go():
                fail("a" * 100, "b" * 88, {"k": "c" * 95})
            """), namespace)
        try:
            namespace["go"]()
        except ValueError:
            pType, pValue, pTraceback = sys.exc_info()
        error = pyerror.ErrorObject(pType, pValue, pTraceback)
        long_repr = repr("a" * 100)
        shape_repr = repr({"k": "c" * 95})
        self.assertEqual(len(repr("b" * 88)), 90)
        plain = error.getMemoryDump(max_depth=1)
        self.assertEqual(plain, "\n".join([
            "Memory dump (most recent call first):", "---",
            "fail(long, exact, shape):   [in 'app']",
            "   exact : %r" % ("b" * 88),
            "   long : %s...'" % long_repr[:77],
            "   shape : %s...}" % shape_repr[:77],
            ""]))
        full = error.getMemoryDump(max_depth=1, full_dump=True)
        self.assertEqual(full, "\n".join([
            "Memory dump (most recent call first):", "---",
            "fail(long, exact, shape):   [in 'app']",
            "   exact : %r" % ("b" * 88),
            "   long : %s...'    [full dump at 1]" % long_repr[:77],
            "   shape : %s...}    [full dump at 2]" % shape_repr[:77],
            "",
            "-" * 30 + "  Full var dump [1]  " + "-" * 30,
            long_repr,
            "",
            "-" * 30 + "  Full var dump [2]  " + "-" * 30,
            shape_repr,
            "",
            "-" * 80]))

    def test_single_frame_and_module_level(self):
        pType, pValue, pTraceback = three_frames()
        single = pyerror.ErrorObject(pType, pValue,
                                     pTraceback.tb_next.tb_next)
        self.assertEqual(single.getMemoryDump(),
                         "Memory dump (most recent call first):\n---")
        everything = pyerror.ErrorObject(pType, pValue, pTraceback)
        dump = everything.getMemoryDump(ignore_last=False)
        # The module frame's locals are the module's namespace.
        self.assertIn("\n'...'   [in 'app']\n   __builtins__ : ", dump)
        self.assertIn("\n   __name__ : 'app'\n", dump)
        self.assertIsNone(pyerror.ErrorObject(pType, pValue, None)
                          .getMemoryDump())


class ReportFilesTest(unittest.TestCase):

    def setUp(self):
        self.temp = tempfile.TemporaryDirectory()
        self.addCleanup(self.temp.cleanup)
        self.sandbox = framework.Sandbox().__enter__()
        self.addCleanup(self.sandbox.__exit__, None, None, None)
        sys.executable = os.path.join(self.temp.name, "skiffrelay")

    def read(self, suffix):
        with open(sys.executable + suffix, encoding="utf-8") as f:
            return f.read()

    def test_log_accumulates_and_dump_is_rewritten(self):
        stamp = r"--- \d{4}-\d\d-\d\d \d\d:\d\d:\d\d -{34}\n"
        reports = []
        for message in ("first", "second \udcff"):
            try:
                Holder().first(message)
            except RuntimeError:
                error = tav_error.ErrorObject()
            error.dumpExceptionInfo()
            error.dumpMemory()
            reports.append(error)
        log = self.read(".log")
        info = [e.getExceptionInfoString() for e in reports]
        self.assertRegex(log, "^" + stamp + re.escape(info[0]) + "\n"
                         + stamp + re.escape(info[1]) + "\n$")
        dump = self.read(".dump")
        self.assertRegex(dump, "^" + stamp + re.escape(
            reports[1].getMemoryDump(full_dump=True)
            .replace("\udcff", "\\udcff")) + "\n$")
        self.assertIn("second \\udcff", dump)

        error = pyerror.ErrorObject(ValueError, ValueError("no tb"), None)
        other = os.path.join(self.temp.name, "other.dump")
        error.dumpMemory(other)
        self.assertFalse(os.path.exists(other))
        error.dumpExceptionInfo(other, append=False, timestamp=False)
        with open(other) as f:
            self.assertEqual(f.read(), "ValueError: no tb\n\n")

    def test_windows_names_keep_the_suffix(self):
        # The executable's full path and ".log"/".dump": skiffrelay.exe.log
        # beside skiffrelay.exe; argv[0] when the runtime names none.
        exe = os.path.join(self.temp.name, "skiffrelay.exe")
        self.addCleanup(setattr, sys, "argv", sys.argv)
        try:
            Holder().first("x")
        except RuntimeError:
            error = tav_error.ErrorObject()
        for executable, argv in ((exe, ["other"]), ("", [exe])):
            with self.subTest(executable=executable):
                sys.executable, sys.argv = executable, argv
                error.dumpExceptionInfo()
                error.dumpMemory()
                for suffix in (".log", ".dump"):
                    self.assertTrue(os.path.isfile(exe + suffix))
                    os.unlink(exe + suffix)
        self.assertEqual(sorted(os.listdir(self.temp.name)), [])

    def test_planted_entries_are_never_written_through(self):
        # Links (dangling or not), a FIFO without a reader and a directory
        # at the report names: no report, nothing written or created
        # elsewhere, no wait.
        target = os.path.join(self.temp.name, "victim")
        with open(target, "w") as f:
            f.write("keep")
        try:
            Holder().first("x")
        except RuntimeError:
            error = tav_error.ErrorObject()
        plants = [("link", lambda p: os.symlink(target, p)),
                  ("dangling", lambda p: os.symlink(target + ".new", p)),
                  ("fifo", os.mkfifo), ("directory", os.mkdir)]
        for label, plant in plants:
            for suffix, write in ((".log", error.dumpExceptionInfo),
                                  (".dump", error.dumpMemory)):
                with self.subTest(plant=label, file=suffix):
                    path = sys.executable + suffix
                    plant(path)
                    try:
                        with self.assertRaises(OSError):
                            write()
                    finally:
                        (os.rmdir if label == "directory" else os.unlink)(
                            path)
        with open(target) as f:
            self.assertEqual(f.read(), "keep")
        self.assertFalse(os.path.exists(target + ".new"))


class RegisterErrorCallbackTest(unittest.TestCase):

    def setUp(self):
        tav_error.ERROR_HANDLER = None

    def test_checks(self):
        class Receiver(object):
            def take(self, error):
                pass

            def take_two(self, error, extra):
                pass

        def two(a, b):
            pass

        accepted = [lambda error: None, Receiver().take]
        rejected = [
            (two, AttributeError,
             "the handler is expected to take exactly 1 arguments"),
            (Receiver().take_two, AttributeError,
             "the handler is expected to take exactly 1 arguments"),
            (len, TypeError, "the handler is expected to be a function or "
             "method"),
            (Receiver, TypeError, "the handler is expected to be a function "
             "or method"),
        ]
        for handler in accepted:
            tav_error.registerErrorCallback(handler)
            self.assertEqual(tav_error.ERROR_HANDLER, handler)
        for handler, kind, message in rejected:
            with self.subTest(handler=handler):
                with self.assertRaises(kind) as caught:
                    tav_error.registerErrorCallback(handler)
                self.assertEqual(str(caught.exception), message)
                self.assertEqual(tav_error.ERROR_HANDLER, accepted[-1])


if __name__ == "__main__":
    unittest.main()
