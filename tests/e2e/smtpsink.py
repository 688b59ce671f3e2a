"""SMTP sinks, the mailfile.exe runner and a small Wine session for the mail tests.

Each test gives its sink its own loopback address in 127.0.3.0/24 on port 25,
so the tests never share a server."""
import email
import email.policy
import glob
import io
import os
import random
import socket
import subprocess
import threading
import time
import zipfile

import pytest
from aiosmtpd.controller import Controller

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("TALLY_BUILD_DIR", os.path.join(TOP, "build"))
MAILFILE = os.path.join(BUILD, "bin", "mailfile.exe")


def wine_env():
    env = dict(os.environ)
    env.update(WINEPREFIX=os.path.join(BUILD, "wineprefix"), WINEARCH="win64",
               WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d")
    env.pop("DISPLAY", None)
    return env


def _session_running(env):
    """True when a wineserver already serves this prefix (its socket answers)."""
    st = os.stat(env["WINEPREFIX"])
    name = "server-%x-%x/socket" % (st.st_dev, st.st_ino)
    for path in glob.glob("/tmp/.wine-%d/%s" % (os.getuid(), name)) + glob.glob("/tmp/wine-*/" + name):
        probe = socket.socket(socket.AF_UNIX)
        try:
            probe.connect(path)
            return True
        except OSError:
            pass
        finally:
            probe.close()
    return False


def _session(command):
    script = 'source "%s/tools/wine-session.sh"; wine_session_env "%s"; %s' % (TOP, BUILD, command)
    subprocess.run(["bash", "-c", script], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=180, check=False)


@pytest.fixture(scope="module")
def wine_session():
    """A Wine session for the module; stopped afterwards only if started here."""
    env = wine_env()
    started = not (os.path.isdir(env["WINEPREFIX"]) and _session_running(env))
    if started:
        _session("wine_session_start")
    yield
    if started:
        _session("wine_session_stop")


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class MailRun:
    def __init__(self, proc, elapsed):
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        self.returncode = proc.returncode
        self.elapsed = elapsed
        self.results = [int(line) for line in proc.stdout.split() if line.isdigit()]
        self.figures = dict(line.split("=", 1) for line in proc.stdout.split() if "=" in line)


def run_mailfile(*args, timeout=90, cwd=None, env=None, exe=MAILFILE):
    """Runs mailfile.exe (or exe) under Wine; args are options and path/server/from/to groups."""
    start = time.monotonic()
    proc = subprocess.run(["wine", str(exe)] + [str(a) for a in args], env=env or wine_env(), cwd=cwd,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=timeout)
    return MailRun(proc, time.monotonic() - start)


class _Recorder:
    def __init__(self):
        self.messages = []

    async def handle_DATA(self, server, session, envelope):
        self.messages.append(envelope)
        return "250 OK"


class AiosmtpdSink:
    """A real SMTP server (aiosmtpd) that keeps every envelope it receives;
    recorder, an aiosmtpd handler with a messages list, may answer otherwise."""

    def __init__(self, address, port=25, recorder=None, **kwargs):
        self.recorder = recorder or _Recorder()
        kwargs.setdefault("data_size_limit", 0)
        self.controller = Controller(self.recorder, hostname=address, port=port, **kwargs)

    @property
    def messages(self):
        return self.recorder.messages

    def __enter__(self):
        self.controller.start()
        return self

    def __exit__(self, *exc):
        self.controller.stop()


class _Refuser(_Recorder):
    """Answers the first MAIL FROM and RCPT TO commands with the replies given, then accepts."""

    def __init__(self, mail, rcpt):
        super().__init__()
        self.replies = {"MAIL": list(mail), "RCPT": list(rcpt)}

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if self.replies["MAIL"]:
            return self.replies["MAIL"].pop(0)
        envelope.mail_from = address
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.replies["RCPT"]:
            return self.replies["RCPT"].pop(0)
        envelope.rcpt_tos.append(address)
        return "250 OK"


class RefusingSink(AiosmtpdSink):
    """A sink that refuses the first senders or recipients: RefusingSink(a, mail=["421 busy"])."""

    def __init__(self, address, mail=(), rcpt=(), **kwargs):
        super().__init__(address, recorder=_Refuser(mail, rcpt), **kwargs)


def listening_socket(address, port=25, backlog=8):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, port))
    listener.listen(backlog)
    return listener


def close_sockets(socks):
    """Shuts down and closes each socket (a thread blocked on one returns)."""
    for sock in socks:
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        sock.close()


class ScriptedServer:
    """A hand-made SMTP server whose replies a test sets: each reply is a list
    of byte strings sent as separate segments, a short pause between them.
    greeting=None keeps the server silent, hangup=True closes the connection
    after the greeting. Counts connections and keeps the
    DATA it receives."""

    def __init__(self, address, greeting=(b"220 scripted\r\n",),
                 ehlo=(b"250-scripted\r\n250 HELP\r\n",), mail=(b"250 OK\r\n",),
                 rcpt=(b"250 OK\r\n",), data=(b"354 go ahead\r\n",),
                 accepted=(b"250 queued\r\n",), quit=(b"221 bye\r\n",), pause=0.05,
                 hangup=False, discard=False):
        self.address = address
        self.script = {"EHLO": ehlo, "MAIL": mail, "RCPT": rcpt, "DATA": data, "QUIT": quit}
        self.greeting = greeting
        self.accepted = accepted
        self.pause = pause
        self.hangup = hangup
        self.discard = discard
        self.connections = 0
        self.commands = []
        self.messages = []
        self.data_bytes = 0
        self.listener = listening_socket(address)
        self.stopping = False
        self.clients = []
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping = True
        close_sockets(self.clients + [self.listener])
        self.thread.join(10)

    def _send(self, sock, pieces):
        for i, piece in enumerate(pieces):
            if i:
                time.sleep(self.pause)
            sock.sendall(piece)

    def _serve(self):
        while not self.stopping:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            self.clients.append(sock)
            try:
                self._talk(sock)
            except OSError:
                pass
            finally:
                sock.close()

    def _talk(self, sock):
        reader = sock.makefile("rb")
        if self.greeting is None:
            while reader.readline():
                pass
            return
        self._send(sock, self.greeting)
        if self.hangup:
            return
        while True:
            line = reader.readline()
            if not line:
                return
            verb = line[:4].upper().decode("ascii", "replace")
            self.commands.append(line)
            if verb == "DATA":
                self._send(sock, self.script["DATA"])
                self._receive_data(reader)
                self._send(sock, self.accepted)
            elif verb in self.script:
                self._send(sock, self.script[verb])
                if verb == "QUIT":
                    return
            else:
                sock.sendall(b"500 unknown\r\n")

    def _receive_data(self, reader):
        chunks = []
        while True:
            line = reader.readline()
            if not line or line == b".\r\n":
                break
            self.data_bytes += len(line)
            if not self.discard:
                chunks.append(line)
        self.messages.append(b"".join(chunks))


def call_log(lines, seed=1):
    """A log of call records: text that zips to about a third."""
    rng = random.Random(seed)
    return b"".join(b"2026-12-07 23:%02d:%02d.%03d: %05d EXT %03d TRUNK %02d OUT 0%09d DUR 00:%02d:%02d\r\n"
                    % (i // 600 % 60, i // 10 % 60, rng.randrange(1000), i, rng.randrange(200, 400),
                       rng.randrange(1, 9), rng.randrange(10 ** 9), rng.randrange(60), rng.randrange(60))
                    for i in range(lines))


def unzipped(raw):
    """(subject, attachment name, content type, entry name, entry bytes) of a message."""
    message = email.message_from_bytes(raw, policy=email.policy.compat32)
    attachment = message.get_payload()[1]
    payload = attachment.get_payload(decode=True)
    if attachment.get_content_type() != "application/zip":
        return message["Subject"], attachment.get_filename(), attachment.get_content_type(), None, payload
    with zipfile.ZipFile(io.BytesIO(payload)) as archive:
        assert archive.testzip() is None
        [entry] = archive.namelist()
        return (message["Subject"], attachment.get_filename(), "application/zip", entry,
                archive.read(entry))


class FailsFirstMail(ScriptedServer):
    """An SMTP server whose first connection fails in the way named, and
    whose later connections take their mail normally.
      closes_after_354: the connection is closed right after "354".
      closes_in_attachment: closed after some 2,000 bytes of the message.
      never_answers_dot: the whole message is read, the final "." never answered.
      answers_dot_late: the whole message is read, the final "." answered
        "250" only after `late` seconds (a server scanning what it received).
      refuses_at_connect: "421" as the greeting, then closed."""

    def __init__(self, address, fault, late=70):
        super().__init__(address)
        self.fault = fault
        self.late = late
        self.fault_done = threading.Event()

    def _talk(self, sock):
        if self.connections > 1:
            return super()._talk(sock)
        try:
            if self.fault == "answers_dot_late":
                self.accepted, self.pause = (b"", b"250 scanned, delivered\r\n"), self.late
                try:
                    return super()._talk(sock)
                finally:
                    self.accepted, self.pause = (b"250 queued\r\n",), 0.05
            self._fail(sock)
        finally:
            self.fault_done.set()

    def _fail(self, sock):
        if self.fault == "refuses_at_connect":
            sock.sendall(b"421 too busy, try later\r\n")
            return
        reader = sock.makefile("rb")
        sock.sendall(b"220 scripted\r\n")
        while True:
            line = reader.readline()
            if not line:
                return
            verb = line[:4].upper()
            if verb == b"DATA":
                break
            sock.sendall(b"250-scripted\r\n250 OK\r\n" if verb == b"EHLO" else b"250 OK\r\n")
        sock.sendall(b"354 go ahead\r\n")
        if self.fault == "closes_after_354":
            sock.shutdown(socket.SHUT_RDWR)
            return
        received = 0
        while True:
            line = reader.readline()
            if not line or line == b".\r\n":
                break
            received += len(line)
            if self.fault == "closes_in_attachment" and received > 2000:
                sock.shutdown(socket.SHUT_RDWR)
                return
        # never_answers_dot: silent until the client gives up and closes.
        while reader.readline():
            pass
