#!/usr/bin/python3
"""Capture benchmark under Wine through a virtual COM port. Prints figures;
asserts nothing about speed.

  1. Throughput: lines of 64 bytes (CR LF terminated) sent as fast as the
     pty takes them, timestamps on; the rate at which the log grows, and a
     check that the log holds every byte in order (zero loss). The service
     flushes the log to disk within a second of each write (always on), so
     the figure includes that cost; TALLY_BUILD_DIR pointing at a build
     without it gives the comparison.
  2. Idle CPU of one instance with Timeout 0 and with Timeout 30, measured
     from the service process's CPU time over a quiet interval.

Run after tools/build.sh:  /usr/bin/python3 tools/bench-capture.py [MEGABYTES]
"""

import os
import re
import sys
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))

from harness import BIN_DIR, Instance, VirtualPort, WineSession  # noqa: E402
from harness.wine import to_windows_path  # noqa: E402

STAMP = re.compile(rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}: ")
TICKS = os.sysconf("SC_CLK_TCK")


def service_pid():
    """The Unix process of this build's tallysvc.exe (other builds may run too)."""
    program = to_windows_path(os.path.join(BIN_DIR, "tallysvc.exe"))
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    if f.read().split(b"\0")[0].decode("latin-1") == program:
                        return int(entry)
            except OSError:
                pass
    return None


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def throughput(session, workdir, megabytes):
    port = VirtualPort(session, 20, os.path.join(workdir, "ports")).open()
    os.makedirs(session.c_drive("bench"), exist_ok=True)
    log = session.c_drive("bench", "throughput.log")
    if os.path.exists(log):
        os.unlink(log)
    inst = Instance(session, 60, PortName=port.name, TimestampFormat=1, BaudRate=921600,
                    LogFilename="C:\\bench\\throughput.log", VerboseLevel=0).install()
    inst.start()
    line = b"%05d ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklmnopqrstuvwxyz 0123\r\n"
    lines = int(megabytes * 1024 * 1024 / 64)
    data = b"".join(line % (i % 100000) for i in range(lines))
    began = time.time()
    port.send(data)
    expected = len(data) + lines * 25
    while True:
        size = os.path.getsize(log) if os.path.exists(log) else 0
        if size >= expected or time.time() - began > 600:
            break
        time.sleep(0.05)
    elapsed = time.time() - began
    inst.stop()
    with open(log, "rb") as f:
        captured = STAMP.sub(b"", f.read())
    inst.uninstall()
    port.close()
    lost = len(data) - len(captured)
    print("throughput: %d bytes in %.2f s = %.1f KB/s input (%.0f baud equivalent), "
          "log %d bytes; %s" % (len(data), elapsed, len(data) / elapsed / 1024,
                                len(data) / elapsed * 10, size,
                                "zero loss, every byte in order" if captured == data
                                else "MISMATCH: %d bytes missing" % lost), flush=True)


def idle_cpu(session, workdir, timeout, seconds=20):
    port = VirtualPort(session, 21 + timeout % 7, os.path.join(workdir, "ports")).open()
    inst = Instance(session, 61, PortName=port.name, Timeout=timeout, VerboseLevel=0,
                    LogFilename="C:\\bench\\idle.log").install()
    inst.start()
    time.sleep(2)
    pid = service_pid()
    before = cpu_seconds(pid)
    time.sleep(seconds)
    used = cpu_seconds(pid) - before
    inst.stop()
    inst.uninstall()
    port.close()
    print("idle CPU with Timeout %d: %.2f %% of a core (%.2f s CPU in %d s)"
          % (timeout, 100 * used / seconds, used, seconds), flush=True)


def main():
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 4
    workdir = tempfile.mkdtemp(prefix="tally-bench-")
    session = WineSession(workdir).start()
    try:
        throughput(session, workdir, megabytes)
        idle_cpu(session, workdir, 0)
        idle_cpu(session, workdir, 30)
    finally:
        session.stop()


if __name__ == "__main__":
    main()
