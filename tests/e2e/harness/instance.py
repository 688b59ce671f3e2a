"""One service instance Quillbox<N>: its 23 registry values, its registration
with the real Service Control Manager, and control of it."""

import os
import re
import time

from .wine import BIN_DIR, to_windows_path

# name -> (key, type) in the order both programs use.
PARAMETERS = [
    ("LogFilename", "params", "sz"), ("SmtpServer", "params", "sz"),
    ("SmtpToAddress", "params", "sz"), ("SmtpFromAddress", "params", "sz"),
    ("TimestampFormat", "params", "dword"), ("VerboseLevel", "params", "dword"),
    ("LogRotation", "params", "dword"), ("PauseTimeout", "params", "dword"),
    ("PortName", "port", "sz"), ("BaudRate", "port", "dword"), ("ByteSize", "port", "dword"),
    ("ComBufferSize", "port", "dword"), ("Parity", "port", "dword"),
    ("StopBits", "port", "dword"), ("Timeout", "port", "dword"),
    ("WarningInterval", "port", "dword"), ("CustomTimeoutCmd", "port", "sz"),
    ("NetSendUsers", "port", "sz"), ("DayOfWeekMask", "port", "dword"),
    ("StartHour", "port", "dword"), ("StartMin", "port", "dword"), ("EndHour", "port", "dword"),
    ("EndMin", "port", "dword"),
]
PARAMETER_NAMES = [p[0] for p in PARAMETERS]
# The optional values of the parameters key: name -> type (hex: bytes).
OPTIONAL_VALUES = {
    "SmtpPort": "dword", "SmtpSecurity": "dword", "SmtpUser": "sz", "SmtpTrustedCa": "sz", "SmtpPassword": "hex",
    "SmtpAuthMethod": "dword", "OAuthTokenUrl": "sz", "OAuthClientId": "sz", "OAuthScope": "sz",
    "OAuthClientSecret": "hex", "OAuthCertificate": "sz", "OAuthKeyFile": "sz", "OAuthProxy": "sz", "OAuthTrustedCa": "sz",
    "MailRetryHours": "dword", "MailAttachment": "dword", "AlarmMailTo": "sz",
    "ForwardTo": "sz", "ForwardFacility": "dword", "ForwardTrustedCa": "sz", "ForwardCertificate": "sz",
}
# Optional values of the Port1 key.
OPTIONAL_PARAMETERS = [("FlowControl", "port", "dword"), ("Source", "port", "sz"), ("AllowedSenders", "port", "sz")]

STOPPED, START_PENDING, STOP_PENDING, RUNNING, CONTINUE_PENDING, PAUSE_PENDING, PAUSED = range(1, 8)

SERVICES_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services"


def new_instance_values(n, log_dir="C:\\"):
    """The values the configuration program gives a new instance N."""
    return {
        "LogFilename": log_dir.rstrip("\\") + "\\Quillbox%d.log" % n,
        "SmtpServer": "", "SmtpToAddress": "", "SmtpFromAddress": "",
        "TimestampFormat": 0, "VerboseLevel": 3, "LogRotation": 0, "PauseTimeout": 0xFFFFFFFF,
        "PortName": "COM%d" % n, "BaudRate": 2400, "ByteSize": 8, "ComBufferSize": 0,
        "Parity": 0, "StopBits": 0, "Timeout": 0, "WarningInterval": 600,
        "CustomTimeoutCmd": "", "NetSendUsers": "", "DayOfWeekMask": 0x3E,
        "StartHour": 9, "StartMin": 0, "EndHour": 18, "EndMin": 0,
    }


def _reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_file_text(n, values):
    """A REGEDIT4 file that replaces instance N's parameter keys with exactly
    the given values (values left out are absent)."""
    key = SERVICES_KEY + "\\Quillbox%d\\Parameters" % n
    # An outbox or forwarding place left by an earlier test of the number goes too.
    lines = ["REGEDIT4", "", "[-%s]" % key, "[-%s\\Quillbox%d\\Outbox]" % (SERVICES_KEY, n),
             "[-%s\\Quillbox%d\\Forward]" % (SERVICES_KEY, n), ""]
    optional = [(name, "params", kind) for name, kind in OPTIONAL_VALUES.items()]
    for section, path in (("params", key), ("port", key + "\\Port1")):
        lines.append("[%s]" % path)
        for name, where, kind in PARAMETERS + optional + OPTIONAL_PARAMETERS:
            if where != section or name not in values:
                continue
            v = values[name]
            if kind == "dword":
                lines.append('"%s"=dword:%08x' % (name, v & 0xFFFFFFFF))
            elif kind == "hex":
                lines.append('"%s"=hex:%s' % (name, ",".join("%02x" % b for b in v)))
            else:
                lines.append('"%s"=%s' % (name, _reg_string(v)))
        lines.append("")
    return "\n".join(lines) + "\n"


_STATUS = re.compile(r"state=(\d+) checkpoint=(\d+) waithint=(\d+) exit=(\d+) specific=(\d+)")


def leave_in_outbox(session, name, windows_path):
    """Enters a finished log in service `name`'s mail outbox, as a run that
    ended before it was mailed leaves it: the next start mails it."""
    session.run(["reg", "add", SERVICES_KEY + "\\%s\\Outbox" % name, "/v", "00000001", "/t", "REG_SZ",
                 "/f", "/d", time.strftime("since=%Y-%m-%dT%H:%M:%SZ", time.gmtime()) +
                 " tries=0 reason=0 parts=0 sent=0 path=" + windows_path])


def parse_status(text):
    m = _STATUS.search(text)
    if not m:
        return None
    keys = ("state", "checkpoint", "waithint", "exit", "specific")
    return dict(zip(keys, (int(g) for g in m.groups())))


class Instance:
    """Instance N installed in a session; values default to a new instance's,
    with the log under C:\\ of the prefix."""

    def __init__(self, session, n, **values):
        self.session = session
        self.n = n
        self.name = "Quillbox%d" % n
        self.values = new_instance_values(n)
        self.values.update(values)

    def install(self, omit=(), program=None):
        """Writes the values and registers the service, running the built
        tallysvc.exe or the given program (a Windows path, quoted as needed)."""
        values = {k: v for k, v in self.values.items() if k not in omit}
        self.session.import_reg(reg_file_text(self.n, values))
        self.session.scctl("create", self.name,
                           program or to_windows_path(os.path.join(BIN_DIR, "tallysvc.exe")))
        return self

    def uninstall(self, delete=False):
        """Stops the service. The registration is left for the next test that
        uses the number (install() takes it over): deleting services whose
        processes have just ended has been seen to bring Wine's service
        manager down in the middle of later tests."""
        self.stop()
        if delete:
            self.session.scctl("delete", self.name, check=False)

    # --- control -----------------------------------------------------------
    def start(self, wait_state=RUNNING, timeout_ms=15000):
        self.session.started_services.add(self.name)
        # A service that stops during its start-up makes StartService fail
        # under Wine (1053) although the stop is what the test expects.
        self.start_output = self.session.scctl("start", self.name, check=False)
        if wait_state is not None:
            return self.wait(wait_state, timeout_ms)

    def control(self, what):
        return parse_status(self.session.scctl("control", self.name, what))

    def stop(self, timeout_ms=70000):
        """Stops the service and returns the state it ends in. The control's
        own answer is not judged: under Wine it can fail with a broken pipe
        (109) when the process ends on its STOPPED report before replying, or
        with an RPC error while the service manager is busy; so the control
        is sent again until the service stops or reports stop pending."""
        deadline = time.time() + timeout_ms / 1000
        while True:
            status = self.query()
            if status and status["state"] == STOPPED:
                return status
            if not status or status["state"] != STOP_PENDING:
                self.session.scctl("control", self.name, "stop", check=False)
            status = self.wait(STOPPED, 5000)
            if (status and status["state"] == STOPPED) or time.time() > deadline:
                return status

    def pause(self):
        """Pauses; a pause whose flush outlasts the handler's answer is
        reported pending first, and this waits for the pause itself."""
        status = self.control("pause")
        if status and status["state"] == PAUSE_PENDING:
            status = self.wait(PAUSED)
        return status

    def resume(self):
        return self.control("continue")

    def query(self):
        return parse_status(self.session.scctl("query", self.name, check=False))

    def wait(self, state, timeout_ms=15000):
        return parse_status(self.session.scctl("wait", self.name, str(state), str(timeout_ms),
                                               check=False, timeout=timeout_ms / 1000 + 30))

    def outbox(self):
        """The logs waiting in the service's mail outbox: [(name, text)], oldest first."""
        out = self.session.run(["reg", "query", SERVICES_KEY + "\\%s\\Outbox" % self.name], check=False)
        entries = [line.split(None, 2) for line in out.splitlines()]
        return sorted((e[0], e[2]) for e in entries if len(e) == 3 and e[1] == "REG_SZ")

    # --- the log -----------------------------------------------------------
    def unix_path(self, windows_path):
        """Where a C:\\ path of this prefix lies on the Unix side."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return self.session.c_drive(*windows_path[3:].split("\\"))

    def log_path(self):
        return self.unix_path(self.values["LogFilename"])

    def read_log(self, path=None):
        with open(path or self.log_path(), "rb") as f:
            return f.read()
