"""The properties sheet of client.exe under Xvfb, driven from guidriver.exe:
the sheet's flags and result, the General, Timeout and E-mail pages, E-mail
Now against real SMTP sinks, and the saved values a restarted service uses.
Screenshots of the three pages go to docs/."""

import os
import shutil

from client_gui import *  # noqa: F401,F403  (fixtures)
from client_driver import bin_path, screenshot, wait_for
from harness import VirtualPort
from harness.instance import new_instance_values, reg_file_text
from smtpsink import AiosmtpdSink, ScriptedServer

SERVICES = r"HKLM\SYSTEM\CurrentControlSet\Services"
OK, CANCEL, APPLY = 1, 2, 12321
GENERAL, TIMEOUT, EMAIL, FORWARDING = 0, 1, 2, 3
# General page
REPORTS = (1006, 1007, 1008, 1009)
AUTO_START, PORT, SPEED, STOP_BITS, BYTE_SIZE, PARITY, TIMESTAMP = 1010, 1011, 1012, 1013, 1014, 1015, 1016
ROTATION, PREVIEW, LOG_FILE, FLOW = 1017, 1018, 1019, 1050
# Timeout page
NEVER, AFTER, ONCE, EVERY, ENTIRE_DAY, START, END, SECONDS, INTERVAL = \
    1034, 1035, 1036, 1037, 1038, 1040, 1041, 1042, 1043
DAYS = dict(Sunday=1027, Monday=1029, Tuesday=1028, Wednesday=1030, Thursday=1033, Friday=1031, Saturday=1032)
COMMAND, RECIPIENTS = 1025, 1026
# E-mail page
SERVER, FROM, TO, EMAIL_NOW = 1021, 1022, 1023, 1024
RETRY, ZIP, SIGN_IN, OAUTH = 1051, 1052, 1053, 1054
ERROR_CAPTION = "E-mail Error"
# Forwarding page
COLLECTOR, TRANSPORT, FACILITY, FORWARD_CA = 1060, 1061, 1062, 1063


def install(gui, n, **values):
    v = new_instance_values(n)
    v.update(values)
    gui.import_reg(reg_file_text(n, v))
    gui.scctl("create", "Quillbox%d" % n, bin_path("tallysvc.exe"), "demand")


def param(gui, n, name):
    """A saved parameter: an int for a DWORD, else the string."""
    sub = r"\Parameters" if name in ("LogFilename", "SmtpServer", "SmtpToAddress", "SmtpFromAddress",
                                     "TimestampFormat", "VerboseLevel", "LogRotation") else r"\Parameters\Port1"
    text = gui.reg_query(SERVICES + "\\Quillbox%d" % n + sub, name)
    return int(text, 16) if text.startswith("0x") else text


def save_enabled(c):
    return c.menubar()["&Save Settings"][0]


class Control:
    def __init__(self, line):
        self.cls, enabled, checked, cursel, self.text = line.split("\t", 4)
        self.enabled, self.checked, self.cursel = enabled == "1", checked == "1", int(cursel)


class Sheet:
    """The open properties sheet of instance n."""

    def __init__(self, c, n):
        self.c, self.d, self.n = c, c.d, n
        c.select(n)
        c.post("properties")
        self.d("sheet 10000 Properties for Instance %d" % n)

    def ctl(self, ident):
        return Control(self.d("ctl %d" % ident)[0])

    def text(self, ident):
        return self.ctl(ident).text

    def checked(self, ident):
        return self.ctl(ident).checked

    def enabled(self, ident):
        return self.ctl(ident).enabled

    def apply_enabled(self):
        return self.enabled(APPLY)

    def tab(self, index):
        self.d("tab %d" % index)

    def type(self, ident, text, at_caret=False):
        self.d("%s %d %s" % ("typeat" if at_caret else "type", ident, text))

    def set_text(self, ident, text):
        self.d("settext %d %s" % (ident, text))

    def click(self, ident):
        self.d("click %d" % ident)

    def choose(self, ident, index):
        self.d("choose %d %d" % (ident, index))

    def time(self, ident):
        valid, h, m, s = (int(x) for x in self.d("time %d" % ident)[0].split())
        assert valid
        return h, m, s

    def set_time(self, ident, h, m, s):
        self.d("settime %d %d %d %d" % (ident, h, m, s))

    def spin(self, ident, field):
        """Spins one field of a picker up (0 hour, 1 minute, 2 second)."""
        self.d("spin %d %d" % (ident, field))

    def close(self, how=OK):
        if how == "closebox":
            self.d("closebox")
        else:
            self.d("postclick %d" % how)
        assert self.d("sheetgone 10000") == ["gone"]

    def open_dialog(self, button, caption):
        """Opens a page's modal dialog by its button: the commands above then
        reach the dialog's controls, until close_dialog."""
        self.d("postclick %d" % button)
        self.d("sheet 10000 " + caption)

    def close_dialog(self, how=OK):
        self.close(how)
        self.d("sheet 10000 Properties for Instance %d" % self.n)


def saved(c):
    c.command("save")
    assert not save_enabled(c)


def test_sheet_result_apply_and_first_display_of_pages(client, gui):
    c = client()   # first run: instance 1
    assert not save_enabled(c)

    # OK without an edit: result 0, Save Settings stays disabled. Showing
    # each page for the first time is not an edit.
    s = Sheet(c, 1)
    assert s.text(PORT) == "COM1" and not s.apply_enabled()
    # Leaving the port box stores its text; unchanged, that is not an edit.
    s.d("focus %d" % PORT)
    for page in (TIMEOUT, EMAIL, FORWARDING, GENERAL):
        s.tab(page)
        assert not s.apply_enabled(), page
    s.close(OK)
    assert not save_enabled(c)

    # Edit, Apply, edit again, Cancel: the applied value stays, the later
    # edit is lost, and the result is 1.
    s = Sheet(c, 1)
    s.type(PORT, "COM7")
    assert s.apply_enabled()
    s.click(APPLY)
    assert not s.apply_enabled()
    s.type(PORT, "COM9")
    assert s.apply_enabled()
    s.close(CANCEL)
    assert c.rows()[0][1][1] == "COM7"
    assert save_enabled(c)
    saved(c)
    assert param(gui, 1, "PortName") == "COM7"

    # An edit on General keeps Apply enabled when later pages are first
    # shown; the close box drops the edit and, with nothing applied, gives 0.
    s = Sheet(c, 1)
    s.type(LOG_FILE, r"C:\elsewhere\calls.log")
    for page in (TIMEOUT, EMAIL):
        s.tab(page)
        assert s.apply_enabled(), page
    s.close("closebox")
    assert not save_enabled(c)
    assert c.rows()[0][1][4] == bin_path("Quillbox1.log")

    # Edit and OK: copied, result 1, the row shows the new values.
    s = Sheet(c, 1)
    s.type(LOG_FILE, r"C:\elsewhere\calls.log")
    s.click(AUTO_START)
    s.close(OK)
    assert save_enabled(c)
    assert c.rows()[0][1][3:] == ["Yes", r"C:\elsewhere\calls.log"]


def test_forwarding_page_keeps_an_unknown_transport_until_one_is_chosen(client, gui):
    install(gui, 3, ForwardTo="xyz://old.example:1", ForwardFacility=20)
    c = client()
    s = Sheet(c, 3)
    s.tab(FORWARDING)
    assert (s.text(COLLECTOR), s.ctl(TRANSPORT).cursel, s.ctl(FACILITY).cursel) == ("old.example:1", -1, 4)
    s.type(COLLECTOR, "logs.plant.example:6514")
    s.close(OK)
    saved(c)
    key = SERVICES + r"\Quillbox3\Parameters"
    assert gui.reg_query(key, "ForwardTo") == "xyz://logs.plant.example:6514"
    s = Sheet(c, 3)
    s.tab(FORWARDING)
    s.choose(TRANSPORT, 1)
    s.choose(FACILITY, 0)
    s.type(FORWARD_CA, r"C:\certs\ca.pem")
    s.close(OK)
    saved(c)
    assert [gui.reg_query(key, v) for v in ("ForwardTo", "ForwardFacility", "ForwardTrustedCa")] == \
        ["tls://logs.plant.example:6514", None, r"C:\certs\ca.pem"]


def test_general_page_stores_and_previews(client, gui):
    install(gui, 2, LogFilename=r"C:\logs\Quillbox2.log", VerboseLevel=0x13, BaudRate=9600,
            ByteSize=8, Parity=0, StopBits=0)
    c = client()
    s = Sheet(c, 2)
    assert [s.checked(b) for b in REPORTS] == [True, True, False, False]
    assert (s.text(SPEED), s.ctl(BYTE_SIZE).cursel, s.ctl(ROTATION).cursel, s.ctl(FLOW).cursel) == ("9600", 4, 0, 0)
    assert s.text(PREVIEW) == "Quillbox2.log"
    screenshot("props-general.png", 625, 552)

    # The name preview: the stamp pattern before the first dot.
    previews = []
    for rotation in (1, 2, 3, 0):
        s.choose(ROTATION, rotation)
        previews.append(s.text(PREVIEW))
    assert previews == ["Quillbox2yyyymm.log", "Quillbox2yyyymmdd.log", "Quillbox2yyyymmdd.log", "Quillbox2.log"]
    s.type(LOG_FILE, r"C:\logs\capture")
    s.choose(ROTATION, 4)
    assert s.text(PREVIEW) == "captureyyyymmddhh"
    s.type(LOG_FILE, r"C:\logs\calls.port1.log")
    s.choose(ROTATION, 3)
    assert s.text(PREVIEW) == "callsyyyymmdd.port1.log"
    s.choose(ROTATION, 5)
    assert s.text(PREVIEW) == "callsyyyymmddhhmm.port1.log"

    # A report box changes only its own bit.
    s.click(1008)
    # Speed typed beside the list, a non-number first (stored as 0 meanwhile).
    s.type(SPEED, "fast")
    s.type(SPEED, "14400")
    s.type(PORT, "COM123456")          # cut to 7 characters
    s.choose(BYTE_SIZE, 3)
    s.choose(PARITY, 4)
    s.choose(STOP_BITS, 1)
    s.choose(TIMESTAMP, 1)
    s.choose(FLOW, 1)
    s.click(AUTO_START)
    s.close(OK)
    saved(c)

    got = {name: param(gui, 2, name) for name in ("VerboseLevel", "BaudRate", "PortName", "ByteSize", "Parity",
                                                  "StopBits", "TimestampFormat", "LogRotation", "LogFilename",
                                                  "FlowControl")}
    assert got == dict(VerboseLevel=0x17, BaudRate=14400, PortName="COM1234", ByteSize=7, Parity=4, StopBits=1,
                       TimestampFormat=1, LogRotation=5, LogFilename=r"C:\logs\calls.port1.log", FlowControl=1)
    assert gui.reg_query(SERVICES + r"\Quillbox2", "Start") == "0x2"
    assert c.rows()[0][1][1] == "COM1234"


def test_timeout_page(client, gui):
    install(gui, 1)                                            # 9:00 to 18:00, Monday to Friday
    install(gui, 2, StartHour=0, StartMin=0, EndHour=24, EndMin=0, Timeout=120, WarningInterval=0)
    install(gui, 3, StartHour=8, StartMin=0, EndHour=24, EndMin=0)
    c = client()

    s = Sheet(c, 1)
    s.tab(TIMEOUT)
    assert not s.apply_enabled()
    assert (s.time(START), s.time(END)) == ((9, 0, 0), (18, 0, 0))
    assert not s.checked(ENTIRE_DAY) and s.enabled(START)
    assert (s.checked(NEVER), s.checked(AFTER), s.enabled(SECONDS), s.text(SECONDS)) == (True, False, False, "0")
    assert (s.checked(ONCE), s.checked(EVERY), s.enabled(INTERVAL), s.text(INTERVAL)) == (False, True, True, "600")
    assert [name for name, ident in DAYS.items() if s.checked(ident)] == \
        ["Monday", "Tuesday", "Wednesday", "Thursday", "Friday"]
    screenshot("props-timeout.png", 625, 552)

    # The radio pairs are independent.
    s.click(ONCE)
    assert (s.checked(NEVER), s.checked(ONCE), s.checked(EVERY), s.enabled(INTERVAL)) == (True, True, False, False)
    s.click(AFTER)
    assert (s.checked(AFTER), s.checked(NEVER), s.checked(ONCE), s.enabled(SECONDS)) == (True, False, True, True)
    # Digits only; Never keeps 300 in the disabled edit, Timeout brings it back.
    s.type(SECONDS, "3x0y0")
    assert s.text(SECONDS) == "300"
    s.click(NEVER)
    assert (s.text(SECONDS), s.enabled(SECONDS)) == ("300", False)
    s.click(AFTER)

    # Sunday and Saturday only.
    for name in ("Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Sunday", "Saturday"):
        s.click(DAYS[name])
    # Entire Day on: 00:00:00, pickers disabled; off: enabled at 00:00.
    s.click(ENTIRE_DAY)
    assert (s.time(START), s.time(END), s.enabled(START), s.enabled(END)) == ((0, 0, 0), (0, 0, 0), False, False)
    s.click(ENTIRE_DAY)
    assert (s.enabled(START), s.enabled(END)) == (True, True)
    # The seconds of a picker go back to 0; only hour and minute are stored.
    s.set_time(START, 7, 30, 44)
    s.spin(START, 2)
    s.set_time(END, 19, 14, 59)
    s.spin(END, 1)
    assert (s.time(START), s.time(END)) == ((7, 30, 0), (19, 15, 0))
    s.type(COMMAND, "c" * 300)
    s.type(RECIPIENTS, "r" * 300)
    s.close(OK)
    saved(c)
    got = {name: param(gui, 1, name) for name in ("Timeout", "WarningInterval", "DayOfWeekMask", "StartHour",
                                                  "StartMin", "EndHour", "EndMin")}
    assert got == dict(Timeout=300, WarningInterval=0, DayOfWeekMask=0x41, StartHour=7, StartMin=30,
                       EndHour=19, EndMin=15)
    assert (param(gui, 1, "CustomTimeoutCmd"), param(gui, 1, "NetSendUsers")) == ("c" * 259, "r" * 255)

    # A whole-day instance opens with Entire Day checked, pickers disabled
    # at 00:00:00 and Apply disabled; the window stays 0, 0, 24, 0.
    s = Sheet(c, 2)
    s.tab(TIMEOUT)
    assert s.checked(ENTIRE_DAY) and not s.apply_enabled()
    assert (s.time(START), s.time(END), s.enabled(START), s.enabled(END)) == ((0, 0, 0), (0, 0, 0), False, False)
    assert (s.checked(AFTER), s.text(SECONDS), s.checked(ONCE), s.enabled(INTERVAL)) == (True, "120", True, False)
    s.click(DAYS["Sunday"])
    s.close(OK)
    # A window ending at 24:00 other than the whole day is a plain window,
    # as the service reads it: Entire Day clear, and opening the page does
    # not change the stored end.
    s = Sheet(c, 3)
    s.tab(TIMEOUT)
    assert not s.checked(ENTIRE_DAY) and not s.apply_enabled()
    assert (s.time(START), s.time(END), s.enabled(END)) == ((8, 0, 0), (0, 0, 0), True)
    s.click(DAYS["Sunday"])
    s.close(OK)
    saved(c)
    assert [param(gui, 2, v) for v in ("StartHour", "StartMin", "EndHour", "EndMin", "DayOfWeekMask")] == \
        [0, 0, 24, 0, 0x7E]
    assert [param(gui, 3, v) for v in ("StartHour", "StartMin", "EndHour", "EndMin", "DayOfWeekMask")] == \
        [8, 0, 24, 0, 0x7E]

    # Clearing Entire Day of the whole-day instance gives 00:00 to 00:00.
    s = Sheet(c, 2)
    s.tab(TIMEOUT)
    s.click(ENTIRE_DAY)
    assert s.apply_enabled()
    s.close(OK)
    saved(c)
    assert [param(gui, 2, v) for v in ("StartHour", "StartMin", "EndHour", "EndMin")] == [0, 0, 0, 0]


def no_error_box(c):
    return c.d("dialog 700 " + ERROR_CAPTION, check=False)[-1].startswith("ERR")


def error_box(c):
    """The text of the open "E-mail Error" box, which is then closed."""
    texts = [line.split("\t", 1)[1] for line in c.dialog(ERROR_CAPTION, 20000) if line.startswith("static")]
    c.press(ERROR_CAPTION, 1)
    wait_for(lambda: no_error_box(c), timeout=5)
    return texts[-1]


def test_email_page_and_email_now(client, gui):
    log = gui.c_drive("maillogs", "Quillbox1.log")
    shutil.rmtree(os.path.dirname(log), ignore_errors=True)
    os.makedirs(os.path.dirname(log))
    with open(log, "wb") as f:
        f.write(b"2026-12-08 00:00:00.000: first call\r\n")
    install(gui, 1, LogFilename=r"C:\maillogs\Quillbox1.log", SmtpServer="127.0.7.1",
            SmtpFromAddress="tally@example.com")
    c = client()
    s = Sheet(c, 1)
    s.tab(EMAIL)
    assert not s.apply_enabled()
    assert [s.text(i) for i in (SERVER, FROM, TO)] == ["127.0.7.1", "tally@example.com", ""]
    # 70 characters typed, 63 stored and mailed.
    address = "x" * 51 + "@example.org"
    assert len(address) == 63
    s.type(TO, address + "TRAILER")
    assert s.text(TO) == address        # the box takes no more than is stored: nothing is cut unseen
    assert s.apply_enabled()
    screenshot("props-email.png", 625, 552)

    with AiosmtpdSink("127.0.7.1") as sink:
        s.click(EMAIL_NOW)     # the edit is not applied yet: the button uses it
        assert len(sink.messages) == 1
        assert sink.messages[0].rcpt_tos == [address]
        assert b"first call" not in sink.messages[0].content   # attached as base64
        assert no_error_box(c)
        assert s.enabled(EMAIL_NOW)

    # Each failure shows its message; the flags and Apply stay as they were.
    s.click(APPLY)
    assert not s.apply_enabled()
    s.d("postclick %d" % EMAIL_NOW)
    assert error_box(c) == "Could not connect to SMTP server"   # nothing listens now
    with ScriptedServer("127.0.7.2", greeting=(b"554 go away\r\n",)):
        s.set_text(SERVER, "127.0.7.2")
        s.d("postclick %d" % EMAIL_NOW)
        assert error_box(c) == "Invalid SMTP server response"
    # The button is disabled while the dialogue runs (here a slow greeting).
    with ScriptedServer("127.0.7.3", greeting=(b"220 slow", b" server\r\n"), pause=2.0) as slow:
        s.set_text(SERVER, "127.0.7.3")
        s.d("postclick %d" % EMAIL_NOW)
        assert wait_for(lambda: slow.connections == 1, timeout=10)
        assert s.d("enabled %d" % EMAIL_NOW) == ["0"]
        assert wait_for(lambda: len(slow.messages) == 1, timeout=20)
        assert wait_for(lambda: s.d("enabled %d" % EMAIL_NOW) == ["1"], timeout=10)
        assert no_error_box(c)
    s.set_text(SERVER, "no-such-host.invalid")
    s.d("postclick %d" % EMAIL_NOW)
    assert error_box(c) == "Could not resolve SMTP server"
    s.tab(GENERAL)
    s.type(LOG_FILE, r"C:\maillogs\missing.log")
    s.tab(EMAIL)
    s.click(APPLY)
    s.d("postclick %d" % EMAIL_NOW)
    assert error_box(c) == "The logfile to be sent could not be opened"
    assert s.enabled(EMAIL_NOW) and not s.apply_enabled()
    s.close(OK)
    saved(c)
    assert param(gui, 1, "SmtpToAddress") == address
    assert param(gui, 1, "SmtpServer") == "no-such-host.invalid"


def test_saved_edits_are_used_by_the_restarted_service(client, gui, workdir):
    port = VirtualPort(gui, 42, os.path.join(workdir, "props-ports")).open()
    logdir = gui.c_drive("propslogs")
    shutil.rmtree(logdir, ignore_errors=True)
    os.makedirs(logdir)
    try:
        install(gui, 1, PortName=port.name, LogFilename="C:\\propslogs\\before.log", TimestampFormat=0)
        gui.scctl("start", "Quillbox1")
        c = client()
        s = Sheet(c, 1)
        s.type(LOG_FILE, "C:\\propslogs\\after.log")
        s.choose(TIMESTAMP, 1)
        s.close(OK)
        saved(c)
        assert param(gui, 1, "LogFilename") == "C:\\propslogs\\after.log"
        c.select(1)
        c.command("restart")
        after = os.path.join(logdir, "after.log")
        assert wait_for(lambda: os.path.exists(after), timeout=15)
        port.send("call after restart\r\n")
        assert wait_for(lambda: open(after, "rb").read().endswith(b"call after restart\r\n"), timeout=10)
        # Timestamps are on: "yyyy-mm-dd hh:mm:ss.mmm: " before the line.
        assert open(after, "rb").read()[4:5] == b"-", open(after, "rb").read()
        c.command("stop")
    finally:
        port.close()
