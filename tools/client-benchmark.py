#!/usr/bin/python3
"""Performance of client.exe with 64 instances registered, under Wine and Xvfb:
  - start-up time to the first painted list (process start until the frame is
    shown, painted and idle with 64 rows), best and median of several runs;
  - Save Settings with 1 and with 64 instances: from the command to its end
    (the values are in the registry when the command returns), median of
    several saves;
  - CPU of the idle program with its 500 ms status timer: client.exe, the
    Service Control Manager (services.exe) and the wineserver that serve its
    status reads, and the whole Wine session minus the same session idle
    without the client. Read from /proc, as Wine's GetProcessTimes does not
    report another process's time.
Prints the figures. Run after tools/build.sh:  /usr/bin/python3 tools/client-benchmark.py
"""

import os
import shutil
import statistics
import sys
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))

from client_driver import DISPLAY, Client, Driver, bin_path, start_xvfb  # noqa: E402
from harness import WineSession  # noqa: E402
from harness.instance import new_instance_values, reg_file_text  # noqa: E402

INSTANCES = 64
STARTS = int(os.environ.get("BENCH_STARTS", "5"))
IDLE_SECONDS = float(os.environ.get("BENCH_IDLE_SECONDS", "30"))
TICKS = os.sysconf("SC_CLK_TCK")


def session_pids(prefix):
    """Linux processes of this Wine prefix (wineserver, services.exe, ...)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                env = f.read().split(b"\0")
        except OSError:
            continue
        if ("WINEPREFIX=" + prefix).encode() in env:
            pids.append(int(entry))
    return pids


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])   # utime, stime
        except OSError:
            pass
    return total / TICKS


def program_name(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            first = f.read().split(b"\0")[0].decode("latin-1")
    except OSError:
        return ""
    return first.replace("\\", "/").rsplit("/", 1)[-1]


def session_cpu_share(prefix, seconds):
    pids = session_pids(prefix)
    before = cpu_seconds(pids)
    time.sleep(seconds)
    return (cpu_seconds(pids) - before) / seconds


def install(d, session, count):
    d("purge")
    text = "".join(reg_file_text(n, new_instance_values(n, "C:\\bench")).split("\n", 1)[1] if n > 1
                   else reg_file_text(n, new_instance_values(n, "C:\\bench"))
                   for n in range(1, count + 1))
    session.import_reg(text)
    created = d("create %d %s" % (count, bin_path("tallysvc.exe")))[0]
    assert created == "created %d" % count, created


def save_times(d, session, count, saves=5):
    """Milliseconds of each Save Settings command with `count` instances."""
    install(d, session, count)
    c = Client(d).launch()
    assert len(c.rows()) == count
    times = []
    for _ in range(saves):
        # Start Automatically twice on the first row: a change, so Save is
        # enabled, that leaves every value as it was.
        c.select(1)
        c.command("start_auto")
        c.command("start_auto")
        began = time.perf_counter()
        c.command("save")      # sent: returns once the save has run
        times.append((time.perf_counter() - began) * 1000)
        assert not c.menubar()["&Save Settings"][0]
    c.kill()
    return times


def main():
    xvfb = start_xvfb()
    workdir = tempfile.mkdtemp(prefix="tally-bench-")
    session = WineSession(workdir, display=DISPLAY).start()
    d = Driver(session)
    try:
        one = save_times(d, session, 1)
        many = save_times(d, session, INSTANCES)
        print("Save Settings, command to values written (median of %d):" % len(one))
        print("  1 instance: %.0f ms (best %.0f ms); %d instances: %.0f ms (best %.0f ms)"
              % (statistics.median(one), min(one), INSTANCES, statistics.median(many), min(many)))

        starts = []
        for _ in range(STARTS):
            c = Client(d).launch()
            rows = len(c.rows())
            assert rows == INSTANCES, rows
            starts.append(c.startup_ms)
            c.kill()
        print("client.exe with %d instances registered (Wine 8, Xvfb):" % INSTANCES)
        print("  start-up to the first painted list: best %.0f ms, median %.0f ms (%d starts)"
              % (min(starts), statistics.median(starts), len(starts)))

        idle_session = session_cpu_share(session.prefix, IDLE_SECONDS / 2)
        c = Client(d).launch()
        time.sleep(2)
        pids = session_pids(session.prefix)
        names = {pid: program_name(pid).lower() for pid in pids}
        before = {pid: cpu_seconds([pid]) for pid in pids}
        time.sleep(IDLE_SECONDS)
        share = {pid: (cpu_seconds([pid]) - before[pid]) / IDLE_SECONDS for pid in pids}
        c.kill()

        def named(name):
            return sum(v for pid, v in share.items() if names[pid].startswith(name))

        total = sum(share.values())
        print("  idle with the 500 ms status timer, over %.0f s (%% of one core):" % IDLE_SECONDS)
        print("    client.exe                     %.2f %%" % (100 * named("client.exe")))
        print("    services.exe (status reads)    %.2f %%" % (100 * named("services.exe")))
        print("    wineserver                     %.2f %%" % (100 * named("wineserver")))
        print("    whole session less its idle    %.2f %% (idle session without client %.2f %%)"
              % (100 * max(total - idle_session, 0.0), 100 * idle_session))
        d("purge")
    finally:
        d.close()
        session.stop()
        if xvfb is not None:
            xvfb.terminate()
            xvfb.wait(timeout=10)
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
