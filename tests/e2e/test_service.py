"""The service under the real Service Control Manager: capture, reports,
pause/continue/stop, silence and a vanishing port."""

import datetime
import re
import time

import pytest

from harness.events import ERROR, INFORMATION, WARNING
from harness.instance import PAUSED, RUNNING, STOP_PENDING, STOPPED

STAMP = rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}: "


def wait_for_log(inst, expected_length, timeout=10):
    deadline = time.time() + timeout
    data = b""
    while time.time() < deadline:
        try:
            data = inst.read_log()
        except FileNotFoundError:
            data = b""
        if len(data) >= expected_length:
            return data
        time.sleep(0.1)
    return data


def texts(events):
    return [(e.type, e.text) for e in events]


def test_log_is_a_byte_exact_copy_without_timestamps(wine, port, instance):
    # Another program left XON/XOFF on, kept across opens, which swallows 0x11 and 0x13.
    assert "outx=1" in wine.run(["leaveport.exe", port.name])
    inst = instance(PortName=port.name, BaudRate=115200)
    inst.start()
    data = bytes(range(256)) * 4 + b"\x00\xff\r\n\n\r"
    port.send(data)
    assert wait_for_log(inst, len(data)) == data
    inst.stop()
    assert inst.read_log() == data
    # Asked for, XON/XOFF is what the port does: 0x11 and 0x13 are no data.
    inst = instance(PortName=port.name, FlowControl=3)
    inst.start()
    port.send(data + b"end")
    kept = data.replace(b"\x11", b"").replace(b"\x13", b"") + b"end"
    assert wait_for_log(inst, len(kept)) == kept
    inst.stop()


def test_crlf_lines_are_stamped_and_a_restart_appends(wine, port, instance):
    import re
    inst = instance(PortName=port.name, TimestampFormat=1)
    inst.start()
    port.send(b"first line\r\nsecond\r\n")
    log = wait_for_log(inst, 2 * 25 + 20)
    inst.stop()
    assert re.fullmatch(STAMP + rb"first line\r\n" + STAMP + rb"second\r\n", log), log

    inst.start()
    port.send(b"after restart\r\n")
    log = wait_for_log(inst, len(log) + 25 + 15)
    inst.stop()
    assert re.fullmatch(STAMP + rb"first line\r\n" + STAMP + rb"second\r\n" +
                        STAMP + rb"after restart\r\n", log), log


def test_pause_holds_capture_and_states_are_reported_plainly(wine, port, instance):
    inst = instance(PortName=port.name, TimestampFormat=1)
    status = inst.start()
    assert status == {"state": RUNNING, "checkpoint": 0, "waithint": 0, "exit": 0, "specific": 0}
    port.send(b"before\r\n")
    before = wait_for_log(inst, 25 + 8)

    status = inst.pause()
    assert status["state"] == PAUSED and status["checkpoint"] == 0 and status["waithint"] == 0
    port.send(b"during\r\n")
    sent = datetime.datetime.now()
    time.sleep(2)
    assert inst.read_log() == before            # nothing written while paused

    status = inst.resume()
    assert status["state"] == RUNNING and status["checkpoint"] == 0
    port.send(b"after\r\n")
    log = wait_for_log(inst, 3 * 25 + 21)
    assert re.fullmatch(STAMP + b"before\r\n" + STAMP + b"during\r\n" + STAMP + b"after\r\n", log)
    # The reader goes on during a pause: the line has the time it came, not the continue's.
    during = datetime.datetime.strptime(log[25 + 8:25 + 8 + 23].decode(), "%Y-%m-%d %H:%M:%S.%f")
    assert abs((during - sent).total_seconds()) < 1, (during, sent)

    inst.pause()
    status = inst.stop()                        # stop while paused
    assert status == {"state": STOPPED, "checkpoint": 0, "waithint": 0, "exit": 0, "specific": 0}
    assert inst.read_log() == log


@pytest.mark.parametrize("timeout", [30, 0])
def test_stop_while_paused_keeps_what_arrived_during_the_pause(wine, port, instance, timeout):
    # With silence detection the read that was waiting when the pause came
    # stays pending: it takes the first bytes sent during the pause. Without,
    # that read has ended within a second and the bytes wait in the driver,
    # which drops them at the next open on Windows: the stop reads them.
    inst = instance(PortName=port.name, Timeout=timeout)
    inst.start()
    port.send(b"before\r\n")
    wait_for_log(inst, 8)
    inst.pause()
    if timeout == 0:
        time.sleep(2)
    port.send(b"during the pause\r\n")
    if timeout == 0:
        deadline = time.time() + 10
        while port.waiting() < 18 and time.time() < deadline:
            time.sleep(0.05)
    inst.stop()
    assert inst.read_log() == b"before\r\nduring the pause\r\n"
    inst.start()
    port.send(b"after\r\n")
    expected = b"before\r\nduring the pause\r\nafter\r\n"
    assert wait_for_log(inst, len(expected)) == expected   # each byte once, in order
    inst.stop()


def test_missing_port_stops_with_both_messages(wine, instance):
    inst = instance(PortName="COM99")
    mark = wine.mark()
    status = inst.start(wait_state=STOPPED)
    # A failure, so that the Service Control Manager's recovery applies: 1066
    # (service-specific), 2 for the port.
    assert status == {"state": STOPPED, "checkpoint": 0, "waithint": 0, "exit": 1066, "specific": 2}
    wine.wait_for_event(lambda e: "service stopping" in e.text, since=mark)
    assert texts(wine.events_since(mark)) == [
        (ERROR, 'Could not obtain handle to "COM99"'),
        (ERROR, "Com port could not be opened, service stopping"),
    ]


def test_verbose_level_zero_reports_nothing_even_errors(wine, port, instance):
    inst = instance(PortName="COM98", VerboseLevel=0)
    mark = wine.mark()
    assert inst.start(wait_state=STOPPED)["state"] == STOPPED
    ok = instance(PortName=port.name, VerboseLevel=0, Timeout=1)
    ok.start()
    time.sleep(2.5)
    ok.stop()
    assert wine.events_since(mark) == []


def test_start_reports_configuration_then_start_and_stop_reports_stopping(wine, port, instance):
    inst = instance(PortName=port.name, VerboseLevel=3)
    mark = wine.mark()
    inst.start()
    inst.stop()
    events = wine.events_since(mark)
    assert [e.type for e in events] == [INFORMATION] * 3
    assert events[0].text.startswith(
        "\r\n\r\n---Configuration---\r\nService Name: %s\r\nPort: %s\r\n" % (inst.name, port.name))
    assert events[1].text == "%s Starting. Logging %s to %s" % (
        inst.name, port.name, inst.values["LogFilename"])
    assert events[2].text == "%s Stopping" % inst.name


def test_each_silence_gives_exactly_one_warning(wine, port, instance):
    inst = instance(PortName=port.name, Timeout=1, VerboseLevel=4)
    mark = wine.mark()
    inst.start()
    time.sleep(3.5)                       # one silence, three timed-out reads
    port.send(b"x")
    time.sleep(2.8)                       # a second silence
    inst.pause()
    time.sleep(2.5)                       # silence detection stands still while paused
    inst.stop()
    warning = "%s has not received data for 1 seconds (TIMED OUT)" % inst.name
    assert texts(wine.events_since(mark)) == [(WARNING, warning)] * 2
    assert inst.read_log() == b"x"


def test_stop_does_not_wait_for_a_long_read(wine, port, instance):
    inst = instance(PortName=port.name, Timeout=600)
    inst.start()
    time.sleep(0.5)
    began = time.time()
    status = inst.control("stop")
    if status["state"] == STOP_PENDING:   # answered before the log was closed
        status = inst.wait(STOPPED, 5000)
    assert status["state"] == STOPPED
    assert time.time() - began < 5        # the read of up to 600 s was cancelled


@pytest.mark.parametrize("verbose", [3, 2])
def test_port_that_vanishes_and_returns_is_captured_again(wine, port, instance, verbose):
    """The failure is an error (any VerboseLevel); the recovery is news of
    the kind of start and stop, shown only with bit 0x1. What comes after the
    gap begins a line of its own."""
    inst = instance(PortName=port.name, VerboseLevel=verbose, TimestampFormat=1)
    mark = wine.mark()
    inst.start()
    port.send(b"one ")
    wait_for_log(inst, 25 + 4)
    port.vanish()
    assert wine.wait_for_event(lambda e: e.type == ERROR and port.name in e.text, timeout=10,
                               since=mark)
    assert inst.query()["state"] == RUNNING
    port.open()
    port.send(b"two")
    # The port is tried every 3 s: the log shows when it is back.
    assert re.fullmatch(STAMP + b"one " + STAMP + b"two", wait_for_log(inst, 57, timeout=15))
    again = [e for e in wine.events_since(mark) if "open again" in e.text]
    assert texts(again) == ([(INFORMATION, '"%s" is open again; capture continues' % port.name)]
                            if verbose & 1 else [])
    inst.stop()


def test_silence_is_measured_from_the_continue_not_across_the_pause(wine, port, instance):
    inst = instance(PortName=port.name, Timeout=8, VerboseLevel=4)
    mark = wine.mark()
    inst.start()
    port.send(b"x")
    assert wait_for_log(inst, 1) == b"x"   # a read of up to 8 s begins
    time.sleep(1)
    inst.pause()
    time.sleep(4)
    inst.resume()
    resumed = time.time()
    # That read times out 3 s after the continue: 3 s of silence, not 8.
    time.sleep(5.5)
    assert wine.events_since(mark) == []
    warning = "%s has not received data for 8 seconds (TIMED OUT)" % inst.name
    assert wine.wait_for_event(lambda e: e.type == WARNING, timeout=resumed + 15 - time.time(),
                               since=mark)
    assert texts(wine.events_since(mark)) == [(WARNING, warning)]
    inst.stop()


def test_missing_parameters_key_is_reported_before_verbose_level_is_known(wine, instance):
    inst = instance(PortName="COM5")
    wine.import_reg("REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
                    "%s\\Parameters]\n" % inst.name)
    mark = wine.mark()
    assert inst.start(wait_state=STOPPED)["specific"] == 1
    wine.wait_for_event(lambda e: "service stopping" in e.text, since=mark)
    assert texts(wine.events_since(mark)) == [
        (ERROR, "Could not open Parameters subkey"),
        (ERROR, "Registry parameters could not be obtained, service stopping"),
    ]


def test_log_name_too_long_for_its_stamp_stops_cleanly(wine, port, instance):
    long_name = "C:\\" + "x" * 240 + ".log"          # 247 characters, 259 with a minute stamp
    inst = instance(PortName=port.name, LogFilename=long_name, LogRotation=5)
    mark = wine.mark()
    assert inst.start(wait_state=STOPPED)["specific"] == 3
    wine.wait_for_event(lambda e: "service stopping" in e.text, since=mark)
    assert texts(wine.events_since(mark)) == [
        (ERROR, "The log file could not be opened, service stopping")]
