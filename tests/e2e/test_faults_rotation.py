"""Faults around a rotation, under the real Service Control Manager: SMTP
servers that fail the first mail in four ways, and a port that vanishes in
the second before a rotation and returns after it.

One run serves all: the instances start together and live through two
minute boundaries side by side, each fed continuously, each playing one
fault; the tests then check what each left behind. In every case the
service keeps running, reports the fault once and the recovery once (the
next mail sent, the port open again), and every byte that reached the port
is in the files, once and in order."""

import email
import email.policy
import os
import re
import shutil
import socket
import threading
import time

import pytest

import conftest
from harness import Instance, VirtualPort
from harness.events import ERROR, INFORMATION
from harness.instance import RUNNING, STOPPED
from smtpsink import AiosmtpdSink, ScriptedServer

FROM, TO = "tallyline@plant.example", "faults@plant.example"
REPLY_TIMEOUT_S = 60        # the mailer's wait for a reply (MailReplyTimeoutMs)


class FailsFirstMail(ScriptedServer):
    """An SMTP server whose first connection fails in the way named, and
    whose later connections take their mail normally.
      closes_after_354: the connection is closed right after "354".
      closes_in_attachment: closed after some 2,000 bytes of the message.
      never_answers_dot: the whole message is read, the final "." never answered.
      refuses_at_connect: "421" as the greeting, then closed."""

    def __init__(self, address, fault):
        super().__init__(address)
        self.fault = fault
        self.fault_done = threading.Event()

    def _talk(self, sock):
        if self.connections > 1:
            return super()._talk(sock)
        try:
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


FAULTS = ["closes_after_354", "closes_in_attachment", "never_answers_dot", "refuses_at_connect"]


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


def sleep_until(t):
    delay = t - time.time()
    if delay > 0:
        time.sleep(delay)


def minute_stamp(t):
    return time.strftime("%Y%m%d%H%M", time.localtime(t))


class Run:
    pass


@pytest.fixture(scope="module")
def run(_shared_session, workdir):
    session = conftest._session_holder["session"]
    r = Run()
    ports, instances, servers = [], [], []

    def instance(**values):
        port = VirtualPort(session, next(conftest._port_numbers), os.path.join(workdir, "ports")).open()
        ports.append(port)
        number = next(conftest._instance_numbers)
        shutil.rmtree(session.c_drive("logs%d" % number), ignore_errors=True)
        os.makedirs(session.c_drive("logs%d" % number))
        inst = Instance(session, number, PortName=port.name, LogRotation=5, VerboseLevel=9,
                        BaudRate=115200, SmtpFromAddress=FROM, SmtpToAddress=TO,
                        LogFilename="C:\\logs%d\\Quillbox%d.log" % (number, number), **values).install()
        inst.port = port
        instances.append(inst)
        return inst

    try:
        for i, fault in enumerate(FAULTS):
            servers.append(FailsFirstMail("127.0.13.%d" % (20 + i), fault).__enter__())
        sink = AiosmtpdSink("127.0.13.30").__enter__()
        servers.append(sink)
        r.sink = sink
        r.smtp = {fault: (instance(SmtpServer="127.0.13.%d" % (20 + i)), servers[i])
                  for i, fault in enumerate(FAULTS)}
        r.vanishing = instance(SmtpServer="127.0.13.30")

        # Far enough from a boundary to start the services before it comes.
        now = time.time()
        if now % 60 > 40:
            sleep_until(now - now % 60 + 61)
        now = time.time()
        b1 = now - now % 60 + 60
        r.minutes = [minute_stamp(b1 - 60), minute_stamp(b1)]
        r.mark = session.mark()
        for inst in instances:
            inst.start()
        feeder = Feeder(ports)
        feeder.start()

        # The port vanishes in the second before the rotation, returns after
        # it. Its device falls silent first, and what it sent is in the log
        # by then: bytes still inside the virtual cable would go with it. The
        # log may lag the port by a read, the writer's gathering and a write,
        # longer on a busy machine: it is given until the vanishing.
        sleep_until(b1 - 4)
        feeder.hold(r.vanishing.port)
        while len(_joined(r.vanishing)) < len(feeder.sent[r.vanishing.port.name]):
            assert time.time() < b1 - 1.0, ("the log did not catch up before the port vanished",
                                             r.vanishing.port.name, len(_joined(r.vanishing)),
                                             len(feeder.sent[r.vanishing.port.name]),
                                             _joined(r.vanishing)[-200:], bytes(feeder.sent[r.vanishing.port.name][-200:]))
            time.sleep(0.02)
        sleep_until(b1 - 1.0)
        r.vanishing.port.vanish()
        sleep_until(b1 + 1.5)
        r.vanishing.port.open()
        assert session.wait_for_event(lambda e: "is open again" in e.text, timeout=10,
                                      since=r.mark), "the port was not opened again"
        feeder.release(r.vanishing.port)

        # The second mail of each instance goes after the second boundary; the
        # one behind a server that never answered waits for its time-out.
        sleep_until(b1 + REPLY_TIMEOUT_S + 8)
        deadline = time.time() + 30
        while time.time() < deadline and sum(
                1 for e in session.events_since(r.mark) if "Successfully emailed" in e.text) < 6:
            time.sleep(0.5)
        feeder.done.set()
        feeder.join(10)
        r.sent = feeder.sent
        r.running = {inst.name: inst.query() for inst in instances}
        deadline = time.time() + 10
        while time.time() < deadline and any(
                len(_joined(inst)) < len(feeder.sent[inst.port.name]) for inst in instances):
            time.sleep(0.1)
        r.final = {inst.name: inst.stop() for inst in instances}
        r.events = session.events_since(r.mark)
        yield r
    finally:
        for inst in instances:
            inst.uninstall()
        for p in ports:
            p.close()
        for s in servers:
            s.__exit__(None, None, None)


def _files(inst):
    folder = os.path.dirname(inst.log_path())
    return sorted(f for f in os.listdir(folder) if f.endswith(".log"))


def _joined(inst):
    folder = os.path.dirname(inst.log_path())
    return b"".join(open(os.path.join(folder, f), "rb").read() for f in _files(inst))


def _path(inst, name):
    return "C:\\logs%d\\%s" % (inst.n, name)


def _events_about(run, inst):
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
    assert _joined(inst) == bytes(run.sent[inst.port.name])
    closed = files[:-1]
    assert _events_about(run, inst) == (
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
    assert files[:2] == ["Quillbox%d%s.log" % (inst.n, m) for m in run.minutes]
    assert _joined(inst) == bytes(run.sent[inst.port.name])
    first = open(os.path.join(os.path.dirname(inst.log_path()), files[0]), "rb").read()
    assert first and first.endswith(b"\r\n")
    port = inst.port.name
    events = _events_about(run, inst)
    failed = [e for e in events if e[0] == ERROR]
    assert len(failed) == 1 and re.fullmatch(
        r'Reading from "%s" failed \(error \d+\); trying to reopen the port' % port, failed[0][1])
    assert [e for e in events if "open again" in e[1]] == [
        (INFORMATION, '"%s" is open again; capture continues' % port)]
    mails = [e for e in events if "emailed" in e[1]]
    assert mails == [(INFORMATION, "Successfully emailed logfile " + _path(inst, name))
                     for name in files[:-1]]
