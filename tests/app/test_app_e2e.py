"""skiffrelay send / test / tchk against real FTPS servers on loopback.

Each case runs against pyftpdlib (TLS 1.3 and a TLS 1.2-only instance) and
vsftpd.  Needs root (port 21, a system account for vsftpd); without it the
module is skipped with the reason.
"""

import hashlib
import os
import re
import ssl
import subprocess
import unittest

from app_helpers import AppTestCase, clear_dir, start_server

_servers = []
_by_kind = {}


def setUpModule():
    try:
        _by_kind["pyftpd"] = start_server(_servers, "pyftpd")
        _by_kind["pyftpd-tls12"] = start_server(_servers, "pyftpd", "tls12")
        _by_kind["vsftpd"] = start_server(_servers, "vsftpd")
    except BaseException:
        tearDownModule()
        raise


def tearDownModule():
    while _servers:
        _servers.pop().stop()


def _openssl_date(certfile, which):
    out = subprocess.run(["openssl", "x509", "-noout", "-" + which,
                          "-in", certfile], stdout=subprocess.PIPE,
                         timeout=30, check=True).stdout.decode()
    return out.strip().split("=", 1)[1]


class ServerCases(object):
    """Cases run against each server; subclasses name the server."""

    kind = None
    # Marker file name pattern for the cipher this server negotiates.
    marker_pattern = r"Unbekannt_(TLS_[A-Z0-9_]+)\.txt"

    def setUp(self):
        AppTestCase.setUp(self)
        self.server = _by_kind[self.kind]
        self.secrets.append(self.server.password)
        clear_dir(self.server.root)

    def creds(self, password=None):
        s = self.server
        return [s.address, s.user, s.password if password is None
                else password]

    def remote(self):
        return sorted(os.listdir(self.server.root))

    def remote_bytes(self, name):
        with open(os.path.join(self.server.root, name), "rb") as f:
            return f.read()

    def test_send_arrives_intact_under_final_name(self):
        cases = [("report.xml", b"<r>1</r>\n", "report.xmt"),
                 ("big.bin", os.urandom(20 * 1000 * 1000), "big.bit"),
                 # Last character already "t": renamed onto itself.
                 ("x.txt", b"hello\r\n", None)]
        for name, data, temp in cases:
            with self.subTest(name=name):
                self.put_file(name, data)
                out = self.run_app(["send"] + self.creds() + [name])
                self.assertEqual(out, b"ok\n")
                self.assertIn(name, self.remote())
                self.assertEqual(hashlib.sha256(self.remote_bytes(name))
                                 .hexdigest(),
                                 hashlib.sha256(data).hexdigest())
                if temp:
                    self.assertNotIn(temp, self.remote())

    def test_send_missing_file_fails_after_login(self):
        logins = self.server.count_logins()
        out = self.run_app(["send"] + self.creds() + ["nothere.xml"])
        self.assertEqual(out, b"IOError sending\n")
        self.assertEqual(self.server.count_logins(), logins + 1)
        self.assertEqual(self.remote(), [])

    def test_send_relative_path_from_other_directory(self):
        self.put_file("sub/rel.xml", b"relative\n")
        out = self.run_app(["send"] + self.creds() + ["sub/rel.xml"],
                           cwd=self.elsewhere)
        self.assertEqual(out, b"ok\n")
        self.assertEqual(self.remote(), ["rel.xml"])
        self.assertEqual(self.remote_bytes("rel.xml"), b"relative\n")

    def test_wrong_password_gives_each_failure_line(self):
        wrong = "wrong-" + self.server.password
        self.secrets.append(wrong)
        self.put_file("w.xml", b"w")
        for cmd, last, line in [("send", "w.xml", b"IOError sending\n"),
                                ("test", "yes", b"Error opening target\n"),
                                ("test", "no", b"Error opening target\n"),
                                ("tchk", "x", b"error listing remote dir\n")]:
            with self.subTest(cmd=cmd, last=last):
                out = self.run_app([cmd] + self.creds(wrong) + [last])
                self.assertEqual(out, line)
        self.assertEqual(self.remote(), [])
        self.assertEqual(self.new_files(), [])

    def test_test_with_certificate_fields(self):
        out = self.run_app(["test"] + self.creds() + ["yes"])
        self.assertTrue(out.startswith(b"ok-") and out.endswith(b"\n"), out)
        fields = out[3:-1].decode().split("|")
        self.assertEqual(len(fields), 4, out)
        with open(self.server.certfile) as f:
            der = ssl.PEM_cert_to_DER_cert(f.read())
        self.assertEqual(fields, [
            _openssl_date(self.server.certfile, "startdate"),
            _openssl_date(self.server.certfile, "enddate"),
            hashlib.md5(der).hexdigest().upper(),
            self.server.subject])

    def test_test_without_certificate(self):
        for last in ["YES", "no", ""]:
            with self.subTest(last=last):
                out = self.run_app(["test"] + self.creds() + [last])
                self.assertEqual(out, b"ok\n")

    def test_tchk_writes_marker_and_lists(self):
        for name in ["a.txt", "b.xml"]:
            with open(os.path.join(self.server.root, name), "w") as f:
                f.write(name)
        out = self.run_app(["tchk"] + self.creds() + ["ignored"])
        self.assertTrue(out.startswith(b"ok-") and out.endswith(b"\n"), out)
        self.assertEqual(sorted(out[3:-1].decode().split("|")),
                         ["a.txt", "b.xml"])
        markers = self.new_files()
        self.assertEqual(len(markers), 1, markers)
        match = re.fullmatch(self.marker_pattern, markers[0])
        self.assertTrue(match, markers[0])
        with open(os.path.join(self.appdir, markers[0]), "rb") as f:
            self.assertEqual(f.read(), match.group(1).encode() + b"\r\n")

    def test_tchk_empty_remote_dir(self):
        out = self.run_app(["tchk"] + self.creds() + ["x"])
        self.assertEqual(out, b"ok-\n")

    def test_tchk_read_only_app_dir_still_lists(self):
        with open(os.path.join(self.server.root, "only.xml"), "w") as f:
            f.write("x")
        os.chmod(self.appdir, 0o555)
        self.addCleanup(os.chmod, self.appdir, 0o755)
        # root writes into read-only directories; run as nobody then.
        out = self.run_app(["tchk"] + self.creds() + ["x"],
                           as_nobody=(os.geteuid() == 0))
        self.assertEqual(out, b"ok-only.xml\n")
        self.assertEqual(self.new_files(), [])

    def test_nothing_happens_without_a_command(self):
        self.put_file("n.xml", b"n")
        for args in [["send"] + self.creds(),              # four arguments
                     ["Send"] + self.creds() + ["n.xml"],  # case matters
                     ["list"] + self.creds() + ["n.xml"]]:
            with self.subTest(args=args[0]):
                connects = self.server.count_connects()
                self.assertEqual(self.run_app(args), b"")
                self.assertEqual(self.server.count_connects(), connects)
        self.assertEqual(self.remote(), [])


class PyftpdTest(ServerCases, AppTestCase):
    kind = "pyftpd"


class PyftpdTls12Test(ServerCases, AppTestCase):
    kind = "pyftpd-tls12"
    marker_pattern = r"TLSv1\.2_(ECDHE-RSA-AES256-GCM-SHA384)\.txt"


class VsftpdTest(ServerCases, AppTestCase):
    kind = "vsftpd"


if __name__ == "__main__":
    unittest.main()
