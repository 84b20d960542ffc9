"""
skiffrelay_options.py     the options of a skiffrelay run

  readOptions    -- the Options one run's environment asks for
  splitHostPort  -- HOST or HOST:PORT of the command line as (host, port)
  parsePins      -- the SHA-256 fingerprints a server certificate may have
  tlsContext     -- the TLS context of a run (with its CA file, if any)
  checkPeer      -- the pin and CA checks of one TLS connection
  hostMatches    -- whether a certificate names a host
  Clock          -- the time left of a run that has a deadline
  Transcript     -- the readable record of one run (SKIFFRELAY_TRACE)
  openRegular    -- a descriptor of a regular file, never of a plant
  OptionError    -- a variable set to a value it cannot have
  PeerRejected   -- a server certificate that fails a check
  DeadlineError  -- the run's deadline has passed
  NotRegularFile -- a FIFO, device or directory where a file belongs
"""

# Every option is an environment variable; the command line stays the five
# arguments.  A variable that is set, even to the empty string, but holds
# no valid value fails the run closed: readOptions raises OptionError, and
# the command prints its failure line before it connects anywhere.  Only
# SKIFFRELAY_TIMEOUT keeps its older, forgiving rule (anything invalid
# means the default).  Nothing here is imported that the main script has
# not loaded already: this module runs on every start.

import os
import socket
import stat
import time

from M2Crypto import SSL, m2

import skiffrelay_compat as _compat

__all__ = ["OptionError", "PeerRejected", "DeadlineError", "Options",
           "readOptions", "timeLimit", "positiveSeconds", "splitHostPort",
           "parsePins", "tlsContext", "checkPeer", "hostMatches",
           "subjectAltNames", "colonHex", "Clock", "Transcript",
           "NotRegularFile", "openRegular"]

TIMEOUT_VARIABLE = "SKIFFRELAY_TIMEOUT"
DEADLINE_VARIABLE = "SKIFFRELAY_DEADLINE"
PIN_VARIABLE = "SKIFFRELAY_PIN"
CAFILE_VARIABLE = "SKIFFRELAY_CAFILE"
SIZECHECK_VARIABLE = "SKIFFRELAY_SIZECHECK"
TRACE_VARIABLE = "SKIFFRELAY_TRACE"

# The time limit of each network wait, in seconds, and the largest limit
# or deadline used (the socket layer can still express it).
DEFAULT_LIMIT = 60.0
MAX_LIMIT = 1000000.0

FTP_PORT = 21

# How deep a chain the CA check follows (server, intermediates, root).
_VERIFY_DEPTH = 9

# OpenSSL's SSL_OP_NO_RENEGOTIATION (1.1.0h and later), which M2Crypto's
# m2 does not name.  A renegotiation would bring a certificate that the
# checks after the handshake never saw.
_NO_RENEGOTIATION = getattr(m2, "SSL_OP_NO_RENEGOTIATION", 0x40000000)

# Flags of os.open that not every platform has.
_O_BINARY = getattr(os, "O_BINARY", 0)
_O_NONBLOCK = getattr(os, "O_NONBLOCK", 0)
_O_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)

_DIGITS = "0123456789"
_HEX = "0123456789abcdefABCDEF"


class OptionError(Exception):
    """An environment variable set to a value it cannot have."""

    def __init__(self, variable, reason):
        Exception.__init__(self, "%s: %s" % (variable, reason))


class PeerRejected(Exception):
    """A server certificate that fails the pin or the CA check."""


class DeadlineError(socket.timeout):
    """The run's deadline passed while it was waiting."""


class NotRegularFile(Exception):
    """A FIFO, a device or a directory where a regular file belongs."""


def openRegular(path, flags, mode=0o666):
    """os.open(path, flags, mode) in binary mode, never blocking and, for
    writing, never through a symbolic link: files at a predictable or a
    caller's path may be plants.  The descriptor, blocking again, only when
    it is a regular file, checked on the descriptor itself so that nothing
    swapped in after a check is used; else NotRegularFile (a FIFO without
    a peer or a directory already fails the open with OSError)."""
    if flags & (os.O_WRONLY | os.O_RDWR):
        flags |= _O_NOFOLLOW
    fd = os.open(path, flags | _O_BINARY | _O_NONBLOCK, mode)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise NotRegularFile("not a regular file: %s" % path)
        if _O_NONBLOCK:
            _compat.setBlocking(fd, True)
        return fd
    except BaseException:
        os.close(fd)
        raise


def _onlyOf(text, allowed):
    """True when text is not empty and every character is in allowed."""
    return bool(text) and all(c in allowed for c in text)


def positiveSeconds(text):
    """Seconds that text asks for, if it is a positive number, else None.

    A number as float() reads it, above zero and finite (nan fails both
    comparisons); larger values are cut to MAX_LIMIT.
    """
    try:
        value = _compat.number(text)
    except (TypeError, ValueError):
        return None
    if not 0.0 < value < float("inf"):
        return None
    return min(value, MAX_LIMIT)


def timeLimit(text):
    """The per-wait limit that text asks for: invalid or unset is ignored
    and DEFAULT_LIMIT used."""
    seconds = positiveSeconds(text)
    return DEFAULT_LIMIT if seconds is None else seconds


def splitHostPort(text):
    """(host, port) of the command line's HOST argument.

    "name", "name:2121", "192.0.2.7:2121", "[2001:db8::7]:2121", "[::1]"
    (port 21).  A host with more than one colon and no brackets is an IPv6
    address on port 21.  A port must be all digits, 1 to 65535.
    """
    if text.startswith("["):
        host, bracket, rest = text[1:].partition("]")
        if not bracket or (rest and not rest.startswith(":")):
            raise OptionError("HOST", "no ']' just before the port")
        port = rest[1:] if rest else None
    elif text.count(":") == 1:
        host, port = text.split(":")
    else:
        host, port = text, None
    if not host:
        raise OptionError("HOST", "empty host name")
    if port is None:
        return host, FTP_PORT
    if not _onlyOf(port, _DIGITS) or not 0 < int(port) < 65536:
        raise OptionError("HOST", "port not a number from 1 to 65535")
    return host, int(port)


def parsePins(text):
    """Upper-case hex SHA-256 fingerprints from a SKIFFRELAY_PIN value.

    Entries are separated by ",", may carry whitespace around them, any
    case and ":" between digits; each must be 64 hex digits.
    """
    pins = []
    for number, entry in enumerate(_compat.text(text).split(","), 1):
        digits = entry.strip().replace(":", "")
        if len(digits) != 64 or not _onlyOf(digits, _HEX):
            raise OptionError(PIN_VARIABLE, "entry %d is not a SHA-256 "
                              "fingerprint (64 hex digits)" % number)
        pins.append(digits.upper())
    return pins


class Options(object):
    """What the environment asks of one run (see readOptions)."""

    def __init__(self):
        self.limit = DEFAULT_LIMIT   # seconds of each network wait
        self.deadline = None         # seconds of the whole command
        self.pins = None             # fingerprints the server may have
        self.cafile = None           # PEM file of trusted CA certificates
        self.sizeCheck = True        # SIZE of an upload before its rename
        self.trace = None            # path of the transcript

    def describe(self):
        """The options as one line of the transcript."""
        return ("options: time limit %g s, deadline %s, pins %s, CA file "
                "%s, size check %s" % (
                    self.limit, "none" if self.deadline is None
                    else "%g s" % self.deadline,
                    "none" if self.pins is None else len(self.pins),
                    "none" if self.cafile is None else self.cafile,
                    "on" if self.sizeCheck else "off"))


def readOptions(environ):
    """The Options environ asks for; OptionError for an invalid one."""
    options = Options()
    options.limit = timeLimit(environ.get(TIMEOUT_VARIABLE))
    text = environ.get(DEADLINE_VARIABLE)
    if text is not None:
        options.deadline = positiveSeconds(text)
        if options.deadline is None:
            raise OptionError(DEADLINE_VARIABLE,
                              "not a positive number of seconds")
    text = environ.get(PIN_VARIABLE)
    if text is not None:
        options.pins = parsePins(text)
    for name, attribute in ((CAFILE_VARIABLE, "cafile"),
                            (TRACE_VARIABLE, "trace")):
        text = environ.get(name)
        if text is not None:
            if not text:
                raise OptionError(name, "empty path")
            setattr(options, attribute, text)
    text = environ.get(SIZECHECK_VARIABLE)
    if text is not None:
        if text not in ("on", "off"):
            raise OptionError(SIZECHECK_VARIABLE, "neither 'on' nor 'off'")
        options.sizeCheck = text == "on"
    return options


def tlsContext(options):
    """The TLS context of a run: the library's default client context,
    refusing renegotiation; with a CA file, one that verifies the server's
    chain against it.

    The file is read now, before any connection: OptionError when it is
    missing, no regular file or holds no certificate.  (OpenSSL would open
    a FIFO and wait for a writer, so the type is checked first.)
    """
    context = SSL.Context()
    context.set_options(_NO_RENEGOTIATION)
    if options.cafile is None:
        return context
    try:
        loaded = (stat.S_ISREG(os.stat(options.cafile).st_mode) and
                  context.load_verify_locations(cafile=options.cafile) == 1)
    except (OSError, TypeError, ValueError):
        loaded = False
    if not loaded:
        raise OptionError(CAFILE_VARIABLE, "no CA certificates readable "
                          "from %s" % options.cafile)
    context.set_verify(SSL.verify_peer | SSL.verify_fail_if_no_peer_cert,
                       _VERIFY_DEPTH)
    return context


def colonHex(digits):
    """"AB:CD:..." of a string of hex digits."""
    return ":".join(digits[i:i + 2] for i in range(0, len(digits), 2))


def checkPeer(conn, options, host):
    """Checks the server certificate of one TLS connection: it must have a
    pinned fingerprint, and with a CA file a verified chain and a name for
    host.  Returns the decision as text; raises PeerRejected."""
    if options.pins is None and options.cafile is None:
        return "certificate not checked (no pin, no CA file)"
    cert = conn.get_peer_cert()
    if cert is None:
        raise PeerRejected("the server sent no certificate")
    decision = []
    if options.pins is not None:
        fingerprint = cert.get_fingerprint("sha256")
        if fingerprint not in options.pins:
            raise PeerRejected("certificate SHA-256 %s is not pinned" %
                               colonHex(fingerprint))
        decision.append("pinned SHA-256 matches")
    if options.cafile is not None:
        result = conn.get_verify_result()
        if result != m2.X509_V_OK:
            raise PeerRejected("chain not verified: %s" %
                               m2.x509_get_verify_error(result))
        if not hostMatches(cert.as_der(), host):
            raise PeerRejected("certificate does not name %s" % host)
        decision.append("chain verified, certificate names %s" % host)
    return "; ".join(decision)


# DER, as far as the host check reads it: each item is a tag byte, a length
# (one byte below 0x80, else 0x80 + the count of big-endian length bytes
# that follow) and that many content bytes.  A certificate is
# SEQUENCE { tbsCertificate SEQUENCE { [0] version, serial, signature,
# issuer, validity, subject, key, [1], [2], [3] { SEQUENCE OF extension } },
# ... }; an extension is SEQUENCE { OID, [BOOLEAN critical,] OCTET STRING
# holding the value }.  subjectAltName's value is SEQUENCE OF GeneralName,
# of which dNSName is [2] (IA5String) and iPAddress [7] (4 or 16 bytes).
_SEQUENCE = 0x30
_OID = 0x06
_OCTETS = 0x04
_EXTENSIONS = 0xA3
_DNS_NAME = 0x82
_IP_ADDRESS = 0x87
_SUBJECT_ALT_NAME = bytearray(b"\x55\x1d\x11")  # 2.5.29.17


def _derItems(data, start, end):
    """[(tag, content start, content end)] of the DER items in
    data[start:end] (a bytearray); ValueError if they do not fit."""
    items = []
    while start < end:
        if end - start < 2 or data[start] & 0x1F == 0x1F:
            raise ValueError("DER item cut short or with a long tag")
        tag, length, start = data[start], data[start + 1], start + 2
        if length & 0x80:
            count = length & 0x7F
            if not 0 < count <= 4 or start + count > end:
                raise ValueError("DER length out of range")
            length = 0
            for byte in data[start:start + count]:
                length = length * 256 + byte
            start += count
        if start + length > end:
            raise ValueError("DER content beyond its container")
        items.append((tag, start, start + length))
        start += length
    return items


def _inside(data, item, tag):
    """The items inside item, which must carry tag."""
    if item[0] != tag:
        raise ValueError("DER tag %#x where %#x belongs" % (item[0], tag))
    return _derItems(data, item[1], item[2])


def subjectAltNames(der):
    """(DNS names, IP addresses as packed bytes) of a DER certificate's
    subjectAltName extension; ValueError for a malformed certificate."""
    data = bytearray(der)
    certificate = _inside(data, _derItems(data, 0, len(data))[0], _SEQUENCE)
    tbs = _inside(data, certificate[0], _SEQUENCE)
    names, addresses = [], []
    for item in tbs:
        if item[0] != _EXTENSIONS:
            continue
        for extension in _inside(data, _inside(data, item, _EXTENSIONS)[0],
                                 _SEQUENCE):
            fields = _inside(data, extension, _SEQUENCE)
            oid, value = fields[0], fields[-1]
            if (oid[0] != _OID or data[oid[1]:oid[2]] != _SUBJECT_ALT_NAME
                    or value[0] != _OCTETS):
                continue
            for tag, start, end in _inside(
                    data, _derItems(data, value[1], value[2])[0], _SEQUENCE):
                if tag == _DNS_NAME:
                    names.append(bytes(data[start:end]))
                elif tag == _IP_ADDRESS:
                    addresses.append(bytes(data[start:end]))
    return names, addresses


# The characters of the IPv4 forms that inet_aton reads (and the resolver
# with it): "127.0.0.61", "127.61", "2130706493", "0x7f00003d", "0177.61".
_IPV4_NUMBER = _HEX + "xX."


def _packedAddress(host):
    """host as a packed IPv4 or IPv6 address, or None for a name.  Any
    form the resolver reads as an IPv4 number is an IPv4 address, not
    only the dotted quad."""
    if _onlyOf(host, _IPV4_NUMBER):
        try:
            return _compat.inetAton(host)
        except (_compat.OSErrors, ValueError):
            pass
    try:
        return _compat.inetPton(socket.AF_INET6, host.split("%")[0])
    except (_compat.OSErrors, ValueError):
        return None


def _nameMatches(pattern, name):
    """Whether a certificate's DNS name (bytes) names host name (text).

    Without case; "*" only as the whole leftmost label, standing for
    exactly one label, and never for the last two (no "*.com")."""
    try:
        name = name.encode("ascii").lower()
    except UnicodeError:
        return False  # a certificate's names are ASCII (IA5String)
    pattern = pattern.lower()
    if name.endswith(b"."):
        name = name[:-1]
    if not pattern.startswith(b"*."):
        return b"*" not in pattern and pattern == name
    rest = pattern[2:]
    label, dot, tail = name.partition(b".")
    return (b"*" not in rest and b"." in rest and bool(label) and
            tail == rest)


def hostMatches(der, host):
    """Whether the DER certificate names host: an IP address among its IP
    subject-alternative names, a name among its DNS names (wildcards by
    _nameMatches).  The common name is never used."""
    try:
        names, addresses = subjectAltNames(der)
    except (ValueError, IndexError):
        return False
    packed = _packedAddress(host)
    if packed is not None:
        return packed in addresses
    return any(_nameMatches(pattern, host) for pattern in names)


class Clock(object):
    """What is left of a run's deadline, if it has one.

    Each wait takes wait(its own limit): the limit itself without a
    deadline, else no more than the time left; once nothing is left,
    DeadlineError.  The deadline runs from start() (the first connect).
    """

    def __init__(self, seconds=None):
        self.seconds = seconds
        self.expires = None

    def start(self):
        if self.seconds is not None and self.expires is None:
            self.expires = _compat.monotonic() + self.seconds

    def running(self):
        return self.expires is not None

    def passed(self):
        return self.expires is not None and _compat.monotonic() >= self.expires

    def wait(self, limit):
        if self.expires is None:
            return limit
        left = self.expires - _compat.monotonic()
        if left <= 0:
            raise DeadlineError("the deadline of %g s has passed" %
                                self.seconds)
        return min(limit, left)

    def sleep(self, seconds):
        time.sleep(self.wait(seconds))


# One noted line of the transcript is cut to this many characters (a reply
# may be a megabyte).
_NOTE_LIMIT = 2000

# What stands for the password in the transcript.
_MASK = "****"


def _escaped(text):
    """text with its control characters but tab and line feed as \\xNN:
    from a server they could rewrite a terminal that shows the file."""
    return "".join(c if " " <= c != "\x7f" or c in "\t\n"
                   else "\\x%02x" % ord(c) for c in text)


class Transcript(object):
    """The readable record of one run, appended to the file at path.

    Lines are collected while the run goes on and written with one write
    at its end, so that runs sharing one file never interleave; a record
    the file cannot take whole is taken back.  The password (secret) never
    appears: PASS is noted as "PASS ****", and the texts that came from
    the server or from an exception have each occurrence of it replaced
    by "****".  Our own words (the header, command and field names, the
    caller's arguments) are never masked, so a mask tells nothing about
    the password.  Control characters are escaped first: an escape never
    rebuilds the password.  The file is created with mode 0600; an
    existing one is used only when it is a regular file of the run's user
    without group or other permissions: a symbolic link is not followed,
    a FIFO not waited on, another user's file not written to, and nothing
    that goes wrong with the transcript changes anything else of the run.
    Without a path it records nothing (active is False).
    """

    def __init__(self, path, secret, encoding, errors):
        self.path = path
        self.active = bool(path)
        self.secret = _escaped(secret) if secret else None
        self.encoding = encoding
        self.errors = errors
        self.started = _compat.monotonic()
        self.lines = []
        if self.active:
            self.lines.append("== skiffrelay run %s, process %d" % (
                time.strftime("%Y-%m-%d %H:%M:%S %z"), os.getpid()))

    def note(self, *pieces):
        """Record one line (several for text with line ends) made of
        pieces: the first, third, ... are our own words, the second,
        fourth, ... texts that came from the server or an exception.  A
        piece (text, start) stands for text[start:], never copied whole."""
        if not self.active:
            return
        try:
            self.lines.append(self._format(pieces))
        except Exception:
            pass  # a line that cannot be noted is left out

    def _format(self, pieces):
        # Each piece is cut before it is escaped (a listing may be 4 MiB),
        # past the line's limit by the password's length: a password that
        # starts within the limit is still masked whole.
        room = _NOTE_LIMIT + len(self.secret or "")
        parts = []
        total = 0
        for number, piece in enumerate(pieces):
            start = 0
            if isinstance(piece, tuple):
                piece, start = piece
            total += len(piece) - start
            piece = _escaped(_compat.native(piece[start:start + room],
                                            self.encoding))
            if number % 2 and self.secret:
                piece = piece.replace(self.secret, _MASK)
            parts.append(piece)
        text = "".join(parts)
        if len(text) > _NOTE_LIMIT:
            text = "%s... (%d characters)" % (text[:_NOTE_LIMIT], total)
        stamp = "%9.4f " % (_compat.monotonic() - self.started)
        return stamp + text.replace("\n", "\n" + " " * len(stamp))

    def sent(self, line):
        if line[:5].upper() == "PASS ":
            line = "PASS " + _MASK
        self.note("> " + line)

    def received(self, reply):
        self.note("< ", reply)

    def tls(self, conn):
        """The TLS version, cipher and server certificate of conn."""
        if not self.active:
            return
        try:
            self.note("TLS %s, cipher %s" % (conn.get_version(),
                                             str(conn.get_cipher().name())))
            cert = conn.get_peer_cert()
            self.note("certificate subject ", str(cert.get_subject()))
            self.note("certificate issuer ", str(cert.get_issuer()))
            self.note("certificate valid from %s to %s" % (
                cert.get_not_before(), cert.get_not_after()))
            self.note("certificate SHA-256 %s" %
                      colonHex(cert.get_fingerprint("sha256")))
            self.note("certificate MD5 %s" %
                      colonHex(cert.get_fingerprint("md5")))
        except Exception as e:
            self.note("certificate unavailable: ", str(e))

    def ended(self, line, error=None):
        """What ended the command: the printed line, and for a failure the
        exception."""
        if error is not None:
            self.note("failed with %s: " % type(error).__name__, str(error))
        # After "ok-", the fields or names the server sent.
        own = line[:3] if line[:3] == "ok-" else line
        self.note("printed '" + own, (line, len(own)), "'")
        self.note("total %.4f s" % (_compat.monotonic() - self.started))

    def close(self):
        """Append the record to the file; every failure is ignored."""
        if not self.active:
            return
        self.active = False
        try:
            data = _compat.encode("\n".join(self.lines) + "\n",
                                  self.encoding, self.errors)
            _append(self.path, data)
        except Exception:
            pass  # the transcript is a diagnosis, never part of the result


class PlantedFile(Exception):
    """A file of another user, or one others may read, at a path where
    the run would write its own private file."""


def _append(path, data):
    """Append data to path, whole or not at all, if that is a regular
    file of the run's user that no one else may read or write (created
    0600); else PlantedFile, and the file is left alone."""
    fd = openRegular(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
    try:
        if hasattr(os, "geteuid"):
            status = os.fstat(fd)
            if (status.st_uid != os.geteuid() or
                    stat.S_IMODE(status.st_mode) & 0o077):
                raise PlantedFile("not a private file of this user: %s" %
                                  path)
        # One write of the whole record; the part of a record that a full
        # disk or a file-size limit cut short is taken back.
        try:
            written = os.write(fd, data)
        except OSError:
            written = 0  # nothing was written
        if written != len(data):
            if written:
                os.ftruncate(fd, os.lseek(fd, 0, os.SEEK_CUR) - written)
            raise OSError("transcript record cut short")
    finally:
        os.close(fd)
