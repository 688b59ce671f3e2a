"""TLS for the mail tests: the test certificate authority and its server
certificates (made by openssl, tests/tools/make-test-certificates.sh), SMTP
sinks that speak STARTTLS or TLS from the first byte and check AUTH, and
servers that misbehave during or after the handshake.

Every sink of these tests has its own address in 127.0.12.0/24. The test CA
is trusted only through SmtpTrustedCa, never through a system store."""
import os
import socket
import ssl
import subprocess
import threading
import time

from aiosmtpd.smtp import AuthResult

from smtpsink import TOP, AiosmtpdSink, close_sockets, listening_socket, winpath

USER, PASSWORD = "alice@plant.example", "s3cret pass"
NONE, STARTTLS, IMPLICIT = 0, 1, 2

_made = {}


def certificates(folder):
    """The test certificates, made once per folder. Names: see the script."""
    if folder not in _made:
        subprocess.run(["bash", os.path.join(TOP, "tests", "tools", "make-test-certificates.sh"), folder],
                       check=True, stdin=subprocess.DEVNULL, timeout=120)
        _made[folder] = folder
    return folder


def server_context(folder, name="server"):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    chain = os.path.join(folder, name + ".pem")
    if name == "leaf":
        chain = os.path.join(folder, "leaf-chain.pem")
    context.load_cert_chain(chain, os.path.join(folder, name + ".key"))
    return context


class _Recorder:
    def __init__(self):
        self.messages = []
        self.logins = []        # (mechanism, user, password, accepted)
        self.passwords = {PASSWORD}

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((envelope, session.authenticated))
        return "250 OK"

    def authenticate(self, server, session, envelope, mechanism, data):
        user, password = data.login.decode(), data.password.decode()
        accepted = user == USER and password in self.passwords
        self.logins.append((mechanism, user, password, accepted))
        # handled=False: aiosmtpd then answers a refusal with 535 itself.
        return AuthResult(success=accepted, handled=False)


class TlsSink(AiosmtpdSink):
    """aiosmtpd with STARTTLS (mode STARTTLS, AUTH offered only after it) or
    TLS from the first byte (mode IMPLICIT), AUTH PLAIN and LOGIN unless
    mechanisms says otherwise, the given server certificate."""

    def __init__(self, address, folder, mode=STARTTLS, port=None, cert="server", mechanisms=("LOGIN", "PLAIN")):
        recorder = _Recorder()
        self.port = port or (465 if mode == IMPLICIT else 587)
        context = server_context(folder, cert)
        self.server_names = []      # the SNI of each handshake, None when none was sent
        context.sni_callback = lambda sock, name, ctx: self.server_names.append(name)
        excluded = [m for m in ("LOGIN", "PLAIN") if m not in mechanisms]
        kwargs = dict(authenticator=recorder.authenticate, auth_exclude_mechanism=excluded)
        if mode == IMPLICIT:
            kwargs.update(ssl_context=context, auth_require_tls=False)
        else:
            kwargs.update(tls_context=context, require_starttls=True)
        super().__init__(address, self.port, **kwargs)
        self.recorder = recorder
        self.controller.handler = recorder

    @property
    def messages(self):
        return [envelope for envelope, _ in self.recorder.messages]

    @property
    def logins(self):
        return self.recorder.logins


class RawServer:
    """Accepts connections and hands each to talk(sock) on a thread of its
    own; keeps what each connection sent. For servers that misbehave."""

    def __init__(self, address, port, talk):
        self.talk = talk
        self.received = []
        self.listener = listening_socket(address, port)
        self.clients = []
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        close_sockets(self.clients + [self.listener])
        self.thread.join(10)

    def _serve(self):
        while True:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            self.clients.append(sock)
            threading.Thread(target=self._talk, args=(sock,), daemon=True).start()

    def _talk(self, sock):
        try:
            self.talk(self, sock)
        except (OSError, ssl.SSLError):
            pass

    def read_until_quiet(self, sock, seconds):
        """Keeps what arrives until the peer is silent for `seconds` or closes."""
        sock.settimeout(seconds)
        data = b""
        try:
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                data += chunk
        except socket.timeout:
            pass
        self.received.append(data)
        return data


def stall_in_handshake(server, sock):
    """TLS from the first byte: take the ClientHello, then say nothing."""
    server.read_until_quiet(sock, 120)


def stall_after_starttls(server, sock):
    """Offers STARTTLS, accepts it, then says nothing during the handshake."""
    sock.sendall(b"220 stalling\r\n")
    reader = sock.makefile("rb")
    reader.readline()
    sock.sendall(b"250-stalling\r\n250 STARTTLS\r\n")
    reader.readline()
    sock.sendall(b"220 go ahead\r\n")
    server.read_until_quiet(sock, 120)


def oversized_record_after_handshake(folder):
    """Completes a real handshake, then sends a record header that announces
    far more than TLS allows, and a little of it."""
    context = server_context(folder)

    def talk(server, sock):
        tls = context.wrap_socket(sock, server_side=True)
        raw = socket.socket(fileno=os.dup(tls.fileno()))
        raw.sendall(b"\x17\x03\x03\xff\xf0" + b"\x00" * 64)
        server.read_until_quiet(raw, 30)
        raw.close()
    return talk


def windows_path(folder, name):
    return winpath(os.path.join(folder, name))


def wait_until(predicate, timeout):
    deadline = time.time() + timeout
    while not predicate() and time.time() < deadline:
        time.sleep(0.1)
    return predicate()
