"""Faults of the disk and the log's files while the service runs: a full
disk (a small tmpfs mapped as drive T:), the log folder deleted, the log
file deleted while open. In each the service keeps running, reports the
fault once and the recovery once, and writes on without a restart."""

import errno
import os
import re
import shutil
import subprocess
import time

import pytest

from harness.events import ERROR, INFORMATION
from harness.instance import RUNNING, STOPPED

HOLD_BYTES = 1024 * 1024        # the service's bound on held bytes (CAPTURE_QUEUE_SIZE)


class Counter:
    """Numbered lines, so that a byte out of place shows."""

    def __init__(self):
        self.n = 0

    def lines(self, size):
        out = bytearray()
        while len(out) < size:
            out += b"%09d abcdefghijklmnopqrstuvwxyz\r\n" % self.n
            self.n += 1
        return bytes(out)


def wait_until(predicate, timeout=15, what="condition"):
    deadline = time.time() + timeout
    while not predicate():
        assert time.time() < deadline, "timed out waiting for " + what
        time.sleep(0.05)


def size_of(path):
    try:
        return os.path.getsize(path)
    except FileNotFoundError:
        return -1


def start_with_first_lines(wine, inst, port, log, data, size):
    """Starts the instance and sends it lines until the log holds them;
    returns the event mark from before the lines and the lines."""
    inst.start()
    mark = wine.mark()
    first = data.lines(size)
    port.send(first)
    wait_until(lambda: size_of(log) == len(first), what="the first bytes")
    return mark, first


def texts(events):
    return [(e.type, e.text) for e in events if "Starting. Logging" not in e.text]


@pytest.fixture
def small_drive(wine, workdir):
    """A 4 MB tmpfs linked as drive T: of the session."""
    mount_point = os.path.join(workdir, "drive-t")
    os.makedirs(mount_point, exist_ok=True)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", mount_point],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip("a tmpfs cannot be mounted here: " + (mounted.stderr.strip() or "refused"))
    link = os.path.join(wine.prefix, "dosdevices", "t:")
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(mount_point, link)
    try:
        yield mount_point
    finally:
        os.unlink(link)
        if subprocess.run(["umount", mount_point]).returncode != 0:
            subprocess.run(["umount", "-l", mount_point])


def fill(folder):
    """Fills the file system of `folder`; returns the filler's path."""
    path = os.path.join(folder, "filler")
    block = b"\0" * 65536
    with open(path, "wb", buffering=0) as f:
        try:
            while True:
                f.write(block)
        except OSError as e:
            assert e.errno == errno.ENOSPC, e
    # The last partial block too.
    with open(path, "ab", buffering=0) as f:
        try:
            while True:
                f.write(b"\0" * 512)
        except OSError:
            pass
    return path


def test_a_full_disk_holds_a_bounded_amount_counts_the_loss_and_writes_on_in_the_same_file(
        wine, port, small_drive, instance):
    inst = instance(PortName=port.name, BaudRate=115200, LogFilename="T:\\disk.log",
                    VerboseLevel=1)
    log = os.path.join(small_drive, "disk.log")
    windows_log = "T:\\disk.log"
    data = Counter()
    mark, a = start_with_first_lines(wine, inst, port, log, data, 10000)

    filler = fill(small_drive)
    b = data.lines(200000)
    port.send(b)
    assert wine.wait_for_event(lambda e: "Could not write" in e.text, since=mark)
    on_disk_at_fault = size_of(log)      # nothing more is written while the disk is full
    c = data.lines(HOLD_BYTES)
    port.send(c)
    assert wine.wait_for_event(lambda e: "No more received data" in e.text, since=mark)
    assert inst.query()["state"] == RUNNING
    sent = a + b + c

    os.unlink(filler)
    recovered = wine.wait_for_event(lambda e: "works again" in e.text, since=mark)
    assert recovered
    lost = int(re.search(r"; (\d+) bytes of received data were lost", recovered.text).group(1))
    d = data.lines(5000)
    port.send(d)
    expected = sent[:len(sent) - lost] + d
    wait_until(lambda: size_of(log) >= len(expected), what="the held bytes and the new ones")
    status = inst.stop()
    assert status["state"] == STOPPED and status["exit"] == 0

    # What was held is exactly the bound, in order, after what reached the
    # disk; only the newest bytes beyond the bound are missing.
    assert len(sent) - lost - on_disk_at_fault == HOLD_BYTES
    with open(log, "rb") as f:
        assert f.read() == expected
    assert texts(wine.events_since(mark)) == [
        (ERROR, 'Could not write to the log file "%s" (error 112); received data is held until '
                'it can be written' % windows_log),
        (ERROR, 'No more received data can be held for the log file "%s" (%d bytes wait); '
                'further data is lost until the file can be written' % (windows_log, HOLD_BYTES)),
        (ERROR, 'Writing to the log file "%s" works again; %d bytes of received data were lost'
                % (windows_log, lost)),
        (INFORMATION, "%s Stopping" % inst.name),
    ]


def test_a_full_disk_that_frees_before_the_bound_loses_nothing(wine, port, small_drive, instance):
    inst = instance(PortName=port.name, LogFilename="T:\\disk.log", TimestampFormat=1,
                    VerboseLevel=1)
    log = os.path.join(small_drive, "disk.log")
    inst.start()
    mark = wine.mark()
    data = Counter()
    a = data.lines(3000)
    port.send(a)
    wait_until(lambda: size_of(log) == len(a) + 25 * (len(a) // 38), what="the first bytes")
    filler = fill(small_drive)
    b = data.lines(50000)
    port.send(b)
    assert wine.wait_for_event(lambda e: "Could not write" in e.text, since=mark)
    os.unlink(filler)
    assert wine.wait_for_event(lambda e: "works again" in e.text, since=mark)
    status = inst.stop()
    assert status["state"] == STOPPED and status["exit"] == 0
    with open(log, "rb") as f:
        content = f.read()
    # Each line kept its stamp, taken when it arrived, not when it was written.
    stamp = rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}: "
    assert re.sub(stamp, b"", content) == a + b
    assert len(re.findall(stamp, content)) == (len(a) + len(b)) // 38
    assert texts(wine.events_since(mark))[1:] == [
        (INFORMATION, 'Writing to the log file "T:\\disk.log" works again; capture continues'),
        (INFORMATION, "%s Stopping" % inst.name),
    ]


@pytest.mark.parametrize("what", ["file", "folder"])
def test_a_log_deleted_while_open_is_created_again_with_everything_received_since(
        wine, port, instance, what):
    inst = instance(PortName=port.name, VerboseLevel=1)
    log = inst.log_path()
    windows_log = inst.values["LogFilename"]
    data = Counter()
    mark, a = start_with_first_lines(wine, inst, port, log, data, 5000)
    if what == "folder":
        shutil.rmtree(os.path.dirname(log))
    else:
        os.unlink(log)
    b = data.lines(5000)
    port.send(b)
    remade = wine.wait_for_event(lambda e: "created again" in e.text, since=mark)
    assert remade
    c = data.lines(3000)
    port.send(c)
    wait_until(lambda: size_of(log) >= len(b + c), what="the bytes after the deletion")
    assert inst.query()["state"] == RUNNING
    status = inst.stop()
    assert status["state"] == STOPPED and status["exit"] == 0

    with open(log, "rb") as f:
        content = f.read()
    # Everything since the deletion is there, once and in order; the file
    # may also begin with the last bytes written before it (those written
    # since the service last saw the file under its name).
    assert content.endswith(b + c)
    assert (a + b + c).endswith(content)
    made_again = ('The log file "%s" and its folder were created again; capture continues'
                  if what == "folder" else
                  'The log file "%s" was created again; capture continues') % windows_log
    assert texts(wine.events_since(mark)) == [
        (ERROR, 'The log file "%s" was deleted while it was open' % windows_log),
        (INFORMATION, made_again),
        (INFORMATION, "%s Stopping" % inst.name),
    ]
