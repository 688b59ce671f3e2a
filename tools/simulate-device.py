#!/usr/bin/python3
"""A simulated device: a telephone exchange printing one call record per line,
CR LF terminated, at the pace of a 9600-baud line, with pauses between calls.

    simulate-device.py DEVICE [SECONDS]

DEVICE is the device end of a serial port, or tcp:PORT for an exchange that
listens on 127.0.0.1:PORT and sends to the logger that connects.
"""

import os
import random
import socket
import sys
import time


def records():
    n = 0
    while True:
        n += 1
        ext = random.choice([201, 202, 204, 210, 233, 250])
        number = "0%09d" % random.randrange(10 ** 9)
        secs = random.randrange(4, 900)
        yield "%05d EXT %d  TRUNK %02d  OUT %s  DUR %02d:%02d:%02d\r\n" % (
            n, ext, random.randrange(1, 9), number, secs // 3600, secs // 60 % 60, secs % 60)


def main():
    device = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
    if device.startswith("tcp:"):
        with socket.create_server(("127.0.0.1", int(device[4:]))) as server:
            server.settimeout(30)
            connection, _ = server.accept()
        write = connection.send
    else:
        fd = os.open(device, os.O_WRONLY | os.O_NOCTTY)
        write = lambda data: os.write(fd, data)   # noqa: E731
    end = time.time() + seconds
    random.seed(7)
    for line in records():
        if time.time() >= end:
            break
        for ch in line.encode("ascii"):
            write(bytes([ch]))
            time.sleep(1 / 960)          # 9600 baud: about 960 characters a second
        time.sleep(random.uniform(0.2, 0.8))
    if device.startswith("tcp:"):
        connection.close()
    else:
        os.close(fd)


if __name__ == "__main__":
    main()
