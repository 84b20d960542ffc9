"""
skiffrelay.py     send to fi via an external program
"""

import sys
import os
import time
import pickle  # noqa: F401 (part of the program's run-time closure)
import io
import socket
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

# Arguments arrive decoded with the file system encoding and this error
# handler, which gives back the caller's very bytes when encoding again.
# Commands, replies, listings and the result line use the same pair, so
# that every byte of a name, a password or a reply passes unchanged
# (ftplib's own strict UTF-8 would refuse some of them).
_ENCODING = sys.getfilesystemencoding()
_ERRORS = "surrogateescape"

# How long (seconds) the end of a transfer waits for the server to close
# the data connection before closing it anyway; the server's reply decides.
_DRAIN_LIMIT = 60.0


class _DataConnection(ftpslib.SSL.Connection):
    """A TLS data connection that ftplib's transfer methods can drive.

    ftplib uses data connections as context managers, reads listings
    through makefile('r', encoding=...) and writes with sendall.  Leaving
    the context ends the transfer cleanly: see __exit__.
    """

    def sendall(self, data):
        # The TLS write reports trouble either by raising or by a short
        # count; treat both as a failed transfer so that a cut-off upload
        # can never look complete.
        if self.write(data) != len(data):
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
                self.close()
                self.socket.shutdown(socket.SHUT_WR)
                self.socket.settimeout(_DRAIN_LIMIT)
                deadline = time.time() + _DRAIN_LIMIT
                while self.socket.recv(65536) and time.time() < deadline:
                    pass
            except Exception:
                pass  # the server's reply on the control connection decides
        self._free_bio()
        return False


class _FTP_TLS(ftpslib.FTP_TLS):
    """M2Crypto's FTP_TLS fitted to this runtime's ftplib.

    ftplib reads replies from a text file and drives data connections as
    described in _DataConnection; the data connections reuse the control
    connection's TLS session, which servers such as vsftpd demand.
    """

    def __init__(self):
        ftpslib.FTP_TLS.__init__(self)
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
        self.file = self.sock.makefile("r", encoding=_ENCODING,
                                       errors=_ERRORS)
        self.welcome = self.getresp()
        return self.welcome

    def putline(self, line):
        if "\r" in line or "\n" in line:
            raise ValueError("line end inside a command")
        self.sock.sendall((line + "\r\n").encode(_ENCODING, _ERRORS))

    def auth_tls(self):
        ftpslib.FTP_TLS.auth_tls(self)
        self.file = io.TextIOWrapper(self.file, _ENCODING, _ERRORS)

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if not self.prot:
            return conn, size
        try:
            tls = _DataConnection(self.ssl_ctx, conn)
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
        sys.stdout.buffer.write((line + os.linesep).encode(_ENCODING,
                                                           _ERRORS))
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


def send(host, user, pwd, filename):
    try:
        final = finalName(filename)
        ftp = _FTP_TLS()
        ftp.connect(host)
        ftp.auth_tls()
        ftp.set_pasv(1)
        ftp.login(user, pwd)
        ftp.prot_p()
        with open(filename, "rb") as f:
            tmp = tempName(final)
            ftp.storbinary("STOR %s" % tmp, f)
        time.sleep(0.6)
        ftp.rename(tmp, final)
        ftp.quit()
        _emit("ok")
    except BaseException:
        _emit("IOError sending")


def test(host, user, pwd, cert=False):
    try:
        ftp = _FTP_TLS()
        ftp.connect(host)
        ftp.auth_tls()
        if cert:
            fields = getContent(ftp.sock.get_peer_cert())
        ftp.set_pasv(1)
        ftp.login(user, pwd)
        ftp.prot_p()
        time.sleep(0.05)
        ftp.quit()
        if cert:
            return "ok-%s" % "|".join(fields)
        return "ok"
    except BaseException:
        return "Error opening target"


def tchk(host, user, pwd, filename):
    try:
        ftp = _FTP_TLS()
        ftp.connect(host)
        ftp.auth_tls()
        cipher = ftp.sock.get_cipher()
        ftp.set_pasv(1)
        ftp.login(user, pwd)
        ftp.prot_p()
        try:
            cipherName = str(cipher.name())
            label = cipherLabel(cipherName)
            with open("%s_%s.txt" % (label, cipherName), "w",
                      newline="") as marker:
                marker.write(cipherName + "\r\n")
        except BaseException:
            pass
        names = ftp.nlst()
        time.sleep(0.01)
        ftp.quit()
        return "ok-" + "|".join(names)
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
