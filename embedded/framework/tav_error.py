"""Error module used at the end of a run.

Re-exports the public names of `pyerror` (reraise, showExceptionInfo,
getExceptionInfoString, ErrorObject, TracebackFrame) and holds the
application's error callback:

  ERROR_HANDLER          -- None, or the callable given the ErrorObject of an
                            uncaught exception after the reports are written.
  registerErrorCallback  -- checks and stores that callable.
"""

from pyerror import *
import pyerror as _pyerror

__all__ = list(_pyerror.__all__) + ["ERROR_HANDLER", "registerErrorCallback"]

ERROR_HANDLER = None


class _Probe(object):
    def method(self):
        pass


_FunctionType = type(lambda: None)
_MethodType = type(_Probe().method)
del _Probe


def registerErrorCallback(handler):
    """Stores `handler` as ERROR_HANDLER; it must take exactly one argument.

    Raises TypeError for anything but a function or bound method, and
    AttributeError when its positional parameter count is not 1.
    """
    global ERROR_HANDLER
    if isinstance(handler, _MethodType):
        # The instance fills the first parameter of a bound method.
        count = handler.__func__.__code__.co_argcount - 1
    elif isinstance(handler, _FunctionType):
        count = handler.__code__.co_argcount
    else:
        raise TypeError("the handler is expected to be a function or method")
    if count != 1:
        raise AttributeError(
            "the handler is expected to take exactly %d arguments" % 1)
    ERROR_HANDLER = handler
