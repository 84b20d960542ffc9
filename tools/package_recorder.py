"""Records which modules a set of imports loads (run by tools/package.py).

Usage: python3.11 -I -S package_recorder.py PLAN RESULT

PLAN is a marshalled dict:
  path      the module search path to use (replaces sys.path)
  imports   [(module, fromlist)], run in this order
  slim      {package: (slim init file, installed package directory)}
  left_out  top-level names that must look absent
RESULT receives a marshalled dict:
  loaded    [(name, kind, file)] for every module in sys.modules, kind one
            of builtin, frozen, nofile, extension, package, source, other
  failed    [(module, "Type: message")] for the imports that raised

It runs in a fresh interpreter with -I -S (no environment, no site, no
script directory on the path) and imports only modules that are built in
or already loaded before any of this code runs (sys, marshal, _imp, the
frozen import machinery), so what it reports is exactly what the plan's
imports loaded plus what the interpreter's own start-up loaded.
"""

import sys
import marshal
import _imp
import _frozen_importlib_external as _external


def read_plan(plan_path):
    with open(plan_path, "rb") as f:
        return marshal.loads(f.read())


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

    class LeftOutFinder(object):
        # What stays out of the archive is not importable here either, so
        # that modules which import it when present record their fallback.
        @classmethod
        def find_spec(cls, name, path=None, target=None):
            if name.split(".")[0] in plan["left_out"]:
                raise ModuleNotFoundError("No module named %r" % name,
                                          name=name)
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
            failed.append((module, "%s: %s" % (type(e).__name__, e)))
    return failed


def module_kind(name, module, suffixes):
    """How the module came to be: what decides whether and how it is
    packed."""
    path = getattr(module, "__file__", None)
    spec = getattr(module, "__spec__", None)
    # importlib publishes the frozen _frozen_importlib under the name
    # importlib._bootstrap (with a source __file__): its __spec__ tells.
    origin = getattr(spec, "origin", None)
    if name in sys.builtin_module_names or origin == "built-in":
        return "builtin"
    if _imp.is_frozen(name) or origin == "frozen":
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
    suffixes = ()
    if hasattr(_imp, "extension_suffixes"):
        suffixes = tuple(_imp.extension_suffixes())
    loaded = []
    for name, module in list(sys.modules.items()):
        spec = getattr(module, "__spec__", None)
        # An alias (os.path, six's moved modules) has neither its key as
        # name nor a __spec__ of that name; an extension may name itself
        # differently (_decimal calls itself decimal) but was imported under
        # its key.
        if (getattr(module, "__name__", None) != name and
                getattr(spec, "name", None) != name):
            continue
        path = getattr(module, "__file__", None)
        loaded.append((name, module_kind(name, module, suffixes),
                       path if isinstance(path, str) else ""))
    return loaded


def main(plan_path, result_path):
    plan = read_plan(plan_path)
    sys.path[:] = plan["path"]
    # Nothing is cached beside the sources (the slim inits live in the tree).
    sys.dont_write_bytecode = True
    install_finders(plan)
    failed = run_imports(plan["imports"])
    with open(result_path, "wb") as f:
        f.write(marshal.dumps({"loaded": loaded_modules(), "failed": failed}))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
