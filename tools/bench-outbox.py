#!/usr/bin/python3
"""Mail outbox benchmark under Wine: the queue an outage leaves behind.
Prints figures; asserts nothing about speed.

  An instance with MailRetryHours finds COUNT small logs (2 KB of call
  records each) waiting in its outbox and its server down: it tries the
  oldest, fails, and waits a minute. Meanwhile the service's CPU is measured
  (it should use none while it waits). Then a loopback sink comes up; at the
  retry the queue drains: mails per second, the service's peak memory, and a
  check that every log arrived once, in order, and the outbox is empty.

Run after tools/build.sh:  /usr/bin/python3 tools/bench-outbox.py [COUNT]
"""

import email
import email.policy
import os
import sys
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Instance, VirtualPort, WineSession  # noqa: E402
from harness.instance import SERVICES_KEY  # noqa: E402
from smtpsink import AiosmtpdSink, call_log  # noqa: E402

bench_capture = __import__("bench-capture")
SINK = "127.0.13.1"


def memory_kb(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    workdir = tempfile.mkdtemp(prefix="tally-bench-")
    session = WineSession(workdir).start()
    try:
        folder = session.c_drive("bench", "outbox")
        os.makedirs(folder, exist_ok=True)
        logs = []
        for i in range(count):
            name = "q%05d.log" % i
            data = call_log(25, seed=i)
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
            logs.append((name, data))
        port = VirtualPort(session, 22, os.path.join(workdir, "ports")).open()
        inst = Instance(session, 62, PortName=port.name, VerboseLevel=8, LogFilename="C:\\bench\\outbox.log",
                        SmtpServer=SINK, SmtpFromAddress="tallyline@plant.example",
                        SmtpToAddress="ops@plant.example", MailRetryHours=24).install()
        since = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
        lines = ["REGEDIT4", "", "[%s\\%s\\Outbox]" % (SERVICES_KEY, inst.name)]
        lines += ['"%08d"="since=%s tries=0 reason=0 parts=0 sent=0 path=C:\\\\bench\\\\outbox\\\\%s"'
                  % (i + 1, since, name) for i, (name, _) in enumerate(logs)]
        session.import_reg("\n".join(lines) + "\n")

        inst.start()
        pid = bench_capture.service_pid()
        time.sleep(5)
        waited = 40
        before = bench_capture.cpu_seconds(pid)
        time.sleep(waited)
        used = bench_capture.cpu_seconds(pid) - before
        print("waiting for the retry with %d logs queued: %.2f %% of a core (%.2f s CPU in %d s)"
              % (count, 100 * used / waited, used, waited), flush=True)

        with AiosmtpdSink(SINK) as sink:
            deadline = time.time() + 60 + 10 * count
            while len(sink.messages) < 1 and time.time() < deadline:
                time.sleep(0.05)
            first = time.time()
            while len(sink.messages) < count and time.time() < deadline:
                time.sleep(0.05)
            last = time.time()
            mailed = []
            for envelope in sink.messages:
                attachment = email.message_from_bytes(envelope.original_content,
                                                      policy=email.policy.compat32).get_payload()[1]
                mailed.append((attachment.get_filename(), attachment.get_payload(decode=True)))
        peak, resident = memory_kb(pid, "VmHWM"), memory_kb(pid, "VmRSS")
        left = inst.outbox()
        inst.stop()
        inst.uninstall()
        port.close()
        rate = (len(mailed) - 1) / (last - first) if len(mailed) > 1 and last > first else 0
        print("drained %d of %d logs in %.1f s after the retry: %.1f mails/s; %s; outbox %s"
              % (len(mailed), count, last - first, rate,
                 "every log once, in order" if mailed == logs else "MISMATCH",
                 "empty" if not left else "still holds %d" % len(left)), flush=True)
        print("service memory: peak %d KB, at the end %d KB (Unix resident set)" % (peak, resident), flush=True)
    finally:
        session.stop()


if __name__ == "__main__":
    main()
