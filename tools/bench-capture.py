#!/usr/bin/python3
"""Capture benchmark under Wine through a virtual COM port. Prints figures;
asserts nothing about speed.

  1. Throughput: lines of 64 bytes (CR LF terminated) sent as fast as the
     pty takes them, timestamps on; the rate at which the log grows, and a
     check that the log holds every byte in order (zero loss). The service
     flushes the log to disk within a second of each write (always on), so
     the figure includes that cost; TALLY_BUILD_DIR pointing at a build
     without it gives the comparison. Also the service's CPU per megabyte,
     which spreads less than the rate.
  2. Idle CPU of one instance with Timeout 0 and with Timeout 30, measured
     from the service process's CPU time over a quiet interval.

With --network, the same for a network source instead:
  1. Throughput from a loopback TCP source (socket://; the device is a
     Python server that sends as fast as the socket takes it), timestamps
     on, every byte checked in order.
  2. CPU of one instance fed at the pace of 115200 baud (11,520 bytes a
     second in 64-byte lines) for 30 s over TCP, and the same through the
     virtual COM port beside it, with Timeout 0 and with Timeout 30.

Run after tools/build.sh:  /usr/bin/python3 tools/bench-capture.py [MEGABYTES] [--network | --throughput]
(--throughput: the first figure alone, for runs alternating between builds)
"""

import os
import re
import socket
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
    pid = service_pid()
    cpu_before = cpu_seconds(pid)
    began = time.time()
    port.send(data)
    expected = len(data) + lines * 25
    while True:
        size = os.path.getsize(log) if os.path.exists(log) else 0
        if size >= expected or time.time() - began > 600:
            break
        time.sleep(0.05)
    elapsed = time.time() - began
    cpu = cpu_seconds(pid) - cpu_before
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
    # Steadier than the rate, which follows the pty and the scheduler.
    print("service CPU: %.2f s for %.0f MB = %.3f s per MB" % (cpu, megabytes, cpu / megabytes), flush=True)


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


LINE = b"%05d ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklmnopqrstuvwxyz 0123\r\n"


def tcp_device(session, name, **values):
    """An instance capturing from a loopback TCP device, and the device's
    connection once the service has connected."""
    server = socket.create_server(("127.0.0.1", 0))
    os.makedirs(session.c_drive("bench"), exist_ok=True)
    log = session.c_drive("bench", name)
    if os.path.exists(log):
        os.unlink(log)
    inst = Instance(session, 62, Source="socket://127.0.0.1:%d" % server.getsockname()[1],
                    LogFilename="C:\\bench\\" + name, VerboseLevel=0, **values).install()
    inst.start()
    server.settimeout(30)
    device, _ = server.accept()
    server.close()
    return inst, device, log


def wait_for_size(log, expected, began, limit=600):
    while True:
        size = os.path.getsize(log) if os.path.exists(log) else 0
        if size >= expected or time.time() - began > limit:
            return size
        time.sleep(0.05)


def tcp_throughput(session, megabytes):
    inst, device, log = tcp_device(session, "tcp.log", TimestampFormat=1)
    lines = int(megabytes * 1024 * 1024 / 64)
    data = b"".join(LINE % (i % 100000) for i in range(lines))
    began = time.time()
    device.sendall(data)
    size = wait_for_size(log, len(data) + lines * 25, began)
    elapsed = time.time() - began
    inst.stop()
    device.close()
    with open(log, "rb") as f:
        captured = STAMP.sub(b"", f.read())
    inst.uninstall()
    print("TCP throughput: %d bytes in %.2f s = %.1f MB/s input, log %d bytes; %s"
          % (len(data), elapsed, len(data) / elapsed / 1024 / 1024, size,
             "zero loss, every byte in order" if captured == data
             else "MISMATCH: %d bytes missing" % (len(data) - len(captured))), flush=True)


def paced_cpu(session, send, label, seconds=30):
    """CPU of the running service while send() gets a 64-byte line at the
    pace of 115200 baud (180 lines a second)."""
    time.sleep(1)
    pid = service_pid()
    before = cpu_seconds(pid)
    began = time.time()
    sent = 0
    while time.time() - began < seconds:
        send(LINE % (sent % 100000))
        sent += 1
        delay = began + sent * 64 / 11520.0 - time.time()
        if delay > 0:
            time.sleep(delay)
    used = cpu_seconds(pid) - before
    elapsed = time.time() - began
    print("CPU at 115200 baud over %s: %.2f %% of a core (%.2f s CPU in %.0f s, %d lines)"
          % (label, 100 * used / elapsed, used, elapsed, sent), flush=True)


def network(session, workdir, megabytes):
    tcp_throughput(session, megabytes)
    inst, device, _ = tcp_device(session, "paced-tcp.log", TimestampFormat=1)
    paced_cpu(session, device.sendall, "TCP")
    inst.stop()
    device.close()
    inst.uninstall()
    for timeout in (0, 30):
        port = VirtualPort(session, 22, os.path.join(workdir, "ports")).open()
        inst = Instance(session, 63, PortName=port.name, BaudRate=115200, TimestampFormat=1, VerboseLevel=0,
                        Timeout=timeout, LogFilename="C:\\bench\\paced-com%d.log" % timeout).install()
        inst.start()
        paced_cpu(session, port.send, "the COM port with Timeout %d" % timeout)
        inst.stop()
        inst.uninstall()
        port.close()


def main():
    arguments = [a for a in sys.argv[1:] if not a.startswith("--")]
    megabytes = float(arguments[0]) if arguments else 4
    workdir = tempfile.mkdtemp(prefix="tally-bench-")
    session = WineSession(workdir).start()
    try:
        if "--network" in sys.argv:
            network(session, workdir, megabytes)
            return
        throughput(session, workdir, megabytes)
        if "--throughput" in sys.argv:
            return
        idle_cpu(session, workdir, 0)
        idle_cpu(session, workdir, 30)
    finally:
        session.stop()


if __name__ == "__main__":
    main()
