"""A scripted FTP-over-explicit-TLS server on loopback that fails on cue.

It speaks just enough of RFC 959 and RFC 4217 for skiffrelay's three
commands (AUTH TLS, USER, PASS, PBSZ, PROT, TYPE, PASV, STOR, NLST, RNFR,
RNTO, QUIT), with real TLS from the standard ssl module on the control and
the data connections, and misbehaves at exactly one point chosen by its
fault:

  none             a well-behaved server (the control case)
  greeting-close   sends its greeting, then closes the connection
  auth-refused     answers AUTH TLS with 534
  tls-garbage      accepts AUTH TLS, then sends bytes shaped like a TLS
                   record header followed by garbage instead of a handshake
  login-refused    answers PASS with 530
  pasv-refused     answers PASV with 502
  data-cut         resets the data connection part-way through a transfer
                   (after 256 KiB of an upload, in the middle of a listing)
                   and answers 426
  rename-refused   answers RNFR with 550
  quit-silent      reads QUIT, waits a moment and closes without a reply

A server that never answers at all would stall a run for good: the client
sets no time-out, by design, and a caller that needs a bound must impose
it.  So "quit-silent" closes after a short pause rather than staying mute.

Uploads land in the server's root under the name the client sent,
written as they arrive, so an interrupted upload leaves its partial file.
Names are taken as bytes; the server records every command line as sent
(``raw``) and its verbs (``commands``), and its greeting can be set.  Port 21 (the
client has no port option) needs root.  Every wait is bounded: sockets
time out after SOCKET_TIMEOUT seconds and stop() joins with a limit.
"""

import os
import socket
import ssl
import threading

FTP_PORT = 21
SOCKET_TIMEOUT = 15.0
CUT_AFTER = 256 * 1024
QUIT_PAUSE = 0.5

FAULTS = ("none", "greeting-close", "auth-refused", "tls-garbage",
          "login-refused", "pasv-refused", "data-cut", "rename-refused",
          "quit-silent")


class _Session(object):
    """One control connection, served on its own thread."""

    def __init__(self, server, conn):
        self.server = server
        self.fault = server.fault
        self.conn = conn
        self.buffer = b""
        self.passive = None
        self.rename_from = None

    # -- control connection ------------------------------------------------

    def reply(self, line):
        self.conn.sendall(line.encode("utf-8", "surrogateescape") + b"\r\n")

    def read_line(self):
        """One command line without its line end; None at EOF."""
        while b"\n" not in self.buffer:
            chunk = self.conn.recv(4096)
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        line = line.rstrip(b"\r")
        self.server.raw.append(line)
        # Names are bytes: surrogateescape carries any of them through to
        # the file system unchanged.
        return line.decode("utf-8", "surrogateescape")

    def run(self):
        self.conn.sendall(self.server.greeting + b"\r\n")
        if self.fault == "greeting-close":
            return
        while True:
            line = self.read_line()
            if line is None:
                return
            verb, _, arg = line.partition(" ")
            self.server.commands.append(verb.upper())
            handler = getattr(self, "do_" + verb.upper(), None)
            if handler is None:
                self.reply("502 Command not implemented.")
            elif handler(arg) == "close":
                return

    # -- commands -------------------------------------------------------------

    def do_AUTH(self, arg):
        if self.fault == "auth-refused":
            self.reply("534 TLS not available here.")
            return None
        self.reply("234 AUTH TLS accepted.")
        if self.fault == "tls-garbage":
            # A handshake record header announcing 48 bytes that are no
            # handshake at all; then wait for the client to give up.
            self.conn.sendall(b"\x16\x03\x03\x00\x30" + b"\xa5\x5a" * 24)
            try:
                while self.conn.recv(4096):
                    pass
            except OSError:
                pass
            return "close"
        self.conn = self.server.context.wrap_socket(self.conn,
                                                    server_side=True)
        return None

    def do_USER(self, arg):
        self.reply("331 Password required.")

    def do_PASS(self, arg):
        if self.fault == "login-refused":
            self.reply("530 Login incorrect.")
        else:
            self.reply("230 Logged in.")

    def do_PBSZ(self, arg):
        self.reply("200 PBSZ=0")

    def do_PROT(self, arg):
        self.reply("200 Protection level set.")

    def do_TYPE(self, arg):
        self.reply("200 Type set.")

    def do_PASV(self, arg):
        if self.fault == "pasv-refused":
            self.reply("502 Passive mode refused.")
            return
        if self.passive is not None:
            self.passive.close()
        self.passive = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.passive.bind((self.server.address, 0))
        self.passive.listen(1)
        self.passive.settimeout(SOCKET_TIMEOUT)
        port = self.passive.getsockname()[1]
        self.reply("227 Entering Passive Mode (%s,%d,%d)." % (
            self.server.address.replace(".", ","), port >> 8, port & 0xFF))

    def _open_data(self):
        """Accept the data connection of the last PASV and start its TLS."""
        if self.passive is None:
            self.reply("425 Use PASV first.")
            return None
        self.reply("150 Opening data connection.")
        try:
            raw, _ = self.passive.accept()
        finally:
            self.passive.close()
            self.passive = None
        raw.settimeout(SOCKET_TIMEOUT)
        return self.server.context.wrap_socket(raw, server_side=True)

    def _cut(self, data):
        """Drop the data connection with a reset, no TLS close."""
        data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                        b"\x01\x00\x00\x00\x00\x00\x00\x00")
        data.close()
        self.reply("426 Connection closed; transfer aborted.")

    def do_STOR(self, arg):
        data = self._open_data()
        if data is None:
            return
        name = os.path.basename(arg)
        received = 0
        with open(os.path.join(self.server.root, name), "wb") as out:
            while True:
                try:
                    chunk = data.recv(65536)
                except (OSError, ssl.SSLError):
                    chunk = b""
                if not chunk:
                    break
                out.write(chunk)
                out.flush()
                received += len(chunk)
                if self.fault == "data-cut" and received >= CUT_AFTER:
                    self._cut(data)
                    return
        data.close()
        self.reply("226 Transfer complete.")

    def do_NLST(self, arg):
        data = self._open_data()
        if data is None:
            return
        names = sorted(os.listdir(self.server.root)) or ["placeholder"]
        listing = b"".join(os.fsencode(n) + b"\r\n" for n in names)
        if self.fault == "data-cut":
            data.sendall(b"first-name.xml\r\nsecond-na")
            self._cut(data)
            return
        data.sendall(listing)
        try:
            data.unwrap().close()
        except (OSError, ssl.SSLError):
            data.close()
        self.reply("226 Listing sent.")

    def do_RNFR(self, arg):
        if self.fault == "rename-refused":
            self.reply("550 Rename not allowed.")
            return
        self.rename_from = os.path.basename(arg)
        self.reply("350 Ready for RNTO.")

    def do_RNTO(self, arg):
        if self.rename_from is None:
            self.reply("503 RNFR first.")
            return
        root = self.server.root
        os.replace(os.path.join(root, self.rename_from),
                   os.path.join(root, os.path.basename(arg)))
        self.rename_from = None
        self.reply("250 Renamed.")

    def do_QUIT(self, arg):
        if self.fault == "quit-silent":
            self.server.stopped.wait(QUIT_PAUSE)
            return "close"
        self.reply("221 Goodbye.")
        return "close"


class FaultServer(object):
    """Serves one fault on address:21 until stop(); sessions are threads."""

    def __init__(self, address, fault, root, certfile, keyfile):
        if fault not in FAULTS:
            raise ValueError("unknown fault %r" % fault)
        self.address = address
        self.fault = fault
        self.root = root
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(certfile, keyfile)
        self.stopped = threading.Event()
        self.sessions = []
        self.errors = []
        # Command verbs received, in order, over all sessions, and the
        # command lines as sent (bytes, line end removed).
        self.commands = []
        self.raw = []
        self.greeting = b"220 fault server ready."
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            self.sock.bind((address, FTP_PORT))
            self.sock.listen(16)
        except OSError:
            self.sock.close()
            raise
        self.sock.settimeout(0.2)
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.stopped.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            conn.settimeout(SOCKET_TIMEOUT)
            t = threading.Thread(target=self._serve, args=(conn,),
                                 daemon=True)
            self.sessions.append(t)
            t.start()

    def _serve(self, conn):
        session = _Session(self, conn)
        try:
            session.run()
        except (OSError, ssl.SSLError) as e:
            # The client may drop the connection at any point; recorded
            # for diagnosis only.
            self.errors.append(repr(e))
        finally:
            if session.passive is not None:
                session.passive.close()
            session.conn.close()

    def stop(self):
        self.stopped.set()
        self.thread.join(timeout=SOCKET_TIMEOUT)
        for t in self.sessions:
            t.join(timeout=SOCKET_TIMEOUT)
        self.sock.close()
