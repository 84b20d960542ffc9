"""Importers that serve `import` statements from the program's archives.

  registerImporterClasses -- installs the importers (once; later calls do
                             nothing)
  BuiltinImporter         -- modules built into the runtime
  PyCodeImporter          -- code modules and packages held in the archives
  ExtensionImporter       -- native extension files in the work directory
  TavkitImporter          -- path hook over the importers above, used when
                             the archives are searched after sys.path
  ModuleSpec              -- look-up record of ExtensionImporter

With the archives searched first, a name resolves to a built-in module, else
a module in the archives, else an extension file "dotted.name<suffix>" in
EXTENSION_PATH, else the runtime's own search of sys.path.

Modules the packager left out on purpose (imported by others only when
present) are listed in ABSENT_LIST_NAME, extracted into EXTENSION_PATH with
the archive. Their names, and the names under them, are answered as absent
before any importer or the sys.path search looks for them, in either search
order: a file of that name beside the executable never runs.

The archive access itself is native (`_tav_import`). The importers speak
both the find_module/load_module protocol and the find_spec/create_module/
exec_module protocol; the runtime uses the latter. Nothing outside the
built-in and frozen modules is importable before registration, so only
those are imported here.
"""

import sys

import pyerror
import tav_path
import _tav_import

_PY3 = sys.version_info[0] >= 3

if _PY3:
    import _imp
    import _frozen_importlib
    import _frozen_importlib_external
    _SpecBase = _frozen_importlib.ModuleSpec
    _lockImports = _imp.acquire_lock
    _unlockImports = _imp.release_lock
else:
    import imp
    _SpecBase = object
    _lockImports = imp.acquire_lock
    _unlockImports = imp.release_lock

__all__ = ["registerImporterClasses", "BuiltinImporter", "PyCodeImporter",
           "ExtensionImporter", "TavkitImporter", "ModuleSpec"]

SEARCH_ARCHIVES_FIRST = _tav_import.SEARCH_ARCHIVES_FIRST
CORE_MODULES_ARCHIVED = _tav_import.CORE_MODULES_ARCHIVED
APP_MODULES_ARCHIVED = _tav_import.APP_MODULES_ARCHIVED
C_EXTENSION_FILETYPE = _tav_import.C_EXTENSION_FILETYPE
EXTENSION_PATH = _tav_import.EXTENSION_PATH

# One name per line; written by tools/package.py under the same name.
ABSENT_LIST_NAME = "tav-absent.txt"
# A real list is a few names: anything beyond this is not read.
_ABSENT_LIST_LIMIT = 65536

# Importers searched through TavkitImporter when the archives come last.
_meta_path = []
__REGISTERED = False

sys.frozen = True
# Frames of the loading machinery say nothing about the failing module.
pyerror.ErrorObject._exclude_modules.append("tav_import")


# What the runtime itself raises for a module that does not exist.
try:
    _NotFound = ModuleNotFoundError
except NameError:  # major version 2
    _NotFound = ImportError


def _noModule(name, kind=ImportError):
    error = kind("No module named " + name)
    error.name = name
    return error


# An allocation of this size fails only when memory is all but exhausted:
# it is far more than loading any one module takes.
_PROBE_BYTES = 8 << 20


def _memoryFailure(name):
    """A MemoryError for the module name when memory is all but exhausted,
    else None.  The archive access reports a read or unmarshalling that
    ran out of memory as a missing module, a native module's loader a
    mapping that did as an ImportError, and the runtime may give a
    SystemError: a module that is there but could not be loaded then
    fails with what it was."""
    try:
        block = bytearray(_PROBE_BYTES)
    except MemoryError:
        return MemoryError("out of memory loading module " + name)
    del block
    return None


class _LoadingGuard(object):
    """Holds the import lock while a module loads.  A module whose loading
    raises leaves sys.modules, and the exception goes on with the
    traceback it was raised with; an ImportError or SystemError raised
    while memory is all but exhausted becomes a MemoryError."""

    def __init__(self, name):
        self.name = name

    def __enter__(self):
        _lockImports()
        return self

    def __exit__(self, kind, value, traceback):
        try:
            if kind is not None:
                sys.modules.pop(self.name, None)
                if issubclass(kind, (ImportError, SystemError)):
                    error = _memoryFailure(self.name)
                    if error is not None:
                        raise error
            return False
        finally:
            _unlockImports()


def _exeBase():
    """Base name of the executable: the root of archived modules' paths."""
    return tav_path.basename(sys.executable or "")


def _archivedName(name):
    """File name of an archived module before it is loaded: the executable's
    base name and the dotted name, dots turned into separators."""
    return _exeBase() + tav_path.sep + name.replace(".", tav_path.sep)


class ModuleSpec(_SpecBase):
    """Where ExtensionImporter found a module: name, loader and file."""

    cached = False
    has_location = True

    def __init__(self, name, loader, origin=None):
        if _PY3:
            _SpecBase.__init__(self, name, loader, origin=origin)
        self.name = name
        self.loader = loader
        self.origin = origin
        self.submodule_search_locations = None

    def __repr__(self):
        parts = ["name=%r" % (self.name,), "loader=%r" % (self.loader,)]
        if self.origin is not None:
            parts.append("origin=%r" % (self.origin,))
        return "%s(%s)" % (self.__class__.__name__, ", ".join(parts))

    def __eq__(self, other):
        try:
            return (self.name == other.name and self.loader == other.loader
                    and self.origin == other.origin)
        except AttributeError:
            return False

    def __ne__(self, other):
        return not self.__eq__(other)

    __hash__ = None


class _BaseImporter(object):
    """Common loading procedure and protocol defaults; finds nothing."""

    def find_module(self, name, path=None):
        return None

    def find_spec(self, name, path=None, target=None):
        if self.find_module(name, path) is None:
            return None
        return self._spec(name)

    def _spec(self, name):
        return _SpecBase(name, self)

    def load_module(self, name, path=None):
        """Loads `name` under the import lock; a module whose loading
        raises does not stay in sys.modules."""
        with _LoadingGuard(name):
            module = sys.modules.get(name)
            if module:
                return module
            return self._load_module(name, path)

    def _load_module(self, name, path=None):
        raise _noModule(name)

    def _loadBySpec(self, name):
        """Loading through the runtime's own ModuleSpec machinery, which calls
        create_module and exec_module below."""
        module_spec = self.find_spec(name)
        if module_spec is None:
            raise _noModule(name)
        return _frozen_importlib._load(module_spec)

    def create_module(self, module_spec):
        return None

    def exec_module(self, module):
        """Runs the module under the import lock; on failure the module
        leaves sys.modules and the exception goes on with its traceback."""
        with _LoadingGuard(module.__name__):
            self._exec_module(module)

    def _exec_module(self, module):
        raise _noModule(module.__name__)

    def is_package(self, name):
        return False

    def get_code(self, name):
        return None

    def get_source(self, name):
        return None


class BuiltinImporter(_BaseImporter):
    """Modules compiled into the runtime."""

    def find_module(self, name, path=None):
        if name in sys.builtin_module_names:
            return self
        return None

    def _spec(self, name):
        return _SpecBase(name, self, origin="built-in")

    def _load_module(self, name, path=None):
        if _PY3:
            return self._loadBySpec(name)
        return imp.init_builtin(name)

    def create_module(self, module_spec):
        return _imp.create_builtin(module_spec)

    def _exec_module(self, module):
        _imp.exec_builtin(module)


class PyCodeImporter(_BaseImporter):
    """Code modules and packages held in the archives."""

    def find_module(self, name, path=None):
        if _tav_import.hasModule(name):
            return self
        return None

    def _spec(self, name):
        module_spec = _SpecBase(name, self, origin=_archivedName(name),
                         is_package=bool(_tav_import.isPackage(name)))
        module_spec.has_location = True
        return module_spec

    def _load_module(self, name, path=None):
        module = _tav_import.createModule(name)
        if module is None:
            return None
        if _PY3 and getattr(module, "__spec__", None) is None:
            # Without a ModuleSpec, executing the code would invent a source
            # file loader for the module.
            module.__spec__ = self._spec(name)
            module.__loader__ = self
        if _tav_import.execModule(module.__name__, module.__file__) is None:
            return None
        return sys.modules.get(name) or module

    def create_module(self, module_spec):
        module = _tav_import.createModule(module_spec.name)
        if module is None:
            raise (_memoryFailure(module_spec.name) or
                   _noModule(module_spec.name))
        # The native side decides __file__ and __path__; the ModuleSpec follows.
        module_spec.origin = module.__file__
        if getattr(module, "__path__", None) is not None:
            module_spec.submodule_search_locations = list(module.__path__)
        return module

    def _exec_module(self, module):
        # Run under exec_module's guard, which turns this into a
        # MemoryError when memory is what ran out.
        if _tav_import.execModule(module.__name__, module.__file__) is None:
            raise _noModule(module.__name__)

    def is_package(self, name):
        if _tav_import.hasModule(name):
            return bool(_tav_import.isPackage(name))
        raise _noModule(name)

    def get_filename(self, name):
        module = sys.modules.get(name)
        if module is not None:
            return module.__file__
        if not _tav_import.hasModule(name):
            raise _noModule(name)
        return _archivedName(name)


class ExtensionImporter(_BaseImporter):
    """Native extension modules: the flat file "dotted.name<suffix>" in
    EXTENSION_PATH, the form in which the archives store them."""

    def find_spec(self, name, path=None, target=None):
        # A module name never names a directory.
        if "/" in name or "\\" in name:
            return None
        candidate = tav_path.join(EXTENSION_PATH, name + C_EXTENSION_FILETYPE)
        if tav_path.exists(candidate):
            return ModuleSpec(name, self, candidate)
        return None

    def find_module(self, name, path=None):
        if self.find_spec(name) is not None:
            return self
        return None

    def _load_module(self, name, path=None):
        if _PY3:
            return self._loadBySpec(name)
        module_spec = self.find_spec(name)
        if module_spec is None:
            raise _noModule(name)
        module = imp.load_dynamic(name, module_spec.origin)
        if module is not None:
            self._setFile(module)
        return module

    def create_module(self, module_spec):
        # The loader finds the init function from the last part of the
        # dotted name, so "pkg.mod.so" initialises as pkg.mod.
        loader = _frozen_importlib_external.ExtensionFileLoader(
            module_spec.name, module_spec.origin)
        try:
            return loader.create_module(module_spec)
        except ImportError:
            error = _memoryFailure(module_spec.name)
            if error is not None:
                raise error
            raise

    def _exec_module(self, module):
        _imp.exec_dynamic(module)
        self._setFile(module)

    def _setFile(self, module):
        module.__file__ = (_exeBase() + tav_path.sep + module.__name__
                           + C_EXTENSION_FILETYPE)

    def get_filename(self, name):
        module = sys.modules.get(name)
        if module is not None:
            return module.__file__
        module_spec = self.find_spec(name)
        if module_spec is not None:
            return module_spec.origin
        raise _noModule(name)


class _AbsentImporter(_BaseImporter):
    """Answers the left-out names, and the names under them, as absent."""

    def __init__(self, names):
        self._names = names

    def _isAbsent(self, name):
        return name.partition(".")[0] in self._names

    def find_spec(self, name, path=None, target=None):
        # Raising, rather than returning None, ends the import here: the
        # finders after this one never search for the name.
        if self._isAbsent(name):
            raise _noModule(name, _NotFound)
        return None

    def find_module(self, name, path=None):
        # The legacy protocol stops the search only with a loader, whose
        # _load_module then raises.
        if self._isAbsent(name):
            return self
        return None


def _readAbsentNames():
    """The names in ABSENT_LIST_NAME; none when the archive has no list."""
    try:
        stream = open(tav_path.join(EXTENSION_PATH, ABSENT_LIST_NAME), "rb")
        try:
            data = stream.read(_ABSENT_LIST_LIMIT)
        finally:
            stream.close()
    except (IOError, OSError, ValueError):
        return frozenset()
    if not isinstance(data, str):
        data = data.decode("ascii", "replace")
    return frozenset(line.strip() for line in data.splitlines()
                     if line.strip())


class TavkitImporter(_BaseImporter):
    """Path hook serving the archives' sys.path entries (the executable's
    path and packages' __path__ entries) through the importers of
    _meta_path."""

    def __init__(self, path_entry):
        base = _exeBase()
        accepted = False
        if isinstance(path_entry, str):
            accepted = (base != "" and path_entry.startswith(base)) or \
                path_entry == sys.executable
        if not accepted:
            raise ImportError("invalid import path")
        self._importer = None

    def find_module(self, name, path=None):
        self._importer = None
        for importer in _meta_path:
            if importer.find_module(name, path) is not None:
                self._importer = importer
                return self
        return None

    def find_spec(self, name, target=None):
        # The ModuleSpec names the importer that found the module, which then
        # creates and executes it.
        self._importer = None
        for importer in _meta_path:
            module_spec = importer.find_spec(name)
            if module_spec is not None:
                self._importer = importer
                return module_spec
        return None

    def load_module(self, name, path=None):
        if self._importer is not None:
            return self._importer.load_module(name)
        module = sys.modules.get(name)
        if module is not None:
            return module
        raise _noModule(name)

    def is_package(self, name):
        if self._importer is not None:
            return self._importer.is_package(name)
        module = sys.modules.get(name)
        if module is not None:
            return hasattr(module, "__path__")
        raise _noModule(name)

    def get_filename(self, name):
        module = sys.modules.get(name)
        if module is not None:
            return module.__file__
        if self._importer is not None:
            return self._importer.get_filename(name)
        raise _noModule(name)


def _installFirst(importers):
    """Puts the importers ahead of the runtime's sys.path search.

    The runtime's own path finder is itself an entry of sys.meta_path; the
    importers go right before it, so built-in and frozen modules still come
    first and the directories of sys.path last.
    """
    position = len(sys.meta_path)
    if _PY3:
        finder = _frozen_importlib_external.PathFinder
        for index in range(len(sys.meta_path)):
            if sys.meta_path[index] is finder:
                position = index
                break
    sys.meta_path[position:position] = importers


def registerImporterClasses():
    """Installs the archive importers; later calls change nothing."""
    global __REGISTERED
    if __REGISTERED:
        return
    archived = CORE_MODULES_ARCHIVED or APP_MODULES_ARCHIVED
    absent = _readAbsentNames()
    if absent:
        _installFirst([_AbsentImporter(absent)])
    if SEARCH_ARCHIVES_FIRST:
        importers = [BuiltinImporter()]
        if archived:
            importers.append(PyCodeImporter())
        importers.append(ExtensionImporter())
        _installFirst(importers)
    else:
        if archived:
            _meta_path.append(PyCodeImporter())
        _meta_path.append(ExtensionImporter())
        sys.path_hooks.append(TavkitImporter)
        sys.path.append(sys.executable)
        # A finder cached for the entry before the hook existed would hide
        # it.
        sys.path_importer_cache.pop(sys.executable, None)
    __REGISTERED = True
