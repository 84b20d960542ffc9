"""Windows path rules and operating-system primitives for the framework.

The framework runs before the standard library can be imported, so it
carries this small path library built on the built-in `nt` module:

  primitives  -- environ, listdir, stat, lstat, error, getcwd, chdir, chmod,
                 remove, rename, getcwdu
  constants   -- sep "\\", pathsep ";", linesep "\\r\\n"
  functions   -- split, join, splitdrive, isabs, normpath

Both "\\" and "/" count as separators; a drive is any first character
followed by ":".
"""

import sys

try:
    from nt import environ, listdir, stat, lstat, error, getcwd, chdir, \
        chmod, remove, rename
except ImportError:
    _nt = sys.modules["nt"]
    environ = _nt.environ
    listdir = _nt.listdir
    stat = _nt.stat
    lstat = _nt.lstat
    error = _nt.error
    getcwd = _nt.getcwd
    chdir = _nt.chdir
    chmod = _nt.chmod
    remove = _nt.remove
    rename = _nt.rename
    del _nt

if sys.version_info[0] >= 3:
    getcwdu = getcwd
else:
    try:
        from nt import getcwdu
    except ImportError:
        getcwdu = sys.modules["nt"].getcwdu

__all__ = ["environ", "listdir", "stat", "lstat", "error", "getcwd",
           "getcwdu", "chdir", "chmod", "remove", "rename",
           "sep", "pathsep", "linesep",
           "split", "join", "splitdrive", "isabs", "normpath"]

sep = "\\"
pathsep = ";"
linesep = "\r\n"

_SEPARATORS = "\\/"


def splitdrive(p):
    """(drive, rest): the drive is the first two characters when the second
    is ":"; a UNC prefix is not a drive."""
    if p[1:2] == ":":
        return p[0:2], p[2:]
    return p[:0], p


def isabs(s):
    """True when the part after the drive starts with a separator."""
    rest = splitdrive(s)[1]
    return rest != "" and rest[:1] in _SEPARATORS


def split(p):
    """(head, tail): tail is everything after the last separator; trailing
    separators leave the head unless it consists only of them."""
    drive, rest = splitdrive(p)
    i = len(rest)
    while i and rest[i - 1] not in _SEPARATORS:
        i -= 1
    head, tail = rest[:i], rest[i:]
    stripped = head
    while stripped and stripped[-1] in _SEPARATORS:
        stripped = stripped[:-1]
    return drive + (stripped or head), tail


def join(a, *p):
    """Joins path parts; an absolute part restarts the path unless it only
    completes a bare drive root such as "c:\\"."""
    path = a
    for b in p:
        replace = False
        if path == "":
            replace = True
        elif isabs(b):
            if path[1:2] != ":" or b[1:2] == ":":
                replace = True
            elif len(path) > 3:
                replace = True
            elif len(path) == 3 and path[-1] not in _SEPARATORS:
                replace = True
        if replace:
            path = b
        elif path[-1] in _SEPARATORS:
            if b[:1] and b[:1] in _SEPARATORS:
                path += b[1:]
            else:
                path += b
        elif path[-1] == ":":
            path += b
        elif b:
            if b[:1] in _SEPARATORS:
                path += b
            else:
                path += "\\" + b
        else:
            path += "\\"
    return path


def normpath(path):
    """Collapses separators, "." and ".." components; "/" becomes "\\".
    Device paths (\\\\.\\ and \\\\?\\) are returned unchanged."""
    if path.startswith("\\\\.\\") or path.startswith("\\\\?\\"):
        return path
    path = path.replace("/", "\\")
    prefix, path = splitdrive(path)
    if prefix == "":
        while path[:1] == "\\":
            prefix += "\\"
            path = path[1:]
    elif path.startswith("\\"):
        prefix += "\\"
        path = path.lstrip("\\")
    comps = path.split("\\")
    i = 0
    while i < len(comps):
        if comps[i] in (".", ""):
            del comps[i]
        elif comps[i] == "..":
            if i > 0 and comps[i - 1] != "..":
                del comps[i - 1:i + 1]
                i -= 1
            elif i == 0 and prefix.endswith("\\"):
                del comps[i]
            else:
                i += 1
        else:
            i += 1
    if not prefix and not comps:
        return "."
    return prefix + "\\".join(comps)
