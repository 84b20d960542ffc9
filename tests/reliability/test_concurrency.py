"""Many runs at once on one temporary directory, and a run killed mid-upload.

Against a real pyftpdlib FTPS server on loopback port 21 (root only).
"""

import os
import signal
import time
import unittest

from rel_helpers import (ReliabilityCase, ftps_servers, require_root,
                         wait_until, work_dir_of, work_dirs)

RUNS = 100
_servers = []


def _server(testcase):
    require_root(testcase)
    if not _servers:
        try:
            _servers.append(ftps_servers.start_server("pyftpd"))
        except ftps_servers.ServerUnavailable as e:
            testcase.skipTest("pyftpd server unavailable: %s" % e)
    return _servers[0]


def tearDownModule():
    while _servers:
        _servers.pop().stop()


class ConcurrencyTest(ReliabilityCase):
    def test_hundred_sends_share_one_tmpdir(self):
        server = _server(self)
        inputs = os.path.join(self.base, "in")
        os.mkdir(inputs, 0o755)
        contents = {}
        for i in range(RUNS):
            name = "c%03d.xml" % i
            data = os.urandom(1000 + (i * 7919) % 300000)
            with open(os.path.join(inputs, name), "wb") as f:
                f.write(data)
            contents[name] = data
        procs = {}
        for name in contents:
            procs[name] = self.start(["send", server.address, server.user,
                                      server.password,
                                      os.path.join(inputs, name)])
        deadline = time.monotonic() + 180.0
        results = {}
        for name, proc in procs.items():
            results[name] = self.finish(
                proc, max(1.0, deadline - time.monotonic()))
        for name, done in sorted(results.items()):
            with self.subTest(name=name):
                self.assertEqual((done.returncode, done.stdout, done.stderr),
                                 (1, b"ok\n", b""))
        remote = set(os.listdir(server.root))
        for name, data in sorted(contents.items()):
            with self.subTest(name=name):
                self.assertNotIn(name[:-1] + "t", remote)
                with open(os.path.join(server.root, name), "rb") as f:
                    self.assertTrue(f.read() == data, "content differs")

        # Every run removed its own directory at its end.
        self.assertEqual(work_dirs(self.tmp), set())


class KilledRunTest(ReliabilityCase):
    def test_sigkill_mid_upload(self):
        server = _server(self)
        # A sparse file: large enough that the upload is still running
        # when the kill arrives, cheap to make.
        size = 2 << 30
        path = os.path.join(self.base, "big.xml")
        with open(path, "wb") as f:
            f.truncate(size)
        temp = os.path.join(server.root, "big.xmt")
        final = os.path.join(server.root, "big.xml")
        proc = self.start(["send", server.address, server.user,
                           server.password, path])
        try:
            grew = wait_until(lambda: os.path.exists(temp) and
                              os.path.getsize(temp) > 0, 60.0, 0.01)
        finally:
            proc.send_signal(signal.SIGKILL)
            done = self.finish(proc)
        self.assertTrue(grew, "upload never reached the server")
        self.assertEqual(done.returncode, -signal.SIGKILL)
        self.assertEqual(done.stdout, b"")
        mine = work_dir_of(proc.pid)
        self.assertIn(mine, work_dirs(self.tmp))

        # The server sees the connection drop: the partial temporary file
        # stays, the final name never appears.
        self.assertTrue(wait_until(
            lambda: _stable_size(temp), 10.0), "upload still growing")
        self.assertLess(os.path.getsize(temp), size)
        self.assertFalse(os.path.exists(final))

        later = self.start([])
        done = self.finish(later)
        self.assertEqual(done.returncode, 1)
        self.wait_swept(self.tmp, keep=[work_dir_of(later.pid)])
        self.assertNotIn(mine, work_dirs(self.tmp))
        os.unlink(temp)


def _stable_size(path, pause=0.2):
    before = os.path.getsize(path)
    time.sleep(pause)
    return os.path.getsize(path) == before


if __name__ == "__main__":
    unittest.main()
