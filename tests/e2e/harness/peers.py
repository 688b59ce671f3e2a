"""Real network peers for the network sources, on loopback: ser2net (the
serial-to-network server many device servers run) exporting a pseudo-terminal
as raw TCP or RFC 2217, pyserial's RFC 2217 server where a test must see the
negotiation, and plain sockets for a device that connects or sends datagrams."""

import os
import socket
import subprocess
import threading
import time


def free_port(kind=socket.SOCK_STREAM, host="127.0.0.1"):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class Ser2net:
    """ser2net in the foreground serving one pseudo-terminal (the Windows end
    of a VirtualPort, whose send() then writes as the device) on a TCP port,
    raw or as RFC 2217. A new client replaces an old one, as in the field."""

    def __init__(self, workdir, port, tty, rfc2217=False):
        self.workdir = workdir
        self.port = port
        self.tty = os.path.realpath(tty)
        self.rfc2217 = rfc2217
        self.proc = None

    def start(self):
        os.makedirs(self.workdir, exist_ok=True)
        config = os.path.join(self.workdir, "ser2net-%d.yaml" % self.port)
        accepter = ("telnet(rfc2217),tcp,127.0.0.1,%d" if self.rfc2217 else "tcp,127.0.0.1,%d") % self.port
        with open(config, "w") as f:
            f.write("connection: &c%d\n  accepter: %s\n  connector: serialdev,%s,9600n81,local\n"
                    "  options:\n    kickolduser: true\n" % (self.port, accepter, self.tty))
        self.log = open(os.path.join(self.workdir, "ser2net-%d.log" % self.port), "ab")
        self.proc = subprocess.Popen(
            ["ser2net", "-n", "-d", "-c", config, "-P", os.path.join(self.workdir, "ser2net-%d.pid" % self.port)],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        deadline = time.time() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                if time.time() > deadline or self.proc.poll() is not None:
                    raise RuntimeError("ser2net did not start on port %d" % self.port)
                time.sleep(0.05)

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(timeout=10)
            self.proc = None
            self.log.close()


class Rfc2217Server:
    """pyserial's RFC 2217 server (serial.rfc2217.PortManager) in a thread,
    over pyserial's own loop:// port, which keeps whatever settings the
    client negotiates for the test to read back. send() writes as the
    device, through the server, with every 0xFF escaped."""

    def __init__(self, port):
        import serial
        import serial.rfc2217
        self.serial = serial.serial_for_url("loop://", timeout=0)
        self.listener = socket.create_server(("127.0.0.1", port))
        self.manager = None
        self.connection = None
        self._module = serial.rfc2217
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        self.listener.settimeout(30)
        try:
            self.connection, _ = self.listener.accept()
        except OSError:
            return
        self.manager = self._module.PortManager(self.serial, self)
        self.connection.settimeout(0.2)
        while True:
            try:
                data = self.connection.recv(1024)
            except socket.timeout:
                continue
            except OSError:
                return
            if not data:
                return
            for _ in self.manager.filter(data):
                pass   # the client sends no data of its own

    # PortManager writes its answers through its connection's write().
    def write(self, data):
        self.connection.sendall(data)

    def send(self, data):
        self.connection.sendall(b"".join(self.manager.escape(data)))

    def close(self):
        for s in (self.connection, self.listener):
            if s:
                s.close()
        self.serial.close()


class Exchange:
    """A device that connects to the service and pushes its records, from a
    loopback address of its own (any 127.x.y.z is this machine)."""

    def __init__(self, port, source="127.0.0.1"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(source, 0))

    def send(self, data):
        self.sock.sendall(data)

    def close(self):
        self.sock.close()


def send_datagram(port, data, source="127.0.0.1"):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((source, 0))
        s.sendto(data, ("127.0.0.1", port))
