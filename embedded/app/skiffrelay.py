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
# Each command opens one FTP connection on port 21 secured by explicit TLS
# (AUTH TLS, passive mode, PROT P) with M2Crypto's client, does its job and
# yields exactly one line, which never names the cause of a failure.  main()
# prints it and ends with a bare sys.exit(), which the launcher turns into
# exit status 1 whatever the outcome: callers read the line.
#
# The caller is another program, unattended, so a dead or hostile server
# must not keep a run alive or grow it without bound.  Every network wait
# (connect, each reply, both TLS handshakes, each read and write of a
# transfer, the end-of-upload drain) ends after a time limit without
# progress, SKIFFRELAY_TIMEOUT seconds (default 60).  Earlier versions set
# no time-out anywhere, so a server that stopped answering held a run for
# good.  One reply and one listing have size limits.  A limit reached ends
# the command with its failure line.

import sys
import os
import stat
import time
import pickle  # noqa: F401 (part of the program's run-time closure)
import io
import socket
import select
import ftplib

from M2Crypto import ftpslib


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

# The time limit of each network wait, in seconds: the environment
# variable's value when it is a positive number, else the default.  Larger
# values are cut to the maximum, which the socket layer can still express.
LIMIT_VARIABLE = "SKIFFRELAY_TIMEOUT"
DEFAULT_LIMIT = 60.0
MAX_LIMIT = 1000000.0

# Size limits, far above what real servers send: one reply, all its lines
# together (characters), and one listing (bytes of the names and their
# separators as printed).  The listing's limit also bounds the memory of
# the result line, which exists as bytes, text and bytes again.
REPLY_LIMIT = 1 << 20
LISTING_LIMIT = 4 << 20

# Flags of os.open that not every platform has.
_O_BINARY = getattr(os, "O_BINARY", 0)
_O_NONBLOCK = getattr(os, "O_NONBLOCK", 0)
_O_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)


class LimitError(ftplib.Error):
    """A server sent more than a size limit allows."""


def timeLimit(text):
    """Seconds of the time limit that the variable's text asks for.

    A positive number (at most MAX_LIMIT is used); anything else (unset,
    empty, zero, negative, nan, infinity, text) gives DEFAULT_LIMIT.
    """
    try:
        value = float(text)
    except (TypeError, ValueError):
        return DEFAULT_LIMIT
    if not 0.0 < value < float("inf"):  # nan fails both comparisons
        return DEFAULT_LIMIT
    return min(value, MAX_LIMIT)


class _Names(object):
    """A listing's names joined by "|" after a prefix, kept as bytes.

    Bytes take a byte per byte of the listing; the text of many short
    names, each its own object, would take many times that.
    """

    def __init__(self, prefix):
        self.data = bytearray(prefix.encode(_ENCODING, _ERRORS))
        self.start = len(self.data)
        self.count = 0

    def add(self, name):
        if self.count:
            self.data += b"|"
        self.count += 1
        self.data += name.encode(_ENCODING, _ERRORS)
        if len(self.data) - self.start > LISTING_LIMIT:
            raise LimitError("listing over %d bytes" % LISTING_LIMIT)

    def text(self):
        data, self.data = self.data, None
        return data.decode(_ENCODING, _ERRORS)


class _DataConnection(ftpslib.SSL.Connection):
    """A TLS data connection that ftplib's transfer methods can drive.

    ftplib uses data connections as context managers, reads listings
    through makefile('r', encoding=...) and writes with sendall.  Leaving
    the context ends the transfer cleanly: see __exit__.  The connection
    takes its socket's time-out as the limit of each wait (see _FTP_TLS).
    """

    # The control connection, watched while draining (set by _FTP_TLS).
    control = None

    def sendall(self, data):
        # The TLS write reports trouble either by raising or by a short
        # count; treat both as a failed transfer so that a cut-off upload
        # can never look complete.
        view = memoryview(data)
        for start in range(0, len(view), _WRITE_PIECE):
            piece = view[start:start + _WRITE_PIECE]
            if self.write(piece) != len(piece):
                raise OSError("TLS write incomplete")

    def makefile(self, mode="r", buffering=None, encoding=None, errors=None,
                 newline=None):
        raw = socket.SocketIO(self, "rb")
        reader = io.BufferedReader(raw, io.DEFAULT_BUFFER_SIZE)
        if "b" in mode:
            return reader
        return io.TextIOWrapper(reader, encoding or _ENCODING,
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
                self._finish(self._timeout if self._timeout > 0
                             else DEFAULT_LIMIT)
            except Exception:
                pass  # the server's reply on the control connection decides
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
        deadline = time.monotonic() + limit
        while True:
            left = deadline - time.monotonic()
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
    """

    def __init__(self, sock, limit):
        self.sock = sock
        self.limit = limit
        self.deadline = None

    def recv_into(self, buf, nbytes=0):
        left = self.limit
        if self.deadline is not None:
            left = min(left, self.deadline - time.monotonic())
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


def _replyFile(sock, limit):
    """The text file of replies on sock, read through a _ReplyReader."""
    reader = _ReplyReader(sock, limit)
    raw = socket.SocketIO(reader, "rb")
    text = io.TextIOWrapper(io.BufferedReader(raw), _ENCODING, _ERRORS)
    return text, reader


class _FTP_TLS(ftpslib.FTP_TLS):
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
    reach OpenSSL's own reads and writes.
    """

    def __init__(self, limit=DEFAULT_LIMIT):
        ftpslib.FTP_TLS.__init__(self)
        self.timeout = limit
        # ftplib names the encoding of listings after this attribute.
        self.encoding = _ENCODING

    def connect(self, host="", port=0, timeout=-999, source_address=None):
        # ftplib.FTP.connect, with replies read as described at _ERRORS.
        if host != "":
            self.host = host
        if port > 0:
            self.port = port
        if timeout != -999:
            self.timeout = timeout
        if source_address is not None:
            self.source_address = source_address
        self.sock = socket.create_connection(
            (self.host, self.port), self.timeout,
            source_address=self.source_address)
        self.af = self.sock.family
        self.file, self._reader = _replyFile(self.sock, self.timeout)
        self.welcome = self.getresp()
        return self.welcome

    def getmultiline(self):
        # One deadline for the whole reply (see _ReplyReader).
        self._reader.deadline = time.monotonic() + self.timeout
        try:
            return self._readReply()
        finally:
            self._reader.deadline = None

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
        self.sock.sendall((line + "\r\n").encode(_ENCODING, _ERRORS))

    def auth_tls(self):
        # ftpslib's, with the handshake's result checked and replies read
        # as described at _ERRORS.
        self.voidcmd("AUTH TLS")
        conn = ftpslib.SSL.Connection(self.ssl_ctx, self.sock)
        conn.setup_ssl()
        conn.set_connect_state()
        if conn.connect_ssl() != 1:
            raise OSError("TLS handshake on control connection failed")
        self.sock = conn
        self.file, self._reader = _replyFile(conn, self.timeout)

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if not self.prot:
            return conn, size
        try:
            tls = _DataConnection(self.ssl_ctx, conn)
            tls.control = self.sock
            tls.setup_ssl()
            tls.set_connect_state()
            tls.set_session(self.sock.get_session())
            if tls.connect_ssl() != 1:
                raise OSError("TLS handshake on data connection failed")
        except BaseException:
            conn.close()
            raise
        return tls, size

    def storbinary(self, cmd, fp, blocksize=_UPLOAD_BLOCK, callback=None,
                   rest=None):
        return ftpslib.FTP_TLS.storbinary(self, cmd, fp, blocksize, callback,
                                          rest)


def _emit(line):
    """Print one result line; a closed standard output ends nothing."""
    try:
        sys.stdout.flush()
        out = sys.stdout.buffer
        # Two writes rather than one joined copy of a long listing line.
        out.write(line.encode(_ENCODING, _ERRORS))
        out.write(os.linesep.encode("ascii"))
        sys.stdout.flush()
    except BaseException:
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


def _session(host, user, pwd, afterTls=None):
    """The opening every command shares; returns (client, afterTls result).

    Connect to host, switch the control connection to TLS, then call
    afterTls (if given) with the TLS connection, before the login: the
    certificate and the cipher are read there.  Then passive mode, login
    and a protected data channel.  Any failure raises.
    """
    ftp = _FTP_TLS(timeLimit(os.environ.get(LIMIT_VARIABLE)))
    ftp.connect(host)
    ftp.auth_tls()
    seen = None
    if afterTls is not None:
        seen = afterTls(ftp.sock)
    ftp.set_pasv(1)
    ftp.login(user, pwd)
    ftp.prot_p()
    return ftp, seen


class NotRegularFile(Exception):
    """The local file of an upload is a FIFO, a device or a directory."""


def _openUpload(filename):
    """The local file of an upload, open for reading in binary mode.

    Opened without blocking (a FIFO without a writer would block the open)
    and checked on the open descriptor, so that nothing swapped in after a
    check is read: anything but a regular file (a FIFO, /dev/zero, a
    directory) could stall the upload or never end it, and is refused with
    NotRegularFile.
    """
    fd = os.open(filename, os.O_RDONLY | _O_BINARY | _O_NONBLOCK)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise NotRegularFile("not a regular file")
        if _O_NONBLOCK:
            os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def _upload(host, user, pwd, filename):
    """The "send" command; returns its result line."""
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
        ftp, _ = _session(host, user, pwd)
        if local is None:
            local = _openUpload(filename)
        tmp = tempName(final)
        with local:
            ftp.storbinary("STOR %s" % tmp, local)
        time.sleep(0.6)
        ftp.rename(tmp, final)
        ftp.quit()
        return "ok"
    except BaseException:
        return "IOError sending"
    finally:
        if local is not None:
            local.close()


def send(host, user, pwd, filename):
    """Upload filename to host and print the result line."""
    _emit(_upload(host, user, pwd, filename))


def _certificateFields(conn):
    return getContent(conn.get_peer_cert())


def _negotiatedCipher(conn):
    return conn.get_cipher()


def test(host, user, pwd, cert=False):
    """Log in and out; returns the result line (cert: with its fields)."""
    try:
        ftp, fields = _session(host, user, pwd,
                               _certificateFields if cert else None)
        time.sleep(0.05)
        ftp.quit()
        if cert:
            return "ok-%s" % "|".join(fields)
        return "ok"
    except BaseException:
        return "Error opening target"


def _writeMarker(cipher):
    """Write the marker file "LABEL_CIPHER.txt" holding the cipher's name.

    The name is predictable, and the folder may be writable by others: a
    symbolic link planted there is never followed, and a FIFO or device
    never opened for blocking or written to.  A regular file there is
    overwritten.
    """
    cipherName = str(cipher.name())
    label = cipherLabel(cipherName)
    fd = os.open("%s_%s.txt" % (label, cipherName),
                 os.O_WRONLY | os.O_CREAT | os.O_TRUNC | _O_NOFOLLOW |
                 _O_NONBLOCK | _O_BINARY, 0o666)
    with os.fdopen(fd, "wb") as marker:
        if stat.S_ISREG(os.fstat(fd).st_mode):
            marker.write((cipherName + "\r\n").encode(_ENCODING, _ERRORS))


def tchk(host, user, pwd, filename):
    """Cipher check and listing; returns the result line."""
    try:
        ftp, cipher = _session(host, user, pwd, _negotiatedCipher)
        try:
            _writeMarker(cipher)
        except BaseException:
            pass  # no marker file; the listing goes on
        names = _Names("ok-")
        ftp.retrlines("NLST", names.add)
        time.sleep(0.01)
        ftp.quit()
        return names.text()
    except BaseException:
        return "error listing remote dir"


def main():
    if len(sys.argv) < 6:
        sys.exit()
    if sys.argv[1] == "send":
        send(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5])
    elif sys.argv[1] == "test":
        _emit(test(sys.argv[2], sys.argv[3], sys.argv[4],
                   sys.argv[5] == "yes"))
    elif sys.argv[1] == "tchk":
        _emit(tchk(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]))
    sys.exit()


if __name__ == "__main__":
    main()
