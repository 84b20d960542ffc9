"""
skiffrelay.py     send to fi via an external program
"""

# The main script of skiffrelay.  The launcher runs it as __main__ after the
# framework modules; in child mode it runs under another name and only
# defines its functions.  Command line, after the program path:
#
#     send HOST USER PASSWORD FILE   upload FILE under a temporary name
#                                    (last character "t"), then rename it
#     test HOST USER PASSWORD yes    log in and out; "yes": also report the
#                                    server certificate's fields
#     tchk HOST USER PASSWORD WORD   log in, leave a marker file named after
#                                    the negotiated cipher, list the remote
#                                    directory
#
# HOST may name a port (HOST:PORT, [IPv6]:PORT; 21 without one).  Each
# command opens one FTP connection secured by explicit TLS (AUTH TLS,
# passive mode, PROT P) with M2Crypto's client, does its job and yields
# exactly one line, which never names the cause of a failure.  main()
# prints it and ends with a bare sys.exit(), which the launcher turns into
# exit status 1 whatever the outcome: callers read the line.
#
# Options come from environment variables, read and checked by the
# application module skiffrelay_options before the first connect: a pin or
# a CA file for the server certificate, a deadline for the whole command,
# the check of an upload's size before its rename (on by default), and a
# transcript of the run, which is where an operator learns what failed.
# The script runs on CPython 2.7 and 3.x alike; what differs between the
# two is named in skiffrelay_compat.
#
# The caller is another program, unattended, so a dead or hostile server
# must not keep a run alive or grow it without bound.  Every network wait
# (connect, each reply, both TLS handshakes, each read and write of a
# transfer, the end-of-upload drain) ends after a time limit without
# progress, SKIFFRELAY_TIMEOUT seconds (default 60).  Earlier versions set
# no time-out anywhere, so a server that stopped answering held a run for
# good.  SKIFFRELAY_DEADLINE bounds the whole command as well: each wait
# then gets no more than what is left of it.  One reply and one listing
# have size limits.  A limit reached ends the command with its failure line.

# The imports below make objects that live as long as the process does
# (modules, classes, functions): collecting among them would find nothing.
# So the collector waits until they are done, and main() then moves all of
# them out of its reach for good (gc.freeze): neither the collections
# during the command nor the interpreter's own at exit walk them again.
# That is a sixth of a run's start-up.
import gc
gc.disable()

import sys

# Each command's failure line.  The one of the command on the command line
# is encoded before anything else is imported: when memory runs out, it is
# printed without needing more (see _printFailure).
FAILURE_LINES = {"send": "IOError sending", "test": "Error opening target",
                 "tchk": "error listing remote dir"}
_failure = None
if (__name__ == "__main__" and len(sys.argv) >= 6 and
        sys.argv[1] in FAILURE_LINES):
    _failure = (FAILURE_LINES[sys.argv[1]] +
                ("\r\n" if sys.platform == "win32" else "\n")).encode("ascii")


# An allocation of this size fails only when memory is all but exhausted.
_PROBE_BYTES = 8 << 20


def _outOfMemory(error):
    """Whether error came of memory running out: a MemoryError, or another
    error while memory is all but exhausted (the runtime then also fails
    with a SystemError, or a lock it cannot allocate)."""
    if isinstance(error, MemoryError):
        return True
    try:
        block = bytearray(_PROBE_BYTES)
    except MemoryError:
        return True
    del block
    return False


def _printFailure():
    """After running out of memory: the command's failure line on standard
    output, unless the run has begun to print its line."""
    global _failure
    line, _failure = _failure, None
    if line is not None:
        try:
            compat = globals().get("_compat")
            out = (compat.stdoutBytes() if compat is not None else
                   getattr(sys.stdout, "buffer", sys.stdout))
            out.write(line)
            out.flush()
        except BaseException:
            sys.stdout = None  # nobody reads the output any more


try:
    import os
    import pickle  # noqa: F401 (part of the program's run-time closure)
    import io
    import socket
    import select
    import ftplib

    from M2Crypto import ftpslib, m2

    import skiffrelay_compat as _compat
    import skiffrelay_options as opt
except Exception as e:
    # A module that cannot be loaded is the error report's case; for want
    # of memory, the report says so, after the failure line.
    if not _outOfMemory(e):
        raise
    _printFailure()
    if isinstance(e, MemoryError):
        raise
    raise MemoryError("out of memory: %s: %s" % (type(e).__name__, e))


# Cipher name prefixes and the protocol label each one stands for.  The
# first row whose name is a prefix of the negotiated cipher wins, so longer
# names must come before their own prefixes (the TLSv1.2 rows come first).
CipherTab = (
    ("ECDHE-RSA-AES256-GCM-SHA384", "TLSv1.2"),
    ("ECDHE-ECDSA-AES256-GCM-SHA384", "TLSv1.2"),
    ("ECDHE-RSA-AES256-SHA384", "TLSv1.2"),
    ("ECDHE-ECDSA-AES256-SHA384", "TLSv1.2"),
    ("DHE-DSS-AES256-GCM-SHA384", "TLSv1.2"),
    ("DHE-RSA-AES256-GCM-SHA384", "TLSv1.2"),
    ("DHE-RSA-AES256-SHA256", "TLSv1.2"),
    ("DHE-DSS-AES256-SHA256", "TLSv1.2"),
    ("ECDH-RSA-AES256-GCM-SHA384", "TLSv1.2"),
    ("ECDH-ECDSA-AES256-GCM-SHA384", "TLSv1.2"),
    ("ECDH-RSA-AES256-SHA384", "TLSv1.2"),
    ("ECDH-ECDSA-AES256-SHA384", "TLSv1.2"),
    ("AES256-GCM-SHA384", "TLSv1.2"),
    ("AES256-SHA256", "TLSv1.2"),
    ("ECDHE-RSA-AES128-GCM-SHA256", "TLSv1.2"),
    ("ECDHE-ECDSA-AES128-GCM-SHA256", "TLSv1.2"),
    ("ECDHE-RSA-AES128-SHA256", "TLSv1.2"),
    ("ECDHE-ECDSA-AES128-SHA256", "TLSv1.2"),
    ("DHE-DSS-AES128-GCM-SHA256", "TLSv1.2"),
    ("DHE-RSA-AES128-GCM-SHA256", "TLSv1.2"),
    ("DHE-RSA-AES128-SHA256", "TLSv1.2"),
    ("DHE-DSS-AES128-SHA256", "TLSv1.2"),
    ("ECDH-RSA-AES128-GCM-SHA256", "TLSv1.2"),
    ("ECDH-ECDSA-AES128-GCM-SHA256", "TLSv1.2"),
    ("ECDH-RSA-AES128-SHA256", "TLSv1.2"),
    ("ECDH-ECDSA-AES128-SHA256", "TLSv1.2"),
    ("AES128-GCM-SHA256", "TLSv1.2"),
    ("AES128-SHA256", "TLSv1.2"),
    ("ECDHE-RSA-AES256-SHA", "SSLv3"),
    ("ECDHE-ECDSA-AES256-SHA", "SSLv3"),
    ("DHE-RSA-AES256-SHA", "SSLv3"),
    ("DHE-DSS-AES256-SHA", "SSLv3"),
    ("DHE-RSA-CAMELLIA256-SHA", "SSLv3"),
    ("DHE-DSS-CAMELLIA256-SHA", "SSLv3"),
    ("ECDH-RSA-AES256-SHA", "SSLv3"),
    ("ECDH-ECDSA-AES256-SHA", "SSLv3"),
    ("AES256-SHA", "SSLv3"),
    ("PSK-AES256-CBC-SHA", "SSLv3"),
    ("ECDHE-RSA-DES-CBC3-SHA", "SSLv3"),
    ("ECDHE-ECDSA-DES-CBC3-SHA", "SSLv3"),
    ("EDH-RSA-DES-CBC3-SHA", "SSLv3"),
    ("EDH-DSS-DES-CBC3-SHA", "SSLv3"),
    ("ECDH-RSA-DES-CBC3-SHA", "SSLv3"),
    ("ECDH-ECDSA-DES-CBC3-SHA", "SSLv3"),
    ("DES-CBC3-SHA", "SSLv3"),
    ("PSK-3DES-EDE-CBC-SHA", "SSLv3"),
    ("KRB5-DES-CBC3-SHA", "SSLv3"),
    ("KRB5-DES-CBC3-MD5", "SSLv3"),
    ("ECDHE-RSA-AES128-SHA", "SSLv3"),
    ("ECDHE-ECDSA-AES128-SHA", "SSLv3"),
    ("DHE-RSA-AES128-SHA", "SSLv3"),
    ("DHE-DSS-AES128-SHA", "SSLv3"),
    ("DHE-RSA-SEED-SHA", "SSLv3"),
    ("DHE-DSS-SEED-SHA", "SSLv3"),
    ("DHE-RSA-CAMELLIA128-SHA", "SSLv3"),
    ("DHE-DSS-CAMELLIA128-SHA", "SSLv3"),
    ("ECDH-RSA-AES128-SHA", "SSLv3"),
    ("ECDH-ECDSA-AES128-SHA", "SSLv3"),
    ("AES128-SHA", "SSLv3"),
    ("ECDHE-RSA-RC4-SHA", "SSLv3"),
    ("ECDHE-ECDSA-RC4-SHA", "SSLv3"),
    ("ECDH-RSA-RC4-SHA", "SSLv3"),
    ("ECDH-ECDSA-RC4-SHA", "SSLv3"),
    ("RC4-SHA", "SSLv3"),
    ("RC4-MD5", "SSLv3"),
    ("PSK-RC4-SHA", "SSLv3"),
    ("KRB5-RC4-SHA", "SSLv3"),
    ("KRB5-RC4-MD5", "SSLv3"),
    ("EDH-RSA-DES-CBC-SHA", "SSLv3"),
    ("EDH-DSS-DES-CBC-SHA", "SSLv3"),
    ("DES-CBC-SHA", "SSLv3"),
    ("KRB5-DES-CBC-SHA", "SSLv3"),
    ("KRB5-DES-CBC-MD5", "SSLv3"),
    ("EXP-EDH-RSA-DES-CBC-SHA", "SSLv3"),
    ("EXP-EDH-DSS-DES-CBC-SHA", "SSLv3"),
    ("EXP-DES-CBC-SHA", "SSLv3"),
    ("EXP-RC2-CBC-MD5", "SSLv3"),
    ("EXP-KRB5-RC2-CBC-SHA", "SSLv3"),
    ("EXP-KRB5-DES-CBC-SHA", "SSLv3"),
    ("EXP-KRB5-RC2-CBC-MD5", "SSLv3"),
    ("EXP-KRB5-DES-CBC-MD5", "SSLv3"),
    ("EXP-RC4-MD5", "SSLv3"),
    ("EXP-KRB5-RC4-SHA", "SSLv3"),
    ("EXP-KRB5-RC4-MD5", "SSLv3"),
)

# Label of a cipher that no row of CipherTab names.
UnknownLabel = "Unbekannt"

# Upload block: large reads keep the per-block cost negligible; the TLS
# layer cuts each block into full 16 KiB records.
_UPLOAD_BLOCK = 256 * 1024

# Data handed to one TLS write: one full record.  Each write has the whole
# time limit, so a slow but moving upload is never cut off for being slow.
_WRITE_PIECE = 16 * 1024

# Arguments arrive decoded with the file system encoding and this error
# handler, which gives back the caller's very bytes when encoding again.
# Commands, replies, listings and the result line use the same pair, so
# that every byte of a name, a password or a reply passes unchanged
# (ftplib's own strict UTF-8 would refuse some of them).
_ENCODING = sys.getfilesystemencoding()
_ERRORS = "surrogateescape"

# The time limit of each network wait, in seconds: SKIFFRELAY_TIMEOUT's
# value when it is a positive number, else the default (see timeLimit).
DEFAULT_LIMIT = opt.DEFAULT_LIMIT
MAX_LIMIT = opt.MAX_LIMIT
timeLimit = opt.timeLimit

# Size limits, far above what real servers send: one reply, all its lines
# together (characters), and one listing (bytes of the names and their
# separators as printed).  The listing's limit also bounds the memory of
# the result line, which exists as bytes, text and bytes again.
REPLY_LIMIT = 1 << 20
LISTING_LIMIT = 4 << 20



# SIZE answers that say the server does not offer the command (rather
# than that the file is missing): the size check is skipped then.
_SIZE_UNSUPPORTED = ("500", "501", "502", "504")

# Runs without a deadline and without a transcript (class defaults).
_NO_DEADLINE = opt.Clock()
_NO_TRACE = opt.Transcript(None, None, _ENCODING, _ERRORS)


class LimitError(ftplib.Error):
    """A server sent more than a size limit allows."""


class UploadSizeError(ftplib.Error):
    """The server holds another size of an upload than was sent."""


class _Names(object):
    """A listing's names joined by "|" after a prefix, kept as bytes.

    Bytes take a byte per byte of the listing; the text of many short
    names, each its own object, would take many times that.
    """

    def __init__(self, prefix):
        self.data = bytearray(_compat.encode(prefix, _ENCODING, _ERRORS))
        self.start = len(self.data)
        self.count = 0

    def add(self, name):
        if self.count:
            self.data += b"|"
        self.count += 1
        self.data += _compat.encode(name, _ENCODING, _ERRORS)
        if len(self.data) - self.start > LISTING_LIMIT:
            raise LimitError("listing over %d bytes" % LISTING_LIMIT)

    def text(self):
        data, self.data = self.data, None
        return _compat.decode(data, _ENCODING, _ERRORS)


class _DataConnection(ftpslib.SSL.Connection):
    """A TLS data connection that ftplib's transfer methods can drive.

    ftplib uses data connections as context managers, reads listings
    through makefile('r', encoding=...) and writes with sendall.  Leaving
    the context ends the transfer cleanly: see __exit__.  Each wait has
    the time limit, or what is left of the deadline if that is less (see
    _FTP_TLS).  The bytes that pass are counted: an upload's count is what
    the server's size must match.
    """

    # Set by _FTP_TLS: the control connection, watched while draining; the
    # time limit, the run's clock and its transcript.
    control = None
    limit = DEFAULT_LIMIT
    clock = _NO_DEADLINE
    trace = _NO_TRACE
    sent = 0
    received = 0

    def _bound(self):
        # M2Crypto's reads, writes and handshake wait at most _timeout.
        if self.clock.running():
            self._timeout = self.clock.wait(self.limit)

    def sendall(self, data):
        # The TLS write reports trouble either by raising or by a short
        # count; treat both as a failed transfer so that a cut-off upload
        # can never look complete.
        view = memoryview(data)
        for start in range(0, len(view), _WRITE_PIECE):
            piece = view[start:start + _WRITE_PIECE]
            self._bound()
            if self.write(piece) != len(piece):
                raise OSError("TLS write incomplete")
            self.sent += len(piece)

    def recv_into(self, buf, nbytes=0):
        self._bound()
        count = ftpslib.SSL.Connection.recv_into(self, buf, nbytes)
        self.received += count
        return count

    def makefile(self, mode="r", buffering=None, encoding=None, errors=None,
                 newline=None):
        raw = _compat.SocketIO(self, "rb")
        reader = io.BufferedReader(raw, io.DEFAULT_BUFFER_SIZE)
        if "b" in mode:
            return reader
        return _compat.textFile(reader, encoding or _ENCODING,
                                errors or _ERRORS, newline)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        # After a complete transfer: send close_notify, half-close the
        # socket and read until the server closes its end.  Under TLS 1.3
        # the server sends session tickets that an uploading client never
        # reads; closing a socket with unread input makes the kernel send
        # a reset, and the server may then lose the tail of the file.
        # After a failure the connection is simply dropped.
        if exc_type is None:
            try:
                self._finish(self.clock.wait(self.limit))
            except Exception:
                pass  # the server's reply on the control connection decides
        self.trace.note("data connection closed: %d bytes sent, %d received"
                        % (self.sent, self.received))
        self._free_bio()
        return False

    def _finish(self, limit):
        # SSL_shutdown does not wait on a non-blocking socket: it could give
        # up with the alert half sent.  A blocking socket with a send
        # time-out lets it finish within the limit or fail.
        self.settimeout(None)
        seconds = int(limit)
        micro = int((limit - seconds) * 1000000) or (0 if seconds else 1)
        self.set_socket_write_timeout(ftpslib.SSL.timeout(seconds, micro))
        self.close()
        self.socket.shutdown(socket.SHUT_WR)
        # The drain ends when the server closes its end, or as soon as its
        # reply starts to arrive on the control connection (it has the
        # whole file by then), or after one limit; reaching the limit is no
        # failure, since the reply decides.
        watched = [self.socket]
        if self.control is not None:
            watched.append(self.control)
        deadline = _compat.monotonic() + limit
        while True:
            left = deadline - _compat.monotonic()
            if left <= 0:
                return
            readable = select.select(watched, [], [], left)[0]
            if self.control is not None and self.control in readable:
                return
            if readable and not self.socket.recv(65536):
                return


class _ReplyReader(object):
    """The control connection as ftplib's reply file reads it.

    All reads of one reply share one deadline (set by getmultiline), so a
    server that trickles a reply a byte at a time, each byte just inside
    the time limit, still cannot keep a run alive: the whole reply must
    arrive within the limit.  Outside a reply each read has the limit.
    Neither is ever more than the run's clock leaves.
    """

    def __init__(self, sock, limit, clock=_NO_DEADLINE):
        self.sock = sock
        self.limit = limit
        self.clock = clock
        self.deadline = None

    def recv_into(self, buf, nbytes=0):
        left = self.clock.wait(self.limit)
        if self.deadline is not None:
            left = min(left, self.deadline - _compat.monotonic())
            if left <= 0:
                raise socket.timeout("reply not complete within the limit")
        self.sock.settimeout(left)
        try:
            return self.sock.recv_into(buf, nbytes)
        finally:
            self.sock.settimeout(self.limit)

    def fileno(self):
        return self.sock.fileno()

    def _decref_socketios(self):
        pass


def _replyFile(sock, limit, clock=_NO_DEADLINE):
    """The text file of replies on sock, read through a _ReplyReader."""
    reader = _ReplyReader(sock, limit, clock)
    raw = _compat.SocketIO(reader, "rb")
    text = _compat.textFile(io.BufferedReader(raw), _ENCODING, _ERRORS)
    return text, reader


def _connectAny(host, port, limit, clock, trace, source_address=None):
    """A TCP connection to the first address of host that takes one.

    socket.create_connection gives each address the whole time limit, so
    a name with ten silent addresses would take ten limits whatever the
    deadline; here each attempt gets no more than the clock leaves.  Name
    resolution is the system resolver's and keeps its own time-outs.
    """
    error = None
    for family, kind, proto, _, address in socket.getaddrinfo(
            _compat.hostName(host), port, 0, socket.SOCK_STREAM):
        sock = socket.socket(family, kind, proto)
        try:
            sock.settimeout(clock.wait(limit))
            if source_address:
                sock.bind(source_address)
            trace.note("connecting to %s port %d" % address[:2])
            sock.connect(address)
            return sock
        except opt.DeadlineError:
            sock.close()
            raise
        except _compat.OSErrors as e:
            sock.close()
            trace.note("connect failed: ", str(e))
            error = e
    raise error if error is not None else OSError("no address for " + host)


def _handshake(conn, what, needCert=False):
    """Runs conn's TLS handshake; OSError unless it finished, with a cipher
    and (needCert) the server's certificate.  M2Crypto's connect_ssl
    reports success when a server answers the ClientHello by closing."""
    if (conn.connect_ssl() != 1 or not m2.ssl_is_init_finished(conn.ssl)
            or conn.get_cipher() is None
            or (needCert and conn.get_peer_cert() is None)):
        raise OSError("TLS handshake on %s connection failed" % what)


def _sessionReused(conn, session):
    """"yes" when conn resumed session, else "no": right after a resumed
    handshake OpenSSL holds the very session it was given, after a full
    one a new session."""
    try:
        same = int(m2.ssl_get_session(conn.ssl)) == int(session._ptr())
    except Exception:
        return "unknown"
    return "yes" if same else "no"


class _FTP_TLS(_compat.FTPBase):
    """M2Crypto's FTP_TLS fitted to this runtime's ftplib, with limits.

    ftplib reads replies from a text file and drives data connections as
    described in _DataConnection; the data connections reuse the control
    connection's TLS session, which servers such as vsftpd demand.

    The time limit is the time-out of every socket, which ftplib passes on
    to the data connections' sockets; a reply on the control connection
    must arrive whole within it.  M2Crypto's TLS connections take it
    over from their socket: the socket is then non-blocking, and each
    handshake, read and write waits with poll() for at most the limit
    (raising SSLTimeoutError), where a plain socket time-out would never
    reach OpenSSL's own reads and writes.  With a deadline (clock), every
    wait is cut to what is left of it.

    peerCheck, when set, is called with each TLS connection (control and
    data) right after its handshake and raises to refuse the server; the
    transcript (trace) gets every command, reply and connection.
    """

    limit = DEFAULT_LIMIT
    clock = _NO_DEADLINE
    trace = _NO_TRACE
    peerCheck = None
    # The data connection of the last transfer (its byte counts).
    transfer = None

    def __init__(self, limit=DEFAULT_LIMIT, clock=_NO_DEADLINE,
                 trace=_NO_TRACE, ssl_ctx=None):
        ftpslib.FTP_TLS.__init__(self, ssl_ctx=ssl_ctx)
        self.timeout = self.limit = limit
        self.clock = clock
        self.trace = trace
        # ftplib names the encoding of listings after this attribute.
        self.encoding = _ENCODING

    def connect(self, host="", port=0, timeout=-999, source_address=None):
        # ftplib.FTP.connect, with replies read as described at _ERRORS
        # and the connect of _connectAny.
        if host != "":
            self.host = host
        if port > 0:
            self.port = port
        if timeout != -999:
            self.timeout = timeout
        if source_address is not None:
            self.source_address = source_address
        self.clock.start()
        self.sock = _connectAny(self.host, self.port, self.timeout,
                                self.clock, self.trace, self.source_address)
        self.af = self.sock.family
        self.trace.note("connected to %s port %d" %
                        self.sock.getpeername()[:2])
        self.file, self._reader = _replyFile(self.sock, self.timeout,
                                             self.clock)
        self.welcome = self.getresp()
        return self.welcome

    def getmultiline(self):
        # One deadline for the whole reply (see _ReplyReader).
        self._reader.deadline = _compat.monotonic() + self.timeout
        try:
            reply = self._readReply()
        finally:
            self._reader.deadline = None
        self.trace.received(reply)
        return reply

    def _readReply(self):
        # ftplib's getmultiline, with a size limit (an endless multi-line
        # reply would grow without bound) and the lines joined once at the
        # end rather than one concatenation per line.
        line = self.getline()
        if line[3:4] != "-":
            return line
        code = line[:3]
        lines = [line]
        size = len(line)
        while True:
            nextline = self.getline()
            lines.append(nextline)
            size += 1 + len(nextline)
            if size > REPLY_LIMIT:
                raise LimitError("reply over %d characters" % REPLY_LIMIT)
            if nextline[:3] == code and nextline[3:4] != "-":
                return "\n".join(lines)

    def putline(self, line):
        if "\r" in line or "\n" in line:
            raise ValueError("line end inside a command")
        self.trace.sent(line)
        if self.clock.running():
            self.sock.settimeout(self.clock.wait(self.timeout))
        self.sock.sendall(_compat.encode(line + "\r\n", _ENCODING, _ERRORS))

    def auth_tls(self):
        # ftpslib's, with the handshake's result checked, the server's
        # certificate checked before anything else is sent, and replies
        # read as described at _ERRORS.
        self.voidcmd("AUTH TLS")
        conn = ftpslib.SSL.Connection(self.ssl_ctx, self.sock)
        conn.setup_ssl()
        conn.set_connect_state()
        if self.clock.running():
            conn.settimeout(self.clock.wait(self.timeout))
        _handshake(conn, "control", True)
        self.sock = conn
        self.file, self._reader = _replyFile(conn, self.timeout, self.clock)
        self.trace.tls(conn)
        self._checkPeer(conn)

    def _checkPeer(self, conn):
        if self.peerCheck is not None:
            self.trace.note(self.peerCheck(conn))

    def ntransfercmd(self, cmd, rest=None):
        # ftplib connects the data socket with self.timeout.
        self.timeout = self.clock.wait(self.limit)
        try:
            conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        finally:
            self.timeout = self.limit
        if not self.prot:
            return conn, size
        try:
            tls = _DataConnection(self.ssl_ctx, conn)
            tls.control = self.sock
            tls.limit, tls.clock, tls.trace = self.limit, self.clock, \
                self.trace
            tls.setup_ssl()
            tls.set_connect_state()
            session = self.sock.get_session()
            tls.set_session(session)
            tls._bound()
            _handshake(tls, "data")
            if self.trace.active:
                self.trace.note("data connection to %s port %d, TLS session "
                                "reused: %s" % (conn.getpeername()[:2] + (
                                    _sessionReused(tls, session),)))
            self._checkPeer(tls)
        except BaseException:
            conn.close()
            raise
        self.transfer = tls
        return tls, size

    def storbinary(self, cmd, fp, blocksize=_UPLOAD_BLOCK, callback=None,
                   rest=None):
        return _compat.FTPBase.storbinary(self, cmd, fp, blocksize, callback,
                                          rest)


def _emit(line):
    """Print one result line; a closed standard output ends nothing."""
    global _failure
    try:
        sys.stdout.flush()
        out = _compat.stdoutBytes()
        data = _compat.encode(line, _ENCODING, _ERRORS)
        _failure = None  # this line is the run's line now
        # Two writes rather than one joined copy of a long listing line.
        out.write(data)
        out.write(os.linesep.encode("ascii"))
        sys.stdout.flush()
    except BaseException as e:
        if _failure is not None and _outOfMemory(e):
            raise  # nothing printed yet: main prints the failure line
        # Nobody reads the output any more.  The line stays buffered and
        # the runtime's flush at exit would fail again and report that on
        # standard error; with the stream forgotten it flushes nothing.
        sys.stdout = None


def getContent(cert):
    """The certificate's not-before, not-after, fingerprint and subject."""
    notBefore = str(cert.get_not_before())
    notAfter = str(cert.get_not_after())
    fingerprint = str(cert.get_fingerprint())
    subject = str(cert.get_subject())
    return notBefore, notAfter, fingerprint, subject


def cipherLabel(cipherName):
    """Protocol label of the first CipherTab row prefixing cipherName."""
    for name, label in CipherTab:
        if cipherName.startswith(name):
            return label
    return UnknownLabel


def finalName(filename):
    """Remote name of an upload: the last component of the local path."""
    return os.path.split(filename)[1]


def tempName(final):
    """Name an upload carries until it is complete: last character 't'."""
    return final[:-1] + "t"


class _Run(object):
    """What one command works with: its options, HOST's host and port, the
    TLS context, the deadline's clock and the transcript.

    Made inside the command's guard, so that an invalid option or HOST
    raises OptionError there, before any connection is made.
    """

    def __init__(self, hostArg, trace):
        self.trace = trace
        self.options = opt.readOptions(os.environ)
        trace.note(self.options.describe())
        self.host, self.port = opt.splitHostPort(hostArg)
        trace.note("host %s, port %d" % (self.host, self.port))
        self.context = opt.tlsContext(self.options)
        self.clock = opt.Clock(self.options.deadline)

    def client(self):
        """A new FTP client that checks each server certificate."""
        ftp = _FTP_TLS(self.options.limit, self.clock, self.trace,
                       self.context)
        ftp.peerCheck = self._checkPeer
        return ftp

    def _checkPeer(self, conn):
        return opt.checkPeer(conn, self.options, self.host)


def _guarded(word, hostArg, pwd, body, failure):
    """Runs body(run) for one command inside a guard that catches every
    exception; returns body's result line, or failure.  The transcript
    records the run and what ended it."""
    trace = opt.Transcript(os.environ.get(opt.TRACE_VARIABLE), pwd,
                           _ENCODING, _ERRORS)
    trace.note("command %s, HOST %s" % (word, hostArg))
    run = None
    try:
        run = _Run(hostArg, trace)
        line = body(run)
        trace.ended(line)
    except BaseException as e:
        line = failure
        # A wait cut short by the deadline fails with the library's own
        # time-out; the transcript says which limit it was.
        if run is not None and run.clock.passed():
            trace.note("the deadline of %g s has passed" % run.clock.seconds)
        trace.ended(line, e)
    trace.close()
    return line


def _session(run, user, pwd, afterTls=None):
    """The opening every command shares; returns (client, afterTls result).

    Connect to the run's host and port, switch the control connection to
    TLS and check the server's certificate, then call afterTls (if given)
    with the TLS connection, before the login: the certificate and the
    cipher are read there.  Then passive mode, login and a protected data
    channel.  Any failure raises.
    """
    ftp = run.client()
    ftp.connect(run.host, run.port)
    ftp.auth_tls()
    seen = None
    if afterTls is not None:
        seen = afterTls(ftp.sock)
    ftp.set_pasv(1)
    ftp.login(user, pwd)
    ftp.prot_p()
    return ftp, seen


# The local file of an upload is a FIFO, a device or a directory.
NotRegularFile = opt.NotRegularFile


def _openUpload(filename):
    """The local file of an upload, open for reading in binary mode.

    Opened without blocking (a FIFO without a writer would block the open)
    and checked on the open descriptor, so that nothing swapped in after a
    check is read: anything but a regular file (a FIFO, /dev/zero, a
    directory) could stall the upload or never end it, and is refused with
    NotRegularFile.
    """
    fd = opt.openRegular(filename, os.O_RDONLY)
    try:
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def _checkSize(ftp, name, sent):
    """The server's size of the uploaded file name must be sent bytes.

    Asked with SIZE (the type is still binary after STOR).  A server that
    does not offer SIZE (_SIZE_UNSUPPORTED) skips the check; any other
    refusal, an answer other than "213 DIGITS" or another size raises, so
    that a file the server cut short never gets its final name.
    """
    try:
        reply = ftp.sendcmd("SIZE " + name)
    except ftplib.error_perm as e:
        if str(e)[:3] not in _SIZE_UNSUPPORTED:
            raise
        ftp.trace.note("size check skipped: SIZE not offered")
        return
    size = reply[4:].strip() if reply[:4] == "213 " else ""
    if not size or size.strip("0123456789"):
        raise UploadSizeError("SIZE answered %r" % reply[:100])
    if int(size) != sent:
        raise UploadSizeError("server holds %s bytes, %d sent" % (size, sent))
    ftp.trace.note("size check: %d bytes on the server, as sent" % sent)


def _sendFile(run, user, pwd, filename):
    """The steps of "send" (see _upload); returns "ok" or raises."""
    local = None
    try:
        final = finalName(filename)
        # A file that is there but no regular file is refused before any
        # connection; one that cannot be opened is found out after the
        # login, as it always was.
        try:
            local = _openUpload(filename)
        except OSError:
            local = None
        ftp, _ = _session(run, user, pwd)
        if local is None:
            local = _openUpload(filename)
        tmp = tempName(final)
        with local:
            ftp.storbinary("STOR %s" % tmp, local)
        run.clock.sleep(0.6)
        if run.options.sizeCheck:
            _checkSize(ftp, tmp, ftp.transfer.sent)
        ftp.rename(tmp, final)
        ftp.quit()
        return "ok"
    finally:
        if local is not None:
            local.close()


def _upload(host, user, pwd, filename):
    """The "send" command; returns its result line."""
    return _guarded("send", host, pwd,
                    lambda run: _sendFile(run, user, pwd, filename),
                    FAILURE_LINES["send"])


def send(host, user, pwd, filename):
    """Upload filename to host and print the result line."""
    _emit(_upload(host, user, pwd, filename))


def _certificateFields(conn):
    return getContent(conn.get_peer_cert())


def _negotiatedCipher(conn):
    return conn.get_cipher()


def test(host, user, pwd, cert=False):
    """Log in and out; returns the result line (cert: with its fields)."""
    def body(run):
        ftp, fields = _session(run, user, pwd,
                               _certificateFields if cert else None)
        run.clock.sleep(0.05)
        ftp.quit()
        if cert:
            return "ok-%s" % "|".join(fields)
        return "ok"
    return _guarded("test", host, pwd, body, FAILURE_LINES["test"])


def _writeMarker(cipher):
    """Write the marker file "LABEL_CIPHER.txt" holding the cipher's name.

    The name is predictable, and the folder may be writable by others: a
    symbolic link planted there is never followed, and a FIFO or device
    never opened for blocking or written to.  A regular file there is
    overwritten.
    """
    cipherName = str(cipher.name())
    label = cipherLabel(cipherName)
    fd = opt.openRegular("%s_%s.txt" % (label, cipherName),
                         os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    with os.fdopen(fd, "wb") as marker:
        marker.write(_compat.encode(cipherName + "\r\n", _ENCODING, _ERRORS))


def tchk(host, user, pwd, filename):
    """Cipher check and listing; returns the result line."""
    def body(run):
        ftp, cipher = _session(run, user, pwd, _negotiatedCipher)
        try:
            _writeMarker(cipher)
        except BaseException:
            pass  # no marker file; the listing goes on
        names = _Names("ok-")
        ftp.retrlines("NLST", names.add)
        run.clock.sleep(0.01)
        ftp.quit()
        return names.text()
    return _guarded("tchk", host, pwd, body, FAILURE_LINES["tchk"])


def main():
    if len(sys.argv) < 6:
        sys.exit()
    try:
        _compat.freeze()
        gc.enable()
        if sys.argv[1] == "send":
            send(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5])
        elif sys.argv[1] == "test":
            _emit(test(sys.argv[2], sys.argv[3], sys.argv[4],
                       sys.argv[5] == "yes"))
        elif sys.argv[1] == "tchk":
            _emit(tchk(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]))
    except Exception as e:
        if not _outOfMemory(e):
            raise
        _printFailure()
    sys.exit()


if __name__ == "__main__":
    main()
else:
    gc.enable()  # imported (child mode, tests): the collector as usual
