"""The inactivity alarm of the real service under Wine: its cycles, their end
by data, pause and stop, the day and window tests, and the pop-ups as the
stand-in netapi32.dll and wtsapi32.dll (tests/tools, in the system folder)
record them.

All tests here share one Wine session that loads the stand-ins through a DLL
override. Its messenger fails for the names in TALLY_NETAPI_FAIL, as the
removed messenger of current Windows does for everyone, and its session list
holds a few users for the delivery to sessions."""

import datetime
import os
import time

import pytest

from harness import WineSession
from harness.alarm import (STAND_INS, command_for, loads, messenger_names, put_stand_ins, records, runs, start,
                           stand_in_settings, stop, take_back_stand_ins, wait_for_log, wait_until, warnings)
from harness.instance import PAUSED, RUNNING
from harness.wine import to_windows_path

FAILING_NAMES = "Erin,dave"
# id:user:state (0 active, 4 disconnected)
SESSIONS = "1:erin:0;2:DAVE:4;3:Dave:0;4:carol:0;5:ERIN:1"
WHOLE_DAY = dict(DayOfWeekMask=0x7F, StartHour=0, StartMin=0, EndHour=24, EndMin=0)


@pytest.fixture(scope="module")
def alarm_session(_shared_session, workdir):
    """One session with the stand-ins for the whole module. It takes the place
    of the shared session, so `wine`, `port` and `instance` use it."""
    import conftest
    holder = conftest._session_holder
    holder["session"].stop()
    folder = os.path.join(workdir, "alarm")
    record = os.path.join(folder, "popups.txt")
    s = WineSession(folder, dll_overrides=STAND_INS)
    put_stand_ins(s)
    holder["session"] = s.start()
    s.import_reg(stand_in_settings({
        "TALLY_POPUP_RECORD": to_windows_path(record),
        "TALLY_NETAPI_FAIL": FAILING_NAMES,
        "TALLY_WTS_SESSIONS": SESSIONS,
    }))
    s.popup_record = record
    yield s
    s.import_reg(stand_in_settings({}))
    s.stop()
    take_back_stand_ins(s)
    conftest._start_shared(workdir)


def test_cycles_repeat_until_data_and_a_new_silence_starts_a_new_alarm(alarm_session, port,
                                                                          instance, tmpdir):
    s = alarm_session
    command, ticks = command_for(tmpdir, "ticks.txt")
    inst = instance(PortName=port.name, Timeout=2, WarningInterval=2, VerboseLevel=4,
                    CustomTimeoutCmd=command, NetSendUsers="alice,bob,carol", **WHOLE_DAY)
    mark = s.mark()
    start(inst)
    assert wait_until(lambda: len(messenger_names(s, inst.name)) >= 9, 15)
    assert messenger_names(s, inst.name)[:9] == ["carol", "bob", "alice"] * 3
    text = "%s has not received data for 2 seconds (TIMED OUT)" % inst.name
    for r in records(s, inst.name):
        # No server, no sender, the whole 256-byte buffer, the text as formatted.
        assert r[0] == "NetMessageBufferSend" and r[1] == "(null)" and r[3] == "(null)"
        assert r[4] == "256" and r[5] == text
    # One cycle every WarningInterval seconds, plus the little the cycle takes.
    starts = [int(r[7]) for r in records(s, inst.name) if r[2] == "carol"]
    gaps = [b - a for a, b in zip(starts, starts[1:])]
    assert all(1950 <= g < 3500 for g in gaps), gaps
    assert wait_until(lambda: runs(ticks) >= 3, 5)
    # Only the system folder's copies load; those beside tallysvc.exe, where
    # the build leaves them and a plain load would look first, never do.
    service_loads = [dll.lower() for dll, program in loads(s) if program.lower().endswith("tallysvc.exe")]
    assert sorted(set(service_loads)) == [r"c:\windows\system32\netapi32.dll", r"c:\windows\system32\wtsapi32.dll"]

    port.send(b"x")                      # data ends the alarm at once
    assert wait_for_log(inst, b"x")
    time.sleep(0.5)
    sent, ran = len(records(s, inst.name)), runs(ticks)
    for _ in range(5):                   # the port stays busy: no new silence
        time.sleep(0.9)
        port.send(b"x")
    assert wait_for_log(inst, b"x" * 6)
    assert len(records(s, inst.name)) == sent
    assert runs(ticks) == ran
    assert len(warnings(s.events_since(mark), inst.name)) == 1

    # The next silence of Timeout seconds: a second warning and a new alarm.
    assert wait_until(lambda: len(records(s, inst.name)) >= sent + 6, 10)
    assert runs(ticks) > ran
    assert [e.text for e in warnings(s.events_since(mark), inst.name)] == [text, text]
    stop(inst)


def test_a_port_that_vanished_is_silent_until_data_comes_again(alarm_session, port, instance):
    s = alarm_session
    inst = instance(PortName=port.name, Timeout=2, WarningInterval=1, VerboseLevel=4,
                    NetSendUsers="carol", **WHOLE_DAY)
    mark = s.mark()
    start(inst)
    port.send(b"a")
    assert wait_for_log(inst, b"a")
    port.vanish()                        # the service tries it every 3 s meanwhile
    assert wait_until(lambda: len(records(s, inst.name)) >= 2, 10)
    assert inst.query()["state"] == RUNNING
    port.open()
    port.send(b"b")
    assert wait_for_log(inst, b"ab", timeout=15)
    time.sleep(0.5)
    sent = len(records(s, inst.name))
    for _ in range(3):                   # busy again: the alarm has ended
        time.sleep(0.9)
        port.send(b"b")
    assert wait_for_log(inst, b"abbbb")
    assert len(records(s, inst.name)) == sent
    assert len(warnings(s.events_since(mark), inst.name)) == 1
    stop(inst)


def test_interval_zero_gives_exactly_one_cycle_per_silence(alarm_session, port, instance, tmpdir):
    s = alarm_session
    command, ticks = command_for(tmpdir, "once.txt")
    inst = instance(PortName=port.name, Timeout=1, WarningInterval=0, VerboseLevel=4,
                    CustomTimeoutCmd=command, NetSendUsers="carol", **WHOLE_DAY)
    start(inst)
    time.sleep(6)                         # five timed-out reads, one silence
    assert messenger_names(s, inst.name) == ["carol"]
    assert runs(ticks) == 1
    port.send(b"y")
    time.sleep(4)                         # a second silence
    assert messenger_names(s, inst.name) == ["carol", "carol"]
    assert runs(ticks) == 2
    stop(inst)


def test_timeout_zero_gives_nothing(alarm_session, port, instance, tmpdir):
    s = alarm_session
    command, ticks = command_for(tmpdir, "never.txt")
    inst = instance(PortName=port.name, Timeout=0, WarningInterval=1, VerboseLevel=7,
                    CustomTimeoutCmd=command, NetSendUsers="carol", **WHOLE_DAY)
    mark = s.mark()
    start(inst)
    time.sleep(4)
    stop(inst)
    assert records(s, inst.name) == [] and runs(ticks) == 0
    assert warnings(s.events_since(mark), inst.name) == []


def test_pause_keeps_the_cycles_going_and_stop_ends_them(alarm_session, port, instance, tmpdir):
    s = alarm_session
    command, ticks = command_for(tmpdir, "paused.txt")
    inst = instance(PortName=port.name, Timeout=1, WarningInterval=1, VerboseLevel=4,
                    CustomTimeoutCmd=command, NetSendUsers="carol", **WHOLE_DAY)
    start(inst)
    assert wait_until(lambda: len(records(s, inst.name)) >= 1, 10)
    assert inst.pause()["state"] == PAUSED
    paused_at = len(records(s, inst.name))
    time.sleep(4)
    assert len(records(s, inst.name)) >= paused_at + 2
    assert inst.resume()["state"] == RUNNING
    stop(inst)
    time.sleep(0.5)
    sent = len(records(s, inst.name))
    time.sleep(2.5)                 # a command started before the stop may still write
    ran = runs(ticks)
    time.sleep(3)
    assert len(records(s, inst.name)) == sent and runs(ticks) == ran


def test_day_or_window_that_excludes_now_gives_the_warning_only(alarm_session, port, instance,
                                                                 tmpdir):
    s = alarm_session
    # The session runs in the machine's zone; a mask holding only the day
    # after tomorrow excludes today whatever the zone.
    other_day = (datetime.datetime.now().isoweekday() + 2) % 7      # Sunday 0
    command, ticks = command_for(tmpdir, "excluded.txt")
    values = dict(PortName=port.name, Timeout=1, WarningInterval=1, VerboseLevel=4,
                  CustomTimeoutCmd=command, NetSendUsers="carol")
    mark = s.mark()
    inst = instance(DayOfWeekMask=0x40 >> other_day, StartHour=0, StartMin=0, EndHour=24,
                    EndMin=0, **values)
    start(inst)
    time.sleep(3.5)
    stop(inst)
    # A window whose end is not after its start never acts.
    never = instance(DayOfWeekMask=0x7F, StartHour=10, StartMin=0, EndHour=10, EndMin=0, **values)
    start(never)
    time.sleep(3.5)
    stop(never)
    assert records(s, inst.name) == [] and records(s, never.name) == [] and runs(ticks) == 0
    events = s.events_since(mark)
    assert len(warnings(events, inst.name)) == 1 and len(warnings(events, never.name)) == 1


def test_failed_messenger_pop_up_goes_to_the_users_active_sessions(alarm_session, port, instance):
    s = alarm_session
    long_name = "x" * 40
    inst = instance(PortName=port.name, Timeout=1, WarningInterval=0,
                    NetSendUsers="Erin,dave,carol,," + long_name, **WHOLE_DAY)
    start(inst)
    assert wait_until(lambda: len(records(s, inst.name)) >= 7, 10)
    time.sleep(1)
    stop(inst)
    text = "%s has not received data for 1 seconds (TIMED OUT)" % inst.name
    # (call, recipient or session, result of the messenger or the wait flag)
    got = [(r[0], r[1] if r[0] == "WTSSendMessageA" else r[2], r[-2])
           for r in records(s, inst.name)]
    assert got == [
        ("NetMessageBufferSend", "x" * 31, "0"),         # cut to 31 characters
        ("NetMessageBufferSend", "", "0"),
        ("NetMessageBufferSend", "carol", "0"),          # delivered: no session pop-up
        ("NetMessageBufferSend", "dave", "2273"),
        ("WTSSendMessageA", "3", "0"),                   # Dave, active; DAVE is disconnected
        ("NetMessageBufferSend", "Erin", "2273"),
        ("WTSSendMessageA", "1", "0"),                   # erin, active; ERIN is connected only
    ]
    for r in records(s, inst.name):
        if r[0] == "WTSSendMessageA":
            # Title, its length, the text, its length, style, no timeout, no wait.
            assert r[2:9] == ["Tallyline", "9", text, str(len(text)), "0x30", "0", "0"], r
