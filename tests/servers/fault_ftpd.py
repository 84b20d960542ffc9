"""A scripted FTP-over-explicit-TLS server on loopback that fails on cue.

It speaks just enough of RFC 959 and RFC 4217 for skiffrelay's three
commands (AUTH TLS, USER, PASS, PBSZ, PROT, TYPE, PASV, STOR, NLST, SIZE,
RNFR, RNTO, QUIT), with real TLS from the standard ssl module on the control and
the data connections, and misbehaves at exactly one point chosen by its
fault:

  none             a well-behaved server (the control case)
  greeting-close   sends its greeting, then closes the connection
  auth-refused     answers AUTH TLS with 534
  tls-garbage      accepts AUTH TLS, then sends bytes shaped like a TLS
                   record header followed by garbage instead of a handshake
  login-refused    answers PASS with 530
  pasv-refused     answers PASV with 502
  pasv-elsewhere   names 192.0.2.1 (which leads nowhere) in its PASV reply
                   while listening on its own address
  data-cut         resets the data connection part-way through a transfer
                   (after 256 KiB of an upload, in the middle of a listing)
                   and answers 426
  rename-refused   answers RNFR with 550
  quit-silent      reads QUIT, waits a moment and closes without a reply
  store-short      keeps one byte less of an upload than it received, yet
                   answers 226 (and SIZE with what it kept)
  size-unknown     answers SIZE with 502, as a server without it does
  tls-close        accepts AUTH TLS, reads the client's hello and closes
                   the connection: a handshake that never finished
  data-tls-close   the same on each data connection

Faults that hold the client up or flood it, each of which would keep a
client without time or size limits busy for good:

  no-accept        listens with a full queue and accepts nothing, so that
                   a client's connect never completes
  silent           accepts and never says a word
  auth-stall       answers AUTH TLS with 234 and never starts the handshake
  handshake-stall  sends half of its first handshake flight, then nothing
  data-tls-stall   accepts a data connection and never starts its handshake
  transfer-stall   stops reading an upload after 256 KiB; sends part of a
                   listing and stops
  data-held        never closes a data connection after a transfer (replies
                   normally on the control connection)
  reply-bomb-greeting  an endless multi-line greeting ("220-...")
  reply-bomb-user  an endless multi-line reply to USER ("331-...")
  reply-trickle    an endless multi-line greeting, one short line a
                   second: never a pause as long as a time limit
  listing-bomb     an endless listing: names until the client goes away
                   (or, with listing_bytes set, that many bytes of names
                   and a normal end)

A stalled session waits until the server stops (at most STALL_LIMIT).

Uploads land in the server's root under the name the client sent,
written as they arrive, so an interrupted upload leaves its partial file.
Names are taken as bytes; the server records every command line as sent
(``raw``), its verbs (``commands``) and when each command arrived and each
reply left (``timeline``), and its greeting can be set.  It listens on
port 21 (needs root) or the port given (0: a free one, in ``port``).
Every wait is bounded: sockets time out after SOCKET_TIMEOUT seconds and
stop() joins with a limit.
"""

import os
import socket
import ssl
import threading
import time

FTP_PORT = 21
SOCKET_TIMEOUT = 15.0
CUT_AFTER = 256 * 1024
QUIT_PAUSE = 0.5
# Longer than any client time limit a test uses (the default is 60 s).
STALL_LIMIT = 180.0
# A trickling reply sends one line per this many seconds.
TRICKLE_PAUSE = 1.0
# A bomb sends this many lines per write.
BOMB_BATCH = 256

FAULTS = ("none", "greeting-close", "auth-refused", "tls-garbage",
          "login-refused", "pasv-refused", "pasv-elsewhere", "data-cut",
          "rename-refused", "quit-silent", "no-accept", "silent", "auth-stall",
          "handshake-stall", "data-tls-stall", "transfer-stall",
          "data-held", "reply-bomb-greeting", "reply-bomb-user",
          "reply-trickle", "listing-bomb", "store-short", "size-unknown",
          "tls-close", "data-tls-close")


class _Session(object):
    """One control connection, served on its own thread."""

    def __init__(self, server, conn):
        self.server = server
        self.fault = server.fault
        self.conn = conn
        self.buffer = b""
        self.passive = None
        self.rename_from = None
        # Data connections kept open on purpose ("data-held").
        self.held = []

    # -- control connection ------------------------------------------------

    def reply(self, line):
        self.conn.sendall(line.encode("utf-8", "surrogateescape") + b"\r\n")
        self.server.timeline.append((time.monotonic(), "reply", line[:3]))

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

    def stall(self):
        """Say and read nothing more until the server stops."""
        self.server.stopped.wait(STALL_LIMIT)
        return "close"

    def bomb(self, sock, line_of, limit=None):
        """Send line_of(0), line_of(1), ... until the peer goes away (or
        until the next line would pass limit bytes; then returns None)."""
        n = sent = 0
        while not self.server.stopped.is_set():
            batch = b"".join(line_of(n + i) for i in range(BOMB_BATCH))
            n += BOMB_BATCH
            if limit is not None and sent + len(batch) > limit:
                line = len(line_of(n))
                sock.sendall(batch[:(limit - sent) // line * line])
                return None
            try:
                sock.sendall(batch)
            except (OSError, ssl.SSLError):
                break
            sent += len(batch)
        return "close"

    def run(self):
        if self.fault == "silent":
            self.stall()
            return
        if self.fault == "reply-bomb-greeting":
            self.bomb(self.conn, lambda n: b"220-%08d %s\r\n" % (n, b"x" * 64))
            return
        if self.fault == "reply-trickle":
            while not self.server.stopped.wait(TRICKLE_PAUSE):
                try:
                    self.conn.sendall(b"220-still there\r\n")
                except OSError:
                    return
            return
        self.conn.sendall(self.server.greeting + b"\r\n")
        if self.fault == "greeting-close":
            return
        while True:
            line = self.read_line()
            if line is None:
                return
            verb, _, arg = line.partition(" ")
            self.server.commands.append(verb.upper())
            self.server.timeline.append((time.monotonic(), "command",
                                         verb.upper()))
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
        if self.fault == "auth-stall":
            return self.stall()
        if self.fault == "handshake-stall":
            self.half_handshake()
            return self.stall()
        if self.fault == "tls-close":
            self.conn.recv(4096)
            return "close"
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

    def half_handshake(self):
        """Read the client's hello; send half of the answering flight."""
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = self.server.context.wrap_bio(incoming, outgoing,
                                           server_side=True)
        while not outgoing.pending:
            chunk = self.conn.recv(4096)
            if not chunk:
                return
            incoming.write(chunk)
            try:
                tls.do_handshake()
            except ssl.SSLWantReadError:
                pass
        flight = outgoing.read()
        self.conn.sendall(flight[:len(flight) // 2])

    def do_USER(self, arg):
        if self.fault == "reply-bomb-user":
            return self.bomb(self.conn,
                             lambda n: b"331-%08d %s\r\n" % (n, b"y" * 64))
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
        named = self.server.address
        if self.fault == "pasv-elsewhere":
            named = "192.0.2.1"
        self.reply("227 Entering Passive Mode (%s,%d,%d)." % (
            named.replace(".", ","), port >> 8, port & 0xFF))

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
        if self.fault == "data-tls-stall":
            self.held.append(raw)
            self.stall()
            return None
        if self.fault == "data-tls-close":
            raw.recv(4096)
            raw.close()
            self.reply("426 Connection closed; transfer aborted.")
            return None
        return self.server.data_context.wrap_socket(raw, server_side=True)

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
                if self.fault == "transfer-stall" and received >= CUT_AFTER:
                    self.held.append(data)
                    return self.stall()
        if self.fault == "data-held":
            self.held.append(data)
        else:
            data.close()
        if self.fault == "store-short" and received:
            os.truncate(os.path.join(self.server.root, name), received - 1)
        self.reply("226 Transfer complete.")

    def do_NLST(self, arg):
        data = self._open_data()
        if data is None:
            return
        names = sorted(os.listdir(self.server.root)) or ["placeholder"]
        listing = b"".join(os.fsencode(n) + b"\r\n" for n in names)
        if self.fault in ("data-cut", "transfer-stall"):
            data.sendall(b"first-name.xml\r\nsecond-na")
            if self.fault == "transfer-stall":
                self.held.append(data)
                return self.stall()
            self._cut(data)
            return
        if self.fault == "listing-bomb":
            # Names that become the widest text when decoded (a character
            # outside the BMP next to undecodable bytes).
            self.held.append(data)
            if self.bomb(data, lambda n: b"%07d\xff\xfe\xf0\x9f\x92\xa3"
                         b"\xff\xfe\xfd\xfc\r\n" % n,
                         self.server.listing_bytes) == "close":
                return "close"
            listing = b""
        data.sendall(listing)
        if self.fault == "data-held":
            self.held.append(data)
        else:
            try:
                data.unwrap().close()
            except (OSError, ssl.SSLError):
                data.close()
        self.reply("226 Listing sent.")

    def do_SIZE(self, arg):
        if self.fault == "size-unknown":
            self.reply("502 Command not implemented.")
            return
        try:
            size = os.path.getsize(os.path.join(self.server.root,
                                                os.path.basename(arg)))
        except OSError:
            self.reply("550 No such file.")
            return
        self.reply("213 %d" % size)

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
    """Serves one fault on address:port until stop(); sessions are
    threads."""

    def __init__(self, address, fault, root, certfile, keyfile,
                 port=FTP_PORT):
        if fault not in FAULTS:
            raise ValueError("unknown fault %r" % fault)
        self.address = address
        self.fault = fault
        self.root = root
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(certfile, keyfile)
        # The data connections' TLS; a test may give them another
        # certificate.
        self.data_context = self.context
        self.stopped = threading.Event()
        self.sessions = []
        self.errors = []
        # Command verbs received, in order, over all sessions, and the
        # command lines as sent (bytes, line end removed).
        self.commands = []
        self.raw = []
        # (time.monotonic(), "command" or "reply", verb or reply code).
        self.timeline = []
        self.greeting = b"220 fault server ready."
        self.listing_bytes = None
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.filler = None
        try:
            self.sock.bind((address, port))
            self.port = self.sock.getsockname()[1]
            self.sock.listen(0 if fault == "no-accept" else 16)
            if fault == "no-accept":
                # One connection fills a queue of length 0: later SYNs are
                # dropped and connects wait.
                self.filler = socket.create_connection((address, self.port),
                                                       SOCKET_TIMEOUT)
        except OSError:
            self.sock.close()
            raise
        self.sock.settimeout(0.2)
        self.thread = threading.Thread(target=self._accept, daemon=True)
        if fault != "no-accept":
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
            for sock in session.held:
                sock.close()
            session.conn.close()

    def stop(self):
        self.stopped.set()
        if self.thread.is_alive():
            self.thread.join(timeout=SOCKET_TIMEOUT)
        for t in self.sessions:
            t.join(timeout=SOCKET_TIMEOUT)
        if self.filler is not None:
            self.filler.close()
        self.sock.close()
