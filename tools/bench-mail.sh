#!/usr/bin/env bash
# Benchmark of MailLogFile: mails a 100 MB file (size in MB as $1) to a fast
# loopback SMTP sink under Wine, in plain SMTP and then over TLS from the
# first byte (Schannel, the test CA of the TLS tests trusted through
# SmtpTrustedCa), and prints for each the elapsed time, throughput and the
# mailing process's peak working set (next to that of mailing a tiny file,
# which is what Wine itself costs). Then a log of call records of the same
# size, zipped (MailAttachment 2 with no SIZE: zipped once as it is sent;
# 1 against a server whose SIZE the zip fits: measured, then sent; 1 against
# one it does not fit: cut into parts, each measured and sent).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TALLY_BUILD_DIR:-$top/build}
size_mb=${1:-100}
source "$top/tools/wine-session.sh"
wine_fixed_layout "$0" "$@"

"$top/tools/build.sh" >/dev/null
wine_session_env "$build"
trap wine_session_stop EXIT
# "wineserver -p" fails when a session is already running: use that one.
wine_session_start || true

work=$(mktemp -d)
trap 'rm -rf "$work"; wine_session_stop' EXIT

bash "$top/tests/tools/make-test-certificates.sh" "$work/certs" >/dev/null

MAILFILE="$build/bin/mailfile.exe" WORK="$work" SIZE_MB="$size_mb" /usr/bin/python3 - <<'PY'
import os, random, socket, ssl, subprocess, threading, time

# The TLS sink needs an address the test server certificate names.
ADDRESS, TLS_ADDRESS = "127.0.3.200", "127.0.12.40"
work, size_mb = os.environ["WORK"], int(os.environ["SIZE_MB"])
certs = os.path.join(work, "certs")

def serve(listener, totals, context=None, ehlo=b"250 OK\r\n"):
    # Minimal sink: answers the dialogue, swallows DATA in large receives.
    while True:
        try:
            sock, _ = listener.accept()
        except OSError:
            return
        if context is not None:
            try:
                sock = context.wrap_socket(sock, server_side=True)
            except (OSError, ssl.SSLError):
                sock.close()
                continue
        with sock:
            sock.sendall(b"220 bench\r\n")
            pending = b""
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                pending += chunk
                while b"\r\n" in pending:
                    line, pending = pending.split(b"\r\n", 1)
                    verb = line[:4].upper()
                    if verb == b"QUIT":
                        sock.sendall(b"221 bye\r\n")
                    elif verb == b"EHLO":
                        sock.sendall(ehlo)
                    elif verb == b"DATA":
                        sock.sendall(b"354 go\r\n")
                        count, tail = len(pending), pending[-5:]
                        while not (tail + b"")[-5:] == b"\r\n.\r\n":
                            chunk = sock.recv(1 << 18)
                            if not chunk:
                                break
                            count += len(chunk)
                            tail = (tail + chunk)[-5:]
                        totals.append(count)
                        pending = b""
                        sock.sendall(b"250 queued\r\n")
                    else:
                        sock.sendall(b"250 OK\r\n")

def listen(address, port, context=None, size=None):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, port))
    listener.listen(4)
    totals = []
    ehlo = b"250-bench\r\n250 SIZE %d\r\n" % size if size else b"250 OK\r\n"
    threading.Thread(target=serve, args=(listener, totals, context, ehlo), daemon=True).start()
    return listener, totals

context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(os.path.join(certs, "server.pem"), os.path.join(certs, "server.key"))
listener, totals = listen(ADDRESS, 25)
tls_listener, tls_totals = listen(TLS_ADDRESS, 465, context)

def windows(path):
    return "Z:" + path.replace("/", "\\")

def mail(path, address=ADDRESS, options=()):
    start = time.monotonic()
    out = subprocess.run(["wine", os.environ["MAILFILE"], "-m"] + list(options) + [windows(path),
                          address, "bench@plant.example", "ops@plant.example"],
                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=600).stdout
    wall = time.monotonic() - start
    figures = dict(l.split("=", 1) for l in out.split() if "=" in l)
    result = out.split()[0] if out.split() else "?"
    return result, int(figures.get("elapsed_ms", 0)), int(figures.get("peak_working_set", 0)), wall

tiny = os.path.join(work, "tiny.log")
with open(tiny, "wb") as f:
    f.write(b"one line\r\n")
big = os.path.join(work, "big.log")
with open(big, "wb") as f:
    for _ in range(size_mb):
        f.write(os.urandom(1 << 20))

size = size_mb << 20
tls = ["-s", "2", "-p", "465", "-a", windows(os.path.join(certs, "ca.pem"))]
for title, address, options, sink_totals, wire in (
        ("plain SMTP", ADDRESS, (), totals, "DATA phase"),
        ("TLS from the first byte (Schannel)", TLS_ADDRESS, tls, tls_totals, "DATA phase, decrypted")):
    r0, ms0, peak0, _ = mail(tiny, address, options)
    r1, ms1, peak1, wall1 = mail(big, address, options)
    print("== %s" % title)
    print("file size:            %d MB (%d bytes)" % (size_mb, size))
    print("result:               %s (tiny file: %s)" % (r1, r0))
    print("bytes on the wire:    %d (%s)" % (sink_totals[-1] if sink_totals else 0, wire))
    print("elapsed (mailing):    %.2f s (process under Wine, wall: %.2f s)" % (ms1 / 1000, wall1))
    print("throughput:           %.1f MB/s of file data" % (size / 1048576 / max(ms1 / 1000, 0.001)))
    print("peak working set:     %.1f MB (tiny file: %.1f MB; growth %.2f MB)"
          % (peak1 / 1048576, peak0 / 1048576, (peak1 - peak0) / 1048576))

# Zipped: a log of call records (text that zips to about a quarter).
calls = os.path.join(work, "calls.log")
with open(calls, "wb") as f:
    record = b"2026-12-07 23:%02d:%02d.%03d: %05d EXT %03d TRUNK %02d OUT 0%09d DUR 00:%02d:%02d\r\n"
    rng, written, n = random.Random(1), 0, 0
    while written < size:
        block = b"".join(record % (n // 600 % 60, n // 10 % 60, rng.randrange(1000), n % 100000,
                                   rng.randrange(200, 400), rng.randrange(1, 9), rng.randrange(10 ** 9),
                                   rng.randrange(60), rng.randrange(60)) for n in range(n, n + 10000))
        block = block[:size - written]
        f.write(block)
        written += len(block)
        n += 10000
fits, parts = "127.0.3.201", "127.0.3.202"
fits_listener, fits_totals = listen(fits, 25, size=size // 2)
parts_listener, parts_totals = listen(parts, 25, size=size // 16)
for title, address, options, sink_totals in (
        ("zipped, no SIZE declared (MailAttachment 2)", ADDRESS, ("-z", "2"), totals),
        ("zipped to fit SIZE %d (MailAttachment 1)" % (size // 2), fits, ("-z", "1"), fits_totals),
        ("in parts for SIZE %d (MailAttachment 1)" % (size // 16), parts, ("-z", "1"), parts_totals)):
    r0, ms0, peak0, _ = mail(tiny, address, options)
    before = len(sink_totals)
    r1, ms1, peak1, wall1 = mail(calls, address, options)
    wire = sink_totals[before:]
    print("== %s" % title)
    print("log size:             %d MB (%d bytes of call records)" % (size_mb, size))
    print("result:               %s (tiny file: %s)" % (r1, r0))
    print("messages, wire bytes: %d, %d (DATA phase%s)" % (len(wire), sum(wire), ", largest %d" % max(wire)
                                                            if len(wire) > 1 else ""))
    print("elapsed (mailing):    %.2f s (process under Wine, wall: %.2f s)" % (ms1 / 1000, wall1))
    print("throughput:           %.1f MB/s of log data" % (size / 1048576 / max(ms1 / 1000, 0.001)))
    print("peak working set:     %.1f MB (tiny file: %.1f MB; growth %.2f MB)"
          % (peak1 / 1048576, peak0 / 1048576, (peak1 - peak0) / 1048576))
for sock in (listener, tls_listener, fits_listener, parts_listener):
    sock.close()
PY
