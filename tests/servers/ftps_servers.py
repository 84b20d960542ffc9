"""Real FTP-over-explicit-TLS servers on loopback for end-to-end tests.

Two servers are offered, both on port 21 of their own 127.0.0.x address so
that several run side by side (or on a free port of a given address, which
needs no root: port=0):

  pyftpd   pyftpdlib's TLS handler (Debian python3-pyftpdlib, python3-openssl)
  vsftpd   Debian's vsftpd, logging in a system account through PAM

Each demands TLS on the control and on every data connection, offers passive
mode, has one throw-away user with a fresh root directory and a self-signed
certificate made here with openssl, or (ca=) one signed by a test CA that
names the server's address as an IP subject-alternative name.

As a library: ``start_server("pyftpd")`` returns a started ``FtpsServer``;
call its ``stop()`` when done.  pyftpd also runs in a mode (see
pyftpd_serve.py): "tls12" refuses TLS 1.3, "cut" drops the connections in
the middle of an upload, "throttled" moves data slowly.  Starting raises
``ServerUnavailable`` with
the reason when the machine cannot run the server (no root for port 21, a
package missing).

As a command:
  ftps_servers.py start pyftpd|vsftpd [--address 127.0.0.N] [--workdir DIR]
                        [--mode normal|tls12|cut|throttled]
      starts a server that outlives the command, prints its state as JSON
      (address, user, password, root, certificate, pid) and records it in
      DIR/state.json;
  ftps_servers.py stop DIR
      stops the server recorded in DIR/state.json, removes its account
      (vsftpd) and DIR.

Every wait here is bounded.
"""

import errno
import importlib.util
import json
import os
import secrets
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

__all__ = ["ServerUnavailable", "FtpsServer", "start_server", "stop_state",
           "make_ca", "make_certificate", "free_loopback_address",
           "free_port"]

FTP_PORT = 21
START_TIMEOUT = 15.0
STOP_TIMEOUT = 10.0
HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3.11"
VSFTPD = "/usr/sbin/vsftpd"


class ServerUnavailable(Exception):
    """The server cannot run on this machine; the text says why."""


def _openssl(args):
    try:
        done = subprocess.run(["openssl"] + args, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise ServerUnavailable("openssl %s failed: %s" % (args[0], e))
    if done.returncode != 0:
        raise ServerUnavailable("openssl %s failed: %s" % (
            args[0], done.stderr.decode("utf-8", "replace")))


def make_ca(directory, name="Skiff Relay Test CA"):
    """Write a fresh self-signed CA certificate and key into directory;
    returns (cafile, cakeyfile)."""
    cafile = os.path.join(directory, "ca.pem")
    cakey = os.path.join(directory, "ca-key.pem")
    _openssl(["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
              "-subj", "/O=%s" % name, "-addext",
              "basicConstraints=critical,CA:TRUE", "-addext",
              "keyUsage=critical,keyCertSign", "-keyout", cakey,
              "-out", cafile])
    return cafile, cakey


def make_certificate(directory, common_name, ca=None, san=None):
    """Write a fresh RSA certificate and key into directory: self-signed,
    or with ca=(cafile, cakeyfile) signed by that CA and carrying the
    subject-alternative names san (default "IP:" + common_name).

    Returns (certfile, keyfile, subject) where subject is the certificate's
    subject in OpenSSL's one-line form ("/C=../O=../CN=..").
    """
    subject = "/C=DE/O=Skiff Relay Test/CN=%s" % common_name
    certfile = os.path.join(directory, "cert.pem")
    keyfile = os.path.join(directory, "key.pem")
    if ca is None:
        _openssl(["req", "-x509", "-newkey", "rsa:2048", "-nodes",
                  "-days", "2", "-subj", subject, "-keyout", keyfile,
                  "-out", certfile])
        return certfile, keyfile, subject
    request = os.path.join(directory, "cert.csr")
    extensions = os.path.join(directory, "cert.ext")
    with open(extensions, "w") as f:
        f.write("basicConstraints=CA:FALSE\nsubjectAltName=%s\n" %
                (san or "IP:" + common_name))
    _openssl(["req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj",
              subject, "-keyout", keyfile, "-out", request])
    _openssl(["x509", "-req", "-in", request, "-CA", ca[0], "-CAkey", ca[1],
              "-CAcreateserial", "-days", "2", "-extfile", extensions,
              "-out", certfile])
    return certfile, keyfile, subject


def _family(address):
    return socket.AF_INET6 if ":" in address else socket.AF_INET


def _port_free(address, port):
    """1 when address:port can be bound now, 0 when in use.

    Raises ServerUnavailable when binding is not permitted at all.
    """
    s = socket.socket(_family(address), socket.SOCK_STREAM)
    try:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((address, port))
        return 1
    except OSError as e:
        if e.errno == errno.EACCES:
            raise ServerUnavailable("cannot bind %s:%d (needs root): %s" %
                                    (address, port, e))
        if e.errno == errno.EADDRINUSE:
            return 0
        raise ServerUnavailable("cannot bind %s:%d: %s" % (address, port, e))
    finally:
        s.close()


def free_loopback_address(first=21, count=60):
    """The first 127.0.0.N (N from first on) whose port 21 is free."""
    for n in range(first, min(first + count, 255)):
        address = "127.0.0.%d" % n
        if _port_free(address, FTP_PORT):
            return address
    raise ServerUnavailable("no free loopback address for port 21 in "
                            "127.0.0.%d-%d" % (first, first + count - 1))


def free_port(address):
    """A TCP port of address that is free now (the kernel's choice)."""
    try:
        s = socket.socket(_family(address), socket.SOCK_STREAM)
    except OSError as e:
        raise ServerUnavailable("no sockets for %s: %s" % (address, e))
    try:
        s.bind((address, 0))
        return s.getsockname()[1]
    except OSError as e:
        raise ServerUnavailable("cannot bind %s: %s" % (address, e))
    finally:
        s.close()


def _descendants(pid):
    """Process ids of all living descendants of pid (read from /proc)."""
    parents = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, "rb") as f:
                stat = f.read().decode("ascii", "replace")
        except OSError:
            continue
        # The command name may hold spaces; fields resume after the ")".
        fields = stat[stat.rfind(")") + 2:].split()
        if len(fields) > 1:
            parents.setdefault(int(fields[1]), []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in parents.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def _alive(pid):
    try:
        os.kill(pid, 0)
    except OSError:
        return False
    # A zombie child of ours counts as gone; reap it if it is ours.
    try:
        done, _ = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return False
    except ChildProcessError:
        pass
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            stat = f.read().decode("ascii", "replace")
        return stat[stat.rfind(")") + 2:][:1] != "Z"
    except OSError:
        return False


def _kill_tree(pid):
    """Stop pid and its descendants (by id): SIGTERM, then SIGKILL."""
    pids = [pid] + _descendants(pid)
    for p in pids:
        try:
            os.kill(p, signal.SIGTERM)
        except OSError:
            pass
    deadline = time.monotonic() + STOP_TIMEOUT
    while time.monotonic() < deadline and any(_alive(p) for p in pids):
        time.sleep(0.05)
    for p in pids:
        if _alive(p):
            try:
                os.kill(p, signal.SIGKILL)
            except OSError:
                pass


def _listens(pid, address, port):
    """1 when process pid holds the listening socket on address:port.

    Another test run may listen there already; answering connections alone
    does not prove that the server just started is the one listening.
    """
    # /proc/net/tcp6 prints an address as four host-order 32-bit words.
    packed = socket.inet_pton(_family(address), address)
    words = struct.unpack("<%dI" % (len(packed) // 4), packed)
    local = "%s:%04X" % ("".join("%08X" % w for w in words), port)
    table = "/proc/net/tcp6" if len(packed) == 16 else "/proc/net/tcp"
    inodes = set()
    try:
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[1] == local and fields[3] == "0A":  # LISTEN
                    inodes.add("socket:[%s]" % fields[9])
        fd_dir = "/proc/%d/fd" % pid
        for fd in os.listdir(fd_dir):
            try:
                if os.readlink(os.path.join(fd_dir, fd)) in inodes:
                    return 1
            except OSError:
                continue
    except OSError:
        pass
    return 0


def _wait_listening(address, port, pid, logfile):
    """Wait (bounded) until process pid listens on address:port."""
    deadline = time.monotonic() + START_TIMEOUT
    while time.monotonic() < deadline:
        if not _alive(pid):
            break
        if _listens(pid, address, port):
            return
        time.sleep(0.05)
    text = ""
    try:
        with open(logfile, "rb") as f:
            text = f.read()[-2000:].decode("utf-8", "replace")
    except OSError:
        pass
    raise ServerUnavailable("server on %s:%d did not come up: %s" %
                            (address, port, text.strip()))


class FtpsServer(object):
    """One running test server and what a client needs to reach it."""

    def __init__(self, kind, workdir, address, mode="normal",
                 port=FTP_PORT, ca=None):
        self.kind = kind
        self.mode = mode
        self.workdir = workdir
        self.address = address
        self.port = port
        # (cafile, cakeyfile) of the CA that signs the server certificate.
        self.ca = ca
        self.root = os.path.join(workdir, "root")
        self.user = ""
        self.password = "pw-" + secrets.token_hex(8)
        self.certfile = self.keyfile = self.subject = ""
        self.logfile = os.path.join(workdir, "server.log")
        self.pid = 0
        self.account_created = False
        self._proc = None

    def state(self):
        return {"kind": self.kind, "mode": self.mode,
                "workdir": self.workdir,
                "address": self.address, "port": self.port,
                "host": self.host(), "root": self.root, "user": self.user,
                "password": self.password, "certfile": self.certfile,
                "subject": self.subject, "logfile": self.logfile,
                "pid": self.pid, "account_created": self.account_created,
                "stop": "%s %s stop %s" % (PYTHON, os.path.abspath(__file__),
                                           self.workdir)}

    def host(self):
        """The HOST argument that reaches this server (HOST:PORT)."""
        address = "[%s]" % self.address if ":" in self.address \
            else self.address
        return address if self.port == FTP_PORT else "%s:%d" % (
            address, self.port)

    def protocol_log(self):
        """The server's own session log so far ("" if none yet)."""
        name = "pyftpd.log" if self.kind == "pyftpd" else "vsftpd.log"
        try:
            with open(os.path.join(self.workdir, name), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def count_connects(self):
        """Control connections the server has accepted so far."""
        mark = ("FTP session opened" if self.kind == "pyftpd"
                else "CONNECT: Client")
        return self.protocol_log().count(mark)

    def count_logins(self):
        """Successful logins so far."""
        mark = "logged in." if self.kind == "pyftpd" else "OK LOGIN"
        return self.protocol_log().count(mark)

    def count_commands(self, verb):
        """Commands verb received so far (pyftpd logs each verb)."""
        return self.protocol_log().count("] command %s\n" % verb)

    def start(self, detach=False):
        os.chmod(self.workdir, 0o755)
        self.certfile, self.keyfile, self.subject = make_certificate(
            self.workdir, self.address, self.ca)
        if self.kind == "pyftpd":
            self._start_pyftpd(detach)
        else:
            self._start_vsftpd(detach)
        with open(os.path.join(self.workdir, "state.json"), "w") as f:
            json.dump(self.state(), f, indent=1)
        try:
            _wait_listening(self.address, self.port, self.pid, self.logfile)
        except ServerUnavailable:
            self.stop(remove=False)
            raise

    def _spawn(self, argv, detach):
        out = open(self.logfile, "ab")
        try:
            self._proc = subprocess.Popen(
                argv, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                start_new_session=detach, close_fds=True)
        except OSError as e:
            raise ServerUnavailable("cannot run %s: %s" % (argv[0], e))
        finally:
            out.close()
        self.pid = self._proc.pid

    def _start_pyftpd(self, detach):
        missing = [m for m in ("pyftpdlib", "OpenSSL")
                   if importlib.util.find_spec(m) is None]
        if missing:
            raise ServerUnavailable("%s missing (apt-get install "
                                    "python3-pyftpdlib python3-openssl)" %
                                    " and ".join(missing))
        os.mkdir(self.root)
        self.user = "skiff"
        self._spawn([PYTHON, os.path.join(HERE, "pyftpd_serve.py"),
                     self.address, str(self.port), self.root, self.user,
                     self.password, self.certfile, self.keyfile,
                     os.path.join(self.workdir, "pyftpd.log"), self.mode],
                    detach)

    def _start_vsftpd(self, detach):
        if not os.path.exists(VSFTPD):
            raise ServerUnavailable("vsftpd missing (apt-get install vsftpd)")
        if os.geteuid() != 0:
            raise ServerUnavailable("vsftpd test account needs root")
        # A system account whose home is the fresh root directory; PAM
        # (Debian's /etc/pam.d/vsftpd) wants a shell listed in /etc/shells.
        self.user = "skiff" + secrets.token_hex(4)
        os.mkdir(self.root)
        run = subprocess.run(["useradd", "-M", "-N", "-d", self.root,
                              "-s", "/bin/sh", self.user],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             timeout=30)
        if run.returncode != 0:
            raise ServerUnavailable("useradd failed: %s" % run.stdout)
        self.account_created = True
        try:
            run = subprocess.run(["chpasswd"], input=("%s:%s\n" % (
                self.user, self.password)).encode("ascii"),
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=30)
            if run.returncode != 0:
                raise ServerUnavailable("chpasswd failed: %s" % run.stdout)
            shutil.chown(self.root, user=self.user)
            empty = os.path.join(self.workdir, "empty")
            os.mkdir(empty, 0o555)
            conf = os.path.join(self.workdir, "vsftpd.conf")
            with open(conf, "w") as f:
                f.write(_vsftpd_conf(self, empty))
            self._spawn([VSFTPD, conf], detach)
        except BaseException:
            self._remove_account()
            raise

    def _remove_account(self):
        if self.account_created:
            subprocess.run(["userdel", "-f", self.user],
                           stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30)
            self.account_created = False

    def stop(self, remove=True):
        if self.pid:
            _kill_tree(self.pid)
            if self._proc is not None:
                try:
                    self._proc.wait(timeout=STOP_TIMEOUT)
                except subprocess.TimeoutExpired:
                    pass
            self.pid = 0
        self._remove_account()
        if remove:
            shutil.rmtree(self.workdir, ignore_errors=True)


def _vsftpd_conf(server, empty):
    lines = [
        "listen=YES", "listen_ipv6=NO", "background=NO",
        "listen_address=%s" % server.address,
        "listen_port=%d" % server.port,
        "anonymous_enable=NO", "local_enable=YES", "write_enable=YES",
        "local_umask=022", "pam_service_name=vsftpd",
        "ssl_enable=YES", "allow_anon_ssl=NO",
        "force_local_logins_ssl=YES", "force_local_data_ssl=YES",
        "ssl_tlsv1=YES", "ssl_sslv2=NO", "ssl_sslv3=NO",
        # The built-in default cipher list is a single suite that current
        # OpenSSL no longer offers.
        "ssl_ciphers=HIGH",
        "rsa_cert_file=%s" % server.certfile,
        "rsa_private_key_file=%s" % server.keyfile,
        # Clients all come from 127.0.0.1; the built-in limit of 50
        # sessions per address refuses the rest of 100 runs at once.
        "max_per_ip=0", "max_clients=0",
        "pasv_enable=YES", "port_enable=NO",
        "pasv_min_port=30000", "pasv_max_port=60000",
        "secure_chroot_dir=%s" % empty,
        # Containers often forbid the namespaces and seccomp filter
        # vsftpd would set up for its session processes.
        "seccomp_sandbox=NO", "isolate=NO", "isolate_network=NO",
        "xferlog_enable=YES", "vsftpd_log_file=%s" % os.path.join(
            server.workdir, "vsftpd.log"),
        "dual_log_enable=YES",
        "xferlog_file=%s" % os.path.join(server.workdir, "xferlog"),
        "use_localtime=NO", "connect_from_port_20=NO",
    ]
    return "\n".join(lines) + "\n"


def start_server(kind, address=None, workdir=None, detach=False,
                 mode="normal", port=FTP_PORT, ca=None):
    """Start a server of kind "pyftpd" or "vsftpd"; returns the FtpsServer.

    port 0: a free port of address (default 127.0.0.1), chosen anew on
    each attempt.  ca: see make_certificate.
    """
    if kind not in ("pyftpd", "vsftpd"):
        raise ValueError("unknown server kind: %r" % kind)
    if mode != "normal" and kind != "pyftpd":
        raise ValueError("only pyftpd runs in mode %r" % mode)
    first = 21 if kind == "pyftpd" else 81
    if port == 0 and address is None:
        address = "127.0.0.1"
    fixed = address is not None and port != 0
    for attempt in range(5):
        chosen = free_port(address) if port == 0 else port
        if address is None:
            address = free_loopback_address(first)
        elif fixed and not _port_free(address, chosen):
            raise ServerUnavailable("%s:%d is already in use" %
                                    (address, chosen))
        if workdir is None:
            where = tempfile.mkdtemp(prefix="skiff-%s-" % kind)
        else:
            where = workdir
            os.makedirs(where)
        server = FtpsServer(kind, where, address, mode, chosen, ca)
        try:
            server.start(detach=detach)
            return server
        except ServerUnavailable:
            server.stop()
            # Another test run may have taken the address between the check
            # and the server's bind; then the next free one is tried.
            if fixed or attempt == 4 or _port_free(address, chosen):
                raise
            if port != 0:
                address = None
        except BaseException:
            server.stop()
            raise


def stop_state(workdir):
    """Stop the server recorded in workdir/state.json and remove workdir."""
    with open(os.path.join(workdir, "state.json")) as f:
        state = json.load(f)
    server = FtpsServer(state["kind"], state["workdir"], state["address"])
    server.pid = state["pid"]
    server.user = state["user"]
    server.account_created = state["account_created"]
    server.stop()


def _main(argv):
    import argparse
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="action", required=True)
    start = sub.add_parser("start")
    start.add_argument("kind", choices=["pyftpd", "vsftpd"])
    start.add_argument("--address")
    start.add_argument("--workdir")
    start.add_argument("--mode", default="normal",
                       choices=["normal", "tls12", "cut", "throttled"])
    stop = sub.add_parser("stop")
    stop.add_argument("workdir")
    args = parser.parse_args(argv[1:])
    try:
        if args.action == "start":
            server = start_server(args.kind, args.address, args.workdir,
                                  detach=True, mode=args.mode)
            json.dump(server.state(), sys.stdout, indent=1)
            sys.stdout.write("\n")
        else:
            stop_state(args.workdir)
    except (ServerUnavailable, OSError, ValueError) as e:
        sys.stderr.write("ftps_servers: %s\n" % e)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv))
