"""Generate the embedded-module table of one frozen program.

Compiles the framework modules, site and the program's main script with
the interpreter that runs this tool (it must be the runtime the program
ships: the marshal format belongs to the runtime version), marshals each
code object, compresses it with zlib and writes the nine EmbeddedModule
records of host/embedded.h as a C++ source file.

Each module is compiled with its module name as its file name (the main
script as "__main__"); the loader gives it its real __file__ when it runs.
_tav_app_info is made from embedded/framework/_tav_app_info.py.in, whose
placeholder @APP_INFO@ becomes the build information dictionary.

Usage:
  gen_embedded.py --output FILE --framework-dir DIR --main SCRIPT
                  [--binary NAME] [--version X.Y.Z] [--path-module NAME]
                  [--broken MODULE]... [--allow-missing]
"""

import argparse
import marshal
import os
import platform
import sys
import time
import zlib

# Load order of the records; the loader addresses them by position.
# "@path" is the platform's path module, "__main__" the program's script.
RECORDS = ["pyerror", "@path", "tav_service", "_tav_app_info", "tav_error",
           "tav_path", "tav_import", "site", "__main__"]

APP_INFO_PLACEHOLDER = "@APP_INFO@"

# An unusable compression value: the loader refuses such a record, which
# is how placeholders and deliberately broken test builds fail to load.
BROKEN_COMPRESSION = 2


class GenerateError(Exception):
    """A module that cannot be read or compiled."""


def _platform_tag():
    """Build platform tag such as "linux-debian_12-x86_64"."""
    system = platform.system().lower()
    distro = system
    try:
        info = platform.freedesktop_os_release()
        distro = "%s_%s" % (info.get("ID", system),
                            info.get("VERSION_ID", "0"))
    except OSError:
        pass
    return "%s-%s-%s" % (system, distro, platform.machine())


def _version_list(text):
    """"1.0.0" -> [1, 0, 0, 0]: four numbers, most significant first."""
    parts = [int(p) for p in text.split(".") if p][:4]
    return parts + [0] * (4 - len(parts))


def app_info(binary, main_script, version):
    """The APP_INFO dictionary for this build."""
    # A fixed build time makes reproducible builds possible.
    build_time = float(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
    maker = "skiffrelay maintainers <maintainers@skiffrelay.invalid>"
    return {
        "website": "https://skiffrelay.invalid/",
        "binary": binary,
        "mac_ident": "",
        "maintainer": maker,
        "name": "skiffrelay",
        "copyright": "Copyright (C) %d the skiffrelay maintainers"
                     % time.gmtime(build_time).tm_year,
        "author": maker,
        "buildtime": round(build_time, 3),
        "description": "Utility for secure FTP data transfers",
        "default_encoding": None,
        "pythonfile": os.path.basename(main_script),
        "binarybase": os.path.splitext(binary)[0],
        "version": _version_list(version),
        "comment": "",
        "iconfile": "",
        "companyshort": "skiffrelay",
        "distribution": _platform_tag(),
        "company": "skiffrelay maintainers",
        "readmefile": "",
        "localtime": list(time.localtime(build_time))[:9],
    }


def _dict_literal(info):
    lines = ["{"]
    for key in sorted(info):
        lines.append("    %r: %r," % (key, info[key]))
    lines.append("}")
    return "\n".join(lines)


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def module_source(name, args):
    """Source bytes of record `name`, or None when it is missing and
    --allow-missing was given."""
    if name == "__main__":
        path = args.main
    elif name == "_tav_app_info":
        path = os.path.join(args.framework_dir, "_tav_app_info.py.in")
    else:
        path = os.path.join(args.framework_dir, name + ".py")
    if not os.path.isfile(path):
        if args.allow_missing:
            return None
        raise GenerateError("%s: missing (module %s)" % (path, name))
    source = _read(path)
    if name == "_tav_app_info":
        info = app_info(args.binary, args.main, args.version)
        source = fill_template(source.decode("utf-8"), _dict_literal(info),
                               path).encode("utf-8")
    return source


def fill_template(text, literal, path):
    """Replaces the one placeholder in code; comments may mention it."""
    lines = text.split("\n")
    hits = [i for i, line in enumerate(lines)
            if APP_INFO_PLACEHOLDER in line
            and not line.lstrip().startswith("#")]
    if len(hits) != 1:
        raise GenerateError("%s: expected one %s outside comments, found %d"
                            % (path, APP_INFO_PLACEHOLDER, len(hits)))
    lines[hits[0]] = lines[hits[0]].replace(APP_INFO_PLACEHOLDER, literal)
    return "\n".join(lines)


def compile_record(name, source):
    """zlib stream of the marshalled code object of `source`."""
    try:
        code = compile(source, name, "exec", dont_inherit=True)
    except (SyntaxError, ValueError) as e:
        raise GenerateError("module %s: %s" % (name, e))
    return zlib.compress(marshal.dumps(code), 9)


def render(records, sources):
    """C++ text for the records: (name, compression, payload or None)."""
    out = ["/* Auto-generated by tools/gen_embedded.py */",
           "// Embedded modules, in load order. Sources: " +
           ", ".join(sources) + ".",
           '#include "host/embedded.h"', ""]
    for index, (name, _, payload) in enumerate(records):
        if payload is None:
            continue
        out.append("// %s: %d bytes" % (name, len(payload)))
        out.append("static const uint8_t kPayload%d[] = {" % index)
        for start in range(0, len(payload), 16):
            chunk = payload[start:start + 16]
            out.append("    " + ", ".join("0x%02x" % b for b in chunk) + ",")
        out.append("};")
        out.append("")
    out.append("const EmbeddedModule kEmbeddedModules[kEmbeddedModuleCount] "
               "= {")
    for index, (name, compression, payload) in enumerate(records):
        data = "kPayload%d" % index if payload is not None else "nullptr"
        size = len(payload) if payload is not None else 0
        out.append('    {"%s", %d, %d, %s},' % (name, compression, size, data))
    out.append("};")
    out.append("")
    return "\n".join(out)


def generate(args):
    records = []
    sources = []
    for entry in RECORDS:
        name = args.path_module if entry == "@path" else entry
        source = module_source(name, args)
        if source is None:
            sys.stderr.write("gen_embedded: warning: %s missing, its record "
                             "will not load\n" % name)
            records.append((name, BROKEN_COMPRESSION, None))
            continue
        sources.append(name)
        compression = BROKEN_COMPRESSION if name in args.broken else 1
        records.append((name, compression, compile_record(name, source)))
    return render(records, sources)


def _write_if_changed(path, text):
    try:
        if _read(path).decode("utf-8") == text:
            return
    except OSError:
        pass
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    os.replace(tmp, path)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--output", required=True)
    parser.add_argument("--framework-dir", required=True)
    parser.add_argument("--main", required=True)
    parser.add_argument("--binary", default="skiffrelay")
    parser.add_argument("--version", default="1.0.0")
    parser.add_argument("--path-module", default="tav_posixpath")
    parser.add_argument("--broken", action="append", default=[],
                        metavar="MODULE",
                        help="emit MODULE's record so that it cannot load")
    parser.add_argument("--allow-missing", action="store_true",
                        help="a missing source gives a record that cannot "
                             "load instead of an error")
    args = parser.parse_args(argv)
    try:
        text = generate(args)
    except (GenerateError, OSError) as e:
        sys.stderr.write("gen_embedded: %s\n" % e)
        return 1
    out_dir = os.path.dirname(os.path.abspath(args.output))
    os.makedirs(out_dir, exist_ok=True)
    _write_if_changed(args.output, text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
