"""The service's event-log reports, read from Wine's +eventlog debug lines.

Wine stores nothing in an event log; it prints each report's text, escaped
and cut after about 300 characters, as
    0024:trace:eventlog:ReportEventW L"text"   (information)
    0024:warn:eventlog:ReportEventW L"text"    (warning)
    0024:err:eventlog:ReportEventW L"text"     (error)
The source name and the event identifier are not shown; unit tests cover them.
"""

import re
from dataclasses import dataclass

INFORMATION, WARNING, ERROR = "information", "warning", "error"
_KINDS = {"trace": INFORMATION, "warn": WARNING, "err": ERROR}
_LINE = re.compile(r'^[0-9a-f]+:(trace|warn|err):eventlog:ReportEventW L"(.*)"(\.\.\.)?\s*$')


@dataclass
class Event:
    type: str
    text: str
    cut: bool = False


def _unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            out.append({"r": "\r", "n": "\n", "t": "\t", "\\": "\\", '"': '"'}.get(n, n))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def parse_events(log_text):
    events = []
    for line in log_text.splitlines():
        m = _LINE.match(line)
        if m:
            events.append(Event(_KINDS[m.group(1)], _unescape(m.group(2)), bool(m.group(3))))
    return events
