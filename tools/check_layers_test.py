"""tools/check_layers.py on small trees with planted faults."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_layers  # noqa: E402

README = "# x\n\n## Layout\n\n| folder | what |\n|---|---|\n%s\n## Next\n"


class CheckLayersTest(unittest.TestCase):

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.root = self.tmp.name
        self.write("platform/platform.h", "")
        self.write("tests/test_util.h", "")
        self.write("archive/archive.cc", '#include "platform/platform.h"\n')
        self.write("host/host.cc", '#include "archive/archive.h"\n')

    def write(self, relative, text):
        path = os.path.join(self.root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    def test_includes_only_downward(self):
        self.assertEqual(check_layers.check_includes(self.root), [])
        # Test code and the folders on top may include anything.
        self.write("archive/archive_test.cc", '#include "host/host.h"\n'
                   '#include "tests/test_util.h"\n')
        self.write("tools/qar.cc", '#include "host/host.h"\n')
        self.assertEqual(check_layers.check_includes(self.root), [])
        # Product code that reaches up, or into a folder off the stack.
        self.write("archive/extract.cc", '#include <stdio.h>\n'
                   '#include "archive/archive.h"\n#include "host/host.h"\n')
        self.write("launcher/paths.cc", '#include "tests/test_util.h"\n')
        self.write("program/entry.h", "")
        self.write("host/run.cc", '#include "program/entry.h"\n')
        problems = check_layers.check_includes(self.root)
        self.assertIn("archive/extract.cc:3: includes host/host.h: archive/ "
                      "is below host/ and may not include it", problems)
        self.assertIn("launcher/paths.cc:1: includes tests/test_util.h: "
                      "launcher/ is below tests/ and may not include it",
                      problems)
        self.assertIn("host/run.cc:1: includes program/entry.h: folder "
                      "program/ is not in the layer stack", problems)
        self.assertIn("folder cycle: archive -> host -> archive", problems)
        self.assertEqual(len(problems), 4, problems)

    def test_cycle_between_top_folders(self):
        self.write("tools/a.cc", '#include "bench/b.h"\n')
        self.write("bench/b.cc", '#include "tools/a.h"\n')
        self.assertEqual(check_layers.check_includes(self.root),
                         ["folder cycle: bench -> tools -> bench"])

    def test_readme_layout_matches_tree(self):
        os.mkdir(os.path.join(self.root, "build"))  # build trees are left out
        rows = "".join("| `%s/` | x |\n" % name
                       for name in ("platform", "archive", "host", "tests"))
        self.write("README.md", README % rows)
        self.assertEqual(check_layers.check_readme(self.root), [])
        self.write("README.md", README % (rows + "| `launcher/` | x |\n"))
        os.mkdir(os.path.join(self.root, "main"))
        self.assertEqual(check_layers.check_readme(self.root), [
            "README.md: layout table lacks main/",
            "README.md: layout table lists launcher/, which is not in the "
            "tree"])


if __name__ == "__main__":
    unittest.main()
