"""Error reporting core of the embedded framework.

Turns an exception (type, value, traceback) into readable reports:

  ErrorObject     -- exception container: frame records, traceback report,
                     memory dump of the failing call chain, log and dump
                     files beside the executable.
  TracebackFrame  -- one traceback entry with its locals and call details.
  reraise         -- raises an exception again with a given traceback.
  showExceptionInfo, getExceptionInfoString
                  -- shorthands for the calling thread's current exception.

This module runs first of all framework modules, before any importer is
installed, so it imports nothing but the built-in `sys` at module level.
"""

import sys

__all__ = ["reraise", "showExceptionInfo", "getExceptionInfoString",
           "ErrorObject", "TracebackFrame"]

# The raise statement that carries an explicit traceback has a different
# syntax in each language version. The 3.x form is valid syntax in both and
# is written out; the 2.x form is compiled from its source at run time, on
# 2.x only, which keeps this file parseable by both. (Compiling on 3.x too
# would start up the runtime's compiler for these two lines alone: a
# millisecond of every run.) Either way the frame of reraise is left out
# of reports: its module is pyerror, or the fresh namespace's empty name,
# which every excluded name ends with.
if sys.version_info[0] >= 3:
    def reraise(pType, pValue, pTraceback):
        """Raises pValue again with the traceback pTraceback."""
        raise pValue.with_traceback(pTraceback)
else:
    _reraise_namespace = {}
    exec(compile("def reraise(pType, pValue, pTraceback):\n"
                 "  raise pValue, None, pTraceback", "", "exec"),
         _reraise_namespace)
    reraise = _reraise_namespace["reraise"]
    del _reraise_namespace

# A value whose representation is longer than this is shown shortened to
# _SHOWN_CHARS characters plus "..." (and its closing bracket or quote).
_MAX_VALUE_CHARS = 90
_SHOWN_CHARS = 77
_CLOSING_CHARS = ">]})'\""


def _executablePath():
    """Full path of the running executable (argv[0] as a fallback)."""
    path = getattr(sys, "executable", None)
    if not path and getattr(sys, "argv", None):
        path = sys.argv[0]
    return path or ""


def _timestampLine():
    """The local-time header line of a log or dump entry, or ''."""
    try:
        import time
        return time.strftime(
            "--- %Y-%m-%d %H:%M:%S ----------------------------------\n",
            time.localtime())
    except Exception:
        return ""


def _openText(filename, append):
    """Opens a report file as text; "\\n" becomes the platform's line end.

    The files lie beside the executable under fixed names, in a folder
    others may write to: a symbolic link planted there is never followed
    (a dangling one would even create its target), and a FIFO, a device
    or a directory is never written to nor waited on (a FIFO without a
    reader would hold the run for good).  Either way there is no report
    file (OSError) and the run goes on.  A new file gets the permissions
    open() gives it.

    Paths and values may hold characters the file encoding cannot take
    (surrogate-escaped bytes of argv, for instance); they are written
    escaped rather than losing the whole report.
    """
    import os
    import stat
    flags = (os.O_WRONLY | os.O_CREAT | (os.O_APPEND if append else 0) |
             getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0) |
             getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NOINHERIT", 0))
    fd = os.open(filename, flags, 0o666)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError("not a regular file: %s" % filename)
        if not append:
            # Truncated only now that it is known to be a regular file.
            os.ftruncate(fd, 0)
        if sys.version_info[0] >= 3:
            os.set_blocking(fd, True)
            return os.fdopen(fd, "a" if append else "w", encoding="utf-8",
                             errors="backslashreplace")
        return os.fdopen(fd, "a" if append else "w")
    except BaseException:
        os.close(fd)
        raise


def _writeReport(filename, append, timestamp, text):
    """Writes one report: the timestamp line when asked, the text, "\n"."""
    stream = _openText(filename, append)
    try:
        if timestamp:
            stream.write(_timestampLine())
        stream.write(text)
        stream.write("\n")
    finally:
        stream.close()


class _ValueTexts(object):
    """Value texts of one memory dump. A representation longer than
    _MAX_VALUE_CHARS is shown shortened, and numbered in order of
    appearance for the full listing after the frames."""

    def __init__(self, full_dump):
        self._full_dump = full_dump
        self._large = []

    def text(self, value):
        text = repr(value)
        if len(text) <= _MAX_VALUE_CHARS:
            return text
        self._large.append(text)
        shown = text[:_SHOWN_CHARS] + "..."
        if text[-1] in _CLOSING_CHARS:
            shown += text[-1]
        if self._full_dump:
            shown += "    [full dump at %d]" % len(self._large)
        return shown

    def fullDumpLines(self):
        """The numbered full representations (full dumps only)."""
        if not self._full_dump or not self._large:
            return []
        lines = []
        number = 0
        for text in self._large:
            number += 1
            lines.append("-" * 30 + "  Full var dump [%d]  " % number
                         + "-" * 30)
            lines.append(text)
            lines.append("")
        lines.append("-" * 80)
        return lines


def _frameHeading(record):
    """The frame's heading line: class, call and arguments, or '...' for
    module level code; then the module's name."""
    name = record.getName()
    if name != "<module>":
        heading = ""
        if record.getObject() is not None:
            heading = record.getObjectName() + "."
        heading += name + "(" + ", ".join(record.getArguments()) + "):"
    else:
        heading = "'...'"
    if record._module:
        heading += "   [in '%s']" % record._module
    return heading


def _objectLines(record, values, listed):
    """The members of the frame's object; an object already listed by an
    earlier frame of the same dump only points back there. `listed` maps
    object identities to where they were listed."""
    obj = record.getObject()
    address = ("%x" % id(obj)).upper().rjust(8, "0")
    if id(obj) in listed:
        return ["   members (at 0x%s)   [listed in '%s']"
                % (address, listed[id(obj)])]
    listed[id(obj)] = record.getObjectName() + "." + record.getName()
    lines = ["   members (at 0x%s)" % address]
    members = vars(obj)
    for key in sorted(members):
        lines.append("      %s : %s" % (key, values.text(members[key])))
    return lines


def _frameDumpLines(record, values, listed):
    """One frame of a memory dump: heading, locals, object members and an
    empty line."""
    lines = [_frameHeading(record)]
    local_vars = record.getVars()
    for key in sorted(local_vars):
        lines.append("   %s : %s" % (key, values.text(local_vars[key])))
    if record.getObject() is not None:
        lines.extend(_objectLines(record, values, listed))
    lines.append("")
    return lines


class TracebackFrame(object):
    """One traceback entry: where it ran and what its locals held."""

    def __init__(self, traceback):
        frame = traceback.tb_frame
        code = frame.f_code
        # A copy: at module level f_locals is the module's own namespace.
        local_vars = dict(frame.f_locals)
        self._object = local_vars.pop("self", None)
        self._vars = local_vars
        self._arguments = list(code.co_varnames[:code.co_argcount])
        self._name = code.co_name
        self._module = frame.f_globals.get("__name__", "")
        if not isinstance(self._module, str):
            self._module = str(self._module)
        self._file = code.co_filename
        self._line = traceback.tb_lineno

    def getVars(self):
        """Local variables of the frame, without "self"."""
        return self._vars

    def getArguments(self):
        """Names of the positional parameters."""
        return self._arguments

    def getName(self):
        """Name of the called code ('' if it has none)."""
        return self._name or ""

    def getObject(self):
        """The frame's "self", or None."""
        return self._object

    def getObjectName(self):
        """Class name of the frame's "self", or '' when unavailable."""
        if self._object is None:
            return ""
        try:
            return self._object.__class__.__name__
        except Exception:
            return ""

    def getModuleName(self):
        """Module the code belongs to ("__main__" when unknown)."""
        return self._module or "__main__"

    def getFile(self):
        """File name compiled into the code."""
        return self._file

    def getLine(self):
        """Line number of the traceback entry."""
        return self._line


class ErrorObject(object):
    """Container for one exception and the reports made from it."""

    # Module names whose frames are left out of reports; shared by all
    # instances, extended by framework modules that wrap user code.
    _exclude_modules = ["pyerror"]

    def __init__(self, pType=None, pValue=None, pTraceback=None, excludes=[]):
        if not pType or not pValue:
            pType, pValue, pTraceback = sys.exc_info()
        self.pType = pType
        self.pValue = pValue
        self.pTraceback = pTraceback
        self._cursor = 0
        self._excludes = set(ErrorObject._exclude_modules)
        self._excludes.update(excludes)
        self._frames = None

    # -- frame list ---------------------------------------------------------

    def _isExcluded(self, record):
        name = record._module
        for excluded in self._excludes:
            if excluded.endswith(name):
                return True
        return False

    def _buildFrames(self):
        # The chain runs from the outermost entry (where the exception was
        # caught) to the innermost (where it was raised); the list is kept
        # innermost first. The outermost record always stays.
        traceback = self.pTraceback
        if traceback is None:
            return [None]
        frames = [TracebackFrame(traceback)]
        while traceback.tb_next is not None:
            traceback = traceback.tb_next
            frames.insert(0, TracebackFrame(traceback))
            if self._isExcluded(frames[0]):
                del frames[0]
        self.pTraceback = traceback
        return frames

    def _getFrames(self):
        if self._frames is None:
            self._frames = self._buildFrames()
        return self._frames

    frames = property(_getFrames, doc="Frame records, innermost first.")

    def getFirstFrame(self):
        """Resets the cursor and returns the innermost frame record."""
        self._cursor = 0
        return self.frames[0]

    def getNextFrame(self):
        """Advances the cursor; None past the last record."""
        self._cursor += 1
        frames = self.frames
        if self._cursor < len(frames):
            return frames[self._cursor]
        return None

    def __iter__(self):
        return iter(list(self.frames))

    def __getitem__(self, index):
        frames = self.frames
        if index >= len(frames):
            return None
        return frames[index]

    # -- exception ----------------------------------------------------------

    def reraise(self):
        """Raises the stored exception again with the stored traceback."""
        reraise(self.pType, self.pValue, self.getTraceback())

    def getException(self):
        """The exception type."""
        return self.pType

    def getTraceback(self):
        """The stored traceback (the innermost entry once frames are built)."""
        return self.pTraceback

    def getMessage(self):
        """Text of the exception value; composed from its fields if needed."""
        value = self.pValue
        if value is None:
            return ""
        try:
            text = str(value)
            # The runtime's own MemoryError carries no text.
            if not text and isinstance(value, MemoryError):
                return "out of memory"
            return text
        except Exception:
            pass
        try:
            message = getattr(value, "message", None)
            if message:
                return str(message)
        except Exception:
            pass
        return self._composeMessage(value)

    def _composeMessage(self, value):
        text = ""
        try:
            if hasattr(value, "errno"):
                text += "[Errno %d] " % value.errno
        except Exception:
            pass
        for field in ("strerror", "msg"):
            try:
                if hasattr(value, field):
                    text += str(getattr(value, field))
            except Exception:
                pass
        try:
            filename = getattr(value, "filename", None)
            if filename:
                filename = str(filename)
                filename = filename.split("\\")[-1].split("/")[-1]
                text += " (" + filename
                if hasattr(value, "lineno"):
                    text += ", line %d'" % value.lineno
                text += ")"
        except Exception:
            pass
        return text

    # -- reports ------------------------------------------------------------

    def getTracebackString(self, recent_last=True, max_depth=20):
        """Traceback report of the innermost max_depth frames."""
        frames = self.frames
        if max_depth == 0 or not frames or frames[0] is None:
            return ""
        if max_depth < 0:
            max_depth = len(frames)
        lines = ["Traceback (most recent call %s):"
                 % (recent_last and "last" or "first")]
        for record in frames[:max_depth]:
            line = '  File "%s", line %d, in %s' % (
                record.getFile(), record.getLine(), record.getName())
            if recent_last:
                lines.insert(1, line)
            else:
                lines.append(line)
        return "\n".join(lines) + "\n"

    def getExceptionInfoString(self, recent_last=True, max_depth=20):
        """Traceback report, then "Type: message" and a line end."""
        return (self.getTracebackString(recent_last, max_depth)
                + self.pType.__name__ + ": " + self.getMessage() + "\n")

    def getMemoryDump(self, recent_last=False, max_depth=10, full_dump=False,
                      ignore_last=True):
        """Locals and instance members of the failing call chain, or None.

        The outermost frame (usually the module that started the chain) is
        left out when ignore_last is true.
        """
        if self.frames[0] is None:
            return None
        lines = ["Memory dump (most recent call %s):"
                 % (recent_last and "last" or "first"), "---"]
        values = _ValueTexts(full_dump)
        listed = {}
        for record in self._dumpedFrames(recent_last, max_depth, ignore_last):
            lines.extend(_frameDumpLines(record, values, listed))
        lines.extend(values.fullDumpLines())
        return "\n".join(lines)

    def _dumpedFrames(self, recent_last, max_depth, ignore_last):
        """The innermost frames a memory dump shows, in the order shown."""
        frames = self.frames
        count = len(frames)
        if ignore_last:
            count -= 1
        if max_depth >= 0:
            count = min(count, max_depth)
        chosen = frames[:max(count, 0)]
        if recent_last:
            chosen.reverse()
        return chosen

    def showExceptionInfo(self, recent_last=True, max_depth=20):
        """Writes the exception info string to standard error."""
        sys.stderr.write(self.getExceptionInfoString(recent_last, max_depth))
        try:
            sys.stderr.flush()
        except Exception:
            pass

    showTraceback = showExceptionInfo

    def dumpExceptionInfo(self, filename=None, append=True, timestamp=True):
        """Writes the exception info to the log (executable path + ".log")."""
        if not filename:
            filename = _executablePath() + ".log"
        _writeReport(filename, append, timestamp,
                     self.getExceptionInfoString(True, 20))

    dumpTraceback = dumpExceptionInfo

    def dumpMemory(self, filename=None, append=False, timestamp=True):
        """Writes the memory dump (executable path + ".dump"); no traceback,
        no file."""
        if self.getTraceback() is None:
            return
        if not filename:
            filename = _executablePath() + ".dump"
        # Rendered before the file is opened, so a failing rendering leaves
        # the previous dump in place.
        _writeReport(filename, append, timestamp,
                     self.getMemoryDump(full_dump=True))

    def __str__(self):
        text = self.getExceptionInfoString()
        return text or object.__repr__(self)


def showExceptionInfo(recent_last=True, max_depth=20):
    """Writes the current exception's info string to standard error."""
    ErrorObject().showExceptionInfo(recent_last, max_depth)


def getExceptionInfoString(recent_last=True, max_depth=20):
    """The current exception's traceback report, type and message."""
    return ErrorObject().getExceptionInfoString(recent_last, max_depth)
