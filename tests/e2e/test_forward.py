"""Forwarding to a real collector: Debian's rsyslogd on loopback, through the
real service under Wine. Every line arrives exactly, in order, with every
field, over TCP, TLS (a private CA) and UDP; a collector away for a minute
while lines are captured, and a service restart meanwhile, lose nothing."""
import os
import re
import threading
import time

from harness import VirtualPort
from harness.collector import SyslogCollector
from harness.events import ERROR, INFORMATION
from tlssink import certificates, windows_path

STAMP = re.compile(rb"(\d{4})-(\d\d)-(\d\d) (\d\d:\d\d:\d\d\.\d{3}): ")


def ports(wine, workdir, first, count):
    return [VirtualPort(wine, first + i, os.path.join(workdir, "ports")).open() for i in range(count)]


def of(received, inst):
    return [m for m in received if m[4] == inst.name.encode()]


def test_lines_reach_rsyslog_over_tcp_tls_and_udp_with_every_field(wine_factory, workdir, instance):
    # Berlin in December is an hour east of UTC: the offset must say so.
    wine = wine_factory(tz="Europe/Berlin")
    certs = certificates(os.path.join(workdir, "forward-certs"))
    folder = os.path.join(workdir, "collectors")
    plain = SyslogCollector(os.path.join(folder, "plain"), 10514, "127.0.14.1", udp_port=10515).start()
    secure = SyslogCollector(os.path.join(folder, "tls"), 6514, "127.0.12.39",
                             tls=[os.path.join(certs, n) for n in ("ca.pem", "server.pem", "server.key")]).start()
    com = ports(wine, workdir, 40, 4)
    try:
        stamped = instance(session=wine, PortName=com[0].name, TimestampFormat=1, ForwardFacility=17,
                           ForwardTo="tcp://127.0.14.1:10514")
        tls = instance(session=wine, PortName=com[1].name, ForwardTo="tls://127.0.12.39:6514",
                       ForwardTrustedCa=windows_path(certs, "ca.pem"))
        udp = instance(session=wine, PortName=com[2].name, ForwardTo="UDP://127.0.14.1:10515")
        untrusted = instance(session=wine, PortName=com[3].name, ForwardTo="tls://127.0.12.39:6514")
        for inst in (stamped, tls, udp, untrusted):
            inst.start()
        long_line = b"".join(b"%05d," % i for i in range(1000))
        com[0].send(b"00001 EXT 204  TRUNK 01  OUT 0161973069\r\n\r\n" + long_line + b"\r\nlast|line\r\n")
        com[1].send(b"over TLS\r\nwithout stamps\n")
        com[2].send(b"over UDP\r\n")
        com[3].send(b"never sent\r\n")
        got = plain.wait_for(0, msg=b"last|line")
        secure.wait_for(2)
        plain.wait_for(0, msg=b"over UDP")
        # The long line in pieces that join to it, each within the limit.
        lines = of(got, stamped)
        assert [m[6] for m in lines[1:-1]] and b"".join(m[6] for m in lines[1:-1]) == long_line
        assert [m[6] for m in (lines[0], lines[-1])] == [b"00001 EXT 204  TRUNK 01  OUT 0161973069", b"last|line"]
        log = stamped.read_log()
        stamps = [b"%s-%s-%sT%s+01:00" % m.groups() for m in STAMP.finditer(log)]
        assert [m[1] for m in lines] == [stamps[0]] + [stamps[2]] * (len(lines) - 2) + [stamps[3]]
        assert {(m[0], m[3]) for m in lines} == {(b"142", b"Tallyline")}
        assert lines[0][2] not in (b"", b"-")
        now = time.strftime("%Y-%m-%dT").encode()
        assert [(m[0], m[6]) for m in of(secure.received(), tls)] == \
            [(b"134", b"over TLS"), (b"134", b"without stamps")]
        assert all(m[1].startswith(now) for m in of(secure.received(), tls))
        assert [m[6] for m in of(plain.received(), udp)] == [b"over UDP"]
        assert not of(secure.received(), untrusted)
        assert wine.wait_for_event(lambda e: e.type == ERROR and e.text.startswith(
            "Forwarding to tls://127.0.12.39:6514 failed: the collector's certificate was refused: its chain is "
            "incomplete: the certificate of \"CN=Tallyline Test CA\" is neither sent"))
        for inst in (stamped, tls, udp, untrusted):
            inst.stop()
    finally:
        plain.stop()
        secure.stop()
        for p in com:
            p.close()


def test_a_collector_away_for_a_minute_and_a_restart_meanwhile_lose_no_line(wine, workdir, instance):
    collector = SyslogCollector(os.path.join(workdir, "collectors", "outage"), 10516, "127.0.14.2").start()
    com = ports(wine, workdir, 44, 1)[0]
    sent, stop = [], threading.Event()

    def device():
        # Ten lines a second, numbered, for as long as the test runs.
        while not stop.is_set():
            line = b"line %05d" % (len(sent) + 1)
            com.send(line + b"\r\n")
            sent.append(line)
            time.sleep(0.1)

    inst = instance(PortName=com.name, TimestampFormat=1, ForwardTo="tcp://127.0.14.2:10516")
    inst.start()
    feeder = threading.Thread(target=device)
    feeder.start()
    try:
        time.sleep(3)
        collector.stop()
        time.sleep(27)
        inst.stop()
        inst.start()
        time.sleep(30)
        collector.start()
        time.sleep(5)
        stop.set()
        feeder.join()
        got = [m[6] for m in collector.wait_for(0, timeout=60, msg=sent[-1])]
        first_seen = list(dict.fromkeys(got))
        assert first_seen == sent
        repeated = len(got) - len(sent)
        assert all(got.count(line) <= 2 for line in first_seen)
        # Only a collector's last second or so comes twice.
        assert repeated <= 20, repeated
        reports = [(e.type, e.text) for e in wine.events() if e.text.startswith("Forwarding to tcp://127.0.14.2")]
        assert reports[0][0] == ERROR and "it cannot be reached" in reports[0][1]
        assert reports[-1][0] == INFORMATION and re.match(r".* works again; \d+ lines were caught up$", reports[-1][1])
        inst.stop()
    finally:
        stop.set()
        collector.stop()
        com.close()
