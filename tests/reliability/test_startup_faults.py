"""Damaged archives and unusable temporary directories at start-up.

Each case runs the launcher without arguments (the whole start-up, every
import of the main script, no network; a healthy run prints nothing and
ends with status 1) and checks the outcome the start-up sequence defines:
its "# Error: ...\\r\\n" line with status 1 (no work directory, damaged
archives), status 2 when the runtime library cannot be loaded, or, for
damage that only shows when the runtime imports a module, status 1 with
the error report.  Never a signal, never
a hang, and no file appears or changes outside the work directory (the
error reporter's log and dump beside the executable are its output).

Both archives are stored (not compressed) and carry no checksum, so a
flipped byte inside a member is noticed only where its content is used;
the member cases below flip bytes whose effect is fixed by the format
(the runtime library's ELF magic, a module's marshal type code) and a few
in the middle of an imported module's code.
"""

import fnmatch
import os
import pwd
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest

from rel_helpers import (DIST_FILES, NOBODY, REPORT_FILES, RUN_TIMEOUT,
                         WORK_DIR_PATTERN, ReliabilityCase, dist_dir,
                         ftps_servers, require_root, snapshot, sweepers_in,
                         wait_until, work_dir_of, work_dirs)

STORED_MAGIC = b"qAR*"
LIBS_ERROR = b"# Error: unable to extract required libraries\r\n"
CORE_ERROR = b"# Error: unable to load the core modules archive\r\n"
EXT_ERROR = b"# Error: unable to extract the python extensions archive\r\n"
INIT_ZIP_ERROR = (b"# Error: modules.qar holds no usable tav_init.zip "
                  b"(missing, or not a zip archive)\r\n")
HEALTHY = (1, b"")
NO_RUNTIME = (2, b"")
# The user the squatting test creates (and removes) when it is missing.
SQUATTER = "skiffsquat"


def no_work_dir(where):
    return (1, b"# Error: unable to create a work directory in %s\r\n" %
            os.fsencode(where))
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


def content_end_at(name, back):
    """A byte of member name, back bytes before the end of its content."""
    return lambda data: member_span(data, name)[1] - back


def name_at(name, i):
    """Character i of name in its index entry."""
    return lambda data: entry_pos(data, name) + 6 + i


def name_dot(name):
    """The first "." of name in its index entry (one bit flip makes "/")."""
    return lambda data: entry_pos(data, name) + 6 + name.index(".")


LIB = "libpython3.11.so.1.0"
# (archive, label, position, bit, expected outcome)
HEADER_FLIPS = [
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
]
# Rows that read a stored index and expect stored (not compressed)
# members; an archive of another kind skips them.
STORED_FLIPS = [
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
    # The runtime's start-up zip renamed, or its end record damaged: the
    # archive step's line, not the runtime's fatal abort.
    ("modules.qar", "tav_init.zip renamed", name_at("tav_init.zip", 0), 0x01,
     (1, INIT_ZIP_ERROR)),
    ("modules.qar", "tav_init.zip end record",
     content_end_at("tav_init.zip", 22), 0x01, (1, INIT_ZIP_ERROR)),
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
            if not fnmatch.fnmatchcase(name.split(os.sep)[0],
                                       WORK_DIR_PATTERN):
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
        for archive, label, position, bit, expected in (HEADER_FLIPS +
                                                        STORED_FLIPS):
            with self.subTest(archive=archive, flip=label):
                if (self.pristine[archive][:4] != STORED_MAGIC and
                        (archive, label, position, bit, expected) in
                        STORED_FLIPS):
                    self.skipTest("%s is not a stored archive" % archive)
                data = bytearray(self.pristine[archive])
                data[position(data)] ^= bit
                self.check(self.damaged_run(archive, bytes(data)), expected)

    def test_member_that_is_not_code(self):
        # A module's member starting with the marshal data of another
        # object (the reader ignores the bytes after it), or with a tuple
        # whose count the data cannot hold: the import fails like one of
        # code that cannot be read.
        if self.pristine["modules.qar"][:4] != STORED_MAGIC:
            self.skipTest("modules.qar is not a stored archive")
        for label, marshalled in (("int 42", b"\xe9*\x00\x00\x00"),
                                  ("None", b"N"),
                                  ("tuple", b"\xa9\x02NN"),
                                  ("tuple of 2**31-1",
                                   b"(\xff\xff\xff\x7fN")):
            with self.subTest(member=label):
                data = bytearray(self.pristine["modules.qar"])
                start = content_at("ftplib")(data)
                data[start:start + len(marshalled)] = marshalled
                self.check(self.damaged_run("modules.qar", bytes(data)),
                           IMPORT_FAILS)


class ReportFilesTest(ReliabilityCase):
    def test_planted_entries_at_the_report_names(self):
        # An internal error (a module whose code cannot be read) with a
        # FIFO, a link and a dangling link at the report files' names: the
        # report reaches standard error only, nothing is written through
        # them or created, and the run does not wait on the FIFO.
        modules = os.path.join(self.app, "modules.qar")
        with open(modules, "rb") as f:
            data = bytearray(f.read())
        data[content_at("ftplib")(data)] ^= 0x01
        with open(modules, "wb") as f:
            f.write(data)
        victim = os.path.join(self.base, "victim")
        with open(victim, "w") as f:
            f.write("keep")
        log, dump = (os.path.join(self.app, n) for n in REPORT_FILES)
        plants = [(lambda: os.mkfifo(log), lambda: os.symlink(victim, dump)),
                  (lambda: os.symlink(victim + ".new", log),
                   lambda: os.symlink(victim + ".new", dump))]
        for n, plant in enumerate(plants):
            with self.subTest(plants=n):
                for name in (log, dump):
                    if os.path.lexists(name):
                        os.unlink(name)
                for make in plant:
                    make()
                done = self.run_launcher([])
                self.assertNoSignal(done)
                self.assertEqual(done.returncode, 1)
                self.assertIn(b"ImportError", done.stderr)
                with open(victim) as f:
                    self.assertEqual(f.read(), "keep")
                self.assertFalse(os.path.exists(victim + ".new"))


class TempDirTest(ReliabilityCase):
    """TMPDIR missing, not writable, full, mounted noexec; work directory
    names squatted by another user."""

    def assertStartFails(self, done, expected):
        self.assertNoSignal(done)
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (expected[0], b"", expected[1]))

    def run_elsewhere(self, tmpdir):
        """Run once with a TMPDIR the run must pass over for /tmp (or
        /var/tmp); remove the work directory it leaves there."""
        proc = self.start([], tmpdir=tmpdir)
        done = self.finish(proc)
        name = work_dir_of(proc.pid)
        for system_tmp in ("/tmp", "/var/tmp"):
            wait_until(lambda: not sweepers_in(system_tmp + "/" + name), 15.0)
            shutil.rmtree(os.path.join(system_tmp, name), ignore_errors=True)
        return done

    def test_missing(self):
        # A TMPDIR that does not exist allows nothing: the run goes on in
        # the system's temporary directory.
        done = self.run_elsewhere(os.path.join(self.base, "none"))
        self.assertStartFails(done, HEALTHY)
        self.assertFalse(os.path.exists(os.path.join(self.base, "none")))

    def test_noexec(self):
        # The runtime library cannot be loaded from a file system mounted
        # noexec (such runs used to end with status 2): the run works in
        # /tmp instead and leaves nothing in TMPDIR.
        where = self.mount_tmpfs("noexec", "noexec,size=64m")
        done = self.run_elsewhere(where)
        self.assertStartFails(done, HEALTHY)
        self.assertEqual(os.listdir(where), [])

    def test_names_squatted_by_another_user(self):
        # Another user takes all 26 names of a run's process id before it
        # starts (directories, files, links): the run still works, under
        # an unpredictable name, and leaves the squatter's entries alone.
        require_root(self)
        squatter = self.local_user(SQUATTER)
        os.chmod(self.tmp, 0o1777)  # a shared temporary directory
        gate_read, gate_write = os.pipe()
        gate = ("import os, sys; os.read(int(sys.argv[1]), 1); "
                "os.execv(sys.argv[2], sys.argv[2:])")
        proc = self.start([], prefix=[sys.executable, "-c", gate,
                                      str(gate_read)], pass_fds=[gate_read])
        os.close(gate_read)
        try:
            squat = ("import os, sys\n"
                     "for i, c in enumerate('ABCDEFGHIJKLMNOPQRSTUVWXYZ'):\n"
                     "    p = os.path.join(sys.argv[1], 'TAV%s%s-SKIFFRELAY'"
                     " % (sys.argv[2], c))\n"
                     "    if i % 3 == 0: os.mkdir(p)\n"
                     "    elif i % 3 == 1: open(p, 'w').close()\n"
                     "    else: os.symlink('/nonexistent', p)\n")
            subprocess.run([sys.executable, "-c", squat, self.tmp,
                            str(proc.pid)], user=squatter.pw_uid,
                           group=squatter.pw_gid, extra_groups=[],
                           check=True, timeout=30)
        finally:
            os.close(gate_write)  # opens the gate
        done = self.finish(proc)
        self.assertStartFails(done, HEALTHY)
        self.wait_swept(self.tmp, keep=work_dirs(self.tmp))
        squatted = [work_dir_of(proc.pid, c)
                    for c in "ABCDEFGHIJKLMNOPQRSTUVWXYZ"]
        for name in squatted:
            st = os.lstat(os.path.join(self.tmp, name))
            self.assertEqual(st.st_uid, squatter.pw_uid, name)
        left = set(os.listdir(self.tmp)) - set(squatted)
        self.assertTrue(all(fnmatch.fnmatchcase(n, WORK_DIR_PATTERN) and
                            n not in squatted for n in left), left)

    def local_user(self, name):
        """The passwd entry of user name, created (and removed after the
        test) when missing."""
        try:
            return pwd.getpwnam(name)
        except KeyError:
            pass
        made = subprocess.run(["useradd", "--system", "--no-create-home",
                               "--shell", "/usr/sbin/nologin", name],
                              stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=30)
        if made.returncode != 0:
            self.skipTest("cannot create user %s: %r" % (name, made.stdout))
        self.addCleanup(subprocess.run, ["userdel", name], timeout=30,
                        stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL)
        return pwd.getpwnam(name)

    def test_not_writable(self):
        require_root(self)
        locked = os.path.join(self.base, "locked")
        os.mkdir(locked, 0o555)
        before = snapshot(self.base)
        done = self.run_launcher([], tmpdir=locked, user=NOBODY,
                                 group=NOBODY, extra_groups=[])
        self.assertStartFails(done, no_work_dir(locked))
        self.assertEqual(snapshot(self.base), before)

    def test_relative(self):
        # The run changes its current directory before the runtime loads
        # extension modules from the work directory; a work directory
        # named relative to the old one would no longer be found.
        os.mkdir(os.path.join(self.cwd, "rel"))
        done = self.run_launcher([], tmpdir="rel")
        self.assertNoSignal(done)
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (1, b"", b""))
        # Its own directory (unless its sweep already removed it once the
        # run had ended) and nothing beside the executable.
        self.assertLessEqual(
            len(work_dirs(os.path.join(self.cwd, "rel"))), 1)
        self.assertEqual(sorted(os.listdir(self.app)), sorted(DIST_FILES))

    def test_long_path(self):
        # Paths are built in fixed buffers: a long TMPDIR leaves no room,
        # first for the extracted files' names, then for the work
        # directory itself, then for TMPDIR.  Each is passed over for the
        # next temporary directory, with nothing left behind in it.
        for length in (900, 975, 990, 1010, 1100, 4000):
            with self.subTest(length=length):
                deep = self.base
                while len(deep) < length:
                    deep = os.path.join(deep, "d" * min(
                        200, max(1, length - len(deep) - 1)))
                os.makedirs(deep, exist_ok=True)
                before = snapshot(self.app), snapshot(self.cwd)
                done = self.run_elsewhere(deep)
                self.assertStartFails(done, HEALTHY)
                self.assertEqual((snapshot(self.app), snapshot(self.cwd)),
                                 before)
                self.assertEqual(os.listdir(deep), [])

    def mount_tmpfs(self, name, options):
        require_root(self)
        where = os.path.join(self.base, name)
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
        # A TMPDIR without room for a run is passed over for /tmp, and the
        # part of the work directory made there is removed: no inode for
        # the directory, no room for the runtime library, no room for the
        # modules.
        lib_size = os.path.getsize(os.path.join(self.app, "bin.qar"))
        for n, options in enumerate(["size=2m,nr_inodes=1", "size=2m",
                                     "size=%dk" % (lib_size // 1024 + 256)]):
            with self.subTest(options=options):
                where = self.mount_tmpfs("small%d" % n, options)
                before = snapshot(self.app), snapshot(self.cwd)
                done = self.run_elsewhere(where)
                self.assertStartFails(done, HEALTHY)
                self.assertEqual((snapshot(self.app), snapshot(self.cwd)),
                                 before)
                self.assertEqual(os.listdir(where), [])

    def test_room_for_one_run(self):
        # Runs at once on a TMPDIR with room for about one: those that find
        # it full move on, and each removes its own directory at its end.
        where = self.mount_tmpfs("one", "size=16m")
        procs = [self.start([], tmpdir=where) for _ in range(6)]
        for proc in procs:
            self.assertStartFails(self.finish(proc), HEALTHY)
        self.assertTrue(wait_until(lambda: not os.listdir(where), 5.0),
                        os.listdir(where))
        for proc in procs:
            for system_tmp in ("/tmp", "/var/tmp"):
                self.assertFalse(os.path.exists(os.path.join(
                    system_tmp, work_dir_of(proc.pid))))

    def test_file_size_limit(self):
        # Under ulimit -f no directory can hold the runtime library: every
        # one is tried and removed again, and the line says why; no
        # SIGXFSZ.
        before = snapshot(self.app), snapshot(self.cwd)
        done = self.run_launcher([], prefix=[
            "/bin/sh", "-c", 'ulimit -f 1000 && exec "$0" "$@"'])
        self.assertNoSignal(done)
        self.assertEqual((done.returncode, done.stdout), (1, b""))
        self.assertTrue(done.stderr.startswith(
            b"# Error: no temporary directory can hold a run (" +
            os.fsencode(self.tmp) + b": no room"), done.stderr)
        self.assertTrue(done.stderr.endswith(b"\r\n"))
        self.assertEqual(done.stderr.count(b"\n"), 1)
        self.assertIn(b"/tmp: no room", done.stderr)
        self.assertEqual((snapshot(self.app), snapshot(self.cwd)), before)
        self.assertEqual(work_dirs(self.tmp), set())

    def test_lock_taken_again_after_moving_on(self):
        # A run whose TMPDIR is too deep for its files moves on to /tmp
        # (or /var/tmp) and locks its directory there too: a sweep that
        # finds that directory long unchanged leaves it to the live run.
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(RUN_TIMEOUT)
        deep = self.base
        while len(deep) < 975:
            deep = os.path.join(deep, "d" * min(200, 975 - len(deep) - 1))
        os.makedirs(deep)
        env = dict(self.env(deep), SKIFFRELAY_TIMEOUT="20")
        proc = self.start(["test", "127.0.0.1:%d" % listener.getsockname()[1],
                           "u", "p", "x"], env=env)
        candidates = [os.path.join(system_tmp, work_dir_of(proc.pid))
                      for system_tmp in ("/tmp", "/var/tmp")]
        for path in candidates:
            self.addCleanup(shutil.rmtree, path, True)
        conn, _ = listener.accept()  # the main script runs
        self.addCleanup(conn.close)
        moved = [p for p in candidates if os.path.isdir(p)][0]
        files = sorted(os.listdir(moved))
        old = time.time() - 3600
        os.utime(moved, (old, old))
        subprocess.run([self.launcher(), "--remove_temp_files", moved],
                       timeout=RUN_TIMEOUT, stdin=subprocess.DEVNULL)
        self.assertTrue(os.path.isdir(moved), "swept while its run lives")
        self.assertEqual(sorted(os.listdir(moved)), files)
        conn.close()  # no greeting: the command fails at once
        done = self.finish(proc)
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (1, b"Error opening target\n", b""))
        self.assertFalse(os.path.exists(moved))


class InterruptTest(ReliabilityCase):
    def test_interrupt_before_the_main_script(self):
        # SIGINT from the moment the work directory appears on, through
        # extraction, the runtime's start and the framework modules: the
        # run ends with status 1 and says nothing (no signal, no report
        # blaming a module), and its directory is removed all the same.
        for delay in (0, 0.002, 0.005, 0.01, 0.02, 0.03, 0.05):
            with self.subTest(delay=delay):
                proc = self.start([])
                self.assertTrue(wait_until(lambda: work_dirs(self.tmp), 30.0,
                                           0.0002), "the run never started")
                time.sleep(delay)
                proc.send_signal(signal.SIGINT)
                done = self.finish(proc)
                self.assertNoSignal(done)
                self.assertEqual((done.returncode, done.stdout, done.stderr),
                                 (1, b"", b""))
                self.wait_swept(self.tmp)
                self.assertEqual(sorted(os.listdir(self.app)),
                                 sorted(DIST_FILES))


class ClosedStreamsTest(ReliabilityCase):
    """Started with standard streams closed: what would have gone to them
    must not land in a file the run opens (the lock file comes first)."""

    def test_output_never_lands_in_the_lock_file(self):
        # Looked at while the run waits for a server that never greets:
        # each closed standard stream is the null device, not the lock
        # file or another file the run opened first.
        require_root(self)
        listener = None
        for attempt in range(5):
            try:
                address = ftps_servers.free_loopback_address(200, 50)
                listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                listener.bind((address, 21))
                listener.listen(8)  # connects complete; nothing is said
                break
            except (OSError, ftps_servers.ServerUnavailable):
                if listener is not None:
                    listener.close()
                listener = None
        if listener is None:
            self.skipTest("no loopback address free for port 21")
        self.addCleanup(listener.close)
        env = dict(self.env(), SKIFFRELAY_TIMEOUT="5")
        for closing in ("0<&-", "1>&-", "2>&-", "0<&- 1>&- 2>&-"):
            with self.subTest(closing=closing):
                proc = self.start(["test", address, "u", "p", "x"], env=env,
                                  prefix=["/bin/sh", "-c",
                                          'exec "$0" "$@" ' + closing])
                lock = os.path.join(self.tmp, work_dir_of(proc.pid),
                                    "__TAV_LOCK__")
                self.assertTrue(wait_until(lambda: os.path.exists(lock),
                                           30.0), "the run never started")
                time.sleep(0.5)  # well into the wait for the greeting
                streams = [os.readlink("/proc/%d/fd/%d" % (proc.pid, fd))
                           for fd in (0, 1, 2)]
                done = self.finish(proc)
                self.assertNoSignal(done)
                for fd in closing.replace("<&-", "").replace(
                        ">&-", "").split():
                    self.assertEqual(streams[int(fd)], "/dev/null", streams)

    def test_pipe_without_reader(self):
        # The caller stopped reading: the run still ends with its status,
        # not by SIGPIPE, whether the start-up error line or the result
        # line meets the broken pipe.
        try:
            refused = ftps_servers.free_loopback_address(200, 50)
        except ftps_servers.ServerUnavailable:
            refused = "127.0.0.254"
        cases = [("stderr", "modules.qar", []),
                 ("stdout", None, ["test", refused, "u", "p", "x"])]
        for stream, missing, args in cases:
            with self.subTest(stream=stream):
                shutil.copy2(os.path.join(dist_dir(), "modules.qar"),
                             self.app)
                if missing:
                    os.unlink(os.path.join(self.app, missing))
                read_end, write_end = os.pipe()
                os.close(read_end)
                errors = os.path.join(self.base, "stderr.txt")
                err = open(errors, "wb")
                self.addCleanup(err.close)
                pipes = {"stdout": subprocess.DEVNULL, "stderr": err,
                         stream: write_end}
                try:
                    proc = subprocess.Popen(
                        [self.launcher()] + args, cwd=self.cwd,
                        env=self.env(), stdin=subprocess.DEVNULL, **pipes)
                finally:
                    os.close(write_end)
                try:
                    status = proc.wait(timeout=RUN_TIMEOUT)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait(timeout=10)
                    self.fail("run did not end (hang)")
                self.assertEqual(status, 1)
                if stream == "stdout":
                    # The lost result line is not reported anywhere else.
                    with open(errors, "rb") as f:
                        self.assertEqual(f.read(), b"")


if __name__ == "__main__":
    unittest.main()
