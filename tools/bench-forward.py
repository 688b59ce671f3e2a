#!/usr/bin/python3
"""Forwarding benchmark under Wine. Prints figures; asserts nothing about
speed.

  Catch-up: an instance captures LINES lines of 64 bytes (timestamps on)
  while its collector (rsyslogd on loopback TCP) is down; then the collector
  starts, and the figure is the rate at which the waiting lines reach it,
  from its start to the last line, with a check that every line came, in
  order. Then the delay of a single line captured while up to date.

Run after tools/build.sh:  /usr/bin/python3 tools/bench-forward.py [LINES]
"""

import os
import sys
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))

from harness import Instance, VirtualPort, WineSession  # noqa: E402
from harness.collector import SyslogCollector  # noqa: E402


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 200000
    workdir = tempfile.mkdtemp(prefix="tally-bench-forward-")
    session = WineSession(workdir).start()
    collector = SyslogCollector(os.path.join(workdir, "collector"), 10517, "127.0.14.9")
    port = VirtualPort(session, 22, os.path.join(workdir, "ports")).open()
    try:
        os.makedirs(session.c_drive("bench"), exist_ok=True)
        log = session.c_drive("bench", "forward.log")
        if os.path.exists(log):
            os.unlink(log)
        inst = Instance(session, 62, PortName=port.name, TimestampFormat=1, BaudRate=921600, VerboseLevel=1,
                        LogFilename="C:\\bench\\forward.log", ForwardTo="tcp://127.0.14.9:10517").install()
        inst.start()
        lines = [b"%07d ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklmnopqrstuvwxy 0123" % i for i in range(count)]
        port.send(b"".join(line + b"\r\n" for line in lines))
        expected = count * (64 + 25)
        while not os.path.exists(log) or os.path.getsize(log) < expected:
            time.sleep(0.1)
        time.sleep(1)
        began = time.time()
        collector.start()
        got = collector.wait_for(0, timeout=900, msg=lines[-1])
        elapsed = time.time() - began
        received = [m[6] for m in got]
        whole = list(dict.fromkeys(received)) == lines
        print("catch-up: %d lines in %.2f s = %.0f lines/s to rsyslog over loopback TCP (from the collector's "
              "start, its first connection after up to 1 s included); %s, %d twice"
              % (count, elapsed, count / elapsed, "every line in order" if whole else "LINES MISSING OR OUT OF ORDER",
                 len(received) - len(set(received))), flush=True)
        delays = []
        for i in range(5):
            line = b"single %d" % i
            # Only what arrives from now on is read: reading the whole file
            # again would be most of what is measured.
            start = os.path.getsize(collector.output)
            sent = time.time()
            port.send(line + b"\r\n")
            while time.time() - sent < 10:
                with open(collector.output, "rb") as f:
                    f.seek(start)
                    if line in f.read():
                        break
                time.sleep(0.01)
            delays.append(time.time() - sent)
            time.sleep(0.5)
        print("up to date: a line reaches the collector %.2f-%.2f s after it is sent to the port"
              % (min(delays), max(delays)), flush=True)
        inst.stop()
        inst.uninstall()
    finally:
        collector.stop()
        port.close()
        session.stop()


if __name__ == "__main__":
    main()
