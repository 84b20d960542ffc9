"""send / test / tchk against a server that fails at one point of the dialogue.

The scripted server (tests/servers/fault_ftpd.py) listens on port 21 of a
free loopback address, so these tests need root.  Each command must print
its own failure line, end with status 1 within the bound, and leave no
traceback on standard error; an upload that did not complete is never
reported as "ok".
"""

import os
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
# The command on which each fault strikes, per client command: the server
# must have received it (proof that the run got that far).
STRIKES_ON = {"auth-refused": "AUTH", "tls-garbage": "AUTH",
              "login-refused": "PASS", "pasv-refused": "PASV",
              "data-cut": {"send": "STOR", "tchk": "NLST"},
              "rename-refused": "RNFR", "quit-silent": "QUIT"}


class WireFaultTest(ReliabilityCase):
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
        root = os.path.join(self.base, "root-" + fault)
        os.mkdir(root)
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

    def run_command(self, cmd, address):
        last = {"send": self.upload, "test": "yes", "tchk": "x"}[cmd]
        started = time.monotonic()
        done = self.run_launcher([cmd, address, "user", "pw", last],
                                 timeout=BOUND)
        return done, time.monotonic() - started

    def test_control_server_works(self):
        # The same scripted server without a fault serves all three
        # commands, so each fault below is what makes them fail.
        server, address, root = self.start_server("none")
        for cmd in ALL:
            with self.subTest(cmd=cmd):
                done, _ = self.run_command(cmd, address)
                self.assertEqual(done.returncode, 1, done.stderr[-2000:])
                self.assertTrue(done.stdout.startswith(OK_LINES[cmd]),
                                done.stdout)
                self.assertEqual(done.stderr, b"")
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


if __name__ == "__main__":
    unittest.main()
