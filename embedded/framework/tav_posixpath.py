"""POSIX path rules and operating-system primitives for the framework.

The POSIX counterpart of `tav_ntpath`, with the same public names, built on
the built-in `posix` module:

  primitives  -- environ, listdir, stat, lstat, error, getcwd, chdir, chmod,
                 remove, rename, getcwdu
  constants   -- sep "/", pathsep ":", linesep "\\n"
  functions   -- split, join, splitdrive, isabs, normpath

"/" is the only separator and there are no drives.
"""

import sys

try:
    from posix import environ, listdir, stat, lstat, error, getcwd, chdir, \
        chmod, remove, rename
except ImportError:
    _posix = sys.modules["posix"]
    environ = _posix.environ
    listdir = _posix.listdir
    stat = _posix.stat
    lstat = _posix.lstat
    error = _posix.error
    getcwd = _posix.getcwd
    chdir = _posix.chdir
    chmod = _posix.chmod
    remove = _posix.remove
    rename = _posix.rename
    del _posix

if sys.version_info[0] >= 3:
    getcwdu = getcwd
else:
    from posix import getcwdu

# Not public (the names match tav_ntpath's): tav_path follows symbolic
# links with it where the platform has them.
try:
    from posix import readlink as _readlink
except ImportError:
    _readlink = None

__all__ = ["environ", "listdir", "stat", "lstat", "error", "getcwd",
           "getcwdu", "chdir", "chmod", "remove", "rename",
           "sep", "pathsep", "linesep",
           "split", "join", "splitdrive", "isabs", "normpath"]

sep = "/"
pathsep = ":"
linesep = "\n"


def splitdrive(p):
    """(drive, rest); POSIX paths have no drive, so the drive is empty."""
    return p[:0], p


def isabs(s):
    """True when the path starts with "/"."""
    return s.startswith("/")


def split(p):
    """(head, tail): tail is everything after the last "/"; trailing "/"
    leave the head unless it consists only of them."""
    i = p.rfind("/") + 1
    head, tail = p[:i], p[i:]
    if head and head != "/" * len(head):
        head = head.rstrip("/")
    return head, tail


def join(a, *p):
    """Joins path parts with "/"; an absolute part restarts the path."""
    path = a
    for b in p:
        if b.startswith("/"):
            path = b
        elif path == "" or path.endswith("/"):
            path += b
        else:
            path += "/" + b
    return path


def normpath(path):
    """Collapses "/", "." and ".." components; ".." above the root is
    dropped. Two leading slashes are kept (their meaning is left to the
    system), three or more become one."""
    if path == "":
        return "."
    initial = 0
    if path.startswith("/"):
        initial = 1
        if path.startswith("//") and not path.startswith("///"):
            initial = 2
    comps = []
    for comp in path.split("/"):
        if comp in ("", "."):
            continue
        if comp != ".." or (not initial and not comps) or \
                (comps and comps[-1] == ".."):
            comps.append(comp)
        elif comps:
            comps.pop()
    result = "/" * initial + "/".join(comps)
    return result or "."
