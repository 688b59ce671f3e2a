"""Minutely log rotation and mailing under the real Service Control Manager.

Rotation tests take real minutes, so one run serves them all: the instances
start together, live through two minute boundaries side by side, each
playing one situation, and the tests below then check what each left
behind (files, mails, events, reported states).

Among them, faults around a rotation: SMTP servers that fail the first mail
in three ways or answer it only after a minute, and a port that vanishes in
the second before a rotation and returns after it. In every case the service
keeps running, reports the fault once and the recovery once (the next mail
sent, the port open again), and every byte that reached the port is in the
files, once and in order."""

import asyncio
import contextlib
import email
import email.policy
import os
import re
import shutil
import threading
import time

import pytest

import conftest
from harness import Instance, VirtualPort
from harness.events import ERROR, INFORMATION
from harness.instance import PAUSED, RUNNING, STOP_PENDING, STOPPED, leave_in_outbox, parse_status
from smtpsink import AiosmtpdSink, FailsFirstMail, RefusingSink, call_log, unzipped, winpath
from tlssink import CLIENT_ID, CLIENT_SECRET, STARTTLS, USER, TlsSink, TokenServer, certificates

STAMP = re.compile(rb"\d{4}-\d\d-\d\d (\d\d):(\d\d):(\d\d)\.\d{3}: ")
FROM, TO = "tallyline@plant.example", "ops@plant.example"
SLOW_MAIL_S = 12            # the slow sink's delay before it accepts a message
STALL_S = 40                # the stalling sink's hold on its first message: longer than anyone waits
UNREACHABLE = "127.0.5.2"   # nothing listens there
REPLY_TIMEOUT_S = 60        # the mailer's wait for a reply (MailReplyTimeoutMs)
LATE_DOT_S = 70             # a server's answer to the first message's "." after longer than that
FAULTS = ["closes_after_354", "closes_in_attachment", "refuses_at_connect"]


class _SlowRecorder:
    """Takes SLOW_MAIL_S seconds to answer the end of a message."""

    def __init__(self):
        self.messages = []
        self.accepted_at = []

    async def handle_DATA(self, server, session, envelope):
        await asyncio.sleep(SLOW_MAIL_S)
        self.messages.append(envelope)
        self.accepted_at.append(time.time())
        return "250 OK"


class _Staller:
    """Holds back its answer to the end of the first message."""

    def __init__(self):
        self.messages = []
        self.stalled = threading.Event()

    async def handle_DATA(self, server, session, envelope):
        # Received whole, as a server that then delivers it would have it.
        self.messages.append(envelope)
        if len(self.messages) == 1:
            self.stalled.set()
            await asyncio.sleep(STALL_S)
        return "250 OK"


class _QuitStaller(_Staller):
    """Takes every message at once; holds back its answer to the first QUIT."""

    async def handle_DATA(self, server, session, envelope):
        self.messages.append(envelope)
        return "250 OK"

    async def handle_QUIT(self, server, session, envelope):
        if not self.stalled.is_set():
            self.stalled.set()
            await asyncio.sleep(STALL_S)
        return "221 Bye"


class Restarter(threading.Thread):
    """Stops an instance a moment before a boundary and starts it after it."""

    def __init__(self, inst, boundary):
        super().__init__(daemon=True)
        self.inst, self.boundary = inst, boundary
        self.stopped = self.started = None

    def run(self):
        sleep_until(self.boundary - 3)
        self.stopped = self.inst.stop()
        sleep_until(self.boundary + 2)
        self.started = self.inst.start()


class Killer(threading.Thread):
    """Kills an instance's process while the server holds its mail, then starts it again."""

    def __init__(self, inst, stalled, until):
        super().__init__(daemon=True)
        self.inst, self.stalled, self.until = inst, stalled, until
        self.killed = self.restarted = None

    def run(self):
        if not self.stalled.wait(max(0, self.until - time.time())):
            return
        self.killed = self.inst.session.scctl("kill", self.inst.name, check=False)
        self.inst.wait(STOPPED)
        self.restarted = self.inst.start()


def _drain(session, inst, timeout=90):
    """Runs an instance until its outbox is empty, without rotating."""
    key = r"HKLM\SYSTEM\CurrentControlSet\Services\%s\Parameters" % inst.name
    session.run(["reg", "add", key, "/v", "LogRotation", "/t", "REG_DWORD", "/d", "0", "/f"])
    inst.start()
    deadline = time.time() + timeout
    while inst.outbox() and time.time() < deadline:
        time.sleep(0.5)
    return inst.stop()


def minute_stamp(t):
    return time.strftime("%Y%m%d%H%M", time.localtime(t))


def sleep_until(t):
    delay = t - time.time()
    if delay > 0:
        time.sleep(delay)


class Streamer(threading.Thread):
    """Feeds a port continuously: numbered records, and around each boundary
    one slow line that starts a second before it and ends 2.5 s after, so a
    rotation is sure to cut it."""

    def __init__(self, port, boundaries):
        super().__init__(daemon=True)
        self.port = port
        self.boundaries = boundaries
        self.sent = bytearray()
        self.done = threading.Event()
        self.ended = threading.Event()

    def _send(self, data):
        self.port.send(data)
        self.sent += data

    def run(self):
        n = 0
        try:
            while not self.done.is_set():
                now = time.time()
                near = [b for b in self.boundaries if b - 1.0 <= now < b + 2.5]
                if near:
                    self._send(b"slow line across the boundary ")
                    i = 0
                    while time.time() < near[0] + 2.5:
                        self._send(b"%d " % i)
                        i += 1
                        time.sleep(0.03)
                    self._send(b"end\r\n")
                else:
                    self._send(b"record %05d abcdefghijklmnopqrstuvwxyz\r\n" % n)
                    n += 1
                    time.sleep(0.05)
        finally:
            self.ended.set()


class Feeder(threading.Thread):
    """Numbered lines to each port, a few a second, except while a port is away."""

    def __init__(self, ports):
        super().__init__(daemon=True)
        self.ports = ports
        self.sent = {p.name: bytearray() for p in ports}
        self.paused = set()
        self.lock = threading.Lock()
        self.done = threading.Event()

    def run(self):
        n = 0
        while not self.done.wait(0.1):
            with self.lock:
                for p in self.ports:
                    if p.name not in self.paused:
                        line = b"%s line %06d abcdefghijklmnopqrstuvwxyz\r\n" % (p.name.encode(), n)
                        p.send(line)
                        self.sent[p.name] += line
            n += 1

    def hold(self, port):
        with self.lock:
            self.paused.add(port.name)

    def release(self, port):
        with self.lock:
            self.paused.discard(port.name)


class Poller(threading.Thread):
    """Stops an instance and records every status it reports until it has stopped."""

    def __init__(self, inst, at):
        super().__init__(daemon=True)
        self.inst = inst
        self.at = at
        self.statuses = []      # (time, status)
        self.failed_queries = []

    def run(self):
        sleep_until(self.at)
        self.stop_began = time.time()
        self.statuses.append((time.time(), self.inst.control("stop")))
        deadline = time.time() + 70
        while time.time() < deadline:
            text = self.inst.session.scctl("query", self.inst.name, check=False)
            status = parse_status(text)
            if status is None:
                # A query that the SCM could not answer tells nothing.
                self.failed_queries.append(text)
            else:
                self.statuses.append((time.time(), status))
                if status["state"] == STOPPED:
                    break
            time.sleep(0.3)


class Run:
    pass


def _new_instance(session, **values):
    number = next(conftest._instance_numbers)
    shutil.rmtree(session.c_drive("logs%d" % number), ignore_errors=True)
    os.makedirs(session.c_drive("logs%d" % number))
    values.setdefault("LogFilename", "C:\\logs%d\\Quillbox%d.log" % (number, number))
    return Instance(session, number, LogRotation=5, **values).install()


def _log_files(inst):
    folder = os.path.dirname(inst.log_path())
    return sorted(f for f in os.listdir(folder) if os.path.isfile(os.path.join(folder, f)))


@pytest.fixture(scope="module")
def run(_shared_session, workdir):
    session = conftest._session_holder["session"]
    r = Run()
    ports, instances = [], []
    def port():
        p = VirtualPort(session, next(conftest._port_numbers),
                        os.path.join(workdir, "ports")).open()
        ports.append(p)
        return p

    def instance(p, **values):
        inst = _new_instance(session, PortName=p.name, **values)
        inst.port = p
        instances.append(inst)
        return inst

    certs = certificates(os.path.join(workdir, "rotation-certs"))
    try:
        with AiosmtpdSink("127.0.5.1") as sink, AiosmtpdSink("127.0.5.3") as unused_sink, \
                AiosmtpdSink("127.0.5.6", recorder=_SlowRecorder()) as slow_sink, \
                AiosmtpdSink("127.0.5.7", data_size_limit=100000) as limited_sink, \
                TokenServer("127.0.12.30", certs) as tokens, \
                TlsSink("127.0.12.30", certs, STARTTLS, tokens=tokens) as oauth_sink, \
                RefusingSink("127.0.5.8", mail=["421 4.3.2 Busy, try again later"]) as busy_sink, \
                RefusingSink("127.0.5.9", rcpt=["550 5.1.1 No such mailbox"]) as refusing_sink, \
                AiosmtpdSink("127.0.5.10", recorder=_Staller()) as stalling_sink, \
                AiosmtpdSink("127.0.5.11") as later_sink, \
                AiosmtpdSink("127.0.5.12") as restarted_sink, \
                AiosmtpdSink("127.0.5.13", recorder=_QuitStaller()) as quit_sink, \
                contextlib.ExitStack() as fault_servers:
            r.sink, r.unused_sink, r.slow_sink = sink, unused_sink, slow_sink
            r.limited_sink, r.tokens, r.oauth_sink = limited_sink, tokens, oauth_sink
            r.busy_sink, r.refusing_sink, r.stalling_sink, r.later_sink = \
                busy_sink, refusing_sink, stalling_sink, later_sink
            r.restarted_sink, r.quit_sink = restarted_sink, quit_sink
            mail = dict(SmtpFromAddress=FROM, SmtpToAddress=TO)
            # Signing in with OAuth 2.0: the client secret stored encrypted as
            # the configuration program stores it, the certificate imported
            # with its key into the machine's store.
            session.run(["mailfile.exe", "-import", winpath(os.path.join(certs, "client.pfx")), "tallyline"])
            with open(os.path.join(certs, "client.thumbprint")) as f:
                thumbprint = f.read().strip()
            oauth = dict(mail, VerboseLevel=8, SmtpServer="127.0.12.30", SmtpPort=587, SmtpSecurity=STARTTLS,
                         SmtpUser=USER, SmtpTrustedCa=winpath(os.path.join(certs, "ca.pem")), SmtpAuthMethod=1,
                         OAuthTrustedCa=winpath(os.path.join(certs, "ca.pem")),
                         OAuthTokenUrl=tokens.url, OAuthClientId=CLIENT_ID)
            protect = lambda secret: bytes.fromhex(session.run(["mailfile.exe", "-protect", secret]).strip())
            r.oauth_secret = instance(port(), OAuthClientSecret=protect(CLIENT_SECRET), **oauth)
            r.oauth_certificate = instance(port(), OAuthCertificate=thumbprint, **oauth)
            r.oauth_refused = instance(port(), OAuthClientSecret=protect("an expired secret"), **oauth)
            r.streamed = instance(port(), TimestampFormat=1, VerboseLevel=9, BaudRate=115200,
                                  SmtpServer="127.0.5.1", **mail)
            r.unreachable = instance(port(), VerboseLevel=8, SmtpServer=UNREACHABLE, **mail)
            r.two_of_three = instance(port(), VerboseLevel=15, SmtpServer="127.0.5.3",
                                      SmtpToAddress=TO)
            r.paused = instance(port(), VerboseLevel=1)
            r.blocked = instance(port(), VerboseLevel=1)
            r.slow = instance(port(), VerboseLevel=9, SmtpServer="127.0.5.6", **mail)
            # A first file of 1 MB for a server that takes 100,000 bytes.
            r.zipped = instance(port(), VerboseLevel=8, BaudRate=115200, SmtpServer="127.0.5.7",
                                MailAttachment=1, **mail)
            r.too_large = instance(port(), VerboseLevel=8, BaudRate=115200, SmtpServer="127.0.5.7", **mail)
            # Mail that retries, through an outbox.
            retry = dict(mail, VerboseLevel=8, MailRetryHours=1)
            r.retried = instance(port(), SmtpServer="127.0.5.8", **retry)
            r.refused = instance(port(), SmtpServer="127.0.5.9", **retry)
            r.killed = instance(port(), SmtpServer="127.0.5.10", **retry)
            r.waiting = instance(port(), SmtpServer=UNREACHABLE, **retry)
            # Stopped a moment before the first boundary, started after it.
            r.restarted = instance(port(), SmtpServer="127.0.5.12", **retry)
            # Killed while its server holds the answer to QUIT.
            r.quit_killed = instance(port(), SmtpServer="127.0.5.13", **retry)
            outboxes = (r.retried, r.refused, r.killed, r.waiting, r.restarted, r.quit_killed)
            # Faults: fed continuously, a mail server failing the first mail of
            # each, and a port that goes away across the first boundary.
            fed = dict(mail, VerboseLevel=9, BaudRate=115200)
            r.smtp = {}
            for i, fault in enumerate(FAULTS):
                server = fault_servers.enter_context(FailsFirstMail("127.0.13.%d" % (20 + i), fault))
                r.smtp[fault] = (instance(port(), SmtpServer=server.address, **fed), server)
            r.late_server = fault_servers.enter_context(FailsFirstMail("127.0.13.23", "answers_dot_late",
                                                                       late=LATE_DOT_S))
            r.late = instance(port(), SmtpServer="127.0.13.23", **fed)
            r.vanishing_sink = fault_servers.enter_context(AiosmtpdSink("127.0.13.30"))
            r.vanishing = instance(port(), SmtpServer="127.0.13.30", **fed)
            faulty = [inst for inst, _ in r.smtp.values()] + [r.late, r.vanishing]
            # A log that an earlier run of the waiting one left in its outbox.
            r.earlier = "C:\\logs%d\\earlier.log" % r.waiting.n
            with open(r.waiting.unix_path(r.earlier), "wb") as f:
                f.write(b"from an earlier run\r\n")
            leave_in_outbox(session, r.waiting.name, r.earlier)

            # Far enough from a boundary to start every service before it comes.
            if time.time() % 60 > 40:
                sleep_until(time.time() - time.time() % 60 + 61)
            t0 = time.time()
            b1 = t0 - t0 % 60 + 60
            r.boundaries = (b1, b1 + 60)
            r.minutes = [minute_stamp(b1 - 60), minute_stamp(b1), minute_stamp(b1 + 60)]
            # A folder already holds the name of the blocked instance's next file.
            r.blocked_name = r.blocked.log_path()[:-4] + r.minutes[1] + ".log"
            os.makedirs(r.blocked_name)

            r.mark = session.mark()
            for inst in instances:
                inst.start()
            assert time.time() < b1 - 4, "start-up took too long"
            streamer = Streamer(r.streamed.port, r.boundaries)
            streamer.start()
            poller = Poller(r.slow, b1 + 2.5)
            poller.start()
            killer = Killer(r.killed, stalling_sink.recorder.stalled, b1 + 40)
            killer.start()
            quit_killer = Killer(r.quit_killed, quit_sink.recorder.stalled, b1 + 40)
            quit_killer.start()
            restarter = Restarter(r.restarted, b1)
            restarter.start()
            feeder = Feeder([inst.port for inst in faulty])
            feeder.start()
            for inst in outboxes:
                inst.port.send(b"minute one ")
            r.blocked.port.send(b"one ")
            r.paused.port.send(b"before ")
            r.big = call_log(12000)
            r.zipped.port.send(r.big)
            r.too_large.port.send(r.big)

            sleep_until(b1 - 5)
            r.paused_status = r.paused.pause()
            r.paused.port.send(b"during ")
            # The vanishing port's device falls silent first, and what it sent
            # is in the log by then: bytes still inside the virtual cable would
            # go with the port. The log may lag the port by a read, the
            # writer's gathering and a write, longer on a busy machine: it is
            # given until the vanishing.
            sleep_until(b1 - 4)
            feeder.hold(r.vanishing.port)
            while len(_joined(r.vanishing)) < len(feeder.sent[r.vanishing.port.name]):
                assert time.time() < b1 - 1.0, ("the log did not catch up before the port vanished",
                                                 r.vanishing.port.name, len(_joined(r.vanishing)),
                                                 len(feeder.sent[r.vanishing.port.name]))
                time.sleep(0.02)
            sleep_until(b1 - 1.0)
            r.vanishing.port.vanish()
            sleep_until(b1 + 1.5)
            r.vanishing.port.open()
            sleep_until(b1 + 3)
            r.blocked.port.send(b"two ")
            sleep_until(b1 + 5)
            r.resumed_status = r.paused.resume()
            r.paused.port.send(b"after ")
            reopened = '"%s" is open again' % r.vanishing.port.name
            assert session.wait_for_event(lambda e: reopened in e.text, timeout=10,
                                          since=r.mark), "the port was not opened again"
            feeder.release(r.vanishing.port)
            sleep_until(r.boundaries[1] + 3)
            r.paused.port.send(b"next")
            r.blocked.port.send(b"three")
            streamer.done.set()
            streamer.ended.wait(10)
            r.sent = bytes(streamer.sent)
            time.sleep(1.5)
            poller.join(80)
            r.slow_statuses, r.slow_stop_began = poller.statuses, poller.stop_began
            r.failed_queries = poller.failed_queries
            killer.join(60)
            r.killed_process, r.restarted_after_kill = killer.killed, killer.restarted
            quit_killer.join(60)
            r.quit_killed_process, r.restarted_after_quit = quit_killer.killed, quit_killer.restarted
            restarter.join(60)
            r.restarts = (restarter.stopped, restarter.started)
            # The second mail of each faulty instance goes after the second
            # boundary; the one behind a server that answers late waits for it.
            sleep_until(b1 + LATE_DOT_S + 5)
            tags = ["logs%d\\" % inst.n for inst in faulty]
            deadline = time.time() + 30
            while time.time() < deadline and sum(
                    1 for e in session.events_since(r.mark)
                    if "Successfully emailed" in e.text and any(t in e.text for t in tags)) < len(faulty) + 2:
                time.sleep(0.5)
            feeder.done.set()
            feeder.join(10)
            r.fed = feeder.sent
            r.running = {inst.name: inst.query() for inst in faulty}
            deadline = time.time() + 10
            while time.time() < deadline and any(
                    len(_joined(inst)) < len(feeder.sent[inst.port.name]) for inst in faulty):
                time.sleep(0.1)
            # Wine may lose the answer to a stop when the process ends at
            # once: judge the stop by the state it leaves.
            r.final = {inst.name: inst.stop() for inst in instances}
            r.files = {inst.name: _log_files(inst) for inst in instances}
            # What still waits goes at the next start; for the waiting one,
            # once its server is put right.
            r.waiting_at_stop = [text for _, text in r.waiting.outbox()]
            session.run(["reg", "add", r"HKLM\SYSTEM\CurrentControlSet\Services\%s\Parameters" % r.waiting.name,
                         "/v", "SmtpServer", "/t", "REG_SZ", "/d", "127.0.5.11", "/f"])
            # ...and its retries switched off: what waits still goes, once each.
            session.run(["reg", "add", r"HKLM\SYSTEM\CurrentControlSet\Services\%s\Parameters" % r.waiting.name,
                         "/v", "MailRetryHours", "/t", "REG_DWORD", "/d", "0", "/f"])
            r.drained = {inst.name: _drain(session, inst) for inst in outboxes if inst.outbox()}
            r.left = {inst.name: inst.outbox() for inst in outboxes}
            r.events = session.events_since(r.mark)
            yield r
    finally:
        for inst in instances:
            inst.uninstall()
        for p in ports:
            p.close()


def _name(inst, minute):
    return "Quillbox%d%s.log" % (inst.n, minute)


def _windows_path(inst, minute):
    return _path(inst, _name(inst, minute))


def _read(inst, minute):
    return inst.read_log(inst.unix_path(_windows_path(inst, minute)))


def _events_about(run, inst, leave_out=()):
    """The instance's events (by its log folder or name), without its start message."""
    tag = "logs%d\\" % inst.n
    leave_out = ("Starting. Logging",) + tuple(leave_out)
    return [(e.type, e.text) for e in run.events
            if (tag in e.text or inst.name + " " in e.text)
            and not any(words in e.text for words in leave_out)]


def test_minutely_files_hold_every_byte_once_in_order_with_the_right_minute(run):
    inst = run.streamed
    assert run.files[inst.name] == [_name(inst, m) for m in run.minutes]
    contents = [_read(inst, m) for m in run.minutes]
    # Stamps removed, the files in order are exactly what the port delivered.
    assert STAMP.sub(b"", b"".join(contents)) == run.sent
    assert len(run.sent) > 3000
    for minute, data in zip(run.minutes, contents):
        stamps = STAMP.findall(data)
        assert stamps
        hour, min_ = int(minute[8:10]), int(minute[10:12])
        for h, m, s in stamps:
            # Within the file's minute, however late the swap.
            assert (int(h), int(m)) == (hour, min_), (minute, h, m, s)
    # Each rotation cut the slow line: it continues, unstamped, in the next file.
    for before, after in zip(contents, contents[1:]):
        assert not before.endswith(b"\r\n") and not STAMP.match(after)
        line = before[before.rindex(b"slow line"):] + after[:after.index(b"\r\n") + 2]
        assert re.fullmatch(rb"slow line across the boundary (\d+ )*end\r\n", line), line


def test_each_closed_file_is_mailed_once_in_order_with_a_success_event(run):
    inst = run.streamed
    closed = run.minutes[:2]                  # the file open at the stop is not mailed
    assert len(run.sink.messages) == 2
    for minute, envelope in zip(closed, run.sink.messages):
        assert envelope.mail_from == FROM and envelope.rcpt_tos == [TO]
        message = email.message_from_bytes(envelope.original_content,
                                           policy=email.policy.compat32)
        assert message["Subject"] == "Tallyline Log File " + _name(inst, minute)
        attachment = message.get_payload()[1]
        assert attachment.get_filename() == _name(inst, minute)
        assert attachment.get_payload(decode=True) == _read(inst, minute)
    assert _events_about(run, inst, leave_out=["Stopping"]) == [
        (INFORMATION, "Successfully emailed logfile " + _windows_path(inst, m)) for m in closed]


def test_an_unreachable_server_gives_one_error_per_rotation_with_the_reason(run):
    inst = run.unreachable
    assert run.files[inst.name] == [_name(inst, m) for m in run.minutes]
    assert _events_about(run, inst) == [
        (ERROR, "Failed to email logfile %s (reason: 2)" % _windows_path(inst, m))
        for m in run.minutes[:2]]


def test_two_of_three_mail_values_rotate_but_mail_and_report_nothing(run):
    inst = run.two_of_three
    assert run.files[inst.name] == [_name(inst, m) for m in run.minutes]
    assert run.unused_sink.messages == []
    assert [t for _, t in _events_about(run, inst) if "mail" in t] == []


def test_a_pause_across_a_boundary_rotates_at_the_continue(run):
    inst = run.paused
    assert run.paused_status["state"] == PAUSED and run.resumed_status["state"] == RUNNING
    # The boundary that passed while paused is made up at the continue, once;
    # the reader went on during the pause, so what came then goes by the time
    # it came: before the boundary.
    assert run.files[inst.name] == [_name(inst, m) for m in run.minutes]
    assert _read(inst, run.minutes[0]) == b"before during "
    assert _read(inst, run.minutes[1]) == b"after "
    assert _read(inst, run.minutes[2]) == b"next"


def test_a_next_file_that_cannot_be_opened_keeps_every_byte_in_the_previous(run):
    inst = run.blocked
    assert os.path.isdir(run.blocked_name)
    assert run.files[inst.name] == [_name(inst, run.minutes[0]), _name(inst, run.minutes[2])]
    assert _read(inst, run.minutes[0]) == b"one two "
    assert _read(inst, run.minutes[2]) == b"three"
    errors = [t for kind, t in _events_about(run, inst) if kind == ERROR]
    assert len(errors) == 1
    assert re.fullmatch(r'Could not open the next log file "%s" \(error \d+\); logging continues '
                        r'in "%s"' % (re.escape(_windows_path(inst, run.minutes[1])),
                                      re.escape(_windows_path(inst, run.minutes[0]))), errors[0])


def test_a_stop_during_a_slow_mail_is_pending_until_the_mail_ends(run):
    inst = run.slow
    statuses = [s for _, s in run.slow_statuses]
    assert len(run.failed_queries) <= 2, run.failed_queries
    first = statuses[0]
    # The handler answered at once, with a stop pending.
    assert first["state"] == STOP_PENDING and first["checkpoint"] >= 1 and first["waithint"] > 0
    pending = [s for s in statuses if s["state"] == STOP_PENDING]
    checkpoints = [s["checkpoint"] for s in pending]
    assert checkpoints == sorted(checkpoints) and checkpoints[-1] >= checkpoints[0] + 3
    assert all(s["waithint"] > 0 for s in pending)
    last_time, last = run.slow_statuses[-1]
    assert last == {"state": STOPPED, "checkpoint": 0, "waithint": 0, "exit": 0, "specific": 0}
    # Stopped only after the slow server had accepted the mail.
    assert len(run.slow_sink.messages) == 1
    assert last_time >= run.slow_sink.recorder.accepted_at[0]
    assert last_time - run.slow_stop_began < 30
    assert _events_about(run, inst) == [
        (INFORMATION, "Successfully emailed logfile " + _windows_path(inst, run.minutes[0])),
        (INFORMATION, "%s Stopping" % inst.name)]
    assert run.files[inst.name] == [_name(inst, m) for m in run.minutes[:2]]


def test_a_log_too_large_for_the_server_goes_zipped_in_parts_or_fails_with_7(run):
    zipped, refused = run.zipped, run.too_large
    assert _read(zipped, run.minutes[0]) == _read(refused, run.minutes[0]) == run.big
    messages = [unzipped(e.original_content) for e in run.limited_sink.messages]
    first = [m for m in messages if _name(zipped, run.minutes[0]) in m[0]]
    assert len(first) >= 2
    assert b"".join(m[4] for m in first) == run.big
    # The empty second files fit as they are; the first of too_large never went.
    assert len(messages) == len(first) + 2
    assert not any(_name(refused, run.minutes[0]) in m[0] for m in messages)
    assert _events_about(run, zipped) == [
        (INFORMATION, "Successfully emailed logfile %s in %d parts" % (_windows_path(zipped, run.minutes[0]),
                                                                     len(first))),
        (INFORMATION, "Successfully emailed logfile " + _windows_path(zipped, run.minutes[1]))]
    assert _events_about(run, refused) == [
        (ERROR, "Failed to email logfile %s (reason: 7)" % _windows_path(refused, run.minutes[0])),
        (INFORMATION, "Successfully emailed logfile " + _windows_path(refused, run.minutes[1]))]


def test_oauth_instances_mail_each_closed_file_with_one_token_or_say_why_they_cannot(run):
    mailed = {}
    for envelope in run.oauth_sink.messages:
        attachment = email.message_from_bytes(envelope.original_content, policy=email.policy.compat32).get_payload()[1]
        mailed[attachment.get_filename()] = attachment.get_payload(decode=True)
    for inst in (run.oauth_secret, run.oauth_certificate):
        for minute in run.minutes[:2]:
            assert mailed.get(_name(inst, minute)) == _read(inst, minute), (sorted(mailed), _events_about(run, inst))
        assert _events_about(run, inst) == [
            (INFORMATION, "Successfully emailed logfile " + _windows_path(inst, m)) for m in run.minutes[:2]]
    assert len(mailed) == 4 and all(accepted for _, _, accepted in run.oauth_sink.recorder.xoauth2)
    # One token request of each instance served both of its mails; the
    # refused one asked again at its second mail.
    forms = [form for _, form in run.tokens.requests]
    assert sum("client_assertion" in form for form in forms) == 1
    assert sorted(form["client_secret"] for form in forms if "client_secret" in form) == \
        sorted(["an expired secret", "an expired secret", CLIENT_SECRET])
    assert _events_about(run, run.oauth_refused) == [
        (ERROR, "Failed to email logfile %s (reason: 8, access token not obtained: invalid_client: AADSTS7000215: "
                "Invalid client secret provided. Ensure the secret being sent in the request is the client secret "
                "value, not the client secret ID.)" % _windows_path(run.oauth_refused, m)) for m in run.minutes[:2]]


def test_every_instance_stopped_cleanly(run):
    assert all(status["state"] == STOPPED and status["exit"] == 0
               for status in run.final.values()), run.final


def _mailed(sink):
    """(attachment name, bytes) of each message a sink took, in order."""
    attachments = [email.message_from_bytes(e.original_content, policy=email.policy.compat32).get_payload()[1]
                   for e in sink.messages]
    return [(a.get_filename(), a.get_payload(decode=True)) for a in attachments]


def _until(text):
    return re.sub(r"until \d{4}-\d\d-\d\d \d\d:\d\d$", "until T", text)


def _finished(run, inst):
    """The minutes whose files an instance with retries finished: the two
    closed by rotations, and the one open at the stop once a start after its
    minute (the drain) found it."""
    return run.minutes[:2] + (run.minutes[2:] if inst.name in run.drained else [])


def test_mail_that_retries_gets_every_finished_file_there_once_in_order_whatever_befalls_it(run):
    """A server busy at first (421), a process killed in the middle of a mail,
    a server unreachable until after a stop and then mailed to with retries
    switched off: each file arrives, in order; only the mail the kill
    interrupted before the server took it arrives twice. The logs stay on
    disk."""
    assert all(status["state"] == STOPPED for status in run.drained.values()), run.drained
    assert run.left == {inst.name: [] for inst in (run.retried, run.refused, run.killed, run.waiting, run.restarted,
                                                    run.quit_killed)}
    for inst, sink in ((run.retried, run.busy_sink), (run.killed, run.stalling_sink)):
        expected = [(_name(inst, m), _read(inst, m)) for m in _finished(run, inst)]
        if inst is run.killed:
            expected.insert(0, expected[0])
        assert _mailed(sink) == expected, inst.name
    # Retried while it ran, or after the drain's start: either way once.
    closed = _finished(run, run.retried)
    assert [_until(t) for _, t in _events_about(run, run.retried, leave_out=["waiting to be mailed"])] == [
        "Failed to email logfile %s (reason: 3); it will be tried again until T" % _windows_path(run.retried, closed[0]),
        "Successfully emailed logfile %s (tries: 2)" % _windows_path(run.retried, closed[0])] + [
        "Successfully emailed logfile %s" % _windows_path(run.retried, m) for m in closed[1:]]
    assert "killed" in run.killed_process and run.restarted_after_kill["state"] == RUNNING
    events = _events_about(run, run.killed)
    assert events[0] == (INFORMATION, "%s has 1 finished log(s) waiting to be mailed" % run.killed.name)
    assert [e for e in events[1:] if "waiting to be mailed" not in e[1]] == [
        (INFORMATION, "Successfully emailed logfile " + _windows_path(run.killed, m))
        for m in _finished(run, run.killed)]

    # Retries off at the drain: the three left waiting, and the file open at
    # the stop, whose minute had passed, go once each.
    inst = run.waiting
    closed = run.minutes
    assert inst.name in run.drained
    assert [t[t.index(" path=") + 6:] for t in run.waiting_at_stop] == \
        [run.earlier] + [_windows_path(inst, m) for m in closed[:2]]
    assert _mailed(run.later_sink) == [("earlier.log", b"from an earlier run\r\n")] + [
        (_name(inst, m), _read(inst, m)) for m in closed]
    events = [_until(t) for _, t in _events_about(run, inst)]
    assert events[:3] == [
        "%s has 1 finished log(s) waiting to be mailed" % inst.name,
        "Failed to email logfile %s (reason: 2); it will be tried again until T" % run.earlier,
        "%s has 4 finished log(s) waiting to be mailed" % inst.name]
    # Only the oldest was tried while the server was away: the queue waited.
    assert re.fullmatch(r"Successfully emailed logfile %s \(tries: [23]\)" % re.escape(run.earlier), events[3])
    assert events[4:] == ["Successfully emailed logfile " + _windows_path(inst, m) for m in closed]


def test_a_log_open_at_a_stop_or_taken_before_a_kill_is_mailed_exactly_once(run):
    """Stopped before a boundary and started after it: the log that was open
    goes at the start. Killed while the server held its answer to QUIT: the
    log it had taken is not sent again."""
    inst = run.restarted
    assert run.restarts[0]["state"] == STOPPED and run.restarts[1]["state"] == RUNNING
    assert run.files[inst.name] == [_name(inst, m) for m in run.minutes]
    assert _read(inst, run.minutes[0]) == b"minute one "
    assert _mailed(run.restarted_sink) == [(_name(inst, m), _read(inst, m)) for m in _finished(run, inst)]
    events = _events_about(run, inst)
    assert events[0] == (INFORMATION, "%s has 1 finished log(s) waiting to be mailed" % inst.name)
    assert [e for e in events[1:] if "waiting to be mailed" not in e[1]] == [
        (INFORMATION, "Successfully emailed logfile " + _windows_path(inst, m)) for m in _finished(run, inst)]
    inst = run.quit_killed
    assert "killed" in run.quit_killed_process and run.restarted_after_quit["state"] == RUNNING
    assert run.quit_sink.recorder.stalled.is_set()
    assert _mailed(run.quit_sink) == [(_name(inst, m), _read(inst, m)) for m in _finished(run, inst)]
    assert _events_about(run, inst, leave_out=["waiting to be mailed"]) == [
        (INFORMATION, "Successfully emailed logfile " + _windows_path(inst, m)) for m in _finished(run, inst)]


def test_a_file_the_server_refuses_for_good_is_given_up_at_once_and_the_next_is_still_mailed(run):
    inst = run.refused
    mailed = _finished(run, inst)[1:]
    assert _mailed(run.refusing_sink) == [(_name(inst, m), _read(inst, m)) for m in mailed]
    assert _read(inst, run.minutes[0]) == b"minute one "
    assert _events_about(run, inst, leave_out=["waiting to be mailed"]) == [
        (ERROR, "Gave up emailing logfile %s (reason: 3, tries: 1): the server refused it"
                % _windows_path(inst, run.minutes[0]))] + [
        (INFORMATION, "Successfully emailed logfile " + _windows_path(inst, m)) for m in mailed]


def test_a_server_that_answers_a_message_after_a_minute_gets_it_once_and_no_failure_is_reported(run):
    inst = run.late
    assert run.final[inst.name]["state"] == STOPPED and run.final[inst.name]["exit"] == 0
    files = _files(inst)
    assert len(files) >= 3, files
    assert _joined(inst) == bytes(run.fed[inst.port.name])
    closed = files[:-1]
    assert _port_events(run, inst) == [
        (INFORMATION, "Successfully emailed logfile " + _path(inst, name)) for name in closed]
    folder = os.path.dirname(inst.log_path())
    assert [email.message_from_bytes(m, policy=email.policy.compat32).get_payload()[1].get_filename()
            for m in run.late_server.messages] == closed
    assert all(email.message_from_bytes(m, policy=email.policy.compat32).get_payload()[1].get_payload(decode=True) ==
               open(os.path.join(folder, name), "rb").read() for name, m in zip(closed, run.late_server.messages))


def _files(inst):
    folder = os.path.dirname(inst.log_path())
    return sorted(f for f in os.listdir(folder) if f.endswith(".log"))


def _joined(inst):
    folder = os.path.dirname(inst.log_path())
    return b"".join(open(os.path.join(folder, f), "rb").read() for f in _files(inst))


def _path(inst, name):
    return "C:\\logs%d\\%s" % (inst.n, name)


def _port_events(run, inst):
    """The instance's events (by its log folder or port), without its start message."""
    tag = "logs%d\\" % inst.n
    return [(e.type, e.text) for e in run.events
            if (tag in e.text or '"%s"' % inst.port.name in e.text) and "Starting. Logging" not in e.text]


@pytest.mark.parametrize("fault", FAULTS)
def test_a_failed_mail_is_reported_once_and_the_next_mail_goes_out(run, fault):
    inst, server = run.smtp[fault]
    assert run.running[inst.name]["state"] == RUNNING
    assert run.final[inst.name]["state"] == STOPPED and run.final[inst.name]["exit"] == 0
    files = _files(inst)
    assert len(files) >= 3, files
    assert _joined(inst) == bytes(run.fed[inst.port.name])
    closed = files[:-1]
    assert _port_events(run, inst) == (
        [(ERROR, "Failed to email logfile %s (reason: 3)" % _path(inst, closed[0]))] +
        [(INFORMATION, "Successfully emailed logfile " + _path(inst, name)) for name in closed[1:]])
    assert server.fault_done.is_set()
    # The mails after the fault arrive whole.
    assert len(server.messages) == len(closed) - 1
    folder = os.path.dirname(inst.log_path())
    for name, message in zip(closed[1:], server.messages):
        attachment = email.message_from_bytes(message, policy=email.policy.compat32).get_payload()[1]
        assert attachment.get_filename() == name
        with open(os.path.join(folder, name), "rb") as f:
            assert attachment.get_payload(decode=True) == f.read()


def test_a_port_gone_across_a_rotation_loses_nothing_and_is_reported_once_each_way(run):
    inst = run.vanishing
    assert run.running[inst.name]["state"] == RUNNING
    assert run.final[inst.name]["state"] == STOPPED and run.final[inst.name]["exit"] == 0
    files = _files(inst)
    # The rotation came while the port was away: the file of the minute
    # before it holds what came before, the next one what came after.
    assert files[:2] == ["Quillbox%d%s.log" % (inst.n, m) for m in run.minutes[:2]]
    assert _joined(inst) == bytes(run.fed[inst.port.name])
    first = open(os.path.join(os.path.dirname(inst.log_path()), files[0]), "rb").read()
    assert first and first.endswith(b"\r\n")
    port = inst.port.name
    events = _port_events(run, inst)
    failed = [e for e in events if e[0] == ERROR]
    assert len(failed) == 1 and re.fullmatch(
        r'Reading from "%s" failed \(error \d+\); trying to reopen the port' % port, failed[0][1])
    assert [e for e in events if "open again" in e[1]] == [
        (INFORMATION, '"%s" is open again; capture continues' % port)]
    mails = [e for e in events if "emailed" in e[1]]
    assert mails == [(INFORMATION, "Successfully emailed logfile " + _path(inst, name))
                     for name in files[:-1]]
