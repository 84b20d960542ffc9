"""Probe program: reports what the frozen runtime looks like from inside.

Built as a frozen program (launcher, embedded framework, archives) and run
by tests/e2e/test_probe.py. The first argument that is not
"--multiprocessing-fork" picks what it does:

  report     print one JSON object: sys.path, sys.argv (as hex of the
             file-system bytes), sys.frozen, _tav_import's names, the
             results of a few imports and where every loaded module came
             from; then end normally (exit status 0)
  imports    import os, json, pickle, ssl, zlib and end (start-up benchmark)
  exit       sys.exit()
  exit0      sys.exit(0)
  exit5      sys.exit(5)
  interrupt  raise KeyboardInterrupt
  raise      raise ProbeFailure (any other uncaught exception)

In child mode the script runs as module __fork__: it registers an exit
function that prints, at the end of the run, whether the launcher made it
the __main__ module and ran the multiprocessing hand-over.
"""

import atexit
import os
import sys


class ProbeFailure(Exception):
    """The exception the "raise" mode leaves uncaught."""


def _fs_hex(text):
    return os.fsencode(text).hex()


def _module_origins():
    origins = {}
    for name, module in sorted(sys.modules.items()):
        spec = getattr(module, "__spec__", None)
        loader = getattr(spec, "loader", None) or getattr(module, "__loader__", None)
        file_name = getattr(module, "__file__", None)
        origins[name] = {
            "file": file_name if isinstance(file_name, str) else None,
            "origin": getattr(spec, "origin", None),
            "loader": type(loader).__name__ if loader is not None else None,
            "loader_class": getattr(loader, "__name__", None),
        }
    return origins


def report():
    results = {}
    for name in ("os", "json", "pickle", "ssl", "zlib", "json.decoder"):
        try:
            module = __import__(name, fromlist=["_"])
            results[name] = getattr(module, "__file__", None) or "built-in/frozen"
        except Exception as e:
            results[name] = "FAILED %s: %s" % (type(e).__name__, e)
    import json
    import pickle
    import ssl
    import zlib
    checks = {
        "json": json.loads(json.dumps({"a": [1, 2]})) == {"a": [1, 2]},
        "pickle": pickle.loads(pickle.dumps({"b": (3, 4)})) == {"b": (3, 4)},
        "zlib": zlib.decompress(zlib.compress(b"probe" * 50)) == b"probe" * 50,
        "ssl": bool(ssl.OPENSSL_VERSION),
        # Through the codec that encodings.idna needs stringprep for.
        "idna": "b\u00fccher.example".encode("idna") == b"xn--bcher-kva.example",
    }
    import _tav_import
    tav = {}
    for name in dir(_tav_import):
        if name.startswith("__"):
            continue
        value = getattr(_tav_import, name)
        tav[name] = "<callable>" if callable(value) else value
    queries = {
        "hasModule(json)": _tav_import.hasModule("json"),
        "hasModule(json.decoder)": _tav_import.hasModule("json.decoder"),
        "hasModule(no_such_module)": _tav_import.hasModule("no_such_module"),
        "isPackage(json)": _tav_import.isPackage("json"),
        "isPackage(json.decoder)": _tav_import.isPackage("json.decoder"),
    }
    out = {
        "path": list(sys.path),
        "argv_hex": [_fs_hex(a) for a in sys.argv],
        "frozen": getattr(sys, "frozen", None),
        "name": __name__,
        "cwd": os.getcwd(),
        "flags": {"ignore_environment": sys.flags.ignore_environment,
                  "no_site": sys.flags.no_site,
                  "dont_write_bytecode": sys.flags.dont_write_bytecode,
                  "optimize": sys.flags.optimize,
                  "verbose": sys.flags.verbose},
        "stdout_encoding": sys.stdout.encoding,
        "warnings_filters": len(sys.warnoptions),
        "imports": results,
        "checks": checks,
        "tav_import": tav,
        "queries": queries,
        "modules": _module_origins(),
    }
    sys.stdout.write(json.dumps(out, sort_keys=True) + "\n")


def _fork_exit():
    import json
    out = {
        "fork_name": __name__,
        "main_is_fork": sys.modules.get("__main__") is sys.modules.get("__fork__"),
        "multiprocessing_loaded": "multiprocessing" in sys.modules,
        "argv_hex": [_fs_hex(a) for a in sys.argv],
    }
    sys.stdout.write(json.dumps(out, sort_keys=True) + "\n")
    sys.stdout.flush()


def main(mode):
    if mode == "report":
        report()
    elif mode == "imports":
        import json, pickle, ssl, zlib  # noqa: F401,E401 (what is timed)
    elif mode == "exit":
        sys.exit()
    elif mode == "exit0":
        sys.exit(0)
    elif mode == "exit5":
        sys.exit(5)
    elif mode == "interrupt":
        raise KeyboardInterrupt()
    elif mode == "raise":
        failing_local = "probe local value"  # noqa: F841 (shown in the dump)
        raise ProbeFailure("probe failure on purpose")
    else:
        sys.stderr.write("probe: unknown mode %r\n" % mode)


_modes = [a for a in sys.argv[1:] if a != "--multiprocessing-fork"]
if __name__ == "__fork__":
    atexit.register(_fork_exit)
elif __name__ == "__main__":
    main(_modes[0] if _modes else "report")
