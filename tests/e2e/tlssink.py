"""TLS for the mail tests: the test certificate authority and its server
certificates (made by openssl, tests/tools/make-test-certificates.sh), SMTP
sinks that speak STARTTLS or TLS from the first byte and check AUTH (XOAUTH2
with the tokens of a TokenServer, an OAuth 2.0 token endpoint), and servers
that misbehave during or after the handshake.

Every sink of these tests has its own address in 127.0.12.0/24. The test CA
is trusted only through SmtpTrustedCa, never through a system store."""
import base64
import collections
import http.server
import json
import os
import re
import secrets
import socket
import ssl
import subprocess
import threading
import time
import urllib.parse

from aiosmtpd.smtp import SMTP, AuthResult
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding

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


class _OAuthRecorder(_Recorder):
    """Takes AUTH XOAUTH2 with a token the token server issued; refuses one
    the way Microsoft 365 and Google do: a 334 challenge with an error,
    answered by an empty line, then 535."""

    def __init__(self, tokens):
        super().__init__()
        self.tokens = tokens
        self.xoauth2 = []       # (user, token, accepted)
        self.refuse = 0         # refuse this many tokens more, issued or not

    async def auth_XOAUTH2(self, server, args):
        blob = args[1] if len(args) > 1 else ""
        found = re.fullmatch(r"user=([^\x01]*)\x01auth=Bearer ([^\x01]*)\x01\x01",
                             base64.b64decode(blob).decode("latin-1"))
        user, token = found.groups() if found else (None, None)
        accepted = user == USER and token in self.tokens.issued and not self.refuse
        self.refuse = max(0, self.refuse - 1)
        self.xoauth2.append((user, token, accepted))
        if accepted:
            return AuthResult(success=True, auth_data=user)
        answer = await server.challenge_auth('{"status":"401","schemes":"bearer"}')
        self.xoauth2.append(("answer", answer, False))
        return AuthResult(success=False, handled=False)


class _LongLineSMTP(SMTP):
    """Takes the long AUTH line of an access token, as hosted services do."""
    line_length_limit = 16384

    def __init__(self, *args, **kwargs):
        # aiosmtpd keeps the limits in one dict of the class, which every
        # server of the process clears when a connection starts: another
        # sink's mail would put AUTH back to 512 bytes between this one's
        # EHLO and AUTH ("500 Command line too long"). These are its own.
        self.command_size_limits = collections.defaultdict(lambda: SMTP.command_size_limit)
        super().__init__(*args, **kwargs)
        self.command_size_limits["AUTH"] = 16384


class TlsSink(AiosmtpdSink):
    """aiosmtpd with STARTTLS (mode STARTTLS, AUTH offered only after it) or
    TLS from the first byte (mode IMPLICIT), AUTH PLAIN and LOGIN unless
    mechanisms says otherwise, the given server certificate. With tokens (a
    TokenServer), XOAUTH2 alone."""

    def __init__(self, address, folder, mode=STARTTLS, port=None, cert="server", mechanisms=("LOGIN", "PLAIN"),
                 tokens=None):
        recorder = _OAuthRecorder(tokens) if tokens else _Recorder()
        if tokens:
            mechanisms = ("XOAUTH2",)
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
        controller = self.controller
        controller.factory = lambda: _LongLineSMTP(controller.handler, **controller.SMTP_kwargs)

    @property
    def messages(self):
        return [envelope for envelope, _ in self.recorder.messages]

    @property
    def logins(self):
        return self.recorder.logins


CLIENT_ID, CLIENT_SECRET = "6731de76-14a6-49ae-97bc-6eba6914391e", "Kx8Q~tallyline.secret_value"
SERVICE_ACCOUNT = "tallyline@plant-mail.iam.gserviceaccount.com"
CLIENT_ASSERTION = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer"
JWT_BEARER = "urn:ietf:params:oauth:grant-type:jwt-bearer"
INVALID_CLIENT = ("AADSTS7000215: Invalid client secret provided. Ensure the secret being sent in the request is "
                  "the client secret value, not the client secret ID.\r\nTrace ID: 0b4c1a7e")


def _unpadded(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


class TokenServer:
    """An OAuth 2.0 token endpoint over TLS (https://<address>/<tenant>/token):
    the client-credentials grant with the client secret or a client
    assertion signed by client.pem's key, and the JWT-bearer grant of a
    service account (service-account.key). Every request is kept; tokens are
    long (as Microsoft's are), hold characters JSON escapes, and come in a
    reply whose members, spacing and encoding are not the simplest."""

    def __init__(self, address, folder, cert="server", expires_in=3600, chunked=False):
        self.url = "https://%s/tallyline-tenant/oauth2/v2.0/token" % address
        self.expires_in = expires_in
        self.chunked = chunked
        self.requests = []      # (path, form) of each request whose body arrived
        self.issued = set()
        self.refusals = []      # why each refused request was refused
        with open(os.path.join(folder, "client.pem"), "rb") as f:
            certificate = x509.load_pem_x509_certificate(f.read())
        self.client_key = certificate.public_key()
        self.client_x5t = base64.urlsafe_b64encode(certificate.fingerprint(hashes.SHA1())).rstrip(b"=").decode()
        with open(os.path.join(folder, "service-account.key"), "rb") as f:
            self.account_pem = f.read().decode()
            self.account_key = serialization.load_pem_private_key(self.account_pem.encode(), None).public_key()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                form = dict(urllib.parse.parse_qsl(body.decode()))
                server.requests.append((self.path, form))
                status, reply = server._answer(form)
                self._send(status, reply)

            def _send(self, status, reply):
                data = reply.encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json; charset=utf-8")
                if server.chunked:
                    self.send_header("Transfer-Encoding", "chunked")
                    self.end_headers()
                    for i in range(0, len(data), 700):
                        self.wfile.write(b"%x\r\n%s\r\n" % (len(data[i:i + 700]), data[i:i + 700]))
                    self.wfile.write(b"0\r\n\r\n")
                else:
                    self.send_header("Content-Length", str(len(data)))
                    self.end_headers()
                    self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer((address, 443), Handler)
        self.httpd.socket = server_context(folder, cert).wrap_socket(self.httpd.socket, server_side=True)
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()

    def key_file(self, path):
        """Writes a service account's key file, as Google's console gives it."""
        with open(path, "w") as f:
            json.dump({"type": "service_account", "project_id": "plant-mail", "private_key_id": "4f1a2b",
                       "private_key": self.account_pem, "client_email": SERVICE_ACCOUNT,
                       "client_id": "1043", "token_uri": self.url}, f, indent=2)
        return winpath(path)

    def _assertion(self, jwt, key, issuer, subject, **claims_wanted):
        """Why the JWT is not good, or None."""
        head, body, signature = jwt.split(".")
        header, claims = json.loads(_unpadded(head)), json.loads(_unpadded(body))
        try:
            key.verify(_unpadded(signature), (head + "." + body).encode(), padding.PKCS1v15(), hashes.SHA256())
        except Exception:
            return "signature"
        now = time.time()
        wanted = dict(claims_wanted, aud=self.url, iss=issuer, sub=subject)
        if header.get("alg") != "RS256" or any(claims.get(k) != v for k, v in wanted.items()):
            return "claims %s %s" % (header, claims)
        if not claims["exp"] > now > claims.get("nbf", claims["iat"]) - 5 or claims["exp"] - claims["iat"] > 600:
            return "times"
        return None

    def _judge(self, form):
        grant = form.get("grant_type")
        if grant == JWT_BEARER:
            return self._assertion(form.get("assertion", ".."), self.account_key, SERVICE_ACCOUNT, USER,
                                   scope="https://mail.google.com/")
        if grant != "client_credentials" or form.get("client_id") != CLIENT_ID or \
                form.get("scope") != "https://outlook.office365.com/.default":
            return "grant"
        if "client_assertion" in form:
            header = json.loads(_unpadded(form["client_assertion"].split(".")[0]))
            if form.get("client_assertion_type") != CLIENT_ASSERTION or header.get("x5t") != self.client_x5t:
                return "assertion type or x5t"
            return self._assertion(form["client_assertion"], self.client_key, CLIENT_ID, CLIENT_ID)
        return None if form.get("client_secret") == CLIENT_SECRET else "secret"

    def _answer(self, form):
        refusal = self._judge(form)
        if refusal:
            self.refusals.append(refusal)
            return 401, json.dumps({"error": "invalid_client", "error_description": INVALID_CLIENT,
                                    "error_codes": [7000215], "trace_id": "0b4c1a7e"})
        token = "eyJ0eXAiOiJKV1Qi." + secrets.token_urlsafe(1400) + "/+.sig=="
        self.issued.add(token)
        # Members in no helpful order, blanks, nested values, escapes, and
        # expires_in as a string, as Microsoft's v1 endpoint sends it.
        return 200, ('{ "token_type" : "Bearer",\n\t"ext" : {"a": [1, 2.5e3, {"b": "\\u00e9\\"x"}], "c": null},\n'
                     ' "expires_in" : "%d", "access_token":%s }' % (self.expires_in, json.dumps(token).replace("/", "\\/")))


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


def connect_proxy(server, sock):
    """An HTTP proxy: opens the tunnel a CONNECT asks for and relays both
    ways; keeps the request and what the client sent through the tunnel."""
    request = b""
    while b"\r\n\r\n" not in request:
        request += sock.recv(4096)
    host, port = request.split()[1].decode().rsplit(":", 1)
    upstream = socket.create_connection((host, int(port)))
    server.clients.append(upstream)
    sock.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
    threading.Thread(target=lambda: _relay(upstream, sock, []), daemon=True).start()
    relayed = []
    _relay(sock, upstream, relayed)
    server.received.append((request, b"".join(relayed)))


def _relay(source, sink, kept):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            kept.append(data)
            sink.sendall(data)
    except OSError:
        pass
    close_sockets([sink])


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
