"""skiffrelay's options against servers on loopback, run as callers run it:
the server pin and the CA check (before USER), renegotiation refused and
unfinished handshakes failed, the size check before the rename, the
transcript, the deadline, HOST:PORT and invalid values.

Every server listens on a free port of 127.0.0.1 (or ::1) and is named as
HOST:PORT, so nothing here needs root.  pyftpdlib serves a certificate
signed by a CA made here, naming its address as an IP subject-alternative
name; the scripted fault server plays what pyftpdlib will not: a short
store, no SIZE, another certificate on the data connection, a certificate
for another host, a handshake that never finishes; a small pyOpenSSL
server renegotiates.
"""

import hashlib
import os
import shutil
import ssl
import stat
import tempfile
import time
import unittest

from app_helpers import (AppTestCase, WINDOWS, clear_dir, ftps_servers,
                         start_server)
import fault_ftpd  # noqa: E402 (tests/servers, on the path of app_helpers)
import reneg_ftpd  # noqa: E402

OK = b"ok\n"
FAILED = b"IOError sending\n"
PASSWORD = "pw-checks-secret-58"
# A fingerprint no test certificate has.
NOT_PINNED = "00" * 32
DEADLINE = 3.0
# A listing of this many names of NAME_LENGTH characters lasts about a
# minute at pyftpd_serve's THROTTLE (16 KiB/s), and each read gets data
# well within a time limit.
TRICKLE_NAMES = 4000
NAME_LENGTH = 240

_servers = []
_state = {}


def setUpModule():
    _state["scratch"] = scratch = tempfile.mkdtemp(prefix="skiff-checks-")
    os.chmod(scratch, 0o755)
    try:
        for name in ("ca", "other-ca", "fault", "mismatch", "data",
                     "critical"):
            os.mkdir(os.path.join(scratch, name))
        ca = _state["ca"] = ftps_servers.make_ca(os.path.join(scratch, "ca"))
        _state["other-ca"] = ftps_servers.make_ca(
            os.path.join(scratch, "other-ca"), "Another CA")
        for name, san in (("fault", None),
                          # Its own address only as DNS names, in forms
                          # the resolver reads as numbers: an IP address
                          # is compared with IP names alone.
                          ("mismatch", "IP:192.0.2.1,DNS:127.0.0.1,DNS:localhost,"
                           "DNS:127.1,DNS:2130706433,DNS:0x7f000001"),
                          ("data", "IP:127.0.0.1"),
                          # What a certificate without a subject must have.
                          ("critical", "critical,IP:127.0.0.1")):
            _state[name] = ftps_servers.make_certificate(
                os.path.join(scratch, name), "127.0.0.1", ca, san)[:2]
        _state["pyftpd"] = start_server(_servers, "pyftpd", port=0, ca=ca)
    except ftps_servers.ServerUnavailable as e:
        tearDownModule()
        raise unittest.SkipTest(str(e))
    except BaseException:
        tearDownModule()
        raise


def tearDownModule():
    while _servers:
        _servers.pop().stop()
    shutil.rmtree(_state.get("scratch", ""), ignore_errors=True)


def _sha256(certfile):
    with open(certfile) as f:
        return hashlib.sha256(ssl.PEM_cert_to_DER_cert(f.read())).hexdigest()


def _colons(digits):
    return ":".join(digits[i:i + 2] for i in range(0, len(digits), 2))


class ChecksTest(AppTestCase):
    def setUp(self):
        AppTestCase.setUp(self)
        self.server = _state["pyftpd"]
        self.secrets += [self.server.password, PASSWORD]
        clear_dir(self.server.root)
        self.put_file("up.xml", b"<up/>\n")

    def send(self, env, host=None):
        s = self.server
        return self.run_app(["send", host or s.host(), s.user, s.password,
                             "up.xml"], env=env)

    def fault_server(self, fault, cert="fault"):
        """A fault server on a free port with a certificate of the CA."""
        root = tempfile.mkdtemp(prefix="root-", dir=_state["scratch"])
        server = fault_ftpd.FaultServer("127.0.0.1", fault, root,
                                        *_state[cert], port=0)
        self.addCleanup(server.stop)
        return server, "127.0.0.1:%d" % server.port

    def test_invalid_values_fail_before_connecting(self):
        pin = _sha256(self.server.certfile)
        host = self.server.address
        cases = [({"SKIFFRELAY_PIN": ""}, None),
                 ({"SKIFFRELAY_PIN": pin[:-1]}, None),
                 ({"SKIFFRELAY_PIN": pin[:-1] + "g"}, None),
                 ({"SKIFFRELAY_PIN": pin + ","}, None),
                 ({"SKIFFRELAY_CAFILE": ""}, None),
                 ({"SKIFFRELAY_CAFILE": os.path.join(self.appdir, "no.pem")},
                  None),
                 ({"SKIFFRELAY_CAFILE": self.appdir}, None),
                 ({"SKIFFRELAY_DEADLINE": "0"}, None),
                 ({"SKIFFRELAY_DEADLINE": "soon"}, None),
                 ({"SKIFFRELAY_SIZECHECK": "ON"}, None),
                 ({"SKIFFRELAY_TRACE": ""}, None),
                 ({}, host + ":0"), ({}, host + ":65536"), ({}, host + ":"),
                 ({}, host + ":2l"), ({}, "[%s]%d" % (host, self.server.port))]
        for env, bad_host in cases:
            with self.subTest(env=env, host=bad_host):
                connects = self.server.count_connects()
                self.assertEqual(self.send(env, bad_host), FAILED)
                self.assertEqual(self.server.count_connects(), connects)
        self.assertEqual(os.listdir(self.server.root), [])

    def test_pin_before_user(self):
        pin = _sha256(self.server.certfile)
        for value, line in [(_colons(pin), OK), (pin.upper(), OK),
                            (" %s ,\t%s " % (NOT_PINNED, pin), OK),
                            (NOT_PINNED, FAILED)]:
            with self.subTest(pin=value):
                users = self.server.count_commands("USER")
                self.assertEqual(self.send({"SKIFFRELAY_PIN": value}), line)
                if line == FAILED:
                    self.assertEqual(self.server.count_commands("USER"),
                                     users)
                    self.assertEqual(os.listdir(self.server.root), [])
                else:
                    self.assertEqual(os.listdir(self.server.root),
                                     ["up.xml"])
                    clear_dir(self.server.root)

    def test_pin_holds_for_data_connections(self):
        server, host = self.fault_server("none")
        data = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        data.load_cert_chain(*_state["data"])
        server.data_context = data
        pin = _sha256(_state["fault"][0])
        out = self.run_app(["send", host, "u", PASSWORD, "up.xml"],
                           env={"SKIFFRELAY_PIN": pin})
        self.assertEqual(out, FAILED)
        self.assertIn("STOR", server.commands)
        self.assertNotIn("RNFR", server.commands)

    def test_ca_file_before_user(self):
        ca, other = _state["ca"][0], _state["other-ca"][0]
        for cafile, pin, line in [(ca, None, OK), (other, None, FAILED),
                                  # Pin and CA file: both must hold.
                                  (ca, NOT_PINNED, FAILED)]:
            with self.subTest(cafile=cafile, pin=pin):
                users = self.server.count_commands("USER")
                out = self.send({"SKIFFRELAY_CAFILE": cafile,
                                 "SKIFFRELAY_PIN": pin})
                self.assertEqual(out, line)
                if line == FAILED:
                    self.assertEqual(self.server.count_commands("USER"),
                                     users)
                clear_dir(self.server.root)
        server, host = self.fault_server("none", cert="mismatch")
        for form in ("127.0.0.1", "127.1", "2130706433", "0x7f000001"):
            with self.subTest(host=form):
                out = self.run_app(["test", form + host[9:], "u", PASSWORD,
                                    "yes"], env={"SKIFFRELAY_CAFILE": ca})
                self.assertEqual(out, b"Error opening target\n")
                self.assertNotIn("USER", server.commands)
        # A host name is looked for among the DNS names.
        out = self.run_app(["test", host.replace("127.0.0.1", "localhost"),
                            "u", PASSWORD, "yes"],
                           env={"SKIFFRELAY_CAFILE": ca})
        self.assertTrue(out.startswith(b"ok-"), out)
        server, host = self.fault_server("none", cert="critical")
        out = self.run_app(["test", host, "u", PASSWORD, "no"],
                           env={"SKIFFRELAY_CAFILE": ca})
        self.assertEqual(out, OK)

    def test_renegotiation_refused(self):
        # After the pin was checked, the server renegotiates to a
        # certificate that is not pinned: PASS must not go out under it.
        server = reneg_ftpd.RenegotiatingServer("127.0.0.1", _state["fault"],
                                                _state["data"])
        self.addCleanup(server.stop)
        out = self.run_app(["test", "127.0.0.1:%d" % server.port, "u",
                            PASSWORD, "no"],
                           env={"SKIFFRELAY_PIN": _sha256(_state["fault"][0])})
        self.assertEqual(out, b"Error opening target\n")
        self.assertFalse(server.renegotiated)
        self.assertNotIn("PASS", server.commands)

    def test_unfinished_handshake_fails(self):
        # connect_ssl reports success for a server that closes in answer
        # to the client's hello; the control connection must fail before
        # USER, a listing must not come out empty.
        trace = os.path.join(self.appdir, "trace.log")
        for fault, cmd, line in [
                ("tls-close", "test", b"Error opening target\n"),
                ("data-tls-close", "tchk", b"error listing remote dir\n")]:
            with self.subTest(fault=fault):
                server, host = self.fault_server(fault)
                out = self.run_app([cmd, host, "u", PASSWORD, "no"],
                                   env={"SKIFFRELAY_TRACE": trace})
                self.assertEqual(out, line)
                with open(trace) as f:
                    text = f.read()
                self.assertNotIn("TLS session reused", text)
                if fault == "tls-close":
                    self.assertNotIn("> USER", text)
                os.unlink(trace)

    def test_size_checked_before_rename(self):
        for fault, env, line, left in [
                ("none", {}, OK, "up.xml"),
                ("store-short", {}, FAILED, "up.xmt"),
                ("size-unknown", {}, OK, "up.xml"),
                ("store-short", {"SKIFFRELAY_SIZECHECK": "off"}, OK,
                 "up.xml")]:
            with self.subTest(fault=fault, env=env):
                server, host = self.fault_server(fault)
                out = self.run_app(["send", host, "u", PASSWORD, "up.xml"],
                                   env=env)
                self.assertEqual(out, line)
                self.assertEqual(os.listdir(server.root), [left])
                self.assertEqual("SIZE" in server.commands, not env)

    def test_pasv_address_not_followed(self):
        # The data connection goes to the control connection's peer,
        # whatever address the PASV reply names.
        server, host = self.fault_server("pasv-elsewhere")
        out = self.run_app(["send", host, "u", PASSWORD, "up.xml"],
                           env={"SKIFFRELAY_TIMEOUT": "5"})
        self.assertEqual((out, os.listdir(server.root)), (OK, ["up.xml"]))

    @unittest.skipIf(WINDOWS, "a name that is not UTF-8: wine hands Linux "
                     "names and arguments to Windows programs as UTF-8 only")
    def test_names_pass_byte_exact(self):
        # Not UTF-8 throughout: the bytes of FILE on the wire, the remote
        # names in the printed listing, whatever the runtime's text is.
        name = b"caf\xc3\xa9-\xff.xml"
        self.put_file(os.fsdecode(name), b"bytes")
        server, host = self.fault_server("none")
        out = self.run_app(["send", host, "u", PASSWORD, name])
        self.assertEqual((out, os.listdir(server.root)),
                         (OK, [os.fsdecode(name)]))
        self.assertIn(b"RNTO " + name, server.raw)
        out = self.run_app(["tchk", host, "u", PASSWORD, "x"])
        self.assertEqual(out, b"ok-" + name + b"\n")

    def test_transcript(self):
        trace = os.path.join(self.appdir, "trace.log")
        pin = _sha256(self.server.certfile)
        env = {"SKIFFRELAY_TRACE": trace, "SKIFFRELAY_PIN": pin}
        self.assertEqual(self.send(env), OK)
        if not WINDOWS:  # wine gives its files the umask's modes
            self.assertEqual(stat.S_IMODE(os.stat(trace).st_mode), 0o600)
        with open(trace) as f:
            text = f.read()
        # The password is nowhere (run_app checks every file here).
        for seen in ("PASS ****", "certificate SHA-256 " +
                     _colons(pin.upper()), "pinned SHA-256 matches",
                     "TLS session reused: yes", "> SIZE up.xmt",
                     # The upload's data connection ended in order.
                     "data connection closed: 6 bytes sent",
                     "printed 'ok'"):
            self.assertIn(seen, text)
        # Nor where a server repeats it, in a reply or a failure's text.
        server, host = self.fault_server("login-refused")
        server.greeting = ("220 Hello %s, %s" % (PASSWORD, PASSWORD)).encode()
        out = self.run_app(["test", host, "u", PASSWORD, "no"], env=env)
        self.assertEqual(out, b"Error opening target\n")
        with open(trace) as f:
            both = f.read()
        self.assertIn("< 220 Hello ****, ****", both)
        # Appended: the first run's record is still there, whole.
        self.assertTrue(both.startswith(text), "first record overwritten")

    @unittest.skipIf(WINDOWS, "POSIX plants (a symbolic link, a FIFO, modes "
                     "and owners), which wine shows Windows programs as "
                     "plain files")
    def test_transcript_never_opened_through_a_plant(self):
        target = os.path.join(self.elsewhere, "target")
        trace = os.path.join(self.elsewhere, "trace.log")

        def planted_file(mode, owner):
            shutil.copy(target, trace)
            os.chmod(trace, mode)
            os.chown(trace, owner, -1)
        plants = [lambda: os.symlink(target, trace),
                  lambda: os.mkfifo(trace),
                  # A file others may read, and one of another user.
                  lambda: planted_file(0o644, os.geteuid())]
        if os.geteuid() == 0:
            plants.append(lambda: planted_file(0o600, 65534))
        for plant in plants:
            with open(target, "wb") as f:
                f.write(b"keep")
            plant()
            self.assertEqual(self.send({"SKIFFRELAY_TRACE": trace}), OK)
            for path in (target, trace):
                if stat.S_ISREG(os.lstat(path).st_mode):
                    with open(path, "rb") as f:
                        self.assertEqual(f.read(), b"keep")
            os.unlink(trace)

    def test_deadline_cuts_each_wait(self):
        # A silent server: the wait for its greeting gets what is left of
        # the deadline, not the whole time limit.
        server, host = self.fault_server("silent")
        started = time.monotonic()
        out = self.run_app(["test", host, "u", PASSWORD, "no"],
                           env={"SKIFFRELAY_DEADLINE": "1",
                                "SKIFFRELAY_TIMEOUT": "30"})
        self.assertEqual(out, b"Error opening target\n")
        self.assertLess(time.monotonic() - started, 15)

    def test_deadline_ends_a_trickling_listing(self):
        server = start_server(_servers, "pyftpd", "throttled", port=0)
        self.secrets.append(server.password)
        for n in range(TRICKLE_NAMES):
            name = "%05d" % n
            open(os.path.join(server.root, name.ljust(NAME_LENGTH, "n")),
                 "w").close()
        started = time.monotonic()
        out = self.run_app(["tchk", server.host(), server.user,
                            server.password, "x"],
                           env={"SKIFFRELAY_DEADLINE": str(DEADLINE),
                                "SKIFFRELAY_TIMEOUT": None})
        self.assertEqual(out, b"error listing remote dir\n")
        # Without the deadline the listing would go on for a minute.
        self.assertLess(time.monotonic() - started, DEADLINE + 20)

    def test_ipv6_host_and_port(self):
        try:
            server = ftps_servers.start_server("pyftpd", address="::1",
                                               port=0)
        except ftps_servers.ServerUnavailable as e:
            self.skipTest("no pyftpd on ::1: %s" % e)
        self.addCleanup(server.stop)
        self.secrets.append(server.password)
        with open(os.path.join(server.root, "v6.xml"), "w") as f:
            f.write("x")
        out = self.run_app(["tchk", "[::1]:%d" % server.port, server.user,
                            server.password, "x"])
        self.assertEqual(out, b"ok-v6.xml\n")


if __name__ == "__main__":
    unittest.main()
