"""Records which modules a set of imports loads (run by tools/package.py).

Usage: TARGET -I -S package_recorder.py PLAN RESULT     (3.x)
       TARGET -E -s -S -B package_recorder.py PLAN RESULT  (2.7)

TARGET is the interpreter of the runtime the program ships; this file
parses and runs under 2.7 and 3.x. PLAN and RESULT are plain text, one
record a line, fields separated by tabs (UTF-8; no field holds a tab or a
line break):

PLAN:
  path TAB DIR                      the module search path, in order
                                    (replaces sys.path)
  import TAB MODULE [TAB A,B,...]   an import with its fromlist, run in the
                                    order given
  slim TAB PACKAGE TAB INIT TAB DIR the package runs the slim init INIT,
                                    with DIR (the installed package) as its
                                    path for the submodules
  left_out TAB NAME                 a top-level name that must look absent
RESULT:
  loaded TAB NAME TAB KIND TAB FILE every module in sys.modules, KIND one
                                    of builtin, frozen, nofile, extension,
                                    package, source, other (FILE the .py of
                                    a source or package, "" if none)
  failed TAB MODULE TAB REASON      an import that raised ("Type: message")

It runs in a fresh interpreter without environment, site or script
directory on the path, and imports only modules that are built in or
already loaded before any of this code runs (sys, and _imp and the frozen
import machinery on 3.x, imp on 2.7), so what it reports is exactly what the
plan's imports loaded plus what the interpreter's own start-up loaded.
"""

import sys

PY3 = sys.version_info[0] >= 3
if PY3:
    import _imp
    import _frozen_importlib_external as _external
else:
    import imp


def _decode(data):
    return data.decode("utf-8", "surrogateescape") if PY3 else data


def _encode(text):
    return text.encode("utf-8", "surrogateescape") if PY3 else text


def read_plan(plan_path):
    plan = {"path": [], "imports": [], "slim": {}, "left_out": []}
    with open(plan_path, "rb") as f:
        lines = _decode(f.read()).split("\n")
    for line in lines:
        if not line:
            continue
        fields = line.split("\t")
        kind = fields[0]
        if kind == "path":
            plan["path"].append(fields[1])
        elif kind == "import":
            names = fields[2].split(",") if len(fields) > 2 and fields[2] \
                else []
            plan["imports"].append((fields[1], tuple(names)))
        elif kind == "slim":
            plan["slim"][fields[1]] = (fields[2], fields[3])
        elif kind == "left_out":
            plan["left_out"].append(fields[1])
    return plan


class _SlimInitLoader(object):
    """2.7: runs a slim init as the package's init."""

    def __init__(self, init, package_dir):
        self.init = init
        self.package_dir = package_dir

    def load_module(self, name):
        if name in sys.modules:
            return sys.modules[name]
        module = imp.new_module(name)
        module.__file__ = self.init
        module.__path__ = [self.package_dir]
        module.__package__ = name
        module.__loader__ = self
        with open(self.init, "rb") as f:
            code = compile(f.read(), self.init, "exec", 0, True)
        sys.modules[name] = module
        try:
            exec(code, module.__dict__)
        except BaseException:
            del sys.modules[name]
            raise
        return module


def install_finders(plan):
    """The slim inits replace their packages' own inits; the left-out names
    raise as if missing."""

    class SlimInitFinder(object):
        # A package in plan['slim'] runs its slim init, with the installed
        # package directory as its path for the submodules.
        @classmethod
        def find_spec(cls, name, path=None, target=None):
            if name not in plan["slim"]:
                return None
            init, package_dir = plan["slim"][name]
            return _external.spec_from_file_location(
                name, init, submodule_search_locations=[package_dir])

        @classmethod
        def find_module(cls, name, path=None):
            if name not in plan["slim"]:
                return None
            return _SlimInitLoader(*plan["slim"][name])

    class LeftOutFinder(object):
        # What stays out of the archive is not importable here either, so
        # that modules which import it when present record their fallback.
        @classmethod
        def find_spec(cls, name, path=None, target=None):
            if name.split(".")[0] in plan["left_out"]:
                raise ModuleNotFoundError("No module named %r" % name,
                                          name=name)
            return None

        @classmethod
        def find_module(cls, name, path=None):
            if name.split(".")[0] in plan["left_out"]:
                raise ImportError("No module named %r" % name)
            return None

    sys.meta_path.insert(0, SlimInitFinder)
    sys.meta_path.insert(0, LeftOutFinder)


def run_imports(imports):
    """Runs every import; returns [(module, reason)] for those that raised."""
    failed = []
    for module, fromlist in imports:
        try:
            __import__(module, None, None, fromlist, 0)
        except KeyboardInterrupt:
            raise
        except BaseException as e:
            try:
                reason = "%s: %s" % (type(e).__name__, e)
            except Exception:
                reason = type(e).__name__
            failed.append((module, reason))
    return failed


def _is_frozen(name):
    return _imp.is_frozen(name) if PY3 else imp.is_frozen(name)


def _extension_suffixes():
    if PY3:
        if hasattr(_imp, "extension_suffixes"):
            return tuple(_imp.extension_suffixes())
        return ()
    return tuple(s for s, _, kind in imp.get_suffixes()
                 if kind == imp.C_EXTENSION)


def _source_of(path):
    """2.7 names the bytecode cache it loaded a module from; the source
    beside it is what is packed."""
    if not PY3 and path.endswith((".pyc", ".pyo")):
        source = path[:-1]
        try:
            open(source, "rb").close()
            return source
        except (IOError, OSError):
            pass
    return path


def module_kind(name, module, path, suffixes):
    """How the module came to be: what decides whether and how it is
    packed."""
    spec = getattr(module, "__spec__", None)
    # importlib publishes the frozen _frozen_importlib under the name
    # importlib._bootstrap (with a source __file__): its __spec__ tells.
    origin = getattr(spec, "origin", None)
    if name in sys.builtin_module_names or origin == "built-in":
        return "builtin"
    if _is_frozen(name) or origin == "frozen":
        return "frozen"
    if not isinstance(path, str):
        return "nofile"
    if path.endswith(suffixes):
        return "extension"
    if hasattr(module, "__path__"):
        return "package"
    if path.endswith(".py"):
        return "source"
    return "other"


def loaded_modules():
    """[(name, kind, file)] of sys.modules, aliases left out."""
    suffixes = _extension_suffixes()
    loaded = []
    for name, module in list(sys.modules.items()):
        spec = getattr(module, "__spec__", None)
        # An alias (os.path, six's moved modules) has neither its key as
        # name nor a __spec__ of that name; an extension may name itself
        # differently (_decimal calls itself decimal) but was imported under
        # its key. 2.7 keeps None entries for relative imports that missed.
        if (getattr(module, "__name__", None) != name and
                getattr(spec, "name", None) != name):
            continue
        path = getattr(module, "__file__", None)
        if isinstance(path, str):
            path = _source_of(path)
        loaded.append((name, module_kind(name, module, path, suffixes),
                       path if isinstance(path, str) else ""))
    return loaded


def _field(text):
    return text.replace("\t", " ").replace("\n", " ").replace("\r", " ")


def write_result(result_path, loaded, failed):
    lines = ["loaded\t%s\t%s\t%s" % (name, kind, _field(path))
             for name, kind, path in loaded]
    lines += ["failed\t%s\t%s" % (module, _field(reason))
              for module, reason in failed]
    with open(result_path, "wb") as f:
        f.write(_encode("".join(line + "\n" for line in lines)))


def main(plan_path, result_path):
    plan = read_plan(plan_path)
    sys.path[:] = plan["path"]
    # Nothing is cached beside the sources (the slim inits live in the tree).
    sys.dont_write_bytecode = True
    install_finders(plan)
    failed = run_imports(plan["imports"])
    write_result(result_path, loaded_modules(), failed)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
