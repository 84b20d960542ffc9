#!/usr/bin/python3.11
"""Packs the two archives that sit beside a frozen program.

  bin.qar      the runtime library (libpython3.11.so.1.0, or
               libpython2.7.so.1.0 of a 2.7 target), nothing else: the
               libraries it needs beyond it (libc, libm, libz, libexpat) are
               base system libraries.
  modules.qar  the compiled code of every module the embedded scripts use,
               the extension modules among them, and "tav_init.zip".

Members of modules.qar:

  NAME             marshal.dumps(code) of module NAME (no .pyc header; the
                   application's own modules beside the main script too),
                   compiled with the file name PREFIX/NAME-as-path, the form
                   the runtime gives the module's __file__;
  NAME.__init__    the same for package NAME;
  NAME.so          extension module NAME, the shared object as it is;
  tav_init.zip     the whole `encodings` package as .pyc files (and
                   `codecs`, which it imports, where the runtime does not
                   carry it frozen: 2.7): the runtime imports it inside
                   Py_Initialize, before the archive importers exist, so
                   the launcher puts this zip on the initial path and
                   zipimport serves it (2.7: under lib/python2.7/ in the
                   zip, the folder of its home that 2.7 searches; the
                   launcher makes the zip itself that home);
  tav-absent.txt   the LEFT_OUT names this build left out, ASCII, one per
                   line, each ending in "\n" (only when there are any):
                   the archive importer answers them as absent without
                   searching the file system for them. The hyphen keeps the
                   name from ever being taken for a module.

The target runtime: this tool runs on the build machine's Python 3.11; the
runtime the program ships is --target-python (default: the interpreter
running this tool), which compiles every module, records the closure and
names its runtime library and extension modules (tools/target_tool.py,
tools/package_recorder.py), so the marshal format and the frozen and
built-in module sets are the runtime's own.

Which modules: the closure is recorded, not guessed. A fresh target
interpreter running tools/package_recorder.py runs every import statement
found in the embedded scripts and of the application modules beside the
main script,
at any depth (imports inside functions run at run time too; branches on the
Python version or platform that the runtime never takes are left out), plus
EXTRA_MODULES, with the main script's folder first on its path (as for the
script run by itself), and reports sys.modules. modulefinder
instead follows every import statement of every module, the many that never
run included, yet misses imports made through a module's own importer
(six.moves): for skiffrelay it finds twice the code and still lacks
http.cookies. Built-in and frozen modules of the runtime are skipped; so is
`encodings`, which tav_init.zip carries.

Two refinements keep the closure to what a run uses, since every member is
extracted and most are imported on every start: a package whose own init
imports all its submodules at once ships a slim init instead (SLIM_INITS,
tools/slim_inits/: M2Crypto's init alone drags in about eighty modules of
email, http, urllib and xmlrpc), and a module that the closure imports only
when present, for something the program never uses, is left out (LEFT_OUT:
ftplib's optional ssl) and listed in tav-absent.txt, so that the run does
not look for it elsewhere either (a file of that name beside the executable
never runs).

Every member of both archives is decoded and written to disk on every run,
so the archive kind is start-up time. bench/archive_kinds.py measures both
kinds; the defaults below follow its figures (stored extracts faster for
both archives: a copy, against inflating several megabytes per run).

The output is deterministic: members sorted by name, zip entries dated
1980-01-01, .pyc headers without time stamps.

Usage (run by cmake/packaging.cmake):
  package.py --qar QAR --out-dir DIR --work-dir DIR --main SCRIPT
             [--embedded FILE...] [--extra MODULE...] [--depfile FILE]
"""

import argparse
import ast
import collections
import hashlib
import io
import os
import shutil
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import target_tool  # noqa: E402 (beside this file)

# Modules a run imports that no import statement of the embedded scripts
# reaches:
#   encodings.idna   an FTPS session with M2Crypto loads it (seen by
#                    recording sys.modules around a real session; nothing
#                    else was new); it comes from tav_init.zip, but what it
#                    imports does not: stringprep and unicodedata, and on
#                    2.7 array, which re loads while compiling idna's
#                    pattern;
#   multiprocessing  child mode ends with "from multiprocessing import
#                    freeze_support", run by the launcher itself.
EXTRA_MODULES = ["encodings.idna", "multiprocessing"]

# Package inits shipped in a slim form (tools/slim_inits/NAME.py): the
# original imports every submodule of its package at once, most of which a
# run never uses, and each of them is extracted and imported on every
# start. The slim init keeps the package's names and side effects and loads
# submodules on first use. It replaces the original only when the installed
# init is byte for byte the one it was written for (its SHA-256 below);
# otherwise the original ships, with the modules it then needs besides.
# M2Crypto 0.38 installs the same init for 2.7; there, without a module
# __getattr__, a submodule is an attribute once imported, which is how
# the program and M2Crypto's own modules reach every one they use.
SLIM_INITS = {
    "M2Crypto": {
        "sha256": "fd29670c00376b4f082d0b1130efdbaa0ccccc897ae1ab81ec18f35ccac25bfa",
        # The original's AuthCookie imports it through six's own importer,
        # which the recorder cannot see.
        "extra_with_original": ["http.cookies"],
    },
}
# Modules that a module of the closure imports only when they are present
# (inside "try: ... except ImportError"), for something the program never
# uses: they stay out of the archive, so the run neither extracts nor
# imports them and the importing module takes its fallback; ABSENT_LIST_NAME
# names them for the importer, which answers them as absent. One stays in
# when the scripts or --extra name it themselves.
LEFT_OUT = {
    # ftplib defines its own FTP_TLS on top of it; the program's TLS is
    # M2Crypto's. Importing ssl (and loading _ssl) is a tenth of start-up.
    "ssl": "ftplib's optional FTP_TLS",
    # 2.7's socket builds its old socket.ssl() on it.
    "_ssl": "socket's optional ssl()",
}
# LEFT_OUT names that only one runtime version imports (major version):
# only its builds leave them out and list them.
LEFT_OUT_VERSIONS = {"_ssl": 2}
# LEFT_OUT names that another one needs: they stay in when it does.
LEFT_OUT_NEEDED_BY = {"_ssl": "ssl"}

SLIM_INIT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                             "slim_inits")

KIND_STORED = "stored"
KIND_ZLIB = "zlib"
# Chosen by bench/archive_kinds.py (see its figures): stored is faster to
# extract for both archives.
DEFAULT_BIN_KIND = KIND_STORED
DEFAULT_MODULES_KIND = KIND_STORED

INIT_ZIP_NAME = "tav_init.zip"
# Read by embedded/framework/tav_import.py under the same name.
ABSENT_LIST_NAME = "tav-absent.txt"
INIT_PACKAGE = "encodings"
# Modules the init package imports at start-up that go into the zip beside
# it when the runtime has them as source files (2.7), not frozen (3.11).
INIT_COMPANIONS = ("codecs",)
ZIP_DATE = (1980, 1, 1, 0, 0, 0)

# Records the closure in a fresh interpreter (see its docstring).
RECORDER = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                        "package_recorder.py")


class Target(object):
    """The runtime the program ships: its interpreter (None: the one
    running this tool) and its facts (target_tool.info())."""

    def __init__(self, python=None):
        self.python = None if target_tool.is_self(python) else python
        try:
            self.facts = target_tool.target_info(self.python)
        except target_tool.TargetError as e:
            raise PackageError(str(e))
        self.major = self.facts["version"][0]
        # A Windows runtime (run under wine): backslash file names, .pyd
        # extension modules, DLLs beside its runtime library.
        self.windows = self.facts["os_name"] == "nt"
        self.sep = "\\" if self.windows else "/"
        self.extension_suffix = self.facts.get("extension_suffix", ".so")

    def executable(self):
        return self.python or sys.executable


# One member of an archive:
#   name     the member name;
#   content  its bytes, or None for the file `source` as it is;
#   source   the file it comes from (for generated content, what it was
#            made from);
#   role     runtime, source, package, extension, zip (tav_init.zip) or
#            absent (the list of left-out names).
Member = collections.namedtuple("Member", "name content source role")

# Members whose content the packager makes itself: not build inputs.
GENERATED_ROLES = ("zip", "absent")


class PackageError(Exception):
    """A failure that stops the build with one message."""


_UNKNOWN = object()


class _BranchFolder(object):
    """Folds the tests of version and platform branches, so that imports
    under a branch the runtime never takes (the other version's or the
    Windows side of a framework module) are left out; the runtime is the
    target that `facts` describes (target_tool.info(); by default this
    interpreter). Knows constants, sys.version_info, sys.platform, os.name,
    module-level names bound to such expressions, subscripts, comparisons,
    and/or/not; anything else is unknown, and both sides of an unknown
    branch are scanned."""

    def __init__(self, facts=None):
        self.names = {}
        if facts is None:
            self.known = {("sys", "version_info"): tuple(sys.version_info),
                          ("sys", "platform"): sys.platform,
                          ("os", "name"): os.name}
        else:
            self.known = {("sys", "version_info"): tuple(facts["version"]),
                          ("sys", "platform"): facts["platform"],
                          ("os", "name"): facts["os_name"]}

    def fold(self, node):
        if isinstance(node, ast.Constant):
            return node.value
        if isinstance(node, ast.Tuple):
            items = [self.fold(e) for e in node.elts]
            return _UNKNOWN if _UNKNOWN in items else tuple(items)
        if isinstance(node, ast.Name):
            return self.names.get(node.id, _UNKNOWN)
        if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name):
            return self.known.get((node.value.id, node.attr), _UNKNOWN)
        if isinstance(node, ast.Subscript):
            value, index = self.fold(node.value), self.fold(node.slice)
            if value is _UNKNOWN or index is _UNKNOWN:
                return _UNKNOWN
            try:
                return value[index]
            except (TypeError, IndexError, KeyError):
                return _UNKNOWN
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.Not):
            value = self.fold(node.operand)
            return _UNKNOWN if value is _UNKNOWN else not value
        if isinstance(node, ast.BoolOp):
            values = [self.fold(v) for v in node.values]
            if _UNKNOWN in values:
                return _UNKNOWN
            return all(values) if isinstance(node.op, ast.And) else any(values)
        if isinstance(node, ast.Compare):
            return self._compare(node)
        return _UNKNOWN

    def _compare(self, node):
        ops = {ast.Eq: lambda a, b: a == b, ast.NotEq: lambda a, b: a != b,
               ast.Lt: lambda a, b: a < b, ast.LtE: lambda a, b: a <= b,
               ast.Gt: lambda a, b: a > b, ast.GtE: lambda a, b: a >= b,
               ast.In: lambda a, b: a in b, ast.NotIn: lambda a, b: a not in b}
        left = self.fold(node.left)
        for op, right_node in zip(node.ops, node.comparators):
            right = self.fold(right_node)
            if left is _UNKNOWN or right is _UNKNOWN or type(op) not in ops:
                return _UNKNOWN
            try:
                if not ops[type(op)](left, right):
                    return False
            except TypeError:
                return _UNKNOWN
            left = right
        return True


# Exceptions whose handler makes the imports of its try block optional.
_IMPORT_FAILURES = ("ImportError", "ModuleNotFoundError", "Exception",
                    "BaseException")


def _catches_import_failure(handler):
    """Whether an except clause catches a failed import."""
    if handler.type is None:
        return True
    names = (handler.type.elts if isinstance(handler.type, ast.Tuple)
             else [handler.type])
    return any(isinstance(n, ast.Name) and n.id in _IMPORT_FAILURES
               for n in names)


def scan_imports(path, optional=None, facts=None):
    """Absolute imports of one script at any depth (imports inside functions
    run at run time too), except under branches the runtime does not take:
    [(module, fromlist)]. When `optional` (a dict) is given, each module
    found maps to whether every import of it lies inside a try block whose
    handler catches a failed import (the script can do without it); an
    entry already there stays true only if this script's imports are all
    guarded too. `facts`: the target runtime (see _BranchFolder)."""
    try:
        with open(path, "rb") as f:
            tree = ast.parse(f.read(), filename=path)
    except (OSError, SyntaxError, ValueError) as e:
        raise PackageError("cannot read the imports of %s: %s" % (path, e))
    folder = _BranchFolder(facts)
    found = []

    def note(module, guarded):
        found.append(module)
        if optional is not None:
            optional[module[0]] = optional.get(module[0], True) and guarded

    def visit(node, module_level, guarded=False):
        if isinstance(node, ast.Import):
            for alias in node.names:
                note((alias.name, ()), guarded)
        elif isinstance(node, ast.ImportFrom):
            if node.level == 0 and node.module:
                note((node.module, tuple(a.name for a in node.names)),
                     guarded)
        elif isinstance(node, ast.Try) and any(
                _catches_import_failure(h) for h in node.handlers):
            for child in node.body:
                visit(child, module_level, True)
            for child in node.handlers + node.orelse + node.finalbody:
                visit(child, module_level, guarded)
            return
        elif isinstance(node, ast.If):
            taken = folder.fold(node.test)
            visit(node.test, False, guarded)
            if taken is _UNKNOWN or taken:
                for child in node.body:
                    visit(child, module_level, guarded)
            if taken is _UNKNOWN or not taken:
                for child in node.orelse:
                    visit(child, module_level, guarded)
            return
        elif (module_level and isinstance(node, ast.Assign)
              and len(node.targets) == 1
              and isinstance(node.targets[0], ast.Name)):
            folder.names[node.targets[0].id] = folder.fold(node.value)
        inner = module_level and isinstance(node, (ast.Module, ast.Try))
        for child in ast.iter_child_nodes(node):
            visit(child, inner, guarded)

    visit(tree, True)
    return found


def module_name_of(path):
    name = os.path.basename(path)
    for suffix in (".in", ".py"):
        if name.endswith(suffix):
            name = name[:-len(suffix)]
    return name


def app_modules(main_script):
    """The application's own modules: the .py files beside the main script
    (the script itself aside). Packed like any other module that the
    scripts import, under the same file-name prefix."""
    folder = os.path.dirname(os.path.abspath(main_script))
    main = module_name_of(main_script)
    return sorted(os.path.join(folder, f) for f in os.listdir(folder)
                  if f.endswith(".py") and module_name_of(f) != main)


def search_path(target):
    """The target's module path without site's extras, plus its site
    directories (where M2Crypto lives)."""
    return list(target.facts["search_path"])


def choose_slim_inits(path):
    """{package: (slim init, installed package dir)} for the SLIM_INITS whose
    installed init is the expected one, and notes on those left out."""
    chosen, notes = {}, []
    for name, entry in sorted(SLIM_INITS.items()):
        for directory in path:
            init = os.path.join(directory, name, "__init__.py")
            if os.path.isfile(init):
                break
        else:
            continue  # not installed: nothing to replace
        with open(init, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        if digest != entry["sha256"]:
            notes.append("%s: installed init %s differs from the one the "
                         "slim init was written for; shipping it unchanged"
                         % (name, init))
            continue
        chosen[name] = (os.path.join(SLIM_INIT_DIR, name + ".py"),
                        os.path.dirname(init))
    return chosen, notes


def choose_left_out(imports, target):
    """The LEFT_OUT modules of the target's version that no import of the
    scripts names itself."""
    named = {module.split(".")[0] for module, _ in imports}
    left_out = [m for m in LEFT_OUT if m not in named and
                LEFT_OUT_VERSIONS.get(m, target.major) == target.major]
    return sorted(m for m in left_out
                  if LEFT_OUT_NEEDED_BY.get(m, m) in left_out)


def check_recorder():
    """The recorder compiles (a syntax error stops the build with its
    message, not with a status of the child interpreter)."""
    try:
        with open(RECORDER, "rb") as f:
            compile(f.read(), RECORDER, "exec", dont_inherit=True)
    except (OSError, SyntaxError, ValueError) as e:
        raise PackageError("cannot compile the recorder %s: %s" % (RECORDER, e))


def _plan_field(text):
    if "\t" in text or "\n" in text or "\r" in text:
        raise PackageError("cannot hand %r to the recorder: a tab or a line "
                           "break in it" % text)
    return text


def write_plan(plan_path, path, imports, slim, left_out):
    """The recorder's plan, in its text form (see package_recorder.py)."""
    lines = ["path\t" + _plan_field(p) for p in path]
    for module, fromlist in imports:
        line = "import\t" + _plan_field(module)
        if fromlist:
            line += "\t" + ",".join(_plan_field(n) for n in fromlist)
        lines.append(line)
    for name in sorted(slim):
        init, package_dir = slim[name]
        lines.append("slim\t%s\t%s\t%s" % (name, _plan_field(init),
                                            _plan_field(package_dir)))
    lines += ["left_out\t" + name for name in left_out]
    with open(plan_path, "wb") as f:
        f.write("".join(line + "\n" for line in lines).encode(
            "utf-8", "surrogateescape"))


def read_result(result_path, facts=None):
    """(loaded, failed) from the recorder's result; `facts`: the target's,
    whose file names are given as this system names them."""
    loaded, failed = [], []
    with open(result_path, "rb") as f:
        text = f.read().decode("utf-8", "surrogateescape")
    for line in text.split("\n"):
        fields = line.split("\t")
        if fields[0] == "loaded" and len(fields) == 4:
            name, kind, path = fields[1:]
            if facts is not None and path:
                path = target_tool.host_path(facts, path)
            loaded.append((name, kind, path))
        elif fields[0] == "failed" and len(fields) == 3:
            failed.append((fields[1], fields[2]))
        elif line:
            raise PackageError("%s: unexpected line %r" % (result_path, line))
    return loaded, failed


def record_closure(imports, work_dir, slim, left_out, app_dir, target):
    """Runs the imports in a fresh target interpreter, with app_dir (the
    main script's folder) first on the path; returns (loaded, failed)."""
    check_recorder()
    plan_path = os.path.join(work_dir, "closure_plan.txt")
    result_path = os.path.join(work_dir, "closure_result.txt")
    write_plan(plan_path, [app_dir] + search_path(target), imports, slim,
               left_out)
    if os.path.exists(result_path):
        os.remove(result_path)
    # No environment, no site, no script folder on the path (2.7 has no
    # -I; -B: nothing written beside the sources).
    flags = ["-I", "-S"] if target.major >= 3 else ["-E", "-s", "-S", "-B"]
    proc = subprocess.run(
        [target.executable()] + flags + [RECORDER, plan_path, result_path],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, timeout=300)
    if proc.returncode != 0 or not os.path.exists(result_path):
        raise PackageError("recording the imports failed (status %d): %s" %
                           (proc.returncode,
                            proc.stderr.decode("utf-8", "replace").strip()))
    return read_result(result_path, target.facts)


def code_file_name(prefix, name, is_package, sep="/"):
    """The file name a module's code carries: the runtime's __file__ form
    (sep: the target's path separator)."""
    path = prefix + sep + name.replace(".", sep)
    return path + sep + "__init__" if is_package else path


def compile_sources(items, target):
    """[(source file, code file name)] -> the marshalled code objects,
    compiled by the target runtime."""
    sources = []
    for path, file_name in items:
        try:
            with open(path, "rb") as f:
                # As bytes: each code object gets a file name string of its
                # own, referred to by nothing else, as when every module was
                # compiled on its own (see target_tool.compile_sources).
                sources.append((f.read(), file_name.encode("utf-8")))
        except OSError as e:
            raise PackageError("cannot compile %s: %s" % (path, e))
    try:
        codes, errors = target_tool.compile_sources(target.python, sources)
    except target_tool.TargetError as e:
        raise PackageError(str(e))
    for index in sorted(errors):
        raise PackageError("cannot compile %s: %s" % (items[index][0],
                                                      errors[index]))
    return codes


def package_modules(package_dir):
    """[(module, source file, is_package)] of every module of the package
    in package_dir, subpackages included, in a fixed order."""
    found = []
    for root, dirs, files in os.walk(package_dir):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for file_name in sorted(files):
            if not file_name.endswith(".py"):
                continue
            full = os.path.join(root, file_name)
            rel = os.path.relpath(full, os.path.dirname(package_dir))
            module = rel[:-3].replace(os.sep, ".")
            is_package = module.endswith(".__init__")
            if is_package:
                module = module[:-len(".__init__")]
            found.append((module, full, is_package))
    return found


def build_init_zip(package_dir, prefix, target, companions=()):
    """The whole package as .pyc files in a zip, deterministic, with the
    companion modules [(name, source file)] beside it.

    The .pyc header is the target's: its magic number, then zeros (the time
    stamp, and on 3.x the flags word, time-stamp form, and the size):
    zipimport checks those only against a source file in the same zip, and
    there is none."""
    header = (bytes.fromhex(target.facts["magic"]) +
              b"\0" * (target.facts["pyc_header_size"] - 4))
    items = []
    for module, full, is_package in package_modules(package_dir):
        rel = os.path.relpath(full, os.path.dirname(package_dir))
        items.append((rel[:-3].replace(os.sep, "/") + ".pyc", full,
                      code_file_name(prefix, module, is_package, target.sep)))
    for name, path in companions:
        items.append((name + ".pyc", path,
                      code_file_name(prefix, name, False, target.sep)))
    codes = compile_sources([(full, file_name)
                             for _, full, file_name in items], target)
    # 2.7 sets its path from a home, which the launcher makes this zip:
    # the modules go into the zip's lib/python2.7/, where 2.7 looks.
    folder = "lib/python2.7/" if target.major == 2 else ""
    entries = sorted((folder + arcname, header + code)
                     for (arcname, _, _), code in zip(items, codes))
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as zf:
        for arcname, data in entries:
            info = zipfile.ZipInfo(arcname, date_time=ZIP_DATE)
            # Stored: the zip is written out on every run and only a few of
            # its modules are read, so no inflating on either side.
            info.compress_type = zipfile.ZIP_STORED
            info.external_attr = 0o644 << 16
            zf.writestr(info, data)
    return buffer.getvalue(), len(entries)


def check_runtime_library(path):
    """The runtime library must exist and every library it needs resolve
    on this system (they are base system libraries, not shipped)."""
    if not os.path.isfile(path):
        raise PackageError("runtime library %s not found" % path)
    try:
        out = subprocess.run(["ldd", path], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, timeout=60).stdout
    except (OSError, subprocess.SubprocessError):
        return []  # no ldd: nothing to check with
    needed = []
    for line in out.decode("utf-8", "replace").splitlines():
        line = line.strip()
        if "not found" in line:
            raise PackageError("runtime library needs %s" % line)
        if "=>" in line:
            needed.append(line.split("=>")[0].strip())
    return needed


def pe_imports(path):
    """The DLL names a Windows program or library imports (its import
    directory), lower-case, in order."""
    import struct
    try:
        with open(path, "rb") as f:
            data = f.read()
        pe = struct.unpack_from("<I", data, 0x3c)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE header")
        sections, = struct.unpack_from("<H", data, pe + 6)
        optional_size, = struct.unpack_from("<H", data, pe + 20)
        optional = pe + 24
        magic, = struct.unpack_from("<H", data, optional)
        # The import directory is the second data directory.
        import_rva, = struct.unpack_from(
            "<I", data, optional + (96 if magic == 0x10b else 112) + 8)
        table = optional + optional_size

        def offset(rva):
            for i in range(sections):
                size, address, raw_size, raw = struct.unpack_from(
                    "<IIII", data, table + 40 * i + 8)
                if address <= rva < address + max(size, raw_size):
                    return rva - address + raw
            raise ValueError("address %#x in no section" % rva)

        names = []
        position = offset(import_rva) if import_rva else None
        while position is not None:
            entry = struct.unpack_from("<5I", data, position)
            if not any(entry):
                break
            start = offset(entry[3])
            names.append(data[start:data.index(b"\0", start)].decode(
                "ascii").lower())
            position += 20
        return names
    except (OSError, ValueError, struct.error) as e:
        raise PackageError("cannot read the imports of %s: %s" % (path, e))


def windows_libraries(runtime_library, members):
    """The DLLs beside a Windows runtime library that it or the extension
    modules among `members` need, directly or through each other (OpenSSL's
    for M2Crypto): they go into bin.qar, which the launcher extracts into
    the work directory at the front of PATH. Also the names needed from
    Windows itself (its system DLLs, and MSVCR90.dll of the Visual C++ 2008
    runtime)."""
    folder = os.path.dirname(runtime_library)
    present = {n.lower(): n for n in os.listdir(folder)
               if n.lower().endswith(".dll")}
    own = os.path.basename(runtime_library).lower()
    queue = [runtime_library] + [m.source for m in members
                                 if m.role == "extension"]
    libraries, system, seen = [], set(), {own}
    while queue:
        for dll in pe_imports(queue.pop(0)):
            if dll in seen:
                continue
            seen.add(dll)
            if dll in present:
                libraries.append(os.path.join(folder, present[dll]))
                queue.append(libraries[-1])
            else:
                system.add(dll)
    return sorted(libraries), sorted(system)


def write_archive(qar, archive_path, kind, members, staging_dir):
    """Writes `members` (sorted by name) with qar; content given as bytes is
    staged as a file first. Returns the archive's size."""
    if os.path.isdir(staging_dir):
        shutil.rmtree(staging_dir)
    os.makedirs(staging_dir)
    args = [qar, "create"]
    if kind == KIND_STORED:
        args.append("--stored")
    args.append(archive_path)
    for member in members:
        source = member.source
        if member.content is not None:
            source = os.path.join(staging_dir, member.name)
            with open(source, "wb") as f:
                f.write(member.content)
        args.append(member.name + "=" + source)
    proc = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=300)
    if proc.returncode != 0:
        raise PackageError("qar create %s failed: %s" %
                           (archive_path,
                            proc.stderr.decode("utf-8", "replace").strip()))
    return os.path.getsize(archive_path)


def init_companions(loaded):
    """[(name, source file)] of the INIT_COMPANIONS that the target loads
    from source files: they go into tav_init.zip."""
    return sorted((name, path) for name, kind, path in loaded
                  if name in INIT_COMPANIONS and kind == "source")


def collect_modules(loaded, skip, prefix, target):
    """Members of modules.qar from the recorded modules, and the names of
    the modules made at run time (no file to pack)."""
    members = []
    synthetic = []
    to_compile = []
    zipped = {name for name, _ in init_companions(loaded)}
    if target.windows:
        zipped = set()  # codecs, which encodings imports, from here too
    for name, kind, path in sorted(loaded):
        if name == "__main__" or name in skip:
            continue
        if (name == INIT_PACKAGE or name.startswith(INIT_PACKAGE + ".") or
                name in zipped):
            # In tav_init.zip. On Windows 2.7 starts without importing the
            # package and imports it once the archive importers exist: the
            # whole package (mbcs, the code pages) is in the archive too,
            # below.
            continue
        if kind in ("builtin", "frozen"):
            continue
        if kind == "nofile":
            synthetic.append(name)  # made at run time (six.moves, typing.io)
            continue
        if kind == "extension":
            members.append(Member(name + target.extension_suffix, None, path,
                                  "extension"))
        elif kind in ("package", "source"):
            is_package = kind == "package"
            member = name + ".__init__" if is_package else name
            to_compile.append((member, path, kind,
                               code_file_name(prefix, name, is_package,
                                              target.sep)))
        else:
            raise PackageError("module %s comes from %s, which cannot be "
                               "packed" % (name, path))
    if target.windows:
        for name, path, is_package in package_modules(
                init_package_dir(loaded)):
            to_compile.append((name + ".__init__" if is_package else name,
                               path, "package" if is_package else "source",
                               code_file_name(prefix, name, is_package,
                                              target.sep)))
    codes = compile_sources([(path, file_name)
                             for _, path, _, file_name in to_compile], target)
    for (member, path, kind, _), code in zip(to_compile, codes):
        members.append(Member(member, code, path, kind))
    members.sort()
    return members, synthetic


def init_package_dir(loaded):
    """The folder of the INIT_PACKAGE the target loaded."""
    for name, kind, path in loaded:
        if name == INIT_PACKAGE:
            return os.path.dirname(path)
    raise PackageError("the target interpreter did not load %s"
                       % INIT_PACKAGE)


def init_zip_member(loaded, prefix, target):
    """The tav_init.zip member and its count of .pyc files."""
    init_dir = init_package_dir(loaded)
    init_zip, init_count = build_init_zip(init_dir, prefix, target,
                                          init_companions(loaded))
    return Member(INIT_ZIP_NAME, init_zip, init_dir, "zip"), init_count


def absent_list_member(left_out):
    """The list of left-out names, or None when nothing was left out (a
    member cannot be empty)."""
    if not left_out:
        return None
    text = "".join(name + "\n" for name in sorted(left_out))
    return Member(ABSENT_LIST_NAME, text.encode("ascii"),
                  os.path.abspath(__file__), "absent")


def content_size(member):
    if member.content is not None:
        return len(member.content)
    return os.path.getsize(member.source)


def write_manifest(path, archives):
    """One line per member, for inspection and the tests:
    archive, name, role, content size, source (TAB-separated)."""
    with open(path, "w") as f:
        for archive, members in archives:
            for m in members:
                f.write("%s\t%s\t%s\t%d\t%s\n" %
                        (archive, m.name, m.role, content_size(m), m.source))


def top_level_imports(path):
    """The source text of a script's module-level import statements, in
    order: what a run of it imports before anything else happens."""
    with open(path, "rb") as f:
        tree = ast.parse(f.read(), filename=path)
    return [ast.unparse(node) for node in tree.body
            if isinstance(node, (ast.Import, ast.ImportFrom))]


def write_layout(layout_dir, members, main_script, left_out):
    """The closure as plain files, for plain Python to import from the file
    system: each module's source (a slim init as shipped) under its dotted
    path, extension modules beside them, and imports.py, a program that
    puts the folder first on the path, makes the left-out modules absent
    and runs the main script's module-level imports. The bytecode caches
    are written too, as an installed Python has them."""
    if os.path.isdir(layout_dir):
        shutil.rmtree(layout_dir)
    for member in members:
        parts = member.name.split(".")
        if member.role == "source":
            target = os.path.join(layout_dir, *parts) + ".py"
        elif member.role == "package":
            target = os.path.join(layout_dir, *parts[:-1] + ["__init__.py"])
        elif member.role == "extension":
            # The member's own suffix: .so, or .pyd for Windows.
            target = os.path.join(layout_dir, *parts[:-1]) + "." + parts[-1]
        else:
            continue  # tav_init.zip, the absent list: the runtime's own
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(member.source, target)
    lines = ["import sys", "sys.path.insert(0, %r)" % layout_dir]
    lines += ["sys.modules[%r] = None" % name for name in sorted(left_out)]
    lines += top_level_imports(main_script)
    with open(os.path.join(layout_dir, "imports.py"), "w") as f:
        f.write("\n".join(lines) + "\n")
    import compileall
    if not compileall.compile_dir(layout_dir, quiet=1):
        raise PackageError("cannot compile the layout in %s" % layout_dir)


def write_depfile(depfile, targets, sources):
    def esc(p):
        return p.replace(" ", "\\ ")
    with open(depfile, "w") as f:
        f.write(" ".join(esc(t) for t in targets) + ":")
        for s in sorted(set(sources)):
            f.write(" \\\n  " + esc(s))
        f.write("\n")


def human(n):
    return "%d bytes (%.2f MB)" % (n, n / 1e6)


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Packs bin.qar and modules.qar for a frozen program.")
    parser.add_argument("--qar", help="the qar tool")
    parser.add_argument("--out-dir",
                        help="where bin.qar and modules.qar are written")
    parser.add_argument("--work-dir", required=True,
                        help="build-tree directory for staging and the manifest")
    parser.add_argument("--main", required=True, help="the embedded main script")
    parser.add_argument("--embedded", nargs="*", default=[],
                        help="the embedded framework modules (.py)")
    parser.add_argument("--extra", nargs="*", default=[],
                        help="more modules to ship with their imports")
    parser.add_argument("--target-python", metavar="PYTHON",
                        help="the interpreter of the runtime the program "
                        "ships (default: this one)")
    parser.add_argument("--runtime-library",
                        help="the runtime library to ship (default: the "
                        "target's own)")
    parser.add_argument("--runtime-name",
                        help="member name of the runtime library in bin.qar, "
                        "the file the launcher loads (default: its file name)")
    parser.add_argument("--bin-kind", choices=(KIND_STORED, KIND_ZLIB),
                        default=DEFAULT_BIN_KIND)
    parser.add_argument("--modules-kind", choices=(KIND_STORED, KIND_ZLIB),
                        default=DEFAULT_MODULES_KIND)
    parser.add_argument("--file-prefix",
                        help="first part of the compiled modules' file names "
                        "(default: skiffrelay, skiffrelay.exe for Windows)")
    parser.add_argument("--depfile", help="write the sources used as a depfile")
    parser.add_argument("--layout", metavar="DIR",
                        help="write the closure as plain files into DIR "
                        "instead of packing (see write_layout)")
    parser.add_argument("--check-imports", action="store_true",
                        help="only check that the build interpreter imports "
                        "everything the program needs (nothing is written "
                        "but the work directory's plan)")
    parser.add_argument("--quiet", action="store_true")
    args = parser.parse_args(argv)
    if not (args.check_imports or args.layout or (args.qar and args.out_dir)):
        parser.error("--qar and --out-dir are required to pack")
    return args


def skipped_modules(main_script, embedded):
    """Module names never served from the archive: the embedded modules are
    run from the executable, never imported from the archive, and neither
    are the other modules of their folders (the other platform's path
    module); _tav_import is the launcher's native module."""
    skip = {"_tav_import", module_name_of(main_script)}
    for folder in {os.path.dirname(os.path.abspath(e)) for e in embedded}:
        skip.update(module_name_of(f) for f in os.listdir(folder))
    return skip


def plan_imports(scripts, skip, slim, extra_args, optional=None, facts=None):
    """The imports the recorder runs: those of the scripts, then the
    EXTRA_MODULES, the modules an original (not slim) init needs, and
    --extra; each once, in first-occurrence order (import order can matter
    to a module). `optional` and `facts` as for scan_imports."""
    imports = []
    for script in scripts:
        if not script.endswith(".py"):
            continue  # a template (_tav_app_info.py.in) imports nothing
        imports.extend(i for i in scan_imports(script, optional, facts)
                       if i[0].split(".")[0] not in skip)
    extra = list(EXTRA_MODULES)
    for name, entry in sorted(SLIM_INITS.items()):
        if name not in slim:
            extra.extend(entry["extra_with_original"])
    for name in extra + list(extra_args):
        imports.append((name, ()))
    seen = set()
    return [i for i in imports if not (i in seen or seen.add(i))]


# Modules of POSIX systems that a Windows runtime has none of: the scripts
# import them only on the code paths of those systems (skiffrelay_compat's
# setBlocking, for the O_NONBLOCK that Windows lacks), so a Windows build
# does without them.
POSIX_ONLY = ("fcntl", "grp", "pwd", "resource", "termios")


# The Debian package of a module the program needs that is not part of
# the runtime's own library (Debian's Python 3.11).
DEBIAN_PACKAGES = {"M2Crypto": "python3-m2crypto"}


def check_needed_imported(failed, optional, target):
    """Every import the program cannot do without must have worked in the
    target interpreter: an archive without it would give a program whose
    every command fails at run time. Raises naming the first missing one
    and the remedy: the Debian package to install (3.11), or the build of
    the runtime that brings it (2.7)."""
    for module, reason in failed:
        if optional.get(module):
            continue
        if target.windows and module in POSIX_ONLY:
            continue
        if target.windows:
            hint = ("build the Windows runtime with "
                    "tools/build-win32-runtime.sh, which builds M2Crypto and "
                    "the extension modules into it")
        elif target.major < 3:
            hint = ("build the runtime with tools/build-python27.sh, which "
                    "installs M2Crypto and typing into it")
        else:
            where = DEBIAN_PACKAGES.get(module.split(".")[0])
            hint = ("install the Debian package %s" % where if where else
                    "install the Debian package that provides it")
            hint += (" (tools/install-deps.sh installs everything the build "
                     "needs)")
        raise PackageError(
            "%s cannot import %s, which the program needs (%s): %s, "
            "or name another interpreter with -DSKIFF_TARGET_PYTHON" %
            (target.executable(), module, reason, hint))


def check_left_out_unneeded(failed, left_out):
    """A module that fails without a left-out module needs it after all."""
    for module, reason in failed:
        for name in left_out:
            if repr(name) in reason:
                raise PackageError("%s needs %s, which is left out of the "
                                   "archive (LEFT_OUT in %s): %s" %
                                   (module, name, os.path.basename(__file__),
                                    reason))


def print_summary(args, bin_members, members, sizes, needed, init_count,
                  slim, left_out, failed):
    bin_size, modules_size = sizes
    by_role = {}
    for m in members:
        count, size = by_role.get(m.role, (0, 0))
        by_role[m.role] = (count + 1, size + content_size(m))
    content = sum(content_size(m) for m in members)
    where = "from Windows" if len(bin_members) > 1 else "found on this system"
    print("package: bin.qar (%s): %d member(s) (%s), content %s, file %s; "
          "the runtime's own needs, %s: %s" %
          (args.bin_kind, len(bin_members),
           " ".join(m.name for m in bin_members),
           human(sum(content_size(m) for m in bin_members)),
           human(bin_size), where, " ".join(needed) or "?"))
    print("package: modules.qar (%s): %d members, content %s, file %s" %
          (args.modules_kind, len(members), human(content), human(modules_size)))
    labels = [("source", "modules"), ("package", "packages"),
              ("extension", "extension modules"),
              ("zip", INIT_ZIP_NAME + " (%d .pyc)" % init_count)]
    for role, label in labels:
        count, size = by_role.get(role, (0, 0))
        print("package:   %-28s %4d  %s" % (label, count, human(size)))
    for name in sorted(slim):
        print("package: %s ships its slim init (%s)" %
              (name, os.path.relpath(slim[name][0])))
    for name in left_out:
        print("package: left out, imported only when present, listed in "
              "%s: %s (%s)" % (ABSENT_LIST_NAME, name, LEFT_OUT[name]))
    if failed:
        print("package: not importable by the target interpreter, left "
              "out: %s" % ", ".join(sorted({f[0] for f in failed})))


def main(argv):
    args = parse_args(argv)
    if sys.version_info[:2] < (3, 9):
        raise PackageError("must run under Python 3.9 or later (the build's "
                           "Python 3.11), not %s" % sys.version.split()[0])
    target = Target(args.target_python)
    os.makedirs(args.work_dir, exist_ok=True)

    # What the scripts import, recorded in a fresh interpreter.
    apps = app_modules(args.main)
    scripts = [args.main] + list(args.embedded) + apps
    skip = skipped_modules(args.main, args.embedded)
    slim, slim_notes = choose_slim_inits(search_path(target))
    if not args.check_imports:
        for note in slim_notes:
            sys.stderr.write("package.py: %s\n" % note)
    optional = {}
    imports = plan_imports(scripts, skip, slim, list(args.extra) +
                           [module_name_of(a) for a in apps], optional,
                           target.facts)
    left_out = choose_left_out(imports, target)
    loaded, failed = record_closure(imports, args.work_dir, slim, left_out,
                                    os.path.dirname(os.path.abspath(args.main)),
                                    target)
    check_needed_imported(failed, optional, target)
    check_left_out_unneeded(failed, left_out)
    if args.check_imports:
        return 0

    # The members of both archives.
    if not args.file_prefix:
        args.file_prefix = "skiffrelay.exe" if target.windows else "skiffrelay"
    members, _ = collect_modules(loaded, skip, args.file_prefix, target)
    if args.layout:
        write_layout(os.path.abspath(args.layout), members, args.main,
                     left_out)
        return 0
    os.makedirs(args.out_dir, exist_ok=True)
    init_zip, init_count = init_zip_member(loaded, args.file_prefix, target)
    members.append(init_zip)
    absent = absent_list_member(left_out)
    if absent is not None:
        members.append(absent)
    members.sort()
    runtime_library = (args.runtime_library or
                       target.facts["runtime_library"])
    runtime_name = args.runtime_name or os.path.basename(runtime_library)
    bin_members = [Member(runtime_name, None, runtime_library, "runtime")]
    if target.windows:
        libraries, needed = windows_libraries(runtime_library, members)
        bin_members += [Member(os.path.basename(p), None, p, "library")
                        for p in libraries]
    else:
        needed = check_runtime_library(runtime_library)

    bin_path = os.path.join(args.out_dir, "bin.qar")
    modules_path = os.path.join(args.out_dir, "modules.qar")
    sizes = (write_archive(args.qar, bin_path, args.bin_kind, bin_members,
                           os.path.join(args.work_dir, "bin")),
             write_archive(args.qar, modules_path, args.modules_kind, members,
                           os.path.join(args.work_dir, "modules")))
    write_manifest(os.path.join(args.work_dir, "manifest.txt"),
                   [("bin.qar", bin_members), ("modules.qar", members)])

    if args.depfile:
        sources = list(scripts) + [runtime_library, RECORDER,
                                   target_tool.TOOL]
        sources += [m.source for m in members
                    if m.role not in GENERATED_ROLES]
        # A changed original init decides against its slim form.
        sources += [os.path.join(d, "__init__.py") for _, d in slim.values()]
        # The folders modules are found in: a package installed or removed
        # there changes what the imports load (an optional one found now).
        sources += search_path(target)
        write_depfile(args.depfile, [bin_path, modules_path], sources)

    if not args.quiet:
        print_summary(args, bin_members, members, sizes, needed, init_count,
                      slim, left_out, failed)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except PackageError as e:
        sys.stderr.write("package.py: %s\n" % e)
        sys.exit(1)
    except subprocess.TimeoutExpired as e:
        sys.stderr.write("package.py: %s timed out\n" % e.cmd[0])
        sys.exit(1)
