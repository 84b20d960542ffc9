"""Run pyftpdlib's FTP-over-TLS server in the foreground until SIGTERM.

Usage: pyftpd_serve.py ADDRESS PORT ROOT USER PASSWORD CERTFILE KEYFILE LOGFILE
                       [MODE]

Explicit TLS is required on the control and on every data connection, the
server answers PASV, and the one user may read, write and rename in ROOT.
The user name and password arrive on the command line because this is a
throw-away test server; nothing is logged at debug level, so the password
never reaches LOGFILE.  The verb of every command received is logged
("command USER"), its argument never.  ADDRESS may be an IPv6 address.

MODE "normal" (the default) is a well-behaved server; "tls12" refuses
TLS 1.3 so that a TLS 1.2 cipher suite is negotiated; "cut" drops the
control and data connections abruptly once an upload has passed 1 MiB, as
a crashing server would; "throttled" reads and sends data at THROTTLE
bytes a second: a data peer that always makes a little progress.
"""

import logging
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from OpenSSL import SSL
from pyftpdlib.handlers import (ThrottledDTPHandler, TLS_DTPHandler,
                                TLS_FTPHandler)
from pyftpdlib.servers import FTPServer

CUT_AFTER = 1 << 20
THROTTLE = 16 * 1024
MODES = ("normal", "tls12", "cut", "throttled")


class LoggingHandler(TLS_FTPHandler):
    """Logs the verb of each command (never its argument: PASS)."""

    def pre_process_command(self, line, cmd, arg):
        self.log("command %s" % cmd)
        TLS_FTPHandler.pre_process_command(self, line, cmd, arg)


class ThrottledTLSDTPHandler(TLS_DTPHandler, ThrottledDTPHandler):
    """TLS data channel at THROTTLE bytes a second each way."""

    read_limit = THROTTLE
    write_limit = THROTTLE


class CuttingDTPHandler(TLS_DTPHandler):
    """Data channel that drops everything in the middle of an upload."""

    def handle_read_event(self):
        TLS_DTPHandler.handle_read_event(self)
        if self.tot_bytes_received > CUT_AFTER and self.cmd_channel:
            self.cmd_channel.close()


def main(argv):
    if len(argv) not in (9, 10):
        sys.stderr.write(__doc__)
        return 2
    address, port, root, user, password, certfile, keyfile, logfile = \
        argv[1:9]
    mode = argv[9] if len(argv) == 10 else "normal"
    if mode not in MODES:
        sys.stderr.write("unknown mode %r\n" % mode)
        return 2
    logging.basicConfig(filename=logfile, level=logging.INFO,
                        format="%(asctime)s %(message)s")

    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")

    handler = LoggingHandler
    handler.certfile = certfile
    handler.keyfile = keyfile
    handler.tls_control_required = True
    handler.tls_data_required = True
    handler.authorizer = authorizer
    handler.permit_foreign_addresses = False
    handler.banner = "skiff test server ready."
    if mode == "tls12":
        handler.ssl_options = handler.ssl_options | SSL.OP_NO_TLSv1_3
    elif mode == "cut":
        handler.dtp_handler = CuttingDTPHandler
    elif mode == "throttled":
        handler.dtp_handler = ThrottledTLSDTPHandler

    server = FTPServer((address, int(port)), handler)

    def stop(signum, frame):
        server.close_all()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    # The parent waits for this line before it uses the server.
    sys.stdout.write("listening %s:%s\n" % (address, port))
    sys.stdout.flush()
    server.serve_forever(handle_exit=False)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
