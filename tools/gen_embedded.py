"""Generate the embedded-module table of one frozen program.

Compiles the framework modules, site and the program's main script with
the runtime the program ships (--target-python, by default the interpreter
running this tool: the marshal format belongs to the runtime version; see
tools/target_tool.py), marshals each code object, compresses it with zlib
and writes the EmbeddedModule records of host/embedded.h as a C++ source
file.

RECORDS below is the one list of the load order. Everything else takes it
from here: the build asks for the source files (--list-sources), the host
library for the record count and positions (--order-header, a header the
loader includes), the native tests for the names (--names-header), and the
Python tests import the list.

Each module is compiled with its module name as its file name (the main
script as "__main__"); the loader gives it its real __file__ when it runs.
_tav_app_info is made from embedded/framework/_tav_app_info.py.in, whose
placeholder @APP_INFO@ becomes the build information dictionary.

Usage:
  gen_embedded.py --output FILE --framework-dir DIR --main SCRIPT
                  [--binary NAME] [--version X.Y.Z] [--path-module NAME]
                  [--distribution TAG] [--broken MODULE]... [--allow-missing]
                  [--target-python PYTHON]
  gen_embedded.py --list-sources --framework-dir DIR --main SCRIPT
                  [--path-module NAME]
  gen_embedded.py --order-header FILE
  gen_embedded.py --names-header FILE [--path-module NAME]
"""

import argparse
import os
import platform
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import target_tool  # noqa: E402 (beside this file)

# Load order of the records; the loader addresses them by position: the
# framework modules, then site, then the program's script, which the
# loader runs as two separate steps. "@path" is the platform's path
# module, "__main__" the program's script.
RECORDS = ["pyerror", "@path", "tav_service", "_tav_app_info", "tav_error",
           "tav_path", "tav_import", "site", "__main__"]
SITE_RECORD = RECORDS.index("site")
MAIN_RECORD = RECORDS.index("__main__")
assert RECORDS[SITE_RECORD:] == ["site", "__main__"], "the loader's steps"

APP_INFO_PLACEHOLDER = "@APP_INFO@"

# An unusable compression value: the loader refuses such a record, which
# is how placeholders and deliberately broken test builds fail to load.
BROKEN_COMPRESSION = 2


class GenerateError(Exception):
    """A module that cannot be read or compiled."""


def load_order(path_module="tav_posixpath"):
    """Module names of the records in load order."""
    return [path_module if entry == "@path" else entry for entry in RECORDS]


def framework_modules(path_module="tav_posixpath"):
    """The framework modules, the records before site, in load order."""
    return load_order(path_module)[:SITE_RECORD]


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


def app_info(binary, main_script, version, distribution=None):
    """The APP_INFO dictionary for this build. `distribution` is the tag of
    the platform the program is built for; by default the tag of the
    machine running this tool (a cross build passes its target's)."""
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
        "distribution": distribution or _platform_tag(),
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


def source_path(name, framework_dir, main_script):
    """The file record `name` is made from."""
    if name == "__main__":
        return main_script
    if name == "_tav_app_info":
        return os.path.join(framework_dir, "_tav_app_info.py.in")
    return os.path.join(framework_dir, name + ".py")


def module_source(name, args):
    """Source bytes of record `name`, or None when it is missing and
    --allow-missing was given."""
    path = source_path(name, args.framework_dir, args.main)
    if not os.path.isfile(path):
        if args.allow_missing:
            return None
        raise GenerateError("%s: missing (module %s)" % (path, name))
    source = _read(path)
    if name == "_tav_app_info":
        info = app_info(args.binary, args.main, args.version,
                        args.distribution)
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


def compile_records(named_sources, target=None):
    """zlib streams of the marshalled code objects of [(name, source)],
    compiled by the `target` interpreter (None: this one)."""
    try:
        codes, errors = target_tool.compile_sources(
            target, [(source, name) for name, source in named_sources])
    except target_tool.TargetError as e:
        raise GenerateError(str(e))
    for index in sorted(errors):
        raise GenerateError("module %s: %s" % (named_sources[index][0],
                                               errors[index]))
    return [zlib.compress(code, 9) for code in codes]


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
    out.append("const EmbeddedModule kEmbeddedModules[] = {")
    for index, (name, compression, payload) in enumerate(records):
        data = "kPayload%d" % index if payload is not None else "nullptr"
        size = len(payload) if payload is not None else 0
        out.append('    {"%s", %d, %d, %s},' % (name, compression, size, data))
    out.append("};")
    out.append("static_assert(sizeof kEmbeddedModules / sizeof "
               "kEmbeddedModules[0] ==")
    out.append("                  kEmbeddedModuleCount,")
    out.append('              "one record per module of the load order");')
    out.append("")
    return "\n".join(out)


def render_order_header():
    """C++ header with the record count and positions of RECORDS."""
    return "\n".join([
        "/* Auto-generated by tools/gen_embedded.py */",
        "// Positions of the embedded-module records. Load order:",
        "//   " + ", ".join(RECORDS),
        "#ifndef SKIFF_HOST_EMBEDDED_ORDER_H_",
        "#define SKIFF_HOST_EMBEDDED_ORDER_H_",
        "",
        "#include <stddef.h>",
        "",
        "const size_t kEmbeddedModuleCount = %d;" % len(RECORDS),
        "const size_t kFrameworkModuleCount = %d;" % SITE_RECORD,
        "const size_t kSiteRecord = %d;" % SITE_RECORD,
        "const size_t kMainRecord = %d;" % MAIN_RECORD,
        "",
        "#endif  // SKIFF_HOST_EMBEDDED_ORDER_H_",
        ""])


def render_names_header(path_module):
    """C++ header with the module names of the records in load order, for
    tests that watch a launcher run them."""
    names = ", ".join('"%s"' % name for name in load_order(path_module))
    return "\n".join([
        "/* Auto-generated by tools/gen_embedded.py */",
        "// Module names of the embedded-module records, in load order.",
        "#ifndef SKIFF_TESTS_EMBEDDED_NAMES_H_",
        "#define SKIFF_TESTS_EMBEDDED_NAMES_H_",
        "",
        "static const char* const kEmbeddedModuleNames[] = {%s};" % names,
        "",
        "#endif  // SKIFF_TESTS_EMBEDDED_NAMES_H_",
        ""])


def generate(args):
    records = []
    sources = []
    for name in load_order(args.path_module):
        source = module_source(name, args)
        if source is None:
            sys.stderr.write("gen_embedded: warning: %s missing, its record "
                             "will not load\n" % name)
            records.append((name, BROKEN_COMPRESSION, None))
            continue
        sources.append((name, source))
        compression = BROKEN_COMPRESSION if name in args.broken else 1
        records.append((name, compression, len(sources) - 1))
    payloads = compile_records(sources, args.target_python)
    records = [(name, compression, None if index is None else payloads[index])
               for name, compression, index in records]
    return render(records, [name for name, _ in sources])


def _write_if_changed(path, text):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
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
    parser.add_argument("--output")
    parser.add_argument("--framework-dir")
    parser.add_argument("--main")
    parser.add_argument("--binary", default="skiffrelay")
    parser.add_argument("--version", default="1.0.0")
    parser.add_argument("--path-module", default="tav_posixpath")
    parser.add_argument("--distribution", default=None,
                        help="platform tag of APP_INFO (default: this "
                             "machine's)")
    parser.add_argument("--broken", action="append", default=[],
                        metavar="MODULE",
                        help="emit MODULE's record so that it cannot load")
    parser.add_argument("--allow-missing", action="store_true",
                        help="a missing source gives a record that cannot "
                             "load instead of an error")
    parser.add_argument("--target-python", metavar="PYTHON",
                        help="the runtime's interpreter, which compiles the "
                             "modules (default: this one)")
    parser.add_argument("--list-sources", action="store_true",
                        help="print the source files in load order, one a "
                             "line, and write nothing")
    parser.add_argument("--order-header", metavar="FILE",
                        help="write the header of record positions")
    parser.add_argument("--names-header", metavar="FILE",
                        help="write the header of record names in load "
                             "order")
    args = parser.parse_args(argv)
    if args.order_header:
        _write_if_changed(args.order_header, render_order_header())
        return 0
    if args.names_header:
        _write_if_changed(args.names_header,
                          render_names_header(args.path_module))
        return 0
    if not args.framework_dir or not args.main:
        parser.error("--framework-dir and --main are required")
    if args.list_sources:
        for name in load_order(args.path_module):
            sys.stdout.write(source_path(name, args.framework_dir, args.main)
                             + "\n")
        return 0
    if not args.output:
        parser.error("--output is required")
    try:
        text = generate(args)
    except (GenerateError, OSError) as e:
        sys.stderr.write("gen_embedded: %s\n" % e)
        return 1
    _write_if_changed(args.output, text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
