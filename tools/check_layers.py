"""Check that the native folders include one another in one direction only.

The product folders form a stack of floors, each building only on the
floors below it:

  platform  <-  launcher  <-  archive  <-  host  <-  main

tools/, tests/ and bench/ sit on top and may include any of them; test code
inside a product folder (*_test.cc, *_test.h, *_test_util.h, fuzz_*.cc)
counts as tests/. Every `#include "folder/..."` line of the C++ sources is
read; the check fails on an include that goes up the stack, on an include
of a folder the stack does not know, and on any cycle between folders
(which the stack order alone already rules out among product folders, but
not among the folders on top).

It also checks that the README's layout table names exactly the tree's
top-level folders, so that the table cannot fall behind a move.

Usage: check_layers.py [SOURCE_DIR]      (default: this file's project)
Exit status 0 when clean, 1 with one line per problem on standard error.
"""

import os
import re
import sys

# Bottom first: a folder may include its own files and those of the
# folders before it.
PRODUCT_LAYERS = ["platform", "launcher", "archive", "host", "main"]
# On top of the stack, free to include any product folder.
TOP_FOLDERS = ["tools", "tests", "bench"]
TESTS = "tests"

SOURCE_SUFFIXES = (".h", ".cc")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
TEST_FILE = re.compile(r"(_test\.(cc|h)|_test_util\.h|^fuzz_.*\.cc)$")
README_ROW = re.compile(r"^\|\s*`([^`/]+)/`\s*\|")


def _rank(node):
    if node in PRODUCT_LAYERS:
        return PRODUCT_LAYERS.index(node)
    return len(PRODUCT_LAYERS)  # the folders on top


def node_of(relative_path):
    """The stack folder a source file belongs to: test code counts as
    tests/, everything else as its top-level folder."""
    parts = relative_path.split("/")
    if len(parts) > 1 and TEST_FILE.search(parts[-1]):
        return TESTS
    return parts[0]


def source_files(root):
    """Relative paths of the C++ sources in the known folders."""
    found = []
    for folder in PRODUCT_LAYERS + TOP_FOLDERS:
        base = os.path.join(root, folder)
        for directory, subdirs, files in os.walk(base):
            subdirs.sort()
            for name in sorted(files):
                if name.endswith(SOURCE_SUFFIXES):
                    path = os.path.join(directory, name)
                    found.append(os.path.relpath(path, root).replace(
                        os.sep, "/"))
    return found


def read_includes(root, relative_path):
    """(line number, included path) of each quoted include."""
    result = []
    with open(os.path.join(root, relative_path), encoding="utf-8",
              errors="replace") as f:
        for number, line in enumerate(f, 1):
            match = INCLUDE.match(line)
            if match:
                result.append((number, match.group(1)))
    return result


def _find_cycle(edges):
    """One cycle of the folder graph as a list of folders, or None."""
    state = {}
    stack = []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for target in sorted(edges.get(node, ())):
            if state.get(target) == "open":
                return stack[stack.index(target):] + [target]
            if target not in state:
                cycle = visit(target)
                if cycle:
                    return cycle
        stack.pop()
        state[node] = "done"
        return None

    for node in sorted(edges):
        if node not in state:
            cycle = visit(node)
            if cycle:
                return cycle
    return None


def check_includes(root):
    """Problems of the include graph, one text per problem."""
    known = set(PRODUCT_LAYERS + TOP_FOLDERS)
    top_level = set(name for name in os.listdir(root)
                    if os.path.isdir(os.path.join(root, name)))
    problems = []
    edges = {}
    for path in source_files(root):
        source = node_of(path)
        for number, included in read_includes(root, path):
            folder = included.split("/")[0]
            if "/" not in included or folder not in top_level:
                continue  # a system or third-party header
            where = "%s:%d: includes %s" % (path, number, included)
            if folder not in known:
                problems.append("%s: folder %s/ is not in the layer stack"
                                % (where, folder))
                continue
            target = node_of(included)
            if target != source:
                edges.setdefault(source, set()).add(target)
            if _rank(source) < _rank(target):
                problems.append("%s: %s/ is below %s/ and may not include it"
                                % (where, source, target))
    cycle = _find_cycle(edges)
    if cycle:
        problems.append("folder cycle: " + " -> ".join(cycle))
    return problems


def check_readme(root):
    """Problems of the README's layout table against the tree."""
    path = os.path.join(root, "README.md")
    if not os.path.isfile(path):
        return []
    listed = []
    in_layout = False
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("## "):
                in_layout = line.strip() == "## Layout"
                continue
            match = README_ROW.match(line) if in_layout else None
            if match:
                listed.append(match.group(1))
    if not listed:
        return ["README.md: no layout table under '## Layout'"]
    tree = set(name for name in os.listdir(root)
               if os.path.isdir(os.path.join(root, name))
               and not name.startswith((".", "build")))
    problems = []
    for name in sorted(tree - set(listed)):
        problems.append("README.md: layout table lacks %s/" % name)
    for name in sorted(set(listed) - tree):
        problems.append("README.md: layout table lists %s/, which is not "
                        "in the tree" % name)
    return problems


def main(argv):
    root = argv[0] if argv else os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))
    problems = check_includes(root) + check_readme(root)
    for problem in problems:
        sys.stderr.write("check_layers: %s\n" % problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
