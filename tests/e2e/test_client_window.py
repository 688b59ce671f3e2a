"""client.exe's main window under Xvfb, driven from guidriver.exe: first run,
menu bar and shortcuts, row placement, the live Status column, the Mail
queue column of instances that retry, context-menu greying, the leaving
prompt, "/uninstall", and one capture through both programs."""

import os
import re
import shutil
import time

from client_gui import *  # noqa: F401,F403  (fixtures)
from client_driver import Client, bin_path, screenshot, screenshot_window, wait_for
from harness import BIN_DIR, VirtualPort
from harness.instance import new_instance_values, reg_file_text
from harness.release import project_version
from layout_check import parse
from test_client_props import EMAIL, OK, RETRY, Sheet

SERVICES = r"HKLM\SYSTEM\CurrentControlSet\Services"
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
PROMPT = "Tallyline Configuration"

MENU_BAR = [
    "32773\t&Save Settings\tCtrl+S", "-", "32771\tE&xit",
    "32774\t&Properties...", "-", "32775\t&New", "32776\t&Duplicate", "-",
    "32777\tSelect A&ll\tCtrl+A", "-", "32778\tDe&lete",
    "32786\t&Live Data", "-", "32787\t&Double-Click Opens Live Data",
    "32779\t&Start", "32780\tS&top", "32781\t&Restart", "-", "32782\t&Continue", "32783\t&Pause", "-",
    "32784\tStart &Automatically", "-", "32785\t&Event Viewer",
    "32772\t&About Tallyline",
]
DOCUMENT_POPUP = ["&Start", "S&top", "&Restart", "&Continue", "&Pause", "Start &Automatically",
                  "&Properties...", "&Duplicate", "De&lete"]
SERVICE_ITEMS = ["&Start", "S&top", "&Restart", "&Continue", "&Pause"]


SLOW = "slowsvc.exe 0"   # the stand-in service, stopping at once


def service_key(n, sub=""):
    return SERVICES + "\\Quillbox%d" % n + sub


def install(gui, n, program="tallysvc.exe", start="demand", **values):
    """Quillbox<N> with a new instance's values (or the given ones)."""
    v = new_instance_values(n)
    v.update(values)
    gui.import_reg(reg_file_text(n, v))
    gui.scctl("create", "Quillbox%d" % n, bin_path(program), start)


def exists(gui, n):
    return "state=" in gui.scctl("query", "Quillbox%d" % n, check=False)


def status_of(c, n):
    for _, cells in c.rows():
        if cells[0] == str(n):
            return cells[2]
    return None


def wait_status(c, n, text, timeout=5.0):
    return c.wait_for(lambda: status_of(c, n) == text, timeout=timeout, interval=0.05)


def greyed(menu):
    return sorted(text for text, (enabled, _) in menu.items() if not enabled)


def test_first_run_registers_instance_1_before_the_window_shows(client, gui):
    c = client()
    # The window is up: the service and its values must be there already.
    assert gui.reg_query(service_key(1), "ImagePath") == bin_path("tallysvc.exe")
    assert gui.reg_query(service_key(1), "DisplayName") == "Tallyline (1)"
    assert gui.reg_query(service_key(1), "Start") == "0x3"
    assert gui.reg_query(service_key(1, r"\Parameters\Port1"), "PortName") == "COM1"
    assert gui.reg_query(service_key(1, r"\Parameters"), "LogFilename") == \
        bin_path("Quillbox1.log")
    info = c.info()
    assert (info["title"], info["visible"], info["status"]) == ("Tallyline", "1", "Ready")
    # The manifest's Common Controls 6 are the ones every GUI test runs with.
    assert parse(c.layout()).common_controls_6
    assert wait_status(c, 1, "Stopped")
    assert c.rows() == [(False, ["1", "COM1", "Stopped", "No", bin_path("Quillbox1.log")])]
    assert c.menubar()["&Save Settings"] == (False, False)
    # Nothing changed: closing asks nothing.
    c.close()
    assert c.wait_exit() == "exited 0"


def test_menu_bar_commands_and_shortcuts(client, gui):
    c = client()
    lines = c.menubar_lines()
    assert [l.split("\t", 3)[0] + "\t" + l.split("\t", 3)[3] if not l.startswith("0\t") else "-"
            for l in lines] == MENU_BAR

    menu = c.menubar()
    assert greyed(menu) == sorted(["&Save Settings", "&Properties...", "&Duplicate", "De&lete",
                                   "Start &Automatically", "&Live Data"] + SERVICE_ITEMS)
    # The Delete key with no row selected is dropped: nothing changes.
    c.keys("delete")
    assert c.numbers() == [1] and not c.menubar()["&Save Settings"][0]

    c.keys("ctrl+a")
    assert c.selected_numbers() == [1]
    assert greyed(c.menubar()) == ["&Save Settings"]

    c.command("new")
    assert c.numbers() == [1, 2]
    assert c.menubar()["&Save Settings"] == (True, False)
    c.keys("ctrl+a")
    assert c.selected_numbers() == [1, 2]
    assert greyed(c.menubar()) == ["&Live Data", "&Properties..."]
    assert not exists(gui, 2)
    c.keys("ctrl+s")
    assert c.wait_for(lambda: exists(gui, 2))
    assert gui.reg_query(service_key(2, r"\Parameters\Port1"), "PortName") == "COM2"
    assert c.menubar()["&Save Settings"] == (False, False)

    # Start Automatically: the menu bar never shows a check mark; the start
    # type changes at the save.
    c.select(2)
    c.command("start_auto")
    assert c.rows()[1][1][3] == "Yes"
    assert c.menubar()["Start &Automatically"] == (True, False)
    assert gui.reg_query(service_key(2), "Start") == "0x3"
    c.command("save")
    assert c.wait_for(lambda: gui.reg_query(service_key(2), "Start") == "0x2")

    # Delete removes the row at once and the service at the next save.
    c.keys("delete")
    assert c.numbers() == [1]
    assert exists(gui, 2)
    c.keys("ctrl+s")
    assert c.wait_for(lambda: not exists(gui, 2))

    c.post("about")
    texts = c.dialog("About Tallyline")
    assert "button\t1\tOK" in texts
    assert "static\tTallyline Version " + project_version() in texts
    c.press("About Tallyline", IDOK)
    c.command("event_viewer")   # no Event Viewer under Wine: silently nothing
    time.sleep(0.5)
    assert c.info()["visible"] == "1"
    c.post("exit")
    assert c.wait_exit() == "exited 0"


def test_new_and_duplicate_keep_the_rows_in_instance_order(client, gui):
    for n in (1, 2, 4):
        install(gui, n)
    c = client()
    assert c.numbers() == [1, 2, 4]
    c.command("new")
    assert c.numbers() == [1, 2, 3, 4]
    assert c.rows()[2] == (False, ["3", "COM3", "", "No", bin_path("Quillbox3.log")])

    # Rows 1 and 3 selected, 2 free: each is copied once, below its source.
    c.select(2)
    c.command("delete")
    c.select(3)
    c.command("delete")
    c.select(4)
    c.command("delete")
    assert c.numbers() == [1]
    install(gui, 3, PortName="COM33")
    c.kill()
    c = Client(c.d).launch()
    assert c.numbers() == [1, 2, 3, 4]   # nothing was saved: 2 and 4 are still installed
    c.select(2)
    c.command("delete")
    c.select(4)
    c.command("delete")
    c.select(1, 3)
    c.command("duplicate")
    assert c.numbers() == [1, 2, 3, 4]
    assert c.column(1) == ["COM1", "COM1", "COM33", "COM33"]
    assert c.selected_numbers() == [1, 3]

    # With 2 and 3 only, New takes 1 and puts it on top.
    c.select(1)
    c.command("delete")
    c.select(4)
    c.command("delete")
    assert c.numbers() == [2, 3]
    c.command("new")
    assert c.numbers() == [1, 2, 3]


def test_status_column_follows_services_controlled_outside(client, gui):
    install(gui, 1, program=SLOW)
    c = client()
    assert wait_status(c, 1, "Stopped")
    for action, state in ((("start",), "Running"), (("control", "pause"), "Paused"),
                          (("control", "continue"), "Running"), (("control", "stop"), "Stopped")):
        gui.scctl(action[0], "Quillbox1", *action[1:])
        started = time.time()
        assert wait_status(c, 1, state, timeout=3.0), state
        # Half-second timer: within about a second (driver round trips included).
        assert time.time() - started < 1.5, state


def outbox(gui, n, count):
    """Instance n's outbox, made by hand, with count finished logs waiting."""
    key = service_key(n, r"\Outbox").replace("HKLM", "HKEY_LOCAL_MACHINE")
    logs = ['"%d"="C:\\\\logs\\\\Quillbox%d-%d.log"' % (i, n, i) for i in range(count)]
    gui.import_reg("\n".join(["REGEDIT4", "", "[-%s]" % key, "", "[%s]" % key] + logs) + "\n")


def headers(c):
    return [column.text for column in parse(c.layout()).columns]


def test_mail_queue_column_is_there_only_while_an_instance_retries(client, gui):
    install(gui, 1)
    install(gui, 2, MailRetryHours=24)
    outbox(gui, 2, 3)
    c = client()
    assert headers(c)[5:] == ["Mail queue"] and c.column(5) == ["", "3"]
    outbox(gui, 2, 4)
    assert c.wait_for(lambda: c.column(5) == ["", "4"])
    c.select(2)
    c.command("duplicate")
    assert c.column(5) == ["", "4", "0"]      # a copy retries too; nothing waits for it yet
    c.select(2, 3)
    c.command("delete")
    assert headers(c)[4:] == ["Log File"] and len(c.rows()[0][1]) == 5
    s = Sheet(c, 1)
    s.tab(EMAIL)
    s.type(RETRY, "5")
    s.close(OK)
    assert headers(c)[5:] == ["Mail queue"] and c.column(5) == ["0"]
    c.command("new")
    assert c.column(5) == ["0", ""]


def test_context_menus_grey_by_state_and_keep_the_routing(client, gui):
    install(gui, 1, program=SLOW, start="auto", PortName="COM7")
    install(gui, 2, program=SLOW)
    install(gui, 3, program=SLOW)
    gui.scctl("start", "Quillbox2")
    gui.scctl("start", "Quillbox3")
    gui.scctl("wait", "Quillbox3", "4", "5000")
    gui.scctl("control", "Quillbox3", "pause")
    c = client()
    assert wait_status(c, 1, "Stopped") and wait_status(c, 2, "Running") and wait_status(c, 3, "Paused")
    assert c.column(3) == ["Yes", "No", "No"]

    menu = c.context_menu(0)
    assert list(menu) == DOCUMENT_POPUP
    assert greyed(menu) == sorted(["S&top", "&Restart", "&Continue", "&Pause"])
    assert menu["Start &Automatically"] == (True, True)
    assert c.selected_numbers() == [1]
    c.close_popup()

    menu = c.context_menu(1)
    assert greyed(menu) == sorted(["&Start", "&Continue"])
    assert menu["Start &Automatically"] == (True, False)
    assert c.selected_numbers() == [2]
    c.close_popup()

    menu = c.context_menu(2)
    assert greyed(menu) == sorted(["&Start", "&Pause"])
    screenshot("client-context-menu.png")
    c.close_popup()

    # Several rows selected and the click on one of them: no greying, no check.
    c.select(1, 2)
    menu = c.context_menu(0)
    assert greyed(menu) == [] and menu["Start &Automatically"] == (True, False)
    assert c.selected_numbers() == [1, 2]
    c.close_popup()
    # A click on an unselected row selects only that row.
    menu = c.context_menu(2)
    assert c.selected_numbers() == [3]
    c.close_popup()
    # Below the rows: only New, and the selection stays.
    menu = c.context_menu("empty")
    assert list(menu) == ["&New"]
    assert c.selected_numbers() == [3]
    c.close_popup()

    # A choice runs like the menu bar's command.
    c.context_menu(1)
    c.choose("t")   # S&top
    assert wait_status(c, 2, "Stopped", timeout=5)
    c.context_menu("empty")
    c.choose("n")   # &New
    assert c.numbers() == [1, 2, 3, 4]


def test_leaving_prompt_yes_no_cancel(client, gui):
    c = client()
    c.command("new")
    c.close()
    texts = c.dialog(PROMPT)
    assert "static\tThe settings have changed.||Do you want to save the changes?" in texts
    assert [t.split("\t")[1] for t in texts if t.startswith("button")] == ["6", "7", "2"]
    c.press(PROMPT, IDCANCEL)
    time.sleep(0.5)
    assert c.wait_exit(200) == "running"
    assert c.numbers() == [1, 2]

    c.close()
    c.dialog(PROMPT)
    c.press(PROMPT, IDNO)
    assert c.wait_exit() == "exited 0"
    assert not exists(gui, 2)

    c = Client(c.d).launch()
    assert c.numbers() == [1]
    c.command("new")
    c.close()
    c.dialog(PROMPT)
    c.press(PROMPT, IDYES)
    assert c.wait_exit() == "exited 0"
    assert exists(gui, 2)
    assert gui.reg_query(service_key(2, r"\Parameters\Port1"), "PortName") == "COM2"


def test_start_from_the_program_captures_bytes_from_a_virtual_port(client, gui, workdir):
    port = VirtualPort(gui, 41, os.path.join(workdir, "gui-ports")).open()
    logdir = gui.c_drive("clientlogs")
    shutil.rmtree(logdir, ignore_errors=True)
    os.makedirs(logdir)
    try:
        install(gui, 1, PortName=port.name, LogFilename="C:\\clientlogs\\Quillbox1.log")
        c = client()
        c.select(1)
        mark = gui.mark()
        c.command("start")
        assert wait_status(c, 1, "Running", timeout=10)
        port.send("first call 0161973069\r\n")
        log = os.path.join(logdir, "Quillbox1.log")
        assert c.wait_for(lambda: os.path.exists(log) and open(log, "rb").read().endswith(b"\r\n"), timeout=10)
        c.command("stop")
        assert wait_status(c, 1, "Stopped", timeout=10)
        assert open(log, "rb").read() == b"first call 0161973069\r\n"
        assert any(e.text.startswith("Quillbox1 Starting") for e in gui.events_since(mark))
    finally:
        port.close()


def test_restart_leaves_a_slow_service_running(client, gui):
    gui.scctl("create", "Quillbox1", bin_path("slowsvc.exe") + " 1500", "demand")
    gui.import_reg(reg_file_text(1, new_instance_values(1)))
    gui.scctl("start", "Quillbox1")
    c = client()
    assert wait_status(c, 1, "Running")
    c.select(1)
    c.post("restart")
    assert wait_status(c, 1, "Stopping", timeout=3)   # the window keeps updating meanwhile
    assert wait_status(c, 1, "Running", timeout=10)
    # Deleted while running, it is stopped before its service goes (else it
    # would keep its port and log on, unlisted).
    c.select(1)
    c.command("delete")
    c.post("save")
    assert c.wait_for(lambda: not exists(gui, 1), timeout=10)
    assert c.menubar()["&Save Settings"] == (False, False)


def test_uninstall_switch(gui_cleanup, gui):
    for switch in ("/uninstall", "/uninstallX", "-Uninstall"):
        install(gui, 1, program=SLOW)
        install(gui, 3, program=SLOW)
        gui.scctl("start", "Quillbox3")
        gui.run(["client.exe", switch], timeout=60)
        assert not exists(gui, 1), switch
        # A running service is not stopped: it goes when it stops.
        assert exists(gui, 3), switch
        gui.scctl("control", "Quillbox3", "stop")
        assert wait_for(lambda: not exists(gui, 3)), switch
        gui_cleanup("purge")
    # Any other word is no verb: the usage, 87, no window, nothing removed.
    install(gui, 2, program=SLOW)
    code, out = gui.run_status(["client.exe", "/uninstal"], timeout=60)
    assert code == 87 and "Usage: client.exe" in out
    assert exists(gui, 2)


def test_a_service_path_with_a_blank_is_quoted(gui_cleanup, gui):
    folder = gui.c_drive("Program Files", "Tallyline Test")
    os.makedirs(folder, exist_ok=True)
    for name in ("client.exe", "tallysvc.exe"):
        shutil.copy(os.path.join(BIN_DIR, name), folder)
    c = Client(gui_cleanup).launch(exe='"C:\\Program Files\\Tallyline Test\\client.exe"')
    try:
        assert gui.reg_query(service_key(1), "ImagePath") == '"C:\\Program Files\\Tallyline Test\\tallysvc.exe"'
        # The Service Control Manager runs that program: it reports its start
        # (or that this machine has no COM1).
        mark = gui.mark()
        gui.scctl("start", "Quillbox1", check=False)
        assert gui.wait_for_event(lambda e: e.text.startswith("Quillbox1 Starting") or
                                  "Com port could not be opened" in e.text, timeout=15, since=mark)
    finally:
        c.kill()
        shutil.rmtree(folder, ignore_errors=True)


def test_property_sheet_layer_runs_pages_like_the_properties_sheet(gui):
    # Filling a page is no edit; an edit enables Apply; Apply reaches the
    # sheet first and then every created page; a page is made when first
    # shown; OK applies all pages and ends the modal loop.
    out = gui.run(["sheetsmoke.exe"], timeout=60, check=False)
    assert "sequence ok" in out, out


def test_a_save_that_fails_does_not_look_saved(client, gui):
    c = client()
    # Another service holds the display name instance 2 needs: it cannot be
    # registered. Its values are still written; the save must not look done.
    c.d("squat Squatter %s|Tallyline (2)" % bin_path(SLOW))
    try:
        c.command("new")
        c.post("save")
        texts = c.dialog(PROMPT)
        assert "static\tThe settings of these instances could not be saved: 2" in texts
        c.press(PROMPT, IDOK)
        assert not exists(gui, 2)
        assert gui.reg_query(service_key(2, r"\Parameters\Port1"), "PortName") == "COM2"
        assert c.wait_for(lambda: c.menubar()["&Save Settings"] == (True, False))

        # Leaving with Yes: the failure is shown and the window stays, the
        # changes still pending; No then leaves.
        c.close()
        c.dialog(PROMPT)
        c.press(PROMPT, IDYES)
        assert c.wait_for(lambda: any("could not be saved: 2" in t for t in c.dialog(PROMPT)))
        c.press(PROMPT, IDOK)
        time.sleep(0.5)
        assert c.wait_exit(200) == "running"
        c.close()
        c.dialog(PROMPT)
        c.press(PROMPT, IDNO)
        assert c.wait_exit() == "exited 0"
    finally:
        c.d("unsquat Squatter", check=False)


def test_the_list_shows_data_flow_and_the_live_view_follows_the_log(client, gui, workdir):
    ports = [VirtualPort(gui, 43 + i, os.path.join(workdir, "live-ports")).open() for i in range(2)]
    logdir = gui.c_drive("livelogs")
    shutil.rmtree(logdir, ignore_errors=True)
    os.makedirs(logdir)
    try:
        install(gui, 1, PortName=ports[0].name, LogFilename="C:\\livelogs\\Quillbox1.log", TimestampFormat=1)
        install(gui, 2, PortName=ports[1].name, LogFilename="C:\\livelogs\\Quillbox2.log", Timeout=2,
                DayOfWeekMask=0x7F)
        install(gui, 3, program=SLOW, LogFilename="C:\\livelogs\\Quillbox3.log")
        gui.scctl("start", "Quillbox1")
        gui.scctl("start", "Quillbox2")
        ports[0].send(b"0001 EXT 204 OUT 0161973069\r\n")
        c = client()
        # Columns of the data flow once a service publishes; a silent one says so.
        assert c.wait_for(lambda: len(c.rows()[0][1]) == 8 and c.rows()[1][1][7].startswith("silent 00:00:0"),
                          timeout=10)
        assert {"Last data", "Today", "Alarm"} <= set(headers(c))
        first, second, third = [cells for _, cells in c.rows()]
        assert re.fullmatch(r"\d\d:\d\d:\d\d", first[5]) and first[6:8] == ["29 B", ""]
        assert second[5:7] == ["never", "0 B"]
        assert third[5:8] == ["", "", ""]
        screenshot_window(c, "client-main-window.png")

        # The live view: the last lines on open, then what comes, a pause
        # that freezes it, and hex.
        c.select(1)
        c.command("live")
        assert c.wait_for(lambda: "0001 EXT 204" in c.live_view(1)[0])
        assert c.live_view(1)[1] == "Following C:\\livelogs\\Quillbox1.log"
        ports[0].send(b"0002 EXT 233\r\n")
        assert c.wait_for(lambda: "0002 EXT 233" in c.live_view(1)[0])
        c.live_command(1, "pause")
        ports[0].send(b"0003 EXT 101\r\n")
        assert c.wait_for(lambda: b"0003" in open(os.path.join(logdir, "Quillbox1.log"), "rb").read())
        time.sleep(1.2)
        assert "0003" not in c.live_view(1)[0] and c.live_view(1)[1].startswith("Paused:")
        c.live_command(1, "pause")
        assert c.wait_for(lambda: "0003 EXT 101" in c.live_view(1)[0])
        screenshot_window(c, "client-live-view.png", "Live Data - Instance 1")
        c.live_command(1, "hex")
        assert c.wait_for(lambda: "30 30 30 33 20 45 58 54" in c.live_view(1)[0])

        # A log that rotates: the rest of the finished file, then the next,
        # as the status names it (here by hand, for a service that is not there).
        status_key = service_key(3, r"\Status").replace("HKLM", "HKEY_LOCAL_MACHINE")
        with open(os.path.join(logdir, "a.log"), "wb") as f:
            f.write(b"line a1\r\n")
        gui.import_reg('REGEDIT4\n\n[%s]\n"LogFile"="C:\\\\livelogs\\\\a.log"\n' % status_key)
        c.command("double_click_live")
        c.double_click(2)
        assert c.wait_for(lambda: "line a1" in c.live_view(3)[0])
        with open(os.path.join(logdir, "a.log"), "ab") as f:
            f.write(b"line a2\r\n")
        with open(os.path.join(logdir, "b.log"), "wb") as f:
            f.write(b"line b1\r\n")
        gui.import_reg('REGEDIT4\n\n[%s]\n"LogFile"="C:\\\\livelogs\\\\b.log"\n' % status_key)
        assert c.wait_for(lambda: "line b1" in c.live_view(3)[0])
        assert c.live_view(3)[0].endswith("line a1 |line a2 | |--- C:\\livelogs\\b.log --- |line b1 |")
        c.command("double_click_live")
    finally:
        for p in ports:
            p.close()
