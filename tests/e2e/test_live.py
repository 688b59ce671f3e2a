"""What running instances publish and who reads it, through the real service
and client.exe: the volatile Status key, "/status" and "/check" with their exit
codes for a healthy, a silent and a stopped instance, and the alarm by mail
(one mail when the alarm starts, one when data comes again; with the outbox
on, one that failed is kept and sent after a restart)."""

import time

from harness.alarm import wait_until
from smtpsink import AiosmtpdSink

SINK = "127.0.28.1"
UNREACHABLE = "127.0.28.9"  # nothing listens there
SERVICE = r"HKLM\SYSTEM\CurrentControlSet\Services\Quillbox%d"
STATUS = SERVICE + r"\Status"
WHOLE_DAY = dict(DayOfWeekMask=0x7F, StartHour=0, StartMin=0, EndHour=24, EndMin=0)


def status_lines(wine, *args):
    code, out = wine.run_status(["client.exe", "/status"] + list(args))
    return code, {int(line.split()[0]): line.split(None, 7) for line in out.splitlines() if line.strip()}


def check(wine, *args):
    code, out = wine.run_status(["client.exe", "/check"] + list(args))
    return code, out.strip()


def test_status_and_check_tell_healthy_silent_and_stopped_apart(wine, port, instance, workdir):
    from harness import VirtualPort
    quiet = VirtualPort(wine, 90, workdir + "/quietport").open()
    try:
        healthy = instance(n=41, PortName=port.name, Timeout=60, **WHOLE_DAY)
        silent = instance(n=42, PortName=quiet.name, Timeout=2, **WHOLE_DAY)
        stopped = instance(n=43, PortName="COM99")
        healthy.start()
        silent.start()
        port.send(b"0001 EXT 204 OUT 0161973069\r\n0002 EXT 233\r\n")
        # Wine's reg shows no REG_QWORD: the counts are read through /status.
        assert wait_until(lambda: status_lines(wine, "41")[1][41][4] == "43", 10)
        assert wine.reg_query(STATUS % 41, "Connected") == "0x1"
        assert wine.reg_query(STATUS % 41, "LogFile") == healthy.values["LogFilename"]
        assert wait_until(lambda: wine.reg_query(STATUS % 42, "SilentSince") not in (None, ""), 10)

        code, rows = status_lines(wine)
        assert code == 0
        assert rows[41][1:3] == [port.name, "Running"] and rows[41][4:6] == ["43", "none"]
        assert rows[41][7] == healthy.values["LogFilename"]
        assert rows[42][2] == "Running" and rows[42][3] == "never" and rows[42][5].startswith("silent:")
        assert rows[43][1:6] == ["COM99", "Stopped", "-", "0", "-"]
        code, rows = status_lines(wine, "41")
        assert code == 0 and list(rows) == [41]

        # The plugin convention: one line, performance data after "|".
        code, text = check(wine, "41")
        assert code == 0 and text.startswith("TALLYLINE OK - ") and "q41_today=43B;;;0" in text
        code, text = check(wine, "41", "/warn", "0")
        assert code == 1 and "Quillbox41 is quiet" in text
        code, text = check(wine, "42")
        assert code == 2 and "Quillbox42 is silent" in text
        code, text = check(wine, "43")
        assert code == 2 and "Quillbox43 is stopped" in text
        # All of them: the worst counts; 43 starts on demand, so it may be stopped.
        code, text = check(wine)
        assert code == 2 and "Quillbox42" in text and "Quillbox43" not in text
        assert check(wine, "/crit")[0] == 3 and check(wine, "65")[0] == 3

        # Data again: no longer silent; a port gone: disconnected.
        quiet.send(b"back\r\n")
        assert wait_until(lambda: wine.reg_query(STATUS % 42, "SilentSince") == "", 10)
        assert check(wine, "42")[0] == 0
        quiet.vanish()
        assert wait_until(lambda: wine.reg_query(STATUS % 42, "Connected") == "0x0", 10)
        code, text = check(wine, "42")
        assert code == 2 and "disconnected" in text
        quiet.open()
        assert wait_until(lambda: wine.reg_query(STATUS % 42, "Connected") == "0x1", 10)

        # A restart the same day keeps today's figures and the last data.
        last = wine.reg_query(STATUS % 41, "LastData")
        healthy.stop()
        healthy.start()
        assert wine.reg_query(STATUS % 41, "LastData") == last
        assert status_lines(wine, "41")[1][41][3:5] == [last, "43"]
    finally:
        quiet.close()


def test_the_alarm_and_its_end_are_mailed_once_each(wine, port, instance):
    with AiosmtpdSink(SINK) as sink:
        inst = instance(PortName=port.name, Timeout=2, WarningInterval=1, VerboseLevel=8, SmtpServer=SINK,
                        SmtpFromAddress="tallyline@plant.example", AlarmMailTo="night@plant.example",
                        **WHOLE_DAY)
        inst.start()
        port.send(b"0007 EXT 204 OUT 0161973069\r\n")
        assert wait_until(lambda: len(sink.messages) == 1, 15)
        time.sleep(3)           # several WarningIntervals: still one mail
        assert len(sink.messages) == 1
        port.send(b"0008 EXT 233\r\n")
        assert wait_until(lambda: len(sink.messages) == 2, 15)
        time.sleep(1)
        assert len(sink.messages) == 2
        alarm, back = [m.content.decode("latin-1") for m in sink.messages]
        assert [m.rcpt_tos for m in sink.messages] == [["night@plant.example"]] * 2
        assert "Subject: Tallyline alarm: %s has not received data for 2 seconds (TIMED OUT)" % inst.name in alarm
        assert "Last line received: 0007 EXT 204 OUT 0161973069" in alarm
        assert "Subject: Tallyline: %s receives data again" % inst.name in back
        assert "receives data again after 00:00:" in back

        # With the outbox on, a mail that failed is kept beside it: a restart
        # within its hour, with the server put right, sends it.
        def change(key, name, kind, data):
            wine.run(["reg", "add", SERVICE % inst.n + key, "/v", name, "/t", kind, "/d", data, "/f"])

        def kept():
            return wine.run(["reg", "query", SERVICE % inst.n + r"\Outbox\Notices"], check=False).count("REG_MULTI_SZ")

        inst.stop()
        change(r"\Parameters", "SmtpServer", "REG_SZ", UNREACHABLE)
        change(r"\Parameters", "MailRetryHours", "REG_DWORD", "1")
        mark = wine.mark()
        inst.start()
        assert wine.wait_for_event(lambda e: e.text.startswith('Failed to email "Tallyline alarm: '), timeout=20,
                                   since=mark)
        assert kept() == 1
        inst.stop()
        change(r"\Parameters", "SmtpServer", "REG_SZ", SINK)
        change(r"\Parameters\Port1", "Timeout", "REG_DWORD", "0")
        inst.start()
        assert wait_until(lambda: len(sink.messages) == 3, 15)
        assert "Subject: Tallyline alarm: %s has not received data" % inst.name in \
            sink.messages[2].content.decode("latin-1")
        assert wait_until(lambda: kept() == 0, 5)
        time.sleep(1)
        assert len(sink.messages) == 3
