"""What the alarm tests share: the stand-in netapi32.dll and wtsapi32.dll of
tests/tools (put in the prefix's system folder), their settings and their
records, and a command line whose runs can be counted."""

import os
import shutil
import time

from .events import WARNING
from .instance import RUNNING, STOPPED
from .wine import BIN_DIR, to_windows_path

# The override that makes a session load the stand-ins instead of Wine's DLLs.
STAND_INS = "netapi32,wtsapi32=n,b"
STAND_IN_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\TallylineTests\StandIns"


STAND_IN_DLLS = ("netapi32.dll", "wtsapi32.dll")


def _system_dll(session, name):
    return session.c_drive("windows", "system32", name)


def put_stand_ins(session):
    """Puts the stand-ins into the prefix's system folder, the only place the
    programs load a DLL from; the build's copies beside the programs stay
    there as planted ones that must never load. Wine's own placeholder of
    each is kept aside: without a file of that name there, a load from the
    system folder finds not even Wine's builtin DLL."""
    take_back_stand_ins(session)
    for name in STAND_IN_DLLS:
        os.replace(_system_dll(session, name), _system_dll(session, name) + ".wine")
        shutil.copy(os.path.join(BIN_DIR, name), _system_dll(session, name))


def take_back_stand_ins(session):
    """Puts Wine's placeholders back (also after a run that was cut short)."""
    for name in STAND_IN_DLLS:
        aside = _system_dll(session, name) + ".wine"
        if os.path.exists(aside):
            os.replace(aside, _system_dll(session, name))


def loads(session):
    """(DLL, program) of every load of a stand-in the record holds."""
    try:
        with open(session.popup_record, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return []
    return [tuple(line.split("\t")[1:3]) for line in lines if line.startswith("Loaded\t")]


def stand_in_settings(values):
    """The stand-ins' settings as a .reg text. They go to the registry: a
    service's environment is fixed when Wine's service manager starts and
    holds none of the test's variables."""
    lines = ["REGEDIT4", "", "[-%s]" % STAND_IN_KEY, ""]
    if values:
        lines.append("[%s]" % STAND_IN_KEY)
        lines += ['"%s"="%s"' % (k, v.replace("\\", "\\\\")) for k, v in values.items()]
    return "\n".join(lines) + "\n"


def records(session, service):
    """The stand-ins' records for one service, as lists of fields."""
    try:
        with open(session.popup_record, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return []
    found = []
    for line in lines:
        fields = line.split("\t")
        if fields[0] == "Loaded":
            continue
        text = fields[5] if fields[0] == "NetMessageBufferSend" else fields[4]
        if text.startswith(service + " "):
            found.append(fields)
    return found


def messenger_names(session, service):
    return [r[2] for r in records(session, service) if r[0] == "NetMessageBufferSend"]


def command_for(tmpdir, name):
    """A command line that appends a line to a file per run, and the file."""
    path = os.path.join(str(tmpdir), name)
    return "cmd /c echo tick>>%s" % to_windows_path(path), path


def runs(path):
    try:
        with open(path, "rb") as f:
            return f.read().count(b"tick")
    except FileNotFoundError:
        return 0


def warnings(events, service):
    return [e for e in events if e.type == WARNING and e.text.startswith(service + " has not")]


def start(inst):
    status = inst.start()
    assert status and status["state"] == RUNNING, (status, inst.start_output)


def stop(inst):
    """Stops and checks the state reached. Wine's service manager now and then
    answers a stop with error 109: the service process exits before the
    control's reply has been written. The state is what counts here."""
    status = inst.stop()
    assert status and status["state"] == STOPPED, status


def wait_until(predicate, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def wait_for_log(inst, data, timeout=10):
    return wait_until(lambda: os.path.exists(inst.log_path()) and inst.read_log() == data, timeout)
