"""Network sources through the real service under Wine, against real peers on
loopback: ser2net exporting a pseudo-terminal as raw TCP and as RFC 2217,
pyserial's RFC 2217 server checking the negotiation, an exchange that connects
and pushes, datagrams. Each run starts every instance at once."""

import os
import re
import socket
import termios
import time

from harness.events import ERROR, INFORMATION, WARNING
from harness.instance import STOPPED
from harness.peers import Exchange, Rfc2217Server, Ser2net, free_port, send_datagram
from test_service import wait_for_log

STAMP = rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}: "
EVERY_BYTE = bytes(range(256))


def stamped(data, line_start=True):
    """A pattern of data as the log holds it with stamps: one before the
    first byte of each line that is not a line feed; a CR ends a line."""
    pattern = b""
    for b in data:
        c = bytes([b])
        if line_start and c != b"\n":
            pattern += STAMP
            line_start = False
        pattern += re.escape(c)
        if c == b"\r":
            line_start = True
    return pattern


def speed_of(tty):
    fd = os.open(tty, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return termios.tcgetattr(fd)[4]
    finally:
        os.close(fd)


def test_every_kind_captures_every_byte_from_real_peers(wine, instance, workdir, port_factory):
    peers = workdir + "/peers"
    raw_tty, telnet_tty = port_factory(), port_factory()
    raw = Ser2net(peers, free_port(), raw_tty.windows_end).start()
    telnet = Ser2net(peers, free_port(), telnet_tty.windows_end, rfc2217=True).start()
    checker = Rfc2217Server(free_port())
    listen_port, udp_port = free_port(), free_port()
    mark = wine.mark()
    tcp = instance(Source="socket://127.0.0.1:%d" % raw.port, VerboseLevel=3)
    rfc = instance(Source="rfc2217://127.0.0.1:%d" % telnet.port, BaudRate=19200)
    negotiated = instance(Source="rfc2217://localhost:%d" % checker.listener.getsockname()[1],
                          BaudRate=115200, ByteSize=7, Parity=2, StopBits=2)
    pushed = instance(Source="listen://127.0.0.1:%d" % listen_port, AllowedSenders="127.0.0.1, 127.0.0.2",
                      TimestampFormat=1)
    datagrams = instance(Source="udp://:%d" % udp_port, AllowedSenders="127.0.0.0/30")
    for inst in (tcp, rfc, negotiated, pushed, datagrams):
        inst.start()
    try:
        # Raw TCP and RFC 2217 through ser2net: 0xFF doubled on the wire, one byte in the log.
        time.sleep(1)
        raw_tty.send(EVERY_BYTE * 4)
        telnet_tty.send(EVERY_BYTE * 4)
        assert wait_for_log(tcp, 1024) == EVERY_BYTE * 4
        assert wait_for_log(rfc, 1024) == EVERY_BYTE * 4
        # ser2net set its port to the instance's speed.
        assert speed_of(telnet_tty.windows_end) == termios.B19200

        # pyserial's server saw the settings asked for, then sends through its escaping.
        deadline = time.time() + 10
        while (checker.manager is None or checker.serial.baudrate != 115200) and time.time() < deadline:
            time.sleep(0.1)
        assert (checker.serial.baudrate, checker.serial.bytesize, checker.serial.parity,
                checker.serial.stopbits) == (115200, 7, "E", 2)
        checker.send(EVERY_BYTE * 2)
        assert wait_for_log(negotiated, 512) == EVERY_BYTE * 2

        # An exchange that pushes; its reconnection after an outage leaves the
        # old connection open and must win. A stranger is refused.
        first = Exchange(listen_port)
        first.send(b"first part")
        wait_for_log(pushed, 25 + 10)
        second = Exchange(listen_port, source="127.0.0.2")
        second.send(EVERY_BYTE)
        expected = STAMP + b"first part" + stamped(EVERY_BYTE)
        log = wait_for_log(pushed, 25 * 4 + 10 + 256)
        assert re.fullmatch(expected, log, re.S), log
        first.send(b"replaced")
        Exchange(listen_port, source="127.0.0.9").send(b"intruder")
        time.sleep(1)
        assert pushed.read_log() == log

        # Datagrams, whole and in order; one from outside the range is refused.
        for i in range(4):
            send_datagram(udp_port, EVERY_BYTE[i * 64:] + EVERY_BYTE[:i * 64])
        send_datagram(udp_port, b"intruder", source="127.0.0.7")
        assert wait_for_log(datagrams, 1024) == b"".join(EVERY_BYTE[i * 64:] + EVERY_BYTE[:i * 64]
                                                         for i in range(4))

        # The device server goes away and comes back: reported once each way,
        # reconnected by itself.
        raw.stop()
        assert wine.wait_for_event(lambda e: e.text.startswith('The connection to "tcp 127.0.0.1:%d" was'
                                                               % raw.port), since=mark)
        time.sleep(2.5)   # tries fail meanwhile, unreported
        raw.start()
        assert wine.wait_for_event(lambda e: e.text == 'Connected to "tcp 127.0.0.1:%d" again; capture continues'
                                   % raw.port, timeout=20, since=mark)
        raw_tty.send(b"back")
        assert wait_for_log(tcp, 1028)[1024:] == b"back"
    finally:
        for inst in (tcp, rfc, negotiated, pushed, datagrams):
            inst.stop()
        raw.stop()
        telnet.stop()
        checker.close()
    events = wine.events_since(mark)
    refused = [e for e in events if " was refused: the address is not in AllowedSenders" in e.text]
    assert sorted((e.type, e.text.split(" to ")[0]) for e in refused) == [
        (WARNING, "A connection from 127.0.0.9"), (WARNING, "A datagram from 127.0.0.7")]
    assert [e.text for e in events if e.type == ERROR and str(raw.port) in e.text] == [
        'The connection to "tcp 127.0.0.1:%d" was closed by the other side; connecting again' % raw.port]
    assert (INFORMATION, "%s Starting. Logging tcp 127.0.0.1:%d to %s" % (
        tcp.name, raw.port, tcp.values["LogFilename"])) in [(e.type, e.text) for e in events]


def test_silence_while_disconnected_and_sources_that_cannot_start(wine, instance):
    nobody = free_port()
    mark = wine.mark()
    waiting = instance(Source="socket://127.0.0.1:%d" % nobody, Timeout=2, VerboseLevel=7, TimestampFormat=1)
    malformed = instance(Source="tcp://pbx:1752")
    waiting.start()
    status = malformed.start(wait_state=STOPPED)
    assert (status["exit"], status["specific"]) == (1066, 2)
    warning = "%s has not received data for 2 seconds (TIMED OUT)" % waiting.name
    assert wine.wait_for_event(lambda e: e.text == warning, since=mark)
    with socket.create_server(("127.0.0.1", nobody)) as server:
        server.settimeout(20)
        device, _ = server.accept()
        device.sendall(b"alive\r\n")
        wait_for_log(waiting, 25 + 7)
        # Pause, continue and stop keep every byte, as for a COM port.
        waiting.pause()
        device.sendall(b"paused\r\n")
        time.sleep(1)
        waiting.resume()
        device.sendall(b"last\r\n")
        waiting.stop()
        device.close()
    log = waiting.read_log()
    assert re.fullmatch(STAMP + b"alive\r\n" + STAMP + b"paused\r\n" + STAMP + b"last\r\n", log), log
    texts = [(e.type, e.text) for e in wine.events_since(mark)]
    assert sum(t.startswith('Could not connect to "tcp 127.0.0.1:%d"' % nobody) for _, t in texts) == 1
    assert (WARNING, warning) in texts
    assert (ERROR, 'The registry value "Source" ("tcp://pbx:1752") is not a source this service can capture: '
                   "it does not begin with socket://, rfc2217://, listen:// or udp://") in texts
    assert (ERROR, "The network source could not be opened, service stopping") in texts
