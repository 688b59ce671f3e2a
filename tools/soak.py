#!/usr/bin/python3
"""Soak run: many instances capture for a long time at once; prints what each
kept, lost and mailed, and what each service process used.

    /usr/bin/python3 tools/soak.py [--minutes M] [--instances N] [--client]

Defaults: 60 minutes, 16 instances. Each instance has its own virtual port,
fed by a simulated device at the pace of 115200 baud with numbered 64-byte
CR LF lines, and runs with timestamps, minutely rotation, mail to a loopback
sink and VerboseLevel 15. Reported per instance: bytes sent, captured, lost
and duplicated (the rotated files joined in order, stamps removed, each line
checked against the one sent), lines whose stamp is missing or doubled,
files closed against mails received (each mail's attachment compared with
its file), and the error and warning events. Per service process: CPU time,
working set and handle count at the start, middle and end, each taken 30 s
into a minute (between two rotations, after the first), so the counts of
different times are comparable. With --client, the configuration program
is started on the running instances (Xvfb on TALLY_GUI_DISPLAY, default :91)
and the cost of its 500 ms status refresh is measured.

Asserts nothing; tests/e2e/test_soak.py runs a short version with assertions.
Run after tools/build.sh.
"""

import argparse
import concurrent.futures
import email
import email.policy
import fcntl
import glob
import hashlib
import os
import re
import shutil
import sys
import tempfile
import threading
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))

from harness import BIN_DIR, Instance, VirtualPort, WineSession  # noqa: E402
from harness.events import ERROR, WARNING  # noqa: E402
from harness.instance import RUNNING, STOPPED, new_instance_values, reg_file_text  # noqa: E402
from harness.wine import to_windows_path  # noqa: E402

BAUD_BYTES_PER_S = 11520            # 115200 baud, 10 bits a character
LINE_LENGTH = 64
STAMP = re.compile(rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}: ")
FROM, TO = "tallyline@plant.example", "soak@plant.example"
TICKS = os.sysconf("SC_CLK_TCK")
SAMPLE_SECOND = 30                  # samples are taken this far into a minute


def make_line(n, seq):
    """Line `seq` of instance `n`: 64 bytes with its CR LF."""
    head = b"Q%02d %08d " % (n, seq)
    body = (b"%08d" % (seq * 7919 % 100000000)) * 8
    return head + body[:LINE_LENGTH - 2 - len(head)] + b"\r\n"


# --- the simulated devices ----------------------------------------------------

class Feeder(threading.Thread):
    """Feeds every port at the pace of 115200 baud. Writes never block: what a
    port's pty does not take at once waits and goes first next time, so one
    slow reader cannot hold up the others."""

    def __init__(self, feeds):
        super().__init__(daemon=True)
        self.feeds = feeds          # [(instance number, VirtualPort)]
        self.sent_lines = {n: 0 for n, _ in feeds}
        self.waiting = {n: b"" for n, _ in feeds}
        self.done = threading.Event()
        for _, port in feeds:
            flags = fcntl.fcntl(port._fd, fcntl.F_GETFL)
            fcntl.fcntl(port._fd, fcntl.F_SETFL, flags | os.O_NONBLOCK)

    def run(self):
        began = time.time()
        while not self.done.is_set():
            due = int((time.time() - began) * BAUD_BYTES_PER_S / LINE_LENGTH)
            for n, port in self.feeds:
                new = due - self.sent_lines[n]
                if new > 0:
                    first = self.sent_lines[n]
                    self.waiting[n] += b"".join(make_line(n, s) for s in range(first, first + new))
                    self.sent_lines[n] = due
                self._push(n, port)
            self.done.wait(0.02)
        deadline = time.time() + 30
        while any(self.waiting.values()) and time.time() < deadline:
            for n, port in self.feeds:
                self._push(n, port)
            time.sleep(0.02)

    def _push(self, n, port):
        data = self.waiting[n]
        if not data:
            return
        try:
            written = os.write(port._fd, data)
        except BlockingIOError:
            written = 0
        self.waiting[n] = data[written:]

    def finish(self):
        self.done.set()
        self.join(60)


# --- the mail sink --------------------------------------------------------------

class _Attachments:
    """Keeps only name, size and digest of each attachment: an hour of mail
    from 16 instances would not fit in memory."""

    def __init__(self):
        self.received = []          # (file name, size, sha1)
        self.faulty = 0

    async def handle_DATA(self, server, session, envelope):
        try:
            message = email.message_from_bytes(envelope.original_content,
                                               policy=email.policy.compat32)
            part = message.get_payload()[1]
            data = part.get_payload(decode=True)
            self.received.append((part.get_filename(), len(data), hashlib.sha1(data).hexdigest()))
        except Exception:       # a malformed mail is counted, not fatal
            self.faulty += 1
        return "250 OK"


def start_sink(address):
    from aiosmtpd.controller import Controller
    handler = _Attachments()
    controller = Controller(handler, hostname=address, port=25, data_size_limit=0)
    controller.start()
    return controller, handler


# --- process figures ------------------------------------------------------------

def procstat(session, names):
    """{service name: {pid, state, cpu_ms, working_set_kb, handles}} from procstat.exe."""
    out = session.run(["procstat.exe"] + list(names), timeout=600, check=False)
    figures = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 2 and "=" in parts[1]:
            figures[parts[0]] = {k: int(v) for k, v in (p.split("=", 1) for p in parts[1:])}
    return figures


def service_unix_pids(folders):
    """{instance number: Linux pid} of the tallysvc.exe processes, told apart
    by the log folder each has a file open in."""
    program = to_windows_path(os.path.join(BIN_DIR, "tallysvc.exe"))
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if f.read().split(b"\0")[0].decode("latin-1") != program:
                    continue
            targets = [os.readlink("/proc/%s/fd/%s" % (entry, fd))
                       for fd in os.listdir("/proc/%s/fd" % entry)]
        except OSError:
            continue
        for n, folder in folders.items():
            if any(t.startswith(folder + "/") for t in targets):
                found[n] = int(entry)
    return found


def unix_cpu_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS
    except OSError:
        return None


def unix_rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


# --- checking what was captured -------------------------------------------------

class Outcome:
    pass


def check_capture(n, folder, sent_lines):
    """Joins instance n's rotated files in order and compares with what was sent."""
    o = Outcome()
    own = re.compile(r"Quillbox%d\d{12}\.log$" % n)
    o.files = sorted(f for f in os.listdir(folder) if own.match(f))
    data = b"".join(open(os.path.join(folder, f), "rb").read() for f in o.files)
    o.stamps = len(STAMP.findall(data))
    text = STAMP.sub(b"", data)
    o.sent = sent_lines * LINE_LENGTH
    o.captured = len(text)
    o.exact = text == b"".join(make_line(n, s) for s in range(sent_lines))
    expected = lost = duplicated = bad = 0
    pieces = text.split(b"\r\n")
    for piece in pieces[:-1]:
        m = re.match(rb"Q(\d\d) (\d{8}) ", piece)
        seq = int(m.group(2)) if m else -1
        if not m or piece + b"\r\n" != make_line(n, seq):
            bad += 1
        elif seq == expected:
            expected += 1
        elif seq > expected:
            lost += seq - expected
            expected = seq + 1
        else:
            duplicated += 1
    lost += max(sent_lines - expected, 0)
    bad += 1 if pieces[-1] else 0
    o.lost = lost * LINE_LENGTH
    o.duplicated = duplicated * LINE_LENGTH
    o.bad_lines = bad
    # Every line stamped once: a stamp missing or doubled shows here.
    o.stamp_errors = abs(o.stamps - sent_lines)
    return o


def check_mail(n, folder, files, received):
    closed = files[:-1]                 # the file open at the stop is not mailed
    own = re.compile(r"Quillbox%d\d{12}\.log$" % n)
    mine = [r for r in received if r[0] and own.match(r[0])]
    by_name = {}
    for name, size, digest in mine:
        by_name.setdefault(name, []).append((size, digest))
    matching = 0
    for name in closed:
        with open(os.path.join(folder, name), "rb") as f:
            digest = hashlib.sha1(f.read()).hexdigest()
        if any(d == digest for _, d in by_name.get(name, [])):
            matching += 1
    return dict(closed=len(closed), mails=len(mine), matching=matching,
                extra=len(mine) - sum(1 for name in closed if name in by_name))


def events_of(events, n, port_name):
    tags = ("logs%d\\" % n, "Quillbox%d " % n, '"%s"' % port_name)
    return [(e.type, e.text) for e in events
            if e.type in (ERROR, WARNING) and any(t in e.text for t in tags)]


# --- the run ----------------------------------------------------------------------

def sleep_until(t):
    while True:
        left = t - time.time()
        if left <= 0:
            return
        time.sleep(min(left, 1.0))


def next_sample_time(after):
    """The first moment SAMPLE_SECOND into a minute at or after `after`."""
    t = after - after % 60 + SAMPLE_SECOND
    return t if t >= after else t + 60


def run(session, workdir, minutes, count, sink_address, port_numbers, instance_numbers,
        client=None, log=print):
    """Runs the soak in `session`; returns a result with .instances (one Outcome
    each), .samples, .cpu and the events. `client` is a callable run while the
    instances capture (it returns figures to print)."""
    r = Outcome()
    numbers = [next(instance_numbers) for _ in range(count)]
    folders = {n: session.c_drive("soak", "logs%d" % n) for n in numbers}
    for folder in folders.values():
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
    ports = {n: VirtualPort(session, next(port_numbers), os.path.join(workdir, "ports")).open()
             for n in numbers}
    values = {n: dict(LogFilename="C:\\soak\\logs%d\\Quillbox%d.log" % (n, n),
                      PortName=ports[n].name, BaudRate=115200, TimestampFormat=1,
                      LogRotation=5, VerboseLevel=15, SmtpServer=sink_address,
                      SmtpFromAddress=FROM, SmtpToAddress=TO) for n in numbers}
    instances = {n: Instance(session, n, **values[n]) for n in numbers}
    controller, sink = start_sink(sink_address)
    pool = concurrent.futures.ThreadPoolExecutor(8)
    feeder = None
    try:
        # One registry import for all; then each service is registered.
        texts = [reg_file_text(n, instances[n].values) for n in numbers]
        text = texts[0] + "".join(t.split("\n", 1)[1] for t in texts[1:])
        session.import_reg(text)
        exe = to_windows_path(os.path.join(BIN_DIR, "tallysvc.exe"))
        list(pool.map(lambda n: session.scctl("create", "Quillbox%d" % n, exe), numbers))
        r.mark = session.mark()
        # A loaded machine starts 64 services slowly: up to a minute each.
        started = list(pool.map(lambda n: instances[n].start(timeout_ms=60000), numbers))
        not_running = [n for n, s in zip(numbers, started) if not s or s["state"] != RUNNING]
        if not_running:
            raise RuntimeError("instances not running: %s; their states %s, start answers %s; "
                               "events since the starts: %s"
                               % (not_running, [started[numbers.index(n)] for n in not_running],
                                  [instances[n].start_output for n in not_running],
                                  [(e.type, e.text[:120]) for e in session.events_since(r.mark)
                                   if e.type != "information"]))
        feeder = Feeder([(n, ports[n]) for n in numbers])
        feeder.start()
        r.began = time.time()
        log("%d instances running and fed since %s" % (count, time.strftime("%H:%M:%S")))

        # Samples between rotations, the first after one rotation and mail,
        # the last whole minutes after it (a start late in a minute would
        # otherwise wait most of a minute more).
        first = next_sample_time(r.began + 60 - r.began % 60 + 5)
        last = first + 60 * max(1, int(round(minutes)) - 1)
        middle = next_sample_time(first + (last - first) / 2 - 30)
        r.samples = {}
        unix_pids = {}
        unix_cpu = {}
        for label, at in (("start", first), ("middle", middle), ("end", last)):
            sleep_until(at)
            # A mail in progress holds a thread, the file and a socket: the
            # figures are read once the mails of the files closed so far are in.
            closed = count * int((time.time() - (r.began - r.began % 60)) // 60)
            deadline = time.time() + 25
            while len(sink.received) + sink.faulty < closed and time.time() < deadline:
                time.sleep(0.2)
            if not unix_pids:
                unix_pids = service_unix_pids(folders)
            read_began = time.time()
            stats = procstat(session, ["Quillbox%d" % n for n in numbers])
            read_took = time.time() - read_began
            for n in numbers:
                pid = unix_pids.get(n)
                s = stats.get("Quillbox%d" % n, {})
                s["unix_cpu_s"] = unix_cpu_seconds(pid) if pid else None
                s["rss_kb"] = unix_rss_kb(pid) if pid else None
            r.samples[label] = (at, stats)
            unix_cpu[label] = (time.time(), {n: unix_cpu_seconds(p) for n, p in unix_pids.items()})
            log("  %s sample taken at %s in %.1f s" % (label, time.strftime("%H:%M:%S", time.localtime(at)),
                                                       read_took))
            if label == "middle" and client is not None:
                r.client = client()

        feeder.finish()
        r.ended = time.time()
        # Let the services write what is still in their ports.
        expected = {n: feeder.sent_lines[n] * (LINE_LENGTH + 25) for n in numbers}
        deadline = time.time() + 60
        while time.time() < deadline:
            sizes = {n: sum(os.path.getsize(p) for p in glob.glob(os.path.join(folders[n], "*.log")))
                     for n in numbers}
            if all(sizes[n] >= expected[n] for n in numbers):
                break
            time.sleep(0.5)
        r.final = dict(zip(numbers, pool.map(lambda n: instances[n].stop(), numbers)))
        r.events = session.events_since(r.mark)
        (t0, c0), (t1, c1) = unix_cpu["start"], unix_cpu["end"]
        r.cpu_share = {n: (c1[n] - c0[n]) / (t1 - t0) for n in c0
                       if c0.get(n) is not None and c1.get(n) is not None}
        r.instances = {}
        for n in numbers:
            o = check_capture(n, folders[n], feeder.sent_lines[n])
            o.mail = check_mail(n, folders[n], o.files, sink.received)
            o.events = events_of(r.events, n, ports[n].name)
            o.final = r.final[n]
            r.instances[n] = o
        r.faulty_mails = sink.faulty
        r.numbers = numbers
        return r
    finally:
        if feeder is not None and feeder.is_alive():
            feeder.finish()
        for inst in instances.values():
            if inst.name in session.started_services:
                pool.submit(inst.stop)
        pool.shutdown(wait=True)
        controller.stop()
        for p in ports.values():
            p.close()


def report(r, log=print):
    log("\nper instance: sent / captured / lost / duplicated bytes, bad lines, stamp errors, "
        "files closed / mails / matching, error events")
    for n in r.numbers:
        o = r.instances[n]
        log("  Quillbox%-3d %10d %10d %6d %6d %4d %4d   %3d / %3d / %3d   %d%s"
            % (n, o.sent, o.captured, o.lost, o.duplicated, o.bad_lines, o.stamp_errors,
               o.mail["closed"], o.mail["mails"], o.mail["matching"], len(o.events),
               "" if o.exact else "   NOT EXACT"))
        for kind, text in o.events:
            log("      %s: %s" % (kind, text))
    total = [r.instances[n] for n in r.numbers]
    log("  total: %d bytes sent, %d captured, %d lost, %d duplicated; %d of %d closed files mailed "
        "intact; %d error or warning events; %d malformed mails"
        % (sum(o.sent for o in total), sum(o.captured for o in total),
           sum(o.lost for o in total), sum(o.duplicated for o in total),
           sum(o.mail["matching"] for o in total), sum(o.mail["closed"] for o in total),
           sum(len(o.events) for o in total), r.faulty_mails))
    log("\nper service process (start / middle / end): handles, working set KB (Windows), "
        "resident KB (Linux), CPU s (Linux)")
    for n in r.numbers:
        name = "Quillbox%d" % n
        cells = []
        for label in ("start", "middle", "end"):
            s = r.samples[label][1].get(name, {})
            cells.append((s.get("handles"), s.get("working_set_kb"), s.get("rss_kb"),
                          s.get("unix_cpu_s")))
        log("  %-11s handles %s   ws %s   rss %s   cpu %s"
            % (name, "/".join(str(c[0]) for c in cells), "/".join(str(c[1]) for c in cells),
               "/".join(str(c[2]) for c in cells),
               "/".join("%.1f" % c[3] if c[3] is not None else "?" for c in cells)))
    shares = list(r.cpu_share.values())
    if shares:
        log("\nCPU of the services between the start and end samples: %.2f %% of one core in all, "
            "%.2f %% per instance on average, %.2f %% at most"
            % (100 * sum(shares), 100 * sum(shares) / len(shares), 100 * max(shares)))
    if getattr(r, "client", None):
        log("\nconfiguration program on the running instances:")
        for line in r.client:
            log("  " + line)
    log("\nfinal states: %s" % sorted(set((s or {}).get("state") for s in r.final.values())))


def measure_client(session, seconds=30):
    """Figures of client.exe listing the running instances, with its 500 ms refresh."""
    from client_driver import Client, Driver

    def session_pids():
        pids = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open("/proc/%s/environ" % entry, "rb") as f:
                        if ("WINEPREFIX=" + session.prefix).encode() in f.read().split(b"\0"):
                            pids.append(int(entry))
                except OSError:
                    pass
        return pids

    def name_of(pid):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                return f.read().split(b"\0")[0].decode("latin-1").replace("\\", "/").rsplit("/", 1)[-1].lower()
        except OSError:
            return ""

    def shares(window):
        pids = session_pids()
        before = {p: unix_cpu_seconds(p) for p in pids}
        began = time.time()
        time.sleep(window)
        elapsed = time.time() - began
        out = {}
        for p in pids:
            after = unix_cpu_seconds(p)
            if before[p] is not None and after is not None:
                name = name_of(p)
                # wineserver runs as wineserver64
                name = "wineserver" if name.startswith("wineserver") else name
                out[name] = out.get(name, 0.0) + (after - before[p]) / elapsed
        return out

    without = shares(seconds)
    d = Driver(session)
    try:
        c = Client(d).launch()
        rows = c.rows()
        running = sum(1 for _, cells in rows if cells[2] == "Running")
        time.sleep(2)
        with_client = shares(seconds)
        c.kill()
    finally:
        d.close()
    lines = ["%d rows listed, %d shown as Running; start-up to the first painted list %.0f ms"
             % (len(rows), running, c.startup_ms)]
    for name in ("client.exe", "services.exe", "wineserver"):
        lines.append("%-13s %.2f %% of a core with the window open, %.2f %% without"
                     % (name, 100 * with_client.get(name, 0.0), 100 * without.get(name, 0.0)))
    lines.append("cost of the 500 ms refresh (client.exe + services.exe + wineserver, less the "
                 "same without the window): %.2f %% of a core"
                 % (100 * sum(with_client.get(k, 0.0) - without.get(k, 0.0)
                              for k in ("client.exe", "services.exe", "wineserver"))))
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=60)
    parser.add_argument("--instances", type=int, default=16)
    parser.add_argument("--client", action="store_true",
                        help="measure the configuration program on the running instances")
    parser.add_argument("--sink", default="127.0.13.1")
    parser.add_argument("--keep", action="store_true", help="keep the log files")
    args = parser.parse_args()
    if not 1 <= args.instances <= 64:
        parser.error("--instances must be 1 to 64")

    workdir = tempfile.mkdtemp(prefix="tally-soak-")
    xvfb = None
    display = None
    if args.client:
        os.environ.setdefault("TALLY_GUI_DISPLAY", ":91")
        from client_driver import DISPLAY, start_xvfb
        xvfb = start_xvfb()
        display = DISPLAY
    session = WineSession(workdir, display=display).start()
    try:
        import itertools
        r = run(session, workdir, args.minutes, args.instances, args.sink,
                itertools.count(30), iter(range(1, 65)),
                client=(lambda: measure_client(session)) if args.client else None)
        print("\nsoak of %d instances for %.1f minutes (%s to %s), Wine 8, 2 cores"
              % (args.instances, (r.ended - r.began) / 60,
                 time.strftime("%H:%M:%S", time.localtime(r.began)),
                 time.strftime("%H:%M:%S", time.localtime(r.ended))))
        report(r)
    finally:
        session.stop()
        if xvfb is not None:
            xvfb.terminate()
            xvfb.wait(timeout=10)
        if not args.keep:
            shutil.rmtree(session.c_drive("soak"), ignore_errors=True)
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
