"""Loads the embedded framework modules from their sources for testing.

The launcher executes each module as a fresh module entered in sys.modules
under its name, with __file__ "skiffrelay/<name>" and the code compiled with
the module name as file name; `load` does the same. `Sandbox` keeps every
change the modules make to the interpreter (sys.modules, sys.meta_path,
sys.path, builtins.help, linecache, the current directory...) out of the
other tests.
"""

import builtins
import linecache
import os
import sys
import types

FRAMEWORK_DIR = os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "embedded", "framework")


def source(name):
    with open(os.path.join(FRAMEWORK_DIR, name), encoding="utf-8") as f:
        return f.read()


def load(name, text=None):
    """Executes framework module `name` the way the launcher does."""
    if text is None:
        text = source(name + ".py")
    code = compile(text, name, "exec")
    module = types.ModuleType(name)
    module.__file__ = "skiffrelay/" + name.replace(".", "/")
    sys.modules[name] = module
    try:
        exec(code, module.__dict__)
    except BaseException:
        sys.modules.pop(name, None)
        raise
    return module


def load_app_info(app_info):
    """_tav_app_info from its template, filled with repr(app_info)."""
    text = source("_tav_app_info.py.in").replace("@APP_INFO@", repr(app_info))
    return load("_tav_app_info", text)


def fake_nt():
    """Stand-in for the Windows built-in `nt`, backed by this system's
    primitives."""
    nt = types.ModuleType("nt")
    for name in ("environ", "listdir", "stat", "lstat", "getcwd", "chdir",
                 "chmod", "remove", "rename"):
        setattr(nt, name, getattr(os, name))
    nt.error = OSError
    return nt


def fake_tav_import(sources, packages=(), extension_path="/nonexistent",
                    search_first=1):
    """Stand-in for the native module: `sources` maps archived module names
    to their source text, `packages` names the package entries.

    createModule and execModule follow the native rules: file names
    "skiffrelay/<dotted name with / for .>", packages get "/__init__" and a
    one-entry __path__, and a module whose code raises leaves sys.modules.
    `executed` records every execModule call.
    """
    packages = set(packages)
    module = types.ModuleType("_tav_import")
    module.SEARCH_ARCHIVES_FIRST = search_first
    module.MODULE_TYPE_CORE = 1
    module.MODULE_TYPE_APP = 2
    module.MODULE_TYPE_EXTENSION = 4
    module.C_EXTENSION_FILETYPE = ".so"
    module.CORE_MODULE_PATH = "/nonexistent/modules.qar"
    module.APP_MODULE_PATH = "/nonexistent/modules.qar"
    module.EXTENSION_PATH = extension_path
    module.CORE_MODULES_ARCHIVED = 1
    module.APP_MODULES_ARCHIVED = 1
    module.EXTENSIONS_ARCHIVED = 1
    module.executed = []

    def createModule(name):
        file_name = "skiffrelay/" + name.replace(".", "/")
        package_dir = None
        if name in packages:
            package_dir = file_name
            file_name += "/__init__"
            package = name
        else:
            package = name.rpartition(".")[0]
            if package not in packages:
                package = ""
        target = sys.modules.get(name)
        if target is None:
            target = types.ModuleType(name)
            sys.modules[name] = target
        target.__file__ = file_name
        if package:
            target.__package__ = package
        if package_dir:
            target.__path__ = [package_dir]
        return target

    def execModule(name, path):
        module.executed.append(name)
        text = sources.get(name)
        if text is None:
            return None
        code = compile(text, path, "exec")
        target = sys.modules.get(name)
        if target is None:
            target = types.ModuleType(name)
            sys.modules[name] = target
        target.__file__ = path
        try:
            exec(code, target.__dict__)
        except BaseException:
            sys.modules.pop(name, None)
            raise
        return sys.modules.get(name)

    module.createModule = createModule
    module.execModule = execModule
    module.hasModule = lambda name: 1 if name in sources else 0
    module.isPackage = lambda name: 1 if name in packages else 0
    return module


class Sandbox(object):
    """Context manager restoring the interpreter state the framework
    modules change."""

    def __enter__(self):
        self._modules = dict(sys.modules)
        self._meta_path = list(sys.meta_path)
        self._path_hooks = list(sys.path_hooks)
        self._path = list(sys.path)
        self._importer_cache = dict(sys.path_importer_cache)
        self._executable = sys.executable
        self._builtin_names = sys.builtin_module_names
        self._frozen = sys.__dict__.get("frozen", self)
        self._help = builtins.__dict__.get("help", self)
        self._getline = linecache.getline
        self._linecache_private = linecache.__dict__.get("_getline", self)
        self._cwd = os.getcwd()
        return self

    def __exit__(self, *exc):
        os.chdir(self._cwd)
        sys.meta_path[:] = self._meta_path
        sys.path_hooks[:] = self._path_hooks
        sys.path[:] = self._path
        sys.path_importer_cache.clear()
        sys.path_importer_cache.update(self._importer_cache)
        sys.executable = self._executable
        sys.builtin_module_names = self._builtin_names
        for name in list(sys.modules):
            if name not in self._modules:
                del sys.modules[name]
        sys.modules.update(self._modules)
        self._restore(sys.__dict__, "frozen", self._frozen)
        self._restore(builtins.__dict__, "help", self._help)
        linecache.getline = self._getline
        self._restore(linecache.__dict__, "_getline", self._linecache_private)
        return False

    def _restore(self, namespace, key, value):
        if value is self:
            namespace.pop(key, None)
        else:
            namespace[key] = value
