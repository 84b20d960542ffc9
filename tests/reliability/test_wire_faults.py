"""send / test / tchk against a server that fails at one point of the dialogue.

The scripted server (tests/servers/fault_ftpd.py) listens on port 21 of a
free loopback address, so these tests need root.  Each command must print
its own failure line, end with status 1 within the bound, and leave no
traceback on standard error; an upload that did not complete is never
reported as "ok".  A server that stalls or floods the client is cut off by
the time and size limits (LimitTest), and local files that would stall a
run (a FIFO, a device, a link at the marker's name) are never waited on.
Under tight memory a run still prints its line (TightMemoryTest, on a free
port: no root needed).
"""

import os
import resource
import tempfile
import time
import unittest

from rel_helpers import ReliabilityCase, ftps_servers, require_root
import fault_ftpd  # noqa: E402 (found through rel_helpers' path)

# Upper bound for one failing run; start-up takes a fraction of a second,
# "send" adds its fixed 0.6 s pause.
BOUND = 20.0
OK_LINES = {"send": b"ok\n", "test": b"ok-", "tchk": b"ok-"}
FAIL_LINES = {"send": b"IOError sending\n",
              "test": b"Error opening target\n",
              "tchk": b"error listing remote dir\n"}
ALL = ("send", "test", "tchk")
# fault -> the commands that reach the faulty step ("test" opens no data
# connection and renames nothing).
CASES = [
    ("refused", ALL),
    ("greeting-close", ALL),
    ("auth-refused", ALL),
    ("tls-garbage", ALL),
    ("login-refused", ALL),
    ("pasv-refused", ("send", "tchk")),
    ("data-cut", ("send", "tchk")),
    ("rename-refused", ("send",)),
    ("quit-silent", ALL),
]
UPLOAD_SIZE = 4 << 20
# The pauses the client makes, as the server sees them: the command, the
# reply the pause follows (None: whichever came last) and its least length.
# "send" waits after the upload's 226 before it renames (the size check
# comes after the wait), "test" and "tchk" before QUIT.
PAUSES = {"send": ("RNFR", "226", 0.6), "test": ("QUIT", None, 0.05),
          "tchk": ("QUIT", None, 0.01)}

# SKIFFRELAY_TIMEOUT of the limit tests, and what a run may take beyond
# it (start-up, send's 0.6 s pause, a loaded machine).
LIMIT = 5.0
SLACK = 6.0
DEFAULT_LIMIT = 60.0
BIG_UPLOAD = 64 << 20
# fault, command, line, what ends the run: the time limit of one wait, or
# a size limit well before it.  "data-held": the drain after an upload
# ends at the limit and the server's 226 decides.
LIMIT_CASES = [
    ("no-accept", "test", FAIL_LINES["test"], "time"),
    ("silent", "tchk", FAIL_LINES["tchk"], "time"),
    ("auth-stall", "test", FAIL_LINES["test"], "time"),
    ("handshake-stall", "test", FAIL_LINES["test"], "time"),
    ("data-tls-stall", "send", FAIL_LINES["send"], "time"),
    ("transfer-stall", "send", FAIL_LINES["send"], "time"),
    ("transfer-stall", "tchk", FAIL_LINES["tchk"], "time"),
    # The reply on the control connection ends the wait for the data
    # connection to close: no limit needed.
    ("data-held", "send", b"ok\n", "reply"),
    ("reply-bomb-greeting", "test", FAIL_LINES["test"], "size"),
    ("reply-bomb-user", "send", FAIL_LINES["send"], "size"),
    ("reply-trickle", "test", FAIL_LINES["test"], "time"),
    ("listing-bomb", "tchk", FAIL_LINES["tchk"], "size"),
]
# The command on which each fault strikes, per client command: the server
# must have received it (proof that the run got that far).
STRIKES_ON = {"auth-refused": "AUTH", "tls-garbage": "AUTH",
              "login-refused": "PASS", "pasv-refused": "PASV",
              "data-cut": {"send": "STOR", "tchk": "NLST"},
              "rename-refused": "RNFR", "quit-silent": "QUIT"}


def _pause_before(timeline, verb, code):
    """Seconds from the server's last reply (with code, if given) to the
    first command verb after it."""
    last = None
    for when, kind, what in timeline:
        if kind == "reply" and code in (None, what):
            last = when
        elif kind == "command" and what == verb and last is not None:
            return when - last
    raise AssertionError("no %s after a reply %s" % (verb, code or ""))


class FaultServerCase(ReliabilityCase):
    def setUp(self):
        ReliabilityCase.setUp(self)
        require_root(self)
        try:
            self.certfile, self.keyfile, _ = ftps_servers.make_certificate(
                self.base, "fault.test")
        except ftps_servers.ServerUnavailable as e:
            self.skipTest(str(e))
        self.upload = os.path.join(self.base, "up.xml")
        with open(self.upload, "wb") as f:
            f.write(os.urandom(UPLOAD_SIZE))

    def start_server(self, fault):
        """A fault server on a free loopback address; None for "refused"."""
        root = tempfile.mkdtemp(prefix="root-%s-" % fault, dir=self.base)
        for attempt in range(5):
            try:
                address = ftps_servers.free_loopback_address(170, 40)
            except ftps_servers.ServerUnavailable as e:
                self.skipTest(str(e))
            if fault == "refused":
                return None, address, root
            try:
                server = fault_ftpd.FaultServer(address, fault, root,
                                                self.certfile, self.keyfile)
            except OSError:
                if attempt == 4:  # taken by a parallel run each time
                    raise
                continue
            self.addCleanup(server.stop)
            return server, address, root

    def run_command(self, cmd, address, env=None, timeout=BOUND,
                    last=None):
        if last is None:
            last = {"send": self.upload, "test": "yes", "tchk": "x"}[cmd]
        started = time.monotonic()
        done = self.run_launcher([cmd, address, "user", "pw", last],
                                 env=env, timeout=timeout)
        return done, time.monotonic() - started


class WireFaultTest(FaultServerCase):
    def test_control_server_works(self):
        # The same scripted server without a fault serves all three
        # commands, so each fault below is what makes them fail.
        server, address, root = self.start_server("none")
        for cmd in ALL:
            with self.subTest(cmd=cmd):
                del server.timeline[:]
                done, _ = self.run_command(cmd, address)
                self.assertEqual(done.returncode, 1, done.stderr[-2000:])
                self.assertTrue(done.stdout.startswith(OK_LINES[cmd]),
                                done.stdout)
                self.assertEqual(done.stderr, b"")
                verb, code, least = PAUSES[cmd]
                self.assertGreaterEqual(
                    _pause_before(server.timeline, verb, code), least)
        with open(os.path.join(root, "up.xml"), "rb") as f, \
                open(self.upload, "rb") as g:
            self.assertTrue(f.read() == g.read(), "upload differs")

    def test_each_fault_gives_the_failure_line(self):
        for fault, commands in CASES:
            server, address, root = self.start_server(fault)
            for cmd in commands:
                with self.subTest(fault=fault, cmd=cmd):
                    if server is not None:
                        del server.commands[:]
                    done, took = self.run_command(cmd, address)
                    self.assertNoSignal(done)
                    self.assertNotIn(b"Traceback", done.stderr)
                    self.assertEqual(done.stderr, b"")
                    self.assertEqual(done.returncode, 1)
                    self.assertEqual(done.stdout, FAIL_LINES[cmd])
                    self.assertLess(took, BOUND)
                    if server is not None:
                        self.check_dialogue(fault, cmd, server.commands)
                    if cmd == "send":
                        self.check_remote(fault, root)

    def test_bytes_pass_unchanged(self):
        # Names, passwords and replies are bytes to the caller and to the
        # server; none is refused for not being UTF-8 or ASCII, in the
        # C locale (no LANG at all, as under many services) or a UTF-8 one.
        server, address, root = self.start_server("none")
        server.greeting = b"220 Willkommen, f\xfcr Dateien \xc3\xbc."
        names = [b"caf\xc3\xa9.xml", b"caf\xe9.xml"]
        for name in names:
            with open(os.path.join(os.fsencode(self.base), name), "wb") as f:
                f.write(name)
        password = b"p\xe4ss\xc3\xa4"
        for lang in (None, "C.UTF-8"):
            env = {k: v for k, v in self.env().items()
                   if not k.startswith(("LANG", "LC_"))}
            if lang:
                env["LANG"] = lang
            for name in names:
                with self.subTest(lang=lang, name=name):
                    del server.raw[:]
                    done = self.run_launcher(
                        ["send", address, "user", password,
                         os.path.join(os.fsencode(self.base), name)],
                        env=env, timeout=BOUND)
                    self.assertEqual((done.returncode, done.stdout,
                                      done.stderr), (1, b"ok\n", b""))
                    self.assertIn(b"PASS " + password, server.raw)
                    self.assertIn(b"STOR " + name[:-1] + b"t", server.raw)
                    self.assertIn(b"RNTO " + name, server.raw)
                    with open(os.path.join(os.fsencode(root), name),
                              "rb") as f:
                        self.assertEqual(f.read(), name)
            with self.subTest(lang=lang, cmd="tchk"):
                done = self.run_launcher(["tchk", address, "user", password,
                                          "x"], env=env, timeout=BOUND)
                self.assertEqual((done.returncode, done.stderr), (1, b""))
                self.assertEqual(done.stdout,
                                 b"ok-" + b"|".join(sorted(names)) + b"\n")

    def check_dialogue(self, fault, cmd, commands):
        strike = STRIKES_ON.get(fault)
        if isinstance(strike, dict):
            strike = strike[cmd]
        if strike is not None:
            self.assertIn(strike, commands)
        # After a failure the connection is dropped without a goodbye.
        if fault != "quit-silent":
            self.assertNotIn("QUIT", commands)

    def check_remote(self, fault, root):
        """What an upload that failed may leave on the server."""
        names = set(os.listdir(root))
        if fault == "quit-silent":
            # Complete and renamed; only the goodbye was missing.
            self.assertEqual(names, {"up.xml"})
            os.unlink(os.path.join(root, "up.xml"))
            return
        self.assertNotIn("up.xml", names)
        if fault == "data-cut":
            self.assertLess(os.path.getsize(os.path.join(root, "up.xmt")),
                            UPLOAD_SIZE)
        elif fault == "rename-refused":
            self.assertEqual(os.path.getsize(os.path.join(root, "up.xmt")),
                             UPLOAD_SIZE)
        else:
            self.assertEqual(names, set())
        for name in names:
            os.unlink(os.path.join(root, name))


class LimitTest(FaultServerCase):
    """Every wait ends after the time limit, every flood at its size limit."""

    def limited_env(self, limit=LIMIT):
        env = self.env()
        env.pop("SKIFFRELAY_TIMEOUT", None)
        if limit is not None:
            env["SKIFFRELAY_TIMEOUT"] = str(limit)
        return env

    def test_each_stall_and_flood_ends_the_command(self):
        big = os.path.join(self.base, "big.xml")
        with open(big, "wb") as f:
            f.truncate(BIG_UPLOAD)  # more than the socket buffers hold
        for fault, cmd, line, ends_by in LIMIT_CASES:
            server, address, _ = self.start_server(fault)
            with self.subTest(fault=fault, cmd=cmd):
                done, took = self.run_command(
                    cmd, address, env=self.limited_env(),
                    timeout=LIMIT + SLACK + 30,
                    last=big if cmd == "send" else None)
                self.assertEqual((done.returncode, done.stdout, done.stderr),
                                 (1, line, b""))
                self.assertLess(took, LIMIT + SLACK)
                if ends_by == "time":
                    self.assertGreater(took, LIMIT - 0.5)
                else:
                    self.assertLess(took, LIMIT - 0.5)
            server.stop()

    def test_default_limit(self):
        server, address, _ = self.start_server("silent")
        done, took = self.run_command("test", address,
                                      env=self.limited_env(None),
                                      timeout=DEFAULT_LIMIT + SLACK + 30)
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (1, b"Error opening target\n", b""))
        self.assertGreater(took, DEFAULT_LIMIT - 0.5)
        self.assertLess(took, DEFAULT_LIMIT + SLACK)

    def test_non_regular_file_refused_before_connecting(self):
        server, address, _ = self.start_server("none")
        fifo = os.path.join(self.base, "pipe.xml")
        os.mkfifo(fifo)
        for path in (fifo, "/dev/zero", self.base):
            with self.subTest(path=path):
                done, _ = self.run_command("send", address,
                                           env=self.limited_env(), last=path)
                self.assertEqual((done.returncode, done.stdout, done.stderr),
                                 (1, b"IOError sending\n", b""))
        self.assertEqual(server.sessions, [])

    def test_marker_never_opened_through_a_plant(self):
        # The marker's name is predictable and its folder may be writable
        # by others: a link there must not be followed, a FIFO not block.
        server, address, _ = self.start_server("none")
        done, _ = self.run_command("tchk", address, env=self.limited_env())
        self.assertEqual(done.stdout, b"ok-placeholder\n")
        markers = [n for n in os.listdir(self.app) if n.endswith(".txt")]
        self.assertEqual(len(markers), 1, markers)
        marker = os.path.join(self.app, markers[0])
        target = os.path.join(self.base, "target.txt")
        for plant in (lambda: os.symlink(target, marker),
                      lambda: os.mkfifo(marker)):
            with open(target, "wb") as f:
                f.write(b"keep")
            os.unlink(marker)
            plant()
            done, took = self.run_command("tchk", address,
                                          env=self.limited_env())
            self.assertEqual((done.returncode, done.stdout, done.stderr),
                             (1, b"ok-placeholder\n", b""))
            self.assertLess(took, LIMIT)
            with open(target, "rb") as f:
                self.assertEqual(f.read(), b"keep")


class TightMemoryTest(ReliabilityCase):
    # Steps below the least address-space limit under which "test"
    # succeeds: a MemoryError, wherever it strikes once the command is
    # known, gives the failure line and nothing else on standard output;
    # an error report, with a command word or without, says what ran out.
    STEP_MB = 0.25
    STEPS = 16

    def test_memory_error_gives_the_failure_line(self):
        try:
            certfile, keyfile, _ = ftps_servers.make_certificate(
                self.base, "127.0.0.1")
        except ftps_servers.ServerUnavailable as e:
            self.skipTest(str(e))
        server = fault_ftpd.FaultServer("127.0.0.1", "none", self.base,
                                        certfile, keyfile, port=0)
        self.addCleanup(server.stop)

        def run(megabytes, word="test"):
            limit = int(megabytes * 1024 * 1024)
            return self.run_launcher(
                [word, "127.0.0.1:%d" % server.port, "u", "pw", "no"],
                timeout=BOUND, preexec_fn=lambda: resource.setrlimit(
                    resource.RLIMIT_AS, (limit, limit)))
        least = 64
        while least > 8 and run(least - 1).stdout == b"ok\n":
            least -= 1
        for step in range(1, self.STEPS + 1):
            megabytes = least - step * self.STEP_MB
            with self.subTest(limit_mb=megabytes):
                for word, lines in (("test", (b"ok\n", FAIL_LINES["test"])),
                                    ("Test", (b"",))):
                    done = run(megabytes, word)
                    self.assertIn(done.stdout, lines)
                    self.assertEqual(done.returncode, 1)
                    if done.stderr:
                        self.assertIn(b"out of memory", done.stderr)
                        self.assertNotIn(b"No module named", done.stderr)


if __name__ == "__main__":
    unittest.main()
