"""The main script's own functions: cipher classification, upload names,
the time limit's variable, the size limits of replies and listings, the
size check's reading of SIZE answers, the connect under a deadline; and of
its options module, HOST:PORT, certificate name matching and what the
transcript masks and writes."""

import ftplib
import importlib.util
import tempfile
import io
import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest
import unittest.mock
import warnings

from app_helpers import APP_DIR, PYTHON, SCRIPT


def _load_script():
    # The script imports its application modules from its own folder.
    if APP_DIR not in sys.path:
        sys.path.insert(0, APP_DIR)
    # Loaded under another name than "__main__", so main() must not run.
    spec = importlib.util.spec_from_file_location("skiffrelay_under_test",
                                                  SCRIPT)
    module = importlib.util.module_from_spec(spec)
    with warnings.catch_warnings():
        # M2Crypto's bundled six installs an old-style meta path importer.
        warnings.simplefilter("ignore", ImportWarning)
        spec.loader.exec_module(module)
    return module


app = _load_script()
opt = sys.modules["skiffrelay_options"]


class CipherLabelTest(unittest.TestCase):
    def test_first_prefix_row_wins(self):
        cases = [
            # A longer TLSv1.2 name before its shorter SSLv3 prefix.
            ("ECDHE-RSA-AES256-SHA384", "TLSv1.2"),
            ("ECDHE-RSA-AES256-GCM-SHA384", "TLSv1.2"),
            ("AES256-SHA256", "TLSv1.2"),
            ("AES256-SHA", "SSLv3"),
            ("ECDHE-RSA-AES256-SHA", "SSLv3"),
            # DES-CBC-SHA is no prefix of DES-CBC3-SHA.
            ("DES-CBC3-SHA", "SSLv3"),
            ("DES-CBC-SHA", "SSLv3"),
            ("EXP-KRB5-RC4-MD5", "SSLv3"),
            # A name extending a row still matches that row.
            ("AES128-SHA256-EXTRA", "TLSv1.2"),
            ("RC4-MD5-X", "SSLv3"),
            # Other naming schemes, case and empty names: no row.
            ("TLS_AES_256_GCM_SHA384", "Unbekannt"),
            ("TLS_CHACHA20_POLY1305_SHA256", "Unbekannt"),
            ("ecdhe-rsa-aes256-sha", "Unbekannt"),
            ("AES256", "Unbekannt"),
            ("", "Unbekannt"),
        ]
        for name, label in cases:
            with self.subTest(name=name):
                self.assertEqual(app.cipherLabel(name), label)

    def test_table_shape(self):
        rows = app.CipherTab
        self.assertEqual(len(rows), 84)
        self.assertEqual([label for _, label in rows],
                         ["TLSv1.2"] * 28 + ["SSLv3"] * 56)
        self.assertEqual(len(set(name for name, _ in rows)), 84)
        for row, name in [(1, "ECDHE-RSA-AES256-GCM-SHA384"),
                          (3, "ECDHE-RSA-AES256-SHA384"),
                          (14, "AES256-SHA256"), (28, "AES128-SHA256"),
                          (29, "ECDHE-RSA-AES256-SHA"), (37, "AES256-SHA"),
                          (45, "DES-CBC3-SHA"), (71, "DES-CBC-SHA"),
                          (84, "EXP-KRB5-RC4-MD5")]:
            self.assertEqual(rows[row - 1][0], name, "row %d" % row)


class UploadNamesTest(unittest.TestCase):
    def test_final_and_temporary_names(self):
        cases = [("report.xml", "report.xml", "report.xmt"),
                 ("/out/a.xml", "a.xml", "a.xmt"),
                 ("dir/sub/data.txt", "data.txt", "data.txt"),
                 ("x.txt", "x.txt", "x.txt"),
                 ("noext", "noext", "noext"),
                 ("a", "a", "t"),
                 ("dir/", "", "t")]
        for path, final, temp in cases:
            with self.subTest(path=path):
                self.assertEqual(app.finalName(path), final)
                self.assertEqual(app.tempName(app.finalName(path)), temp)


class TimeLimitTest(unittest.TestCase):
    def test_positive_numbers_only(self):
        default = app.DEFAULT_LIMIT
        for text, limit in [("5", 5.0), ("0.25", 0.25), ("90", 90.0),
                            ("1e9", app.MAX_LIMIT), (None, default),
                            ("", default), ("0", default), ("-3", default),
                            ("nan", default), ("inf", default),
                            ("-inf", default), ("five", default),
                            ("5s", default), ("\udcff", default)]:
            with self.subTest(text=text):
                self.assertEqual(app.timeLimit(text), limit)


class _NoSocket(object):
    def sendall(self, data):
        pass


def _reply_reader(text):
    """A client whose control connection reads text (no network)."""
    client = app._FTP_TLS.__new__(app._FTP_TLS)
    client.sock = _NoSocket()
    client.file = io.StringIO(text, newline="")
    client.timeout = app.DEFAULT_LIMIT
    client._reader = app._ReplyReader(None, client.timeout)
    return client


class SizeLimitTest(unittest.TestCase):
    def test_multiline_reply_read_as_ftplib_reads_it(self):
        for text in ["220 single\r\n",
                     "220-first\r\n220-more\r\n 220 indented\r\n"
                     "230 other code\r\n220 last\r\nnext\r\n",
                     "331-a\n331-b\n331\n331 end\n",
                     "2\r\n"]:
            with self.subTest(text=text):
                ours, theirs = _reply_reader(text), _reply_reader(text)
                self.assertEqual(ours.getmultiline(),
                                 ftplib.FTP.getmultiline(theirs))
                self.assertEqual(ours.file.read(), theirs.file.read())

    def test_reply_size_limit(self):
        line = "220-" + "x" * 1000 + "\r\n"
        endless = _reply_reader(line * (app.REPLY_LIMIT // 1000 + 2))
        with self.assertRaises(app.LimitError):
            endless.getmultiline()
        # Just under the limit: one reply, accepted.
        count = app.REPLY_LIMIT // 1005 - 1
        self.assertEqual(
            len(_reply_reader(line * count + "220 end\r\n").getmultiline()),
            1004 * count + 7 + count)

    def test_reply_size_counts_line_ends(self):
        # Lines of four characters pass the limit only with the line end
        # that joins each to the next.
        lines = "220-\r\n" * (app.REPLY_LIMIT // 5 + 1)
        with self.assertRaises(app.LimitError):
            _reply_reader(lines + "220 end\r\n").getmultiline()

    def test_listing_joined_as_printed_and_limited(self):
        names = ["", "a.xml", "", "caf\xe9", "bytes-\udcff\udcfe", ""]
        listing = app._Names("ok-")
        for name in names:
            listing.add(name)
        self.assertEqual(listing.text(), "ok-" + "|".join(names))
        # LISTING_LIMIT bytes of names and separators pass, one more not.
        for extra, fits in [(0, True), (1, False)]:
            listing = app._Names("ok-")
            listing.add("n")
            body = "\udcff" * (app.LISTING_LIMIT - 2 + extra)
            if fits:
                listing.add(body)
                self.assertEqual(len(listing.text().encode(
                    "utf-8", "surrogateescape")), 3 + app.LISTING_LIMIT)
            else:
                with self.assertRaises(app.LimitError):
                    listing.add(body)


class SizeCheckTest(unittest.TestCase):
    def test_size_answers(self):
        # (answer to SIZE, whether the upload of 5 bytes may be renamed)
        for reply, passes in [("213 5", True), ("213  5 ", True),
                              ("213 4", False), ("213 6", False),
                              ("213 five", False),
                              ("213 \u0665", False), ("213 ", False),
                              ("213-5\r\n213 5", False), ("200 5", False),
                              ("550 No such file.", False),
                              ("450 Try later.", False),
                              ("500 What?", True), ("501 No.", True),
                              ("502 Not implemented.", True),
                              ("504 Not here.", True)]:
            with self.subTest(reply=reply):
                client = _reply_reader(reply + "\r\n")
                if passes:
                    app._checkSize(client, "up.xmt", 5)
                else:
                    self.assertRaises(ftplib.Error, app._checkSize, client,
                                      "up.xmt", 5)


class ConnectDeadlineTest(unittest.TestCase):
    def test_deadline_bounds_the_connect_over_all_addresses(self):
        # A listener whose queue is full: connects to it never complete.
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        address = listener.getsockname()
        filler = socket.create_connection(address, 5)
        self.addCleanup(filler.close)
        # A name with five such addresses, 2 s each: 10 s without deadline.
        infos = [(socket.AF_INET, socket.SOCK_STREAM, 6, "", address)] * 5
        clock = opt.Clock(1.0)
        clock.start()
        started = time.monotonic()
        with unittest.mock.patch.object(app.socket, "getaddrinfo",
                                        return_value=infos):
            with self.assertRaises(opt.DeadlineError):
                app._connectAny("five.example", 21, 2.0, clock,
                                app._NO_TRACE)
        self.assertLess(time.monotonic() - started, 5.0)


# Run by the interpreter under test (SKIFF_APP_PYTHON), whatever runs the
# tests: the first address of a name refuses the connect, the second
# listens; prints the address connected to.
_CONNECT_ON = """
import socket, sys
sys.path.insert(0, sys.argv[1])
import skiffrelay as app
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(1)
closed = socket.socket()
closed.bind(("127.0.0.1", 0))
addresses = [closed.getsockname(), listener.getsockname()]
closed.close()
socket.getaddrinfo = lambda *args: [
    (socket.AF_INET, socket.SOCK_STREAM, 6, "", a) for a in addresses]
sock = app._connectAny("two.example", 21, 5.0, app._NO_DEADLINE,
                       app._NO_TRACE)
sys.stdout.write("%d %d" % (sock.getpeername()[1], addresses[1][1]))
"""


# Prints the seconds that each argument after the first asks for, and
# whether the first is a valid pin list.
_OPTION_VALUES = """
import sys
sys.path.insert(0, sys.argv[1])
import skiffrelay_options as opt
seconds = [opt.positiveSeconds(text) for text in sys.argv[3:]]
sys.stdout.write("%d %r" % (len(opt.parsePins(sys.argv[2])), seconds))
"""


# Run by the interpreter under test with its socket module's inet_pton and
# inet_aton taken away (Windows' 2.7 has no inet_pton): the application's
# own readings of the addresses on standard input (JSON pairs of function
# and text), one line each, the packed address in hex or "-" for none.
_ADDRESSES = """
import json, socket, sys
sys.path.insert(0, sys.argv[1])
del socket.inet_pton, socket.inet_aton
import skiffrelay_compat as compat
for function, text in json.loads(sys.stdin.read()):
    if not isinstance(text, str):
        text = text.encode("utf-8")  # 2.x: the bytes of an argument
    try:
        if function == "aton":
            packed = compat.inetAton(text)
        else:
            packed = compat.inetPton(getattr(socket, function), text)
        sys.stdout.write("".join("%02x" % c for c in bytearray(packed)))
    except compat.OSErrors:
        sys.stdout.write("-")
    sys.stdout.write("\\n")
"""

# Texts of numeric addresses, valid and not, for each reading.
_ADDRESS_TABLE = {
    "AF_INET": ["0.0.0.0", "255.255.255.255", "1.2.3.4", "10.0.100.9",
                "01.2.3.4", "1.2.3.00", "1.2.3.256", "1.2.3", "1.2.3.4.",
                "1..3.4", " 1.2.3.4", "1.2.3.4 ", "\u0661.2.3.4",
                "0x1.2.3.4", "", "1.2.3.4\0", "+1.2.3.4", "1_0.2.3.4",
                "1234.2.3.4", "::1"],
    "AF_INET6": ["::", "::1", "1::", "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7::",
                 "::2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7::8",
                 "1:2:3:4:5:6:7", "1::2::3", ":::", ":1::", "1::2:", ":",
                 "12345::", "fFfF::Aa", "0:0:0:0:0:0:0:0", "::0000",
                 "::00000", "2001:db8::7", "fe80::1%eth0", "", "::g",
                 "::ffff:1.2.3.4", "::1.2.3.4", "1:2:3:4:5:6:1.2.3.4",
                 "1:2:3:4:5::1.2.3.4", "1:2:3:4:5:6::1.2.3.4",
                 "1:2:3:4:5:6:7:1.2.3.4", "::1.2.3.4:5", "::01.2.3.4",
                 "::1.2.3", "1.2.3.4::", "1.2.3.4", "::a1.2.3.4",
                 "::\u0661", " ::1", "::1\0"],
    "aton": ["1", "4294967295", "4294967296", "1.2", "1.16777215",
             "1.16777216", "1.2.65535", "1.2.65536", "1.2.3.4", "0x7f.1",
             "0X7F.0.0.1", "010.1", "08.1", "0", "0x", "0x1g", "1.2.3.4 x",
             "1.2 .3", "1.2.3.4\t", " 1.2.3.4", "1.", "1..2", "1.2.3.4.5",
             "1.2.3.256", "00000000000000000000001.2.3.4", "\u0661", "",
             "1.2.3.4\0", "-1"],
}


class UnderTestRuntimeTest(unittest.TestCase):
    """Functions run by the interpreter under test, not by the one that
    runs the tests."""

    def run_code(self, code, *args):
        done = subprocess.run([PYTHON, "-c", code, APP_DIR] + list(args),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=60)
        self.assertEqual(done.stderr, b"")
        return done.stdout

    def test_addresses_read_without_the_native_functions(self):
        # As this interpreter's own functions (the C library's) read them.
        pairs, expected = [], []
        for function, texts in sorted(_ADDRESS_TABLE.items()):
            for text in texts:
                pairs.append((function, text))
                try:
                    if function == "aton":
                        packed = socket.inet_aton(text)
                    else:
                        packed = socket.inet_pton(getattr(socket, function),
                                                  text)
                    expected.append(packed.hex())
                except (OSError, ValueError):
                    expected.append("-")
        done = subprocess.run([PYTHON, "-c", _ADDRESSES, APP_DIR],
                              input=json.dumps(pairs).encode(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=60)
        self.assertEqual(done.stderr, b"")
        got = done.stdout.decode().split("\n")[:-1]
        self.assertEqual(len(got), len(pairs))
        for pair, want, have in zip(pairs, expected, got):
            with self.subTest(pair=pair):
                self.assertEqual(have, want)

    def test_refused_address_passed_over(self):
        connected, listening = self.run_code(_CONNECT_ON).split()
        self.assertEqual(connected, listening)

    def test_option_values_read_as_text(self):
        # Digits and spaces of other scripts, "_" between digits.
        pin = "\u3000" + "ab" * 32 + "\xa0"
        self.assertEqual(self.run_code(_OPTION_VALUES, pin, "1_0",
                                       "\u0665.5", "1__0", "\xff"),
                         b"1 [10.0, 5.5, None, None]")


class HostPortTest(unittest.TestCase):
    def test_forms(self):
        for text, result in [("name", ("name", 21)),
                             ("name:2121", ("name", 2121)),
                             ("192.0.2.7:02121", ("192.0.2.7", 2121)),
                             ("[2001:db8::7]:2121", ("2001:db8::7", 2121)),
                             ("[::1]", ("::1", 21)),
                             ("2001:db8::7", ("2001:db8::7", 21)),
                             ("name:65535", ("name", 65535)),
                             ("name: 21", None), ("name:\u0662\u0661", None),
                             ("[::1]:", None), ("[::1", None), ("[]", None)]:
            with self.subTest(text=text):
                if result is None:
                    self.assertRaises(opt.OptionError, opt.splitHostPort,
                                      text)
                else:
                    self.assertEqual(opt.splitHostPort(text), result)


class NameMatchTest(unittest.TestCase):
    def test_certificate_names(self):
        for pattern, host, matches in [
                (b"ftp.example.com", "ftp.example.com", True),
                (b"FTP.Example.com", "ftp.EXAMPLE.com.", True),
                (b"ftp.example.com", "ftp.example.org", False),
                (b"*.example.com", "ftp.example.com", True),
                (b"*.example.com", "example.com", False),
                (b"*.example.com", "a.ftp.example.com", False),
                (b"*.example.com", ".example.com", False),
                (b"f*.example.com", "ftp.example.com", False),
                (b"ftp.*.com", "ftp.example.com", False),
                (b"*.com", "example.com", False),
                (b"k.example.com", "\u212a.example.com", False)]:
            with self.subTest(pattern=pattern, host=host):
                self.assertEqual(opt._nameMatches(pattern, host), matches)


class TranscriptTest(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.mkdtemp(prefix="skiff-trace-")
        self.addCleanup(shutil.rmtree, scratch)
        self.path = os.path.join(scratch, "trace.log")

    def record(self, secret, notes):
        trace = opt.Transcript(self.path, secret, "utf-8", "surrogateescape")
        for note in notes:
            trace.note(*note)
        trace.sent("USER " + secret)
        trace.sent("PASS " + secret)
        trace.close()
        with open(self.path, encoding="utf-8", errors="surrogateescape") as f:
            return f.read()

    def test_mask_only_what_came_from_outside(self):
        # Our own words and the caller's arguments stay as they are: a
        # mask in them would tell the password.
        text = self.record("test", [("command test, HOST h", ),
                                    ("< ", "331 test\x07 or test")])
        for seen in ("command test, HOST h", "> USER test", "> PASS ****\n",
                     "< 331 ****\\x07 or ****"):
            self.assertIn(seen, text)
        os.unlink(self.path)
        # Escaped before masked: a server's BEL never shows a password
        # that reads like its escape.
        text = self.record("\\x07", [("< ", "220 \x07\x07 ready")])
        self.assertNotIn("\\x07", text.replace("USER \\x07", ""))
        self.assertIn("< 220 ******** ready", text)

    def test_record_whole_or_not_at_all(self):
        with open(self.path, "wb") as f:
            f.write(b"x" * 1000)
        os.chmod(self.path, 0o600)
        # A file-size limit lets the record's first 100 bytes in.
        old = resource.getrlimit(resource.RLIMIT_FSIZE)
        handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1100, old[1]))
        try:
            self.record("pw", [("a long line " * 50,)])
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, old)
            signal.signal(signal.SIGXFSZ, handler)
        with open(self.path, "rb") as f:
            self.assertEqual(f.read(), b"x" * 1000)


if __name__ == "__main__":
    unittest.main()
