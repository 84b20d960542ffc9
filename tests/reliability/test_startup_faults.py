"""Damaged archives and unusable temporary directories at start-up.

Each case runs the launcher without arguments (the whole start-up, every
import of the main script, no network; a healthy run prints nothing and
ends with status 1) and checks the outcome the start-up sequence defines:
its "# Error: ...\\r\\n" line with status 1, status 2 when the runtime
library cannot be loaded, status 1 without a message when no work
directory can be made, or, for damage that only shows when the runtime
imports a module, status 1 with the error report.  Never a signal, never
a hang, and no file appears or changes outside the work directory (the
error reporter's log and dump beside the executable are its output).

Both archives are stored (not compressed) and carry no checksum, so a
flipped byte inside a member is noticed only where its content is used;
the member cases below flip bytes whose effect is fixed by the format
(the runtime library's ELF magic, a module's marshal type code) and a few
in the middle of an imported module's code.
"""

import os
import struct
import subprocess
import unittest

from rel_helpers import (REPORT_FILES, ReliabilityCase, require_root,
                         snapshot, work_dirs, wait_until, NOBODY)

LIBS_ERROR = b"# Error: unable to extract required libraries\r\n"
CORE_ERROR = b"# Error: unable to load the core modules archive\r\n"
EXT_ERROR = b"# Error: unable to extract the python extensions archive\r\n"
HEALTHY = (1, b"")
NO_RUNTIME = (2, b"")
NO_WORK_DIR = (1, b"")
# Damage that surfaces when the main script imports: status 1 and the
# error report naming the failed import.
IMPORT_FAILS = "import fails"
# Damage that may or may not matter to this run: only a clean end.
CLEAN_END = "clean end"


def read_index(data):
    """(indexOffset, indexEnd, [(memberOffset, name, entryPos)] by offset)."""
    _, index_end, index_offset, _ = struct.unpack("<4sIII", data[:16])
    pos, entries = index_offset, []
    while pos < index_end:
        length, offset = struct.unpack("<HI", data[pos:pos + 6])
        entries.append((offset, data[pos + 6:pos + length - 1].decode(),
                        pos))
        pos += length
    return index_offset, index_end, sorted(entries)


def member_span(data, name):
    """(start, end) of member name's span, its length prefix included."""
    index_offset, _, entries = read_index(data)
    for i, (offset, member, _) in enumerate(entries):
        if member == name:
            end = (entries[i + 1][0] if i + 1 < len(entries)
                   else index_offset)
            return offset, end
    raise KeyError(name)


def entry_pos(data, name):
    for _, member, pos in read_index(data)[2]:
        if member == name:
            return pos
    raise KeyError(name)


# Byte positions, computed from the archive itself.
def at(pos):
    return lambda data: pos


def index_at(delta):
    return lambda data: read_index(data)[0] + delta


def index_end_at(delta):
    return lambda data: read_index(data)[1] + delta


def content_at(name, fraction=0.0, delta=4):
    """A byte of member name: its content start (after the prefix) plus a
    fraction of the content; delta 0..3 hits the length prefix."""
    def position(data):
        start, end = member_span(data, name)
        return start + delta + int((end - start - 4) * fraction)
    return position


def name_dot(name):
    """The first "." of name in its index entry (one bit flip makes "/")."""
    return lambda data: entry_pos(data, name) + 6 + name.index(".")


LIB = "libpython3.11.so.1.0"
# (archive, label, position, bit, expected outcome)
FLIPS = [
    # Header: magic, indexEnd, indexOffset, memberCount.
    ("bin.qar", "magic", at(0), 0x01, (1, LIBS_ERROR)),
    ("bin.qar", "indexEnd low", at(4), 0x01, (1, LIBS_ERROR)),
    ("bin.qar", "indexEnd high", at(7), 0x80, (1, LIBS_ERROR)),
    ("bin.qar", "indexOffset low", at(8), 0x01, (1, LIBS_ERROR)),
    ("bin.qar", "indexOffset high", at(11), 0x80, (1, LIBS_ERROR)),
    # One member becomes none: an empty archive opens and extracts, and
    # the runtime library is then missing.
    ("bin.qar", "memberCount 1 to 0", at(12), 0x01, NO_RUNTIME),
    ("bin.qar", "memberCount high", at(15), 0x80, (1, LIBS_ERROR)),
    ("modules.qar", "magic", at(1), 0x04, (1, CORE_ERROR)),
    ("modules.qar", "indexEnd low", at(4), 0x01, (1, CORE_ERROR)),
    ("modules.qar", "indexOffset low", at(8), 0x01, (1, CORE_ERROR)),
    ("modules.qar", "memberCount low", at(12), 0x01, (1, CORE_ERROR)),
    ("modules.qar", "memberCount high", at(15), 0x80, (1, CORE_ERROR)),
    # Index: entry length, member offset, name, final NUL.
    ("bin.qar", "entry length", index_at(0), 0x01, (1, LIBS_ERROR)),
    ("bin.qar", "entry length high", index_at(1), 0x01, (1, LIBS_ERROR)),
    ("bin.qar", "member offset", index_at(2), 0x01, NO_RUNTIME),
    ("bin.qar", "member offset high", index_at(5), 0x80, (1, LIBS_ERROR)),
    ("bin.qar", "member name", index_at(6), 0x01, NO_RUNTIME),
    ("bin.qar", "name dot to slash", name_dot(LIB), 0x01, (1, LIBS_ERROR)),
    ("bin.qar", "last NUL", index_end_at(-1), 0x01, (1, LIBS_ERROR)),
    ("modules.qar", "entry length", index_at(0), 0x01, (1, CORE_ERROR)),
    ("modules.qar", "member offset high", index_at(5), 0x80,
     (1, EXT_ERROR)),
    ("modules.qar", "name dot to slash", name_dot("M2Crypto.ftpslib"),
     0x01, (1, EXT_ERROR)),
    ("modules.qar", "last NUL", index_end_at(-1), 0x01, (1, CORE_ERROR)),
    ("modules.qar", "member offset", index_at(2), 0x01, CLEAN_END),
    ("modules.qar", "member name", index_at(6), 0x01, CLEAN_END),
    # Members.  A stored member's length prefix is not used.
    ("bin.qar", "length prefix", content_at(LIB, delta=0), 0x01, HEALTHY),
    ("bin.qar", "ELF magic", content_at(LIB), 0x01, NO_RUNTIME),
    ("modules.qar", "length prefix", content_at("ftplib", delta=3), 0x80,
     HEALTHY),
    ("modules.qar", "marshal type of ftplib", content_at("ftplib"), 0x01,
     IMPORT_FAILS),
    ("modules.qar", "marshal type of socket", content_at("socket"), 0x01,
     IMPORT_FAILS),
    ("modules.qar", "ELF magic of _m2crypto",
     content_at("M2Crypto._m2crypto.so"), 0x01, IMPORT_FAILS),
    ("modules.qar", "ftplib at 1/4", content_at("ftplib", 0.25), 0x10,
     CLEAN_END),
    ("modules.qar", "ftplib at 1/2", content_at("ftplib", 0.5), 0x10,
     CLEAN_END),
    ("modules.qar", "ftpslib at 3/4",
     content_at("M2Crypto.ftpslib", 0.75), 0x10, CLEAN_END),
]


class ArchiveDamageTest(ReliabilityCase):
    def setUp(self):
        ReliabilityCase.setUp(self)
        self.pristine = {}
        for name in ("bin.qar", "modules.qar"):
            with open(os.path.join(self.app, name), "rb") as f:
                self.pristine[name] = f.read()

    def restore(self):
        for name, data in self.pristine.items():
            with open(os.path.join(self.app, name), "wb") as f:
                f.write(data)
        for name in REPORT_FILES:
            if os.path.exists(os.path.join(self.app, name)):
                os.unlink(os.path.join(self.app, name))

    def damaged_run(self, archive, data):
        """Install data as archive (None: remove it) and run once."""
        self.restore()
        path = os.path.join(self.app, archive)
        if data is None:
            os.unlink(path)
        else:
            with open(path, "wb") as f:
                f.write(data)
        before = (snapshot(self.app), self.outside_work_dirs())
        done = self.run_launcher([])
        self.assertNoSignal(done)
        self.assertEqual(done.stdout, b"")
        after_app = snapshot(self.app)
        for name in REPORT_FILES:
            after_app.pop(name, None)
        self.assertEqual((after_app, self.outside_work_dirs()), before,
                         "files changed outside the work directory")
        return done

    def outside_work_dirs(self):
        """TMPDIR and the current directory, work directories left out."""
        found = snapshot(self.cwd)
        for name, info in snapshot(self.tmp).items():
            if name.split(os.sep)[0] not in work_dirs(self.tmp):
                found["tmp/" + name] = info
        return found

    def check(self, done, expected):
        if expected == IMPORT_FAILS:
            self.assertEqual(done.returncode, 1)
            self.assertIn(b"ImportError", done.stderr)
            self.assertTrue(os.path.exists(os.path.join(
                self.app, "skiffrelay.log")), "no error log")
        elif expected == CLEAN_END:
            self.assertEqual(done.returncode, 1, done.stderr[-2000:])
            if done.stderr:
                self.assertIn(b"Error", done.stderr)
        else:
            self.assertEqual((done.returncode, done.stderr), expected)

    def test_healthy_baseline(self):
        self.check(self.damaged_run("bin.qar", self.pristine["bin.qar"]),
                   HEALTHY)

    def test_missing_or_truncated(self):
        for archive, error in (("bin.qar", LIBS_ERROR),
                               ("modules.qar", CORE_ERROR)):
            data = self.pristine[archive]
            for length in (None, 0, 15, 16, len(data) // 2, len(data) - 1):
                with self.subTest(archive=archive, length=length):
                    cut = None if length is None else data[:length]
                    self.check(self.damaged_run(archive, cut), (1, error))

    def test_one_flipped_byte(self):
        for archive, label, position, bit, expected in FLIPS:
            with self.subTest(archive=archive, flip=label):
                data = bytearray(self.pristine[archive])
                data[position(data)] ^= bit
                self.check(self.damaged_run(archive, bytes(data)), expected)


class TempDirTest(ReliabilityCase):
    """TMPDIR missing, not writable, or full."""

    def assertStartFails(self, done, expected):
        self.assertNoSignal(done)
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (expected[0], b"", expected[1]))

    def test_missing(self):
        done = self.run_launcher([], tmpdir=os.path.join(self.base, "none"))
        self.assertStartFails(done, NO_WORK_DIR)
        self.assertFalse(os.path.exists(os.path.join(self.base, "none")))

    def test_not_writable(self):
        require_root(self)
        locked = os.path.join(self.base, "locked")
        os.mkdir(locked, 0o555)
        before = snapshot(self.base)
        done = self.run_launcher([], tmpdir=locked, user=NOBODY,
                                 group=NOBODY, extra_groups=[])
        self.assertStartFails(done, NO_WORK_DIR)
        self.assertEqual(snapshot(self.base), before)

    def mount_tmpfs(self, options):
        require_root(self)
        where = os.path.join(self.base, "small")
        os.mkdir(where, 0o755)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", options,
                               "skiff-rel", where], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=30)
        if done.returncode != 0:
            self.skipTest("cannot mount tmpfs: %r" % done.stdout)
        self.addCleanup(self.unmount, where)
        return where

    def unmount(self, where):
        # Sweep children may still be looking into it: bounded retries,
        # then a lazy unmount.
        def unmounted():
            return subprocess.run(["umount", where], timeout=30,
                                  stderr=subprocess.DEVNULL).returncode == 0
        if not wait_until(unmounted, 10.0, 0.2):
            subprocess.run(["umount", "-l", where], timeout=30)

    def test_full(self):
        with open(os.path.join(self.app, "bin.qar"), "rb") as f:
            _, _, entries = read_index(f.read(16) + f.read())
        lib_size = os.path.getsize(os.path.join(self.app, "bin.qar"))
        cases = [
            # No inode left beside the root: no work directory.
            ("size=2m,nr_inodes=1", NO_WORK_DIR),
            # Room for the directory, not for the runtime library.
            ("size=2m", (1, LIBS_ERROR)),
            # Room for the runtime library, not for the modules.
            ("size=%dk" % (lib_size // 1024 + 256), (1, EXT_ERROR)),
        ]
        self.assertEqual(len(entries), 1)
        for options, expected in cases:
            with self.subTest(options=options):
                where = self.mount_tmpfs(options)
                before = snapshot(self.app), snapshot(self.cwd)
                done = self.run_launcher([], tmpdir=where)
                self.assertStartFails(done, expected)
                self.assertEqual((snapshot(self.app), snapshot(self.cwd)),
                                 before)
                # Nothing but work directories on the full file system.
                self.assertEqual(set(os.listdir(where)), work_dirs(where))


if __name__ == "__main__":
    unittest.main()
