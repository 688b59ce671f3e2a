"""The alarm against Wine's own messenger and against the local clock:
Wine's builtin NetMessageBufferSend aborts the process, so the service must
never call it; and the daily window follows the local time of the session,
which a session takes from TZ."""

import datetime
import os
import time
from zoneinfo import ZoneInfo

from harness.alarm import (STAND_INS, command_for, put_stand_ins, records, runs, stand_in_settings, start,
                           stop, take_back_stand_ins, wait_until, warnings)
from harness.instance import RUNNING
from harness.wine import to_windows_path

# Zones that Wine maps to Windows zones, about one per hour of offset.
ZONES = ["Pacific/Honolulu", "America/Anchorage", "America/Los_Angeles", "America/Denver",
         "America/Chicago", "America/New_York", "America/Sao_Paulo", "Atlantic/Azores",
         "Europe/London", "Europe/Berlin", "Europe/Athens", "Europe/Moscow", "Asia/Dubai",
         "Asia/Karachi", "Asia/Dhaka", "Asia/Bangkok", "Asia/Shanghai", "Asia/Tokyo",
         "Australia/Brisbane", "Pacific/Noumea", "Pacific/Auckland"]


def zone_around_noon():
    """A zone whose local time now lies between 10:00 and 14:00."""
    now = datetime.datetime.now(datetime.timezone.utc)
    for zone in ZONES:
        local = now.astimezone(ZoneInfo(zone))
        if 10 <= local.hour < 14:
            return zone, local
    raise AssertionError("no zone around noon")


def test_wine_builtin_messenger_is_never_called(wine, port, instance, tmpdir):
    # No override: the netapi32 that loads is Wine's, whose stub would abort.
    command, ticks = command_for(tmpdir, "builtin.txt")
    inst = instance(PortName=port.name, Timeout=1, WarningInterval=1, CustomTimeoutCmd=command,
                    NetSendUsers="alice,bob", DayOfWeekMask=0x7F, StartHour=0, StartMin=0,
                    EndHour=24, EndMin=0)
    start(inst)
    assert wait_until(lambda: runs(ticks) >= 3, 15)      # cycles went on past the pop-ups
    assert inst.query()["state"] == RUNNING
    stop(inst)


def test_daily_window_follows_the_sessions_local_time(wine_factory, workdir, instance, tmpdir):
    from harness import VirtualPort
    zone, local = zone_around_noon()
    s = wine_factory(tz=zone, dll_overrides=STAND_INS)
    put_stand_ins(s)
    record = os.path.join(s.workdir, "popups.txt")
    s.popup_record = record
    s.import_reg(stand_in_settings({"TALLY_POPUP_RECORD": to_windows_path(record)}))
    try:
        shown = s.run(["cmd", "/c", "echo", "%TIME%"]).strip()
        assert int(shown.split(":")[0]) == local.hour, (zone, shown, local)

        ports = [VirtualPort(s, 90 + i, os.path.join(workdir, "ports")).open() for i in range(2)]
        values = dict(Timeout=1, WarningInterval=1, VerboseLevel=4, NetSendUsers="carol",
                      DayOfWeekMask=0x7F)
        inside = instance(session=s, PortName=ports[0].name, StartHour=8, StartMin=0, EndHour=17,
                          EndMin=0, **values)
        evening = instance(session=s, PortName=ports[1].name, StartHour=20, StartMin=0,
                           EndHour=23, EndMin=0, **values)
        mark = s.mark()
        start(inside)
        start(evening)
        assert wait_until(lambda: len(records(s, inside.name)) >= 2, 10)
        time.sleep(1)
        stop(inside)
        stop(evening)
        assert records(s, evening.name) == []
        events = s.events_since(mark)
        assert len(warnings(events, inside.name)) == 1 and len(warnings(events, evening.name)) == 1
        for p in ports:
            p.close()
    finally:
        s.import_reg(stand_in_settings({}))
        take_back_stand_ins(s)
