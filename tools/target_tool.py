"""The target runtime's side of the build tools.

The build tools (gen_embedded.py, package.py) run on the build machine's
Python 3.11; the program may embed another runtime (cmake
-DSKIFF_TARGET_PYTHON=..., Python 2.7 or 3.11). What belongs to the
runtime's version is made by that runtime itself, through this file: it
parses and runs under 2.7 and 3.x, and answers in JSON and plain files,
never in marshal data that the other version would have to read.

  TARGET target_tool.py info
      prints JSON facts about TARGET: version, platform, bytecode magic and
      header size, runtime library, module search path;
  TARGET target_tool.py compile JOBS RESULT
      JOBS is JSON, [[source file, code file name, output file]]: each
      source is compiled as a module, its code object marshalled into the
      output file; RESULT receives JSON {"errors": [[index, message]]}.

The tools call it through target_info() and compile_sources() below. When
the target is the interpreter running the tool, both are answered in
process (the marshal output depends on the process it is made in, so this
keeps the default build's output as it always was).
"""

import os
import sys

# Only os and sys at the top, the rest where it is used: when the target is
# the interpreter running the tool, its compiling happens in the tool's
# process, whose loaded modules decide some bytes of the marshal output
# (objects referred to more than once are written as references), and
# that output is to stay as the build has always made it.

TOOL = os.path.abspath(__file__)
TIMEOUT = 300


class TargetError(Exception):
    """The target interpreter cannot be run or gave no answer."""


def _text(value):
    """JSON gives unicode text; 2.7's compile and open want native str."""
    if sys.version_info[0] < 3 and not isinstance(value, str):
        return value.encode("utf-8")
    return value


def _magic():
    if sys.version_info[0] < 3:
        import imp
        return imp.get_magic()
    import importlib.util
    return importlib.util.MAGIC_NUMBER


def _pyc_header_size():
    """Magic and time stamp (2.x); 3.3 added the source size, 3.7 the
    flags word."""
    if sys.version_info[0] < 3:
        return 8
    return 16 if sys.version_info[:2] >= (3, 7) else 12


def _search_path():
    """The module path without site's extras, plus the system's site
    directories (where M2Crypto lives)."""
    import site
    import sysconfig
    paths = [sysconfig.get_path("stdlib"), sysconfig.get_path("platstdlib"),
             os.path.join(sysconfig.get_path("stdlib"), "lib-dynload")]
    if os.name == "nt":
        # A Windows installation keeps its extension modules in DLLs/.
        paths.append(os.path.join(sys.prefix, "DLLs"))
    paths.extend(site.getsitepackages())
    result = []
    for p in paths:
        if p and os.path.isdir(p) and p not in result:
            result.append(p)
    return result


def _runtime_library():
    if os.name == "nt":
        # python27.dll sits in the installation's root (or beside the
        # program that loaded it).
        name = "python%d%d.dll" % sys.version_info[:2]
        for folder in (sys.prefix, os.path.dirname(sys.executable)):
            if os.path.isfile(os.path.join(folder, name)):
                return os.path.join(folder, name)
        return ""
    import sysconfig
    libdir = sysconfig.get_config_var("LIBDIR") or "/usr/lib"
    name = sysconfig.get_config_var("INSTSONAME") or sysconfig.get_config_var(
        "LDLIBRARY") or ""
    return os.path.join(libdir, name) if name else ""


def info():
    """The facts the tools need, as JSON-ready data."""
    magic = _magic()
    return {
        "executable": sys.executable,
        "version": list(sys.version_info),
        "platform": sys.platform,
        "os_name": os.name,
        "magic": "".join("%02x" % b for b in bytearray(magic)),
        "pyc_header_size": _pyc_header_size(),
        "runtime_library": _runtime_library(),
        "search_path": _search_path(),
        # The file type of extension modules in the archive (the archive
        # importer's C_EXTENSION_FILETYPE).
        "extension_suffix": ".pyd" if os.name == "nt" else ".so",
    }


def _compile_one(source, file_name):
    import marshal
    code = compile(source, file_name, "exec", 0, True)
    return marshal.dumps(code)


def _compile_jobs(jobs_path, result_path):
    import json
    with open(jobs_path) as f:
        jobs = json.load(f)
    errors = []
    for index, (source_path, file_name, output) in enumerate(jobs):
        try:
            with open(_text(source_path), "rb") as f:
                data = _compile_one(f.read(), _text(file_name))
        except (SyntaxError, ValueError, TypeError) as e:
            errors.append([index, str(e)])
            continue
        with open(_text(output), "wb") as f:
            f.write(data)
    with open(result_path, "w") as f:
        json.dump({"errors": errors}, f)


# The tools' side (run by Python 3.11, written to parse under 2.7 too).

def is_self(target):
    """Whether `target` is the interpreter running this code."""
    if not target:
        return True
    return os.path.realpath(target) == os.path.realpath(sys.executable)


def _run(target, args):
    import subprocess
    try:
        proc = subprocess.run(
            [target, "-E", "-s", "-S", TOOL] + list(args),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, timeout=TIMEOUT)
    except OSError as e:
        raise TargetError("cannot run the target interpreter %s: %s"
                          % (target, e))
    except subprocess.TimeoutExpired:
        raise TargetError("%s %s timed out" % (target, args[0]))
    if proc.returncode != 0:
        raise TargetError("%s %s failed (status %d): %s" % (
            target, args[0], proc.returncode,
            proc.stderr.decode("utf-8", "replace").strip()))
    return proc.stdout


def host_path(facts, path):
    """A path the target reported, as this system names it: a Windows
    target run under wine on Linux names files on drive Z:, the Linux
    root, and joins to the Linux paths given to it with a backslash (it
    opens Linux paths as they are)."""
    if facts.get("os_name") != "nt" or os.name == "nt":
        return path
    if path.startswith("/"):
        # A Linux path handed to it, extended with its separator.
        return path.replace("\\", "/")
    if path[:3].upper() not in ("Z:\\", "Z:/"):
        return path
    # Windows file names ignore case (the runtime says lib\site-packages
    # for Lib/site-packages): each part as the folder spells it.
    result = "/"
    for part in path[3:].replace("\\", "/").split("/"):
        if not part:
            continue
        candidate = os.path.join(result, part)
        if not os.path.exists(candidate) and os.path.isdir(result):
            for name in os.listdir(result):
                if name.lower() == part.lower():
                    candidate = os.path.join(result, name)
                    break
        result = candidate
    return result


def target_info(target=None):
    """info() of `target` (None: this interpreter), its paths as this
    system names them."""
    if is_self(target):
        return info()
    import json
    try:
        facts = json.loads(_run(target, ["info"]).decode("utf-8"))
    except ValueError as e:
        raise TargetError("%s info: no answer: %s" % (target, e))
    for key in ("executable", "runtime_library"):
        facts[key] = host_path(facts, facts[key])
    facts["search_path"] = [host_path(facts, p) for p in facts["search_path"]]
    return facts


def compile_sources(target, sources):
    """[(source bytes, code file name)] -> [marshal bytes or None], errors
    {index: message}: every source compiled as a module by `target`.

    A file name given as UTF-8 bytes becomes a string of the code object's
    own; one given as a string is the code's file name itself. That makes
    a difference in process: marshal writes an object referred to more than
    once as a back-reference."""
    results, errors = [], {}
    if is_self(target):
        for index, (source, file_name) in enumerate(sources):
            try:
                results.append(_compile_one(source, file_name))
            except (SyntaxError, ValueError) as e:
                results.append(None)
                errors[index] = str(e)
        return results, errors
    import json
    import shutil
    import tempfile
    work = tempfile.mkdtemp(prefix="skiff-target.")
    try:
        jobs = []
        for index, (source, file_name) in enumerate(sources):
            path = os.path.join(work, "%d.py" % index)
            with open(path, "wb") as f:
                f.write(source)
            if isinstance(file_name, bytes):
                file_name = file_name.decode("utf-8")
            jobs.append([path, file_name, path + ".code"])
        jobs_path = os.path.join(work, "jobs.json")
        result_path = os.path.join(work, "result.json")
        with open(jobs_path, "w") as f:
            json.dump(jobs, f)
        _run(target, ["compile", jobs_path, result_path])
        with open(result_path) as f:
            for index, message in json.load(f)["errors"]:
                errors[index] = message
        for index, job in enumerate(jobs):
            if index in errors:
                results.append(None)
                continue
            with open(job[2], "rb") as f:
                results.append(f.read())
        return results, errors
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main(argv):
    import json
    if argv[:1] == ["info"] and len(argv) == 1:
        sys.stdout.write(json.dumps(info()) + "\n")
        return 0
    if argv[:1] == ["compile"] and len(argv) == 3:
        _compile_jobs(argv[1], argv[2])
        return 0
    sys.stderr.write("usage: target_tool.py info | compile JOBS RESULT\n")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
