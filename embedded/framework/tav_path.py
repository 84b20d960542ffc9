"""Platform-independent path operations for the framework.

Everything public of the platform's path module (`tav_ntpath` where the
runtime has the built-in `nt` module, `tav_posixpath` otherwise), plus:

  resolve, abspath, dirname, basename, normcase  -- path text
  islink, isfile, isdir, exists                  -- status tests (errors
                                                    read as false)
  _stat                                          -- mode tests
  ensure_workdir                                 -- makes the executable's
                                                    directory current
"""

import sys

if "nt" in sys.builtin_module_names:
    from tav_ntpath import *
    import tav_ntpath as _platform
else:
    from tav_posixpath import *
    import tav_posixpath as _platform

__all__ = list(_platform.__all__) + [
    "resolve", "abspath", "dirname", "basename", "normcase", "islink",
    "isfile", "isdir", "exists", "ensure_workdir"]

# Module-local only: putting `unicode` into the built-ins would fool
# libraries that probe for it to detect the language version.
if sys.version_info[0] >= 3:
    try:
        unicode
    except NameError:
        unicode = str

# Link-reading primitive; the Windows path module has none, and a link
# there resolves to the empty string.
_readlink = getattr(_platform, "_readlink", None)

# Symbolic-link hops followed by resolve before it gives up (a cycle).
_MAX_LINK_HOPS = 40

# Status errors that mean "cannot be read" (a NUL in the name raises
# ValueError before the system is asked; TypeError under 2.x).
_STATUS_ERRORS = (error, OSError, ValueError)
if sys.version_info[0] < 3:
    _STATUS_ERRORS += (TypeError,)


class _stat(object):
    """File-type tests on a mode value."""

    S_IFMT = 0o170000

    @staticmethod
    def S_ISDIR(mode):
        return (mode & 0o170000) == 0o040000

    @staticmethod
    def S_ISREG(mode):
        return (mode & 0o170000) == 0o100000

    @staticmethod
    def S_ISLNK(mode):
        return (mode & 0o170000) == 0o120000


def dirname(p):
    """Head of split(p)."""
    return split(p)[0]


def basename(p):
    """Tail of split(p)."""
    return split(p)[1]


if _platform.sep == "\\":
    def normcase(s):
        """Windows names compare without case: lower-case form."""
        return s.lower()
else:
    def normcase(s):
        """POSIX names compare exactly: unchanged."""
        return s


def abspath(path):
    """`path` joined to the current directory unless absolute, normalised."""
    if not isabs(path):
        if isinstance(path, unicode):
            cwd = getcwdu()
        else:
            cwd = getcwd()
        path = join(cwd, path)
    return normpath(path)


def islink(path):
    """True when `path` is a symbolic link; false when unreadable."""
    try:
        st = lstat(path)
    except _STATUS_ERRORS + (AttributeError,):
        return False
    return _stat.S_ISLNK(st.st_mode)


def isfile(path):
    """True when `path` is a regular file; false when unreadable."""
    try:
        st = stat(path)
    except _STATUS_ERRORS:
        return False
    return _stat.S_ISREG(st.st_mode)


def isdir(s):
    """True when `s` is a directory; false when unreadable."""
    try:
        st = stat(s)
    except _STATUS_ERRORS:
        return False
    return _stat.S_ISDIR(st.st_mode)


def exists(path):
    """True when the status of `path` can be read."""
    try:
        stat(path)
    except _STATUS_ERRORS:
        return False
    return True


def resolve(name):
    """Follows symbolic links until `name` is not one; '' on any error.

    Each link's target is taken relative to the link's directory and made
    absolute. A chain longer than _MAX_LINK_HOPS counts as an error.
    """
    try:
        hops = 0
        while islink(name):
            hops += 1
            if hops > _MAX_LINK_HOPS:
                return ""
            target = _readlink(name)
            if not isabs(target):
                target = join(dirname(name), target)
            name = abspath(target)
        return name
    except Exception:
        return ""


def ensure_workdir():
    """Makes the executable's directory the current directory.

    On macOS an executable inside an application bundle
    (.../X.app/Contents/MacOS/x) uses the directory holding the bundle.
    A failing directory change propagates.
    """
    if sys.platform.startswith("darwin"):
        parts = sys.executable.split("/")
        if len(parts) > 4 and parts[-3] == "Contents" and \
                parts[-2] == "MacOS":
            chdir("/".join(parts[:-4]))
    else:
        chdir(dirname(sys.executable))


if sys.platform.startswith("darwin"):
    sys.executable = abspath(sys.executable)
