"""What a standard user could once make LocalSystem run or read, and the
command line as administrators and deployment tools use it: verbs in any
case, an unknown verb that opens no window, a secret read from standard
input, import files only from where administrators alone can change them,
the alarm command's own quotation marks, links in place of a log file, and
DLLs planted beside the configuration program."""

import os
import shutil

from harness.alarm import wait_until
from harness.events import ERROR, WARNING
from harness.instance import STOPPED
from harness.wine import BIN_DIR, to_windows_path

WHOLE_DAY = dict(DayOfWeekMask=0x7F, StartHour=0, StartMin=0, EndHour=24, EndMin=0)


def client(session, *args, input=None):
    return session.run_status(["client.exe"] + list(args), timeout=60, input=input)


def test_verbs_in_any_case_and_a_mistyped_one_that_opens_no_window(wine):
    listed = client(wine, "/list")
    assert client(wine, "-LIST") == listed and listed[0] == 0
    code, out = client(wine, "/?")
    assert code == 0 and "/import FILE [/start | /check]" in out and client(wine, "-Help") == (code, out)
    # Run by a deployment tool, a typo once opened the window (registering
    # Quillbox1 on a first run) and waited for ever.
    code, out = client(wine, "/lsit")
    assert code == 87 and out.startswith('"/lsit" is not a verb of client.exe\nUsage: client.exe')
    assert client(wine, "/list") == listed
    code, out = client(wine, "/set", "Quillbox2", "BaudRate=9600")
    assert code == 2 and '"Quillbox2" is not an instance number' in out


def test_secrets_come_from_standard_input_and_no_planted_dll_is_loaded(wine_factory, workdir, tmp_path):
    # crypt32.dll beside a copy of the program, preferred by the override:
    # a plain load would take it for the system's (it records each load).
    record = tmp_path / "loads.txt"
    s = wine_factory(dll_overrides="crypt32=n,b", extra_env={"TALLY_POPUP_RECORD": to_windows_path(record)})
    folder = tmp_path / "program"
    folder.mkdir()
    for name in ("client.exe", "tallysvc.exe"):
        shutil.copy(os.path.join(BIN_DIR, name), folder)
    shutil.copy(os.path.join(BIN_DIR, "netapi32.dll"), folder / "crypt32.dll")
    program = str(folder / "client.exe")
    code, out = s.run_status([program, "/set", "7", "SmtpPassword=*", "OAuthClientSecret=*"],
                             input=b"pa ss\r\napp s3cret\n")
    assert code == 0 and "Quillbox7 created" in out, out
    for name in ("SmtpPassword", "OAuthClientSecret"):
        assert s.run_status([program, "/get", "7", name])[1].strip() == "; %s is stored and never shown" % name
    blob = s.reg_query(r"HKLM\SYSTEM\CurrentControlSet\Services\Quillbox7\Parameters", "SmtpPassword")
    assert blob and "pa ss".encode().hex().upper() not in blob.upper()
    code, out = s.run_status([program, "/set", "7", "SmtpPassword=*"], input=b"")
    assert code == 2 and "SmtpPassword=* found no line on standard input" in out
    assert s.run_status([program, "/remove", "7"]) == (0, "Quillbox7 removed\n")
    assert s.run_status([program, "/get", "7"])[0] == 1
    assert not record.exists(), record.read_text()


def test_an_import_file_others_can_change_is_refused_and_check_changes_nothing(wine, tmp_path):
    folder = tmp_path / "deploy"
    folder.mkdir(mode=0o755)
    path = folder / "site.ini"
    path.write_text("[Instance 9]\r\nBaudRate=4800\r\n")
    listed = client(wine, "/list")
    for mode, where in ((0o666, path), (0o777, folder)):
        os.chmod(where, mode)
        code, out = client(wine, "/import", to_windows_path(path), "/check")
        assert code == 2 and "users who are not administrators can change" in out, out
        code, out = client(wine, "/Import", to_windows_path(path))
        assert code == 2 and out.endswith("Nothing was changed.\n"), out
        os.chmod(where, 0o644 if where == path else 0o755)
    code, out = client(wine, "-import", to_windows_path(path), "-CHECK")
    assert code == 0 and "can be imported: 1 instance" in out, out
    assert client(wine, "/list") == listed


def test_the_alarm_command_runs_the_program_its_quotation_marks_name(wine, port, instance, tmp_path):
    tools = wine.c_drive("Tools")
    shutil.rmtree(tools, ignore_errors=True)
    os.makedirs(os.path.join(tools, "Alarm Scripts"))
    # The program that CreateProcess would try first for the unquoted form.
    shutil.copy(os.path.join(BIN_DIR, "scctl.exe"), os.path.join(tools, "Alarm.exe"))
    with open(os.path.join(tools, "Alarm Scripts", "page.cmd"), "w", newline="\r\n") as f:
        f.write("@echo paged>>C:\\Tools\\paged.txt\n")
    paged = os.path.join(tools, "paged.txt")
    inst = instance(PortName=port.name, Timeout=1, WarningInterval=0, VerboseLevel=4, **WHOLE_DAY)
    config = tmp_path / "alarm.ini"
    config.write_text('[Instance %d]\nCustomTimeoutCmd="C:\\Tools\\Alarm Scripts\\page.cmd"\n' % inst.n)
    port1 = r"HKLM\SYSTEM\CurrentControlSet\Services\%s\Parameters\Port1" % inst.name
    # On /set with arguments (Wine passes the first quoted whole, as PowerShell does).
    assert client(wine, "/set", str(inst.n), 'CustomTimeoutCmd="C:\\Tools\\Alarm Scripts\\page.cmd"', "--site",
                  "north")[0] == 0
    assert wine.reg_query(port1, "CustomTimeoutCmd") == '"C:\\Tools\\Alarm Scripts\\page.cmd" --site north'
    assert client(wine, "/import", to_windows_path(config))[0] == 0
    assert wine.reg_query(port1, "CustomTimeoutCmd") == '"C:\\Tools\\Alarm Scripts\\page.cmd"'
    inst.start()
    assert wait_until(lambda: os.path.exists(paged), 15)
    inst.stop()

    # Typed without quotation marks, it names two programs: run neither.
    os.remove(paged)
    code, out = client(wine, "/set", str(inst.n), r"CustomTimeoutCmd=C:\Tools\Alarm Scripts\page.cmd")
    assert code == 0, out
    mark = wine.mark()
    inst.start()
    refusal = wine.wait_for_event(lambda e: e.type == ERROR and "is not run" in e.text, since=mark)
    inst.stop()
    assert refusal and '("C:\\Tools\\Alarm", "C:\\Tools\\Alarm Scripts\\page.cmd")' in refusal.text, refusal
    assert not os.path.exists(paged)


def test_the_service_warns_of_files_others_can_change_and_refuses_a_linked_log(wine, port, instance, tmp_path):
    ca = tmp_path / "relay-ca.pem"
    ca.write_text("not used")
    os.chmod(ca, 0o666)
    inst = instance(PortName=port.name, SmtpTrustedCa=to_windows_path(ca))
    logs = inst.log_path().rsplit("/", 1)[0]
    os.chmod(logs, 0o777)
    mark = wine.mark()
    inst.start()
    inst.stop()
    warned = [e.text for e in wine.events_since(mark) if e.type == WARNING]
    assert any(to_windows_path(ca) in t and "(SmtpTrustedCa)" in t for t in warned), warned
    assert any(t.startswith("Warning: users who are not administrators can write to the log folder") for t in warned)
    os.chmod(logs, 0o755)

    # The log file made a second name of another file: nothing is written to it.
    os.remove(inst.log_path())
    other = tmp_path / "other.txt"
    other.write_bytes(b"theirs")
    os.link(other, inst.log_path())
    mark = wine.mark()
    inst.start(wait_state=STOPPED)
    port.send(b"data")
    events = wine.events_since(mark)
    assert any(e.type == ERROR and "is a link to another file" in e.text for e in events), events
    assert other.read_bytes() == b"theirs"


def _client_processes():
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if b"client.exe" in f.read():
                    found.append(pid)
        except OSError:
            pass
    return found


def test_without_a_desktop_the_program_opens_no_window(wine, port, instance):
    # The alarm starts it in the service's window station, which shows
    # nothing: a window there would wait for ever.
    assert _client_processes() == []
    program = to_windows_path(os.path.join(BIN_DIR, "client.exe"))
    inst = instance(PortName=port.name, Timeout=1, WarningInterval=0, CustomTimeoutCmd='"%s"' % program, **WHOLE_DAY)
    inst.start()
    assert wait_until(lambda: _client_processes() != [], 15)
    assert wait_until(lambda: _client_processes() == [], 15)
    inst.stop()
