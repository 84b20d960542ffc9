"""
skiffrelay_compat.py     what differs between the runtimes skiffrelay runs on

  monotonic    -- seconds of a clock that never goes back
  freeze       -- moves every object out of the collector's reach (a no-op
                  where the runtime cannot)
  setBlocking  -- os.set_blocking
  SocketIO     -- a binary raw file over an object's recv_into
  textFile     -- io.TextIOWrapper; on 2.x the binary file itself
  encode       -- text of a name, command or line as the bytes it stands for
  decode       -- bytes as such text
  native       -- the runtime's own str of a text (2.x: of a unicode object)
  text         -- an option's value as 3.x's text, to be parsed
  number       -- float() of an option's value as 3.x reads it
  hostName     -- a host name as 3.x's resolver takes it (IDNA)
  stdoutBytes  -- the binary stream beneath standard output
  OSErrors     -- what a failing system or socket call raises
  inetPton, inetAton
               -- socket.inet_pton and socket.inet_aton, read as the C
                  library reads them where the runtime lacks one
  FTPBase      -- M2Crypto's FTP client, with 2.x's ftplib brought to what
                  3.x's does

Under 3.x, text is decoded with surrogateescape, so that every byte of an
argument, a reply or a listing comes back unchanged when encoded again;
under 2.x, a runtime of byte strings, names are bytes throughout and pass
untouched.  This module runs on every start: under 3.x it only names what
the runtime offers and imports nothing that is not loaded already.
"""

import sys
import gc
import io
import os
import socket
import time

from M2Crypto import ftpslib

PY2 = sys.version_info[0] < 3


def _nothing():
    pass


freeze = getattr(gc, "freeze", _nothing)

# Numeric addresses as the C library's inet_pton and inet_aton read them,
# for a runtime whose socket module lacks one (Windows' 2.7 has no
# inet_pton).  Text in, packed bytes out; socket.error (OSError on 3.x)
# for a text that is no such address, as the native functions raise.
_DECIMAL = "0123456789"
_OCTAL = "01234567"
_HEX = "0123456789abcdefABCDEF"
_BLANKS = " \t\n\v\f\r"


def _digitsOf(part, digits):
    """Whether part is one or more of the (ASCII) characters digits."""
    return bool(part) and not part.strip(digits)


def _quadOf(text):
    """The four byte values of dotted-quad text, or None: four decimal
    parts of 0 to 255, none with a leading zero."""
    parts = text.split(".")
    if len(parts) != 4:
        return None
    for part in parts:
        if (not _digitsOf(part, _DECIMAL) or len(part) > 3 or
                (part[0] == "0" and len(part) > 1) or int(part) > 255):
            return None
    return [int(part) for part in parts]


def _groupsOf(text):
    """The sixteen byte values of IPv6 text, or None: eight groups of one
    to four hex digits joined by ":", the last two possibly written as a
    dotted quad, and one run of at least one zero group possibly left out
    as "::"."""
    if text.count("::") > 1:
        return None
    if "::" in text:
        head, tail = text.split("::")
        parts = (head.split(":") if head else []) + [None] + (
            tail.split(":") if tail else [])
    else:
        parts = text.split(":")
    values = []
    for i, part in enumerate(parts):
        if part is None:
            continue
        if i == len(parts) - 1 and "." in part:
            quad = _quadOf(part)
            if quad is None:
                return None
            values += quad
        elif _digitsOf(part, _HEX) and len(part) <= 4:
            values += [int(part, 16) >> 8, int(part, 16) & 0xFF]
        else:
            return None
    if None in parts:
        if len(values) > 14:
            return None  # "::" stands for one group at least
        at = 2 * parts.index(None)
        values[at:at] = [0] * (16 - len(values))
    return values if len(values) == 16 else None


def _inetPton(family, text):
    if family == socket.AF_INET:
        values = _quadOf(text)
    elif family == getattr(socket, "AF_INET6", None):
        values = _groupsOf(text)
    else:
        raise socket.error("address family not supported")
    if values is None:
        raise socket.error("illegal IP address string passed to inet_pton")
    return bytes(bytearray(values))


def _numberOf(part):
    """A C number's value (decimal; octal after "0"; hex after "0x"), or
    None."""
    if part[:2] in ("0x", "0X"):
        return int(part[2:], 16) if _digitsOf(part[2:], _HEX) else None
    if part[:1] == "0":
        return int(part, 8) if _digitsOf(part, _OCTAL) else None
    return int(part) if _digitsOf(part, _DECIMAL) else None


def _inetAton(text):
    # One to four numbers joined by "."; the last fills the bytes left.
    # What follows a blank after the last one is not looked at.
    for at, char in enumerate(text):
        if char in _BLANKS:
            text = text[:at]
            break
    values = [_numberOf(part) for part in text.split(".")]
    if len(values) > 4 or None in values or max(values[:-1] + [0]) > 255 \
            or values[-1] >= 1 << 8 * (5 - len(values)):
        raise socket.error("illegal IP address string passed to inet_aton")
    number = values[-1]
    for i, value in enumerate(values[:-1]):
        number |= value << 8 * (3 - i)
    return bytes(bytearray([number >> shift & 0xFF
                            for shift in (24, 16, 8, 0)]))


inetPton = getattr(socket, "inet_pton", None) or _inetPton
inetAton = getattr(socket, "inet_aton", None) or _inetAton

if not PY2:
    monotonic = time.monotonic
    setBlocking = os.set_blocking
    SocketIO = socket.SocketIO
    textFile = io.TextIOWrapper
    encode = str.encode
    OSErrors = OSError
    FTPBase = ftpslib.FTP_TLS

    def decode(data, encoding, errors):
        return data.decode(encoding, errors)

    def native(text, encoding):
        return text

    def text(value):
        return value

    number = float

    def hostName(host):
        return host

    def stdoutBytes():
        return sys.stdout.buffer

else:
    import ftplib

    if sys.platform == "win32":
        # The performance counter, from the first call on.
        monotonic = time.clock
    else:
        # The elapsed time of times() is the kernel's tick count, which
        # never goes back but moves in 10 ms steps; the wall clock is fine
        # but may be set.  So the wall clock's time since an anchor counts,
        # while it stays near the ticks; when it strays (it was set), the
        # anchor moves to now.  Never less than an earlier result.
        _clock = [os.times()[4], time.time(), 0.0]  # ticks, wall, last

        def monotonic():
            ticks, wall = os.times()[4], time.time()
            now = _clock[0] + wall - _clock[1]
            if abs(now - ticks) > 0.05:
                _clock[0], _clock[1], now = ticks, wall, ticks
            now = _clock[2] = max(now, _clock[2])
            return now

    def setBlocking(fd, blocking):
        import fcntl
        flags = fcntl.fcntl(fd, fcntl.F_GETFL)
        if blocking:
            flags &= ~os.O_NONBLOCK
        else:
            flags |= os.O_NONBLOCK
        fcntl.fcntl(fd, fcntl.F_SETFL, flags)

    class SocketIO(io.RawIOBase):
        """Reads of sock.recv_into as a raw file (sock stays open)."""

        def __init__(self, sock, mode="rb"):
            io.RawIOBase.__init__(self)
            self._sock = sock

        def readable(self):
            return True

        def readinto(self, buf):
            return self._sock.recv_into(buf)

        def fileno(self):
            return self._sock.fileno()

    def textFile(buffer, *args):
        return buffer

    def encode(text, encoding, errors):
        # M2Crypto gives some texts as unicode objects (ASCII in practice).
        if isinstance(text, bytes):
            return text
        return text.encode(encoding, "replace")

    def decode(data, encoding, errors):
        return bytes(data)

    def native(text, encoding):
        return encode(text, encoding, None)

    # An option's value is parsed as the text 3.x would see: with digits
    # and spaces of any script (undecodable bytes match nothing), and with
    # "_" between digits in a number.
    def text(value):
        if isinstance(value, bytes):
            return value.decode("utf-8", "replace")
        return value

    def number(value):
        value = text(value)
        if "_" in value:
            import re
            value = re.sub(r"(?<=\d)_(?=\d)", "", value, flags=re.UNICODE)
            if "_" in value:
                raise ValueError("'_' not between digits")
        return float(value)

    def hostName(host):
        # Given as text, a name is resolved in its IDNA form.
        try:
            return host.decode("utf-8")
        except UnicodeError:
            return host

    def stdoutBytes():
        if sys.platform == "win32":
            # Binary mode, so that the line end is written as given.
            import msvcrt
            msvcrt.setmode(sys.stdout.fileno(), os.O_BINARY)
        return sys.stdout

    OSErrors = (OSError, socket.error)

    class FTPBase(ftpslib.FTP_TLS):
        """2.x's ftplib with what 3.x's does differently: data connections
        as context managers, which end every transfer; the address of a
        passive data connection taken from the control connection."""

        source_address = None  # where connections are made from: anywhere

        def makepasv(self):
            # The address in a PASV reply may point anywhere; it is not used.
            if self.af == socket.AF_INET:
                port = ftplib.parse227(self.sendcmd("PASV"))[1]
                return self.sock.getpeername()[0], port
            return ftplib.parse229(self.sendcmd("EPSV"),
                                   self.sock.getpeername())

        def storbinary(self, cmd, fp, blocksize=8192, callback=None,
                       rest=None):
            self.voidcmd("TYPE I")
            with self.transfercmd(cmd, rest) as conn:
                while True:
                    buf = fp.read(blocksize)
                    if not buf:
                        break
                    conn.sendall(buf)
                    if callback:
                        callback(buf)
            return self.voidresp()

        def retrlines(self, cmd, callback=None):
            if callback is None:
                callback = ftplib.print_line
            self.sendcmd("TYPE A")
            with self.transfercmd(cmd) as conn:
                fp = conn.makefile("rb")
                try:
                    while True:
                        line = fp.readline(self.maxline + 1)
                        if len(line) > self.maxline:
                            raise ftplib.Error("got more than %d bytes" %
                                               self.maxline)
                        if not line:
                            break
                        if line[-2:] == ftplib.CRLF:
                            line = line[:-2]
                        elif line[-1:] == "\n":
                            line = line[:-1]
                        callback(line)
                finally:
                    fp.close()
            return self.voidresp()
