"""Reduced site set-up, run by the launcher right before the main script.

The runtime starts without its own site import; this module instead:
installs the interactive `help` object, silences source-line look-ups in
tracebacks (`linecache.getline` returns ''; the original stays reachable as
`linecache._getline`), applies the build's default text encoding where the
runtime allows setting one, and imports an optional `usercustomize`.
Each of the last three steps fails silently on its own, whatever it
raises: SystemExit and KeyboardInterrupt included, so that nothing a
`usercustomize` does can end the run before the main script.

  makepath, _init_pathinfo   -- path helpers kept for code that inspects
                                the site set-up
  PREFIXES, ENABLE_USER_SITE, USER_SITE, USER_BASE
"""

import sys
import tav_path

if sys.version_info[0] >= 3:
    import builtins as _builtins
else:
    import __builtin__ as _builtins

PREFIXES = []
ENABLE_USER_SITE = False
USER_SITE = None
USER_BASE = None


def makepath(*paths):
    """(absolute path, case-normalised path) of the joined parts; a system
    error while making it absolute leaves it as joined."""
    path = tav_path.join(*paths)
    try:
        path = tav_path.abspath(path)
    except OSError:
        pass
    return path, tav_path.normcase(path)


def _init_pathinfo():
    """Case-normalised paths of the sys.path entries that are directories."""
    known = set()
    for entry in sys.path:
        try:
            if tav_path.isdir(entry):
                known.add(makepath(entry)[1])
        except TypeError:
            continue
    return known


class __Helper(object):
    """The interactive `help`: forwards every call to pydoc.help."""

    def __repr__(self):
        return ("Type help() for interactive help, or help(object) for help "
                "about object.")

    def __call__(self, *args, **kwds):
        import pydoc
        return pydoc.help(*args, **kwds)


_builtins.help = __Helper()


def _silentGetline(filename, lineno, module_globals=None):
    return ""


# The three steps below each catch BaseException: a failure there is never
# the application's outcome.

# Tracebacks show no source lines: the modules come from archives, and a
# file that happens to carry a module's name must not be quoted instead.
try:
    import linecache
    linecache._getline = linecache.getline
    linecache.getline = _silentGetline
except BaseException:
    pass

# The runtime of major version 3 has no way to change its default encoding
# (no sys.setdefaultencoding); the attempt then fails silently, as does an
# unknown codec name.
try:
    import _tav_app_info
    _encoding = _tav_app_info.APP_INFO.get("default_encoding")
    if _encoding:
        sys.setdefaultencoding(str(_encoding))
except BaseException:
    pass

try:
    import usercustomize
except BaseException:
    pass
