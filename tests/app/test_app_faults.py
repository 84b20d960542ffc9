"""skiffrelay against misbehaving or absent servers: failure lines only.

A raw loopback server on port 21 plays garbage or hangs up at fixed points
of the dialogue; a pyftpdlib server drops its connections in the middle of
an upload.  Needs root for port 21; skipped with the reason otherwise.
"""

import os
import socket
import threading
import unittest

from app_helpers import AppTestCase, ftps_servers

FAILURES = [("send", "f.xml", b"IOError sending\n"),
            ("test", "yes", b"Error opening target\n"),
            ("test", "no", b"Error opening target\n"),
            ("tchk", "x", b"error listing remote dir\n")]
PASSWORD = "pw-fault-secret-71"


def _hang_up(conn):
    conn.close()


def _garbage_greeting(conn):
    conn.sendall(b"\x16\x03\x01\x00\xff garbage \x00\xfe\r\n")
    _read_line(conn)


def _garbage_instead_of_tls(conn):
    conn.sendall(b"220 ready\r\n")
    _read_line(conn)                       # AUTH TLS
    conn.sendall(b"234 go ahead\r\n")
    conn.sendall(b"this is not a TLS handshake\r\n" * 4)
    _read_line(conn)


def _read_line(conn):
    """Read until a line end, EOF or the time limit, whichever is first."""
    data = b""
    try:
        while not data.endswith(b"\n"):
            chunk = conn.recv(4096)
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    return data


class RawServer(object):
    """Accepts connections on address:21 and runs play(conn) for each."""

    def __init__(self, address, play):
        self.address = address
        self.play = play
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            self.sock.bind((address, 21))
        except OSError:
            self.sock.close()
            raise
        self.sock.listen(8)
        self.sock.settimeout(0.2)
        self.stopping = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            conn.settimeout(10.0)
            try:
                self.play(conn)
            finally:
                conn.close()

    def stop(self):
        self.stopping = True
        self.thread.join(timeout=15.0)
        self.sock.close()


class GarbageServerTest(AppTestCase):
    def start_raw_server(self, play):
        for attempt in range(5):
            try:
                address = ftps_servers.free_loopback_address(140, 40)
            except ftps_servers.ServerUnavailable as e:
                self.skipTest(str(e))
            try:
                return RawServer(address, play)
            except OSError:
                # Taken by a parallel run since the check: try again.
                if attempt == 4:
                    raise

    def test_failure_line_for_each_misbehaviour(self):
        self.secrets.append(PASSWORD)
        self.put_file("f.xml", b"f")
        for play in [_hang_up, _garbage_greeting, _garbage_instead_of_tls]:
            server = self.start_raw_server(play)
            address = server.address
            try:
                for cmd, last, line in FAILURES:
                    with self.subTest(play=play.__name__, cmd=cmd,
                                      last=last):
                        out = self.run_app([cmd, address, "u", PASSWORD,
                                            last])
                        self.assertEqual(out, line)
            finally:
                server.stop()
        self.assertEqual(self.new_files(), [])


class CutUploadTest(AppTestCase):
    def test_upload_cut_off_is_not_ok(self):
        try:
            server = ftps_servers.start_server("pyftpd", mode="cut")
        except ftps_servers.ServerUnavailable as e:
            self.skipTest(str(e))
        self.addCleanup(server.stop)
        self.secrets.append(server.password)
        self.put_file("cut.xml", os.urandom(8 * 1000 * 1000))
        out = self.run_app(["send", server.address, server.user,
                            server.password, "cut.xml"])
        self.assertEqual(out, b"IOError sending\n")
        self.assertNotIn("cut.xml", os.listdir(server.root))


class NoServerTest(AppTestCase):
    def test_server_not_listening(self):
        try:
            address = ftps_servers.free_loopback_address(200, 50)
        except ftps_servers.ServerUnavailable:
            address = "127.0.0.254"
        self.secrets.append("pw-unused-secret")
        self.put_file("a.xml", b"a")
        for cmd, last, line in [("send", "a.xml", b"IOError sending\n"),
                                ("test", "yes", b"Error opening target\n"),
                                ("tchk", "x", b"error listing remote dir\n")]:
            with self.subTest(cmd=cmd):
                out = self.run_app([cmd, address, "u", "pw-unused-secret",
                                    last])
                self.assertEqual(out, line)
        self.assertEqual(self.new_files(), [])


if __name__ == "__main__":
    unittest.main()
