"""An FTP-over-explicit-TLS server on loopback that renegotiates TLS 1.2
with another certificate as soon as the client sends USER, the way a
server would swap in a certificate that the client's checks never saw.

pyOpenSSL (Debian python3-openssl): the standard ssl module cannot
renegotiate.  One session at a time, on its own thread; it records the
command verbs received (``commands``) and whether a renegotiation
completed (``renegotiated``).  Every wait is bounded.
"""

import socket
import struct
import threading

from OpenSSL import SSL

SOCKET_TIMEOUT = 15.0


def _context(certfile, keyfile):
    context = SSL.Context(SSL.TLS_SERVER_METHOD)
    # TLS 1.3 has no renegotiation.
    context.set_max_proto_version(SSL.TLS1_2_VERSION)
    context.use_certificate_file(certfile)
    context.use_privatekey_file(keyfile)
    return context


class RenegotiatingServer(object):
    def __init__(self, address, first, second):
        """first, second: (certfile, keyfile) before and after USER."""
        self.first = _context(*first)
        self.second = _context(*second)
        self.commands = []
        self.renegotiated = False
        self.sock = socket.socket()
        self.sock.bind((address, 0))
        self.port = self.sock.getsockname()[1]
        self.sock.listen(4)
        self.sock.settimeout(SOCKET_TIMEOUT)
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        # pyOpenSSL needs a blocking socket; the kernel's time-outs bound
        # its waits.
        conn.settimeout(None)
        limit = struct.pack("ll", int(SOCKET_TIMEOUT), 0)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, limit)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, limit)
        try:
            self._session(conn)
        except (OSError, SSL.Error):
            pass  # the client refused or went away
        finally:
            conn.close()

    def _session(self, conn):
        conn.sendall(b"220 renegotiating server ready.\r\n")
        conn.recv(4096)  # AUTH TLS
        conn.sendall(b"234 AUTH TLS accepted.\r\n")
        tls = SSL.Connection(self.first, conn)
        tls.set_accept_state()
        tls.do_handshake()
        buffer = b""
        while True:
            while b"\n" not in buffer:
                chunk = tls.recv(4096)
                if not chunk:
                    return
                buffer += chunk
            line, buffer = buffer.split(b"\n", 1)
            verb = line.split(b" ")[0].strip().upper().decode("ascii")
            self.commands.append(verb)
            if verb == "USER":
                tls.set_context(self.second)
                tls.renegotiate()
                tls.do_handshake()
                tls.sendall(b"331 Password required.\r\n")
            elif verb == "QUIT":
                tls.sendall(b"221 Goodbye.\r\n")
                return
            else:
                if tls.total_renegotiations():
                    self.renegotiated = not tls.renegotiate_pending()
                tls.sendall(b"230 Logged in.\r\n" if verb == "PASS" else
                            b"200 OK.\r\n")

    def stop(self):
        self.sock.close()
        self.thread.join(SOCKET_TIMEOUT)
