"""Hostile controls and registry values under the real Service Control
Manager: 500 pause/continue pairs while data flows, and every one of the 23
values stored with the wrong type, too long, or out of range."""

import os
import re
import shutil
import threading
import time

import pytest

import conftest
from harness import BIN_DIR, Instance, VirtualPort
from harness.events import ERROR, INFORMATION
from harness.instance import PARAMETERS, RUNNING, STOPPED, SERVICES_KEY, new_instance_values
from harness.wine import to_windows_path

STAMP = re.compile(rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}: ")


def handles(session, name):
    out = session.run(["procstat.exe", name])
    return int(re.search(r"handles=(\d+)", out).group(1))


class Lines(threading.Thread):
    """Numbered CR LF lines to a port, 20 every 50 ms, until told to stop."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.sent = bytearray()
        self.done = threading.Event()

    def run(self):
        n = 0
        while not self.done.wait(0.05):
            chunk = b"".join(b"line %07d of the controls test\r\n" % (n + i) for i in range(20))
            self.port.send(chunk)
            self.sent += chunk
            n += 20


def test_500_pause_continue_pairs_while_data_flows_lose_and_leak_nothing(wine, port, instance):
    inst = instance(PortName=port.name, BaudRate=115200, TimestampFormat=1, LogRotation=5,
                    VerboseLevel=1)
    folder = os.path.dirname(inst.log_path())

    def captured():
        """The rotated files joined, without stamps, and the number of stamps."""
        data = b"".join(open(os.path.join(folder, f), "rb").read() for f in sorted(os.listdir(folder)))
        return STAMP.sub(b"", data), len(STAMP.findall(data))

    def wait_for_capture(length):
        deadline = time.time() + 20
        while len(captured()[0]) < length:
            assert time.time() < deadline, "the log did not catch up"
            time.sleep(0.05)

    inst.start()
    mark = wine.mark()
    feeder = Lines(port)
    feeder.start()
    wait_for_capture(1)
    before = handles(wine, inst.name)       # with data flowing

    out = wine.scctl("cycle", inst.name, "500", timeout=900)
    assert "pairs=500 " in out and "failure=0" in out, out
    feeder.done.set()
    feeder.join(10)
    sent = bytes(feeder.sent)
    wait_for_capture(len(sent))
    assert inst.query()["state"] == RUNNING
    after = handles(wine, inst.name)
    status = inst.stop()
    assert status["state"] == STOPPED and status["exit"] == 0

    text, stamps = captured()
    assert text == sent                     # every byte once, in order
    assert stamps == sent.count(b"\r\n")    # one stamp a line
    assert after <= before, (before, after)
    assert [(e.type, e.text) for e in wine.events_since(mark)
            if "Starting. Logging" not in e.text] == [(INFORMATION, "%s Stopping" % inst.name)]


# --- hostile registry values ------------------------------------------------------

FIRST = 41              # instance numbers 41 to 63, one per value
KINDS = {name: kind for name, _, kind in PARAMETERS}
STRING_SIZES = {"LogFilename": 260, "SmtpServer": 64, "SmtpToAddress": 64, "SmtpFromAddress": 64,
                "PortName": 8, "CustomTimeoutCmd": 260, "NetSendUsers": 256}


def wrong_type(name):
    """A string where a number belongs (4 bytes: once taken as a number) and
    a number where a string belongs (once taken as the text "A")."""
    return ('"%s"="abc"' % name) if KINDS[name] == "dword" else ('"%s"=dword:00000041' % name)


# The stored number that is out of range, or for a number without a range
# the most hostile one: its largest.
OUT_OF_RANGE = {"LogRotation": 6, "ByteSize": 264, "Parity": 99, "StopBits": 9, "StartHour": 99,
                "StartMin": 99, "EndHour": 99, "EndMin": 99}
RANGES = {"LogRotation": (0, 5, "the log is not rotated"),
          "ByteSize": (4, 8, "the port cannot be set"), "Parity": (0, 4, "the port cannot be set"),
          "StopBits": (0, 2, "the port cannot be set"), "StartHour": (0, 23, "the alarm never acts"),
          "StartMin": (0, 59, "the alarm never acts"), "EndHour": (0, 24, "the alarm never acts"),
          "EndMin": (0, 59, "the alarm never acts")}


def too_big(name):
    if KINDS[name] == "sz":
        text = "C:\\" + "x" * 300 if name == "LogFilename" else "x" * STRING_SIZES[name] * 2
        return '"%s"="%s"' % (name, text.replace("\\", "\\\\"))
    value = OUT_OF_RANGE.get(name, 0xFFFFFFFF)
    if name == "PauseTimeout":
        value = 0xFFFFFFFE          # 0xFFFFFFFF is a new instance's own value
    return '"%s"=dword:%08x' % (name, value)


def reg_text(values_of, hostile_line_of):
    lines = ["REGEDIT4", ""]
    for n, values in values_of.items():
        key = SERVICES_KEY + "\\Quillbox%d\\Parameters" % n
        lines += ["[-%s]" % key, ""]
        for section, path in (("params", key), ("port", key + "\\Port1")):
            lines.append("[%s]" % path)
            for name, where, kind in PARAMETERS:
                if where != section:
                    continue
                if name == values["hostile"]:
                    lines.append(hostile_line_of(name))
                elif kind == "dword":
                    lines.append('"%s"=dword:%08x' % (name, values[name]))
                else:
                    lines.append('"%s"="%s"' % (name, values[name].replace("\\", "\\\\")))
            lines.append("")
    return "\n".join(lines) + "\n"


def refused(name, kind):
    if kind == "type":
        stored, wanted = ("REG_SZ", "REG_DWORD") if KINDS[name] == "dword" else ("REG_DWORD", "REG_SZ")
        return (ERROR, 'The registry value "%s" is of type %s, not %s; it is left out'
                % (name, stored, wanted))
    if KINDS[name] == "sz":
        return (ERROR, 'The registry value "%s" is longer than %d characters; it is left out'
                % (name, STRING_SIZES[name] - 1))
    low, high, consequence = RANGES[name]
    return (ERROR, 'The registry value "%s" is %d, outside %d to %d; %s'
            % (name, OUT_OF_RANGE[name], low, high, consequence))


def expected_events(name, kind, n, port):
    """What the service says at start, and whether it keeps running."""
    starting = (INFORMATION, "Quillbox%d Starting. Logging %s to C:\\hostile%d\\Quillbox%d.log"
                % (n, port, n, n))
    port_failed = [(ERROR, 'Unable to set com port state for "%s"' % port),
                   (ERROR, "Com port could not be opened, service stopping")]
    reported = [refused(name, kind)] if kind == "type" or name in RANGES or KINDS[name] == "sz" else []
    if name == "LogFilename":
        return reported + [(ERROR, "The log file could not be opened, service stopping")], False
    if name == "PortName":
        return reported + [(ERROR, 'Could not obtain handle to ""'),
                           (ERROR, "Com port could not be opened, service stopping")], False
    if name == "ByteSize" or (kind == "size" and name in ("Parity", "StopBits")):
        # A left-out ByteSize is 0: no more a byte format than 264.
        return reported + port_failed, False
    if name == "VerboseLevel":
        # Left out, it is 0: the refusal is the last word. All bits set:
        # the configuration report comes before the start.
        return (reported, True) if kind == "type" else (["configuration", starting], True)
    return reported + [starting], True


@pytest.fixture(scope="module")
def hostile(_shared_session, workdir):
    session = conftest._session_holder["session"]
    ports = {}
    names = [name for name, _, _ in PARAMETERS]
    numbers = {name: FIRST + i for i, name in enumerate(names)}
    for name in names:
        n = numbers[name]
        ports[name] = VirtualPort(session, next(conftest._port_numbers),
                                  os.path.join(workdir, "ports")).open()
        shutil.rmtree(session.c_drive("hostile%d" % n), ignore_errors=True)
        os.makedirs(session.c_drive("hostile%d" % n))
    instances = {}
    for name in names:
        n = numbers[name]
        values = new_instance_values(n)
        values.update(LogFilename="C:\\hostile%d\\Quillbox%d.log" % (n, n),
                      PortName=ports[name].name, VerboseLevel=1, hostile=name)
        instances[name] = Instance(session, n, **values)
    try:
        yield session, ports, instances, numbers
    finally:
        for inst in instances.values():
            inst.stop()
        for p in ports.values():
            p.close()


@pytest.mark.parametrize("kind", ["type", "size"])
def test_each_hostile_value_is_reported_with_what_the_service_does_and_nothing_crashes(
        hostile, kind):
    session, ports, instances, numbers = hostile
    values_of = {inst.n: inst.values for inst in instances.values()}
    session.import_reg(reg_text(values_of, wrong_type if kind == "type" else too_big))
    for inst in instances.values():
        session.scctl("create", inst.name, to_windows_path(os.path.join(BIN_DIR, "tallysvc.exe")))

    outcomes = {}
    for name, inst in instances.items():
        mark = session.mark()
        inst.start(wait_state=None)
        want, keeps_running = expected_events(name, kind, inst.n, ports[name].name)
        last = want[-1] if want else None
        # Wait for the service's last word at start (or, silent, for its state).
        deadline = time.time() + 15
        while time.time() < deadline:
            status = inst.query()
            got = [(e.type, e.text) for e in session.events_since(mark)]
            if status and status["state"] in (RUNNING, STOPPED) and (
                    last is None or (got and (got[-1] == last or last == "configuration"))):
                break
            time.sleep(0.1)
        got = [(e.type, e.text) for e in session.events_since(mark)]
        if want[:1] == ["configuration"]:
            assert got[0][1].startswith("\r\n\r\n---Configuration---"), (name, got)
            got = ["configuration"] + got[1:]
        outcomes[name] = (got, inst.query()["state"])
        assert (got, outcomes[name][1]) == (want, RUNNING if keeps_running else STOPPED), (name, kind)

    # Those that run capture.
    for name, inst in instances.items():
        if outcomes[name][1] == RUNNING:
            ports[name].send(b"still capturing\r\n")
    for name, inst in instances.items():
        if outcomes[name][1] != RUNNING:
            continue
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                if inst.read_log().endswith(b"still capturing\r\n"):
                    break
            except FileNotFoundError:
                pass
            time.sleep(0.1)
        assert inst.read_log().endswith(b"still capturing\r\n"), name
        status = inst.stop()
        assert status["state"] == STOPPED and status["exit"] == 0, name
    with open(session.events_path, encoding="utf-8", errors="replace") as f:
        wine_output = f.read()
    assert not re.search(r"Unhandled|page fault|err:seh", wine_output)
