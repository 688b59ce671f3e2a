"""A virtual serial port: a socat pseudo-terminal pair whose one end is linked
into the Wine prefix as COMn. Bytes written with send() arrive at COMn."""

import fcntl
import os
import struct
import subprocess
import termios
import time


class VirtualPort:
    def __init__(self, session, number, workdir):
        self.session = session
        self.number = number
        self.name = "COM%d" % number
        self.workdir = workdir
        self.device_end = os.path.join(workdir, "com%d-device" % number)  # what the device writes to
        self.windows_end = os.path.join(workdir, "com%d-windows" % number)
        self.link = os.path.join(session.prefix, "dosdevices", "com%d" % number)
        self.proc = None
        self._fd = None

    def open(self):
        """Creates the pair (again, after vanish())."""
        os.makedirs(self.workdir, exist_ok=True)
        for p in (self.device_end, self.windows_end):
            if os.path.lexists(p):
                os.unlink(p)
        self.proc = subprocess.Popen(
            ["socat", "pty,raw,echo=0,link=" + self.windows_end,
             "pty,raw,echo=0,link=" + self.device_end],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while not (os.path.exists(self.device_end) and os.path.exists(self.windows_end)):
            if time.time() > deadline:
                raise RuntimeError("socat did not create the pty pair")
            time.sleep(0.02)
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(self.windows_end, self.link)
        self._fd = os.open(self.device_end, os.O_WRONLY | os.O_NOCTTY)
        return self

    def send(self, data, pace=0.0):
        """Writes bytes as the device would; with pace, one chunk per call."""
        if isinstance(data, str):
            data = data.encode("latin-1")
        if pace:
            for i in range(len(data)):
                os.write(self._fd, data[i:i + 1])
                time.sleep(pace)
        else:
            view = memoryview(data)
            while view:
                n = os.write(self._fd, view)
                view = view[n:]

    def waiting(self):
        """How many bytes sent wait at the Windows end, not yet read by the
        service (the driver's input queue)."""
        fd = os.open(self.windows_end, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]
        finally:
            os.close(fd)

    def vanish(self):
        """The device is unplugged: the pty pair disappears."""
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
        if self.proc:
            self.proc.terminate()
            self.proc.wait(timeout=10)
            self.proc = None

    def close(self):
        self.vanish()
        if os.path.lexists(self.link):
            os.unlink(self.link)
