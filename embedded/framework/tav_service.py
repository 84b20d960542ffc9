"""Registration point for a service-stop callback.

  registerServiceStopFunction -- stores a function that takes no arguments
                                 and ends the process when called.

The program has no service mode, so nothing calls the stored function.
"""

__all__ = ["registerServiceStopFunction"]

__STOP_SERVICE_CALL = None


def registerServiceStopFunction(function):
    """Stores `function` as the service-stop callback, replacing any other."""
    global __STOP_SERVICE_CALL
    __STOP_SERVICE_CALL = function
