"""A syslog collector for the forwarding tests: Debian's rsyslogd, started
without systemd on a loopback address with a configuration of its own, that
writes every message it receives to a file, one line each, with the fields
it parsed: PRI|TIMESTAMP|HOSTNAME|APP-NAME|PROCID|MSGID|MSG."""

import os
import signal
import socket
import subprocess
import time

TEMPLATE = "%PRI%|%TIMESTAMP:::date-rfc3339%|%HOSTNAME%|%APP-NAME%|%PROCID%|%MSGID%|%msg%\\n"


class SyslogCollector:
    """tls: (ca, certificate, key) files for a TLS input; udp_port: a UDP
    input beside the TCP one."""

    def __init__(self, folder, port, address="127.0.0.1", tls=None, udp_port=None):
        self.folder, self.port, self.address, self.tls, self.udp_port = folder, port, address, tls, udp_port
        os.makedirs(os.path.join(folder, "work"), exist_ok=True)
        self.output = os.path.join(folder, "received.txt")
        self.process = None

    def _configuration(self):
        # Bytes as received: no escaping of control characters.
        lines = ['global(workDirectory="%s" maxMessageSize="64k" parser.escapeControlCharactersOnReceive="off")'
                 % os.path.join(self.folder, "work")]
        if self.tls:
            ca, cert, key = self.tls
            lines.append('global(DefaultNetstreamDriverCAFile="%s" DefaultNetstreamDriverCertFile="%s" '
                         'DefaultNetstreamDriverKeyFile="%s")' % (ca, cert, key))
            lines.append('module(load="imtcp" StreamDriver.Name="gtls" StreamDriver.Mode="1" '
                         'StreamDriver.AuthMode="anon")')
        else:
            lines.append('module(load="imtcp")')
        lines.append('input(type="imtcp" port="%d" address="%s")' % (self.port, self.address))
        if self.udp_port:
            lines.append('module(load="imudp")')
            lines.append('input(type="imudp" port="%d" address="%s")' % (self.udp_port, self.address))
        lines.append('template(name="fields" type="string" string="%s")' % TEMPLATE)
        lines.append('action(type="omfile" file="%s" template="fields" flushOnTXEnd="on" asyncWriting="off")'
                     % self.output)
        return "\n".join(lines) + "\n"

    def start(self, timeout=20):
        conf = os.path.join(self.folder, "rsyslog.conf")
        with open(conf, "w") as f:
            f.write(self._configuration())
        log = open(os.path.join(self.folder, "rsyslogd.log"), "ab")
        self.process = subprocess.Popen(["rsyslogd", "-n", "-f", conf, "-i", os.path.join(self.folder, "pid")],
                                        stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        deadline = time.time() + timeout
        while time.time() < deadline:
            assert self.process.poll() is None, "rsyslogd ended: see %s" % log.name
            try:
                socket.create_connection((self.address, self.port), 0.5).close()
                return self
            except OSError:
                time.sleep(0.1)
        raise AssertionError("rsyslogd did not listen on %s:%d" % (self.address, self.port))

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(20)
        self.process = None

    def received(self):
        """Every message as a tuple of its seven fields, in order."""
        if not os.path.exists(self.output):
            return []
        with open(self.output, "rb") as f:
            return [tuple(line.split(b"|", 6)) for line in f.read().split(b"\n") if line]

    def wait_for(self, count, timeout=30, msg=None):
        """Waits until `count` messages (or one whose MSG is `msg`) arrived;
        returns all of them."""
        deadline = time.time() + timeout
        while True:
            got = self.received()
            if (msg is None and len(got) >= count) or (msg is not None and any(m[6] == msg for m in got)):
                return got
            if time.time() > deadline:
                return got
            time.sleep(0.2)
